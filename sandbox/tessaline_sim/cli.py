"""``tessaline-sim``: a simulated trading session through the real module.

    tessaline-sim --instruments 20 --days 2 --seed 7
    tessaline-sim --threads --quiet --json report.json --html report.html

Exit status 0 when every invariant held and no callback raised, 1 otherwise
(also when the capture or a report file could not be written completely), 2 for
bad arguments or an output that cannot be written, 130 when interrupted.
Every complaint about the command line is one line on standard error.
"""
import argparse
import importlib
import json
import math
import os
import shlex
import signal
import sys
import time
from datetime import date

from tessaline_sim.limits import LIMITS, check_disk, check_memory, describe_range
from tessaline_sim.session import Options

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130
STDOUT = "-"


class UsageError(Exception):
    """A command-line value or an output that cannot be used; one line, exit 2."""


class Progress:
    """A one-line progress bar on a terminal, redrawn at most ten times a second."""

    WIDTH = 30

    def __init__(self, stream):
        self.stream = stream
        self.t0 = time.monotonic()
        self.last = 0.0
        self.drawn = False

    def preparing(self, options):
        """The first frame, drawn before the first day's market is built (seconds for a large universe)."""
        self.stream.write(f"\r[{'.' * self.WIDTH}]   0.0%  building the market of {options.instruments:,} "
                          f"instruments for day 1/{options.days}")
        self.stream.flush()
        self.drawn = True

    def __call__(self, sim, fraction):
        now = time.monotonic()
        if now - self.last < 0.1 and fraction < 1.0:
            return
        self.last = now
        filled = int(self.WIDTH * min(max(fraction, 0.0), 1.0))
        day = (sim.day_index or 0) + 1
        line = (f"\r[{'#' * filled}{'.' * (self.WIDTH - filled)}] {fraction * 100:5.1f}%  "
                f"day {day}/{len(sim.trading_days)} {sim.now():%Y-%m-%d %H:%M:%S}  {now - self.t0:6.1f}s")
        self.stream.write(line.ljust(self.WIDTH + 60))
        self.stream.flush()
        self.drawn = True

    def close(self):
        if self.drawn:
            self.stream.write("\r" + " " * (self.WIDTH + 60) + "\r")
            self.stream.flush()
            self.drawn = False


class _Parser(argparse.ArgumentParser):
    """argparse whose complaints are one line (``--help`` still shows everything)."""

    def error(self, message):
        raise UsageError(f"{message} (see {self.prog} --help)")


def _ranged(name, kind):
    """An argparse type for option ``name``: parses ``kind`` and checks the option's range."""
    lo, hi = LIMITS[name]

    def parse(text):
        try:
            value = kind(text)
        except (ValueError, OverflowError):
            value = None
        if value is None or (kind is float and not math.isfinite(value)) or not lo <= value <= hi:
            raise UsageError(f"--{name} must be {describe_range(name)}, got {text!r}")
        return value
    return parse


def _day(text):
    lo, hi = LIMITS["start"]
    try:
        value = date.fromisoformat(text)
    except ValueError:
        value = None
    if value is None or not lo <= value <= hi:
        raise UsageError(f"--start must be a date YYYY-MM-DD within {lo}..{hi}, got {text!r}")
    return value


