"""One figure of a corlune run: fragments above, F0 candidates and tracks below.

The upper panel shows the fragment label of every unit (frames x channels),
one colour per fragment, pale where the mask is 0.5 and full where it is
0.953. The lower panel shows the F0 candidates as dots and each track of the
two slots as a line in its fragment's colour (slot 0 solid, slot 1 dashed).
Both share the time axis in seconds. Uses the headless Agg backend.
"""

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.lines import Line2D  # noqa: E402
from matplotlib.patches import Patch  # noqa: E402

import corlune_results as cr  # noqa: E402

MAX_LEGEND = 16
SLOT_STYLE = ("-", "--")
# tab10 without its grey, which would read as background or as a candidate
PALETTE = [plt.cm.tab10(i)[:3] for i in range(10) if i != 7]


def save_figure(res, path):
    """Draws the figure of res and writes it to path (format from the suffix)."""
    labels = [f.label for f in cr.fragments(res)]
    colours = {label: PALETTE[i % len(PALETTE)] for i, label in enumerate(labels)}
    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(11, 7),
                                      gridspec_kw={"height_ratios": (1, 1)})
    _draw_fragments(top, res, colours)
    _draw_f0(bottom, res, colours)
    bottom.set_xlim(0, max(res.seconds, cr.FRAME_SECONDS))
    fig.suptitle(f"corlune results {res.prefix}: {res.nframes} frames, {res.nchans} channels")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)



def centre_frequencies(nchans, lowcf=50.0, highcf=8000.0):
    """Channel centre frequencies of corlune's filterbank: evenly spaced on the
    ERB-rate scale from lowcf to highcf, the band the program always uses."""
    rates = np.linspace(_erb_rate(lowcf), _erb_rate(highcf), nchans)
    return (10 ** (rates / 21.4) - 1) / 0.00437


def _erb_rate(f):
    return 21.4 * np.log10(0.00437 * f + 1)


def _unit_image(res, colours):
    """RGB image channels x frames: white outside fragments, shaded by the mask inside."""
    image = np.ones((res.nchans, res.nframes, 3))
    shade = 0.2 + 0.8 * np.clip((res.mask.T - 0.5) / (cr.MASK_EXACT - 0.5), 0.0, 1.0)
    for label, rgb in colours.items():
        where = res.groups.T == label
        image[where] = 1.0 - shade[where, None] * (1.0 - np.array(rgb))
    return image


def _draw_fragments(ax, res, colours):
    if res.nframes and res.nchans:
        ax.imshow(_unit_image(res, colours), origin="lower", aspect="auto",
                  interpolation="nearest",
                  extent=(0, res.seconds, -0.5, res.nchans - 0.5))
    ticks = sorted(set(range(0, res.nchans, 4)) | {res.nchans - 1}) if res.nchans else []
    ax.set_yticks(ticks, [f"{c}: {cf:.0f} Hz" for c, cf in
                          zip(ticks, centre_frequencies(res.nchans)[ticks])])
    ax.set_ylabel("channel: centre frequency")
    ax.set_title("fragments: colour = fragment label, shade = mask (pale 0.5, full 0.953)",
                 fontsize=10)
    handles = [Patch(color=rgb, label=f"fragment {label}")
               for label, rgb in list(colours.items())[:MAX_LEGEND]]
    if handles:
        ax.legend(handles=handles, loc="upper left", bbox_to_anchor=(1.01, 1.0),
                  fontsize=8, title=None if len(colours) <= MAX_LEGEND
                  else f"first {MAX_LEGEND} of {len(colours)}")


def _draw_f0(ax, res, colours):
    centre = (np.arange(res.nframes) + 0.5) * cr.FRAME_SECONDS
    frame, column = np.nonzero(res.f0cands)
    ax.plot(centre[frame], res.f0cands[frame, column], ".", color="0.2", markersize=2.5,
            zorder=3)
    for t in cr.tracks(res):
        span = slice(t.first, t.last + 1)
        ax.plot(centre[span], res.f0tracks[span, t.slot], SLOT_STYLE[t.slot], linewidth=4,
                alpha=0.8, color=colours.get(t.ident, "black"))
    if frame.size:
        ax.set_ylim(0.9 * res.f0cands[frame, column].min(), 1.1 * res.f0cands.max())
    ax.set_xlabel("time (s)")
    ax.set_ylabel("F0 (Hz)")
    ax.set_title("F0 candidates (dots) and tracks (lines, colour of their fragment)",
                 fontsize=10)
    ax.legend(handles=[Line2D([], [], marker=".", linestyle="", color="0.2", label="candidate"),
                       Line2D([], [], linestyle="-", color="black", label="slot 0 track"),
                       Line2D([], [], linestyle="--", color="black", label="slot 1 track")],
              loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8)
