"""The result files of one corlune run as named numpy arrays (corlune.load).

corlune writes five or six headerless, row-major, little-endian matrices per
utterance, one row per 10 ms analysis frame, named PREFIX + suffix:

    .frmseg    int16    one column per channel  channel group of each unit: 0 none, 1, 2
    .f0cands   float32  4 columns               F0 candidates in Hz: column 0 of group 1,
                                                columns 1-3 of group 2; 0.0 = none
    .f0tracks  float32  2 columns               F0 in Hz of the track in each of the two
                                                track slots; 0.0 = empty slot
    .groups    int16    one column per channel  fragment label of each unit (the identifier
                                                of the track that claimed it); 0 = none
    .mask      float32  one column per channel  mask value of each unit: 0.0 outside any
                                                fragment, else 0.5 .. 0.953
    .f0labels  int16    2 columns               low 16 bits of the identifier of the track
                                                in each track slot; 0 = empty slot
                                                (sets of older corlune versions lack it)
    .voices    int16    one column per channel  voice of each unit: 1 the lower voice, 2 the
                                                higher, 0 the rest (--separate=fragments: the
                                                units no fragment claims; --separate=pitch
                                                gives voices to unclaimed units too); only in
                                                sets of runs that separated voices

Channel 0 has the lowest centre frequency. corlune publishes the files of a
run as one set and then PREFIX.record, a text file that lists each file's
suffix, size in bytes and CRC-32 (zlib's); it is renamed into place last.
`load` reads the files, checks them against the record and checks that they
agree on the frame count; the channel count follows from the file sizes.
.f0labels and .voices are read when the record lists them (or, in a set
without a record, when they exist): such a file beside a record that does not
list it is left alone, as it cannot be this run's. A set whose files do not match its record (files of two runs, as a run killed
while renaming its files leaves them, or a file changed or cut short since) is
refused, and so is a set whose record says "publishing" (its run was stopped
before the record could follow the files). A set without any record was
written by a corlune from before records existed and is loaded as it is
(`Results.record` is None): corlune itself never leaves a new set without one.
`identify` derives the F0 tracks and the fragments, with identifiers that
stay unique however long the run (`tracks` and `fragments` return each),
`fragment_voices` the voice of each fragment, and `summary` renders them as
text.
"""

import os
import zlib
from dataclasses import dataclass, field

import numpy as np

FRAME_SECONDS = 0.01
MASK_EXACT = 0.95257  # mask value of a unit whose periodicity matches its track's F0

# suffix -> (element type, columns); None means one column per channel.
LAYOUT = {
    "frmseg": (np.dtype("<i2"), None),
    "f0cands": (np.dtype("<f4"), 4),
    "f0tracks": (np.dtype("<f4"), 2),
    "groups": (np.dtype("<i2"), None),
    "mask": (np.dtype("<f4"), None),
}
# Files that newer corlune versions add to a set and older sets lack.
OPTIONAL_LAYOUT = {
    "f0labels": (np.dtype("<i2"), 2),
    "voices": (np.dtype("<i2"), None),
}
VOICES = (1, 2)  # the voices' labels in .voices; 0 is the rest


RECORD = "record"                       # suffix of the record of a set
RECORD_HEADER = "corlune result record 1"
RECORD_PUBLISHING = "publishing"        # second line of the placeholder record
RECORD_END = "end"


class ResultFileError(Exception):
    """A result file is missing, unreadable, or inconsistent with the others."""