def build_parser():
    d = Options()
    p = _Parser(prog="tessaline-sim",
                description="Run simulated trading days through the tessaline module and report.",
                epilog="A session whose market the machine's memory cannot hold (instruments x snapshots a day x "
                       "level-2 rate) is refused before it starts, and so is a capture the disk cannot hold. "
                       "PATH '-' is standard output (the text report then goes to standard error). "
                       "Exit status: 0 all invariants held, 1 an invariant failed, a callback raised or an output "
                       "could not be written completely, 2 bad usage, 130 interrupted.")

    def ranged(flag, kind, default, what):
        name = flag[2:]
        metavar = "MS" if name.endswith("-ms") else "RATE" if kind is float else "N"
        extra = " that divides 60000" if name == "step-ms" else ""
        p.add_argument(flag, type=_ranged(name, kind), default=default, metavar=metavar,
                       help=f"{what}: {describe_range(name)}{extra} (default {default})")

    ranged("--instruments", int, d.instruments, "instruments in the universe")
    ranged("--days", int, d.days, "trading days to simulate")
    ranged("--seed", int, d.seed, "random seed")
    lo, hi = LIMITS["start"]
    p.add_argument("--start", type=_day, default=d.start, metavar="YYYY-MM-DD",
                   help=f"first trading day, {lo}..{hi}; weekends are skipped (default {d.start})")
    p.add_argument("--threads", action="store_true",
                   help="deliver market data, order reports, algo reports and timers from separate SDK threads "
                        "(default: one thread)")
    ranged("--snapshot-interval-ms", int, d.snapshot_interval_ms, "snapshot period per instrument, ms")
    ranged("--minutes-per-half", int, d.minutes_per_half, "continuous minutes of the morning and of the afternoon")
    ranged("--l2-rate", float, d.l2_orders_per_snapshot, "mean level-2 orders per instrument between two snapshots")
    ranged("--step-ms", int, d.step_ms, "simulated time between host actions, ms")
    p.add_argument("--json", metavar="PATH", help="also write the report as JSON (default: none)")
    p.add_argument("--html", metavar="PATH",
                   help="also write the report as one self-contained HTML page with charts (default: none)")
    p.add_argument("--log", metavar="PATH",
                   help="write the host log lines the module produced to PATH (default: none)")
    p.add_argument("--capture", metavar="PATH",
                   help="record every call into the strategy to PATH, for tessaline-replay; never overwrites "
                        "(default: none)")
    p.add_argument("--quiet", action="store_true", help="no progress bar (default: a bar on a terminal)")
    return p


def parse_args(argv):
    """Returns ``(options, args)``; raises ``UsageError`` for anything that cannot be run."""
    args = build_parser().parse_args(argv)
    if args.step_ms and 60_000 % args.step_ms:
        raise UsageError(f"--step-ms must divide one minute (60000 ms), got {args.step_ms}")
    options = Options(instruments=args.instruments, days=args.days, seed=args.seed, start=args.start,
                      threaded=args.threads, snapshot_interval_ms=args.snapshot_interval_ms,
                      minutes_per_half=args.minutes_per_half, l2_orders_per_snapshot=args.l2_rate,
                      step_ms=args.step_ms, log_path=args.log, capture_path=args.capture)
    try:
        options.validate()
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    check_outputs(args)
    problem = check_memory(options)
    if problem:
        raise UsageError(problem)
    if args.capture:
        directory = os.path.dirname(os.path.abspath(args.capture.replace("{date}", time.strftime("%Y%m%d"))))
        problem = check_disk(options, directory)
        if problem:
            raise UsageError(f"--capture {args.capture}: {problem}")
    return options, args


def check_outputs(args):
    """Every output path is checked before the run: no report is lost at the end of a long session."""
    to_stdout = [flag for flag in ("json", "html", "log") if getattr(args, flag) == STDOUT]
    if len(to_stdout) > 1:
        raise UsageError(f"only one output can be standard output, not {' and '.join('--' + f for f in to_stdout)}")
    if args.capture == STDOUT:
        raise UsageError("--capture needs a file (a capture is rotated and never overwritten), not '-'")
    for flag in ("json", "html", "log", "capture"):
        path = getattr(args, flag)
        if path is None or path == STDOUT:
            continue
        if path == "":
            raise UsageError(f"--{flag} needs a path")
        target = path.replace("{date}", time.strftime("%Y%m%d")) if flag == "capture" else path
        if os.path.isdir(target):
            raise UsageError(f"--{flag} {path}: is a directory, not a file")
        parent = os.path.dirname(os.path.abspath(target))
        if not os.path.isdir(parent):
            missing = "is not a directory" if os.path.exists(parent) else "does not exist"
            raise UsageError(f"--{flag} {path}: directory {os.path.dirname(target) or '.'} {missing}")
        if not os.access(parent, os.W_OK | os.X_OK):
            raise UsageError(f"--{flag} {path}: directory {os.path.dirname(target) or '.'} is not writable")
        if flag != "capture" and os.path.exists(target) and not os.access(target, os.W_OK):
            raise UsageError(f"--{flag} {path}: the file is not writable")
    named = {}
    for flag in ("json", "html", "log", "capture"):
        path = getattr(args, flag)
        if path and path != STDOUT:
            key = os.path.realpath(path)
            if key in named:
                raise UsageError(f"--{named[key]} and --{flag} name the same file, {path}")
            named[key] = flag
    for flag, module in (("capture", "tessaline_tools.capture"), ("html", "tessaline_tools.html_report")):
        if getattr(args, flag):
            try:
                importlib.import_module(module)
            except ModuleNotFoundError as exc:
                raise UsageError(f"--{flag} needs the user tools ({exc.name} is missing): "
                                 f"{sys.executable} -m pip install ./tools") from None


