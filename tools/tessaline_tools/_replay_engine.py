"""The replay: feeds captured calls, in order, to a fresh strategy of one implementation.

The module's clock (its ``datetime`` and ``np`` globals) gives the captured
moments, its ``Environment`` global gives the captured universe, instruments and
accounts, each order report finds the host order as it stood before the live
report, the strategy's context records the calls made on it, its loggers record
their lines and its ``event_queue`` collects the events of each call.

``Replay.run(sink)`` calls ``sink(call, events, error, logs, context_calls)``
after each call (the lists are reused: a sink copies what it keeps).
"""
import collections
import datetime as _dt
import functools
import importlib
import importlib.machinery
import importlib.util
import os
import sys
import time

from tessaline_tools import _replay_world as world
from tessaline_tools._capture_file import CaptureError
from tessaline_tools._capture_values import Missing
from tessaline_tools._replay_native import Tally, drive

MODULE_NAME = "corvix.tarrow.utils.tessaline"
CONFIG_MARK = "<config>"
ABSENT = "<absent>"
GLOBALS = ("datetime", "np", "Environment", "event_queue", "system_log", "user_system_log")
STORES = ("orders_dict", "history_bar", "history_tick", "algo_parent_orders", "algo_child_orders",
          "algo_child_trades")


class ImplementationError(Exception):
    """An implementation that could not be loaded."""


class BadCall(CaptureError):
    """A captured call whose recorded state the replay cannot use (reported with its offset)."""


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
    except BaseException as exc:                                   # noqa: BLE001
        raise ImplementationError(f"the installed module does not import: {type(exc).__name__}: {exc}") from None


# ---------------------------------------------------------------- the replay

class Outcome:
    __slots__ = ("call", "events", "error", "logs", "context_calls")

    def __init__(self, call, events, error, logs, context_calls):
        self.call, self.events, self.error = call, events, error
        self.logs, self.context_calls = logs, context_calls


class Replay:
    """Replays one capture through ``module``.  The module's globals are given back when the
    replay ends."""

    def __init__(self, module, reader):
        self.module = module
        self.reader = reader
        self.clock = world.Clock()
        self.env = world.Environment()
        self.config = world.Config()
        self.calendar = None
        self.events = []
        self.logs = []
        self.context_calls = []
        self.context = world.Context(self.context_calls)
        self.strategy = None
        self.constructed_for_replay = False
        self._saved = {}

    def _install(self):
        m = self.module.__dict__
        import numpy as np
        world.ReplayDatetime.clock = self.clock
        replacement = {"datetime": world.ReplayDatetime, "np": world.ClockNumpy(self.clock, np),
                       "Environment": world.environment_class(self.env), "event_queue": self.events,
                       "system_log": world.Log("system_log", self.logs),
                       "user_system_log": world.Log("user_system_log", self.logs)}
        for name, value in replacement.items():
            if name in m:
                self._saved[name] = m[name]
                m[name] = value
        for name in STORES:
            store = m.get(name)
            if hasattr(store, "clear"):
                store.clear()

    def _uninstall(self):
        self.module.__dict__.update(self._saved)
        self._saved = {}

    # -- the captured state before a call

    def _apply_config(self, fields):
        base = world.Base()
        if type(fields.get("base")) is Missing:
            self.config.__dict__.pop("base", None)
            return
        for name, value in fields.items():
            if type(value) is Missing:
                continue
            if name == "trading_calendar":
                cal = world.Calendar(value)
                if self.calendar is not None:
                    cal.answers.update(self.calendar.answers)
                self.calendar = cal
                value = cal
            elif name == "accounts":
                value = dict((k, v) for k, v in value["items"]) if "items" in value else value.get("value")
            setattr(base, name, value)
        self.config.base = base

    def _apply_env(self, env):
        if "error" in env:
            self.env.error = env["error"]
            return
        self.env.error = None
        self.env.universe = list(env.get("universe", ()))
        self.env.data_proxy.known = dict(env.get("instruments", {}))

    def _apply_order(self, order):
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
            self.clock.set(clock, call.wall_ns)
        if "config" in pre:
            self._apply_config(pre["config"])
        if "env" in pre:
            self._apply_env(pre["env"])
        cal = pre.get("calendar")
        if cal and "today" in cal and self.calendar is not None:
            self.calendar.answers[cal["today"]] = bool(cal.get("trading_day"))
        if "order" in pre:
            self._apply_order(pre["order"])

    def _args(self, call):
        mark = CONFIG_MARK
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

    def _start_from_carry(self):
        carry = self.reader.carry or {}
        if "config" in carry:
            self._apply_config(carry["config"])
        if "env" in carry:
            self._apply_env(carry["env"])
        self._construct()

    def run(self, sink=None, summary=None):
        """Replays every call; ``summary.add`` counts each, ``sink(call, events, error, logs,
        context calls)`` sees each."""
        from tessaline_tools._capture_reader import Call
        self._install()
        try:
            events, logs, ctx = self.events, self.logs, self.context_calls
            clock = self.clock
            perf = time.perf_counter_ns
            # a summary of ours is counted natively, call by call, into its own containers
            add = None if summary is None else Tally(summary) if type(summary) is Summary else summary.add
            reader = self.reader

            def hot_start(wall):
                # the strategy market-data calls go to: constructed from the carried state when the
                # capture starts with one
                if self.strategy is None:
                    if clock.base_wall_ns is None:
                        clock.base_wall_ns = wall
                    self._start_from_carry()
                return self.strategy

            def generic(call):
                self._generic(call, add, sink, perf)

            hot_sink = None
            if sink is not None:
                def hot_sink(item, error):
                    position, name, wall, record, seq, mono, tid = item
                    sink(Call(position, seq, name, wall, mono, reader._threads.get(tid, tid), (record,), {}, {},
                              reader.path, reader.offset), events, error, logs, ctx)

            # market-data calls are made natively; every other call goes to _generic
            drive(reader.items(), self, hot_start, generic, clock, add, hot_sink, events, logs, ctx)
        finally:
            self._uninstall()

    def _generic(self, call, add, sink, perf):
        clock = self.clock
        clock.wall_ns = call.wall_ns
        if clock.base_wall_ns is None:
            clock.base_wall_ns = call.wall_ns
        if self.strategy is None and call.name != "__init__":
            self._start_from_carry()
        if call.pre:
            try:
                self._before(call)
            except Exception as exc:                               # noqa: BLE001 - state of the wrong shape
                raise BadCall(f"{call.path}: malformed call #{call.position} ({call.name}) in the chunk at "
                              f"offset {call.offset}: its recorded state does not fit "
                              f"({type(exc).__name__}: {exc})") from None
        error = None
        t0 = perf()
        try:
            if call.name == "__init__":
                self._construct(call)
            else:
                args, kwargs = self._args(call)
                getattr(self.strategy, call.name)(*args, **kwargs)
        except Exception as exc:                                   # noqa: BLE001 - a replayed callback raising
            error = exc
        elapsed = perf() - t0
        if add is not None:
            add(call.name, call.position, call.wall_ns, self.events, error, elapsed)
        if sink is not None:
            sink(call, self.events, error, self.logs, self.context_calls)