@dataclass(frozen=True)
class Results:
    """The results of one analysis: numpy arrays with one row per 10 ms frame,
    in the element types of the result files (see the package's help), from
    corlune.analyze, analyze_file or load. prefix is None for results held
    only in memory; save(prefix) writes them as the program does."""
    prefix: str
    frmseg: np.ndarray    # frames x channels, int16
    f0cands: np.ndarray   # frames x 4, float32
    f0tracks: np.ndarray  # frames x 2, float32
    groups: np.ndarray    # frames x channels, int16
    mask: np.ndarray      # frames x channels, float32
    # suffix (without the dot) -> (size in bytes, CRC-32) as PREFIX.record lists
    # them; None for a set written before records existed
    record: dict = field(default=None, compare=False)
    # frames x 2, int16: the low 16 bits of each slot's track identifier; None
    # for a set without .f0labels
    f0labels: np.ndarray = None
    # frames x channels, int16: each unit's voice (1, 2; 0 the rest); None for
    # a set without .voices
    voices: np.ndarray = None
    # What corlune.analyze adds (None in a loaded set): the sample rate in Hz;
    # frames x channels int64, each unit's track identifier, never wrapped
    # (0 = none; identify(res).ids derives the same from the files); frames x
    # 2 int64, the identifier of each slot's track (0 = empty slot).
    srate: int = field(default=None, compare=False)
    ids: np.ndarray = field(default=None, compare=False, repr=False)
    slot_ids: np.ndarray = field(default=None, compare=False, repr=False)
    # channels float64: the centre frequency of each channel in Hz, channel 0
    # lowest (the filterbank's own values after analyze, the ERB-rate formula
    # after load)
    cfs: np.ndarray = field(default=None, compare=False, repr=False)

    def __post_init__(self):
        if self.cfs is None:
            object.__setattr__(self, "cfs", centre_frequencies(self.nchans))

    @property
    def nframes(self):
        return self.f0tracks.shape[0]

    @property
    def nchans(self):
        return self.frmseg.shape[1]

    @property
    def seconds(self):
        return self.nframes * FRAME_SECONDS

    @property
    def times(self):
        """frames float64: the time in seconds at which each frame starts."""
        return np.arange(self.nframes) * FRAME_SECONDS

    def save(self, prefix, sync=False):
        """Writes the result files PREFIX.frmseg ... PREFIX.f0labels (and
        PREFIX.voices when the results hold voices; not the voices' WAV files)
        and their record PREFIX.record, as the program publishes them: byte
        for byte the program's files for the same samples, published whole or
        not at all (the directory of PREFIX must exist). sync flushes them to disk first.
        Raises OSError naming the file when one cannot be written."""
        from . import _core
        outdir, name = os.path.split(os.fspath(prefix))
        files = [(f".{s}", _file_bytes(getattr(self, s), dtype))
                 for s, (dtype, _) in {**LAYOUT, **OPTIONAL_LAYOUT}.items()
                 if getattr(self, s) is not None]
        _core.publish(outdir or ".", name, files, sync)


def _file_bytes(array, dtype):
    """array as a result file holds it: row-major, little-endian."""
    return np.ascontiguousarray(array, dtype=dtype).reshape(-1).view(np.uint8)


def centre_frequencies(nchans, lowcf=50.0, highcf=8000.0):
    """Channel centre frequencies of corlune's filterbank in Hz: evenly spaced
    on the ERB-rate scale from lowcf to highcf, the band the program always
    uses."""
    rates = np.linspace(_erb_rate(lowcf), _erb_rate(highcf), nchans)
    return (10 ** (rates / 21.4) - 1) / 0.00437


def _erb_rate(f):
    return 21.4 * np.log10(0.00437 * f + 1)


def load(prefix, nchans=None):
    """Reads PREFIX.frmseg ... PREFIX.mask, and PREFIX.f0labels when the set has
    it; nchans is derived unless given.

    Raises ResultFileError when a file is missing or unreadable, when the files
    do not match PREFIX.record, or when they disagree on the frame count."""
    record = read_record(prefix)
    layout = dict(LAYOUT)
    layout.update((s, form) for s, form in OPTIONAL_LAYOUT.items()
                  if _in_set(prefix, record, s))
    data = {s: _read(f"{prefix}.{s}") for s in layout}
    if record is not None:
        _check_record(prefix, record, data)
    counts = {s: _element_count(f"{prefix}.{s}", len(data[s]), dtype)
              for s, (dtype, _) in layout.items()}
    nframes = counts["f0tracks"] // 2
    if nchans is None:
        nchans = counts["frmseg"] // nframes if nframes else 0
    expected = {s: nframes * (cols or nchans) for s, (_, cols) in layout.items()}
    if counts != expected or (nframes and nchans < 1):
        raise ResultFileError(_mismatch_message(prefix, layout, counts, nframes, nchans))
    arrays = {s: np.frombuffer(data[s], dtype).reshape(nframes, cols or nchans)
              for s, (dtype, cols) in layout.items()}
    if "voices" in arrays:
        _check_voices(prefix, arrays)
    return Results(prefix, **arrays, record=record)