def _interrupt_handler():
    """The first Ctrl-C unwinds the run (the capture is closed on the way); a second one ends at once."""
    pressed = []

    def handler(signum, frame):
        if pressed:
            os.write(2, b"\ntessaline-sim: interrupted\n")
            os._exit(EXIT_INTERRUPTED)
        pressed.append(signum)
        raise KeyboardInterrupt
    return handler


def main(argv=None):
    try:
        return _main(sys.argv[1:] if argv is None else argv)
    except UsageError as exc:
        print(f"tessaline-sim: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print("tessaline-sim: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


def _main(argv):
    options, args = parse_args(argv)
    from tessaline_sim.report import render
    from tessaline_sim.session import run_simulation
    text_out = sys.stderr if STDOUT in (args.json, args.html, args.log) else sys.stdout
    progress = Progress(sys.stderr) if not args.quiet and sys.stderr.isatty() else None
    handle_sigint = threading_main() and signal.getsignal(signal.SIGINT) is signal.default_int_handler
    if handle_sigint:
        signal.signal(signal.SIGINT, _interrupt_handler())
    try:
        if progress is not None:
            progress.preparing(options)
        report, _, result = run_simulation(options, progress=progress)
    except OSError as exc:                       # a capture or log file that cannot be opened
        raise UsageError(_os_error_text(exc)) from None
    finally:
        if progress is not None:
            progress.close()
        if handle_sigint:
            signal.signal(signal.SIGINT, signal.default_int_handler)
    status = EXIT_OK if report["ok"] else EXIT_FAILED
    _print(render(report), text_out)
    if result.capture is not None:
        status = max(status, _report_capture(result))
    if result.log_error is not None:
        print(f"tessaline-sim: --log {args.log}: could not be written completely: "
              f"{_os_error_text(result.log_error)}", file=sys.stderr)
        status = max(status, EXIT_FAILED)
    if args.json:
        status = max(status, _write_output(args.json, "--json", lambda f: (json.dump(report, f, indent=2,
                                                                                     default=str), f.write("\n"))))
    if args.html:
        from tessaline_tools.html_report import write_session_report
        status = max(status, _write_output(args.html, "--html", lambda f: write_session_report(f, report)))
    return status


def threading_main():
    import threading
    return threading.current_thread() is threading.main_thread()


def _print(text, stream):
    try:
        print(text, file=stream, flush=True)
    except BrokenPipeError:                      # the reader went away (| head): not our failure
        os.dup2(os.open(os.devnull, os.O_WRONLY), stream.fileno())


def _report_capture(result):
    """One line about the capture; a capture that lost records is a failed run."""
    cap, error = result.capture, result.capture_error
    paths = ", ".join(cap.paths) or "(no file)"
    if error is None:
        print(f"capture: {paths} ({cap.calls} calls, {cap.bytes_written} bytes); "
              f"replay with: {_replay_command()} {' '.join(shlex.quote(p) for p in cap.paths)}", file=sys.stderr)
        return EXIT_OK
    cause = getattr(cap, "error", None) or error
    print(f"tessaline-sim: capture FAILED: {paths}: {_os_error_text(cause)}; {cap.calls} calls written, "
          f"{cap.dropped} records dropped: the file holds the session only up to the failure", file=sys.stderr)
    return EXIT_FAILED


def _replay_command():
    """``tessaline-replay`` as this environment names it, so that the hint works when pasted."""
    beside = os.path.join(os.path.dirname(sys.executable), "tessaline-replay")
    if not os.access(beside, os.X_OK):
        return "tessaline-replay"
    relative = os.path.relpath(beside)
    return shlex.quote(beside if relative.startswith("..") else relative)


def _write_output(path, flag, write):
    """Writes one output file (or standard output); a failure is one line and exit 1."""
    try:
        if path == STDOUT:
            write(sys.stdout)
            sys.stdout.flush()
        else:
            with open(path, "w", encoding="utf-8") as f:
                write(f)
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except OSError as exc:
        print(f"tessaline-sim: {flag} {path}: could not be written: {_os_error_text(exc)}", file=sys.stderr)
        return EXIT_FAILED
    return EXIT_OK


def _os_error_text(exc):
    if isinstance(exc, OSError):
        if exc.strerror:
            return f"{exc.strerror}" + (f": {exc.filename}" if exc.filename else "")
        return str(exc) or type(exc).__name__
    return f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__


if __name__ == "__main__":
    sys.exit(main())
