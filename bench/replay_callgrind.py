"""Instructions a replay costs per replayed call, counted by callgrind over the
whole process on captures of the simulated session.

    .venv/bin/python bench/replay_callgrind.py                  # a plain replay (one worker process)
    .venv/bin/python bench/replay_callgrind.py --compare        # also a comparison worker, and a whole comparison
    .venv/bin/python bench/replay_callgrind.py --json out.json

Two captures of the session, of two lengths, are made once (plain interpreter,
not under valgrind).  Each run is counted on both; start-up (imports, the
module's construction, the first chunk) cancels in the difference, which is
divided by the extra calls of the longer capture.

- ``replay``: one replay worker process (``tessaline_tools._replay_worker``,
  mode "replay"), what ``tessaline-replay CAPTURE`` runs for a plain replay.
  Its cost is split in two: the module's callbacks with the host and stand-in
  code they call (the inclusive cost of the module's function entry point), and
  the replay's own machinery (everything else: reading, decompressing,
  unpacking, rebuilding records, the replay's loop, the garbage collector).
- ``compare-worker`` (``--compare``): one comparison worker (mode "digest").
- ``compare-all`` (``--compare``): ``tessaline-replay CAPTURE --impl M --impl M``
  with every process counted (``--trace-children=yes``), M being the installed
  module's file.

Needs valgrind, and the module, the sandbox and the tools installed in the
interpreter used.
"""
import argparse
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

# the module's own code: every callback the replay makes enters it, and whatever the
# module calls from there (host and stand-in code) is counted with it
MODULE_OBJECT = re.compile(r"(^|/)tessaline\.[^/]*so$")             # --module-object to change it

MAKE_CAPTURE = """
import sys
from tessaline_sim.session import Options, run_simulation
instruments, days, minutes, path = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
report, host, result = run_simulation(Options(instruments=instruments, days=days, minutes_per_half=minutes,
                                              capture_path=path))
assert report["ok"], "the simulated session failed"
"""

COUNT_CALLS = """
import sys
from tessaline_tools._capture_reader import CaptureReader
r = CaptureReader(sys.argv[1:])
n = sum(1 for _ in r.items())
assert not r.damage, r.damage
print(n)
"""


def make_capture(tmp, tag, instruments, days, minutes):
    path = os.path.join(tmp, f"{tag}.tlcap")
    subprocess.run([sys.executable, "-c", MAKE_CAPTURE, str(instruments), str(days), str(minutes), path],
                   check=True, stdout=subprocess.DEVNULL)
    calls = int(subprocess.run([sys.executable, "-c", COUNT_CALLS, path], check=True, capture_output=True,
                               text=True).stdout)
    return path, calls


def read_dump(path):
    """(total instructions, inclusive instructions of the calls into the module's object from
    outside it).  A call from the module out and back into it is counted once, in its outer call."""
    total, inclusive = 0, 0
    names = {}                                          # compressed names: "(12) name" first, "(12)" after
    ob = cob = None
    pending = False

    def name_of(kind, text):
        m = re.match(r"\((\d+)\)(?: (.*))?$", text.strip())
        if not m:
            return text.strip()
        if m.group(2) is not None:
            names[kind, m.group(1)] = m.group(2)
        return names.get((kind, m.group(1)), text.strip())

    with open(path) as f:
        for line in f:
            if line.startswith(("summary:", "totals:")):
                total = max(total, int(line.split()[1]))
            elif line.startswith("ob="):
                ob = cob = name_of("ob", line[3:])
            elif line.startswith("fn="):
                cob = ob
            elif line.startswith("cob="):
                cob = name_of("ob", line[4:])
            elif line.startswith("calls="):
                pending = True
            elif pending and (line[:1].isdigit() or line[:1] in "+-*"):
                pending = False
                if MODULE_OBJECT.search(cob or "") and not MODULE_OBJECT.search(ob or ""):
                    inclusive += int(line.split()[-1])
                cob = ob
    return total, inclusive


