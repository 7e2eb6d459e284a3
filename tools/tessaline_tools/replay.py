"""``tessaline-replay``: replay a capture through the module, or compare implementations on it.

    tessaline-replay CAPTURE [CAPTURE...]                     replay through the installed module
    tessaline-replay CAPTURE --impl A.so --impl B.so          compare two implementations
    tessaline-replay CAPTURE --impl old/tessaline.py --impl new.so --json result.json

A replay feeds the captured calls, in capture order, to a fresh ``VornStrategy``
of the module.  The module's clock (its ``datetime`` and ``np`` globals) gives
the captured moments, its ``Environment`` global gives the captured universe,
instruments and accounts, each order report finds the host order as it stood
before the live report, the strategy's context records the calls made on it,
its loggers record their lines and its ``event_queue`` collects the events of
each call.  The host's model classes and conversion functions are those
installed (the stand-ins, or the real host where it is installed).

With ``--impl``, each implementation (a compiled ``.so`` or a Python source
file of the module) is loaded under the full name ``corvix.tarrow.utils.tessaline``
in a fresh process of its own and replays the capture; the results are then
compared call by call: the events appended (type and every field, host objects
by their attributes, objects shared with the module's state or the arguments
told apart from copies), the exception raised (type and text), the log lines and
the calls made on the SDK context.

Exit status: 0 the replay ran (the implementations agree), 1 the implementations
differ, 2 bad input (not a capture, unknown format, damaged, an implementation
that does not import).
"""
import argparse
import collections
import datetime as _dt
import enum
import importlib.machinery
import importlib.util
import json
import math
import os
import subprocess
import sys
import tempfile
import time
import types

MODULE_NAME = "corvix.tarrow.utils.tessaline"
EXIT_OK, EXIT_DIFFER, EXIT_BAD_INPUT = 0, 1, 2


class ImplementationError(Exception):
    """An implementation that could not be loaded."""


# ---------------------------------------------------------------- loading an implementation

def load_implementation(path):
    """Loads the module from ``path`` under its full name and returns it.  A Python source
    file may put another module object in ``sys.modules`` under that name while it runs
    (as any module may); that object is then the implementation."""
    path = os.path.abspath(os.fspath(path))
    if not os.path.isfile(path):
        raise ImplementationError(f"{path}: no such file")
    if MODULE_NAME in sys.modules:
        raise ImplementationError(f"{MODULE_NAME} is already imported in this process")
    parent_name, _, leaf = MODULE_NAME.rpartition(".")
    try:
        parent = importlib.import_module(parent_name)
    except Exception as exc:                                       # noqa: BLE001
        raise ImplementationError(f"the host package {parent_name} does not import: "
                                  f"{type(exc).__name__}: {exc}") from None
    if path.endswith(".py"):
        loader = importlib.machinery.SourceFileLoader(MODULE_NAME, path)
    else:
        loader = importlib.machinery.ExtensionFileLoader(MODULE_NAME, path)   # PyInit_tessaline
    spec = importlib.util.spec_from_file_location(MODULE_NAME, path, loader=loader)
    try:
        module = importlib.util.module_from_spec(spec)
        sys.modules[MODULE_NAME] = module
        spec.loader.exec_module(module)
    except BaseException as exc:                                   # noqa: BLE001 - reported as such
        sys.modules.pop(MODULE_NAME, None)
        raise ImplementationError(f"{path} does not import: {type(exc).__name__}: {exc}") from None
    module = sys.modules.get(MODULE_NAME, module)
    setattr(parent, leaf, module)
    if not hasattr(module, "VornStrategy"):
        raise ImplementationError(f"{path} imports but defines no VornStrategy")
    return module


def installed_module():
    try:
        return importlib.import_module(MODULE_NAME)
    except Exception as exc:                                       # noqa: BLE001
        raise ImplementationError(f"the installed module does not import: {type(exc).__name__}: {exc}") from None


# ---------------------------------------------------------------- what the module sees in a replay

class _Clock:
    def __init__(self):
        self.moment = _dt.datetime(2000, 1, 1)


def _clock_datetime(clock):
    class datetime(_dt.datetime):
        __slots__ = ()

        @classmethod
        def now(cls, tz=None):
            m = clock.moment
            if tz is not None:
                return tz.fromutc(m.replace(tzinfo=tz))
            return cls(m.year, m.month, m.day, m.hour, m.minute, m.second, m.microsecond)

        @classmethod
        def today(cls):
            return cls.now()

    datetime.__qualname__ = "datetime"
    return datetime


