"""Reader, track and fragment derivation, summary and command, on result files
written here with numpy in corlune's layouts."""

import dataclasses
import os
import re
import subprocess
import tempfile
import unittest
import zlib

import numpy as np

from corlune import plot as corlune_plot
from corlune import results as cr

HERE = os.path.dirname(os.path.abspath(__file__))
VIEW = os.path.join(HERE, "corlune-view")
FILES = {**cr.LAYOUT, **cr.OPTIONAL_LAYOUT}
WITH_LABELS = (*cr.LAYOUT, "f0labels")


def two_voices(nframes=120, nchans=32):
    """Results of two voices: slot 0 (label 6) at 100-110 Hz on group 1, frames
    10-99, lower half of the channels; slot 1 (label 12) at 200-190 Hz on group 2,
    frames 20-109, upper half; group 2 also has a stray candidate at 1.5 F0."""
    half = nchans // 2
    arrays = {s: np.zeros((nframes, cols or nchans), dtype) for s, (dtype, cols) in cr.LAYOUT.items()}
    low = np.linspace(100, 110, nframes, dtype=np.float32)
    high = np.linspace(200, 190, nframes, dtype=np.float32)
    for i in range(10, 100):
        arrays["frmseg"][i, :half] = 1
        arrays["f0cands"][i, 0] = arrays["f0tracks"][i, 0] = low[i]
        arrays["groups"][i, :half] = 6
        arrays["mask"][i, :half] = 0.9
    for i in range(20, 110):
        arrays["frmseg"][i, half:] = 2
        arrays["f0cands"][i, 1] = arrays["f0tracks"][i, 1] = high[i]
        arrays["f0cands"][i, 2] = high[i] * 1.5
        arrays["groups"][i, half:] = 12
        arrays["mask"][i, half:] = 0.6
    return arrays


def slot_labels(f0tracks, *labels):
    """.f0labels for f0tracks: each slot's runs of non-zero F0 take the given
    labels in turn, one label per run."""
    f0labels = np.zeros(f0tracks.shape, np.int16)
    for slot, slot_labels in enumerate(labels):
        for (first, last), label in zip(cr._runs(f0tracks[:, slot] != 0), slot_labels):
            f0labels[first:last + 1, slot] = label
    return f0labels


def claims(nframes, tracks, nchans=32):
    """Result arrays, .f0labels included, in which each track (identifier,
    slot, first frame, last frame, group) claims its channel group (1: the
    lower half of the channels, 2: the upper half) in its frames, slot 1
    after slot 0 as corlune claims; files keep the identifiers' low 16 bits.
    Also returns the identifier of every unit's track (0 = none)."""
    half = nchans // 2
    arrays = {s: np.zeros((nframes, cols or nchans), dtype) for s, (dtype, cols) in FILES.items()}
    truth = np.zeros((nframes, nchans), np.int64)
    for ident, slot, first, last, group in sorted(tracks, key=lambda t: t[1]):
        rows, chans = slice(first, last + 1), slice(0, half) if group == 1 else slice(half, None)
        f0 = 100.0 + 100.0 * slot + ident % 50
        arrays["f0tracks"][rows, slot] = f0
        arrays["f0cands"][rows, 0 if group == 1 else 1 + slot] = f0
        arrays["frmseg"][rows, chans] = group
        label = np.array(ident % 65536, np.uint16).view(np.int16)
        arrays["f0labels"][rows, slot] = arrays["groups"][rows, chans] = label
        arrays["mask"][rows, chans] = 0.9 - 0.3 * slot
        truth[rows, chans] = ident
    return arrays, truth


def write(prefix, arrays):
    for suffix, array in arrays.items():
        array.astype(FILES[suffix][0]).tofile(f"{prefix}.{suffix}")


def record_of(prefix, suffixes=tuple(cr.LAYOUT)):
    """A record of the files as they are now, in corlune's format."""
    lines = [cr.RECORD_HEADER]
    for s in suffixes:
        with open(f"{prefix}.{s}", "rb") as f:
            data = f.read()
        lines.append(f".{s} {len(data)} {zlib.crc32(data):08x}")
    return "\n".join(lines + [cr.RECORD_END, ""])


