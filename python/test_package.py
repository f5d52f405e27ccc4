"""The corlune package against the corlune program: the same samples give the
same result files byte for byte, from an array of any accepted kind, from a
file and through save(); refusals; threads. Needs the extension (build/python
first on PYTHONPATH) and the program (CORLUNE_EXE)."""

import json
import os
import signal
import subprocess
import tempfile
import threading
import time
import unittest
import warnings
import wave

import numpy as np

import corlune

EXE = os.environ.get("CORLUNE_EXE", "")
SUFFIXES = ("frmseg", "f0cands", "f0tracks", "groups", "mask", "f0labels")


def two_voices(srate, seconds, seed=0):
    """16-bit samples of two gliding harmonic complexes and a little noise."""
    t = np.arange(int(srate * seconds)) / srate
    x = np.zeros_like(t)
    for f0a, f0b, level in ((110.0, 140.0, 0.25), (220.0, 180.0, 0.18)):
        phase = 2 * np.pi * np.cumsum(np.linspace(f0a, f0b, len(t))) / srate
        for h in range(1, 12):
            if h * max(f0a, f0b) < srate / 2:
                x += level / h * np.sin(h * phase)
    x += 0.01 * np.random.default_rng(seed).standard_normal(len(t))
    return np.round(np.clip(x, -1, 1) * 32767).astype(np.int16)


def write_wav(path, pcm, srate):
    with wave.open(path, "wb") as w:
        w.setnchannels(1 if pcm.ndim == 1 else pcm.shape[1])
        w.setsampwidth(2)
        w.setframerate(srate)
        w.writeframes(pcm.astype("<i2").tobytes())


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def file_bytes(prefix):
    return {s: read_bytes(f"{prefix}.{s}") for s in (*SUFFIXES, "record")}


def array_bytes(res):
    return {s: getattr(res, s).astype(corlune.results.LAYOUT.get(
        s, corlune.results.OPTIONAL_LAYOUT.get(s))[0]).tobytes() for s in SUFFIXES}


class PackageTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.tmp = self.dir.name

    def tearDown(self):
        self.dir.cleanup()

    def run_program(self, wav, *args):
        out = os.path.join(self.tmp, "cli")
        os.makedirs(out, exist_ok=True)
        subprocess.run([EXE, "--quiet", *args, wav, out], check=True)
        return os.path.join(out, os.path.splitext(os.path.basename(wav))[0])


