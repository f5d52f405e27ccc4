"""corlune: computational auditory scene analysis of recorded speech, numpy in
and numpy out.

A signal passes through a 32-channel gammatone filterbank (50 to 8000 Hz)
and an autocorrelogram (30 ms windows, 10 ms frames); the channels of each
frame are grouped by the periodicity they share, F0 candidates are linked
into at most two F0 tracks, and each track claims the units (frame, channel)
of its groups, with a soft mask value. The same analysis as the corlune
program, byte for byte:

    import corlune
    x, srate = corlune.read_audio("utt.flac")      # float64 samples, full scale 1.0
    res = corlune.analyze(x, srate, threads=2)
    res.f0tracks[:, 0]                             # F0 of slot 0 per frame, Hz (0: none)
    res.times                                      # start of each frame, seconds
    res.save("out/utt")                            # the program's result files
    same = corlune.load("out/utt")                 # read them back

Functions:
    analyze(signal, srate, *, threads=1, tracker="rule") -> Results
    analyze_file(path, *, channel=None, mix=False, threads=1, tracker="rule") -> Results
    read_audio(path, *, channel=None, mix=False)   -> (samples, srate)
    separate(signal, srate, *, threads=1, tracker="rule", mode="fragments") -> Separation
    resynthesize(signal, srate, mask)              -> float64 samples of a mask's resynthesis
    score(mixture, source1, source2, srate)        -> dict: the voices scored against the sources
    load(prefix)                                   -> Results (checked against its record)
    identify(res)                                  -> tracks and fragments, unique identifiers
    summary(res)                                   -> text, as corlune-view prints it

Results holds, one row per 10 ms frame (frame i starts at i * 0.01 s):
    frmseg    int16    frames x 32   channel group of each unit: 0 none, 1, 2
    f0cands   float32  frames x 4    F0 candidates in Hz (column 0 of group 1,
                                     1-3 of group 2); 0 = none
    f0tracks  float32  frames x 2    F0 in Hz of the track in each slot; 0 = empty
    groups    int16    frames x 32   identifier of the claiming track (low 16 bits); 0 = none
    mask      float32  frames x 32   soft mask: 0 outside fragments, 0.5 to 0.95257 inside
    f0labels  int16    frames x 2    identifier of each slot's track (low 16 bits); 0 = empty
    ids       int64    frames x 32   each unit's track identifier, never wrapped (analyze only)
    slot_ids  int64    frames x 2    each slot's track identifier, never wrapped (analyze only)
    times     float64  frames        start of each frame, seconds
    cfs       float64  32            centre frequency of each channel, Hz (channel 0 lowest)
    srate     int                    sample rate, Hz (analyze only)

Submodules: corlune.results (the loader), corlune.plot (figures, needs
matplotlib), corlune.view (the corlune-view command).
"""

import numbers
from typing import NamedTuple

import numpy as np

from .results import (FRAME_SECONDS, ResultFileError, Results, centre_frequencies, fragments,
                      identify, load, summary, tracks)

try:
    from . import _core
except ImportError as _error:  # the loader and the viewer work without the extension
    _core = None
    _core_error = _error

__all__ = ["analyze", "analyze_file", "read_audio", "separate", "resynthesize", "score",
           "Separation", "load", "identify", "summary", "tracks",
           "fragments", "centre_frequencies", "Results", "ResultFileError", "FRAME_SECONDS"]


def _extension():
    if _core is None:
        raise ImportError(f"corlune's compiled extension is not installed ({_core_error}); "
                          "install the package with pip (see the README)")
    return _core


def analyze(signal, srate, *, threads=1, tracker="rule"):
    """Analyses one signal and returns its Results.

    signal: 1-D numpy array of float64 or float32 (full scale 1.0, any stride)
        or int16 (scaled as 16-bit audio, v / 32768); never copied whole.
    srate: sample rate in Hz, an integer from 4000 to 192000.
    threads: threads to analyse on, 1 to 1024, or 0 for every core the
        process may use; the results are the same for any number.
    tracker: the pitch tracker, "rule" (the default, the program's default)
        or "joint" (the joint search of two paths, the program's
        --tracker=joint).

    Raises TypeError for a signal that is not such an array or a rate that
    is not an integer, ValueError for a signal of other than one dimension,
    an empty one, a sample that is not finite or beyond 2**24 times full
    scale (its index is named), a rate outside the range. The interpreter's
    lock is released while the analysis runs, so other threads may analyse
    other signals meanwhile; on the main thread, Ctrl-C stops it with
    KeyboardInterrupt."""
    if not isinstance(signal, np.ndarray):
        raise TypeError(f"signal must be a numpy array, not {type(signal).__name__}")
    tables = _extension().analyze(signal, _rate(srate), _threads(threads), _tracker(tracker))
    return _results(tables)


def analyze_file(path, *, channel=None, mix=False, threads=1, tracker="rule"):
    """Reads a recording and analyses it as it is read, as the program does
    (memory: about 20 MB plus the result arrays, whatever the length).

    path: any format the program reads (WAV, FLAC, AIFF, NIST SPHERE, ...).
    channel: 0-based channel of a recording with several (the program's
        --channel counts from 1); mix: analyse the mean of all channels. A
        recording with several channels needs one of them.
    threads, tracker: as for analyze.

    Raises OSError when the file cannot be opened, ValueError when its
    content is refused (format, rate, channel, a sample not finite). A data
    chunk shorter than its header claims is analysed as far as it goes, with
    a RuntimeWarning."""
    tables = _extension().analyze_file(_path(path), _channel(channel), bool(mix),
                                       _threads(threads), _tracker(tracker))
    return _results(tables)


