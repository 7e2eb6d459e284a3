"""Instructions the capture adds to a market-data callback, counted by callgrind
over the whole process on the simulated session.

    .venv/bin/python bench/capture_callgrind.py                 # 10 instruments, 11 and 33 minutes per half
    .venv/bin/python bench/capture_callgrind.py --json out.json
    .venv/bin/python bench/capture_callgrind.py --functions 40   # where the instructions go, per function
    .venv/bin/python bench/capture_callgrind.py --layouts 4      # the mean over four address-space layouts

Four runs under ``valgrind --tool=callgrind --separate-threads=yes``: the
session of two lengths, each plain and captured.  Start-up (imports, the
module's construction, the capture's first file) cancels in the difference
between the two lengths; what remains is divided by the extra market-data
callbacks of the longer session.  The callback's thread (the process's main
thread: single-thread delivery) and every other thread (the capture's writer)
are counted apart.  Every run hashes strings with the same seed (``--hash-seed``):
with a random one, the dictionaries' collisions alone move the callback thread's
figure by several hundred instructions from one run to the next.  The address-space
layout moves it too, as much again (``--layouts``: the mean over several).  Needs
valgrind, and the module, the sandbox and the tools installed in the interpreter used.
"""
import argparse
import collections
import glob
import json
import os
import re
import subprocess
import sys
import tempfile

MARKET_DATA = ("on_snapshot", "on_tick_order", "on_tick_trade", "on_bar")

DRIVER = """
import json, mmap, sys
# an address-space layout: every mapping made after this one (the allocator's arenas among
# them) sits that much lower, so its blocks fall elsewhere relative to the allocator's 1 MiB grid
_pad = mmap.mmap(-1, int(sys.argv[7]) << 10) if int(sys.argv[7]) else None
from tessaline_sim.session import Options, run_simulation
instruments, minutes, capture, level = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3] or None, sys.argv[5]
if sys.argv[6] == "import":
    import tessaline_tools.capture  # noqa: F401 - the plain session with the capture's code loaded, unused
options = {}
if level != "default":
    options["level"] = int(level)
if sys.argv[8]:
    options["flush_interval"] = float(sys.argv[8])
if options:
    import tessaline_tools.capture as tc
    _capturing = tc.capturing
    tc.capturing = lambda *a, **k: _capturing(*a, **{**k, **options})
report, host, result = run_simulation(Options(instruments=instruments, days=1, minutes_per_half=minutes,
                                              capture_path=capture))
assert report["ok"], "the simulated session failed"
counts = {name: len(lat) for name, lat in result.latency_ns.items()}
extra = {}
if capture:
    cap = result.capture
    extra = {"calls": cap.calls, "bytes": cap.bytes_written, "dropped": cap.dropped}
json.dump({"counts": counts, "capture": extra}, open(sys.argv[4], "w"))
"""


def read_functions(path):
    """({function: exclusive instructions}, {function: calls made to it}) of one callgrind dump
    (names compressed or not)."""
    names, own, calls = {}, {}, {}

    def name_of(label):
        label = label.strip()
        m = re.match(r"\((\d+)\)\s*(.*)", label)
        if not m:
            return label
        if m.group(2):
            names[m.group(1)] = m.group(2)
        return names.get(m.group(1), label)

    fn = callee = None
    call_cost = False
    with open(path) as f:
        for line in f:
            c = line[:1]
            if c.isdigit() or c in "+-*":
                if call_cost:                       # the inclusive cost of a call: not the caller's own
                    call_cost = False
                    continue
                parts = line.split()
                if len(parts) >= 2 and fn is not None:
                    own[fn] = own.get(fn, 0) + int(parts[1])
            elif line.startswith("fn="):
                fn = name_of(line[3:])
            elif line.startswith("cfn="):
                callee = name_of(line[4:])
            elif line.startswith("calls="):
                calls[callee] = calls.get(callee, 0) + int(line[6:].split()[0])
                call_cost = True
    return own, calls


def run_functions(pattern):
    """{"main"|"other": (exclusive Counter, calls Counter)} of one run's per-thread dumps."""
    out = {"main": (collections.Counter(), collections.Counter()),
           "other": (collections.Counter(), collections.Counter())}
    for path in glob.glob(pattern):
        suffix = path.rsplit(".", 1)[1]
        thread = int(suffix.split("-")[1]) if "-" in suffix else 1
        own, calls = read_functions(path)
        part = out["main" if thread == 1 else "other"]
        part[0].update(own)
        part[1].update(calls)
    return out


