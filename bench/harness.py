"""One measurement process:
`python bench/harness.py MODE PROFILE OUT.json [LAYOUTS [BENCHES]]`
(LAYOUTS and BENCHES comma-separated; default every layout and benchmark).

MODE is
- ``time``: wall-clock ns per call, every (benchmark, implementation) run
  interleaved in shuffled order for a number of rounds;
- ``callgrind``: run under ``valgrind --tool=callgrind --instr-atstart=no
  --collect-atstart=no``; every (layout, benchmark, implementation) loop is
  collected alone and dumped under its own label (see ``_benchloop.cg_loop``).

Started by run.py; not a test.
"""
import gc
import json
import os
import random
import statistics
import sys
import time

import profiles
import _benchloop


def _probe(bench):
    """None when one iteration runs, else the reason it cannot."""
    try:
        _benchloop.loop_ns(1, bench.calls)
    except NotImplementedError as exc:
        return f"not built yet ({exc})"
    except Exception as exc:  # noqa: BLE001 - reported in the results
        return f"{type(exc).__name__}: {exc}"
    finally:
        if bench.after:
            bench.after()
    return None


def _setup(profile, layouts, names):
    """Flat {(layout, bench): {impl: Bench}} of what runs, and what could not."""
    mods, errors = profiles.load_impls()
    by_layout, recs, host = profiles.build(profile, mods, layouts, names)
    benches, skipped = {}, {}
    for lay, per_name in by_layout.items():
        for name, per_impl in per_name.items():
            for impl in list(per_impl):
                reason = _probe(per_impl[impl])
                if reason:
                    skipped.setdefault(f"{lay}|{name}", {})[impl] = reason
                    del per_impl[impl]
            benches[(lay, name)] = per_impl
    return mods, errors, benches, skipped


def _timed(n, bench):
    gc.collect()  # every run starts from the same collector state
    t = _benchloop.loop_ns(n, bench.calls)
    if bench.after:
        bench.after()
    if bench.overhead:
        t -= _benchloop.loop_ns(n, bench.overhead)
    return t / (n * bench.ncallbacks)


def run_time(profile, layouts, names, rounds, target_ms, seed=12345):
    mods, errors, benches, skipped = _setup(profile, layouts, names)
    rnd = random.Random(seed)
    # warm-up (specialisation, caches), then one n per benchmark so that a run
    # of the slowest implementation lasts about target_ms
    iters = {}
    for name, per_impl in benches.items():
        if not per_impl:
            continue
        slowest = 0.0
        for bench in per_impl.values():
            w = 20 if len(bench.calls) < 500 else 2  # the stream: 2 minutes of delivery
            for _ in range(3):
                _benchloop.loop_ns(w, bench.calls)
                if bench.after:
                    bench.after()
            t = _benchloop.loop_ns(w, bench.calls) / w
            if bench.after:
                bench.after()
            slowest = max(slowest, t)
        iters[name] = max(1, int(target_ms * 1e6 / max(slowest, 1.0)))
    samples = {name: {impl: [] for impl in per_impl} for name, per_impl in benches.items()}
    t0 = time.perf_counter()
    for _ in range(rounds):
        order = [n for n in benches if benches[n]]
        rnd.shuffle(order)
        for name in order:
            impls = list(benches[name])
            rnd.shuffle(impls)
            for impl in impls:
                samples[name][impl].append(_timed(iters[name], benches[name][impl]))
    elapsed = time.perf_counter() - t0
    out = {}
    for (lay, name), per_impl in samples.items():
        key = f"{lay}|{name}"
        out[key] = {}
        for impl, xs in per_impl.items():
            q = statistics.quantiles(xs, n=4) if len(xs) > 1 else [xs[0]] * 3
            out[key][impl] = {"min": min(xs), "median": statistics.median(xs), "max": max(xs),
                               "spread": max(xs) - min(xs), "p25": q[0], "p75": q[2],
                               "n": iters[(lay, name)], "rounds": len(xs)}
    return {"mode": "time", "profile": profile, "layouts": list(layouts), "rounds": rounds, "target_ms": target_ms,
            "elapsed_s": elapsed, "results": out, "skipped": skipped, "import_errors": errors, "gc_enabled": gc.isenabled()}


# iterations per collected loop (each iteration makes every call of the list)
CG_ITERS = {"on_snapshot": 6, "on_tick_order": 6, "on_tick_trade": 6, "on_bar": 6, "on_order": 100,
            "on_query_position": 40, "stream": 1, "get_current_tick": 3000, "history_ticks": 1000}
# instrumented iterations before each collected loop (the stream's one iteration is long)
CG_WARM = {"stream": 1}


def run_callgrind(profile, layouts, names, scale=1.0):
    mods, errors, benches, skipped = _setup(profile, layouts, names)
    # warm up before instrumentation starts (fast), then once more instrumented
    for per_impl in benches.values():
        for bench in per_impl.values():
            for _ in range(3):
                _benchloop.loop_ns(20 if len(bench.calls) < 500 else 2, bench.calls)
                if bench.after:
                    bench.after()
    _benchloop.cg_start()
    labels = {}
    for (lay, name), per_impl in benches.items():
        for impl, bench in per_impl.items():
            n = max(1, int(CG_ITERS[name] * scale))
            _benchloop.loop_ns(CG_WARM.get(name, 2), bench.calls)
            if bench.after:
                bench.after()
            label = f"{profile}|{lay}|{name}|{impl}|calls"
            gc.collect()
            _benchloop.cg_loop(n, bench.calls, label)
            if bench.after:
                bench.after()
            entry = {"n": n, "ncallbacks": bench.ncallbacks, "calls": label}
            if bench.overhead:
                olabel = f"{profile}|{lay}|{name}|{impl}|overhead"
                gc.collect()
                _benchloop.cg_loop(n, bench.overhead, olabel)
                entry["overhead"] = olabel
            labels.setdefault(f"{lay}|{name}", {})[impl] = entry
    return {"mode": "callgrind", "profile": profile, "layouts": list(layouts), "labels": labels, "skipped": skipped,
            "import_errors": errors, "pid": os.getpid()}


def main(argv):
    mode, profile, out = argv[1], argv[2], argv[3]
    layouts = argv[4].split(",") if len(argv) > 4 and argv[4] else list(profiles.LAYOUTS)
    names = argv[5].split(",") if len(argv) > 5 and argv[5] else list(profiles.BENCHES)
    if mode == "time":
        rounds = int(os.environ.get("BENCH_ROUNDS", "40" if profile == "light" else "20"))
        target = float(os.environ.get("BENCH_TARGET_MS", "4" if profile == "light" else "8"))
        result = run_time(profile, layouts, names, rounds, target)
    elif mode == "callgrind":
        result = run_callgrind(profile, layouts, names, float(os.environ.get("BENCH_CG_SCALE", "1")))
    else:
        raise SystemExit(f"unknown mode {mode!r}")
    with open(out, "w") as f:
        json.dump(result, f, indent=1)


if __name__ == "__main__":
    main(sys.argv)
