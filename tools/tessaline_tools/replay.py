"""``tessaline-replay``: replay captures through the module, or compare implementations on them.

    tessaline-replay CAPTURE [CAPTURE...]                     replay through the installed module
    tessaline-replay CAPTURE --impl A.so --impl B.so          compare two implementations
    tessaline-replay DAY1 DAY2 DAY3 --impl old.so --impl new.so --jobs 3 --json result.json
    tessaline-replay DAY* --impl old.so --impl new.so --scheduler tcp://host:8786

Each capture (the files of a rotated capture together, in their recorded order)
is a task: replayed through each implementation in a process of its own, a
comparison reduces every call's outcome and the module's state to digests and
describes in full only the calls where they differ.  Tasks run on ``--jobs``
local processes, or on the workers of a Dask distributed scheduler; the results
are merged into one report.

Exit status: 0 the replays ran (the implementations agree), 1 the implementations
differ, 2 bad input (not a capture, unknown format, damaged or malformed, a file
missing or repeated, an implementation that does not import or that crashes, an
output that cannot be written), 130 interrupted.
"""
import argparse
import collections
import json
import os
import sys
import tempfile

from tessaline_tools._capture_file import CaptureError
from tessaline_tools._replay_compare import Normalizer, describe_difference, first_difference, render  # noqa: F401
from tessaline_tools._replay_engine import (MODULE_NAME, ImplementationError, Outcome, Replay,  # noqa: F401
                                            Summary, exception_name, installed_module, load_implementation,
                                            replay_capture)

# what scripts and tests have used from this module, from before it was split
__all__ = ["MODULE_NAME", "ImplementationError", "Normalizer", "Outcome", "Replay", "Summary", "describe_difference",
           "exception_name", "first_difference", "installed_module", "load_implementation", "main", "render",
           "replay_capture"]

EXIT_OK, EXIT_DIFFER, EXIT_BAD_INPUT, EXIT_INTERRUPTED = 0, 1, 2, 130


class _Output:
    """Standard output that goes quiet once its reader has gone (a closed pipe)."""

    def __init__(self, stream):
        self.stream = stream
        self.closed = False

    def write(self, text):
        if self.closed:
            return
        try:
            self.stream.write(text)
        except BrokenPipeError:
            self._close()

    def flush(self):
        if self.closed:
            return
        try:
            self.stream.flush()
        except BrokenPipeError:
            self._close()

    def _close(self):
        self.closed = True
        try:
            # nothing more reaches the pipe, not even the interpreter's last flush
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, self.stream.fileno())
            os.close(devnull)
        except (OSError, ValueError):
            pass


# ---------------------------------------------------------------- outputs

class Outputs:
    """The files a run writes, checked before any work and written whole or not at all."""

    def __init__(self, json_path=None, html_path=None):
        self.json_path, self.html_path = json_path, html_path
        self._temps = []

    def check(self):
        for option, path in (("--json", self.json_path), ("--html", self.html_path)):
            if path is None:
                continue
            where = os.path.dirname(os.path.abspath(path))
            if os.path.isdir(path):
                raise OSError(f"{option} {path}: is a directory")
            if not os.path.isdir(where):
                raise OSError(f"{option} {path}: no such directory {where}")
            if not os.access(where, os.W_OK):
                raise OSError(f"{option} {path}: directory {where} is not writable")
            if os.path.exists(path) and not os.access(path, os.W_OK):
                raise OSError(f"{option} {path}: not writable")
        if self.html_path is not None:
            _html_writer()                       # a missing report module is found now, not after the work

    def write(self, result):
        if self.json_path:
            self._atomic(self.json_path, lambda f: json.dump(result, f, indent=2, default=str))
        if self.html_path:
            writer = _html_writer()
            self._atomic(self.html_path, None, lambda tmp: writer(tmp, result))

    def _atomic(self, path, dump, write_path=None):
        where = os.path.dirname(os.path.abspath(path))
        fd, tmp = tempfile.mkstemp(prefix=".tessaline-replay-", dir=where)
        self._temps.append(tmp)
        try:
            if write_path is None:
                with os.fdopen(fd, "w", encoding="utf-8") as f:
                    dump(f)
            else:
                os.close(fd)
                write_path(tmp)
            os.chmod(tmp, 0o666 & ~_umask())          # a temporary file is private; the report is not
            os.replace(tmp, path)
        finally:
            self.remove_temps()

    def remove_temps(self):
        for tmp in self._temps:
            try:
                os.remove(tmp)
            except OSError:
                pass
        self._temps = []


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _html_writer():
    try:
        from tessaline_tools.html_report import write_replay_report
    except ImportError as exc:
        raise OSError(f"--html: the HTML report is not available here ({exc})") from None
    return write_replay_report