def _check_voices(prefix, arrays):
    """Every unit's voice is 0, 1 or 2 (on any unit: a run that labels units by
    pitch gives voices to units that no fragment claims)."""
    voices = arrays["voices"]
    bad = np.argwhere((voices < 0) | (voices > max(VOICES)))
    if bad.size:
        frame, chan = bad[0]
        raise ResultFileError(f"{prefix}.voices: voice {voices[frame, chan]} at frame {frame}, "
                              f"channel {chan}; voices are 0, 1 or 2")


def fragment_voices(res, known=None):
    """Per fragment of identify(res), the voice (1 or 2) its units carry in
    .voices; 0 for a fragment without one. None for a set without .voices.
    Raises ResultFileError when the units of one fragment carry two voices."""
    if res.voices is None:
        return None
    known = known or identify(res)
    where = known.unit_fragment >= 0
    frag, voice = known.unit_fragment[where], res.voices[where].astype(np.int64)
    per = np.zeros((len(known.fragments), len(VOICES) + 1), np.int64)
    np.add.at(per, (frag, voice), 1)
    mixed = np.flatnonzero((per[:, 1:] > 0).sum(axis=1) > 1)
    if mixed.size:
        raise ResultFileError(f"{res.prefix}.voices gives the units of fragment "
                              f"{known.fragments[mixed[0]].label} two voices")
    return np.where(per[:, 1] > 0, 1, np.where(per[:, 2] > 0, 2, 0))


def read_record(prefix):
    """The files PREFIX.record lists: {suffix without the dot: (size, crc32)}.

    None when there is no record; ResultFileError when it is not a complete
    record (the placeholder of a set being published, or cut short)."""
    path = f"{prefix}.{RECORD}"
    try:
        with open(path, "rb") as f:
            text = f.read().decode("ascii")
    except FileNotFoundError:
        return None
    except OSError as e:
        raise ResultFileError(f"cannot read record {path}: {e.strerror}") from None
    except UnicodeDecodeError:
        text = ""
    lines = text.split("\n")
    if lines[0] != RECORD_HEADER:
        raise ResultFileError(f"{path} is not a corlune result record")
    if lines[1:2] == [RECORD_PUBLISHING]:
        raise ResultFileError(f"the result set {prefix} is being published, or its run was "
                              f"stopped while publishing it ({path}); run corlune again")
    if lines[-2:] != [RECORD_END, ""]:
        raise ResultFileError(f"{path} is cut short (no final '{RECORD_END}' line)")
    record = {}
    for line in lines[1:-2]:
        fields = line.split(" ")
        try:
            suffix, size, crc = fields[0], int(fields[1]), int(fields[2], 16)
        except (IndexError, ValueError):
            suffix = ""
        if len(fields) != 3 or not suffix.startswith(".") or suffix[1:] in record:
            raise ResultFileError(f"{path}: malformed line {line!r}")
        record[suffix[1:]] = (size, crc)
    return record


def _in_set(prefix, record, suffix):
    """Whether an optional file belongs to the set: its record lists it, or,
    for a set from before records, the file exists."""
    if record is not None:
        return suffix in record
    return os.path.exists(f"{prefix}.{suffix}")


def _check_record(prefix, record, data):
    """Every file of the set is one the record lists, with its size and CRC-32."""
    for suffix in LAYOUT:
        if suffix not in record:
            raise ResultFileError(f"{prefix}.{RECORD} does not list {prefix}.{suffix}")
    for suffix, (size, crc) in record.items():
        path = f"{prefix}.{suffix}"
        got = data[suffix] if suffix in data else _read(path)
        if len(got) != size or zlib.crc32(got) != crc:
            raise ResultFileError(
                f"{path} does not match {prefix}.{RECORD} ({len(got)} bytes, CRC-32 "
                f"{zlib.crc32(got):08x}; the record says {size} bytes, {crc:08x}): the files "
                f"are not one run's set, or were changed since; run corlune again")