@unittest.skipUnless(os.access(EXE, os.X_OK), "skipped: corlune binary not found")
class IdentityWithTheProgram(PackageTest):
    def test_arrays_files_and_saved_sets_equal_the_programs_at_several_rates(self):
        for srate in (8000, 16000, 22050, 48000):
            with self.subTest(srate=srate):
                pcm = two_voices(srate, 1.5, seed=srate)
                wav = os.path.join(self.tmp, f"utt{srate}.wav")
                write_wav(wav, pcm, srate)
                expected = file_bytes(self.run_program(wav))
                from_int16 = corlune.analyze(pcm, srate)
                from_float = corlune.analyze(pcm / 32768.0, srate, threads=2)
                from_file = corlune.analyze_file(wav, threads=3)
                for res in (from_int16, from_float, from_file):
                    self.assertEqual(array_bytes(res), {s: expected[s] for s in SUFFIXES})
                    self.assertEqual(res.srate, srate)
                prefix = os.path.join(self.tmp, f"saved{srate}")
                from_int16.save(prefix)
                self.assertEqual(file_bytes(prefix), expected)
                loaded = corlune.load(prefix)
                np.testing.assert_array_equal(loaded.mask, from_int16.mask)
                np.testing.assert_array_equal(corlune.identify(loaded).ids, from_int16.ids)

    def test_the_joint_tracker_gives_the_programs_files_and_its_name_is_checked(self):
        pcm = two_voices(16000, 1.5, seed=7)
        wav = os.path.join(self.tmp, "joint.wav")
        write_wav(wav, pcm, 16000)
        expected = file_bytes(self.run_program(wav, "--tracker=joint"))
        for res in (corlune.analyze(pcm, 16000, tracker="joint"),
                    corlune.analyze_file(wav, threads=2, tracker="joint")):
            self.assertEqual(array_bytes(res), {s: expected[s] for s in SUFFIXES})
        self.assertNotEqual(array_bytes(corlune.analyze(pcm, 16000))["f0tracks"],
                            expected["f0tracks"])
        with self.assertRaisesRegex(ValueError, "tracker must be one of rule, joint, not 'Joint'"):
            corlune.analyze(pcm, 16000, tracker="Joint")
        with self.assertRaisesRegex(TypeError, "tracker must be a str"):
            corlune.separate(pcm, 16000, tracker=1)

    def test_a_channel_of_a_stereo_recording_and_the_mix_as_the_program_reads_them(self):
        left, right = two_voices(16000, 1.0, seed=1), two_voices(16000, 1.0, seed=2)[::-1]
        stereo = np.stack([left, right], axis=1)
        wav = os.path.join(self.tmp, "stereo.wav")
        write_wav(wav, stereo, 16000)
        x, srate = corlune.read_audio(wav, channel=1)
        self.assertEqual((x.dtype, srate), (np.float64, 16000))
        np.testing.assert_array_equal(x, right / 32768.0)
        mixed, _ = corlune.read_audio(wav, mix=True)
        expected = file_bytes(self.run_program(wav, "--mix"))
        self.assertEqual(array_bytes(corlune.analyze(mixed, srate)),
                         {s: expected[s] for s in SUFFIXES})
        expected = file_bytes(self.run_program(wav, "--channel=2"))
        self.assertEqual(array_bytes(corlune.analyze_file(wav, channel=1)),
                         {s: expected[s] for s in SUFFIXES})


