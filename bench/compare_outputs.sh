#!/usr/bin/env bash
# Byte-for-byte comparison of two builds of corlune on many generated inputs:
# rates from 4 kHz to 96 kHz (odd and even window lengths), one to three
# voices, low and high F0s, noise at several levels, sines, sweeps, clicks,
# digital silence, clipping, near-silent and tiny files.
#
#   bench/compare_outputs.sh BASE_BUILD NEW_BUILD [WORKDIR]
#   NEW_ARGS="--threads 2" bench/compare_outputs.sh BASE_BUILD NEW_BUILD
#
# Each build directory must hold the corlune executable and libcorlune_core.a
# (a normal CMake build), or only the executable (then the autocorrelograms
# are not compared). NEW_ARGS are options for the new build's runs only.
# Every input is run through both executables and the result files (the
# .f0labels file where both builds write it), the exit status and the
# messages are compared; the autocorrelogram of each input is compared too,
# through a small dump program built against each build's library. Build the baseline once from an older
# commit, e.g.
#   mkdir /tmp/base && git -C . archive HEAD | tar -x -C /tmp/base
#   cmake -S /tmp/base -B /tmp/base/build -DCORLUNE_TESTS=OFF && cmake --build /tmp/base/build
# The inputs need python3 with numpy. Exits non-zero when anything differs.
set -euo pipefail