def _read(path):
    """The bytes of a result file, in a writable buffer that numpy arrays can share."""
    try:
        with open(path, "rb") as f:
            buf = bytearray(f.seek(0, 2))
            f.seek(0)
            if f.readinto(buf) != len(buf):
                raise ResultFileError(f"{path} changed size while being read")
    except OSError as e:
        raise ResultFileError(f"cannot read result file {path}: {e.strerror}") from None
    return buf


def _element_count(path, size, dtype):
    if size % dtype.itemsize:
        raise ResultFileError(f"{path} holds {size} bytes, not a whole number of "
                              f"{dtype.itemsize}-byte values (truncated?)")
    return size // dtype.itemsize


def _mismatch_message(prefix, layout, counts, nframes, nchans):
    lines = [f"the result files of {prefix} disagree on the frame count "
             f"(.f0tracks holds {nframes} frames; {nchans} channels):"]
    for s, (_, cols) in layout.items():
        width = cols or nchans
        frames = f"{counts[s] / width:g}" if width else "?"
        lines.append(f"  {prefix}.{s}: {counts[s]} values = {frames} frames of {width}")
    return "\n".join(lines)


@dataclass(frozen=True)
class Track:
    ident: int     # the track's identifier (see identify); 0 when unknown
    slot: int
    first: int     # first and last frame, inclusive
    last: int
    f0min: float
    f0max: float


@dataclass(frozen=True)
class Fragment:
    label: int     # identifier of the track that claimed the units (see identify)
    units: int
    mean_mask: float
    first: int     # first and last frame holding a unit of the fragment
    last: int
    slot: int = None  # slot of that track; None when not known


@dataclass(frozen=True)
class Identities:
    """The tracks and fragments of a set, each with its identifier, and the
    fragment of every unit. See identify."""
    tracks: list                # Track, in order of their first frame, slot 0 first
    fragments: list             # Fragment, in order of their first frame
    unit_fragment: np.ndarray   # frames x channels int32: index into fragments; -1 = none
    slot_track: np.ndarray      # frames x 2 int32: index into tracks; -1 = empty slot
    track_fragment: np.ndarray  # per track, index into fragments of its units; -1 = none
    # False when identifiers passed 32767 in a set without .f0labels: one
    # label of .groups may then stand for several tracks
    unique: bool
    source: str                 # ".f0labels" or ".groups": where the identifiers come from

    @property
    def ids(self):
        """frames x channels int64: the identifier of each unit's fragment; 0 = none."""
        labels = np.array([f.label for f in self.fragments] + [0], np.int64)
        return labels[self.unit_fragment]  # -1 picks the final 0


LABEL_MODULUS = 1 << 16  # .groups and .f0labels keep the low 16 bits of identifiers
LABEL_MAX = 32767        # the largest identifier .groups holds as it is (int16)
FIRST_COUNTER = 1        # each slot numbers its tracks 1 + 5, 1 + 10, ...
ID_STEP = 5


def identify(res):
    """Tracks and fragments with identifiers that stay unique at any length.

    corlune's tracker numbers the tracks of slot 0 6, 11, 16, ... in order of
    their start, and those of slot 1 the same way above every slot-0
    identifier; short tracks it discards leave gaps. .groups and .f0labels keep
    the identifiers' low 16 bits, which wrap after some minutes of speech.

    With .f0labels, a track is one run of frames with one label in one slot
    (non-zero F0 in .f0tracks), and identifiers only grow within a slot, so
    each is the smallest one above the slot's previous with its low 16 bits
    (slot 1 starts above slot 0's largest): these are the tracker's own
    identifiers unless 13107 tracks in a row were discarded. A unit belongs to
    the track of its frame whose label it carries; should both tracks of the
    frame carry the same low 16 bits, to the one that claimed its channel
    group (slot 1 where both did, as slot 1 claims last). Each fragment is
    then the units of one track.

    Without .f0labels (sets of older corlune versions), tracks and fragments
    are derived from .groups as those versions did, with labels read unsigned,
    one fragment per label; once identifiers pass 32767, `unique` is False
    (labels repeat from 65536 on).

    Raises ResultFileError when .f0labels and the other files contradict each
    other."""
    if res.f0labels is not None:
        return _identify_by_slot_labels(res)
    return _identify_by_groups(res)


