#!/usr/bin/python3
"""Scores corlune's separation on the generated two-talker mixtures
(bench/mixtures.py) with corlune-score, and prints the gains side by side:
the ideal binary mask's, ideal sequential grouping's, the voices by
fragment's (--separate=fragments) and by pitch's (--separate=pitch), per
kind and level of mixture and per rate.

    bench/evaluate_separation.py [--scorer build/corlune-score] [--rates 8000 16000 48000]
        [--split tune|test|all] [--kinds apart crossing ...] [--work DIR] [--jobs 2]
        [--scorer-arg=--some-option ...] [--json results.jsonl] [--per-voice]
    bench/evaluate_separation.py --from-json results.jsonl [--split ...] [--rates ...] [--per-voice]

Mixtures are made once into the work directory (default: a temporary one,
removed at the end) and reused when it is given again. Every score line
(corlune-score's JSON plus the mixture's kind, level, seed, split and rate)
goes to --json if given; --from-json prints the tables of such a file again
without scoring. Gains are SI-SDR and SNR gains over the unprocessed
mixture in dB, averaged over the two voices of a mixture and then over the
mixtures; "kept" is the voices by fragment's SI-SDR gain as a share of
ideal grouping's; "pitch -voices" the voices by pitch's gain over theirs
and "/IBM" the voices by pitch's gain as a share of the ideal binary
mask's. The kinds are also summed up in two groups: F0 ranges apart, and
F0 ranges that overlap or cross (mixtures.OVERLAPPING), where grouping by F0
range is expected to fail. A voice that comes out silent has no SI-SDR: such mixtures are
counted apart ("silent") and left out of the SI-SDR means. --per-voice adds,
for each table, the SI-SDR gains of voice 1 (the lower) and voice 2 apart,
each against the source it follows.
"""
import argparse
import concurrent.futures
import json
import math
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mixtures  # noqa: E402

METHODS = (("ibm", "IBM"), ("ideal_grouping", "ideal"), ("voices", "voices"), ("pitch", "pitch"))