def read_audio(path, *, channel=None, mix=False):
    """Reads a recording through the program's reader: (samples, srate), the
    samples a 1-D float64 array in the program's scale (full scale 1.0; a
    16-bit value v is v / 32768 exactly), srate in Hz. channel and mix as
    for analyze_file. Raises OSError or ValueError as analyze_file does."""
    return _extension().read_audio(_path(path), _channel(channel), bool(mix))


class Separation(NamedTuple):
    """The voices of a signal, as the program's --separate writes them: three
    float32 arrays as long as the signal (full scale 1.0), and the analysis
    with each unit's voice (results.voices: int16 frames x 32, 0 the rest,
    1 the lower voice, 2 the higher)."""
    voice1: np.ndarray
    voice2: np.ndarray
    rest: np.ndarray
    results: Results


def separate(signal, srate, *, threads=1, tracker="rule", mode="fragments"):
    """Separates the two voices of a signal and the rest, as the program's
    --separate does: the analysis, the tracks grouped into a lower and a
    higher voice, each unit labelled with its voice, and the three signals
    resynthesised from the voices' masks (their sum is what a mask of ones
    gives back). Returns a Separation (voice1, voice2, rest, results); the
    samples are those of the program's NAME.voice1.wav, .voice2.wav and
    .rest.wav for the same samples. mode: "fragments" (each fragment goes whole
    to its track's voice) or "pitch" (besides, every unit no fragment claims
    goes to the voice whose pitch it follows), as --separate=MODE. signal,
    srate, threads, tracker and the refusals
    as for analyze (the samples are kept as float32 meanwhile, as the
    program keeps them: 4 bytes a sample)."""
    if not isinstance(signal, np.ndarray):
        raise TypeError(f"signal must be a numpy array, not {type(signal).__name__}")
    tables = _extension().separate(signal, _rate(srate), _threads(threads), _tracker(tracker),
                                   _text(mode, "mode"))
    return Separation(tables["voice1"], tables["voice2"], tables["rest"], _results(tables))


def resynthesize(signal, srate, mask):
    """The resynthesis of signal (1-D float64, float32 or int16, as for
    analyze) at srate Hz through mask: frames x 32 values from 0 to 1, one
    row per 10 ms frame (as many as analyze gives), e.g. res.mask or a
    voice's mask. Returns float64 samples as long as the signal; a mask of
    ones gives back the signal within the filterbank's reconstruction error
    (about 20 dB). Raises ValueError for a mask of another shape or with a
    value outside 0 to 1, and the signal's refusals of analyze."""
    if not isinstance(signal, np.ndarray):
        raise TypeError(f"signal must be a numpy array, not {type(signal).__name__}")
    return _extension().resynthesize(signal, _rate(srate), np.asarray(mask, np.float64))


def score(mixture, source1, source2, srate):
    """Scores the separated voices of a two-talker mixture against its two
    premixed sources (1-D arrays of one length, as for analyze), as the
    program corlune-score does: a dict with "unprocessed" (the mixture's
    SNR and SI-SDR against each source, dB), and for "voices" (the
    separation), "ibm" (the ideal binary mask) and "ideal_grouping" a list
    of two dicts, one per voice: source (1 or 2), snr, snr_gain, si_sdr,
    si_sdr_gain (dB) and hit_fa (share); plus frames, tracks, one_voice,
    voice_f0 (Hz), track_conflicts and mixture_residual_db. Raises
    ValueError for sources of another length, silent or copies of each
    other."""
    for name, x in (("mixture", mixture), ("source1", source1), ("source2", source2)):
        if not isinstance(x, np.ndarray):
            raise TypeError(f"{name} must be a numpy array, not {type(x).__name__}")
    return _extension().score(mixture, source1, source2, _rate(srate))


def _results(tables):
    return Results(prefix=None, frmseg=tables["frmseg"], f0cands=tables["f0cands"],
                   f0tracks=tables["f0tracks"], groups=tables["groups"], mask=tables["mask"],
                   f0labels=tables["f0labels"], voices=tables.get("voices"),
                   srate=tables["srate"], ids=tables["ids"], slot_ids=tables["slot_ids"],
                   cfs=tables["cfs"])


def _integer(value, what):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{what} must be an integer, not {type(value).__name__}")
    return int(value)


def _rate(srate):
    srate = _integer(srate, "srate")
    low, high = _extension().MIN_RATE, _extension().MAX_RATE
    if not low <= srate <= high:
        raise ValueError(f"srate {srate} Hz outside {low} to {high} Hz")
    return srate


def _threads(threads):
    return _integer(threads, "threads")


def _text(value, name):
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    return value


def _tracker(tracker):
    return _text(tracker, "tracker")


def _channel(channel):
    return None if channel is None else _integer(channel, "channel")


def _path(path):
    import os
    return os.fsdecode(os.fspath(path))
