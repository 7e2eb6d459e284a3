"""What capturing costs on the sandbox host: time per callback with and without the
capture wrapper, capture size, and replay and comparison speed.

    .venv/bin/python bench/capture_overhead.py                       # 20 instruments, one full day
    .venv/bin/python bench/capture_overhead.py --minutes-per-half 30 --rounds 2 --json out.json

Each round runs the same simulated session (single-thread delivery) twice,
once with the plain strategy and once with ``capturing(VornStrategy, ...)``;
the simulator times every callback call (``time.perf_counter_ns`` around it),
so the figures include the wrapper and any time the writer thread holds the
interpreter lock.  Per callback the best round's mean and median are kept.
Needs the module, the sandbox and the tools installed in the interpreter used.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time


def run(options, capture_path=None):
    from dataclasses import replace
    from tessaline_sim.session import run_simulation
    opts = replace(options, capture_path=capture_path)
    t0 = time.perf_counter()
    report, host, result = run_simulation(opts)
    wall = time.perf_counter() - t0
    if not report["ok"]:
        raise SystemExit("the simulated session reported a failure; fix that first")
    stats = {}
    for name, lat in result.latency_ns.items():
        values = list(lat)
        stats[name] = {"n": len(values), "mean": sum(values) / len(values), "median": statistics.median(values)}
    return stats, wall, result


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--instruments", type=int, default=20)
    p.add_argument("--days", type=int, default=1)
    p.add_argument("--minutes-per-half", type=int, default=120)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--json", metavar="PATH")
    args = p.parse_args(argv)

    from tessaline_sim.session import Options
    import corvix.tarrow.utils.tessaline as tl
    from tessaline_tools import replay as rp

    options = Options(instruments=args.instruments, days=args.days, minutes_per_half=args.minutes_per_half)
    tmp = tempfile.mkdtemp(prefix="capture-bench-")
    best = {"plain": {}, "capture": {}}
    walls = {"plain": [], "capture": []}
    capture = None
    for r in range(args.rounds):
        for kind in ("plain", "capture"):
            path = os.path.join(tmp, f"round{r}.tlcap") if kind == "capture" else None
            stats, wall, result = run(options, path)
            walls[kind].append(wall)
            for name, s in stats.items():
                b = best[kind].get(name)
                if b is None or s["mean"] < b["mean"]:
                    best[kind][name] = s
            if kind == "capture":
                capture = result.capture
                if r < args.rounds - 1:
                    for f in capture.paths:
                        os.remove(f)

    rows = []
    print(f"session: {args.instruments} instruments, {args.days} day(s), {args.minutes_per_half} + "
          f"{args.minutes_per_half} minutes; best of {args.rounds} rounds")
    print(f"{'callback':34} {'calls':>8} {'plain mean':>11} {'capture':>9} {'extra':>7}   "
          f"{'plain med':>9} {'capture':>9} {'extra':>7}")
    total_plain = total_cap = 0.0
    for name in sorted(best["plain"], key=lambda n: -best["plain"][n]["n"]):
        a, b = best["plain"][name], best["capture"].get(name)
        if b is None:
            continue
        total_plain += a["mean"] * a["n"]
        total_cap += b["mean"] * b["n"]
        extra_mean = b["mean"] / a["mean"] - 1
        extra_med = b["median"] / a["median"] - 1
        rows.append({"callback": name, "calls": a["n"], "plain_mean_ns": round(a["mean"]),
                     "capture_mean_ns": round(b["mean"]), "extra_mean": round(extra_mean, 4),
                     "plain_median_ns": a["median"], "capture_median_ns": b["median"],
                     "extra_median": round(extra_med, 4)})
        print(f"{name:34} {a['n']:>8} {a['mean'] / 1000:>9.2f}us {b['mean'] / 1000:>7.2f}us {extra_mean:>+7.1%}   "
              f"{a['median'] / 1000:>7.2f}us {b['median'] / 1000:>7.2f}us {extra_med:>+7.1%}")
    overall = total_cap / total_plain - 1 if total_plain else 0.0
    print(f"all callbacks, time-weighted: {overall:+.1%}; session wall time {min(walls['plain']):.2f} s plain, "
          f"{min(walls['capture']):.2f} s captured")

    size = capture.bytes_written
    calls = capture.calls
    per_million = size / calls * 1e6
    per_day = size / args.days
    print(f"capture: {calls} calls, {size / 1e6:.2f} MB: {per_million / 1e6:.1f} MB per million calls, "
          f"{per_day / 1e6:.2f} MB per simulated day of this session")

    t0 = time.perf_counter()
    summary, _ = rp.replay_capture(tl, capture.paths)
    replay_s = time.perf_counter() - t0
    print(f"replay through the installed module: {summary['calls'] / replay_s:,.0f} calls/s")
    so = tl.__file__
    t0 = time.perf_counter()
    code = subprocess.call([sys.executable, "-m", "tessaline_tools.replay", *capture.paths, "--impl", so,
                            "--impl", so], stdout=subprocess.DEVNULL)
    compare_s = time.perf_counter() - t0
    print(f"comparison of two implementations (two processes side by side, exit {code}): "
          f"{summary['calls'] / compare_s:,.0f} calls/s of capture")
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump({"callbacks": rows, "overall_extra": overall, "capture_bytes": size, "capture_calls": calls,
                       "bytes_per_million_calls": per_million, "bytes_per_day": per_day,
                       "replay_calls_per_s": summary["calls"] / replay_s,
                       "compare_calls_per_s": summary["calls"] / compare_s}, f, indent=2)
    for f in capture.paths:
        os.remove(f)
    os.rmdir(tmp)


if __name__ == "__main__":
    main()