class _ClockNumpy:
    """numpy whose ``datetime64("today", unit)`` is the replay clock's day."""

    def __init__(self, clock, np):
        self._clock, self._np = clock, np

    def datetime64(self, value=None, *args):
        if isinstance(value, str) and value == "today":
            return self._np.datetime64(self._clock.moment.date(), *(args or ("D",)))
        return self._np.datetime64(value, *args) if value is not None else self._np.datetime64()

    def __getattr__(self, name):
        return getattr(self._np, name)


class _Calendar:
    """The trading calendar as captured: its text, its days where they could be listed,
    and the answers the live calendar gave for the days the clock asked about."""

    def __init__(self, captured):
        from tessaline_tools._capture_values import Missing
        self.text = captured.get("text", "")
        days = captured.get("days")
        self.days = set(days) if isinstance(days, list) else None
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
        return format(self.text, spec)

    def __str__(self):
        return self.__format__("")

    def __iter__(self):
        return iter(sorted(self.days or ()))


class _Base:
    def __repr__(self):
        return f"base({', '.join(f'{k}={v!r}' for k, v in vars(self).items())})"


class _Config:
    def __init__(self):
        self.base = _Base()


class _DataProxy:
    def __init__(self):
        self.known = {}

    def instruments(self, market_code):
        from tessaline_tools._capture_values import Missing
        if isinstance(market_code, str):
            v = self.known.get(market_code)
            if type(v) is Missing:
                raise v.exception()
            return v
        return [self.known[c] for c in market_code if self.known.get(c) is not None]


class _Environment:
    """What ``Environment.get_instance()`` gives the module in a replay."""

    def __init__(self):
        self.data_proxy = _DataProxy()
        self.universe = []
        self.accounts = {}
        self.error = None

    def get_universe(self):
        return list(self.universe)

    def get_account(self, market_code):
        from tessaline_tools._capture_values import Missing
        acct = self.accounts.get(market_code)
        if acct is None:
            raise KeyError(f"no account for {market_code!r}")
        if type(acct) is Missing:
            raise acct.exception()
        return acct


def _environment_class(env):
    class Environment:
        @classmethod
        def get_instance(cls):
            if env.error is not None:
                raise env.error.exception()
            return env
    return Environment


class _Log:
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


def _text(v):
    return v if isinstance(v, str) else repr(v)


class _Context:
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


# ---------------------------------------------------------------- the replay

class Outcome:
    __slots__ = ("call", "events", "error", "logs", "context_calls")

    def __init__(self, call, events, error, logs, context_calls):
        self.call, self.events, self.error = call, events, error
        self.logs, self.context_calls = logs, context_calls


GLOBALS = ("datetime", "np", "Environment", "event_queue", "system_log", "user_system_log")


