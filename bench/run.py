"""tessaline benchmark suite: `python bench/run.py [--quick] [--no-callgrind] [--no-memory]`.

Normally started through `bash bench/run.sh`, which prepares the environment
(module, stand-ins, Cython twin, C driver) first. Runs, each in its own
process:

1. check.py: the twins against the extension on a recording host;
2. harness.py time light / sandbox: ns per call, interleaved rounds;
3. harness.py callgrind light / sandbox under valgrind: instructions per call;
4. memory.py: memory after 1,000,000 snapshots over 2,000 instruments;

then prints the tables and writes them to bench/results.md. Not a test:
nothing here passes or fails on a figure.
"""
import argparse
import datetime as _dt
import json
import os
import platform
import shutil
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
BUILD = HERE / "_build"
OUT = BUILD / "out"
sys.path.insert(0, str(HERE))

import cgparse  # noqa: E402
import profiles  # noqa: E402

PY = sys.executable
TOP_FUNCTIONS = 10


def sh(cmd, env=None, check=True):
    print("+", " ".join(str(c) for c in cmd), flush=True)
    t0 = time.perf_counter()
    # a fixed hash seed: the same string hashes, so the same dict probe
    # sequences, in every process and every run
    r = subprocess.run([str(c) for c in cmd], cwd=HERE, env={**os.environ, "PYTHONHASHSEED": "0", **(env or {})})
    print(f"  ({time.perf_counter() - t0:.1f} s)", flush=True)
    if check and r.returncode != 0:
        raise SystemExit(f"failed ({r.returncode}): {' '.join(str(c) for c in cmd)}")
    return r.returncode


def load(path):
    with open(path) as f:
        return json.load(f)


def machine():
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass

    def git(*args):
        try:
            return subprocess.run(["git", *args], cwd=HERE.parent, capture_output=True, text=True,
                                  timeout=10).stdout.strip()
        except Exception:  # noqa: BLE001
            return ""

    dirty = git("status", "--short", "--", "src")
    return {"nproc": os.cpu_count(), "cpu": cpu, "python": platform.python_version(),
            "implementation": platform.python_implementation(), "platform": platform.platform(),
            "load": os.getloadavg(), "commit": git("rev-parse", "--short", "HEAD"),
            "src_modified": bool(dirty), "date": _dt.datetime.now().strftime("%Y-%m-%d %H:%M")}


# ---------------------------------------------------------------- steps

def step_check():
    sh([PY, "check.py", OUT / "check.json"], check=False)
    return load(OUT / "check.json") if (OUT / "check.json").exists() else None


def step_time(profile, quick):
    env = {"BENCH_ROUNDS": "5", "BENCH_TARGET_MS": "2"} if quick else {}
    sh([PY, "harness.py", "time", profile, OUT / f"time_{profile}.json"], env=env)
    return load(OUT / f"time_{profile}.json")


def step_callgrind(profile, quick):
    if not shutil.which("valgrind"):
        return None
    cgdir = BUILD / "cg"
    cgdir.mkdir(parents=True, exist_ok=True)
    for old in cgdir.glob(f"{profile}.*"):
        old.unlink()
    scale = {"light": "1", "sandbox": "0.34"}[profile]
    if quick:
        scale = str(float(scale) / 3)
    sh(["valgrind", "--tool=callgrind", "--instr-atstart=no", "--collect-atstart=no", "--compress-strings=no",
        "--compress-pos=no", f"--callgrind-out-file={cgdir}/{profile}.%p.out", "-q",
        PY, "harness.py", "callgrind", profile, OUT / f"cg_{profile}.json"], env={"BENCH_CG_SCALE": scale})
    meta = load(OUT / f"cg_{profile}.json")
    dumps = cgparse.read_all(str(cgdir / f"{profile}.*.out.*"))
    per_call, top = {}, {}
    for name, per_impl in meta["labels"].items():
        per_call[name] = {}
        for impl, e in per_impl.items():
            total, excl = dumps[e["calls"]]
            calls = e["n"] * e["ncallbacks"]
            if "overhead" in e:
                o_total, o_excl = dumps[e["overhead"]]
                total -= o_total
                excl = excl.copy()
                excl.subtract(o_excl)
            per_call[name][impl] = total / calls
            top.setdefault(name, {})[impl] = [(cgparse.short(fn), c / calls)
                                              for fn, c in excl.most_common(TOP_FUNCTIONS)]
    return {"per_call": per_call, "top": top, "skipped": meta["skipped"], "meta": meta}


