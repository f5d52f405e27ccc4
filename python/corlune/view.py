"""corlune-view PREFIX [--all] [--png FILE [--from S] [--to S] [--colour slot|voice]]:
summary (and figure) of one corlune run.

PREFIX is the output prefix of the run, OUTDIR/NAME, whose result files are
OUTDIR/NAME.frmseg, .f0cands, .f0tracks, .groups, .mask and (from newer
corlune versions) .f0labels, with their record NAME.record; the path of one
of those files is accepted too. The summary fits a screen; --all lists every
track and fragment. --png draws the fragments and F0 tracks, of the seconds
--from .. --to only when given, coloured by fragment, by the slot of the
track that claimed them (--colour slot) or by their voice (--colour voice,
for a set with .voices). Exit status 0 on
success, 1 when the files are missing or inconsistent, do not match their
record (not one run's set) or the figure cannot be written, 2 on usage errors.
"""

import argparse
import os
import sys

from . import results as cr


def result_prefix(arg):
    """The prefix itself, or the prefix of a result file named on the command line."""
    stem, suffix = os.path.splitext(arg)
    known = (*cr.LAYOUT, *cr.OPTIONAL_LAYOUT, cr.RECORD)
    if suffix[1:] in known and not os.path.exists(f"{arg}.f0tracks"):
        return stem
    return arg


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="corlune-view", description="Summarise the result files of one corlune run.")
    parser.add_argument("prefix", help="output prefix OUTDIR/NAME of the run")
    parser.add_argument("--all", action="store_true",
                        help="list every track and fragment, not only the longest fragments")
    parser.add_argument("--png", metavar="FILE",
                        help="also draw fragments and F0 tracks over time to FILE")
    parser.add_argument("--from", dest="start", type=float, metavar="SECONDS",
                        help="draw from this time on (default: the start)")
    parser.add_argument("--to", dest="stop", type=float, metavar="SECONDS",
                        help="draw up to this time (default: the end)")
    parser.add_argument("--colour", choices=("fragment", "slot", "voice"), default="fragment",
                        help="colour units by fragment, neighbours differing (default), by "
                             "the slot of the track that claimed them, or by their voice "
                             "(sets with .voices)")
    args = parser.parse_args(argv)
    if not args.png and (args.start is not None or args.stop is not None
                         or args.colour != "fragment"):
        parser.error("--from, --to and --colour shape the figure: give --png FILE too")
    try:
        res = cr.load(result_prefix(args.prefix))
        known = cr.identify(res)
        cr.fragment_voices(res, known)  # refuses a .voices at odds with the fragments
        if args.colour == "voice" and res.voices is None:
            raise cr.ResultFileError(f"{res.prefix} has no .voices to colour by voice")
    except cr.ResultFileError as e:
        print(f"corlune-view: {e}", file=sys.stderr)
        return 1
    if args.png:
        from . import plot
        try:
            plot.frame_range(res, args.start, args.stop)
        except ValueError as e:
            parser.error(f"--from/--to: {e}")
    print(cr.summary(res, every=args.all, known=known), end="")
    if args.png:
        try:
            plot.save_figure(res, args.png, args.start, args.stop,
                             by_slot=args.colour == "slot", known=known,
                             by_voice=args.colour == "voice")
        except OSError as e:
            print(f"corlune-view: cannot write {args.png}: {e.strerror}", file=sys.stderr)
            return 1
        print(f"figure written to {args.png}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