def print_functions(runs, short, long, calls, top):
    """The per-function difference (captured minus plain) per extra market-data callback."""
    for part, title in (("main", "callback's thread"), ("other", "other threads (the writer)")):
        def per_call(kind, which):
            hi, lo = runs[f"{kind}_{long}"]["functions"][part][which], runs[f"{kind}_{short}"]["functions"][part][which]
            keys = set(hi) | set(lo)
            return {k: (hi.get(k, 0) - lo.get(k, 0)) / calls for k in keys}
        own_p, own_c = per_call("plain", 0), per_call("capture", 0)
        n_p, n_c = per_call("plain", 1), per_call("capture", 1)
        diff = {k: own_c.get(k, 0) - own_p.get(k, 0) for k in set(own_p) | set(own_c)}
        print(f"  {title}: instructions added per callback, by function (exclusive; calls to it per callback)")
        for k in sorted(diff, key=lambda k: -abs(diff[k]))[:top]:
            print(f"    {diff[k]:>9,.1f}  {own_p.get(k, 0):>9,.1f} -> {own_c.get(k, 0):>9,.1f}"
                  f"  calls {n_p.get(k, 0):>7.2f} -> {n_c.get(k, 0):>7.2f}  {k[:90]}")


def thread_totals(pattern):
    """{thread number: instructions} from the per-thread dumps of one run."""
    out = {}
    for path in glob.glob(pattern):
        suffix = path.rsplit(".", 1)[1]                     # PID, or PID-THREAD with --separate-threads
        thread = int(suffix.split("-")[1]) if "-" in suffix else 1
        with open(path) as f:
            for line in f:
                if line.startswith(("summary:", "totals:")):
                    out[thread] = out.get(thread, 0) + int(line.split()[1])
                    break
    return out