@unittest.skipUnless(os.access(EXE, os.X_OK), "skipped: corlune binary not found")
class VoicesAsTheProgramSeparatesAndScoresThem(PackageTest):
    def test_separate_gives_the_programs_voice_files_and_the_scorer_its_scores(self):
        srate = 16000
        low, high = two_voices(srate, 1.5, seed=3), two_voices(srate, 1.5, seed=4)[::-1]
        pcm = (low // 2 + high // 2).astype(np.int16)
        paths = [os.path.join(self.tmp, f"{n}.wav") for n in ("mix", "s1", "s2")]
        for path, x in zip(paths, (pcm, low // 2, high // 2)):
            write_wav(path, x, srate)
        prefix = self.run_program(paths[0], "--separate")
        sep = corlune.separate(pcm, srate, threads=2)
        for name, signal in (("voice1", sep.voice1), ("voice2", sep.voice2), ("rest", sep.rest)):
            from_file, rate = corlune.read_audio(f"{prefix}.{name}.wav")
            self.assertEqual((signal.dtype, rate), (np.float32, srate))
            np.testing.assert_array_equal(signal, from_file)
        self.assertEqual(sep.results.voices.tobytes(), read_bytes(f"{prefix}.voices"))
        expected = file_bytes(prefix)
        self.assertEqual(array_bytes(sep.results), {s: expected[s] for s in SUFFIXES})
        prefix = self.run_program(paths[0], "--separate=pitch", "--tracker=joint")
        sep = corlune.separate(pcm, srate, tracker="joint", mode="pitch")
        self.assertEqual(sep.results.voices.tobytes(), read_bytes(f"{prefix}.voices"))
        from_file, _ = corlune.read_audio(f"{prefix}.voice2.wav")
        np.testing.assert_array_equal(sep.voice2, from_file)
        with self.assertRaisesRegex(ValueError, "mode must be one of fragments, pitch"):
            corlune.separate(pcm, srate, mode="tracks")

        scores = corlune.score(*(corlune.read_audio(p)[0] for p in paths), srate)
        done = subprocess.run([EXE + "-score", "--json", *paths], check=True,
                              capture_output=True, text=True)
        program = json.loads(done.stdout.splitlines()[-1])
        for method in ("voices", "ibm", "ideal_grouping"):
            for k in range(2):
                got = scores[method][k]
                self.assertEqual(got["source"], program[method]["source"][k])
                for key in ("snr", "si_sdr_gain"):
                    want = program[method][key][k]
                    if want is not None:
                        self.assertAlmostEqual(got[key], want, delta=0.0006)
        self.assertEqual(scores["frames"], program["frames"])

    def test_resynthesis_of_a_mask_and_its_refusals(self):
        x = two_voices(16000, 1.0) / 32768.0
        res = corlune.analyze(x, 16000)
        whole = corlune.resynthesize(x, 16000, np.ones_like(res.mask))
        self.assertEqual((whole.dtype, whole.shape), (np.float64, x.shape))
        error = np.sum((whole - x) ** 2) / np.sum(x ** 2)
        self.assertLess(error, 0.1)  # within the filterbank's reconstruction (about 20 dB)
        with self.assertRaises(ValueError):
            corlune.resynthesize(x, 16000, np.ones((res.nframes - 1, 32)))
        with self.assertRaises(ValueError):
            corlune.resynthesize(x, 16000, np.full_like(res.mask, 1.5))
        with self.assertRaisesRegex(ValueError, "two-dimensional"):
            corlune.resynthesize(x, 16000, np.ones(res.nframes))
        with self.assertRaises(ValueError):
            corlune.score(x, x[:-1], x[::-1].copy(), 16000)


class Arrays(PackageTest):
    def test_any_stride_and_dtype_of_the_same_samples_gives_the_same_results(self):
        pcm = two_voices(16000, 1.2)
        base = corlune.analyze(pcm / 32768.0, 16000)
        matrix = np.zeros((len(pcm), 3), np.float32)
        matrix[:, 1] = pcm / np.float32(32768)
        backwards = (pcm / 32768.0)[::-1].copy()[::-1]
        for signal in (matrix[:, 1], backwards, pcm):
            with self.subTest(dtype=signal.dtype, strides=signal.strides):
                res = corlune.analyze(signal, 16000)
                self.assertEqual(array_bytes(res), array_bytes(base))
        self.assertEqual(base.frmseg.shape, (120, 32))
        self.assertEqual((base.ids.dtype, base.slot_ids.shape), (np.int64, (120, 2)))
        np.testing.assert_allclose(base.times[:3], [0.0, 0.01, 0.02])
        np.testing.assert_allclose(base.cfs, corlune.centre_frequencies(32), rtol=1e-9)
        self.assertTrue((base.ids != 0).any())
        np.testing.assert_array_equal(corlune.identify(base).ids, base.ids)

    def test_refusals_name_what_is_wrong(self):
        good = np.zeros(1600)
        bad_sample = good.copy()
        bad_sample[1234] = np.nan
        cases = [
            ((np.zeros((100, 2)), 16000), ValueError, "one-dimensional"),
            ((np.zeros(0), 16000), ValueError, "No samples"),
            ((bad_sample, 16000), ValueError, "Sample 1234 is nan"),
            ((np.full(10, 2.0 ** 25, np.float32), 16000), ValueError, "Sample 0 is"),
            ((np.zeros(100, np.int32), 16000), TypeError, "float64, float32 or int16"),
            ((good.astype(">f8"), 16000), TypeError, "native byte order"),
            ((list(good), 16000), TypeError, "numpy array"),
            ((good, 3999), ValueError, "3999 Hz outside 4000 to 192000"),
            ((good, 192001), ValueError, "outside"),
            ((good, 16000.0), TypeError, "srate must be an integer"),
            ((good, True), TypeError, "srate must be an integer"),
        ]
        for args, error, text in cases:
            with self.subTest(text=text):
                with self.assertRaisesRegex(error, text):
                    corlune.analyze(*args)
        with self.assertRaisesRegex(ValueError, "threads must be 0"):
            corlune.analyze(good, 16000, threads=-1)
        with self.assertRaisesRegex(ValueError, "threads must be 0"):
            corlune.analyze(good, 16000, threads=1025)

    def test_recordings_refused_as_the_program_refuses_them(self):
        with self.assertRaises(OSError):
            corlune.read_audio(os.path.join(self.tmp, "missing.wav"))
        text = os.path.join(self.tmp, "text.wav")
        with open(text, "w") as f:
            f.write("not audio\n")
        with self.assertRaises(ValueError):
            corlune.analyze_file(text)
        stereo = os.path.join(self.tmp, "stereo.wav")
        write_wav(stereo, np.zeros((800, 2), np.int16), 16000)
        with self.assertRaisesRegex(ValueError, "2 channels; choose one with channel=N"):
            corlune.analyze_file(stereo)
        with self.assertRaisesRegex(ValueError, "channel 2 requested"):
            corlune.read_audio(stereo, channel=2)
        slow = os.path.join(self.tmp, "slow.wav")
        write_wav(slow, np.zeros(800, np.int16), 2000)
        self.assertEqual(corlune.read_audio(slow)[1], 2000)  # read, but not analysed
        with self.assertRaisesRegex(ValueError, "2000 Hz outside"):
            corlune.analyze_file(slow)
        short = os.path.join(self.tmp, "short.wav")
        write_wav(short, two_voices(16000, 0.5), 16000)
        data = read_bytes(short)
        with open(short, "wb") as f:
            f.write(data[:-4000])  # the header claims more than there is
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            corlune.analyze_file(short)
        self.assertIn("shorter than its header claims", str(caught[0].message))
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with self.assertRaises(RuntimeWarning):
                corlune.read_audio(short)

    def test_save_publishes_whole_sets_and_refuses_bad_places(self):
        res = corlune.analyze(two_voices(16000, 0.5), 16000)
        with self.assertRaisesRegex(OSError, "Unable to write to directory"):
            res.save(os.path.join(self.tmp, "missing", "utt"))
        with self.assertRaisesRegex(ValueError, "plain file name"):
            res.save(self.tmp + "/")
        res.save(os.path.join(self.tmp, "utt"))
        self.assertEqual(sorted(os.listdir(self.tmp)),
                         sorted(f"utt.{s}" for s in (*SUFFIXES, "record")))


class Threads(PackageTest):
    def test_threads_analyse_side_by_side_with_the_lock_released(self):
        signals = [two_voices(16000, 2.0, seed=s) for s in range(3)]
        alone = [array_bytes(corlune.analyze(x, 16000)) for x in signals]
        together = [None] * len(signals)

        def work(i):
            together[i] = array_bytes(corlune.analyze(signals[i], 16000, threads=1 + i % 2))
        workers = [threading.Thread(target=work, args=(i,)) for i in range(len(signals))]
        ticks = 0
        for w in workers:
            w.start()
        while any(w.is_alive() for w in workers):
            ticks += 1          # this thread runs while the others analyse
            time.sleep(0.001)
        for w in workers:
            w.join()
        self.assertEqual(together, alone)
        self.assertGreater(ticks, 10)


class Interrupt(PackageTest):
    def test_ctrl_c_stops_an_analysis_on_the_main_thread(self):
        x = np.tile(two_voices(16000, 1.0) / 32768.0, 30)  # 30 s
        timer = threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGINT))
        start = time.perf_counter()
        timer.start()
        with self.assertRaises(KeyboardInterrupt):
            corlune.analyze(x, 16000)
        stopped = time.perf_counter() - start
        timer.join()
        whole = timed(lambda: corlune.analyze(x, 16000))
        self.assertLess(stopped, whole / 2)


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


if __name__ == "__main__":
    unittest.main()
