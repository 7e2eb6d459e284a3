"""tessaline benchmark suite: `python bench/run.py [options]` (`--help`).

Normally started through `bash bench/run.sh`, which prepares the environment
(module, stand-ins, record types, Cython twin, C driver) first. Runs, each in
its own process:

1. check.py: the twins against the extension on a recording host, and on
   every record layout;
2. harness.py time light / sandbox: ns per call, interleaved rounds;
3. harness.py callgrind light / sandbox under valgrind: instructions per call;
4. memory.py: memory after 1,000,000 snapshots over 2,000 instruments;

then prints the tables and writes them to bench/results.md (a partial run,
one that leaves out a host, a layout, a benchmark or a step, writes them to
its output directory instead). Not a test: nothing here passes or fails on a
figure.
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
# a build measured from another work tree keeps its figures apart
TAG = os.environ.get("BENCH_TAG", "")
OUT = BUILD / (f"out-{TAG}" if TAG else "out")
CGDIR = BUILD / (f"cg-{TAG}" if TAG else "cg")
SRC = Path(os.environ.get("BENCH_SRC") or HERE.parent)
sys.path.insert(0, str(HERE))

import cgparse  # noqa: E402
import profiles  # noqa: E402

PY = sys.executable
TOP_FUNCTIONS = 8


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
            return subprocess.run(["git", *args], cwd=SRC, capture_output=True, text=True,
                                  timeout=10).stdout.strip()
        except Exception:  # noqa: BLE001
            return ""

    # what the module's build reads
    dirty = git("status", "--short", "--", "src", "CMakeLists.txt", "pyproject.toml")
    out = {"nproc": os.cpu_count(), "cpu": cpu, "python": platform.python_version(),
           "implementation": platform.python_implementation(), "platform": platform.platform(),
           "load": os.getloadavg(), "commit": git("rev-parse", "--short", "HEAD"),
           "src_commit": git("log", "-1", "--format=%h", "--", "src"),
           "branch": git("rev-parse", "--abbrev-ref", "HEAD"), "src": str(SRC),
           "src_modified": bool(dirty), "date": _dt.datetime.now(_dt.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")}
    rev = os.environ.get("BENCH_REV_COMMIT")
    if rev:
        # an exported revision (no git there): the repository's commit, clean by construction
        src_commit = subprocess.run(["git", "log", "-1", "--format=%h", rev, "--", "src"], cwd=HERE.parent,
                                    capture_output=True, text=True).stdout.strip()
        out.update(commit=rev, branch="", src_commit=src_commit or rev, src_modified=False)
    return out


# ---------------------------------------------------------------- steps

def step_check():
    path = OUT / "check.json"
    if path.exists():
        path.unlink()
    sh([PY, "check.py", path], check=False)
    return load(path) if path.exists() else None


# Each layout is measured in a process of its own: the interpreter's inline
# caches (and the module's) would otherwise see every layout's record types
# at the same instructions and be measured re-specialising, which no real
# process, whose SDK has one layout, does.

def _merge(parts, **extra):
    out = {"layouts": [], "results": {}, "skipped": {}, "import_errors": {}, **extra}
    for lay, part in parts:
        out["layouts"].append(lay)
        for k in ("results", "skipped", "import_errors"):
            out[k].update(part.get(k, {}))
        for k in ("rounds", "target_ms", "gc_enabled"):
            if k in part:
                out[k] = part[k]
        out["elapsed_s"] = out.get("elapsed_s", 0) + part.get("elapsed_s", 0)
    return out


def step_time(profile, layouts, names, quick):
    env = {"BENCH_ROUNDS": "5", "BENCH_TARGET_MS": "2"} if quick else {}
    parts = []
    for lay in layouts:
        path = OUT / f"time_{profile}_{lay}.json"
        sh([PY, "harness.py", "time", profile, path, lay, ",".join(names)], env=env)
        parts.append((lay, load(path)))
    return _merge(parts, mode="time", profile=profile)


def step_callgrind(profile, layouts, names, quick):
    if not shutil.which("valgrind"):
        print("valgrind not found: no instruction counts", flush=True)
        return None
    CGDIR.mkdir(parents=True, exist_ok=True)
    scale = {"light": "1", "sandbox": "0.34"}[profile]
    if quick:
        scale = str(float(scale) / 3)
    per_call, top, skipped = {}, {}, {}
    for lay in layouts:
        stem = f"{profile}-{lay}"
        for old in CGDIR.glob(f"{stem}.*"):
            old.unlink()
        meta_path = OUT / f"cg_{stem}.json"
        sh(["valgrind", "--tool=callgrind", "--instr-atstart=no", "--collect-atstart=no",
            "--compress-strings=no", "--compress-pos=no", f"--callgrind-out-file={CGDIR}/{stem}.%p.out", "-q",
            PY, "harness.py", "callgrind", profile, meta_path, lay, ",".join(names)], env={"BENCH_CG_SCALE": scale})
        meta = load(meta_path)
        skipped.update(meta["skipped"])
        dumps = cgparse.read_all(str(CGDIR / f"{stem}.*.out.*"))
        for key, per_impl in meta["labels"].items():
            per_call[key] = {}
            for impl, e in per_impl.items():
                total, excl = dumps[e["calls"]]
                calls = e["n"] * e["ncallbacks"]
                if "overhead" in e:
                    o_total, o_excl = dumps[e["overhead"]]
                    total -= o_total
                    excl = excl.copy()
                    excl.subtract(o_excl)
                per_call[key][impl] = total / calls
                top.setdefault(key, {})[impl] = [(cgparse.short(fn), c / calls)
                                                 for fn, c in excl.most_common(TOP_FUNCTIONS)]
    return {"per_call": per_call, "top": top, "skipped": skipped, "layouts": list(layouts)}


def step_memory(quick):
    env = {"BENCH_MEM_SNAPSHOTS": "100000"} if quick else {}
    out = {}
    for impl, profile in (("module", "light"), ("module", "sandbox"), ("twin", "sandbox")):
        path = OUT / f"mem_{impl}_{profile}.json"
        if sh([PY, "memory.py", impl, profile, path], env=env, check=False) == 0:
            out[f"{impl}_{profile}"] = load(path)
    return out


# ---------------------------------------------------------------- report

TARGET = {"plain": 1.2, "slots": 1.2, "dict": 1.2, "namespace": 1.2, "namedtuple": 1.2, "cext": 1.0, "pybind": 1.0}  # hot callbacks and stream, Ir, light host
QUERY_TARGET = 1.5
LABELS = {"on_order": "on_order (per report of the 3-report cycle)",
          "on_query_position": "on_query_position (20 records)",
          "stream": "stream (one minute, per callback)",
          "history_ticks": "history_ticks(code, 60)"}
LAYOUT_TITLES = {"plain": "plain-attribute records", "slots": "`__slots__` records",
                 "dict": "materialised `__dict__` records (`self.__dict__.update`)",
                 "namespace": "`SimpleNamespace` records", "namedtuple": "namedtuple records",
                 "cext": "compiled-extension records (member / getset descriptors)",
                 "pybind": "pybind11 `def_readwrite` records"}


def fmt_ns(x):
    return "—" if x is None else f"{x:,.0f}" if x >= 100 else f"{x:.1f}"


def fmt_ir(x):
    return "—" if x is None else f"{x:,.0f}"


def ratio(a, b):
    return a / b if a and b else float("nan")


def fr(x):
    return "—" if x != x else f"{x:.2f}"


def _ir(cg, key):
    return (cg or {}).get("per_call", {}).get(key, {})


def _tm(t, key):
    return (t or {}).get("results", {}).get(key, {})


def _names(summary, profile, layout):
    keys = set()
    for part in (summary["times"].get(profile), summary["callgrind"].get(profile)):
        d = (part or {}).get("results") or (part or {}).get("per_call") or {}
        keys |= {k.split("|", 1)[1] for k in d if k.split("|", 1)[0] == layout}
    return [n for n in profiles.BENCHES if n in keys]


def layouts_of(summary, profile):
    seen = []
    for part in (summary["times"].get(profile), summary["callgrind"].get(profile)):
        for lay in (part or {}).get("layouts", []):
            if lay not in seen:
                seen.append(lay)
    return [lay for lay in profiles.LAYOUTS if lay in seen]


def figures_table(summary, profile, layout):
    """Instructions and time per call for one host and one record layout
    (the columns of what was measured)."""
    cg = summary["callgrind"].get(profile)
    t = summary["times"].get(profile)
    head, align = ["call"], ["---"]
    if cg:
        head += ["module Ir", "twin Ir", "Cython Ir", "twin/module", "Cython/module"]
        align += ["---:"] * 5
    if t:
        head += ["module ns", "twin ns", "Cython ns", "twin/module (median)", "Cython/module (median)",
                 "median ns module / twin / Cython", "interquartile ns module / twin / Cython",
                 "max−min ns module / twin / Cython"]
        align += ["---:"] * 5 + ["---"] * 3
    lines = ["| " + " | ".join(head) + " |", "|" + "|".join(align) + "|"]
    for name in _names(summary, profile, layout):
        key = f"{layout}|{name}"
        cells = [LABELS.get(name, name)]
        if cg:
            ir = _ir(cg, key)
            cells += [fmt_ir(ir.get(i)) for i in profiles.IMPLS]
            cells += [fr(ratio(ir.get(i), ir.get("module"))) for i in ("twin", "cython")]
        if t:
            tm = _tm(t, key)
            mins = {i: tm[i]["min"] for i in tm}
            meds = {i: tm[i]["median"] for i in tm}
            cells += [fmt_ns(mins.get(i)) for i in profiles.IMPLS]
            # the ratio of the fastest runs, and in parentheses that of the medians
            cells += [f"{fr(ratio(mins.get(i), mins.get('module')))} ({fr(ratio(meds.get(i), meds.get('module')))})"
                      for i in ("twin", "cython")]
            cells.append(" / ".join(fmt_ns(tm[i]["median"]) if i in tm else "—" for i in profiles.IMPLS))
            cells.append(" / ".join(fmt_ns(tm[i]["p75"] - tm[i]["p25"]) if i in tm and "p25" in tm[i] else "—"
                                    for i in profiles.IMPLS))
            cells.append(" / ".join(fmt_ns(tm[i]["spread"]) if i in tm else "—" for i in profiles.IMPLS))
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def targets_table(summary):
    """Light host, instructions: every hot callback and the stream at least
    TARGET[layout] x better than both twins, the queries 1.5x."""
    cg = summary["callgrind"].get("light")
    if not cg:
        return None, []
    lays = layouts_of(summary, "light")
    head = "| call | " + " | ".join(f"{lay} (need ≥{TARGET[lay]:.1f} / ≥{QUERY_TARGET:.1f})" for lay in lays) + " |"
    lines = [head, "|---|" + "---|" * len(lays)]
    misses = []
    for name in profiles.BENCHES:
        cells = []
        present = False
        for lay in lays:
            ir = _ir(cg, f"{lay}|{name}")
            if "module" not in ir:
                cells.append("—")
                continue
            present = True
            need = TARGET[lay] if name in profiles.HOT else QUERY_TARGET
            tw, cy = ratio(ir.get("twin"), ir["module"]), ratio(ir.get("cython"), ir["module"])
            ok = tw >= need and cy >= need
            if not ok:
                misses.append(f"{lay}|{name}")
            cells.append(f"{fr(tw)} / {fr(cy)} {'✓' if ok else '✗'}")
        if present:
            lines.append(f"| {name} | {' | '.join(cells)} |")
    return "\n".join(lines), misses


def before_after_table(before, after, profile, layout):
    """Module figures before and after, with each run's ratios (columns for
    what both runs measured)."""
    bcg, acg = before["callgrind"].get(profile), after["callgrind"].get(profile)
    bt, at = before["times"].get(profile), after["times"].get(profile)
    head, align = ["call"], ["---"]
    if bcg and acg:
        head += ["module Ir before", "module Ir after", "change", "twin/module Ir before → after",
                 "Cython/module Ir before → after"]
        align += ["---:"] * 3 + ["---"] * 2
    if bt and at:
        head += ["module ns before → after", "twin/module ns before → after", "Cython/module ns before → after"]
        align += ["---"] * 3
    lines = ["| " + " | ".join(head) + " |", "|" + "|".join(align) + "|"]

    def rr(d, i, fld=None):
        if fld:
            return fr(ratio(d.get(i, {}).get(fld), d.get("module", {}).get(fld)))
        return fr(ratio(d.get(i), d.get("module")))
    for name in _names(after, profile, layout):
        key = f"{layout}|{name}"
        cells = [LABELS.get(name, name)]
        if bcg and acg:
            bi, ai = _ir(bcg, key), _ir(acg, key)
            bm, am = bi.get("module"), ai.get("module")
            change = ratio(am, bm) - 1
            cells += [fmt_ir(bm), fmt_ir(am), "—" if change != change else f"{change:+.1%}",
                      f"{rr(bi, 'twin')} → {rr(ai, 'twin')}",
                      f"{rr(bi, 'cython')} → {rr(ai, 'cython')}"]
        if bt and at:
            btm, atm = _tm(bt, key), _tm(at, key)
            cells += [f"{fmt_ns(btm.get('module', {}).get('min'))} → {fmt_ns(atm.get('module', {}).get('min'))}",
                      f"{rr(btm, 'twin', 'min')} → {rr(atm, 'twin', 'min')}",
                      f"{rr(btm, 'cython', 'min')} → {rr(atm, 'cython', 'min')}"]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def top_table(cg, key):
    tops = cg["top"].get(key, {})
    if "module" not in tops:
        return ""
    pc = cg["per_call"][key]
    out = [f"**{key.replace('|', ', ')}** (module {pc['module']:,.0f} Ir/call; twin "
           f"{pc.get('twin', float('nan')):,.0f}):\n",
           "| module: function | Ir/call | twin: function | Ir/call |\n|---|---:|---|---:|"]
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
    for key, d in mem.items():
        impl, profile = key.split("_", 1)
        mb = lambda kb: f"{kb / 1024:.1f}"  # noqa: E731
        lines.append(
            f"| {impl}, {profile} | {d['snapshots']:,} / {d['instruments']:,} | {d['elapsed_s']:.1f} | "
            f"{mb(d['start']['rss_kb'])} | {mb(d['full']['rss_kb'])} | {mb(d['peak_rss_kb'])} | "
            f"{mb(d['drained']['rss_kb'])} | {mb(d['cleared']['rss_kb'])} | "
            f"{d['start']['blocks']:,} → {d['full']['blocks']:,} → {d['cleared']['blocks']:,} | "
            f"{d['start']['gc_objects']:,} → {d['cleared']['gc_objects']:,} | {d['traced_delta_bytes']:,} | "
            f"{d.get('tick_dict_bytes', '?')} |")
    return "\n".join(lines)


def describe_run(m):
    mod = f"commit {m['commit'] or '?'}"
    if m.get("branch"):
        mod += f" ({m['branch']})"
    if m.get("src_commit") and m["src_commit"] != m["commit"]:
        mod += f", `src/` as of {m['src_commit']}"
    if m.get("src_modified"):
        mod += " with uncommitted changes to the module's sources"
    return (f"taken {m['date']} on {m['nproc']} CPUs ({m['cpu']}), {m['implementation']} {m['python']}; "
            f"module built from `{m['src']}` at {mod}; load average {m['load'][0]:.2f} at start, "
            f"{m.get('load_end', m['load'])[0]:.2f} at end; {m.get('elapsed_s', 0):.0f} s")


def check_section(check):
    if not check:
        return []
    out = ["## Twin faithfulness\n"]
    d = check["diff"]
    same = d and all(v is None for v in d.values())
    if same:
        out.append(f"On a recording host (every record read, host call with its arguments, member read, host "
                   f"order read and write, and event), the extension, the twin and the Cython twin produce the "
                   f"identical log of {check['entries']} entries over snapshots, queries, level-2 records, bars, "
                   f"every order-report branch and position answers; and with each record layout "
                   f"({', '.join(check.get('layouts', []))}) handed over as it is, the same host calls, events, "
                   f"host-order and strategy states, results and exceptions, identical for the three "
                   f"implementations and across layouts ({check.get('layout_entries', '?')} entries per layout; "
                   f"`bench/check.py`).\n")
    else:
        out.append("Logs differ — first difference per comparison (see `bench/_build/out/check.json`):\n")
        for what, diff in d.items():
            if diff is not None:
                out.append(f"- {what}: `{json.dumps(diff, default=str)[:600]}`")
        if check.get("raised"):
            out.append(f"- raised: `{json.dumps(check['raised'])[:600]}`")
        out.append("")
    return out


METHOD = [
    "- One command, `bash bench/run.sh`: its own virtual environment, the module built from a work tree "
    "(unstripped), the host and SDK stand-ins (`sandbox/`), the pure-Python twin (`bench/tessaline_twin.py`) and "
    "the same source compiled by Cython (`tessaline_twin_cy`), the compiled-extension records "
    "(`bench/_benchrecords.c`) and the pybind11 records (`bench/_benchpybind.cpp`, pybind11 from PyPI in the "
    "benchmark's environment only), all built into `bench/_build`.",
    "- Three implementations, each a module with its own globals, bound the same way for each host: **light** "
    "(every host and SDK name replaced with the cheapest C-implemented callables and objects: `Event` = `dict`, "
    "`TickObject` = `slice`, factories `operator.itemgetter` / `dict`, loggers, `deepcopy` and order methods = "
    "`callable`, time conversions `float`/`int`, code mappings `str` and `dict.get`; the event queue a "
    "`deque(maxlen=256)`), so that what is measured is the callback's own work; and **sandbox** (the working "
    "stand-ins, the module's own ring buffer, drained between runs). The strategy instance is a plain-attribute "
    "object, as a Python host makes it; the light host's live order has the records' layout where an order can "
    "(plain, slots, dict, namespace; plain with namedtuple, cext and pybind records); the sandbox's order class is "
    "the stand-in's, rebuilt without `__slots__`.",
    "- Seven record layouts with the same field values: **plain** (dataclasses without `__slots__`: a "
    "per-instance `__dict__`, every field assigned in `__init__`), **slots** (the stand-in SDK's slotted "
    "dataclasses), **dict** (a generic record class whose `__init__` does `self.__dict__.update(fields)`: a "
    "materialised instance `__dict__`), **namespace** (`types.SimpleNamespace(**fields)`), **namedtuple** "
    "(`collections.namedtuple` per record type), **cext** (extension types: numbers as member descriptors `T_DOUBLE` / `T_LONGLONG`, strings, "
    "lists and enumeration members as getset descriptors), **pybind** (C++ structs bound with pybind11 "
    "`def_readwrite`: strings `std::string` and lists `std::vector`, converted at each read; enumeration "
    "members Python objects).",
    "- Per callback: 50 instruments per market-data benchmark (the bar universe is 50, so one bar event per 50 "
    "bars); `on_order` is a Sended → PartiallyFilled → Filled cycle (the host order's status reset before each "
    "cycle, that reset timed apart and subtracted), shown per report; `on_query_position` answers 20 records; "
    "the queries read a full 60-tick history.",
    "- The **stream** is one simulated minute of the universe as a gateway delivers it: 1,000 snapshots (one "
    "every 3 s per instrument), 501 level-2 orders and 298 level-2 transactions (the simulated day's 192,040 : "
    "96,265 : 57,261), shuffled together with a fixed seed, so that each record type and instrument follows "
    "another; one order's three reports at random places among them; then the minute's 50 bars of the whole "
    "universe. Per call = total / 1,852 callbacks.",
    "- Calls are made by a C loop (`bench/_benchloop.c`, vectorcall of the unbound method with the strategy and "
    "the record), so no interpreted loop is measured. The collector is on; a `gc.collect()` before each timed "
    "run gives every run the same collector state. `PYTHONHASHSEED=0`.",
    "- Time: every (layout, call, implementation) run interleaved in shuffled order over the rounds, each run a "
    "few ms; the figure is the fastest run's ns per call, with the median, the interquartile range and max−min "
    "over the rounds. Time "
    "ratios are twin/module and Cython/module of the fastest runs, in parentheses of the medians (above 1: the "
    "module is faster). On this shared 2-core machine trust the instruction counts first.",
    "- Instructions: `valgrind --tool=callgrind`, collection switched on only inside the C loop, one dump per "
    "(layout, call, implementation) after warm-up; Ir per call = the dump's total / calls. Repeatable to a few "
    "instructions.",
]


def report(summary, args, before=None):
    m = summary["machine"]
    out = ["# tessaline benchmark results\n"]
    if before:
        out.append(f"- **Before**: {describe_run(before['machine'])}.")
        out.append(f"- **After**: {describe_run(m)}.\n")
    else:
        out.append(f"Figures {describe_run(m)}"
                   f"{' (quick run: fewer rounds, smaller memory run)' if args.quick else ''}.\n")
    out.append("## How the figures were taken\n")
    out += METHOD
    out.append("- Memory: `bench/memory.py`, one process per implementation and host.\n")
    out += check_section(summary.get("check"))
    table, misses = targets_table(summary)
    if table:
        out.append("## Targets (light host, instructions per call)\n")
        out.append("twin/module / Cython/module instruction ratios (above 1: the module executes fewer). Hot "
                   "callbacks and the stream: at least 1.2x both with plain-attribute, slotted, dict, "
                   "namespace and namedtuple records, at least 1.0x with compiled-extension and pybind11 records; "
                   "the queries at least 1.5x.\n")
        out.append(table + "\n")
    if before:
        out.append("## Before and after\n")
        def at(mm):
            return mm.get("src_commit") or mm.get("commit") or "?"
        out.append(f"Module figures before (`src/` as of {at(before['machine'])}) and after (`src/` as of "
                   f"{at(m)}); the twins are measured again in each run, so each ratio is that of its own run. "
                   "Time: fastest runs.\n")
        for profile in profiles.PROFILES:
            for lay in layouts_of(summary, profile):
                if not layouts_of(before, profile):
                    continue
                out.append(f"### {profile} host, {LAYOUT_TITLES[lay]}\n")
                out.append(before_after_table(before, summary, profile, lay) + "\n")
    for profile in profiles.PROFILES:
        for lay in layouts_of(summary, profile):
            t = summary["times"].get(profile)
            what = (["instructions (callgrind)"] if summary["callgrind"].get(profile) else []) + (
                [f"ns, the fastest of {t['rounds']} interleaved rounds"] if t else [])
            out.append(f"## {profile.capitalize()} host, {LAYOUT_TITLES[lay]}\n")
            out.append(f"Per call: {'; '.join(what)}.\n")
            out.append(figures_table(summary, profile, lay) + "\n")
    mem = summary.get("memory")
    if mem:
        out.append("## Memory\n")
        out.append("1,000,000 snapshots (slotted records) over 2,000 instruments, the host draining the queue "
                   "every 10,000 events (`popleft` until empty). *Full*: histories full (2,000 × 60 tick "
                   "dictionaries), queue drained. *Drained*: histories emptied (`history_tick.clear()`) and queue "
                   "drained. *Released*: also the ring buffer's slots let go (numpy_ringbuffer's `popleft` leaves "
                   "each popped event referenced in its backing array until the slot is overwritten, so a drained "
                   "ring buffer keeps up to 1,000,000 past events alive). *Traced bytes kept*: under tracemalloc, "
                   "what is still allocated after a further 50,000 snapshots once histories are emptied and the "
                   "queue drained and released — what the implementation holds beyond its histories and its "
                   "queue. *Tick dict bytes*: `sys.getsizeof` of one stored tick dictionary.\n")
        out.append(memory_table(mem) + "\n")
    cg = summary["callgrind"].get("light")
    if cg:
        out.append("## Where the module's instructions go (light host, callgrind, exclusive Ir per call)\n")
        keys = [k for k in (f"{lay}|stream" for lay in layouts_of(summary, "light")) if k in cg["top"]]
        keys += [k for k in misses if k not in keys and not k.endswith("|stream")][:6]
        for k in keys:
            out.append(top_table(cg, k))
    return "\n".join(out), misses


def readme_tables(summary, before=None):
    """The compact tables of the README's Performance section: per host, one
    row per call, one column per layout."""
    out = []
    for profile in profiles.PROFILES:
        lays = layouts_of(summary, profile)
        cg, t = summary["callgrind"].get(profile), summary["times"].get(profile)
        if not lays:
            continue
        bcg = (before or {}).get("callgrind", {}).get(profile)
        if cg:
            out.append(f"Instructions per call, {profile} host — module Ir"
                       + (" (before → after)" if bcg else "") + " · twin/module · Cython/module:\n")
            out.append("| call | " + " | ".join(lays) + " |")
            out.append("|---|" + "---|" * len(lays))
            for name in profiles.BENCHES:
                cells = []
                for lay in lays:
                    ir = _ir(cg, f"{lay}|{name}")
                    if "module" not in ir:
                        cells.append("—")
                        continue
                    mod = fmt_ir(ir["module"])
                    if bcg and "module" in _ir(bcg, f"{lay}|{name}"):
                        mod = f"{fmt_ir(_ir(bcg, f'{lay}|{name}')['module'])} → {mod}"
                    cells.append(f"{mod} · {fr(ratio(ir.get('twin'), ir['module']))} · "
                                 f"{fr(ratio(ir.get('cython'), ir['module']))}")
                if any(c != "—" for c in cells):
                    out.append(f"| {LABELS.get(name, name)} | " + " | ".join(cells) + " |")
            out.append("")
        if t:
            out.append(f"Time per call, {profile} host — module ns (fastest of {t.get('rounds', '?')} rounds; "
                       "± half the interquartile range of the rounds, relative to the median) · twin/module · "
                       "Cython/module (fastest runs):\n")
            out.append("| call | " + " | ".join(lays) + " |")
            out.append("|---|" + "---|" * len(lays))
            for name in profiles.BENCHES:
                cells = []
                for lay in lays:
                    tm = _tm(t, f"{lay}|{name}")
                    if "module" not in tm:
                        cells.append("—")
                        continue
                    m = tm["module"]["min"]
                    mm = tm["module"]
                    iqr = (mm["p75"] - mm["p25"]) / (2 * mm["median"]) if "p25" in mm else float("nan")
                    cells.append(f"{fmt_ns(m)} (±{iqr:.0%}) · "
                                 f"{fr(ratio(tm.get('twin', {}).get('min'), m))} · "
                                 f"{fr(ratio(tm.get('cython', {}).get('min'), m))}")
                if any(c != "—" for c in cells):
                    out.append(f"| {LABELS.get(name, name)} | " + " | ".join(cells) + " |")
            out.append("")
    return "\n".join(out)


def main():
    ap = argparse.ArgumentParser(description="tessaline benchmark suite (normally run through bench/run.sh)")
    ap.add_argument("--quick", action="store_true", help="fewer rounds and a smaller memory run")
    ap.add_argument("--layout", default=",".join(profiles.LAYOUTS),
                    help=f"record layouts, comma-separated (default {','.join(profiles.LAYOUTS)})")
    ap.add_argument("--host", default=",".join(profiles.PROFILES), help="hosts: light,sandbox (default both)")
    ap.add_argument("--bench", default=",".join(profiles.BENCHES),
                    help=f"benchmarks, comma-separated (default all: {','.join(profiles.BENCHES)})")
    ap.add_argument("--callgrind-only", action="store_true", help="instruction counts only: no check, time, memory")
    ap.add_argument("--time-only", action="store_true", help="times only: no check, callgrind, memory")
    ap.add_argument("--no-callgrind", action="store_true")
    ap.add_argument("--no-time", action="store_true")
    ap.add_argument("--no-memory", action="store_true")
    ap.add_argument("--no-check", action="store_true")
    ap.add_argument("--save", metavar="JSON", help="also write this run's figures to JSON (e.g. bench/before.json)")
    ap.add_argument("--before", metavar="JSON",
                    help="figures of an earlier run (--save): the results show before and after side by side")
    ap.add_argument("--from", dest="from_json", metavar="JSON",
                    help="measure nothing: write the tables of the figures in JSON (a --save or summary.json)")
    ap.add_argument("--readme", action="store_true",
                    help="with --from: print the compact tables of the README's Performance section")
    ap.add_argument("--output", help="the results file (default bench/results.md for a full run, "
                                     "else results.md in the output directory)")
    args = ap.parse_args()

    def pick(text, allowed, what):
        got = [x.strip() for x in text.split(",") if x.strip()]
        bad = [x for x in got if x not in allowed]
        if bad or not got:
            ap.error(f"unknown {what} {', '.join(bad) or '(none)'}; choose from {', '.join(allowed)}")
        return [x for x in allowed if x in got]
    layouts = pick(args.layout, profiles.LAYOUTS, "layout")
    hosts = pick(args.host, profiles.PROFILES, "host")
    names = pick(args.bench, profiles.BENCHES, "benchmark")
    before = None
    if args.before:
        try:
            before = load(args.before)
        except (OSError, ValueError) as exc:
            ap.error(f"--before {args.before}: {exc}")
    do_check = not (args.no_check or args.callgrind_only or args.time_only)
    do_time = not (args.no_time or args.callgrind_only)
    do_cg = not (args.no_callgrind or args.time_only)
    do_mem = not (args.no_memory or args.callgrind_only or args.time_only)
    full = (layouts == list(profiles.LAYOUTS) and hosts == list(profiles.PROFILES)
            and names == list(profiles.BENCHES) and do_check and do_time and do_cg and not args.quick)
    output = Path(args.output) if args.output else (HERE / "results.md" if full and not TAG else OUT / "results.md")
    OUT.mkdir(parents=True, exist_ok=True)
    if args.from_json:
        try:
            summary = load(args.from_json)
        except (OSError, ValueError) as exc:
            ap.error(f"--from {args.from_json}: {exc}")
        if args.readme:
            print(readme_tables(summary, before))
            return
        output = Path(args.output) if args.output else OUT / "results.md"
        text, _ = report(summary, args, before)
        output.write_text(text)
        print(f"written to {output}")
        return
    t0 = time.perf_counter()
    m = machine()
    summary = {"machine": m, "check": step_check() if do_check else None,
               "times": {p: step_time(p, layouts, names, args.quick) for p in hosts} if do_time else {},
               "callgrind": {}, "memory": {}}
    if do_cg:
        summary["callgrind"] = {p: r for p in hosts if (r := step_callgrind(p, layouts, names, args.quick))}
    if do_mem:
        summary["memory"] = step_memory(args.quick)
    m["load_end"] = os.getloadavg()
    m["elapsed_s"] = time.perf_counter() - t0
    text, misses = report(summary, args, before)
    output.write_text(text)
    with open(OUT / "summary.json", "w") as f:
        json.dump(summary, f, indent=1, default=str)
    if args.save:
        with open(args.save, "w") as f:
            json.dump(summary, f, indent=1, default=str)
    # the compact tables of the top-level README's Performance section
    (OUT / "readme.md").write_text(readme_tables(summary, before))
    print(text)
    print(f"written to {output}" + (f" and {args.save}" if args.save else "")
          + f"; the README's compact tables to {OUT / 'readme.md'}")


if __name__ == "__main__":
    main()