def run_one(tmp, tag, instruments, minutes, capture, level=None, hash_seed=0, functions=False, imports=False,
            pad_kib=0, flush_interval=None):
    out = os.path.join(tmp, f"cg-{tag}")
    info = os.path.join(tmp, f"{tag}.json")
    cap = os.path.join(tmp, f"{tag}.tlcap") if capture else ""
    # numpy's BLAS threads spin on their own schedule: one thread for it keeps them out of the counts
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", PYTHONHASHSEED=str(hash_seed))
    subprocess.run(["valgrind", "--tool=callgrind", "--separate-threads=yes", "--dump-instr=no",
                    f"--callgrind-out-file={out}.%p",
                    sys.executable, "-c", DRIVER, str(instruments), str(minutes), cap, info,
                    "default" if level is None else str(level), "import" if imports else "", str(pad_kib),
                    "" if flush_interval is None else str(flush_interval)],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    totals = thread_totals(out + ".*")
    with open(info) as f:
        data = json.load(f)
    main = totals.get(1, 0)
    run = {"main": main, "other": sum(v for k, v in totals.items() if k != 1), "counts": data["counts"],
           "capture": data["capture"]}
    if functions:
        run["functions"] = run_functions(out + ".*")
    return run


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--instruments", type=int, default=10)
    p.add_argument("--short", type=int, default=11, help="minutes per half of the shorter session")
    p.add_argument("--long", type=int, default=33, help="minutes per half of the longer session")
    p.add_argument("--level", type=int, action="append", dest="levels",
                   help="zstandard level of the capture (repeat to compare; default: the writer's own)")
    p.add_argument("--hash-seed", type=int, default=0, help="PYTHONHASHSEED of every run (default 0)")
    p.add_argument("--functions", type=int, default=0, metavar="N",
                   help="also print the N functions whose instructions per callback differ most (captured "
                        "minus plain, the writer's own level), callback's thread and writer apart")
    p.add_argument("--plain-imports", action="store_true",
                   help="the plain sessions import the capture's modules first (loaded, never used): what "
                        "the captured figure adds beyond that is the capture's work, not where the "
                        "loading moved the interpreter's memory and caches")
    p.add_argument("--flush-interval", type=float, metavar="SECONDS",
                   help="the capture's flush interval (default: the writer's own).  Under callgrind the "
                        "session runs some fifty times slower, so a chunk closed by time holds that many "
                        "fewer records, and fewer still on a loaded machine: the writer's figure and the "
                        "capture's size then depend on the load.  A long interval closes chunks by size only")
    p.add_argument("--layouts", type=int, default=1, metavar="N",
                   help="repeat everything at N address-space layouts (the process's mappings start 0, "
                        "1/N, 2/N ... MiB and as many pages lower) and print the mean: which blocks share the allocator's "
                        "arenas and which names share the type-attribute cache's slots moves with the "
                        "layout, by a few hundred instructions a callback either way")
    p.add_argument("--json", metavar="PATH")
    args = p.parse_args(argv)
    levels = args.levels or [None]
    kinds = [f"capture{'' if lv is None else lv}" for lv in levels]
    # steps of 1/N MiB move the arenas on the allocator's grid; the extra 4 KiB a step moves the
    # page bits of every later object's address, which pick its slots in the type-attribute cache
    pads = [i * (1024 // args.layouts + 4) for i in range(args.layouts)]
    per_layout = []
    for pad in pads:
        if len(pads) > 1:
            print(f"layout: mappings start {pad} KiB lower", flush=True)
        per_layout.append(measure(args, levels, pad))
    if len(pads) > 1:
        print(f"over {len(pads)} layouts (mean, min..max), per market-data callback:")
        for kind in kinds:
            for part, title in (("main", "on the callback's thread"), ("other", "on other threads"), ("all", "in all")):
                vals = [r["captures"][kind]["added_per_callback"][part] for r in per_layout]
                print(f"  added by {kind} {title}: {sum(vals) / len(vals):,.0f} "
                      f"({min(vals):,.0f}..{max(vals):,.0f})")
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(per_layout[0] if len(pads) == 1 else {"layouts": dict(zip(pads, per_layout))}, f, indent=2)


def measure(args, levels, pad):
    """The four (or more) runs at one address-space layout; what the capture adds per callback."""
    tmp = tempfile.mkdtemp(prefix="capture-callgrind-")
    runs = {}
    for kind in ["plain"] + [f"capture{'' if lv is None else lv}" for lv in levels]:
        level = None if kind in ("plain", "capture") else int(kind[len("capture"):])
        for minutes in (args.short, args.long):
            tag = f"{kind}_{minutes}"
            runs[tag] = run_one(tmp, tag, args.instruments, minutes, kind != "plain", level, args.hash_seed,
                                bool(args.functions) and level is None, args.plain_imports, pad,
                                args.flush_interval)
            print(f"{tag:14} main thread {runs[tag]['main']:>14,}  other threads {runs[tag]['other']:>14,}",
                  flush=True)

    def md(run):
        return sum(run["counts"].get(n, 0) for n in MARKET_DATA)

    def delta(kind, part):
        return runs[f"{kind}_{args.long}"][part] - runs[f"{kind}_{args.short}"][part]

    calls = md(runs[f"plain_{args.long}"]) - md(runs[f"plain_{args.short}"])
    plain = {part: delta("plain", part) / calls for part in ("main", "other")}
    print(f"per market-data callback ({calls} more in the longer session), start-up cancelled:")
    print(f"  plain: {plain['main']:,.0f} instructions on the callback's thread")
    results = {}
    for lv in levels:
        kind = f"capture{'' if lv is None else lv}"
        calls_c = md(runs[f"{kind}_{args.long}"]) - md(runs[f"{kind}_{args.short}"])
        if calls != calls_c:
            raise SystemExit(f"the plain and captured sessions delivered different callbacks ({calls} vs {calls_c})")
        captured = {part: delta(kind, part) / calls for part in ("main", "other")}
        added = {part: captured[part] - plain[part] for part in ("main", "other")}
        added["all"] = added["main"] + added["other"]
        cap_long, cap_short = runs[f"{kind}_{args.long}"]["capture"], runs[f"{kind}_{args.short}"]["capture"]
        size = (cap_long["bytes"] - cap_short["bytes"]) / (cap_long["calls"] - cap_short["calls"]) * 1e6
        results[kind] = {"added_per_callback": added, "bytes_per_million_calls": size}
        print(f"  added by the capture{'' if lv is None else f' at level {lv}'}: {added['main']:,.0f} on the "
              f"callback's thread, {added['other']:,.0f} on other threads (the writer), "
              f"{added['all']:,.0f} in all; {size / 1e6:.1f} MB per million calls")
    if args.functions and None in levels:
        print_functions(runs, args.short, args.long, calls, args.functions)
        for run in runs.values():
            run.pop("functions", None)
    return {"runs": runs, "plain_per_callback": plain, "captures": results}

if __name__ == "__main__":
    main()