def callgrind(tmp, tag, argv, children=False, env=None):
    out = os.path.join(tmp, f"cg-{tag}")
    for old in glob.glob(out + ".*"):
        os.remove(old)
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}.%p"]
    if children:
        cmd.append("--trace-children=yes")
    # numpy's BLAS threads spin on their own schedule: one thread for it keeps them out of the counts
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", **(env or {}))
    proc = subprocess.run(cmd + argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    if proc.returncode not in (0, 1):
        raise SystemExit(f"{tag}: exit {proc.returncode}\n{proc.stderr.decode(errors='replace')[-2000:]}")
    total = inclusive = 0
    dumps = glob.glob(out + ".*")
    for path in dumps:
        t, i = read_dump(path)
        total += t
        inclusive += i
    return {"total": total, "module_host": inclusive, "own": total - inclusive, "processes": len(dumps)}


def worker_argv(path, mode, impl="-"):
    plan = {"impl": impl, "paths": [path], "mode": mode}
    return [sys.executable, "-m", "tessaline_tools._replay_worker", json.dumps(plan)]


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--instruments", type=int, default=5)
    p.add_argument("--short", type=int, default=11, help="minutes per half of the shorter session")
    p.add_argument("--long", type=int, default=33, help="minutes per half of the longer session")
    p.add_argument("--compare", action="store_true", help="also count a comparison worker and a whole comparison")
    p.add_argument("--captures", nargs=2, metavar=("SHORT", "LONG"), help="count these captures instead")
    p.add_argument("--json", metavar="PATH")
    p.add_argument("--keep", action="store_true", help="keep the captures and the callgrind dumps")
    p.add_argument("--module-object", metavar="REGEX",
                   help="the module's shared object, as a regular expression on its path (default: tessaline.*so)")
    args = p.parse_args(argv)
    if args.module_object:
        global MODULE_OBJECT
        MODULE_OBJECT = re.compile(args.module_object)
    tmp = tempfile.mkdtemp(prefix="replay-callgrind-")
    try:
        if args.captures:
            caps = {tag: (path, int(subprocess.run([sys.executable, "-c", COUNT_CALLS, path], check=True,
                                                   capture_output=True, text=True).stdout))
                    for tag, path in zip(("short", "long"), args.captures)}
        else:
            caps = {tag: make_capture(tmp, tag, args.instruments, 1, minutes)
                    for tag, minutes in (("short", args.short), ("long", args.long))}
        extra = caps["long"][1] - caps["short"][1]
        print(f"captures: {caps['short'][1]} and {caps['long'][1]} calls ({extra} more)", flush=True)
        kinds = {"replay": lambda path: (worker_argv(path, "replay"), False)}
        if args.compare:
            import tessaline_tools  # noqa: F401 - the tools must be installed
            impl = subprocess.run([sys.executable, "-c", "import corvix.tarrow.utils.tessaline as m; print(m.__file__)"],
                                  check=True, capture_output=True, text=True).stdout.strip()
            kinds["compare-worker"] = lambda path: (worker_argv(path, "digest", impl), False)
            kinds["compare-all"] = lambda path: (["tessaline-replay", path, "--impl", impl, "--impl", impl,
                                                  "--no-progress", "--jobs", "1"], True)
            if not shutil.which("tessaline-replay"):
                kinds["compare-all"] = lambda path: ([os.path.join(os.path.dirname(sys.executable),
                                                                   "tessaline-replay"), path, "--impl", impl,
                                                      "--impl", impl, "--no-progress", "--jobs", "1"], True)
        results = {}
        for kind, make in kinds.items():
            runs = {}
            for tag in ("short", "long"):
                cmd, children = make(caps[tag][0])
                runs[tag] = callgrind(tmp, f"{kind}-{tag}", cmd, children)
            per_call = {part: (runs["long"][part] - runs["short"][part]) / extra
                        for part in ("total", "module_host", "own")}
            results[kind] = {"runs": runs, "per_call": per_call}
            print(f"{kind:15} per call: {per_call['total']:>10,.0f} total  {per_call['module_host']:>10,.0f} "
                  f"module+host  {per_call['own']:>10,.0f} own machinery", flush=True)
        if args.compare:
            plain = results["replay"]["per_call"]["total"]
            for kind in ("compare-worker", "compare-all"):
                print(f"{kind} / plain replay: {results[kind]['per_call']['total'] / plain:.2f}")
        if args.json:
            with open(args.json, "w", encoding="utf-8") as f:
                json.dump({"calls": {t: c[1] for t, c in caps.items()}, "extra_calls": extra, "results": results},
                          f, indent=2)
    finally:
        if args.keep:
            print(f"kept in {tmp}")
        else:
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