def step_memory(quick):
    env = {"BENCH_MEM_SNAPSHOTS": "100000"} if quick else {}
    out = {}
    for impl, profile in (("module", "light"), ("module", "sandbox"), ("twin", "sandbox")):
        path = OUT / f"mem_{impl}_{profile}.json"
        if sh([PY, "memory.py", impl, profile, path], env=env, check=False) == 0:
            out[(impl, profile)] = load(path)
    return out


# ---------------------------------------------------------------- report

def fmt_ns(x):
    return f"{x:,.0f}" if x >= 100 else f"{x:.1f}"


def ratio(a, b):
    return a / b if a and b else float("nan")


def time_table(t):
    res = t["results"]
    lines = ["| call | module ns | twin ns | Cython ns | twin/module | Cython/module | "
             "median module / twin / Cython | max-min module / twin / Cython |",
             "|---|---:|---:|---:|---:|---:|---|---|"]
    for name in profiles.BENCHES:
        r = res.get(name, {})
        skipped = t["skipped"].get(name, {})
        cells = []
        for impl in profiles.IMPLS:
            cells.append(fmt_ns(r[impl]["min"]) if impl in r else ("not built" if impl in skipped else "—"))
        m = r.get("module", {}).get("min")
        tw = r.get("twin", {}).get("min")
        cy = r.get("cython", {}).get("min")
        med = " / ".join(fmt_ns(r[i]["median"]) if i in r else "—" for i in profiles.IMPLS)
        spr = " / ".join(fmt_ns(r[i]["spread"]) if i in r else "—" for i in profiles.IMPLS)
        label = name + (" (per call of the 3-report cycle)" if name == "on_order" else "")
        lines.append(f"| {label} | {' | '.join(cells)} | {ratio(tw, m):.2f} | {ratio(cy, m):.2f} | {med} | {spr} |")
    return "\n".join(lines)


def ir_table(cg):
    lines = ["| call | module Ir | twin Ir | Cython Ir | twin/module | Cython/module |",
             "|---|---:|---:|---:|---:|---:|"]
    for name in profiles.BENCHES:
        r = cg["per_call"].get(name, {})
        cells = [f"{r[i]:,.0f}" if i in r else ("not built" if i in cg["skipped"].get(name, {}) else "—")
                 for i in profiles.IMPLS]
        lines.append(f"| {name} | {' | '.join(cells)} | {ratio(r.get('twin'), r.get('module')):.2f} | "
                     f"{ratio(r.get('cython'), r.get('module')):.2f} |")
    return "\n".join(lines)


def verdicts(t, cg):
    lines = ["| call | time vs twin | time vs Cython | Ir vs twin | holds |", "|---|---|---|---|---|"]
    misses = []
    for name in profiles.BENCHES:
        r = t["results"].get(name, {})
        if "module" not in r:
            lines.append(f"| {name} | not built | | | — |")
            continue
        m = r["module"]["min"]
        tw = ratio(r.get("twin", {}).get("min"), m)
        cy = ratio(r.get("cython", {}).get("min"), m)
        ir = (cg or {}).get("per_call", {}).get(name, {})
        ir_ratio = ratio(ir.get("twin"), ir.get("module"))
        if name in profiles.CALLBACKS:
            ok = [tw >= 1.0, cy >= 1.1, ir_ratio >= 1.0]
            cells = [f"{tw:.2f}x (need ≥1.00) {'✓' if ok[0] else '✗'}",
                     f"{cy:.2f}x (need ≥1.10) {'✓' if ok[1] else '✗'}",
                     f"{ir_ratio:.2f}x (need ≥1.00) {'✓' if ok[2] else '✗'}"]
        else:
            ok = [tw >= 1.5, cy >= 1.5]
            cells = [f"{tw:.2f}x (need ≥1.50) {'✓' if ok[0] else '✗'}",
                     f"{cy:.2f}x (need ≥1.50) {'✓' if ok[1] else '✗'}", "—"]
        holds = all(ok)
        if not holds:
            misses.append(name)
        lines.append(f"| {name} | {' | '.join(cells)} | {'yes' if holds else '**no**'} |")
    return "\n".join(lines), misses


