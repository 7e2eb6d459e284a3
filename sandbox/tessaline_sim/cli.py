"""``tessaline-sim``: a simulated trading session through the real module.

    tessaline-sim --instruments 20 --days 2 --seed 7
    tessaline-sim --threads --quiet --json report.json

Exit status 0 when every invariant held and no callback raised, 1 otherwise,
2 for bad arguments.
"""
import argparse
import json
import os
import sys
import time
from datetime import date

from tessaline_sim.session import Options


class Progress:
    """A one-line progress bar on a terminal, redrawn at most ten times a second."""

    WIDTH = 30

    def __init__(self, stream):
        self.stream = stream
        self.t0 = time.monotonic()
        self.last = 0.0
        self.drawn = False

    def __call__(self, sim, fraction):
        now = time.monotonic()
        if now - self.last < 0.1 and fraction < 1.0:
            return
        self.last = now
        filled = int(self.WIDTH * min(max(fraction, 0.0), 1.0))
        day = (sim.day_index or 0) + 1
        line = (f"\r[{'#' * filled}{'.' * (self.WIDTH - filled)}] {fraction * 100:5.1f}%  "
                f"day {day}/{len(sim.trading_days)} {sim.now():%Y-%m-%d %H:%M:%S}  {now - self.t0:6.1f}s")
        self.stream.write(line)
        self.stream.flush()
        self.drawn = True

    def close(self):
        if self.drawn:
            self.stream.write("\r" + " " * (self.WIDTH + 60) + "\r")
            self.stream.flush()


def parse_args(argv):
    p = argparse.ArgumentParser(prog="tessaline-sim",
                                description="Run simulated trading days through the tessaline module and report.")
    d = Options()
    p.add_argument("--instruments", type=int, default=d.instruments, help="instruments in the universe (%(default)s)")
    p.add_argument("--days", type=int, default=d.days, help="trading days to simulate (%(default)s)")
    p.add_argument("--seed", type=int, default=d.seed, help="random seed (%(default)s)")
    p.add_argument("--start", type=date.fromisoformat, default=d.start,
                   help="first trading day, YYYY-MM-DD (%(default)s; weekends are skipped)")
    p.add_argument("--threads", action="store_true",
                   help="deliver market data, order reports, algo reports and timers from separate SDK threads")
    p.add_argument("--snapshot-interval-ms", type=int, default=d.snapshot_interval_ms,
                   help="snapshot period per instrument (%(default)s)")
    p.add_argument("--minutes-per-half", type=int, default=d.minutes_per_half,
                   help="continuous minutes of the morning and of the afternoon, 11..120 (%(default)s)")
    p.add_argument("--l2-rate", type=float, default=d.l2_orders_per_snapshot,
                   help="mean level-2 orders per instrument between two snapshots (%(default)s)")
    p.add_argument("--step-ms", type=int, default=d.step_ms, help="simulated time between host actions (%(default)s)")
    p.add_argument("--json", metavar="PATH", help="also write the report as JSON")
    p.add_argument("--log", metavar="PATH", help="write the host log lines the module produced to PATH")
    p.add_argument("--capture", metavar="PATH",
                   help="record every call into the strategy to PATH, for tessaline-replay")
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    args = p.parse_args(argv)
    try:
        options = Options(instruments=args.instruments, days=args.days, seed=args.seed, start=args.start,
                          threaded=args.threads, snapshot_interval_ms=args.snapshot_interval_ms,
                          minutes_per_half=args.minutes_per_half, l2_orders_per_snapshot=args.l2_rate,
                          step_ms=args.step_ms, log_path=args.log, capture_path=args.capture)
        options.validate()
        if options.instruments < 1 or options.seed < 0 or options.step_ms <= 0 or 60_000 % options.step_ms:
            raise ValueError("instruments >= 1, seed >= 0, and a step that divides one minute")
    except ValueError as exc:
        p.error(str(exc))
    return options, args


def main(argv=None):
    options, args = parse_args(sys.argv[1:] if argv is None else argv)
    from tessaline_sim.report import render
    from tessaline_sim.session import run_simulation
    progress = Progress(sys.stderr) if not args.quiet and sys.stderr.isatty() else None
    try:
        report, _, result = run_simulation(options, progress=progress)
    except OSError as exc:                       # a capture or log path that cannot be written
        print(f"tessaline-sim: {exc}", file=sys.stderr)
        return 2
    except ModuleNotFoundError as exc:
        if exc.name != "tessaline_tools":
            raise
        print("tessaline-sim: --capture needs the user tools: pip install ./tools", file=sys.stderr)
        return 2
    finally:
        if progress is not None:
            progress.close()
    try:
        print(render(report), flush=True)
    except BrokenPipeError:                      # the reader went away (| head): not our failure
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    if result.capture is not None:
        cap = result.capture
        print(f"capture: {', '.join(cap.paths)} ({cap.calls} calls, {cap.bytes_written} bytes); "
              f"replay with: tessaline-replay {' '.join(cap.paths)}", file=sys.stderr)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(report, f, indent=2, default=str)
    return 0 if report["ok"] else 1


if __name__ == "__main__":
    sys.exit(main())
