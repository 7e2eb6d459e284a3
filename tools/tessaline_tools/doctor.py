"""``tessaline-doctor``: checks, before the market opens, that the host framework and the
gateway SDK installed here give the tessaline module everything it uses.

    tessaline-doctor                                   the interpreter, the module, the host, the SDK
    tessaline-doctor --config myhost.settings:config   also the host's configuration object
    tessaline-doctor --records                         also the SDK's record classes (pyvorn.records)
    tessaline-doctor --records vendor.records --record order=OrderField --json doctor.json

Run it with the interpreter and in the directory the host runs with: it
imports the real host and SDK modules, in fresh processes of its own, and never
connects to a gateway or trades.  One line per check, grouped by area:
✔ passed, ✗ failed (with the missing name or the call that does not fit),
? could not be checked (for example a signature that cannot be introspected).

Exit status: 0 nothing failed, 1 a check failed, 2 bad usage, 130 interrupted.
"""
import os
import sys

if __name__ == "__main__" and sys.path and sys.path[0] == os.getcwd():
    # ``python -m`` put the current directory first: it is the host's, and its files must not stand in for
    # the doctor's own modules (the probes put it back, for the host's modules only)
    del sys.path[0]

import argparse
import json
import math
import signal
import subprocess
import tempfile
import time

from tessaline_tools import _contract as C
from tessaline_tools._doctor_probe import (AREA_BUILD, AREA_CONFIG, AREA_HOST, AREA_MODULE, AREA_RECORDS,
                                           AREA_SDK, AREAS, FAIL, OK, UNKNOWN)

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130
GLYPHS = {OK: "✔", FAIL: "✗", UNKNOWN: "?"}
ASCII_GLYPHS = {OK: "ok", FAIL: "FAIL", UNKNOWN: "?"}
DEFAULT_TIMEOUT = 120
MAX_TIMEOUT = 86400.0
POLL_SECONDS = 0.05
STDERR_TAIL_BYTES = 16384

# what a probe may find missing altogether, as the first line names it
DEPENDENCIES = {"host": "the host framework corvix.tarrow", "sdk": "the gateway SDK pyvorn"}

# probe name -> the area its crash is reported under
PROBE_AREAS = {"build": AREA_BUILD, "module": AREA_MODULE, "host": AREA_HOST, "sdk": AREA_SDK,
               "config": AREA_CONFIG, "records": AREA_RECORDS}


class UsageError(Exception):
    pass


# ---------------------------------------------------------------- running the probes

# The probe runs without the current directory on its path (-P), imports what it needs, and only then
# puts the host's directory first, as ``python -m`` would have.
_PROBE_BOOTSTRAP = ("import sys; sys.path.append(sys.argv[1]); del sys.argv[1]; "
                    "from tessaline_tools._doctor_probe import main; main(sys.argv[1:])")