class Replay:
    """Replays one capture through ``module``; iterate ``run()`` for an ``Outcome`` per call.
    The module's globals are given back when the replay ends."""

    def __init__(self, module, reader):
        from tessaline_tools.capture import CONFIG_MARK
        self.module = module
        self.reader = reader
        self._config_mark = CONFIG_MARK
        self.clock = _Clock()
        self.env = _Environment()
        self.config = _Config()
        self.calendar = None
        self.events = []
        self.logs = []
        self.context_calls = []
        self.context = _Context(self.context_calls)
        self.strategy = None
        self.constructed_for_replay = False
        self._saved = {}
        self._last_wall = None

    def _install(self):
        m = self.module.__dict__
        import numpy as np
        replacement = {"datetime": _clock_datetime(self.clock), "np": _ClockNumpy(self.clock, np),
                       "Environment": _environment_class(self.env), "event_queue": self.events,
                       "system_log": _Log("system_log", self.logs),
                       "user_system_log": _Log("user_system_log", self.logs)}
        for name, value in replacement.items():
            if name in m:
                self._saved[name] = m[name]
                m[name] = value
        for name in ("orders_dict", "history_bar", "history_tick", "algo_parent_orders", "algo_child_orders",
                     "algo_child_trades"):
            store = m.get(name)
            if hasattr(store, "clear"):
                store.clear()

    def _uninstall(self):
        self.module.__dict__.update(self._saved)
        self._saved = {}

    # -- the captured state before a call

    def _apply_config(self, fields):
        from tessaline_tools._capture_values import Missing
        base = _Base()
        if type(fields.get("base")) is Missing:
            self.config.__dict__.pop("base", None)
            return
        for name, value in fields.items():
            if type(value) is Missing:
                continue
            if name == "trading_calendar":
                cal = _Calendar(value)
                if self.calendar is not None:
                    cal.answers.update(self.calendar.answers)
                self.calendar = cal
                value = cal
            elif name == "accounts":
                value = dict((k, v) for k, v in value["items"]) if "items" in value else value.get("value")
            setattr(base, name, value)
        self.config.base = base

    def _apply_env(self, env):
        from tessaline_tools._capture_values import Missing
        if "error" in env:
            self.env.error = env["error"]
            return
        self.env.error = None
        self.env.universe = list(env.get("universe", ()))
        self.env.data_proxy.known = dict(env.get("instruments", {}))
        _ = Missing

    def _apply_order(self, order):
        from tessaline_tools.capture import ABSENT
        store = self.module.__dict__.get("orders_dict")
        if not isinstance(store, dict) or "id" not in order:
            return
        cid = order["id"]
        host_order = order.get("order")
        if host_order == ABSENT or host_order is None:
            store.pop(cid, None)
            return
        store[cid] = host_order
        if "market_code" in order and "account" in order:
            self.env.accounts[order["market_code"]] = order["account"]

    def _before(self, call):
        pre = call.pre
        clock = pre.get("clock")
        if isinstance(clock, _dt.datetime):
            self.clock.moment = clock
        elif self._last_wall is not None:
            self.clock.moment += _dt.timedelta(microseconds=(call.wall_ns - self._last_wall) // 1000)
        self._last_wall = call.wall_ns
        if "config" in pre:
            self._apply_config(pre["config"])
        if "env" in pre:
            self._apply_env(pre["env"])
        cal = pre.get("calendar")
        if cal and "today" in cal and self.calendar is not None:
            self.calendar.answers[cal["today"]] = cal["trading_day"]
        if "order" in pre:
            self._apply_order(pre["order"])

    def _args(self, call):
        mark = self._config_mark
        args = [self.config if a == mark else a for a in call.args]
        kwargs = {k: (self.config if v == mark else v) for k, v in call.kwargs.items()}
        return args, kwargs

    def _construct(self, call=None):
        if call is not None:
            args, kwargs = self._args(call)
        else:
            args, kwargs = [self.config], {}
            self.constructed_for_replay = True
        self.strategy = self.module.VornStrategy(*args, **kwargs)
        self.strategy.context = self.context

    def run(self):
        self._install()
        try:
            events, logs, ctx = self.events, self.logs, self.context_calls
            for call in self.reader:
                if self.strategy is None and call.name != "__init__":
                    carry = self.reader.carry or {}
                    if "config" in carry:
                        self._apply_config(carry["config"])
                    if "env" in carry:
                        self._apply_env(carry["env"])
                    self._construct()
                self._before(call)
                error = None
                try:
                    if call.name == "__init__":
                        self._construct(call)
                    else:
                        args, kwargs = self._args(call) if call.pre or call.kwargs else (call.args, call.kwargs)
                        getattr(self.strategy, call.name)(*args, **kwargs)
                except Exception as exc:                           # noqa: BLE001 - a replayed callback raising
                    error = exc
                out = Outcome(call, list(events), error, list(logs), list(ctx))
                events.clear()
                logs.clear()
                ctx.clear()
                yield out
        finally:
            self._uninstall()


def exception_name(exc):
    t = type(exc)
    return t.__qualname__ if t.__module__ == "builtins" else f"{t.__module__}.{t.__qualname__}"


# ---------------------------------------------------------------- normalising what a call did

_SCALARS = (type(None), bool, int, str)


class Normalizer:
    """Turns what one call did into plain, comparable values.  Objects met twice within the
    call are told by the path of their first appearance; objects that are the module's own
    state, the captured arguments or host objects given to the module carry a label."""

    MAX_DEPTH = 10

    def __init__(self, replay):
        self.replay = replay
        self.module = replay.module

    def outcome(self, out):
        self._seen = {}
        self._labels = None
        self._call = out.call
        self._strategy = self.replay.strategy
        events = [self.value(ev, f"event[{i}]") for i, ev in enumerate(out.events)]
        ctx = [[name, [self.value(a, f"context.{name}[{j}]") for j, a in enumerate(args)],
                [[k, self.value(v, f"context.{name}.{k}")] for k, v in kwargs.items()]]
               for name, args, kwargs in out.context_calls]
        error = None if out.error is None else [exception_name(out.error), _safe_str(out.error)]
        return {"i": out.call.position, "cb": out.call.name, "events": events, "error": error,
                "logs": out.logs, "context": ctx}

    def _build_labels(self):
        labels = {}
        m = self.module.__dict__
        for store in ("orders_dict", "algo_parent_orders", "algo_child_orders", "algo_child_trades"):
            d = m.get(store)
            if isinstance(d, dict):
                for k, v in d.items():
                    labels.setdefault(id(v), f"{store}[{k!r}]")
        env = self.replay.env
        for code, acct in env.accounts.items():
            labels.setdefault(id(acct), f"account({code})")
        for code, inst in env.data_proxy.known.items():
            if inst is not None:
                labels.setdefault(id(inst), f"instrument({code})")
        call = self._call
        for i, a in enumerate(call.args):
            self._label_arg(labels, a, f"arg[{i}]")
        for k, a in call.kwargs.items():
            self._label_arg(labels, a, f"arg.{k}")
        if self._strategy is not None:
            labels.setdefault(id(self._strategy), "strategy")
        labels.setdefault(id(self.replay.config), "config")
        labels.setdefault(id(self.replay.context), "context")
        self._labels = labels

    @staticmethod
    def _label_arg(labels, a, path):
        if isinstance(a, _SCALARS) or isinstance(a, (float, enum.Enum)):
            return
        labels.setdefault(id(a), path)
        if isinstance(a, list):
            for j, r in enumerate(a):
                Normalizer._label_arg(labels, r, f"{path}[{j}]")
            return
        d = getattr(a, "__dict__", None)
        items = list(d.items()) if isinstance(d, dict) else []
        for name in getattr(type(a), "__slots__", ()) or ():
            try:
                items.append((name, getattr(a, name)))
            except AttributeError:
                pass
        for name, v in items:
            if not isinstance(v, _SCALARS) and not isinstance(v, (float, enum.Enum)):
                labels.setdefault(id(v), f"{path}.{name}")

    def _shared_label(self, v):
        if self._labels is None:
            self._build_labels()
        label = self._labels.get(id(v))
        if label is None and type(v) is dict:
            code = v.get("market_code")
            if isinstance(code, str):
                for store in ("history_tick", "history_bar"):
                    d = self.module.__dict__.get(store)
                    h = d.get(code) if isinstance(d, dict) else None
                    if h:
                        for j in range(len(h) - 1, max(len(h) - 61, -1), -1):
                            if h[j] is v:
                                return f"{store}[{code!r}][{j - len(h)}]"
        return label

    def value(self, v, path, depth=0):
        t = type(v)
        if t in _SCALARS:
            return v
        if t is float:
            return v if math.isfinite(v) else ["float", repr(v)]
        if isinstance(v, enum.Enum):
            return ["enum", f"{t.__module__}.{t.__qualname__}", v.name]
        if depth > self.MAX_DEPTH:
            return ["deep", f"{t.__module__}.{t.__qualname__}"]
        first = self._seen.get(id(v))
        if first is not None:
            return ["same", first]
        self._seen[id(v)] = path
        self._seen_keep = getattr(self, "_seen_keep", [])
        inner = self._inner(v, t, path, depth + 1)
        label = self._shared_label(v)
        return ["shared", label, inner] if label is not None else inner

    def _inner(self, v, t, path, depth):
        if isinstance(v, _dt.datetime):
            return ["datetime", v.isoformat()]
        if isinstance(v, _dt.date):
            return ["date", v.isoformat()]
        if isinstance(v, (_dt.time, _dt.timedelta)):
            return [t.__name__, str(v)]
        if isinstance(v, bytes):
            return ["bytes", v.hex()]
        if isinstance(v, (int, str, float)):                       # subclasses
            return ["sub", f"{t.__module__}.{t.__qualname__}", self.value(t.__mro__[1](v), path, depth)]
        if t is list or t is tuple:
            return [t.__name__, [self.value(x, f"{path}[{i}]", depth) for i, x in enumerate(v)]]
        if isinstance(v, collections.deque):
            return ["deque", v.maxlen, [self.value(x, f"{path}[{i}]", depth) for i, x in enumerate(v)]]
        if isinstance(v, dict):
            return [("dict" if t is dict else f"{t.__module__}.{t.__qualname__}"),
                    [[self.value(k, f"{path}.key", depth), self.value(x, f"{path}[{k!r}]", depth)]
                     for k, x in v.items()]]
        if isinstance(v, (set, frozenset)):
            return [t.__name__, sorted(repr(x) for x in v)]
        if isinstance(v, types.MethodType):
            owner = "strategy" if v.__self__ is self._strategy else type(v.__self__).__qualname__
            return ["method", owner, v.__func__.__name__]
        if isinstance(v, (types.FunctionType, types.BuiltinFunctionType, type, types.ModuleType)):
            return ["ref", getattr(v, "__qualname__", getattr(v, "__name__", repr(v)))]
        np = sys.modules.get("numpy")
        if np is not None and isinstance(v, np.generic):
            return ["np", str(v.dtype), self.value(v.item(), path, depth)]
        if np is not None and isinstance(v, np.ndarray):
            return ["ndarray", str(v.dtype), list(v.shape), repr(v.tolist())[:2000]]
        return ["obj", _class_name(t), [[name, self.value(x, f"{path}.{name}", depth)] for name, x in _attrs(v)]]


def _class_name(t):
    module, qualname = t.__module__, t.__qualname__
    from tessaline_tools._capture_values import HostObject, ReplayRecord
    if issubclass(t, (HostObject, ReplayRecord)):
        module, qualname = t._cls_module, t._cls_qualname      # a stand-in names the class it stands for
    return f"{module}.{qualname}"


def _attrs(v):
    from tessaline_tools._capture_values import attribute_names
    out = []
    for name in attribute_names(type(v)):
        try:
            out.append((name, getattr(v, name)))
        except AttributeError:
            pass
    d = getattr(v, "__dict__", None)
    if isinstance(d, dict):
        out.extend((k, x) for k, x in d.items() if isinstance(k, str) and k != "_missing")
    if not out:
        out.append(("repr", _safe_repr(v)))
    return out


def _safe_str(exc):
    try:
        return str(exc)
    except Exception:                                              # noqa: BLE001
        return f"<{type(exc).__qualname__}: str() failed>"


def _safe_repr(v):
    try:
        return repr(v)
    except Exception:                                              # noqa: BLE001
        return f"<{type(v).__qualname__}>"


# ---------------------------------------------------------------- running a replay

class Summary:
    def __init__(self):
        self.callbacks = collections.Counter()
        self.events = collections.Counter()
        self.raised_replay = {}               # position -> (callback, type, text)
        self.calls = 0
        self.seconds = 0.0
        self.constructed_for_replay = False

    def add(self, out):
        self.calls += 1
        self.callbacks[out.call.name] += 1
        for ev in out.events:
            et = getattr(ev, "event_type", None)
            self.events[getattr(et, "name", type(ev).__name__)] += 1
        if out.error is not None:
            self.raised_replay[out.call.position] = (out.call.name, exception_name(out.error), _safe_str(out.error))

    def as_dict(self, reader):
        live = {pos: list(v) for pos, v in sorted(reader.raised.items())}
        replay = {pos: list(v) for pos, v in sorted(self.raised_replay.items())}
        mismatched = sorted(p for p in set(live) | set(replay)
                            if (live.get(p) or [None])[1:] != (replay.get(p) or [None])[1:])
        return {
            "calls": self.calls,
            "callbacks": dict(self.callbacks.most_common()),
            "events": dict(self.events.most_common()),
            "raised_live": {str(k): v for k, v in live.items()},
            "raised_replay": {str(k): v for k, v in replay.items()},
            "raised_differently": mismatched,
            "seconds": round(self.seconds, 3),
            "calls_per_second": round(self.calls / self.seconds) if self.seconds > 0 else None,
            "capture_complete": reader.complete,
            "damage": [d.as_dict() for d in reader.damage],
            "constructed_for_replay": self.constructed_for_replay,
        }


def replay_capture(module, paths, observe=None):
    """Replays ``paths`` through ``module``; ``observe(outcome)`` is called per call.
    Returns ``(summary dict, reader)``."""
    from tessaline_tools.capture import CaptureReader
    reader = CaptureReader(paths)
    reader.check()
    replay = Replay(module, reader)
    summary = Summary()
    t0 = time.perf_counter()
    for out in replay.run():
        summary.add(out)
        if observe is not None:
            observe(out)
    summary.seconds = time.perf_counter() - t0
    summary.constructed_for_replay = replay.constructed_for_replay
    return summary.as_dict(reader), reader


# ---------------------------------------------------------------- the worker (one implementation)

def _worker(impl, paths, out_path, status_path):
    import msgpack
    import zstandard
    status = {"impl": impl}
    try:
        module = load_implementation(impl) if impl != "-" else installed_module()
    except ImplementationError as exc:
        status.update(ok=False, kind="import", error=str(exc))
        _write_json(status_path, status)
        return 3
    from tessaline_tools._capture_file import CaptureError
    try:
        with open(out_path, "wb") as raw:
            with zstandard.ZstdCompressor(level=1).stream_writer(raw) as w:
                packer = msgpack.Packer(use_bin_type=True)
                holder = {}

                def observe(out):
                    w.write(packer.pack(holder["norm"].outcome(out)))
                from tessaline_tools.capture import CaptureReader
                reader = CaptureReader(paths)
                reader.check()
                replay = Replay(module, reader)
                holder["norm"] = Normalizer(replay)
                summary = Summary()
                t0 = time.perf_counter()
                for out in replay.run():
                    summary.add(out)
                    observe(out)
                summary.seconds = time.perf_counter() - t0
                summary.constructed_for_replay = replay.constructed_for_replay
        status.update(ok=True, summary=summary.as_dict(reader), module_file=getattr(module, "__file__", None))
    except CaptureError as exc:
        status.update(ok=False, kind="capture", error=str(exc))
    except Exception as exc:                                       # noqa: BLE001 - reported by the parent
        import traceback
        status.update(ok=False, kind="internal", error=f"{type(exc).__name__}: {exc}",
                      traceback=traceback.format_exc())
    _write_json(status_path, status)
    return 0 if status["ok"] else 4


def _write_json(path, obj):
    with open(path, "w", encoding="utf-8") as f:
        json.dump(obj, f, indent=2, default=str)


def _read_observations(path):
    import msgpack
    import zstandard
    with open(path, "rb") as raw:
        reader = zstandard.ZstdDecompressor().stream_reader(raw)
        unpacker = msgpack.Unpacker(reader, raw=False, strict_map_key=False, max_buffer_size=1 << 31)
        yield from unpacker


# ---------------------------------------------------------------- comparing

def first_difference(a, b, path=""):
    """The first place where two normalised values differ: ``(path, a part, b part)``."""
    if type(a) is not type(b):
        return path, a, b
    if isinstance(a, list):
        if a and b and isinstance(a[0], str) and a[0] != b[0] and "shared" in (a[0], b[0]):
            def label(v):
                return v[1] if v[0] == "shared" and len(v) == 3 else "nothing: an object of its own"
            return path + " <shared with>", ["names", [label(a)]], ["names", [label(b)]]
        if a and b and isinstance(a[0], str) and a[0] in ("obj", "enum", "same") and a[0] != b[0]:
            return path, a, b
        if a and b and a[0] == "obj" and len(a) == 3 and len(b) == 3:
            if a[1] != b[1]:
                return path + ".__class__", a[1], b[1]
            fa, fb = dict((k, v) for k, v in a[2]), dict((k, v) for k, v in b[2])
            if set(fa) != set(fb):
                return path + " fields", ["names", list(fa)], ["names", list(fb)]
            for k in fa:
                d = first_difference(fa[k], fb[k], f"{path}.{k}")
                if d is not None:
                    return d
            if [k for k, _ in a[2]] != [k for k, _ in b[2]]:
                return path + ".<attribute order>", [k for k, _ in a[2]], [k for k, _ in b[2]]
            return None
        if a and b and a[0] == "shared" and len(a) == 3 and len(b) == 3:
            if a[1] != b[1]:
                return path + " <shared with>", a[1], b[1]
            return first_difference(a[2], b[2], path)
        if a and b and a[0] == "dict" and len(a) == 2 and len(b) == 2 and isinstance(a[1], list):
            ka, kb = [k for k, _ in a[1]], [k for k, _ in b[1]]
            if ka != kb:
                return path + ".<keys>", ka, kb
            for (k, va), (_, vb) in zip(a[1], b[1]):
                d = first_difference(va, vb, f"{path}[{_short(k)}]")
                if d is not None:
                    return d
            return None
        if len(a) != len(b):
            return path + ".<length>", len(a), len(b)
        for i, (x, y) in enumerate(zip(a, b)):
            d = first_difference(x, y, f"{path}[{i}]" if not (i == 1 and a and a[0] in ("list", "tuple")) else path)
            if d is not None:
                return d
        return None
    if isinstance(a, dict):
        for k in list(a) + [k for k in b if k not in a]:
            if k not in a or k not in b:
                return f"{path}.{k}", a.get(k), b.get(k)
            d = first_difference(a[k], b[k], f"{path}.{k}" if path else k)
            if d is not None:
                return d
        return None
    return None if a == b else (path, a, b)


def _short(v, limit=160):
    s = render(v)
    return s if len(s) <= limit else s[:limit - 3] + "..."


def render(v):
    """A normalised value in a readable form."""
    if isinstance(v, list) and v and isinstance(v[0], str):
        tag = v[0]
        if tag == "enum" and len(v) == 3:
            return f"{v[1].rsplit('.', 1)[-1]}.{v[2]}"
        if tag in ("datetime", "date", "time", "timedelta") and len(v) == 2:
            return v[1]
        if tag in ("list", "tuple") and len(v) == 2 and isinstance(v[1], list):
            inner = ", ".join(render(x) for x in v[1])
            return f"[{inner}]" if tag == "list" else f"({inner})"
        if tag == "dict" and len(v) == 2:
            return "{" + ", ".join(f"{render(k)}: {render(x)}" for k, x in v[1]) + "}"
        if tag == "obj" and len(v) == 3:
            return f"{v[1].rsplit('.', 1)[-1]}(" + ", ".join(f"{k}={render(x)}" for k, x in v[2]) + ")"
        if tag == "shared" and len(v) == 3:
            return f"<{v[1]}> {render(v[2])}"
        if tag == "same" and len(v) == 2:
            return f"<same object as {v[1]}>"
        if tag == "names" and len(v) == 2:
            return ", ".join(v[1])
        if tag == "method" and len(v) == 3:
            return f"{v[1]}.{v[2]}"
    if isinstance(v, str):
        return repr(v)
    return json.dumps(v, default=str) if isinstance(v, (list, dict)) else repr(v)


def describe_difference(a, b):
    """What differs in one call, in words: a list of lines."""
    lines = []
    if a["error"] != b["error"]:
        lines.append(f"exception: {_error(a['error'])}  vs  {_error(b['error'])}")
    for part, what in (("logs", "log lines"), ("context", "context calls")):
        if a[part] != b[part]:
            lines.append(f"{what}: {_short(_part(a[part]), 300)}  vs  {_short(_part(b[part]), 300)}")
    ea, eb = a["events"], b["events"]
    if len(ea) != len(eb):
        lines.append(f"events: {len(ea)} ({', '.join(_event_type(e) for e in ea) or 'none'})  vs  "
                     f"{len(eb)} ({', '.join(_event_type(e) for e in eb) or 'none'})")
    for i, (x, y) in enumerate(zip(ea, eb)):
        d = first_difference(x, y, f"event[{i}]")
        if d is not None:
            path, va, vb = d
            lines.append(f"event {i} ({_event_type(x)}) at {path}: {_short(va)}  vs  {_short(vb)}")
            break
    return lines


def _error(e):
    return "no exception" if e is None else f"{e[0]}: {e[1]}"


def _part(v):
    if v is None:
        return "none"
    if isinstance(v, list) and v and isinstance(v[0], str):
        return v
    return v


def _event_type(e):
    """The EVENT member of a normalised event."""
    try:
        inner = e[2] if e[0] == "shared" else e
        for k, x in inner[2]:
            if k == "event_type":
                return x[2] if isinstance(x, list) and x[0] == "enum" else render(x)
    except (IndexError, TypeError, ValueError):
        pass
    return "?"


def compare(capture_paths, impls, json_path=None, limit=5, out=None, err=None):
    """Replays the capture through each implementation in a process of its own and compares."""
    out = sys.stdout if out is None else out
    err = sys.stderr if err is None else err
    tmp = tempfile.mkdtemp(prefix="tessaline-replay-")
    procs = []
    for k, impl in enumerate(impls):
        obs, status = os.path.join(tmp, f"impl{k}.obs"), os.path.join(tmp, f"impl{k}.json")
        cmd = [sys.executable, "-m", "tessaline_tools.replay", "--worker", impl, obs, status, *capture_paths]
        env = dict(os.environ)
        env.pop("PYTHONSTARTUP", None)
        procs.append((impl, obs, status, subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL,
                                                          stderr=subprocess.PIPE)))
    statuses = []
    bad = False
    for impl, obs, status_path, p in procs:
        _, stderr = p.communicate()
        try:
            with open(status_path, encoding="utf-8") as f:
                status = json.load(f)
        except (OSError, ValueError):
            status = {"impl": impl, "ok": False, "kind": "internal",
                      "error": f"the replay process ended with status {p.returncode}: "
                               f"{stderr.decode(errors='replace').strip()[-2000:]}"}
        statuses.append(status)
        if not status.get("ok"):
            bad = True
            kind = status.get("kind")
            if kind == "import":
                print(f"tessaline-replay: implementation {impl} failed to import: {status['error']}", file=err)
            elif kind == "capture":
                print(f"tessaline-replay: {status['error']}", file=err)
            else:
                print(f"tessaline-replay: replay through {impl} failed: {status['error']}", file=err)
    result = {"capture": capture_paths, "implementations": impls, "replays": statuses}
    if bad:
        result["agree"] = None
        _maybe_json(json_path, result)
        _cleanup(tmp)
        return EXIT_BAD_INPUT
    streams = [_read_observations(obs) for _, obs, _, _ in procs]
    differences = []
    n_differ = 0
    compared = 0
    base = streams[0]
    for row in zip(*streams):
        compared += 1
        a = row[0]
        for k, b in enumerate(row[1:], start=1):
            if a != b:
                n_differ += 1
                if len(differences) < 1000:
                    differences.append({"position": a["i"], "callback": a["cb"], "implementation": impls[k],
                                        "what": describe_difference(a, b), "a": a, "b": b})
    _ = base
    damage = statuses[0]["summary"]["damage"]
    result.update(calls_compared=compared, calls_differing=n_differ, agree=n_differ == 0,
                  differences=differences)
    a_sum = statuses[0]["summary"]
    print(f"capture: {', '.join(capture_paths)}: {a_sum['calls']} calls", file=out)
    for s in statuses:
        sm = s["summary"]
        print(f"  {s['impl']}: replayed in {sm['seconds']:.2f} s ({sm['calls_per_second'] or 0:,} calls/s), "
              f"{sum(sm['events'].values())} events, {len(sm['raised_replay'])} calls raised", file=out)
    if n_differ == 0:
        print(f"the implementations agree on all {compared} calls", file=out)
    else:
        print(f"the implementations differ on {n_differ} of {compared} calls; the first:", file=out)
        for d in differences[:limit]:
            print(f"  #{d['position']} {d['callback']} ({impls[0]} vs {d['implementation']}):", file=out)
            for line in d["what"] or ["(the difference lies in a part not described; see --json)"]:
                print(f"    {line}", file=out)
    for d in damage:
        print(f"tessaline-replay: damaged capture: {d['path']}: {d['kind']} chunk at offset {d['offset']}: "
              f"{d['detail']}; replayed up to there", file=err)
    _maybe_json(json_path, result)
    _cleanup(tmp)
    if damage:
        return EXIT_BAD_INPUT
    return EXIT_OK if n_differ == 0 else EXIT_DIFFER


