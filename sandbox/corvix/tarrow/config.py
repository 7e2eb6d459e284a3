"""Host configuration objects, as the bridge reads them through ``config.base``.

    config = Config(base=BaseConfig(
        accounts={"STOCK": "1001_XTP"},            # values: "<account>_<gateway>"
        md_type="VoMD",                            # or anything else for the other source
        order_way=None,
        algo_account="2001_XTA",                   # or None
        trading_calendar=TradingCalendar.weekdays("2025-01-01", "2025-12-31"),
    ))
"""
from dataclasses import dataclass, field
from datetime import date, datetime

import numpy as np


class TradingCalendar:
    """A set of trading days; ``day in calendar`` accepts a ``numpy.datetime64``,
    a ``date``/``datetime`` or an ISO date string."""

    def __init__(self, days=()):
        self._days = np.unique(np.array([np.datetime64(self._as_day(d), "D") for d in days],
                                        dtype="datetime64[D]"))
        self._set = frozenset(self._days.tolist())

    @staticmethod
    def _as_day(value):
        if isinstance(value, datetime):
            return value.date()
        return value

    @classmethod
    def weekdays(cls, start, end, holidays=()):
        """Monday-to-Friday days from ``start`` to ``end`` inclusive, less ``holidays``."""
        days = np.arange(np.datetime64(start, "D"), np.datetime64(end, "D") + 1)
        days = days[np.is_busday(days)]
        closed = {np.datetime64(cls._as_day(h), "D") for h in holidays}
        return cls(d for d in days if d not in closed)

    def __contains__(self, value):
        try:
            day = np.datetime64(self._as_day(value), "D")
        except (TypeError, ValueError):
            return False
        return day.tolist() in self._set

    def __len__(self):
        return len(self._days)

    def __iter__(self):
        return iter(self._days)

    def __str__(self):
        if not len(self._days):
            return "TradingCalendar(empty)"
        return f"TradingCalendar({self._days[0]}..{self._days[-1]}, {len(self._days)} days)"

    __repr__ = __str__


def _today_calendar():
    return TradingCalendar([date.today()])


@dataclass
class BaseConfig:
    accounts: dict = field(default_factory=dict)
    md_type: object = "XMD"
    order_way: object = None
    algo_account: object = None
    trading_calendar: object = field(default_factory=_today_calendar)


@dataclass
class Config:
    base: BaseConfig = field(default_factory=BaseConfig)