def score_one(scorer, extra, prefix):
    out = subprocess.run([scorer, "--json", *extra, prefix + ".mix.wav", prefix + ".src1.wav",
                          prefix + ".src2.wav"], capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(f"{scorer} failed on {prefix}: {out.stderr.strip()}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def ensure_mixture(name, rate, directory):
    prefix = os.path.join(directory, name)
    if not all(os.path.exists(f"{prefix}.{p}") for p in ("mix.wav", "src1.wav", "src2.wav",
                                                         "f0.json")):
        mixtures.write(mixtures.mixture(name, rate), directory)
    return prefix


def mean(values):
    values = [v for v in values if v is not None and math.isfinite(v)]
    return sum(values) / len(values) if values else float("nan")


def summary(rows):
    """Means over the mixtures of rows: per method SI-SDR and SNR gain, HIT-FA."""
    s = {"n": len(rows)}
    for key, _ in METHODS:
        ok = [r for r in rows if r[key]["mean"]["si_sdr_gain"] is not None]
        s[key] = (mean(r[key]["mean"]["si_sdr_gain"] for r in ok),
                  mean(r[key]["mean"]["snr_gain"] for r in rows),
                  mean(r[key]["mean"]["hit_fa"] for r in rows))
    s["silent"] = sum(1 for r in rows if r["voices"]["mean"]["si_sdr_gain"] is None
                      or r["pitch"]["mean"]["si_sdr_gain"] is None)
    return s


def fmt(v, width=6):
    return f"{v:{width}.2f}" if math.isfinite(v) else f"{'-':>{width}}"


def print_table(title, groups):
    print(f"\n{title}")
    print(f"{'':24} {'n':>3}  {'SI-SDR gain (dB)':^29}  {'pitch':^13}  {'SNR gain (dB)':^29}  "
          f"{'HIT-FA':^20}  {'kept':>5} {'silent':>6}")
    print(f"{'':24} {'':>3}  {'IBM':>6} {'ideal':>6} {'voices':>7} {'pitch':>7}  {'-voices':>7} "
          f"{'/IBM':>5}  {'IBM':>6} {'ideal':>6} {'voices':>7} {'pitch':>7}  {'ideal':>6} "
          f"{'voices':>6} {'pitch':>6}  {'':>5} {'':>6}")
    for label, rows in groups:
        if not rows:
            continue
        s = summary(rows)
        ibm, ideal, voices, pitch = (s[k] for k, _ in METHODS)
        kept = voices[0] / ideal[0] if ideal[0] else float("nan")
        share = pitch[0] / ibm[0] if ibm[0] else float("nan")
        print(f"{label:24} {s['n']:3d}  {fmt(ibm[0])} {fmt(ideal[0])} {fmt(voices[0], 7)} "
              f"{fmt(pitch[0], 7)}  {fmt(pitch[0] - voices[0], 7)} {fmt(100 * share, 4)}%  "
              f"{fmt(ibm[1])} {fmt(ideal[1])} {fmt(voices[1], 7)} {fmt(pitch[1], 7)}  "
              f"{fmt(ideal[2])} {fmt(voices[2])} {fmt(pitch[2])}  "
              f"{fmt(100 * kept, 4)}% {s['silent']:6d}")


def print_voice_table(title, groups):
    """SI-SDR gains of each method for voice 1 and voice 2 apart, and their mean."""
    print(f"\n{title}, SI-SDR gain (dB) per voice")
    print(f"{'':24} {'n':>3}  " + "  ".join(f"{name:^20}" for _, name in METHODS))
    print(f"{'':24} {'':>3}  " + "  ".join(f"{'v1':>6} {'v2':>6} {'mean':>6}" for _ in METHODS))
    for label, rows in groups:
        if not rows:
            continue
        cells = []
        for key, _ in METHODS:
            per = [mean(r[key]["si_sdr_gain"][v] for r in rows) for v in (0, 1)]
            cells.append(f"{fmt(per[0])} {fmt(per[1])} {fmt(mean(per))}")
        print(f"{label:24} {len(rows):3d}  " + "  ".join(cells))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--scorer", default="build/corlune-score")
    ap.add_argument("--scorer-arg", action="append", default=[], dest="extra",
                    help="an option passed to the scorer (repeat for several)")
    ap.add_argument("--rates", type=int, nargs="+", default=[8000, 16000, 48000])
    ap.add_argument("--split", choices=("tune", "test", "all"), default="all")
    ap.add_argument("--kinds", nargs="+", choices=list(mixtures.KINDS), default=None)
    ap.add_argument("--work", help="directory for the mixtures (kept)")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--json", help="write every score line here")
    ap.add_argument("--from-json", help="summarise the score lines of this file instead")
    ap.add_argument("--per-voice", action="store_true",
                    help="also print each voice's SI-SDR gains apart")
    args = ap.parse_args()
    if args.from_json:
        with open(args.from_json) as f:
            rows = [json.loads(line) for line in f]
        rows = [r for r in rows if r["rate"] in args.rates and (args.split == "all" or r["split"] == args.split)
                and (args.kinds is None or r["kind"] in args.kinds)]
        report(rows, args)
        return 0

    names = [n for n in mixtures.names(args.split)
             if args.kinds is None or mixtures.parse_name(n)[0] in args.kinds]
    tmp = None if args.work else tempfile.TemporaryDirectory()
    work = args.work or tmp.name
    rows = []
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        for rate in args.rates:
            directory = os.path.join(work, str(rate))
            os.makedirs(directory, exist_ok=True)
            prefixes = {n: ensure_mixture(n, rate, directory) for n in names}
            jobs = {n: pool.submit(score_one, args.scorer, args.extra, p) for n, p in prefixes.items()}
            for n, job in jobs.items():
                r = job.result()
                kind, level, seed = mixtures.parse_name(n)
                r.update(name=n, kind=kind, level_db=level, seed=seed,
                         split=mixtures.split_of(n), rate=rate)
                rows.append(r)
    if args.json:
        with open(args.json, "w") as f:
            for r in rows:
                f.write(json.dumps(r) + "\n")
    report(rows, args)
    if tmp:
        tmp.cleanup()
    return 0


def report(rows, args):
    kinds = [k for k in mixtures.KINDS if any(r["kind"] == k for r in rows)]
    for rate in args.rates:
        at = [r for r in rows if r["rate"] == rate]
        groups = [(k, [r for r in at if r["kind"] == k]) for k in kinds]
        groups += [(f"level {lv:+d} dB", [r for r in at if r["level_db"] == lv])
                   for lv in mixtures.LEVELS]
        groups += [(f"apart, level {lv:+d} dB", [r for r in at if r["level_db"] == lv and
                                                  r["kind"] not in mixtures.OVERLAPPING])
                   for lv in mixtures.LEVELS]
        groups += [("F0 ranges apart", [r for r in at if r["kind"] not in mixtures.OVERLAPPING]),
                   ("F0 ranges overlap", [r for r in at if r["kind"] in mixtures.OVERLAPPING]),
                   ("all", at)]
        print_table(f"{rate} Hz, split {args.split}", groups)
        if args.per_voice:
            print_voice_table(f"{rate} Hz, split {args.split}", groups)
    if len(args.rates) > 1:
        apart = [r for r in rows if r["kind"] not in mixtures.OVERLAPPING]
        print_table(f"all rates, split {args.split}",
                    [(f"{rate} Hz", [r for r in rows if r["rate"] == rate]) for rate in args.rates]
                    + [(f"{rate} Hz, ranges apart", [r for r in apart if r["rate"] == rate])
                       for rate in args.rates]
                    + [("ranges apart", apart), ("all", rows)])


if __name__ == "__main__":
    sys.exit(main())