class Probe:
    def __init__(self, name, tmp, arguments, timeout):
        self.name = name
        self.results = os.path.join(tmp, f"{name}.jsonl")
        self.stderr = os.path.join(tmp, f"{name}.stderr")
        open(self.results, "w").close()
        tools_parent = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        with open(self.stderr, "wb") as err:
            # a session of its own: the probe and everything the host starts form one process group to kill;
            # no pipes, which a process the host leaves behind would hold open
            self.proc = subprocess.Popen(
                [sys.executable, "-P", "-c", _PROBE_BOOTSTRAP, tools_parent, name, json.dumps(arguments),
                 self.results, os.getcwd()],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err, start_new_session=True)
        self.deadline = time.monotonic() + timeout

    def wait(self):
        """True when the probe ended by its deadline. It is left unreaped, so its group id stays its own."""
        while True:
            if os.waitid(os.P_PID, self.proc.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None:
                return True
            remaining = self.deadline - time.monotonic()
            if remaining <= 0:
                return False
            time.sleep(min(POLL_SECONDS, remaining))

    def stop(self):
        """Kills what is left of the probe's process group (helpers the host started), then reaps the probe."""
        if self.proc.returncode is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
            self.proc.wait()

    def stderr_tail(self):
        with open(self.stderr, "rb") as f:
            f.seek(max(0, os.fstat(f.fileno()).st_size - STDERR_TAIL_BYTES))
            return f.read()


def run_probes(probes, timeout):
    """Runs each (name, arguments) probe in a fresh interpreter, all at once.

    Returns the checks in order, and which dependencies a probe found missing altogether.
    """
    with tempfile.TemporaryDirectory(prefix="tessaline-doctor-") as tmp:
        running = []
        try:
            for name, arguments in probes:
                running.append(Probe(name, tmp, arguments, timeout))
            checks, missing = [], {}
            for probe in running:
                in_time = probe.wait()
                probe.stop()
                found = read_results(probe.results)
                checks += found.checks
                for record in found.missing:
                    missing.setdefault(record["missing"], record["detail"])
                if not in_time:
                    stopped = f"did not finish within {timeout:g} s"
                elif not found.done:
                    stopped = f"{_exit_text(probe.proc.returncode)} before its checks were done"
                else:
                    continue
                checks.append(crash_check(probe.name, stopped, found.last_begin, probe.stderr_tail()))
            return checks, missing
        finally:
            for probe in running:
                probe.stop()


def _exit_text(code):
    if code < 0:
        try:
            return f"was killed by signal {-code} ({signal.Signals(-code).name})"
        except ValueError:
            return f"was killed by signal {-code}"
    return f"ended with status {code}"


class Results:
    def __init__(self):
        self.checks, self.missing, self.last_begin, self.done = [], [], None, False


def read_results(path):
    found = Results()
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            try:
                record = json.loads(line)
            except ValueError:
                continue                  # a line cut short by a crash
            if not isinstance(record, dict):
                continue
            if "begin" in record:
                found.last_begin = record
            elif "missing" in record:
                if record["missing"] in DEPENDENCIES and isinstance(record.get("detail"), str):
                    found.missing.append(record)
            elif "done" in record:
                found.done = True
            elif _is_check(record):
                found.checks.append(record)
                found.last_begin = None
    return found


def _is_check(record):
    return all(isinstance(record.get(k), str) for k in ("area", "check", "detail")) and \
        record.get("status") in GLYPHS


def crash_check(probe, stopped, last_begin, stderr):
    if not (last_begin and isinstance(last_begin.get("area"), str) and isinstance(last_begin.get("begin"), str)):
        last_begin = None
    area = last_begin["area"] if last_begin else PROBE_AREAS[probe]
    during = f" while checking {last_begin['begin']}" if last_begin else ""
    tail = [line[:300] for line in stderr.decode("utf-8", "replace").strip().splitlines() if line.strip()][-3:]
    detail = f"the check process {stopped}{during}"
    if tail:
        detail += ": " + " | ".join(tail)
    return {"area": area, "check": "check process", "status": FAIL, "detail": detail}


# ---------------------------------------------------------------- report

def glyphs_for(stream):
    encoding = getattr(stream, "encoding", None) or "ascii"
    try:
        "".join(GLYPHS.values()).encode(encoding)
    except (UnicodeEncodeError, LookupError):
        return ASCII_GLYPHS
    return GLYPHS


def headline(missing, checks):
    """One line saying which dependency cannot be imported at all, and how many checks that takes down."""
    what = [f"{DEPENDENCIES[key]} cannot be imported ({detail})" for key, detail in missing.items()]
    blamed = [c for c in checks if c.get("cause") in missing]
    failed = sum(c["status"] == FAIL for c in blamed)
    return (f"tessaline-doctor: {' and '.join(what)}: install {'it' if len(what) == 1 else 'them'} into the "
            f"environment of {sys.executable}. {failed} failed checks and {len(blamed) - failed} not made follow "
            f"from it; each area shows them as one line.")


def grouped_line(cause, checks, glyphs):
    failed = sum(c["status"] == FAIL for c in checks)
    counts = ", ".join(part for part in (f"{failed} failed" if failed else "",
                                         f"{len(checks) - failed} not made" if len(checks) > failed else "") if part)
    status = FAIL if failed else UNKNOWN
    return f"  {glyphs[status]} {counts}: {DEPENDENCIES[cause]} cannot be imported"


def render(checks, glyphs, missing=None):
    missing = missing or {}
    lines = [headline(missing, checks)] if missing else []
    lines.append(f"tessaline-doctor: {C.MODULE_NAME} with {sys.executable}")
    for area in AREAS:
        in_area = [c for c in checks if c["area"] == area]
        if not in_area:
            continue
        lines += ["", area]
        blamed = {}
        for c in in_area:
            if c.get("cause") in missing:
                blamed.setdefault(c["cause"], []).append(c)
        lines += [grouped_line(cause, group, glyphs) for cause, group in blamed.items()]
        for c in in_area:
            if c.get("cause") not in missing:
                detail = f" — {c['detail']}" if c.get("detail") else ""
                lines.append(f"  {glyphs[c['status']]} {c['check']}{detail}")
    counts = summary(checks)
    lines += ["", f"{counts['passed']} passed, {counts['failed']} failed, {counts['unknown']} could not be checked"]
    return "\n".join(lines)


def summary(checks):
    return {"passed": sum(c["status"] == OK for c in checks),
            "failed": sum(c["status"] == FAIL for c in checks),
            "unknown": sum(c["status"] == UNKNOWN for c in checks)}


def json_document(checks, missing):
    return {
        "tool": "tessaline-doctor",
        "module": C.MODULE_NAME,
        "python": sys.executable,
        "ok": not any(c["status"] == FAIL for c in checks),
        "summary": summary(checks),
        "cannot_import": [{"what": key, "detail": detail} for key, detail in missing.items()],
        "checks": [{"area": c["area"], "check": c["check"], "status": c["status"], "detail": c.get("detail", ""),
                    **({"cause": c["cause"]} if c.get("cause") in missing else {})}
                   for c in checks],
    }


# ---------------------------------------------------------------- command line

def parse_config(text):
    module, sep, attribute = text.partition(":")
    if not sep or not module or not attribute or not all(p.isidentifier() for p in module.split(".")) \
            or not all(p.isidentifier() for p in attribute.split(".")):
        raise UsageError(f"--config {text!r}: expected MODULE:ATTRIBUTE, e.g. myhost.settings:config")
    return {"module": module, "attribute": attribute}


def parse_record_overrides(items):
    known = {r.param for r in C.RECORDS} | {r.callback for r in C.RECORDS}
    overrides = {}
    for item in items:
        key, sep, value = item.partition("=")
        if not sep or not value:
            raise UsageError(f"--record {item!r}: expected PARAMETER=CLASS, PARAMETER=MODULE:CLASS or PARAMETER=-")
        if key not in known:
            raise UsageError(f"--record {item!r}: {key!r} is not a record parameter; known: "
                             f"{', '.join(r.param for r in C.RECORDS)}")
        overrides[key] = value
    return overrides


class Parser(argparse.ArgumentParser):
    def error(self, message):
        """Bad usage is one line and exit status 2 (``--help`` shows the usage)."""
        self.exit(EXIT_USAGE, f"{self.prog}: {message}\n")


def timeout_seconds(text):
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 < value <= MAX_TIMEOUT:         # nan fails this too
        raise UsageError(f"--timeout: expected a number of seconds greater than 0 and at most {MAX_TIMEOUT:g}, "
                         f"got {text!r}")
    return value


def check_output_path(option, path):
    """The output is writable before anything runs: '-' (standard output) or a file in an existing directory."""
    if path == "-":
        return
    if os.path.isdir(path):
        raise UsageError(f"{option} {path}: is a directory")
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise UsageError(f"{option} {path}: the directory {directory} does not exist")
    if not os.access(path if os.path.exists(path) else directory, os.W_OK):
        raise UsageError(f"{option} {path}: not writable")


def build_parser():
    parser = Parser(
        prog="tessaline-doctor",
        description="Check that the host framework and gateway SDK installed here give the tessaline module "
                    "everything it uses. Nothing connects to a gateway and nothing trades.",
        epilog="Exit status: 0 nothing failed, 1 a check failed, 2 bad usage, 130 interrupted.")
    parser.add_argument("--json", metavar="PATH",
                        help="also write the results as JSON to PATH; - writes them to standard output and the "
                             "text report to standard error")
    parser.add_argument("--config", metavar="MODULE:ATTRIBUTE",
                        help="also check the host configuration object found there (the fields initialize and "
                             "the clock read)")
    parser.add_argument("--records", metavar="MODULE", nargs="?", const=C.DEFAULT_RECORDS_MODULE,
                        help="also check the SDK's record classes in MODULE (default %(const)s) against the "
                             "attributes each callback reads")
    parser.add_argument("--record", metavar="PARAMETER=CLASS", action="append", default=[],
                        help="the record class of one callback parameter, as CLASS (in the --records module), "
                             "MODULE:CLASS, or - to skip it; implies --records")
    parser.add_argument("--timeout", metavar="SECONDS", default=f"{DEFAULT_TIMEOUT:g}",
                        help=f"time allowed to each check process, more than 0 and at most {MAX_TIMEOUT:g} "
                             f"(default %(default)s)")
    return parser


class Terminated(Exception):
    pass


def _terminate(signum, _frame):
    raise Terminated(signum)


def main(argv=None):
    # the probes run in sessions of their own, out of reach of the terminal's signals: whatever stops the
    # doctor must unwind through run_probes, which kills their process groups on the way out
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, _terminate)
    try:
        return run(argv)
    except KeyboardInterrupt:
        print("tessaline-doctor: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except Terminated as exc:
        signum = exc.args[0]
        print(f"tessaline-doctor: stopped by {signal.Signals(signum).name}", file=sys.stderr)
        return 128 + signum


def run(argv):
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        timeout = timeout_seconds(args.timeout)
        probes = [("build", {}), ("module", {}), ("host", {}), ("sdk", {})]
        if args.config:
            probes.append(("config", parse_config(args.config)))
        if args.records or args.record:
            probes.append(("records", {"module": args.records or C.DEFAULT_RECORDS_MODULE,
                                       "overrides": parse_record_overrides(args.record)}))
        if args.json:
            check_output_path("--json", args.json)
    except UsageError as exc:
        parser.error(str(exc))
    checks, missing = run_probes(probes, timeout)
    report_stream = sys.stderr if args.json == "-" else sys.stdout
    print(render(checks, glyphs_for(report_stream), missing), file=report_stream)
    status = EXIT_FAILED if any(c["status"] == FAIL for c in checks) else EXIT_OK
    if args.json:
        text = json.dumps(json_document(checks, missing), ensure_ascii=False, indent=2) + "\n"
        if args.json == "-":
            sys.stdout.write(text)
            return status
        try:
            with open(args.json, "w", encoding="utf-8") as f:
                f.write(text)
        except OSError as exc:
            print(f"tessaline-doctor: cannot write {args.json}: {exc.strerror or exc}", file=sys.stderr)
            return EXIT_USAGE
    return status


if __name__ == "__main__":
    sys.exit(main())
