#!/usr/bin/python3
"""Chooses the joint tracker's costs on the tuning part of the scenes of
bench/evaluate_trackers.py, by coordinate search.

    bench/tune_trackers.py [--work DIR] [--rounds 3] [--set NAME=VALUE ...]

The analysis runs once per scene; each trial then runs only the joint
tracker on the stored candidates (corlune_trackers --candidates). A trial's
score, in points of frame shares on the tuning part:

    both20 (all mixtures) + both20 (synthetic mixtures) + both20 (complexes)
      - 4 x found20 lost against the rule tracker (mixtures; talker in noise)
      - 10 x spurious second pitches beyond RATIO x the rule tracker's
      - 10 x pitched noise-only frames beyond RATIO x the rule tracker's

with RATIO = 1/4.5, a margin below the target of a quarter on the held-out
part. Starting from the costs given with --set (else the built-in ones),
each round tries every cost at a few multiples of its value and keeps what
scores better. Prints each improvement and the final --set options.
"""
import argparse
import json
import math
import os
import random
import subprocess
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import evaluate_trackers as E  # noqa: E402
import mixtures  # noqa: E402

RATIO = 1 / 4.5
START = {"columnReward0": 1.05, "columnReward1": 1.03, "columnReward2": 1.6, "columnReward3": 1.6,
         "ambiguityPenalty1": 0.2, "ambiguityPenalty2": 0.5, "switchOn": 2.8, "switchOff": 2.8,
         "jumpWeight": 0.92, "jumpFree": 0.07, "maxJump": 0.6, "coastCost": 0.5,
         "coastGrowth": 0.05, "maxCoast": 3, "closeSemitones": 0.08, "closeCost": 1.0,
         "octaveSemitones": 0.43, "octaveCost": 0.9}
FACTORS = (0.5, 0.75, 1.33, 2.0)
FROM_ZERO = (0.1, 0.25, 0.5)
INTEGERS = {"maxCoast": tuple(range(9))}


class Trials:
    def __init__(self, tool, rows, work):
        self.tool, self.rows, self.work = tool, rows, work
        self.files = E.write_candidates(rows, work)
        self.refs = [E.reference(os.path.join(work, r["name"])) for r in rows]
        self.rule = [E.scene_metrics(r["name"], r["result"], ref, ("rule",))["rule"]
                     for r, ref in zip(rows, self.refs)]

    def metrics(self, costs, lag=None):
        args = [self.tool, "--candidates"]
        for k, v in costs.items():
            args += ["--set", f"{k}={v}"]
        if lag is not None:
            args += ["--lag", str(lag)]
        out = subprocess.run(args + self.files, capture_output=True, text=True, check=True)
        lines = out.stdout.splitlines()
        scored = []
        for r, ref, rule, line in zip(self.rows, self.refs, self.rule, lines):
            result = {"candidates": r["result"]["candidates"],
                      "joint": dict(json.loads(line)["joint"], seconds=0.0)}
            joint = E.scene_metrics(r["name"], result, ref, ("joint",))["joint"]
            scored.append(dict(r, metrics={"rule": rule, "joint": joint}))
        return scored


def measures(rows):
    mixes = [r for r in rows if not E.is_extra(r["name"])]
    synthetic = [r for r in mixes if r["kind"] in mixtures.SYNTHETIC]
    complexes = [r for r in rows if r["kind"].startswith("complex-")]
    innoise = [r for r in rows if r["kind"].startswith("innoise")]
    out = {}
    for t in E.TRACKERS:
        out[t] = {"both": E.summary(mixes, t)["both20"],
                  "both_syn": E.summary(synthetic, t)["both20"],
                  "both_cx": E.summary(complexes, t)["both20"],
                  "found": E.summary(mixes, t)["found20"],
                  "found_noise": E.summary(innoise, t)["found20"],
                  "second": E.summary(rows, t)["second"],
                  "noise": E.summary(rows, t)["noise"]}
    return out


def score(m):
    j, r = m["joint"], m["rule"]
    return (j["both"] + j["both_syn"] + j["both_cx"]
            - 4 * max(0.0, r["found"] - j["found"]) - 4 * max(0.0, r["found_noise"] - j["found_noise"])
            - 10 * max(0.0, j["second"] - r["second"] * RATIO)
            - 10 * max(0.0, j["noise"] - r["noise"] * RATIO))


def show(m):
    return "  ".join(f"{k} {m['joint'][k]:.1f}/{m['rule'][k]:.1f}" for k in m["joint"])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--tool", default="build/bench/corlune_trackers")
    ap.add_argument("--work", default="bench-work")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--moves", type=int, default=40)
    ap.add_argument("--set", action="append", default=[])
    args = ap.parse_args()

    os.makedirs(args.work, exist_ok=True)
    names = mixtures.names("tune") + E.extra_names("tune")
    cache = os.path.join(args.work, "tune-analyses.json")
    if os.path.exists(cache):  # the analyses do not depend on the costs
        with open(cache) as f:
            rows = json.load(f)
    else:
        rows = [{k: r[k] for k in ("name", "kind", "seed", "split", "result")}
                for r in E.evaluate(names, args.work, args.tool, [], None, False, args.jobs)]
        with open(cache, "w") as f:
            json.dump(rows, f)
    trials = Trials(args.tool, rows, args.work)
    costs = dict(START)
    for s in args.set:
        k, v = s.split("=")
        costs[k] = type(START[k])(float(v))
    m = measures(trials.metrics(costs))
    best = score(m)
    print(f"start {best:.2f}: {show(m)}", flush=True)
    rng = random.Random(1)

    def attempt(trial, what):
        nonlocal best, costs, m
        tm = measures(trials.metrics(trial))
        s = score(tm)
        if s <= best + 1e-9:
            return False
        best, costs, m = s, trial, tm
        print(f"{what}: {best:.2f}: {show(m)}", flush=True)
        return True

    for rnd in range(args.rounds):
        improved = False
        for key in START:
            values = INTEGERS.get(key) or ([round(costs[key] * f, 4) for f in FACTORS]
                                           if costs[key] else FROM_ZERO)
            for v in values:
                if v != costs[key]:
                    improved |= attempt(dict(costs, **{key: v}), f"round {rnd} {key}={v}")
        for _ in range(args.moves):
            trial = dict(costs)
            for key in rng.sample(sorted(START), 3):
                if key in INTEGERS:
                    trial[key] = min(max(trial[key] + rng.choice((-1, 1)), 0), max(INTEGERS[key]))
                else:
                    trial[key] = round((trial[key] or 0.1) * math.exp(rng.gauss(0.0, 0.3)), 4)
            improved |= attempt(trial, f"round {rnd} move " + " ".join(
                f"{k}={trial[k]}" for k in trial if trial[k] != costs[k]))
        if not improved:
            break
    print("costs: " + " ".join(f"--set {k}={v}" for k, v in costs.items()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