# ---------------------------------------------------------------- progress

def estimate_calls(paths):
    """Records in the files' chunk headers: an upper bound of the calls, read without decoding."""
    from tessaline_tools import _capture_file as cf
    total = 0
    for path in paths:
        try:
            with open(path, "rb") as f:
                f.seek(cf.FILE_HEADER_SIZE)
                while True:
                    head = f.read(cf.CHUNK_HEADER_SIZE)
                    if len(head) < cf.CHUNK_HEADER_SIZE:
                        break
                    plen, n = int.from_bytes(head[4:8], "little"), int.from_bytes(head[12:16], "little")
                    total += n
                    f.seek(plen, os.SEEK_CUR)
        except OSError:
            pass
    return total


class Progress:
    """A progress bar on a terminal (calls, calls per second, time left); nothing otherwise."""

    def __init__(self, total, enabled):
        import threading
        self._bar = None
        self._lock = threading.Lock()
        if enabled:
            try:
                import shutil

                from tqdm import tqdm
                # a terminal that does not tell its width (0) gets a common one
                width = shutil.get_terminal_size((100, 24)).columns
                self._bar = tqdm(total=total or None, unit=" calls", unit_scale=True, ncols=width,
                                 file=sys.stderr, leave=False, smoothing=0.1)
            except ImportError:
                self._bar = None

    def __call__(self, n):
        if self._bar is not None:
            with self._lock:
                self._bar.update(n)

    def close(self):
        if self._bar is not None:
            self._bar.close()
            self._bar = None


# ---------------------------------------------------------------- merging and printing

def merge_replays(results):
    """One summary of plain replays of several captures."""
    total = {"calls": 0, "seconds": 0.0, "callbacks": collections.Counter(), "events": collections.Counter(),
             "raised_live": {}, "raised_replay": {}, "raised_differently": [], "damage": [], "files": [],
             "capture_complete": True, "constructed_for_replay": False, "opaque_values": collections.Counter()}
    timelines = []
    for r in results:
        s = r["summary"]
        total["calls"] += s["calls"]
        total["seconds"] = max(total["seconds"], s["seconds"])
        total["callbacks"].update(s["callbacks"])
        total["events"].update(s["events"])
        tag = "" if len(results) == 1 else f"{r['capture'][0]}#"
        for key in ("raised_live", "raised_replay"):
            total[key].update({f"{tag}{k}": v for k, v in s[key].items()})
        total["raised_differently"].extend(s["raised_differently"] if not tag else
                                           [f"{tag}{p}" for p in s["raised_differently"]])
        total["damage"].extend(s["damage"])
        total["files"].extend(s.get("files", []))
        total["capture_complete"] = total["capture_complete"] and s["capture_complete"]
        total["constructed_for_replay"] = total["constructed_for_replay"] or s["constructed_for_replay"]
        total["opaque_values"].update(s.get("opaque_values", {}))
        timelines.append(s.get("timeline"))
    total["callbacks"] = dict(total["callbacks"].most_common())
    total["events"] = dict(total["events"].most_common())
    total["opaque_values"] = dict(total["opaque_values"].most_common())
    total["calls_per_second"] = round(total["calls"] / total["seconds"]) if total["seconds"] > 0 else None
    total["timeline"] = merge_timelines([t for t in timelines if t])
    total["captures"] = [{"capture": r["capture"], "calls": r["summary"]["calls"],
                          "seconds": r["summary"]["seconds"]} for r in results]
    return total