def tracks(res):
    """The F0 tracks of res (see identify), in order of their first frame."""
    return identify(res).tracks


def fragments(res):
    """The fragments of res (see identify), in order of their first frame."""
    return identify(res).fragments


def _identify_by_slot_labels(res):
    occupied = res.f0tracks != 0
    labels = res.f0labels.view(np.uint16)
    stray = np.argwhere(labels.astype(bool) & ~occupied)
    if stray.size:
        frame, slot = stray[0]
        raise ResultFileError(f"{res.prefix}.f0labels names a track in slot {slot} of frame "
                              f"{frame}, where {res.prefix}.f0tracks has none")
    found, slot_track = _tracks_by_slot_labels(res, labels)
    unit_track = _unit_tracks(res, labels, occupied, slot_track)
    frags, track_fragment, unit_fragment = _fragments_of(res, unit_track, len(found))
    frags = [Fragment(found[k].ident, n, m, a, b, found[k].slot) for k, n, m, a, b in frags]
    return Identities(found, frags, unit_fragment, slot_track, track_fragment, True, ".f0labels")


def _tracks_by_slot_labels(res, labels):
    """The tracks in order of their first frame (slot 0 first), and per frame
    and slot the index of the slot's track among them (-1 = empty)."""
    runs, previous = [], FIRST_COUNTER
    for slot in (0, 1):
        first, last, f0min, f0max = _slot_runs(res.f0tracks[:, slot], labels[:, slot])
        ident = _unwrap(labels[first, slot], previous)
        previous = ident[-1] if ident.size else previous
        runs.append((ident, np.full(len(first), slot), first, last, f0min, f0max))
    ident, slot, first, last, f0min, f0max = (np.concatenate(c) for c in zip(*runs))
    order = np.lexsort((slot, first))
    found = [Track(int(ident[k]), int(slot[k]), int(first[k]), int(last[k]), float(f0min[k]),
                   float(f0max[k])) for k in order]
    rank = np.empty(len(order), np.int32)
    rank[order] = np.arange(len(order))
    slot_track = np.column_stack([_run_index(first[slot == s], last[slot == s], res.nframes,
                                             rank[slot == s]) for s in (0, 1)])
    return found, slot_track


def _slot_runs(f0, labels):
    """First and last frame, lowest and highest F0 of each run of frames with
    one label and non-zero F0."""
    occupied = f0 != 0
    same = occupied[1:] & occupied[:-1] & (labels[1:] == labels[:-1])
    starts, ends = occupied.copy(), occupied.copy()
    starts[1:] &= ~same
    ends[:-1] &= ~same
    first, last = np.flatnonzero(starts), np.flatnonzero(ends)
    if first.size == 0:
        return first, last, np.zeros(0, f0.dtype), np.zeros(0, f0.dtype)
    at = (np.cumsum(occupied) - 1)[first]  # each run's first frame among the occupied ones
    values = f0[occupied]
    return first, last, np.minimum.reduceat(values, at), np.maximum.reduceat(values, at)


def _unwrap(labels, previous):
    """Growing identifiers with the given low 16 bits, each the smallest above
    the one before; previous is the identifier below the first."""
    steps = np.diff(np.concatenate(([previous], labels.astype(np.int64)))) % LABEL_MODULUS
    steps[steps == 0] = LABEL_MODULUS
    return previous + np.cumsum(steps)


