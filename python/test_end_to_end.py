"""corlune on a generated two-voice WAV: its result files read back in their
layouts, and the summary finds both voices; with --separate, the voices'
files join the set and each voice follows its talker. The program is named by the
CORLUNE_EXE environment variable; without it these tests are skipped."""

import dataclasses
import math
import os
import subprocess
import tempfile
import unittest
import wave

import numpy as np

import corlune_results as cr

CORLUNE = os.environ.get("CORLUNE_EXE", "")
VIEW = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corlune-view")
SRATE = 16000
SECONDS = 1.5
VOICES = ((100.0, 115.0), (180.0, 170.0))  # F0 glide of each voice, start to end, Hz


def voice(f0_start, f0_end):
    """Harmonics of a gliding F0 with a 1/h spectral tilt, peak about 1."""
    n = int(SRATE * SECONDS)
    f0 = np.linspace(f0_start, f0_end, n)
    phase = np.cumsum(2 * np.pi * f0 / SRATE)
    harmonics = [np.where(h * f0 < 0.45 * SRATE, np.sin(h * phase) / h, 0.0) for h in range(1, 41)]
    return np.sum(harmonics, axis=0) / 2


def write_wav(path, x):
    pcm = np.clip(np.round(x * 32767), -32768, 32767).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(SRATE)
        w.writeframes(pcm.tobytes())
    return len(pcm)


@unittest.skipUnless(os.access(CORLUNE, os.X_OK),
                     f"corlune binary not found (CORLUNE_EXE={CORLUNE!r})")
class EndToEndTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        wav = os.path.join(cls.tmp.name, "two_voices.wav")
        cls.sources = [0.3 * voice(*v) for v in VOICES]
        cls.nsamples = write_wav(wav, cls.sources[0] + cls.sources[1])
        cls.done = subprocess.run([CORLUNE, wav, cls.tmp.name], capture_output=True, text=True,
                                 timeout=60)
        cls.separated = subprocess.run([CORLUNE, "--separate", "--name=sep", wav, cls.tmp.name],
                                       capture_output=True, text=True, timeout=60)
        cls.prefix = os.path.join(cls.tmp.name, "two_voices")

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def load(self):
        self.assertEqual(self.done.returncode, 0, self.done.stderr)
        return cr.load(self.prefix)

    def test_result_files_read_back_in_their_layouts(self):
        res = self.load()
        self.assertEqual((res.nframes, res.nchans), (math.ceil(self.nsamples / 160), 32))
        # Checked against the record, which lists the files in publishing order, .f0labels last.
        self.assertEqual(list(res.record)[:len(cr.LAYOUT)], list(cr.LAYOUT))
        self.assertEqual(list(res.record)[-1], "f0labels")
        self.assertLessEqual(set(res.record) - set(cr.LAYOUT), set(cr.OPTIONAL_LAYOUT))
        for suffix, (dtype, _) in cr.LAYOUT.items():
            self.assertEqual(getattr(res, suffix).dtype, dtype)
        self.assertTrue(np.isin(res.frmseg, (0, 1, 2)).all())
        claimed = res.groups != 0
        self.assertTrue((res.frmseg[claimed] != 0).all())
        self.assertTrue((res.mask[~claimed] == 0).all())
        self.assertTrue(((res.mask[claimed] >= 0.5) & (res.mask[claimed] <= 0.9526)).all())
        for frame, slot in zip(*np.nonzero(res.f0tracks)):
            f0 = res.f0tracks[frame, slot]
            self.assertGreaterEqual(f0, 70.0)
            self.assertIn(f0, res.f0cands[frame], f"frame {frame} slot {slot}")

    def test_each_claimed_unit_belongs_to_one_numbered_track(self):
        res = self.load()
        known = cr.identify(res)
        idents = [t.ident for t in known.tracks if t.ident]
        self.assertEqual(len(set(idents)), len(idents))
        for t in known.tracks:  # slot 0 numbers 6, 11, ...; slot 1 7 + 5k, above slot 0's
            self.assertIn(t.ident % 5, (0, 1 + t.slot) if known.source == ".groups" else (1 + t.slot,))
        np.testing.assert_array_equal(known.ids != 0, res.mask != 0)
        np.testing.assert_array_equal(known.ids.astype(np.int16), res.groups)
        for t, i in zip(known.tracks, known.track_fragment):
            if i >= 0:
                frag = known.fragments[i]
                self.assertTrue(t.first <= frag.first <= frag.last <= t.last, (t, frag))
        if res.f0labels is not None:  # the same fragments as read from .groups alone
            from_groups = cr.identify(dataclasses.replace(res, f0labels=None))
            self.assertEqual([f[:5] for f in map(dataclasses.astuple, known.fragments)],
                             [f[:5] for f in map(dataclasses.astuple, from_groups.fragments)])

    def test_summary_names_a_track_for_each_voice(self):
        res = self.load()
        view, every = (subprocess.run([VIEW, self.prefix, *args], capture_output=True, text=True,
                                      timeout=60) for args in ((), ("--all",)))
        self.assertEqual((view.returncode, every.returncode), (0, 0), view.stderr + every.stderr)
        found = cr.tracks(res)
        for low, high in (sorted(v) for v in VOICES):
            with self.subTest(voice=(low, high)):
                near = [t for t in found if low - 8 <= t.f0min and t.f0max <= high + 8]
                covered = sum(t.last - t.first + 1 for t in near)
                self.assertGreaterEqual(covered, res.nframes // 2, view.stdout)
                longest = max(near, key=lambda t: t.last - t.first)
                self.assertGreaterEqual(longest.last - longest.first + 1, 20, view.stdout)
                self.assertRegex(every.stdout, rf"\n +{longest.ident or '[?]'} +{longest.slot} +"
                                               rf"{longest.first} +{longest.last} ")
                if longest.ident:  # its fragment is among the longest
                    self.assertRegex(view.stdout, rf"\n +{longest.ident} +{longest.slot} +\d+ ")

    def test_separated_voices_follow_their_talkers(self):
        self.assertEqual(self.separated.returncode, 0, self.separated.stderr)
        sep = cr.load(os.path.join(self.tmp.name, "sep"))
        plain = self.load()
        for name in ("frmseg", "f0cands", "f0tracks", "groups", "mask", "f0labels"):
            np.testing.assert_array_equal(getattr(sep, name), getattr(plain, name), name)
        self.assertEqual(set(sep.record) - set(plain.record),
                         {"voices", "voice1.wav", "voice2.wav", "rest.wav"})
        known = cr.identify(sep)
        voices = cr.fragment_voices(sep, known)
        for track, fragment in zip(known.tracks, known.track_fragment):
            if fragment >= 0 and track.last - track.first >= 10:  # its F0 in its voice's range
                low, high = sorted(VOICES[voices[fragment] - 1])
                self.assertTrue(0.9 * low <= track.f0min and track.f0max <= 1.1 * high, track)
        signals = [read_float_wav(os.path.join(self.tmp.name, f"sep.{s}.wav"))
                   for s in ("voice1", "voice2", "rest")]
        for k, x in enumerate(signals[:2]):
            with self.subTest(voice=k + 1):
                self.assertEqual(len(x), self.nsamples)
                own, other = (abs(np.corrcoef(x, s)[0, 1]) for s in (self.sources[k],
                                                                       self.sources[1 - k]))
                self.assertGreater(own, 0.6)
                self.assertGreater(own, 2 * other)
        png = os.path.join(self.tmp.name, "sep.png")
        drawn = subprocess.run([VIEW, os.path.join(self.tmp.name, "sep"), "--png", png,
                                "--colour", "voice"], capture_output=True, text=True, timeout=60)
        self.assertEqual(drawn.returncode, 0, drawn.stderr)
        self.assertGreater(os.path.getsize(png), 0)


def read_float_wav(path):
    """The samples of a mono float32 WAV file, from its data chunk."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:4] == b"RIFF" and data[8:12] == b"WAVE", path
    at = 12
    while at + 8 <= len(data):
        tag, size = data[at:at + 4], int.from_bytes(data[at + 4:at + 8], "little")
        if tag == b"data":
            return np.frombuffer(data[at + 8:at + 8 + size], "<f4")
        at += 8 + size + (size & 1)
    raise AssertionError(f"{path}: no data chunk")


if __name__ == "__main__":
    unittest.main()
