"""One figure of a corlune run: fragments above, F0 candidates and tracks below.

The upper panel shows the units of every fragment (channels over time),
coloured by fragment, by the slot of the track that claimed it, or by the
voice the set's .voices gives it, pale where the mask is 0.5 and full where
it is 0.953. Fragment colours repeat from a
small palette in order of the fragments' start, skipping any colour of a
fragment still near in time, so that neighbouring fragments always differ.
The lower panel shows the F0 candidates as dots and each track of the two
slots as a line in its fragment's colour (slot 0 solid, slot 1 dashed).
Both share the time axis in seconds. Only the frames of the chosen range are
drawn, each panel as a few array images and lines whatever the number of
fragments, so a long run draws as fast as a short one. Uses the headless Agg
backend.
"""

import math

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.lines import Line2D  # noqa: E402
from matplotlib.patches import Patch  # noqa: E402

from . import results as cr  # noqa: E402

MAX_LEGEND = 16         # fragments named in the legend, when the range shows no more
NEAR_FRAMES = 2         # fragments this close in time (or overlapping) count as neighbours
SLOT_STYLE = ("-", "--")
# tab10 without its grey, which would read as background or as a candidate
PALETTE = np.array([plt.cm.tab10(i)[:3] for i in range(10) if i != 7])
SLOT_PALETTE = np.array([PALETTE[0], PALETTE[1], (0.5, 0.5, 0.5)])  # slot 0, slot 1, unknown
VOICE_PALETTE = np.array([PALETTE[2], PALETTE[3], (0.5, 0.5, 0.5)])  # voice 1, voice 2, none
WHITE = np.ones(3)
NO_COLOUR = -1


def save_figure(res, path, start=None, stop=None, by_slot=False, known=None, by_voice=False):
    """Draws the figure of res for the times start .. stop (seconds; None: the
    ends of the run) and writes it to path (format from the suffix). Colours
    by slot instead of by fragment when by_slot, by voice when by_voice (the
    set must have .voices). known: cr.identify(res), when at hand. ValueError
    when the range holds no frame of the run, or by_voice without .voices."""
    known = known or cr.identify(res)
    first, end = frame_range(res, start, stop)
    if by_voice:
        voices = cr.fragment_voices(res, known)
        if voices is None:
            raise ValueError(f"{res.prefix} has no .voices to colour by")
        palette, colours = VOICE_PALETTE, np.where(voices > 0, voices - 1, 2)
    elif by_slot:
        palette = SLOT_PALETTE
        colours = np.array([2 if f.slot is None else f.slot for f in known.fragments], int)
    else:
        palette, colours = PALETTE, fragment_colours(known.fragments, len(PALETTE))
    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(11, 7),
                                      gridspec_kw={"height_ratios": (1, 1)})
    _draw_fragments(top, res, known, first, end, palette, colours,
                    "voice" if by_voice else "slot" if by_slot else "fragment")
    _draw_f0(bottom, res, known, first, end, palette, colours)
    bottom.set_xlim(first * cr.FRAME_SECONDS, max(end, first + 1) * cr.FRAME_SECONDS)
    span = (f"{first * cr.FRAME_SECONDS:.2f}-{end * cr.FRAME_SECONDS:.2f} s of "
            if (first, end) != (0, res.nframes) else "")
    fig.suptitle(f"corlune results {res.prefix}: {span}{res.seconds:.2f} s, {res.nframes} frames, "
                 f"{res.nchans} channels")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def frame_range(res, start=None, stop=None):
    """The frames first .. end - 1 that the times start .. stop (seconds)
    touch, within the run. ValueError when they hold none."""
    if start is not None and stop is not None and stop <= start:
        raise ValueError(f"the range ends ({stop:g} s) before it begins ({start:g} s)")
    if start is not None and not 0 <= start < res.seconds:
        raise ValueError(f"{start:g} s is not within the {res.seconds:.2f} s of {res.prefix}")
    if stop is not None and stop <= 0:
        raise ValueError(f"the range ends at {stop:g} s, before the run begins")
    eps = 1e-6  # times are decimal seconds; frames are 10 ms apart
    first = 0 if start is None else math.floor(start / cr.FRAME_SECONDS + eps)
    end = res.nframes
    if stop is not None:
        end = min(end, math.ceil(stop / cr.FRAME_SECONDS - eps))
    return first, end