def _run_index(first, last, nframes, index):
    """Per frame, index[k] of the run k (frames first[k] .. last[k]; runs
    disjoint and in order) that covers it; -1 elsewhere."""
    run = np.cumsum(np.bincount(first, minlength=nframes)[:nframes]) - 1
    inside = (run >= 0) & (np.arange(nframes) <= np.append(last, -1)[run])
    return np.where(inside, np.append(index, -1)[run], -1).astype(np.int32)


def _unit_tracks(res, labels, occupied, slot_track):
    """frames x channels: index into the tracks of the track each unit belongs to; -1 = none."""
    units = res.groups.view(np.uint16)
    claimed = (res.groups != 0) | (res.mask != 0)
    by_slot = [claimed & occupied[:, s, None] & (units == labels[:, s, None]) for s in (0, 1)]
    both = by_slot[0] & by_slot[1]
    if both.any():  # both labels have the same low 16 bits: slot 1 claimed its groups last
        by_slot[1] &= ~both | _claims_of(res, 1)
        by_slot[0] &= ~by_slot[1]
    stray = np.argwhere(claimed & ~by_slot[0] & ~by_slot[1])
    if stray.size:
        frame, chan = stray[0]
        raise ResultFileError(
            f"{res.prefix}.groups: the unit of frame {frame}, channel {chan} carries label "
            f"{units[frame, chan]}, which no track of that frame has in {res.prefix}.f0labels "
            f"({', '.join(str(v) for v in labels[frame])})")
    return np.where(by_slot[1], slot_track[:, 1, None],
                    np.where(by_slot[0], slot_track[:, 0, None], -1))


def _claims_of(res, slot):
    """frames x channels: the units of the channel groups that slot's track claimed,
    the group whose candidate equals its F0 (column 0 of .f0cands: group 1)."""
    f0, cands = res.f0tracks[:, slot, None], res.f0cands
    group1 = (f0[:, 0] != 0) & (f0[:, 0] == cands[:, 0])
    group2 = (f0 != 0).ravel() & (f0 == cands[:, 1:]).any(axis=1)
    return ((res.frmseg == 1) & group1[:, None]) | ((res.frmseg == 2) & group2[:, None])


def _fragments_of(res, key, nkeys):
    """The units that share a key (frames x channels, 0 .. nkeys - 1; -1 = none),
    in order of their first frame: per key with units (key, units, mean mask,
    first frame, last frame), the index of each key's entry (-1 for keys
    without units) and that index per unit (-1 = none)."""
    frame, chan = np.nonzero(key >= 0)
    keys = key[frame, chan]
    values, first_at, inverse, units = np.unique(keys, return_index=True, return_inverse=True,
                                                 return_counts=True)
    last_at = len(keys) - 1 - np.unique(keys[::-1], return_index=True)[1]
    mask_sum = np.bincount(inverse, weights=res.mask[frame, chan], minlength=len(values))
    first, last = frame[first_at], frame[last_at]
    order = np.lexsort((values, first))
    entry = np.full(nkeys + 1, -1, np.int32)  # the final -1 stands for key -1
    entry[values[order]] = np.arange(len(order))
    found = [(int(values[k]), int(units[k]), float(mask_sum[k] / units[k]), int(first[k]),
              int(last[k])) for k in order]
    return found, entry[:nkeys], entry[key]


def _identify_by_groups(res):
    labels = res.groups.view(np.uint16)
    found = _tracks_by_groups(res, labels)
    slot_track = np.full((res.nframes, 2), -1, np.int32)
    for k, t in enumerate(found):
        slot_track[t.first:t.last + 1, t.slot] = k
    key = np.where(labels != 0, labels.astype(np.int32), -1)
    frags, entry, unit_fragment = _fragments_of(res, key, LABEL_MODULUS)
    slots = {}
    for t in found:
        slots.setdefault(t.ident, set()).add(t.slot)
    frags = [Fragment(label, n, m, a, b, _only(slots.get(label, ())))
             for label, n, m, a, b in frags]
    track_fragment = np.array([entry[t.ident] if t.ident else -1 for t in found], np.int32)
    wrapped = (res.groups < 0).any() or FIRST_COUNTER + ID_STEP * len(found) > LABEL_MAX
    return Identities(found, frags, unit_fragment, slot_track, track_fragment, not wrapped,
                      ".groups")


