#!/usr/bin/python3
"""Writes twovoice.wav: two synthetic voices speaking at once; and each voice
alone, twovoice.src1.wav (voice A) and twovoice.src2.wav (voice B), in the
mixture's scale as 32-bit float, so that separations can be scored
(corlune-score twovoice.wav twovoice.src1.wav twovoice.src2.wav).

Each voice is a harmonic complex with a gliding F0, shaped by a speech-like
spectral envelope (three formant resonances and a -6 dB/octave tilt) and an
amplitude contour of syllable-like bursts. Voice A glides 105 -> 135 Hz,
voice B 215 -> 175 Hz. 2.0 s, 16 kHz, 16-bit mono (the sources: their sum within the mixture's
rounding to 16 bits). Standard library only, so
the example can be regenerated anywhere: python3 examples/make_twovoice.py
"""
import math
import os
import struct
import wave

RATE = 16000
SECONDS = 2.0


def formant_gain(freq, formants):
    """Spectral envelope at freq: sum of resonance peaks with a 1/f tilt."""
    g = 0.0
    for centre, bandwidth, level in formants:
        g += level / (1.0 + ((freq - centre) / bandwidth) ** 2)
    return g * 200.0 / max(freq, 200.0)


def contour(t, onsets):
    """Syllable-like amplitude: raised-cosine bursts at the given (start, end)."""
    for start, end in onsets:
        if start <= t <= end:
            ramp = 0.04
            a = min(1.0, (t - start) / ramp, (end - t) / ramp)
            return 0.5 - 0.5 * math.cos(math.pi * a)
    return 0.0


def voice(f0a, f0b, formants, onsets, level):
    n = int(RATE * SECONDS)
    out = [0.0] * n
    phase = 0.0
    for i in range(n):
        t = i / RATE
        f0 = f0a + (f0b - f0a) * t / SECONDS
        phase += 2.0 * math.pi * f0 / RATE
        env = contour(t, onsets)
        if env == 0.0:
            continue
        s = 0.0
        h = 1
        while h * f0 < 7000.0:
            s += formant_gain(h * f0, formants) * math.sin(h * phase)
            h += 1
        out[i] = level * env * s
    return out


def write_float_wav(path, samples):
    """Mono 32-bit float WAV (format code 3) at RATE."""
    data = b"".join(struct.pack("<f", v) for v in samples)
    fmt = struct.pack("<HHIIHH", 3, 1, RATE, RATE * 4, 4, 32)
    fact = struct.pack("<I", len(samples))
    body = (b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"fact" +
            struct.pack("<I", len(fact)) + fact + b"data" + struct.pack("<I", len(data)) + data)
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", len(body)) + body)


def main():
    a = voice(105.0, 135.0, [(600, 90, 1.0), (1100, 110, 0.6), (2500, 160, 0.25)],
              [(0.10, 0.75), (0.90, 1.85)], 0.16)
    b = voice(215.0, 175.0, [(450, 80, 1.0), (2000, 130, 0.5), (2900, 170, 0.3)],
              [(0.30, 1.05), (1.20, 1.90)], 0.12)
    mixture = [x + y for x, y in zip(a, b)]
    peak = max(abs(v) for v in mixture)
    scale = 0.7 * 32767.0 / peak
    frames = b"".join(struct.pack("<h", int(round(v * scale))) for v in mixture)
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "twovoice.wav")
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(frames)
    print(f"wrote {path}: {len(mixture)} samples at {RATE} Hz")
    for name, source in (("twovoice.src1.wav", a), ("twovoice.src2.wav", b)):
        src_path = os.path.join(os.path.dirname(path), name)
        write_float_wav(src_path, [v * scale / 32768.0 for v in source])
        print(f"wrote {src_path}")


if __name__ == "__main__":
    main()