def write_record(prefix, text):
    with open(f"{prefix}.{cr.RECORD}", "w") as f:
        f.write(text)


class ResultFiles(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.prefix = os.path.join(self.tmp.name, "utt")

    def tearDown(self):
        self.tmp.cleanup()


class ReaderTest(ResultFiles):
    def test_arrays_have_layout_types_shapes_and_values(self):
        for nchans in (32, 20):
            arrays = two_voices(nchans=nchans)
            write(self.prefix, arrays)
            res = cr.load(self.prefix)
            self.assertEqual((res.nframes, res.nchans, res.seconds), (120, nchans, 1.2))
            for suffix, (dtype, cols) in cr.LAYOUT.items():
                got = getattr(res, suffix)
                self.assertEqual(got.dtype, dtype)
                self.assertEqual(got.shape, (120, cols or nchans))
                np.testing.assert_array_equal(got, arrays[suffix])

    def test_inconsistent_or_missing_files_are_reported(self):
        cases = {
            "mask one frame short": ("mask", lambda a: a[:-1], "disagree on the frame count"),
            "labels of 31 channels": ("groups", lambda a: a[:, :31], "disagree"),
            "half an int16": ("groups", lambda a: a.view(np.uint8).ravel()[:-1], "not a whole number"),
            "missing": ("f0tracks", None, "cannot read result file"),
        }
        for name, (suffix, change, message) in cases.items():
            with self.subTest(name):
                arrays = two_voices()
                write(self.prefix, arrays)
                path = f"{self.prefix}.{suffix}"
                os.remove(path)
                if change:
                    np.ascontiguousarray(change(arrays[suffix])).tofile(path)
                with self.assertRaises(cr.ResultFileError) as caught:
                    cr.load(self.prefix)
                self.assertIn(message, str(caught.exception))
                self.assertIn(path, str(caught.exception))

    def test_run_without_frames(self):
        write(self.prefix, {s: np.zeros((0, 1), d) for s, (d, _) in cr.LAYOUT.items()})
        res = cr.load(self.prefix)
        self.assertEqual((res.nframes, res.groups.shape), (0, (0, 0)))
        self.assertIn("(none)", cr.summary(res))


class RecordTest(ResultFiles):
    def test_set_that_matches_its_record_is_loaded(self):
        write(self.prefix, two_voices())
        write_record(self.prefix, record_of(self.prefix))
        res = cr.load(self.prefix)
        self.assertEqual(list(res.record), list(cr.LAYOUT))
        self.assertEqual(res.record["mask"][0], 120 * 32 * 4)
        res.mask[0, 0] = 0.5  # arrays stay writable

    def test_sets_that_do_not_match_their_record_are_refused(self):
        other = two_voices()
        other["groups"][60:70, :16] = 11  # another run of the same length
        header, four = cr.RECORD_HEADER, ("frmseg", "f0cands", "f0tracks", "groups")
        cases = {
            # name: (change to the published set, text expected in the message)
            "file of another run": (lambda: write(self.prefix, {"groups": other["groups"]}),
                                    "groups does not match"),
            "file cut short": (lambda: os.truncate(f"{self.prefix}.mask", 100), "mask does not match"),
            "placeholder": (lambda: write_record(self.prefix, f"{header}\npublishing\n"),
                            "stopped while publishing"),
            "record cut short": (lambda: write_record(self.prefix, record_of(self.prefix)[:-4]),
                                 "cut short"),
            "file not listed": (lambda: write_record(self.prefix, record_of(self.prefix, four)),
                                "does not list"),
            "listed file missing": (lambda: write_record(self.prefix, record_of(self.prefix).replace(
                                        "end\n", ".f0labels 0 00000000\nend\n")), "cannot read result file"),
            "not a record": (lambda: write_record(self.prefix, "\x89PNG"), "not a corlune result record"),
            "malformed line": (lambda: write_record(self.prefix, record_of(self.prefix).replace(
                                   ".mask", "mask")), "malformed line"),
        }
        for name, (change, message) in cases.items():
            with self.subTest(name):
                write(self.prefix, two_voices())
                write_record(self.prefix, record_of(self.prefix))
                change()
                with self.assertRaises(cr.ResultFileError) as caught:
                    cr.load(self.prefix)
                self.assertIn(message, str(caught.exception))

    def test_set_from_before_records_is_loaded_as_it_is(self):
        write(self.prefix, two_voices())
        self.assertIsNone(cr.load(self.prefix).record)

    def test_f0labels_are_read_when_they_belong_to_the_set(self):
        arrays = two_voices()
        f0labels = slot_labels(arrays["f0tracks"], [6], [12])
        write(self.prefix, {**arrays, "f0labels": f0labels})
        with self.subTest("no record: read when present"):
            np.testing.assert_array_equal(cr.load(self.prefix).f0labels, f0labels)
        with self.subTest("listed in the record"):
            write_record(self.prefix, record_of(self.prefix, WITH_LABELS))
            res = cr.load(self.prefix)
            self.assertEqual(list(res.record), list(WITH_LABELS))
            np.testing.assert_array_equal(res.f0labels, f0labels)
        with self.subTest("left over from another run: not in the record"):
            write_record(self.prefix, record_of(self.prefix))
            self.assertIsNone(cr.load(self.prefix).f0labels)
        with self.subTest("listed, but changed since"):
            write_record(self.prefix, record_of(self.prefix, WITH_LABELS))
            write(self.prefix, {"f0labels": f0labels[::-1]})
            self.assertRaisesRegex(cr.ResultFileError, "f0labels does not match", cr.load, self.prefix)
        with self.subTest("frame count differs"):
            os.remove(f"{self.prefix}.{cr.RECORD}")
            write(self.prefix, {"f0labels": f0labels[:-1]})
            self.assertRaisesRegex(cr.ResultFileError, r"(?s)disagree.*\.f0labels: 238 values",
                                   cr.load, self.prefix)


def voices_of(arrays):
    """.voices for two_voices(): slot 0's fragment (label 6) is voice 1, slot 1's voice 2."""
    return np.where(arrays["groups"] == 6, 1, np.where(arrays["groups"] == 12, 2, 0)).astype(np.int16)


class VoicesTest(ResultFiles):
    def test_voices_are_read_checked_and_summed_up(self):
        arrays = two_voices()
        voices = voices_of(arrays)
        write(self.prefix, {**arrays, "voices": voices})
        write_record(self.prefix, record_of(self.prefix, (*cr.LAYOUT, "voices")))
        res = cr.load(self.prefix)
        np.testing.assert_array_equal(res.voices, voices)
        self.assertEqual(cr.fragment_voices(res).tolist(), [1, 2])
        self.assertIn("voices          1440 units in 1 fragments (voice 1, the lower), "
                      "1440 in 1 (voice 2)", cr.summary(res))
        self.assertIsNone(cr.fragment_voices(dataclasses.replace(res, voices=None)))
        os.remove(f"{self.prefix}.{cr.RECORD}")
        # Labelled by pitch, units that no fragment claims have voices too.
        by_pitch = voices.copy()
        by_pitch[5, 0] = 1
        write(self.prefix, {"voices": by_pitch})
        self.assertEqual(cr.fragment_voices(cr.load(self.prefix)).tolist(), [1, 2])
        for name, change, message in (
                ("a voice 3", lambda v: v.__setitem__((50, 3), 3), "voice 3 at frame 50, channel 3"),
                ("one fragment in two voices", lambda v: v.__setitem__((50, 3), 2),
                 "units of fragment 6 two voices")):
            with self.subTest(name):
                bad = voices.copy()
                change(bad)
                write(self.prefix, {"voices": bad})
                with self.assertRaisesRegex(cr.ResultFileError, message):
                    cr.fragment_voices(cr.load(self.prefix))

    def test_viewer_colours_by_voice(self):
        arrays = two_voices()
        write(self.prefix, arrays)
        png = os.path.join(self.tmp.name, "utt.png")
        done = subprocess.run([VIEW, self.prefix, "--png", png, "--colour", "voice"],
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 1)
        self.assertIn("has no .voices to colour by voice", done.stderr)
        write(self.prefix, {"voices": voices_of(arrays)})
        done = subprocess.run([VIEW, self.prefix, "--png", png, "--colour", "voice"],
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("voices ", done.stdout)
        res = cr.load(self.prefix)
        known = cr.identify(res)
        image = corlune_plot._unit_image(res, known, 50, 51, corlune_plot.VOICE_PALETTE,
                                         cr.fragment_voices(res, known) - 1)
        full = 0.2 + 0.8 * (0.9 - 0.5) / (cr.MASK_EXACT - 0.5)
        np.testing.assert_allclose(image[0, 0], 1 - full * (1 - corlune_plot.VOICE_PALETTE[0]),
                                   rtol=1e-6)


class DerivationTest(ResultFiles):
    def test_two_voices_give_two_tracks_and_two_fragments(self):
        arrays = two_voices()
        write(self.prefix, arrays)
        res = cr.load(self.prefix)
        f0 = arrays["f0tracks"]
        self.assertEqual(cr.tracks(res),
                         [cr.Track(6, 0, 10, 99, float(f0[10, 0]), float(f0[99, 0])),
                          cr.Track(12, 1, 20, 109, float(f0[109, 1]), float(f0[20, 1]))])
        (f6, f12) = cr.fragments(res)
        self.assertEqual((f6.label, f6.units, f6.first, f6.last), (6, 90 * 16, 10, 99))
        self.assertEqual((f12.label, f12.units, f12.first, f12.last), (12, 90 * 16, 20, 109))
        self.assertAlmostEqual(f6.mean_mask, 0.9, places=6)
        self.assertAlmostEqual(f12.mean_mask, 0.6, places=6)
        text = cr.summary(res, every=True)
        self.assertRegex(text, r"\n +6 +0 +10 +99 +0\.10- 1\.00 +100\.\d\d +108\.\d\d\n")
        self.assertRegex(text, r"\n +12 +1 +20 +109 +0\.20- 1\.10 +19\d\.\d\d +198\.\d\d\n")

    def test_tracks_of_one_slot_back_to_back_are_split_by_label(self):
        arrays = two_voices()
        arrays["groups"][50:100, :16] = 11
        write(self.prefix, arrays)
        slot0 = [(t.ident, t.first, t.last) for t in cr.tracks(cr.load(self.prefix)) if t.slot == 0]
        self.assertEqual(slot0, [(6, 10, 49), (11, 50, 99)])

    def test_label_overwritten_by_slot_1_is_not_taken_for_slot_0(self):
        # Frames 40-59: the slot-0 track follows a group-2 candidate that the
        # slot-1 track's group also carries, so all of group 2 shows label 12.
        arrays = two_voices()
        arrays["f0cands"][40:60, 3] = arrays["f0tracks"][40:60, 0]
        arrays["f0cands"][40:60, 0] = 0.0
        arrays["frmseg"][40:60, :16] = 0
        arrays["groups"][40:60, :16] = 0
        # Frames 110-114: a slot-0 track whose units were all overwritten.
        arrays["f0tracks"][110:115, 0] = arrays["f0cands"][110:115, 3] = 150.0
        arrays["f0tracks"][110:115, 1] = arrays["f0cands"][110:115, 1] = 151.0
        arrays["frmseg"][110:115, 16:] = 2
        arrays["groups"][110:115, 16:] = 17
        write(self.prefix, arrays)
        res = cr.load(self.prefix)
        slot0 = [(t.ident, t.first, t.last) for t in cr.tracks(res) if t.slot == 0]
        self.assertEqual(slot0, [(6, 10, 99), (0, 110, 114)])
        self.assertRegex(cr.summary(res, every=True), r"\n +\? +0 +110 +114 ")


def slot0_id(k):
    return 1 + 5 * k  # the k-th track slot 0 numbers


class WrappedLabelsTest(ResultFiles):
    """Slot 0 numbers 13200 tracks (identifiers 6 .. 66001, beyond 16 bits;
    65536 is kept as 0), discarding the 3rd, 4th, 500th and the last; slot 1
    numbers from 66007 on. Slot-0 tracks take two frames each, in pairs back
    to back. Slot-1 tracks run beside four of them: on another group, on the
    same group (slot 1 keeps it), and twice with the same low 16 bits as the
    slot-0 track beside it, on another group and on the same one."""
    NSLOT0, DISCARDED, SHARED = 13200, {3, 4, 500, 13200}, 13150

    @classmethod
    def setUpClass(cls):
        kept = [k for k in range(1, cls.NSLOT0 + 1) if k not in cls.DISCARDED]
        start = {k: 2 * p + p // 2 for p, k in enumerate(kept)}
        shared = cls.SHARED
        beside = {10: (0, 2, 1), 20: (2, 2, 2), shared: (shared + 13106 - cls.NSLOT0, 2, 1),
                  shared + 1: (shared + 13107 - cls.NSLOT0, 2, 2)}  # k: (j, slot-1 group, slot-0 group)
        cls.tracks = [(slot0_id(k), 0, start[k], start[k] + 1, beside.get(k, (0, 0, 1))[2])
                      for k in kept]
        cls.tracks_of_slot0 = list(cls.tracks)
        cls.tracks += [(7 + 5 * (j + cls.NSLOT0), 1, start[k], start[k] + 1, group)
                       for k, (j, group, _) in beside.items()]
        cls.arrays, cls.truth = claims(start[kept[-1]] + 2, cls.tracks)

    def identify(self, without=()):
        write(self.prefix, {s: a for s, a in self.arrays.items() if s not in without})
        return cr.identify(cr.load(self.prefix))

    def test_identifiers_unwrapped_from_slot_labels(self):
        known = self.identify()
        self.assertEqual((known.unique, known.source), (True, ".f0labels"))
        expected = sorted(self.tracks, key=lambda t: (t[2], t[1]))
        self.assertEqual([(t.ident, t.slot, t.first, t.last) for t in known.tracks],
                         [t[:4] for t in expected])
        self.assertIn(65536, [t.ident for t in known.tracks])
        np.testing.assert_array_equal(known.ids, self.truth)
        # Every track has a fragment but the slot-0 ones whose group slot 1 took over.
        lost = [i for i, t in enumerate(known.tracks)
                if t.ident in (slot0_id(20), slot0_id(self.SHARED + 1))]
        self.assertEqual(np.flatnonzero(known.track_fragment < 0).tolist(), lost)
        self.assertEqual(len(known.fragments), len(known.tracks) - 2)
        for track, i in zip(known.tracks, known.track_fragment):
            if i >= 0:
                frag = known.fragments[i]
                self.assertEqual((frag.label, frag.slot, frag.units, frag.first, frag.last),
                                 (track.ident, track.slot, 32, track.first, track.last))
        self.assertTrue((np.diff([f.first for f in known.fragments]) >= 0).all())

    def test_without_slot_labels_wrapped_identifiers_are_flagged(self):
        known = self.identify(without=("f0labels",))
        self.assertEqual((known.unique, known.source), (False, ".groups"))
        # 66007 of slot 1 shows the low 16 bits of 471 of slot 0: one fragment
        (shared,) = [f for f in known.fragments if f.label == 471]
        self.assertEqual((shared.slot, shared.units), (None, 2 * 32))
        self.assertIn("\nWarning: identifiers passed 32767 and this set has no .f0labels",
                      cr.summary(cr.load(self.prefix), known=known))

    def test_viewer_draws_a_range_of_a_long_set(self):
        self.identify()
        for colour in ("fragment", "slot"):
            with self.subTest(colour=colour):
                png = os.path.join(self.tmp.name, f"{colour}.png")
                done = subprocess.run([VIEW, self.prefix, "--png", png, "--from", "60", "--to",
                                       "120", "--colour", colour], capture_output=True, text=True,
                                      timeout=120)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertTrue(done.stdout.endswith(f"figure written to {png}\n"))
                self.assertGreater(os.path.getsize(png), 10000)

    def test_summary_fits_a_screen_and_all_lists_every_fragment(self):
        self.identify()
        res = cr.load(self.prefix)
        short = cr.summary(res).splitlines()
        self.assertLess(len(short), 40)
        self.assertIn(f"F0 tracks        {len(self.tracks)}  (identifiers 6 .. 131292, from "
                      f".f0labels)", short)
        self.assertEqual(short[-cr.LONGEST - 2], f"The {cr.LONGEST} longest of "
                         f"{len(self.tracks) - 2} (--all lists every track and fragment):")
        self.assertRegex(short[-cr.LONGEST], r"^ +\d+ +[01] +32 ")
        slots = [line.split() for line in short if re.match(r" +[01] +\d+ +\d+ +\d", line)]
        nslot1 = len(self.tracks) - len(self.tracks_of_slot0)
        self.assertEqual([row[:3] for row in slots], [["0", str(len(self.tracks_of_slot0)),
                                                       str(2 * len(self.tracks_of_slot0))],
                                                      ["1", str(nslot1), str(2 * nslot1)]])
        every = cr.summary(res, every=True)
        # the longest and their title give way to the tracks' table and every fragment
        ntracks = len(self.tracks)
        self.assertEqual(len(every.splitlines()),
                         len(short) - cr.LONGEST - 1 + (3 + ntracks + 1) + ntracks - 2)
        self.assertRegex(every, r"\n 65536 +0 +32 ")


class ConsistencyTest(ResultFiles):
    def test_two_voices_give_the_same_with_and_without_slot_labels(self):
        arrays = two_voices()
        write(self.prefix, arrays)
        before = cr.identify(cr.load(self.prefix))
        write(self.prefix, {"f0labels": slot_labels(arrays["f0tracks"], [6], [12])})
        after = cr.identify(cr.load(self.prefix))
        self.assertEqual((before.tracks, before.fragments), (after.tracks, after.fragments))
        np.testing.assert_array_equal(before.ids, after.ids)
        self.assertEqual((before.source, after.source), (".groups", ".f0labels"))

    def test_tracks_of_one_slot_with_equal_labels_stay_apart(self):
        # 65536 apart, as when 13107 tracks between them were discarded
        arrays, _ = claims(10, [(6, 0, 0, 2, 1), (6 + 65536, 0, 5, 8, 1)])
        write(self.prefix, arrays)
        known = cr.identify(cr.load(self.prefix))
        self.assertEqual([(f.label, f.first) for f in known.fragments], [(6, 0), (65542, 5)])

    def test_files_that_contradict_the_slot_labels_are_refused(self):
        arrays = two_voices()
        arrays["f0labels"] = slot_labels(arrays["f0tracks"], [6], [12])
        cases = {"track in an empty slot": ("f0labels", (5, 0), 6, "slot 0 of frame 5"),
                 "unit of no track": ("groups", (50, 3), 11, "frame 50, channel 3 carries label 11")}
        for name, (suffix, at, value, message) in cases.items():
            with self.subTest(name):
                changed = {**arrays, suffix: arrays[suffix].copy()}
                changed[suffix][at] = value
                write(self.prefix, changed)
                with self.assertRaises(cr.ResultFileError) as caught:
                    cr.identify(cr.load(self.prefix))
                self.assertIn(message, str(caught.exception))

    def test_run_without_frames(self):
        write(self.prefix, {s: np.zeros((0, 2), d) for s, (d, _) in FILES.items()})
        known = cr.identify(cr.load(self.prefix))
        self.assertEqual((known.tracks, known.fragments, known.ids.shape), ([], [], (0, 0)))


class FigureTest(ResultFiles):
    def test_neighbouring_fragments_differ_in_colour(self):
        # one long fragment beside a run of short ones, then fragments apart
        frags = [cr.Fragment(1, 1, 0.9, 0, 100)]
        frags += [cr.Fragment(2 + i, 1, 0.9, 5 + 5 * i, 8 + 5 * i) for i in range(12)]
        frags += [cr.Fragment(20 + i, 1, 0.9, 200 + 10 * i, 202 + 10 * i) for i in range(12)]
        colours = corlune_plot.fragment_colours(frags, 9).tolist()
        self.assertNotIn(colours[0], colours[1:13])
        self.assertTrue(all(a != b for a, b in zip(colours[1:13], colours[2:13])))
        self.assertEqual(colours[13:], [(colours[12] + 1 + i) % 9 for i in range(12)])

    def test_units_take_their_fragment_colour_shaded_by_mask(self):
        arrays = two_voices()  # slot 0 in frames 10-99, lower half; slot 1 in 20-109, upper half
        arrays["mask"][96, :16] = 0.5
        write(self.prefix, arrays)
        res = cr.load(self.prefix)
        palette = corlune_plot.PALETTE
        image = corlune_plot._unit_image(res, cr.identify(res), 95, 115, palette, np.array([3, 5]))
        self.assertEqual(image.shape, (32, 20, 3))

        def shaded(colour, mask):
            return 1 - (0.2 + 0.8 * (mask - 0.5) / (cr.MASK_EXACT - 0.5)) * (1 - palette[colour])
        for (chan, column), rgb in {(0, 0): shaded(3, 0.9), (0, 1): shaded(3, 0.5),
                                    (31, 0): shaded(5, 0.6), (31, 10): shaded(5, 0.6),
                                    (0, 10): np.ones(3), (31, 15): np.ones(3)}.items():
            np.testing.assert_allclose(image[chan, column], rgb, rtol=1e-6,
                                       err_msg=f"channel {chan}, frame {95 + column}")

    def test_ranges_in_seconds_give_frames(self):
        write(self.prefix, two_voices())
        res = cr.load(self.prefix)
        self.assertEqual(corlune_plot.frame_range(res), (0, 120))
        self.assertEqual(corlune_plot.frame_range(res, 0.3, 0.7), (30, 70))
        self.assertEqual(corlune_plot.frame_range(res, 0.305, 9), (30, 120))
        for start, stop in ((0.7, 0.3), (1.2, None), (-1, None), (None, 0)):
            self.assertRaises(ValueError, corlune_plot.frame_range, res, start, stop)


class CommandTest(ResultFiles):
    def run_view(self, *args):
        return subprocess.run([VIEW, *args], capture_output=True, text=True, timeout=60)

    def test_summary_and_figure(self):
        write(self.prefix, two_voices())
        png = os.path.join(self.tmp.name, "utt.png")
        done = self.run_view(self.prefix + ".groups", "--png", png)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout, cr.summary(cr.load(self.prefix)) + f"figure written to {png}\n")
        with open(png, "rb") as f:
            data = f.read()
        self.assertTrue(data.startswith(b"\x89PNG\r\n\x1a\n"))
        self.assertGreater(len(data), 10000)
        done = self.run_view(self.prefix, "--all")
        self.assertEqual(done.stdout, cr.summary(cr.load(self.prefix), every=True))

    def test_failures_exit_1_with_a_message(self):
        done = self.run_view(self.prefix)
        self.assertEqual((done.returncode, done.stdout), (1, ""))
        self.assertIn(f"corlune-view: cannot read result file {self.prefix}.", done.stderr)
        write(self.prefix, two_voices())
        write_record(self.prefix, record_of(self.prefix))
        os.truncate(f"{self.prefix}.f0cands", 0)
        done = self.run_view(f"{self.prefix}.{cr.RECORD}")
        self.assertEqual((done.returncode, done.stdout), (1, ""))
        self.assertIn(f"corlune-view: {self.prefix}.f0cands does not match", done.stderr)
        write(self.prefix, two_voices())
        done = self.run_view(self.prefix, "--png", os.path.join(self.tmp.name, "no", "x.png"))
        self.assertEqual(done.returncode, 1)
        self.assertIn("corlune-view: cannot write", done.stderr)

    def test_ranges_and_colours_without_a_figure_or_outside_the_run_are_refused(self):
        write(self.prefix, two_voices())
        png = os.path.join(self.tmp.name, "utt.png")
        for args, message in (((self.prefix, "--from", "0.5"), "give --png FILE"),
                              ((self.prefix, "--colour", "slot"), "give --png FILE"),
                              ((self.prefix, "--png", png, "--from", "2"), "not within the 1.20 s"),
                              ((self.prefix, "--png", png, "--from", "1", "--to", "0.5"), "ends")):
            with self.subTest(args=args):
                done = self.run_view(*args)
                self.assertEqual((done.returncode, done.stdout), (2, ""))
                self.assertIn(message, done.stderr)
        self.assertFalse(os.path.exists(png))


if __name__ == "__main__":
    unittest.main()