def _only(values):
    return next(iter(values)) if len(values) == 1 else None


def _tracks_by_groups(res, labels):
    """The F0 tracks as runs of non-zero F0 in each slot of .f0tracks, for sets
    without .f0labels.

    A track's identifier is then the label its units carry in .groups. A
    frame's track claimed the channel group whose candidate equals its F0
    (column 0 of .f0cands: group 1; columns 1-3: group 2), so that group's
    units show its label, unless the slot-1 track claimed the same group in
    that frame and overwrote it. Two tracks of one slot can follow each other
    without an empty frame; a run is split where the visible label changes,
    and frames that show no label stay with the track before them.
    """
    found = []
    overwritten = _claims_of(res, 1)
    for slot in (0, 1):
        f0 = res.f0tracks[:, slot]
        claimed = _claims_of(res, slot) & (~overwritten if slot == 0 else True)
        seen = _most_common_label(labels, claimed).tolist()
        for first, last in _runs(f0 != 0):
            for a, b, ident in _split_by_label(seen, first, last):
                run = f0[a:b + 1]
                found.append(Track(ident, slot, a, b, float(run.min()), float(run.max())))
    return sorted(found, key=lambda t: (t.first, t.slot))


def _most_common_label(labels, where):
    """Per frame, the non-zero label that most units of `where` carry (the
    smallest of equally common ones); 0 when none carries one."""
    shown = np.where(where, labels, 0).astype(np.int64)
    if shown.shape[1] == 0:
        return np.zeros(len(shown), np.int64)
    counts = np.stack([(shown == shown[:, [c]]).sum(axis=1) for c in range(shown.shape[1])], 1)
    score = np.where(shown != 0, counts * LABEL_MODULUS + (LABEL_MODULUS - 1 - shown), -1)
    best = score.argmax(axis=1)
    rows = np.arange(len(shown))
    return np.where(score[rows, best] >= 0, shown[rows, best], 0)


def _runs(flags):
    """(first, last) of each run of True, inclusive."""
    edges = np.diff(np.concatenate(([0], flags.astype(np.int8), [0])))
    return list(zip(np.flatnonzero(edges == 1), np.flatnonzero(edges == -1) - 1))


def _split_by_label(labels, first, last):
    pieces, start, current = [], first, 0
    for i in range(first, last + 1):
        if labels[i] and current and labels[i] != current:
            pieces.append((start, i - 1, current))
            start = i
        current = labels[i] or current
    pieces.append((start, last, current))
    return pieces


LONGEST = 12  # fragments the short summary lists


def summary(res, every=False, known=None):
    """A readable account of the run that fits a screen: sizes, totals, per-slot
    figures and the longest fragments; every=True lists every track and
    fragment instead of the longest. known: identify(res), when at hand."""
    known = known or identify(res)
    grouped = int(np.count_nonzero(res.frmseg.any(axis=1)))
    source = res.prefix if res.prefix is not None else "analysed in memory"
    out = [f"corlune results {source} ({res.nchans} channels)",
           f"frames          {res.nframes:6d}  ({res.seconds:.2f} s, 10 ms a frame)",
           f"grouped frames  {grouped:6d}  (at least one channel in a group, .frmseg)"]
    out += _totals(res, known) + _voice_totals(res, known) + [""] + _slot_table(res, known) + [""]
    width = max(5, len(f"{res.seconds:.2f}"))
    if every:
        out += _track_table(known.tracks, width) + [""] + _fragment_table(known.fragments, width)
    else:
        longest = sorted(known.fragments, key=lambda f: (f.first - f.last, -f.units))[:LONGEST]
        out += _fragment_table(longest, width, f"The {len(longest)} longest of "
                               f"{len(known.fragments)} (--all lists every track and fragment):")
    return "\n".join(out) + "\n"