def fragment_colours(fragments, ncolours):
    """A palette index per fragment (fragments in order of their first frame):
    the palette in turn, skipping the colours of fragments that overlap or
    end at most NEAR_FRAMES before this one begins."""
    colours = np.empty(len(fragments), int)
    near = []  # (last frame, colour) of the fragments that may neighbour the next
    turn = 0
    for i, frag in enumerate(fragments):
        near = [(last, c) for last, c in near if last + NEAR_FRAMES >= frag.first]
        taken = {c for _, c in near}
        free = [c for c in range(turn, turn + ncolours) if c % ncolours not in taken]
        colours[i] = (free[0] if free else turn) % ncolours
        turn = colours[i] + 1
        near.append((frag.last, colours[i]))
    return colours


def _unit_image(res, known, first, end, palette, colours):
    """RGB image channels x frames: white outside fragments, each fragment's
    colour inside, shaded by the mask."""
    fragment = known.unit_fragment[first:end].T
    rgb = np.vstack([palette, WHITE]).astype(np.float32)[np.append(colours, -1)[fragment]]
    shade = 0.2 + 0.8 * np.clip((res.mask[first:end].T - 0.5) / (cr.MASK_EXACT - 0.5), 0.0, 1.0)
    return 1.0 - shade[..., None] * (1.0 - rgb)


def _draw_fragments(ax, res, known, first, end, palette, colours, colour_by):
    if end > first and res.nchans:
        ax.imshow(_unit_image(res, known, first, end, palette, colours), origin="lower",
                  aspect="auto", interpolation="nearest",
                  extent=(first * cr.FRAME_SECONDS, end * cr.FRAME_SECONDS, -0.5, res.nchans - 0.5))
    ticks = sorted(set(range(0, res.nchans, 4)) | {res.nchans - 1}) if res.nchans else []
    ax.set_yticks(ticks, [f"{c}: {cf:.0f} Hz" for c, cf in
                          zip(ticks, res.cfs[ticks])])
    ax.set_ylabel("channel: centre frequency")
    shown = np.unique(known.unit_fragment[first:end])
    shown = shown[shown >= 0]
    if colour_by == "voice":
        what = "voice"
        handles = [Patch(color=palette[v - 1], label=f"voice {v}" + (" (lower)" if v == 1 else ""))
                   for v in cr.VOICES]
    elif colour_by == "slot":
        what = "slot of the claiming track"
        handles = [Patch(color=palette[s], label=f"slot {s}") for s in (0, 1)]
    else:
        what = "fragment" + (" (colours repeat; neighbours differ)" if len(shown) > len(palette)
                             else "")
        handles = [Patch(color=palette[colours[i]], label=f"fragment {known.fragments[i].label}")
                   for i in shown] if len(shown) <= MAX_LEGEND else []
    ax.set_title(f"fragments: colour = {what}, shade = mask (pale 0.5, full 0.953)", fontsize=10)
    if handles:
        ax.legend(handles=handles, loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8)


def _draw_f0(ax, res, known, first, end, palette, colours):
    centre = (np.arange(first, end) + 0.5) * cr.FRAME_SECONDS
    cands = res.f0cands[first:end]
    frame, column = np.nonzero(cands)
    ax.plot(centre[frame], cands[frame, column], ".", color="0.2", markersize=2.5, zorder=3)
    colour_of_track = np.append(colours, NO_COLOUR)[known.track_fragment]
    for slot in (0, 1):
        track = known.slot_track[first:end, slot]
        # one line per colour, broken where one track ends and the next begins
        breaks = np.flatnonzero(track[1:] != track[:-1]) + 1
        x = np.insert(centre, breaks, np.nan)
        y = np.insert(np.where(track >= 0, res.f0tracks[first:end, slot], np.nan), breaks, np.nan)
        colour = np.insert(np.append(colour_of_track, NO_COLOUR)[track], breaks, NO_COLOUR)
        for c in np.unique(colour[~np.isnan(y)]):
            ax.plot(x, np.where(colour == c, y, np.nan), SLOT_STYLE[slot], linewidth=4, alpha=0.8,
                    color="black" if c == NO_COLOUR else palette[c])
    if frame.size:
        ax.set_ylim(0.9 * cands[frame, column].min(), 1.1 * cands.max())
    ax.set_xlabel("time (s)")
    ax.set_ylabel("F0 (Hz)")
    ax.set_title("F0 candidates (dots) and tracks (lines, colour of their fragment)",
                 fontsize=10)
    ax.legend(handles=[Line2D([], [], marker=".", linestyle="", color="0.2", label="candidate"),
                       Line2D([], [], linestyle="-", color="black", label="slot 0 track"),
                       Line2D([], [], linestyle="--", color="black", label="slot 1 track")],
              loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8)