if [[ $# -lt 2 ]]; then
    sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
fi
base=$(cd "$1" && pwd)
new=$(cd "$2" && pwd)
work=${3:-$(mktemp -d /tmp/corlune-compare-XXXXXX)}
mkdir -p "$work/inputs"
python=${PYTHON:-python3}
if ! "$python" -c 'import numpy' 2>/dev/null; then python=/usr/bin/python3; fi

# --- inputs --------------------------------------------------------------
"$python" - "$work/inputs" <<'EOF'
import sys, wave, numpy as np
out = sys.argv[1]

def voice(rate, secs, f0a, f0b, amp, seed=0, vibrato=0.0, jitter=0.0):
    n = int(rate * secs)
    t = np.arange(n) / rate
    rng = np.random.default_rng(seed)
    f0 = f0a + (f0b - f0a) * t / max(secs, 1e-9)
    f0 = f0 * (1 + vibrato * np.sin(2 * np.pi * 5.5 * t))
    if jitter:
        f0 = f0 * (1 + jitter * np.cumsum(rng.standard_normal(n)) / np.sqrt(rate))
    phase = 2 * np.pi * np.cumsum(f0) / rate
    x = np.zeros(n)
    for h in range(1, 40):
        keep = h * f0 < 0.45 * rate
        x += keep * np.sin(h * phase) / h ** 0.9
    env = (np.sin(2 * np.pi * 1.7 * t + seed) > -0.3).astype(float)
    return amp * x * env

def noise(rate, secs, amp, seed):
    return amp * np.random.default_rng(seed).standard_normal(int(rate * secs))

def write(name, x, rate):
    pcm = np.clip(np.round(np.asarray(x) * 32767), -32768, 32767).astype('<i2')
    with wave.open(f"{out}/{name}.wav", "wb") as w:
        w.setnchannels(1); w.setsampwidth(2); w.setframerate(rate)
        w.writeframes(pcm.tobytes())

two = lambda r, s, seed=0: voice(r, s, 110, 135, 0.25, seed) + voice(r, s, 210, 180, 0.2, seed + 1)
for rate, secs in [(16000, 3.0), (8000, 2.0), (11025, 2.0), (22050, 2.0), (32000, 1.5),
                   (44100, 1.0), (48000, 1.0), (4000, 2.0), (96000, 0.5)]:
    write(f"two_{rate}", two(rate, secs, rate % 7), rate)
write("low_f0", voice(16000, 2.0, 75, 80, 0.3, 3, vibrato=0.02), 16000)
write("high_f0", voice(16000, 2.0, 340, 380, 0.3, 4), 16000)
write("three_voices", voice(16000, 2.0, 100, 120, 0.2, 5) + voice(16000, 2.0, 160, 150, 0.2, 6)
      + voice(16000, 2.0, 250, 270, 0.15, 7), 16000)
write("jitter", voice(16000, 3.0, 130, 110, 0.3, 8, vibrato=0.03, jitter=0.5), 16000)
v = two(16000, 2.0, 9)
write("snr0", v + noise(16000, 2.0, np.std(v), 10), 16000)
v = two(22050, 2.0, 11)
write("snr10", v + noise(22050, 2.0, np.std(v) / np.sqrt(10), 12), 22050)
write("noise", noise(16000, 1.0, 0.3, 13), 16000)
write("brown", np.cumsum(noise(16000, 1.0, 0.01, 14)), 16000)
t = np.arange(16000) / 16000
write("sine440", 0.5 * np.sin(2 * np.pi * 440 * t), 16000)
t2 = np.arange(32000) / 16000
write("sweep", 0.5 * np.sin(2 * np.pi * (100 * t2 + (3900 / 4) * t2 ** 2)), 16000)
clicks = np.zeros(16000); clicks[::160] = 0.9
write("clicks", clicks, 16000)
sil = np.zeros(32000); sil[8000:24000] = two(16000, 1.0, 15)
write("silence_gaps", sil, 16000)
write("near_silent", two(16000, 1.0, 16) * (3 / 32767) / 0.45, 16000)
write("clipped", two(16000, 1.0, 17) * 8, 16000)
write("dc_offset", two(16000, 1.0, 18) + 0.3, 16000)
write("one_sample", [0.5], 16000)
write("short_8k", noise(8000, 100 / 8000, 0.3, 19), 8000)
write("all_zero", np.zeros(8000), 16000)
EOF

# --- autocorrelogram dump program for each build -------------------------
dump_source="$work/acg_dump.cpp"
cat > "$dump_source" <<'EOF'
#include "acgmodel.h"
#include "auxiliary.h"
int main(int argc, char** argv) {
    AudioWav wav;
    if (argc != 3 || wav.read(argv[1], 'l') <= 0) return 1;
    AcgModel model;
    model.compute(wav.samples, wav.srate);
    return model.output(argv[2]) ? 0 : 1;
}
EOF
build_dump() {  # build dir -> dump program path, or nothing
    local dir=$1 src
    src=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$dir/CMakeCache.txt" 2>/dev/null || true)
    [[ -n "$src" && -f "$dir/libcorlune_core.a" ]] || return 0
    local exe="$work/acg_dump_$(echo "$dir" | md5sum | cut -c1-8)"
    ${CXX:-c++} -std=c++17 -O2 -I"$src/src" "$dump_source" "$dir/libcorlune_core.a" \
        $(pkg-config --libs fftw3 sndfile zlib) -pthread -lm \
        -o "$exe" && echo "$exe"
}
base_dump=$(build_dump "$base")
new_dump=$(build_dump "$new")

# --- comparison -----------------------------------------------------------
passed=0
failed=0
for wav in "$work"/inputs/*.wav; do
    name=$(basename "$wav" .wav)
    for side in base new; do
        rm -rf "$work/$side"
        mkdir -p "$work/$side"
    done
    set +e
    "$base/corlune" "$wav" "$work/base" > "$work/base/stdout" 2> "$work/base/stderr"
    echo $? > "$work/base/status"
    # shellcheck disable=SC2086  # NEW_ARGS is a list of options
    "$new/corlune" ${NEW_ARGS:-} "$wav" "$work/new" > "$work/new/stdout" 2> "$work/new/stderr"
    echo $? > "$work/new/status"
    if [[ -n "$base_dump" && -n "$new_dump" ]]; then
        "$base_dump" "$wav" "$work/base/$name.acg"
        "$new_dump" "$wav" "$work/new/$name.acg"
    fi
    set -e
    sed -i "s#$work/base#OUT#g" "$work/base/stderr"
    sed -i "s#$work/new#OUT#g" "$work/new/stderr"
    differs=""
    for f in status stdout stderr "$name.frmseg" "$name.f0cands" "$name.f0tracks" "$name.groups" \
             "$name.mask" "$name.f0labels" "$name.acg"; do
        if [[ "$f" == *.f0labels && ! ( -e "$work/base/$f" && -e "$work/new/$f" ) ]]; then
            continue  # written only by builds from .f0labels on
        fi
        if [[ -e "$work/base/$f" || -e "$work/new/$f" ]]; then
            cmp -s "$work/base/$f" "$work/new/$f" || differs+=" $f"
        fi
    done
    if [[ -z "$differs" ]]; then
        passed=$((passed + 1))
        echo "same     $name"
    else
        failed=$((failed + 1))
        echo "DIFFERS  $name:$differs"
    fi
done
[[ -n "$base_dump" && -n "$new_dump" ]] || echo "(autocorrelograms not compared: no library to build the dump program)"
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