def exception_name(exc):
    t = type(exc)
    return t.__qualname__ if t.__module__ == "builtins" else f"{t.__module__}.{t.__qualname__}"


def safe_str(exc):
    try:
        return str(exc)
    except Exception:                                              # noqa: BLE001
        return f"<{type(exc).__qualname__}: str() failed>"


# ---------------------------------------------------------------- what a replay tells

FINAL_STATUSES = frozenset({"FILLED", "CANCELLED", "REJECTED"})
MAX_TIMELINE_ORDERS = 20000


def _local_minute(minute):
    return _dt.datetime.fromtimestamp(minute * 60).strftime("%Y-%m-%d %H:%M")


def _local_moment(wall_ns):
    return _dt.datetime.fromtimestamp(wall_ns / 1e9).strftime("%Y-%m-%d %H:%M:%S.%f")


def _percentile(sorted_values, q):
    if not sorted_values:
        return None
    k = min(len(sorted_values) - 1, max(0, int(round(q * (len(sorted_values) - 1)))))
    return sorted_values[k]


class Summary:
    """Counts of a replay, and its timeline per minute of captured wall time (events by
    type, the callbacks' own time in the replay, the orders seen)."""

    def __init__(self):
        self.callbacks = {}
        self.events = collections.Counter()
        self.raised_replay = {}               # position -> (callback, type, text)
        self.calls = 0
        self.seconds = 0.0
        self.constructed_for_replay = False
        self.minutes = []                     # [minute, {event type: count}, [p50, p90, p99]]
        self._minute = None
        self._minute_events = None
        self._latencies = []
        self._labels = {}
        self._keep = []
        self.orders = {}
        self._every, self._tell = 0, None
        self._minute_start = self._minute_end = 0

    def on_calls(self, every, tell):
        """``tell(every)`` after each ``every`` calls."""
        self._every, self._tell = every, tell

    def add(self, name, position, wall_ns, events, error, callback_ns):
        self.calls += 1
        if self._tell is not None and not self.calls % self._every:
            self._tell(self._every)
        cb = self.callbacks
        cb[name] = cb.get(name, 0) + 1
        if not self._minute_start <= wall_ns < self._minute_end:
            self._close_minute()
            self._minute = wall_ns // 60_000_000_000
            self._minute_start = self._minute * 60_000_000_000
            self._minute_end = self._minute_start + 60_000_000_000
            self._minute_events = {}
        self._latencies.append(callback_ns)
        if events:
            counts, labels = self._minute_events, self._labels
            for ev in events:
                et = getattr(ev, "event_type", None)
                label = labels.get(id(et))                         # by identity: an enum's hash is Python code
                if label is None:
                    label = self._label(ev, et)
                counts[label[0]] = counts.get(label[0], 0) + 1
                if label[1]:
                    order = getattr(ev, "order", None)
                    if order is not None:
                        self._note_order(order, wall_ns)
        if error is not None:
            self.raised_replay[position] = (name, exception_name(error), safe_str(error))

    def _label(self, ev, et):
        text = getattr(et, "name", None) or type(ev).__name__
        label = (text, text.startswith("ORDER") or text == "TRADE")
        if et is not None:
            self._labels[id(et)] = label
            self._keep.append(et)                                  # its id stays its own
        return label

    def _note_order(self, order, wall_ns):
        oid = getattr(order, "order_id", None)
        if oid is None:
            return
        key = str(oid)
        status = getattr(getattr(order, "status", None), "name", None) or str(getattr(order, "status", ""))
        entry = self.orders.get(key)
        if entry is None:
            if len(self.orders) >= MAX_TIMELINE_ORDERS:
                return
            entry = self.orders[key] = {"order_id": key, "sent": _local_moment(wall_ns), "final": None,
                                        "status": status}
        entry["status"] = status
        if status in FINAL_STATUSES and entry["final"] is None:
            entry["final"] = _local_moment(wall_ns)

    def _close_minute(self):
        if self._minute is None:
            return
        lat = sorted(self._latencies)
        self.minutes.append([self._minute, dict(self._minute_events),
                             [round(_percentile(lat, q) / 1000, 2) for q in (0.5, 0.9, 0.99)]])
        self.events.update(self._minute_events)
        self._latencies = []

    def finish(self):
        self._close_minute()
        self._minute = None

    def timeline(self):
        types = sorted({t for _, counts, _ in self.minutes for t in counts})
        return {
            "minutes": [_local_minute(m) for m, _, _ in self.minutes],
            "events_per_minute": {t: [counts.get(t, 0) for _, counts, _ in self.minutes] for t in types},
            "latency_us_per_minute": {q: [lat[i] for _, _, lat in self.minutes]
                                      for i, q in enumerate(("p50", "p90", "p99"))},
            "orders": list(self.orders.values()),
        }

    def as_dict(self, reader):
        live = {pos: list(v) for pos, v in sorted(reader.raised.items())}
        replay = {pos: list(v) for pos, v in sorted(self.raised_replay.items())}
        mismatched = sorted(p for p in set(live) | set(replay)
                            if (live.get(p) or [None])[1:] != (replay.get(p) or [None])[1:])
        return {
            "calls": self.calls,
            "callbacks": dict(sorted(self.callbacks.items(), key=lambda kv: -kv[1])),
            "events": dict(self.events.most_common()),
            "raised_live": {str(k): v for k, v in live.items()},
            "raised_replay": {str(k): v for k, v in replay.items()},
            "raised_differently": mismatched,
            "seconds": round(self.seconds, 3),
            "calls_per_second": round(self.calls / self.seconds) if self.seconds > 0 else None,
            "capture_complete": reader.complete,
            "damage": [d.as_dict() for d in reader.damage],
            "gaps": reader.gaps,
            "opaque_values": dict(reader.opaque.most_common()),
            "constructed_for_replay": self.constructed_for_replay,
        }


