"""One simulated session of the real module: environment, configuration, gateway, host, report."""
import logging
import sys
from array import array
from collections import Counter, defaultdict
from dataclasses import dataclass, replace
from datetime import date

from corvix.tarrow.config import BaseConfig, Config, TradingCalendar
from corvix.tarrow.environment import Environment
from corvix.tarrow.portfolio.account import Account
from corvix.tarrow.utils.trade_func import get_exchane_from_vorn_mdtype
from pyvorn.enums import TDType
from pyvorn.sim_market import NS_PER_S, SessionPlan
from pyvorn.simulator import Simulator

from tessaline_sim.host import DemoHost
from tessaline_sim.report import build_report
from tessaline_sim.strategy import MIN_MINUTES_PER_HALF

FUND_ACCOUNT = "1001"
ALGO_ACCOUNT = "2001"


@dataclass(frozen=True)
class Options:
    instruments: int = 20
    days: int = 2
    seed: int = 7
    start: date = date(2025, 1, 10)        # a Friday: the default two days span a weekend
    threaded: bool = False
    snapshot_interval_ms: int = 3000
    minutes_per_half: int = 120
    l2_orders_per_snapshot: float = 0.5
    step_ms: int = 1000
    log_path: str = None
    capture_path: str = None                # also record every call into the strategy there

    def plan(self):
        return replace(SessionPlan(), snapshot_interval_ms=self.snapshot_interval_ms,
                       minutes_per_half=self.minutes_per_half, l2_orders_per_snapshot=self.l2_orders_per_snapshot)

    def validate(self):
        if self.minutes_per_half < MIN_MINUTES_PER_HALF:
            raise ValueError(f"minutes per half-day must be at least {MIN_MINUTES_PER_HALF}")
        if not 1 <= self.days <= 250:
            raise ValueError("days must be within 1..250")
        self.plan()


NS_PER_MIN = 60 * NS_PER_S


class MinuteTimedSimulator(Simulator):
    """The simulator, also keeping every callback's duration by the simulated minute it ran in.

    The duration is the one the simulator just measured (in threaded delivery
    every timed call runs under the delivery lock, so the last sample is this
    call's); the bookkeeping happens after the clock stopped.
    """

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.latency_by_minute = defaultdict(lambda: array("q"))    # minute (ns // 60 s) -> durations

    def _timed_call(self, name, fn, args=()):
        super()._timed_call(name, fn, args)
        self.latency_by_minute[self.clock.now_ns() // NS_PER_MIN].append(self._latency[name][-1])


class LogTap(logging.Handler):
    """Counts the host loggers' lines during a run (and writes them to a file if asked).

    A file that cannot be written (a full disk) stops the writing, never the session:
    ``error`` keeps why, for the report.
    """

    NAMES = ("system_log", "user_system_log")

    def __init__(self, path=None):
        super().__init__(logging.INFO)
        self.lines = Counter()
        self.not_trading_days = 0
        self._own_file = bool(path) and path != "-"
        self._file = sys.stdout if path == "-" else open(path, "w", encoding="utf-8") if path else None
        self.error = None
        self._saved = []

    def emit(self, record):
        self.lines[record.name] += 1
        msg = record.getMessage()
        if " not trade day... " in msg:
            self.not_trading_days += 1
        if self._file is not None and self.error is None:
            try:
                self._file.write(f"{record.name} {record.levelname} {msg}\n")
            except OSError as exc:
                self.error = exc

    def __enter__(self):
        for name in self.NAMES:
            logger = logging.getLogger(name)
            self._saved.append((logger, logger.propagate))
            logger.addHandler(self)
            logger.propagate = False
        return self

    def __exit__(self, *exc):
        for logger, propagate in self._saved:
            logger.removeHandler(self)
            logger.propagate = propagate
        try:
            if self._own_file:
                self._file.close()
            elif self._file is not None:
                self._file.flush()
        except OSError as exc:
            self.error = self.error or exc
        return False


def run_simulation(options=Options(), progress=None, tl=None):
    """Runs one session; returns ``(report, host, result)``.  With ``options.capture_path``
    the strategy is wrapped by ``tessaline_tools.capture.capturing`` (the writer is
    ``result.capture``; ``result.capture_error`` is why the capture is incomplete, or None:
    a capture that fails, a full disk say, never costs the session or its report)."""
    options.validate()
    if tl is None:
        import corvix.tarrow.utils.tessaline as tl
    plan = options.plan()
    sim = MinuteTimedSimulator(seed=options.seed, instruments=options.instruments, days=options.days,
                               start=options.start, plan=plan, threaded=options.threaded, step_ms=options.step_ms,
                               accounts={TDType.SIM: FUND_ACCOUNT}, trader_id=ALGO_ACCOUNT)
    config = Config(base=BaseConfig(accounts={"STOCK": f"{FUND_ACCOUNT}_SIM"}, md_type="VoMD", order_way=None,
                                    algo_account=f"{ALGO_ACCOUNT}_XTA",
                                    trading_calendar=TradingCalendar(sim.trading_days)))
    account = Account(FUND_ACCOUNT)
    universe = [i.security_id + "." + get_exchane_from_vorn_mdtype(i.market_type) for i in sim.universe]
    env = Environment.reset(universe=universe, accounts=account, config=config)
    _reset_module_state(tl)
    host = DemoHost(tl, sim, account)
    strategy_class = tl.VornStrategy
    if options.capture_path:
        from tessaline_tools.capture import capturing
        strategy_class = capturing(tl.VornStrategy, options.capture_path)
    host.install()
    capture_error = None
    try:
        with LogTap(options.log_path) as logs, sim.module_clock(tl):
            strategy = strategy_class(config)
            result = sim.run(strategy, config, host, progress)
            host.finish(expected_bars=plan.bars_per_day * options.days)
    finally:
        host.uninstall()
        if options.capture_path:
            capture_error = _close_capture(strategy_class.capture)
    result.capture = strategy_class.capture if options.capture_path else None
    result.capture_error = capture_error
    result.log_error = logs.error
    report = build_report(options, sim, host, result, logs, env)
    return report, host, result


def _close_capture(writer):
    """Closes the capture writer; returns why the capture is incomplete, or None."""
    from tessaline_tools.capture import CaptureWriteError
    try:
        writer.close()
    except (CaptureWriteError, OSError) as exc:
        return exc
    return getattr(writer, "error", None)


def _reset_module_state(tl):
    """A session starts from empty module state (the module lives as long as the process)."""
    for name in ("orders_dict", "history_bar", "history_tick", "algo_parent_orders", "algo_child_orders",
                 "algo_child_trades"):
        getattr(tl, name).clear()
    queue = tl.event_queue
    while len(queue):
        queue.popleft()