def merge_timelines(timelines):
    if len(timelines) == 1:
        return timelines[0]
    minutes = sorted({m for t in timelines for m in t["minutes"]})
    index = {m: i for i, m in enumerate(minutes)}
    events, latency, orders = {}, {q: [None] * len(minutes) for q in ("p50", "p90", "p99")}, []
    for t in timelines:
        for et, counts in t["events_per_minute"].items():
            row = events.setdefault(et, [0] * len(minutes))
            for m, c in zip(t["minutes"], counts):
                row[index[m]] += c
        for q, values in t["latency_us_per_minute"].items():
            for m, v in zip(t["minutes"], values):
                old = latency[q][index[m]]
                latency[q][index[m]] = v if old is None or (v is not None and v > old) else old
        orders.extend(t.get("orders", []))
    return {"minutes": minutes, "events_per_minute": events, "latency_us_per_minute": latency, "orders": orders}


def merge_comparisons(results, impls):
    out = {"capture": [p for r in results for p in r["capture"]], "implementations": impls,
           "captures": [], "calls": 0, "calls_compared": 0, "calls_differing": 0, "differences": [],
           "differences_at": [], "state_differences": [], "files": [], "replays": [], "damage": []}
    timelines = collections.defaultdict(list)
    for r in results:
        out["calls_compared"] += r["calls_compared"]
        out["calls_differing"] += r["calls_differing"]
        out["differences"].extend(r["differences"])
        out["differences_at"].extend(r["differences_at"])
        if r["state_difference"] is not None:
            out["state_differences"].append(r["state_difference"])
        first = r["replays"][0]["summary"]
        out["calls"] += first["calls"]
        out["files"].extend(first.get("files", []))
        out["damage"].extend(first["damage"])
        for rep in r["replays"]:
            timelines[rep["impl"]].append(rep["summary"].pop("timeline", None))
        out["replays"].extend(r["replays"])
        out["captures"].append({k: r[k] for k in ("capture", "calls_compared", "calls_differing", "agree",
                                                  "differences_at", "state_difference")})
    out["differences"] = out["differences"][:1000]
    out["state_difference"] = out["state_differences"][0] if out["state_differences"] else None
    out["timelines"] = {impl: merge_timelines([t for t in ts if t]) for impl, ts in timelines.items()}
    out["agree"] = out["calls_differing"] == 0 and not out["state_differences"]
    return out


def print_summary(summary, out=None):
    out = sys.stdout if out is None else out
    print(f"replayed {summary['calls']} calls in {summary['seconds']:.2f} s "
          f"({summary['calls_per_second'] or 0:,} calls/s)", file=out)
    if summary["constructed_for_replay"]:
        print("  (the capture starts after the strategy was built: a strategy was built for the replay)", file=out)
    print("callbacks:", file=out)
    for name, n in summary["callbacks"].items():
        print(f"  {name:34} {n:>10}", file=out)
    print("events:", file=out)
    for name, n in summary["events"].items():
        print(f"  {name:34} {n:>10}", file=out)
    for title, key in (("raised live", "raised_live"), ("raised in the replay", "raised_replay")):
        raised = summary[key]
        print(f"{title}: {len(raised)}", file=out)
        for pos, (name, t, text) in list(raised.items())[:20]:
            print(f"  #{pos} {name}: {t}: {text}", file=out)
        if len(raised) > 20:
            print(f"  ... and {len(raised) - 20} more", file=out)
    if summary["raised_differently"]:
        print(f"calls that raised differently live and in the replay: "
              f"{', '.join(f'#{p}' for p in summary['raised_differently'][:20])}", file=out)
    opaque = summary.get("opaque_values") or {}
    if opaque:
        print(f"values kept only by their text (not comparable in depth): "
              f"{', '.join(f'{k} ({n})' for k, n in list(opaque.items())[:10])}", file=out)