def _totals(res, known):
    ids = [t.ident for t in known.tracks if t.ident]
    units = sum(f.units for f in known.fragments)
    share = units / res.groups.size if res.groups.size else 0.0
    out = [f"F0 tracks       {len(known.tracks):6d}"
           + (f"  (identifiers {min(ids)} .. {max(ids)}, from {known.source})" if ids else ""),
           f"fragments       {len(known.fragments):6d}  ({units} units, {100 * share:.1f}% of all; "
           f"mean mask {_mean_mask(known.fragments):.3f})"]
    if not known.unique:
        out += ["Warning: identifiers passed 32767 and this set has no .f0labels (an older",
                "corlune wrote it). Read unsigned, labels stay unique up to 65535; beyond, one",
                "label may stand for several tracks, whose fragments are then counted as one."]
    return out


def _voice_totals(res, known):
    """Units and fragments of each voice, for a set with .voices."""
    voices = fragment_voices(res, known)
    if voices is None:
        return []
    units = [int(np.count_nonzero(res.voices == v)) for v in VOICES]
    frags = [int(np.count_nonzero(voices == v)) for v in VOICES]
    return [f"voices          {units[0]} units in {frags[0]} fragments (voice 1, the lower), "
            f"{units[1]} in {frags[1]} (voice 2)"]


def _mean_mask(frags):
    units = sum(f.units for f in frags)
    return sum(f.units * f.mean_mask for f in frags) / units if units else 0.0


SLOT_ROW = "{:>4} {:>7} {:>7} {:>6} {:>8} {:>8} {:>7} {:>8} {:>10} {:>8} {:>5}"


def _slot_table(res, known):
    """Per slot: tracks, frames they cover, longest, F0, fragments, units, mean mask."""
    out = ["Per slot (longest: frames of the longest track; F0 over all its frames, Hz):",
           SLOT_ROW.format("slot", "tracks", "frames", "share", "longest", "F0 min", "median",
                           "F0 max", "fragments", "units", "mask")]
    for slot in (0, 1):
        lengths = [t.last - t.first + 1 for t in known.tracks if t.slot == slot]
        f0 = res.f0tracks[:, slot]
        f0 = f0[f0 != 0]
        hz = ([f"{f0.min():.2f}", f"{np.median(f0):.2f}", f"{f0.max():.2f}"] if f0.size
              else ["-"] * 3)
        frags = [f for f in known.fragments if f.slot == slot]
        share = f"{100 * sum(lengths) / res.nframes:.1f}%" if res.nframes else "-"
        out.append(SLOT_ROW.format(slot, len(lengths), sum(lengths), share, max(lengths, default=0),
                                   *hz, len(frags), sum(f.units for f in frags),
                                   f"{_mean_mask(frags):.3f}"))
    return out


def _track_table(found, width):
    out = ["F0 tracks: runs of one track in a slot of .f0tracks; id: the track's",
           "identifier, which its fragment carries (? = not known).",
           f"    id  slot  first   last  {'time (s)':^{2 * width + 1}}    F0 min   F0 max (Hz)"]
    return out + ([f"{t.ident or '?':>6} {t.slot:5d} {t.first:6d} {t.last:6d}  "
                   f"{_span(t.first, t.last, width)}  {t.f0min:8.2f} {t.f0max:8.2f}"
                   for t in found] or ["  (none)"])


def _fragment_table(frags, width, *title):
    out = ["Fragments: the units one track claimed, labelled in .groups with its id; mask:",
           f"their mean .mask value (0.5 = F0 off by 20 Hz, {MASK_EXACT} = exact).", *title,
           f" label  slot  units  first   last  {'time (s)':^{2 * width + 1}}   mask"]
    return out + ([f"{f.label:6d} {'?' if f.slot is None else f.slot:>5} {f.units:6d} "
                   f"{f.first:6d} {f.last:6d}  {_span(f.first, f.last, width)}  "
                   f"{f.mean_mask:5.3f}" for f in frags] or ["  (none)"])


def _span(first, last, width=5):
    return f"{first * FRAME_SECONDS:{width}.2f}-{(last + 1) * FRAME_SECONDS:{width}.2f}"