def _maybe_json(path, result):
    if path:
        _write_json(path, result)


def _cleanup(tmp):
    for name in os.listdir(tmp):
        try:
            os.remove(os.path.join(tmp, name))
        except OSError:
            pass
    try:
        os.rmdir(tmp)
    except OSError:
        pass


# ---------------------------------------------------------------- the command

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


def parse_args(argv):
    p = argparse.ArgumentParser(prog="tessaline-replay",
                                description="Replay a capture through the tessaline module, or compare "
                                            "implementations of the module on it.")
    p.add_argument("capture", nargs="+", help="capture file(s); the files of a rotated capture in order")
    p.add_argument("--impl", action="append", metavar="PATH", default=[],
                   help="an implementation: a compiled module (.so) or a Python source file of the module; "
                        "twice (or more) to compare them")
    p.add_argument("--json", metavar="PATH", help="write the full result as JSON")
    p.add_argument("--show", type=int, default=5, metavar="N", help="differences to print (%(default)s)")
    return p.parse_args(argv)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv and argv[0] == "--worker":
        return _worker(argv[1], argv[4:], argv[2], argv[3])
    args = parse_args(argv)
    from tessaline_tools._capture_file import CaptureError
    from tessaline_tools.capture import CaptureReader
    try:
        CaptureReader(args.capture).check()
    except CaptureError as exc:
        print(f"tessaline-replay: {exc}", file=sys.stderr)
        return EXIT_BAD_INPUT
    for impl in args.impl:
        if not os.path.isfile(impl):
            print(f"tessaline-replay: implementation {impl}: no such file", file=sys.stderr)
            return EXIT_BAD_INPUT
    if len(args.impl) >= 2:
        return compare(args.capture, args.impl, args.json, args.show)
    try:
        module = load_implementation(args.impl[0]) if args.impl else installed_module()
    except ImplementationError as exc:
        print(f"tessaline-replay: implementation failed to import: {exc}", file=sys.stderr)
        return EXIT_BAD_INPUT
    try:
        summary, reader = replay_capture(module, args.capture)
    except CaptureError as exc:
        print(f"tessaline-replay: {exc}", file=sys.stderr)
        return EXIT_BAD_INPUT
    print(f"capture: {', '.join(args.capture)}", file=sys.stdout)
    print_summary(summary)
    if args.json:
        _write_json(args.json, summary)
    for d in reader.damage:
        print(f"tessaline-replay: damaged capture: {d}", file=sys.stderr)
    if not reader.complete and not reader.damage:
        print("tessaline-replay: note: the capture has no closing record (the writer did not close it)",
              file=sys.stderr)
    return EXIT_BAD_INPUT if reader.damage else EXIT_OK


if __name__ == "__main__":
    sys.exit(main())