def top_table(cg, names):
    out = []
    for name in names:
        tops = cg["top"].get(name, {})
        if "module" not in tops:
            continue
        out.append(f"**{name}** (module {cg['per_call'][name]['module']:,.0f} Ir/call; "
                   f"twin {cg['per_call'][name].get('twin', float('nan')):,.0f}):\n")
        out.append("| module: function | Ir/call | twin: function | Ir/call |\n|---|---:|---|---:|")
        mt, tt = tops.get("module", []), tops.get("twin", [])
        for i in range(max(len(mt), len(tt))):
            a = mt[i] if i < len(mt) else ("", 0)
            b = tt[i] if i < len(tt) else ("", 0)
            out.append(f"| `{a[0]}` | {a[1]:,.0f} | `{b[0]}` | {b[1]:,.0f} |")
        out.append("")
    return "\n".join(out)


def memory_table(mem):
    if not mem:
        return "(not run)"
    lines = ["| implementation, host | snapshots / instruments | s | RSS start MB | RSS full MB | peak MB | "
             "RSS drained MB | RSS released MB | live blocks start → full → released | gc objects start → "
             "released | traced bytes kept | tick dict bytes |",
             "|---|---|---:|---:|---:|---:|---:|---:|---|---|---:|---:|"]
    for (impl, profile), d in mem.items():
        mb = lambda kb: f"{kb / 1024:.1f}"  # noqa: E731
        lines.append(
            f"| {impl}, {profile} | {d['snapshots']:,} / {d['instruments']:,} | {d['elapsed_s']:.1f} | "
            f"{mb(d['start']['rss_kb'])} | {mb(d['full']['rss_kb'])} | {mb(d['peak_rss_kb'])} | "
            f"{mb(d['drained']['rss_kb'])} | {mb(d['cleared']['rss_kb'])} | "
            f"{d['start']['blocks']:,} → {d['full']['blocks']:,} → {d['cleared']['blocks']:,} | "
            f"{d['start']['gc_objects']:,} → {d['cleared']['gc_objects']:,} | {d['traced_delta_bytes']:,} | "
            f"{d.get('tick_dict_bytes', '?')} |")
    return "\n".join(lines)


