"""One simulated session of the real module: environment, configuration, gateway, host, report."""
import logging
from collections import Counter
from dataclasses import dataclass, replace
from datetime import date

from corvix.tarrow.config import BaseConfig, Config, TradingCalendar
from corvix.tarrow.environment import Environment
from corvix.tarrow.portfolio.account import Account
from corvix.tarrow.utils.trade_func import get_exchane_from_vorn_mdtype
from pyvorn.enums import TDType
from pyvorn.sim_market import SessionPlan
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


class LogTap(logging.Handler):
    """Counts the host loggers' lines during a run (and writes them to a file if asked)."""

    NAMES = ("system_log", "user_system_log")

    def __init__(self, path=None):
        super().__init__(logging.INFO)
        self.lines = Counter()
        self.not_trading_days = 0
        self._file = open(path, "w", encoding="utf-8") if path else None
        self._saved = []

    def emit(self, record):
        self.lines[record.name] += 1
        msg = record.getMessage()
        if " not trade day... " in msg:
            self.not_trading_days += 1
        if self._file is not None:
            self._file.write(f"{record.name} {record.levelname} {msg}\n")

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
        if self._file is not None:
            self._file.close()
        return False


def run_simulation(options=Options(), progress=None, tl=None):
    """Runs one session; returns ``(report, host, result)``.  With ``options.capture_path``
    the strategy is wrapped by ``tessaline_tools.capture.capturing`` (the writer is
    ``result.capture``)."""
    options.validate()
    if tl is None:
        import corvix.tarrow.utils.tessaline as tl
    plan = options.plan()
    sim = Simulator(seed=options.seed, instruments=options.instruments, days=options.days, start=options.start,
                    plan=plan, threaded=options.threaded, step_ms=options.step_ms,
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
    try:
        with LogTap(options.log_path) as logs, sim.module_clock(tl):
            strategy = strategy_class(config)
            result = sim.run(strategy, config, host, progress)
            host.finish(expected_bars=plan.bars_per_day * options.days)
    finally:
        host.uninstall()
        if options.capture_path:
            strategy_class.capture.close()
    result.capture = strategy_class.capture if options.capture_path else None
    report = build_report(options, sim, host, result, logs, env)
    return report, host, result


def _reset_module_state(tl):
    """A session starts from empty module state (the module lives as long as the process)."""
    for name in ("orders_dict", "history_bar", "history_tick", "algo_parent_orders", "algo_child_orders",
                 "algo_child_trades"):
        getattr(tl, name).clear()
    queue = tl.event_queue
    while len(queue):
        queue.popleft()