class _Stop(Exception):
    """Ends a replay once the calls asked about are behind it."""


def replay_capture(module, paths, observe=None, progress=None, sink=None, stop_after=None):
    """Replays ``paths`` through ``module``; ``observe(outcome)`` is called per call,
    ``progress(calls)`` now and then.  Returns ``(summary dict, reader)``; the summary holds
    the timeline under ``"timeline"``."""
    from tessaline_tools._capture_reader import CaptureReader
    reader = CaptureReader(paths)
    reader.check()
    replay = Replay(module, reader)
    summary = Summary()
    extras = []
    if observe is not None:
        extras.append(lambda call, events, error, logs, ctx: observe(
            Outcome(call, list(events), error, list(logs), list(ctx))))
    if sink is not None:
        extras.append(functools.partial(sink, replay))
    if stop_after is not None:
        def stop(call, events, error, logs, ctx):
            if call.position >= stop_after:
                raise _Stop
        extras.append(stop)
    def each(call, events, error, logs, ctx):
        for extra in extras:
            extra(call, events, error, logs, ctx)
    if progress is not None:
        summary.on_calls(4096, progress)

    t0 = time.perf_counter()
    try:
        # a lone sink is called straight from the loop: a comparison's sink runs for every call
        replay.run(extras[0] if len(extras) == 1 else each if extras else None, summary)
    except _Stop:
        pass
    summary.seconds = time.perf_counter() - t0
    summary.finish()
    if progress is not None and summary.calls % 4096:
        progress(summary.calls % 4096)
    summary.constructed_for_replay = replay.constructed_for_replay
    out = summary.as_dict(reader)
    out["timeline"] = summary.timeline()
    return out, reader