def report(m, check, times, cgs, mem, args):
    light = times.get("light")
    out = [f"# tessaline benchmark results\n",
           f"Taken {m['date']} on {m['nproc']} CPUs ({m['cpu']}), {m['implementation']} {m['python']}, "
           f"{m['platform']}; commit {m['commit'] or '?'}{' with uncommitted changes in src/' if m['src_modified'] else ''}; "
           f"load average at start {m['load'][0]:.2f}, at end {m['load_end'][0]:.2f}"
           f"{' (quick run: fewer rounds, smaller memory run)' if args.quick else ''}.\n",
           "## How the figures were taken\n",
           "- One command, `bash bench/run.sh`: its own virtual environment, the module built from the work tree, "
           "the host and SDK stand-ins (`sandbox/`), the pure-Python twin (`bench/tessaline_twin.py`) and the same "
           "source compiled by Cython (`tessaline_twin_cy`, built into `bench/_build`).",
           "- Three implementations, each a module with its own globals, bound the same way for each host profile: "
           "**light** (every host and SDK name replaced with the cheapest C-implemented callables and objects: "
           "`Event` = `dict`, `TickObject` = `slice`, factories `operator.itemgetter` / `dict`, loggers, "
           "`deepcopy` and order methods = `callable`, time conversions `float`/`int`, code mappings `str` and "
           "`dict.get`; the event queue a `deque(maxlen=256)`), so that what is measured is the callback's own "
           "work; and **sandbox** (the working stand-ins, the module's own ring buffer, drained between runs).",
           "- Records are the SDK's slotted record classes; 50 instruments per market-data benchmark (the bar "
           "universe is 50, so one bar event per 50 bars); `on_order` is a Sended → PartiallyFilled → Filled "
           "cycle (the host order's status reset before each cycle, that reset timed apart and subtracted), shown "
           "per call; `on_query_position` answers 20 records; the queries read a full 60-tick history.",
           "- Calls are made by a C loop (`bench/_benchloop.c`, vectorcall of the unbound method with the "
           "strategy and the record), so no interpreted loop is timed. The collector is on; a `gc.collect()` "
           "before each timed run gives every run the same collector state.",
           f"- Time: every (call, implementation) run interleaved in shuffled order, "
           f"{light['rounds'] if light else '?'} rounds (light) / "
           f"{times['sandbox']['rounds'] if times.get('sandbox') else '?'} rounds (sandbox) of a few ms each; the "
           "figure is the fastest run's ns per call, with the median and max−min over the rounds. Ratios are "
           "twin/module and Cython/module of the fastest runs (above 1: the module is faster).",
           "- Instructions: `valgrind --tool=callgrind`, collection switched on only inside the C loop and one "
           "dump per (call, implementation) after warm-up; Ir per call = the dump's total / calls. Repeatable on "
           "a busy machine, unlike the times.",
           "- Memory: `bench/memory.py`, one process per implementation and host.\n"]
    if check:
        d = check["diff"]
        same = all(v is None for v in d.values()) and d
        out.append("## Twin faithfulness\n")
        if same:
            out.append(f"On a recording host (every record read, host call with its arguments, member read, host "
                       f"order read and write, and event), the extension, the twin and the Cython twin produce the "
                       f"identical log of {check['entries']} entries over snapshots, queries, level-2 records, bars, "
                       f"every order-report branch and position answers (`bench/check.py`).\n")
        else:
            out.append("Logs differ — first difference per twin (see `bench/_build/out/check.json`):\n")
            for impl, diff in d.items():
                out.append(f"- {impl}: `{json.dumps(diff, default=str)[:600]}`")
            if check.get("raised"):
                out.append(f"- raised: `{json.dumps(check['raised'])[:600]}`")
            out.append("")
    for profile in ("light", "sandbox"):
        t = times.get(profile)
        if not t:
            continue
        out.append(f"## Time, {profile} host (ns per call, fastest of {t['rounds']} interleaved rounds)\n")
        out.append(time_table(t) + "\n")
    for profile in ("light", "sandbox"):
        cg = cgs.get(profile)
        if cg:
            out.append(f"## Instructions per call, {profile} host (callgrind)\n")
            out.append(ir_table(cg) + "\n")
    misses = []
    if light:
        table, misses = verdicts(light, cgs.get("light"))
        out.append("## Targets (light host)\n")
        out.append("Hot callbacks: at least as fast as the twin, at least 1.1x faster than the Cython twin, no more "
                   "instructions than the twin. Queries: at least 1.5x faster than both.\n")
        out.append(table + "\n")
    out.append("## Memory\n")
    out.append("1,000,000 snapshots over 2,000 instruments, the host draining the queue every 10,000 events "
               "(`popleft` until empty). *Full*: histories full (2,000 × 60 tick dictionaries), queue drained. "
               "*Drained*: histories emptied (`history_tick.clear()`) and queue drained. *Released*: also the ring "
               "buffer's slots let go (numpy_ringbuffer's `popleft` leaves each popped event referenced in its "
               "backing array until the slot is overwritten, so a drained ring buffer keeps up to 1,000,000 past "
               "events alive). *Traced bytes kept*: under tracemalloc, what is still allocated after a further "
               "50,000 snapshots once histories are emptied and the queue drained and released — what the "
               "implementation holds beyond its histories and its queue. *Tick dict bytes*: `sys.getsizeof` of one "
               "stored tick dictionary (its key table included).\n")
    out.append(memory_table(mem) + "\n")
    if cgs.get("light"):
        out.append("## Where the module's instructions go (light host, callgrind, exclusive Ir per call)\n")
        names = misses or list(profiles.CALLBACKS)
        out.append(top_table(cgs["light"], names))
    return "\n".join(out), misses


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="fewer rounds and a smaller memory run")
    ap.add_argument("--no-callgrind", action="store_true")
    ap.add_argument("--no-memory", action="store_true")
    ap.add_argument("--output", default=str(HERE / "results.md"))
    args = ap.parse_args()
    OUT.mkdir(parents=True, exist_ok=True)
    t0 = time.perf_counter()
    m = machine()
    check = step_check()
    times = {p: step_time(p, args.quick) for p in ("light", "sandbox")}
    cgs = {} if args.no_callgrind else {p: step_callgrind(p, args.quick) for p in ("light", "sandbox")}
    mem = {} if args.no_memory else step_memory(args.quick)
    m["load_end"] = os.getloadavg()
    text, misses = report(m, check, times, cgs, mem, args)
    text += f"\nWhole run: {time.perf_counter() - t0:.0f} s.\n"
    Path(args.output).write_text(text)
    with open(OUT / "summary.json", "w") as f:
        json.dump({"times": times, "callgrind": {k: {"per_call": v["per_call"], "top": v["top"]}
                                                 for k, v in cgs.items() if v},
                   "memory": {f"{k[0]}_{k[1]}": v for k, v in mem.items()}, "check": check, "machine": m},
                  f, indent=1, default=str)
    print(text)
    print(f"written to {args.output}")


if __name__ == "__main__":
    main()
