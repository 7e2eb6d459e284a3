"""What capturing costs on the sandbox host: time per callback with and without the
capture wrapper, capture size, and replay and comparison speed.

    .venv/bin/python bench/capture_overhead.py                       # 20 instruments, one full day, 15 rounds
    .venv/bin/python bench/capture_overhead.py --minutes-per-half 30 --rounds 3 --json out.json
    .venv/bin/python bench/capture_overhead.py --hash-seed random    # each process hashes differently

Each round runs the same simulated session (single-thread delivery) twice, each
time in a fresh process: once with the plain strategy, then once with
``capturing(VornStrategy, ...)``.  The simulator times every callback call
(``time.perf_counter_ns`` around it), so the figures include the wrapper and any
time the writer thread holds the interpreter lock.

Why fresh processes, layouts and paired rounds: within one process, where the
interpreter's and the module's objects happen to land in memory moves a
round's mean by about 5 % either way.  A fresh process alone does not draw a
new layout: address randomisation moves whole pages, and where objects fall
inside their pages follows from what the process allocated before, which is
the same every time for the same environment (one more environment variable
of a few bytes moved the plain session's mean by 3 %).  So every round draws
a layout of its own, an environment variable of a random length from 0 to 4095
bytes (``--layout-seed`` seeds the draws), and runs both variants with it, in
alternating order; each round gives the captured mean over the plain one, and
the figure is the median of those ratios over the rounds, with their lower and
upper quartile beside it.  ``--fixed-layout`` runs every process in this
process's environment, as earlier versions of this benchmark did: its figure
then belongs to that one layout.  Every process hashes strings with the same
seed (``--hash-seed``, 0 unless told) so that dictionary layouts do not add a
spread of their own.
Needs the module, the sandbox and the tools installed in the interpreter used.
"""
import argparse
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

# one session in this process; its figures go to a JSON file the parent reads
CHILD = r"""
import json, statistics, sys, time
from tessaline_sim.session import Options, run_simulation
instruments, days, minutes, capture, out = (int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]),
                                            sys.argv[4] or None, sys.argv[5])
t0 = time.perf_counter()
report, host, result = run_simulation(Options(instruments=instruments, days=days, minutes_per_half=minutes,
                                              capture_path=capture))
wall = time.perf_counter() - t0
if not report["ok"]:
    sys.exit("the simulated session reported a failure; fix that first")
stats = {}
for name, lat in result.latency_ns.items():
    values = list(lat)
    if values:
        stats[name] = {"n": len(values), "mean": sum(values) / len(values), "median": statistics.median(values)}
cap = None
if capture:
    c = result.capture
    cap = {"paths": list(c.paths), "bytes": c.bytes_written, "calls": c.calls, "dropped": c.dropped}
with open(out, "w", encoding="utf-8") as f:
    json.dump({"stats": stats, "wall": wall, "capture": cap}, f)
"""


# the environment variable whose length sets a round's layout
PAD_VARIABLE = "TESSALINE_BENCH_LAYOUT"


def run_round(args, tmp, tag, capture_path, pad):
    """One session in a fresh process: its per-callback figures, wall time and capture."""
    out = os.path.join(tmp, f"{tag}.json")
    env = dict(os.environ)
    if pad is not None:
        env[PAD_VARIABLE] = "x" * pad
    if args.hash_seed == "random":
        env.pop("PYTHONHASHSEED", None)
    else:
        env["PYTHONHASHSEED"] = args.hash_seed
    cmd = [sys.executable, "-c", CHILD, str(args.instruments), str(args.days), str(args.minutes_per_half),
           capture_path or "", out]
    proc = subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if proc.returncode != 0:
        last = proc.stderr.strip().splitlines()[-1:] or [f"exit status {proc.returncode}"]
        raise SystemExit(f"the {tag} session failed: {last[0]}")
    with open(out, encoding="utf-8") as f:
        return json.load(f)


def spread(values):
    """(median, lowest, highest) of the rounds' values."""
    return statistics.median(values), min(values), max(values)


