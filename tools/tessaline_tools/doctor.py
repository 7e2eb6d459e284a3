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

Exit status: 0 nothing failed, 1 a check failed, 2 bad usage.
"""
import argparse
import json
import os
import signal
import subprocess
import sys
import tempfile

from tessaline_tools import _contract as C
from tessaline_tools._doctor_probe import (AREA_BUILD, AREA_CONFIG, AREA_HOST, AREA_MODULE, AREA_RECORDS,
                                           AREA_SDK, AREAS, FAIL, OK, UNKNOWN)

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2
GLYPHS = {OK: "✔", FAIL: "✗", UNKNOWN: "?"}
ASCII_GLYPHS = {OK: "ok", FAIL: "FAIL", UNKNOWN: "?"}
DEFAULT_TIMEOUT = 120.0

# probe name -> the area its crash is reported under
PROBE_AREAS = {"build": AREA_BUILD, "module": AREA_MODULE, "host": AREA_HOST, "sdk": AREA_SDK,
               "config": AREA_CONFIG, "records": AREA_RECORDS}


class UsageError(Exception):
    pass


# ---------------------------------------------------------------- running the probes

def run_probes(probes, timeout):
    """Runs each (name, arguments) probe in a fresh interpreter, all at once; returns the checks in order."""
    with tempfile.TemporaryDirectory(prefix="tessaline-doctor-") as tmp:
        running = []
        for name, arguments in probes:
            results = os.path.join(tmp, f"{name}.jsonl")
            open(results, "w").close()
            proc = subprocess.Popen(
                [sys.executable, "-m", "tessaline_tools._doctor_probe", name, json.dumps(arguments), results],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            running.append((name, proc, results))
        checks = []
        for name, proc, results in running:
            try:
                _, err = proc.communicate(timeout=timeout)
                stopped = None if proc.returncode == 0 else _exit_text(proc.returncode)
            except subprocess.TimeoutExpired:
                proc.kill()
                _, err = proc.communicate()
                stopped = f"did not finish within {timeout:g} s"
            found, last_begin = read_results(results)
            checks += found
            if stopped:
                checks.append(crash_check(name, stopped, last_begin, err))
        return checks


def _exit_text(code):
    if code < 0:
        try:
            return f"was killed by signal {-code} ({signal.Signals(-code).name})"
        except ValueError:
            return f"was killed by signal {-code}"
    return f"exited with status {code}"


def read_results(path):
    checks, last_begin = [], None
    with open(path, encoding="utf-8") as f:
        for line in f:
            try:
                record = json.loads(line)
            except ValueError:
                continue                  # a line cut short by a crash
            if "begin" in record:
                last_begin = record
            else:
                checks.append(record)
                last_begin = None
    return checks, last_begin


def crash_check(probe, stopped, last_begin, stderr):
    area = last_begin["area"] if last_begin else PROBE_AREAS[probe]
    during = f" while checking {last_begin['begin']}" if last_begin else ""
    tail = [line for line in stderr.decode("utf-8", "replace").strip().splitlines() if line.strip()][-3:]
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


def render(checks, glyphs):
    lines = [f"tessaline-doctor: {C.MODULE_NAME} with {sys.executable}"]
    for area in AREAS:
        in_area = [c for c in checks if c["area"] == area]
        if not in_area:
            continue
        lines += ["", area]
        for c in in_area:
            detail = f" — {c['detail']}" if c.get("detail") else ""
            lines.append(f"  {glyphs[c['status']]} {c['check']}{detail}")
    counts = summary(checks)
    lines += ["", f"{counts['passed']} passed, {counts['failed']} failed, {counts['unknown']} could not be checked"]
    return "\n".join(lines)


def summary(checks):
    return {"passed": sum(c["status"] == OK for c in checks),
            "failed": sum(c["status"] == FAIL for c in checks),
            "unknown": sum(c["status"] == UNKNOWN for c in checks)}


def write_json(path, checks):
    document = {
        "tool": "tessaline-doctor",
        "module": C.MODULE_NAME,
        "python": sys.executable,
        "ok": not any(c["status"] == FAIL for c in checks),
        "summary": summary(checks),
        "checks": [{"area": c["area"], "check": c["check"], "status": c["status"], "detail": c.get("detail", "")}
                   for c in checks],
    }
    with open(path, "w", encoding="utf-8") as f:
        json.dump(document, f, ensure_ascii=False, indent=2)
        f.write("\n")


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


def build_parser():
    parser = argparse.ArgumentParser(
        prog="tessaline-doctor",
        description="Check that the host framework and gateway SDK installed here give the tessaline module "
                    "everything it uses. Nothing connects to a gateway and nothing trades.",
        epilog="Exit status: 0 nothing failed, 1 a check failed, 2 bad usage.")
    parser.add_argument("--json", metavar="PATH", help="also write the results as JSON to PATH")
    parser.add_argument("--config", metavar="MODULE:ATTRIBUTE",
                        help="also check the host configuration object found there (the fields initialize and "
                             "the clock read)")
    parser.add_argument("--records", metavar="MODULE", nargs="?", const=C.DEFAULT_RECORDS_MODULE,
                        help="also check the SDK's record classes in MODULE (default %(const)s) against the "
                             "attributes each callback reads")
    parser.add_argument("--record", metavar="PARAMETER=CLASS", action="append", default=[],
                        help="the record class of one callback parameter, as CLASS (in the --records module), "
                             "MODULE:CLASS, or - to skip it; implies --records")
    parser.add_argument("--timeout", metavar="SECONDS", type=float, default=DEFAULT_TIMEOUT,
                        help="time allowed to each check process (default %(default)g)")
    return parser


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        probes = [("build", {}), ("module", {}), ("host", {}), ("sdk", {})]
        if args.config:
            probes.append(("config", parse_config(args.config)))
        if args.records or args.record:
            probes.append(("records", {"module": args.records or C.DEFAULT_RECORDS_MODULE,
                                       "overrides": parse_record_overrides(args.record)}))
        if not args.timeout > 0:
            raise UsageError("--timeout must be a positive number of seconds")
    except UsageError as exc:
        parser.error(str(exc))
    checks = run_probes(probes, args.timeout)
    print(render(checks, glyphs_for(sys.stdout)))
    status = EXIT_FAILED if any(c["status"] == FAIL for c in checks) else EXIT_OK
    if args.json:
        try:
            write_json(args.json, checks)
        except OSError as exc:
            print(f"tessaline-doctor: cannot write {args.json}: {exc.strerror or exc}", file=sys.stderr)
            return EXIT_USAGE
    return status


if __name__ == "__main__":
    sys.exit(main())