def print_comparison(result, limit, out):
    many = len(result["captures"]) > 1
    for r in result["replays"]:
        sm = r["summary"]
        where = f" [{sm['files'][0]['path']}]" if many and sm.get("files") else ""
        print(f"  {r['impl']}{where}: replayed in {sm['seconds']:.2f} s ({sm['calls_per_second'] or 0:,} calls/s), "
              f"{sum(sm['events'].values())} events, {len(sm['raised_replay'])} calls raised", file=out)
    compared, differing = result["calls_compared"], result["calls_differing"]
    impls = result["implementations"]
    if differing == 0:
        print(f"the implementations agree on all {compared} calls", file=out)
    else:
        print(f"the implementations differ on {differing} of {compared} calls; the first:", file=out)
        for d in result["differences"][:limit]:
            where = f" in {d['file']}" if many and d.get("file") else ""
            print(f"  #{d['position']} {d['callback']}{where} ({impls[0]} vs {d['implementation']}):", file=out)
            for line in d["what"] or ["(the difference lies in a part not described; see --json)"]:
                print(f"    {line}", file=out)
    for s in result["state_differences"]:
        where = f" in {s['file']}" if many and s.get("file") else ""
        print(f"the module's state differs first after #{s['position']} {s['callback']}{where} "
              f"({impls[0]} vs {s['implementation']}):", file=out)
        for line in s["what"][:limit]:
            print(f"    {line}", file=out)
    if not result["state_differences"]:
        print("the module's state agrees after every call", file=out)


# ---------------------------------------------------------------- the command

def parse_args(argv):
    p = argparse.ArgumentParser(prog="tessaline-replay",
                                description="Replay captures through the tessaline module, or compare "
                                            "implementations of the module on them.")
    p.add_argument("capture", nargs="+", help="capture files: several captures (one per day, say) are replayed "
                                              "in parallel; the files of a rotated capture in their recorded order")
    p.add_argument("--impl", action="append", metavar="PATH", default=[],
                   help="an implementation: a compiled module (.so) or a Python source file of the module; "
                        "twice (or more) to compare them")
    p.add_argument("--json", metavar="PATH", help="write the full result as JSON")
    p.add_argument("--html", metavar="PATH", help="write the result as an HTML report")
    p.add_argument("--show", type=int, default=5, metavar="N", help="differences to print (%(default)s)")
    p.add_argument("--jobs", type=int, default=None, metavar="N",
                   help="captures replayed at once on this machine (default: one per core)")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="run the captures on the workers of a Dask distributed scheduler (tcp://host:8786)")
    p.add_argument("--connect-timeout", type=float, default=30.0, metavar="SECONDS",
                   help="how long to try reaching the scheduler (%(default)s)")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    args = p.parse_args(argv)
    if args.jobs is not None and args.jobs < 1:
        p.error("--jobs must be at least 1")
    if args.show < 0:
        p.error("--show must not be negative")
    return args


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    stdout = _Output(sys.stdout)
    err = sys.stderr
    try:
        args = parse_args(argv)
    except SystemExit as exc:
        return EXIT_BAD_INPUT if exc.code else EXIT_OK
    outputs = Outputs(args.json, args.html)
    bars = []
    try:
        return _run(args, outputs, stdout, err, bars.append)
    except KeyboardInterrupt:
        from tessaline_tools._replay_parallel import stop_all
        stop_all()
        outputs.remove_temps()
        for bar in bars:
            bar.close()
        print("tessaline-replay: interrupted", file=err)
        return EXIT_INTERRUPTED
    finally:
        for bar in bars:
            bar.close()
        stdout.flush()