def summarise(rounds):
    """Per callback: the rounds' means and medians, from each variant's list of rounds."""
    per = {}
    for r in rounds:
        for name, s in r["stats"].items():
            d = per.setdefault(name, {"n": s["n"], "means": [], "medians": []})
            d["means"].append(s["mean"])
            d["medians"].append(s["median"])
    return per


def quartiles(values):
    """(median, lower quartile, upper quartile) of a round's values."""
    if len(values) < 2:
        return values[0], values[0], values[0]
    q1, q2, q3 = statistics.quantiles(values, n=4, method="inclusive")
    return q2, q1, q3


def us(s):
    """A (median, lowest, highest) triple of nanoseconds, in microseconds."""
    return f"{s[0] / 1000:6.2f} ({s[1] / 1000:.2f}-{s[2] / 1000:.2f})"


def hash_seed(text):
    if text == "random":
        return text
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= 4294967295:
        raise argparse.ArgumentTypeError("a number from 0 to 4294967295, or 'random'")
    return str(value)


def positive(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError("a whole number, 1 or more")
    return value


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--instruments", type=positive, default=20)
    p.add_argument("--days", type=positive, default=1)
    p.add_argument("--minutes-per-half", type=positive, default=120)
    p.add_argument("--rounds", type=positive, default=15,
                   help="rounds, each a layout of its own and a fresh process per variant (default 15)")
    p.add_argument("--layout-seed", type=int, default=0, help="seeds the rounds' layouts (default 0)")
    p.add_argument("--fixed-layout", action="store_true",
                   help="every process in this environment, no layout drawn per round")
    p.add_argument("--hash-seed", type=hash_seed, default="0",
                   help="PYTHONHASHSEED of every process (default 0; 'random' leaves it to each process)")
    p.add_argument("--json", metavar="PATH")
    args = p.parse_args(argv)

    import corvix.tarrow.utils.tessaline as tl
    from tessaline_tools import replay as rp

    tmp = tempfile.mkdtemp(prefix="capture-bench-")
    try:
        rounds = {"plain": [], "capture": []}
        capture = None
        layouts = random.Random(args.layout_seed)
        for r in range(args.rounds):
            pad = None if args.fixed_layout else layouts.randrange(4096)
            # alternating order: a slow drift of the machine falls on both variants alike
            for kind in ("plain", "capture") if r % 2 == 0 else ("capture", "plain"):
                path = os.path.join(tmp, f"round{r}.tlcap") if kind == "capture" else None
                result = run_round(args, tmp, f"{kind}{r}", path, pad)
                rounds[kind].append(result)
                if kind == "capture":
                    if capture is not None:
                        for f in capture["paths"]:
                            os.remove(f)
                    capture = result["capture"]
            print(f"round {r + 1} of {args.rounds} done", file=sys.stderr, flush=True)
        report(args, rounds, capture, tl, rp)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def report(args, rounds, capture, tl, rp):
    plain, captured = summarise(rounds["plain"]), summarise(rounds["capture"])
    seed = "random hash seeds" if args.hash_seed == "random" else f"PYTHONHASHSEED={args.hash_seed}"
    layout = "one fixed layout" if args.fixed_layout else f"each a layout of its own (seed {args.layout_seed})"
    print(f"session: {args.instruments} instruments, {args.days} day(s), {args.minutes_per_half} + "
          f"{args.minutes_per_half} minutes; {args.rounds} rounds, {layout}, a fresh process per variant ({seed})")
    print("per callback, the median of the rounds' means (lowest-highest round), in us; extra: the median of the")
    print("rounds' captured mean over their plain mean (lower-upper quartile); then the same of the rounds' medians")
    print(f"{'callback':34} {'calls':>7} {'plain mean':>22} {'captured mean':>22} {'extra (quartiles)':>23}   "
          f"{'plain med':>9} {'captured':>9} {'extra':>7}")
    rows = []
    total_plain = total_cap = 0.0
    for name in sorted(plain, key=lambda n: -plain[n]["n"]):
        a, b = plain[name], captured.get(name)
        if b is None:
            continue
        am, bm = spread(a["means"]), spread(b["means"])
        ad, bd = spread(a["medians"]), spread(b["medians"])
        total_plain += am[0] * a["n"]
        total_cap += bm[0] * b["n"]
        extra_mean = quartiles([c / p - 1 for p, c in zip(a["means"], b["means"])])
        extra_med = statistics.median(c / p - 1 for p, c in zip(a["medians"], b["medians"]))
        rows.append({"callback": name, "calls": a["n"],
                     "plain_mean_ns": {"median": am[0], "min": am[1], "max": am[2]},
                     "capture_mean_ns": {"median": bm[0], "min": bm[1], "max": bm[2]},
                     "extra_mean": round(extra_mean[0], 4),
                     "extra_mean_quartiles": [round(extra_mean[1], 4), round(extra_mean[2], 4)],
                     "plain_median_ns": {"median": ad[0], "min": ad[1], "max": ad[2]},
                     "capture_median_ns": {"median": bd[0], "min": bd[1], "max": bd[2]},
                     "extra_median": round(extra_med, 4),
                     "plain_round_means_ns": a["means"], "capture_round_means_ns": b["means"]})
        extra = f"{extra_mean[0]:+.1%} ({extra_mean[1]:+.1%} {extra_mean[2]:+.1%})"
        print(f"{name:34} {a['n']:>7} {us(am):>22} {us(bm):>22} {extra:>23}   "
              f"{ad[0] / 1000:>9.2f} {bd[0] / 1000:>9.2f} {extra_med:>+7.1%}")
    overall = total_cap / total_plain - 1 if total_plain else 0.0
    wall_plain = statistics.median(r["wall"] for r in rounds["plain"])
    wall_cap = statistics.median(r["wall"] for r in rounds["capture"])
    print(f"all callbacks, time-weighted medians: {overall:+.1%}; median session wall time {wall_plain:.2f} s plain, "
          f"{wall_cap:.2f} s captured")

    size, calls = capture["bytes"], capture["calls"]
    per_million = size / calls * 1e6
    per_day = size / args.days
    dropped = sum(r["capture"]["dropped"] for r in rounds["capture"])
    print(f"capture: {calls} calls, {size / 1e6:.2f} MB: {per_million / 1e6:.1f} MB per million calls, "
          f"{per_day / 1e6:.2f} MB per simulated day of this session"
          + (f"; {dropped} calls dropped over the rounds (the disk did not keep up)" if dropped else ""))

    t0 = time.perf_counter()
    summary, _ = rp.replay_capture(tl, capture["paths"])
    replay_s = time.perf_counter() - t0
    print(f"replay through the installed module: {summary['calls'] / replay_s:,.0f} calls/s")
    so = tl.__file__
    t0 = time.perf_counter()
    code = subprocess.call([sys.executable, "-m", "tessaline_tools.replay", *capture["paths"], "--impl", so,
                            "--impl", so], stdout=subprocess.DEVNULL)
    compare_s = time.perf_counter() - t0
    print(f"comparison of two implementations (two processes side by side, exit {code}): "
          f"{summary['calls'] / compare_s:,.0f} calls/s of capture")
    if args.json:
        try:
            with open(args.json, "w", encoding="utf-8") as f:
                json.dump({"rounds": args.rounds, "hash_seed": args.hash_seed,
                           "layout_seed": None if args.fixed_layout else args.layout_seed, "callbacks": rows,
                           "overall_extra": overall, "capture_bytes": size, "capture_calls": calls,
                           "capture_dropped": dropped, "bytes_per_million_calls": per_million, "bytes_per_day": per_day,
                           "wall_s": {"plain": wall_plain, "capture": wall_cap},
                           "replay_calls_per_s": summary["calls"] / replay_s,
                           "compare_calls_per_s": summary["calls"] / compare_s}, f, indent=2)
        except OSError as exc:
            raise SystemExit(f"cannot write {args.json}: {exc.strerror}") from None


if __name__ == "__main__":
    main()
