"""What the module sees in a replay: its clock, calendar, environment, loggers and
SDK context, given from the capture instead of a live host."""
import datetime as _dt

from tessaline_tools._capture_values import Missing


class Clock:
    """The replay's clock: a captured moment, moved on by the wall time between calls.
    The moment is worked out only when the module asks for it."""

    __slots__ = ("base", "base_wall_ns", "wall_ns")

    def __init__(self):
        self.base = _dt.datetime(2000, 1, 1)
        self.base_wall_ns = None
        self.wall_ns = None

    def set(self, moment, wall_ns):
        self.base, self.base_wall_ns, self.wall_ns = moment, wall_ns, wall_ns

    @property
    def moment(self):
        if self.base_wall_ns is None or self.wall_ns is None:
            return self.base
        try:
            return self.base + _dt.timedelta(microseconds=(self.wall_ns - self.base_wall_ns) // 1000)
        except OverflowError:
            return self.base


class ReplayDatetime(_dt.datetime):
    """The module's ``datetime`` in a replay: ``now()`` is the replay clock's moment.  A
    class of its own module, so values of it pickle like any datetime."""

    __slots__ = ()
    clock = Clock()

    @classmethod
    def now(cls, tz=None):
        m = cls.clock.moment
        if tz is not None:
            return tz.fromutc(m.replace(tzinfo=tz))
        return cls(m.year, m.month, m.day, m.hour, m.minute, m.second, m.microsecond)

    @classmethod
    def today(cls):
        return cls.now()


ReplayDatetime.__qualname__ = "ReplayDatetime"


class ClockNumpy:
    """numpy whose ``datetime64("today", unit)`` is the replay clock's day."""

    def __init__(self, clock, np):
        self._clock, self._np = clock, np

    def datetime64(self, value=None, *args):
        if isinstance(value, str) and value == "today":
            return self._np.datetime64(self._clock.moment.date(), *(args or ("D",)))
        return self._np.datetime64(value, *args) if value is not None else self._np.datetime64()

    def __getattr__(self, name):
        return getattr(self._np, name)


class Calendar:
    """The trading calendar as captured: its text, its days where they could be listed,
    and the answers the live calendar gave for the days the clock asked about."""

    def __init__(self, captured):
        if not isinstance(captured, dict):
            captured = {}
        self.text = captured.get("text", "")
        days = captured.get("days")
        self.days = {d for d in days if isinstance(d, str)} if isinstance(days, list) else None
        self.answers = {}
        self._missing = self.text if isinstance(self.text, Missing) else None

    def __contains__(self, value):
        key = str(value)
        if key in self.answers:
            return self.answers[key]
        return self.days is not None and key in self.days

    def __format__(self, spec):
        if self._missing is not None:
            raise self._missing.exception()
        return format(str(self.text), spec)

    def __str__(self):
        return self.__format__("")

    def __iter__(self):
        return iter(sorted(self.days or ()))


class Base:
    def __repr__(self):
        return f"base({', '.join(f'{k}={v!r}' for k, v in vars(self).items())})"


class Config:
    def __init__(self):
        self.base = Base()


class DataProxy:
    def __init__(self):
        self.known = {}

    def instruments(self, market_code):
        if isinstance(market_code, str):
            v = self.known.get(market_code)
            if type(v) is Missing:
                raise v.exception()
            return v
        return [self.known[c] for c in market_code if self.known.get(c) is not None]


class Environment:
    """What ``Environment.get_instance()`` gives the module in a replay."""

    def __init__(self):
        self.data_proxy = DataProxy()
        self.universe = []
        self.accounts = {}
        self.error = None

    def get_universe(self):
        return list(self.universe)

    def get_account(self, market_code):
        acct = self.accounts.get(market_code)
        if acct is None:
            raise KeyError(f"no account for {market_code!r}")
        if type(acct) is Missing:
            raise acct.exception()
        return acct


def environment_class(env):
    class Environment:
        @classmethod
        def get_instance(cls):
            if env.error is not None:
                raise env.error.exception()
            return env
    return Environment


def _text(v):
    return v if isinstance(v, str) else repr(v)


class Log:
    def __init__(self, name, lines):
        self._name, self._lines = name, lines

    def info(self, msg, *args, **kwargs):
        self._lines.append([self._name, "info", _text(msg)])

    def warning(self, msg, *args, **kwargs):
        self._lines.append([self._name, "warning", _text(msg)])

    def __getattr__(self, level):
        if level.startswith("_"):
            raise AttributeError(level)

        def log(msg, *args, **kwargs):
            self._lines.append([self._name, level, _text(msg)])
        return log


class Context:
    """The SDK context in a replay: records every call; timers are fired by the capture."""

    def __init__(self, calls):
        object.__setattr__(self, "_calls", calls)

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        calls = self._calls

        def call(*args, **kwargs):
            calls.append((name, args, kwargs))
            return None
        call.__name__ = name
        return call

    def __reduce__(self):
        return (str, ("<replay context>",))