def _run(args, outputs, out, err, keep_bar):
    from tessaline_tools import _replay_parallel as par
    from tessaline_tools._capture_reader import arrange

    def bad(message):
        print(f"tessaline-replay: {message}", file=err)
        return EXIT_BAD_INPUT

    try:
        outputs.check()
    except OSError as exc:
        return bad(str(exc))
    for impl in args.impl:
        if not os.path.isfile(impl):
            return bad(f"implementation {impl}: no such file")
    try:
        captures, notes, bad_order = arrange(args.capture)
    except CaptureError as exc:
        return bad(str(exc))
    for note in notes:
        print(f"tessaline-replay: {note}", file=err)
    impls = [os.path.abspath(p) for p in args.impl]
    labels = dict(zip(impls, args.impl))
    files = [p for run in captures for p in run]
    progress = Progress(estimate_calls(files), enabled=not args.no_progress and err.isatty())
    keep_bar(progress)
    jobs = args.jobs or min(len(captures), os.cpu_count() or 1)
    if args.scheduler:
        try:
            runs = par.run_on_scheduler(args.scheduler, captures, impls, progress, args.connect_timeout)
            results = _gather(runs, len(captures))
        except par.TaskError as exc:
            return bad(str(exc))
    else:
        results = _gather(par.run_local(captures, impls, jobs, progress), len(captures))
    progress.close()
    failures = [r for r in results if isinstance(r, par.TaskError)]
    for f in failures:
        if f.kind == "import":
            print(f"tessaline-replay: implementation failed to import: {f}", file=err)
        else:
            print(f"tessaline-replay: {f}", file=err)
    done = [r for r in results if not isinstance(r, par.TaskError)]
    if failures and (len(impls) >= 2 or not done):
        result = {"capture": args.capture, "implementations": args.impl, "agree": None,
                  "errors": [{"kind": f.kind, "error": str(f)} for f in failures]}
        _write(outputs, result, err)
        return EXIT_BAD_INPUT
    if len(impls) >= 2:
        result = merge_comparisons(done, impls)
        _relabel(result, labels)
        print(f"capture: {', '.join(args.capture)}: {result['calls']} calls", file=out)
        print_comparison(result, args.show, out)
        damage = result["damage"]
        code = EXIT_OK if result["agree"] else EXIT_DIFFER
    else:
        result = merge_replays(done)
        print(f"capture: {', '.join(args.capture)}", file=out)
        print_summary(result, out)
        damage = result["damage"]
        code = EXIT_OK
        if not result["capture_complete"] and not damage:
            print("tessaline-replay: note: the capture has no closing record (the writer did not close it)",
                  file=err)
    for g in (result.get("files") or []):
        for gap in g.get("gaps") or []:
            print(f"tessaline-replay: note: {g['path']}: the capture dropped {gap['dropped']} calls before call "
                  f"#{gap['position']} (its memory budget was full)", file=err)
            if len(impls) >= 2:
                # the module's state after the gap misses what the dropped calls did, on both sides alike
                print(f"tessaline-replay: results from call #{gap['position']} of {g['path']} on cannot be "
                      f"trusted: the module's state there lacks the dropped calls", file=err)
    for d in damage:
        print(f"tessaline-replay: damaged capture: {d['path']}: {d['kind']} chunk at offset {d['offset']}: "
              f"{d['detail']}; replayed up to there", file=err)
    if not _write(outputs, result, err):
        return EXIT_BAD_INPUT
    if damage or failures or bad_order:
        return EXIT_BAD_INPUT
    return code


def _gather(runs, n):
    results = [None] * n
    for i, r in runs:
        results[i] = r
    return results


def _relabel(result, labels):
    """Implementations named as the user gave them."""
    result["implementations"] = [labels.get(i, i) for i in result["implementations"]]
    for d in result["differences"]:
        d["implementation"] = labels.get(d["implementation"], d["implementation"])
    for s in result["state_differences"]:
        s["implementation"] = labels.get(s["implementation"], s["implementation"])
    for r in result["replays"]:
        r["impl"] = labels.get(r["impl"], r["impl"])
    result["timelines"] = {labels.get(k, k): v for k, v in result["timelines"].items()}


def _write(outputs, result, err):
    try:
        outputs.write(result)
        return True
    except OSError as exc:
        print(f"tessaline-replay: cannot write the result: {exc}", file=err)
        return False


if __name__ == "__main__":
    sys.exit(main())
