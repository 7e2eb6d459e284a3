"""Capture: a recording of every call the gateway SDK makes into the strategy.

    from tessaline_tools.capture import capturing
    from corvix.tarrow.utils.tessaline import VornStrategy

    Captured = capturing(VornStrategy, "/var/log/tessaline/capture-{date}.tlcap")
    strategy = Captured(config)            # hand this to the SDK instead of VornStrategy(config)
    ...
    Captured.capture.close()               # also done at interpreter exit

``capturing`` returns a subclass of the strategy class; the module itself is
not changed and gets no new global.  For every call that reaches the strategy
from outside (an SDK callback, a timer firing, the construction) it records:
which method, the wall-clock and monotonic moments, the thread, the arguments
as the module reads them (the record attributes its callbacks read, all public
attributes for the rarely called ones), and whether the call raised (type and
text).  Before the call, where the module depends on more than its arguments,
it also records:

- the module's clock at that moment (``datetime.now()`` through the module's
  own ``datetime`` global, so a simulated clock is captured as the module sees
  it), for the construction, ``initialize`` and the timer callbacks;
- the configuration fields ``initialize`` and the clock read, and whether the
  clock's day is in the trading calendar;
- the host's universe and its instruments (construction, ``initialize``, day
  switch, timers);
- for an order report or an order-action error, the host order it is about as
  it stood before the report (or that there was none), and the account the
  host gives for it.

Calls the strategy makes on the SDK context (brokers, subscription, timers
registered) are recorded too; a fired timer is matched to its registration.
To see those calls the strategy's ``context`` is given to the module through a
recording stand-in; after ``initialize`` the module's ``vorn_params`` keeps the
SDK's own context as it always does.

The callback's thread only gathers references and plain values into a queue;
a writer thread packs them (msgpack), compresses them (zstandard) and appends
them to the file in chunks (see ``_capture_file``).  One file per trading day
with ``{date}`` in the path (local date, YYYYMMDD), and/or a new file when one
reaches ``max_bytes``.
"""
import atexit
import collections
import datetime as _dt
import enum
import itertools
import os
import socket
import sys
import threading
import time
import weakref
from operator import attrgetter

import msgpack

from tessaline_tools import _capture_file as cf
from tessaline_tools._capture_values import (CallbackRef, Decoder, Encoder, Missing, build_records, freeze,
                                             freeze_object, snapshot_record)

MODULE_NAME = "corvix.tarrow.utils.tessaline"

# record kinds (first element of every record)
R_META, R_SCHEMA, R_CALL, R_GCALL, R_RAISED, R_CTX, R_THREAD, R_END, R_CARRY, R_GAP = range(10)
# R_GAP: [R_GAP, dropped calls, first dropped wall ns, last dropped wall ns, seq before the gap, seq after it]

# parameters of every method of the strategy, as the SDK and the module's own timers call them
SIGNATURES = {
    "__init__": ("config",),
    "initialize": ("config",),
    "on_initialize": (),
    "on_switch_day": (),
    "on_snapshot": ("snapshot",),
    "on_tick_order": ("tick_order",),
    "on_tick_trade": ("tick_trade",),
    "on_bar": ("bar",),
    "on_login": ("login_res",),
    "on_query_asset": ("asset_res", "request_id", "code", "msg"),
    "on_query_position": ("query_position_res", "request_id", "code", "msg"),
    "on_order": ("order",),
    "on_trade": ("trade",),
    "on_order_action_error": ("order_action_error",),
    "on_algo_login": ("algo_login_res",),
    "on_create_algo_parent_order_res": ("create_parent_order_res",),
    "on_cancel_algo_parent_order_res": ("cancel_parent_order_res",),
    "on_control_algo_parent_order_res": ("control_parent_order_res",),
    "on_algo_parent_order_update": ("parent_order",),
    "on_algo_child_order_update": ("child_order",),
    "on_algo_child_order_trade": ("child_trade",),
    "create_time_listener": (),
    "send_day_event": ("event_type", "dt"),
    "send_before_trading_event": (),
    "send_after_trading_event": (),
    "send_open_auction_event": (),
    "set_timer": (),
}

# the market-data callbacks: the attributes the module reads, in its order of reading
HOT_ATTRS = {
    "on_snapshot": ("orig_time", "security_id", "market_type", "open_price", "close_price", "high_price",
                    "low_price", "total_value_trade", "total_volume_trade", "pre_close_price", "ask_volume",
                    "ask_price", "bid_volume", "bid_price", "high_limited", "last_price", "low_limited",
                    "open_interest", "prev_settlement", "iopv", "trading_phase_code"),
    "on_tick_order": ("order_time", "security_id", "market_type", "side", "biz_index", "order_price",
                      "order_volume", "order_type", "orig_order_no"),
    "on_tick_trade": ("trade_time", "security_id", "market_type", "bid_appl_seq_num", "offer_appl_seq_num",
                      "biz_index", "trade_price", "trade_volume", "value_trade", "trade_type"),
    "on_bar": ("security_id", "market_type", "end_time", "open", "close", "high", "low", "amount", "volume",
               "prev_close"),
}
# parameters holding gateway records (a list of records for the position query)
RECORD_PARAMS = frozenset({"login_res", "asset_res", "query_position_res", "order", "trade", "order_action_error",
                           "algo_login_res", "create_parent_order_res", "cancel_parent_order_res",
                           "control_parent_order_res", "parent_order", "child_order", "child_trade"})
CONFIG_FIELDS = ("md_type", "order_way", "accounts", "algo_account", "trading_calendar")
CLOCK_METHODS = frozenset({"__init__", "initialize", "set_timer", "create_time_listener",
                           "send_before_trading_event", "send_after_trading_event", "send_open_auction_event",
                           "send_day_event"})
ENV_METHODS = frozenset({"__init__", "initialize", "on_switch_day", "set_timer", "send_before_trading_event",
                         "send_after_trading_event", "send_open_auction_event"})
CALENDAR_METHODS = frozenset({"initialize", "set_timer", "create_time_listener"})
ORDER_METHODS = frozenset({"on_order", "on_order_action_error"})
CONFIG_MARK = "<config>"
ABSENT = "<absent>"

_tls = threading.local()


# ---------------------------------------------------------------- the writer

class CaptureWriter:
    """Takes records from the callbacks' threads and writes them on its own thread."""

    def __init__(self, path, *, max_bytes=None, flush_interval=0.2, chunk_records=8192, level=3,
                 module_name=MODULE_NAME, strategy_class=None):
        self.template = os.fspath(path)
        self.max_bytes = max_bytes
        self.flush_interval = flush_interval
        self.chunk_records = chunk_records
        self.level = level
        self.paths = []
        self.records = 0
        self.calls = 0
        self.dropped = 0
        self.salvaged = 0
        self.error = None
        self.bytes_written = 0
        self._meta = {"module": module_name, "strategy_class": strategy_class}
        self._queue = collections.deque()
        self.put = self._queue.append
        self._seq = itertools.count(1)
        self.next_seq = self._seq.__next__
        self._schemas = []                          # sid -> (module, qualname, names)
        self._strict = set()                        # shapes packed with the careful packer
        self._threads = {}                          # thread ident -> name
        self._schema_lock = threading.Lock()
        self._carry = {}
        self._file = None
        self._file_index = 0
        self._file_day = None
        self._day_end_ns = None
        self._encoder = Encoder()
        self._fast = msgpack.Packer(default=self._encoder._default, use_bin_type=True, autoreset=True)
        self._wake = threading.Event()
        self._stop = False
        self._closed = False
        self._lock = threading.Lock()               # close() against the thread
        self._open_next()                           # a path that cannot be written fails here, not later
        self._thread = threading.Thread(target=self._run, name="tessaline-capture", daemon=True)
        self._thread.start()
        _live_writers.add(self)

    # -- called on the callbacks' threads

    def schema(self, t, names, values):
        """Registers the shape of a record type (first call of a callback with it)."""
        with self._schema_lock:
            sid = len(self._schemas)
            self._schemas.append((t.__module__, t.__qualname__, tuple(names)))
            # values that a plain msgpack array would not keep (tuples, int or str subclasses
            # such as IntEnum members) make the writer pack this shape the careful way
            if any(type(v) is tuple or (isinstance(v, (int, str, float)) and type(v) not in (int, str, float, bool))
                   for v in values):
                self._strict.add(sid)
            self.put([R_SCHEMA, sid, t.__module__, t.__qualname__, list(names)])
        return sid

    def thread_seen(self, tid):
        with self._schema_lock:
            if tid not in self._threads:
                th = threading._active.get(tid)                        # noqa: SLF001 - the caller's own thread
                self._threads[tid] = th.name if th is not None else f"thread-{tid}"
                self.put([R_THREAD, tid, self._threads[tid]])

    # -- the writer thread

    def _run(self):
        while not self._stop:
            self._wake.wait(self.flush_interval)
            self._wake.clear()
            self._drain()
        self._drain()

    def _drain(self):
        q = self._queue
        while q:
            batch = []
            pop = q.popleft
            try:
                for _ in range(self.chunk_records):
                    batch.append(pop())
            except IndexError:
                pass
            if self.error is not None:
                self.dropped += len(batch)
                continue
            try:
                self._write_batch(batch)
            except Exception as exc:                               # noqa: BLE001 - never reaches a callback
                self.error = exc
                self.dropped += len(batch)

    def _write_batch(self, batch):
        fast = self._fast.pack
        strict = self._strict
        out = []
        append = out.append
        day_end = self._day_end_ns
        n = calls = 0
        for item in batch:
            kind = item[0]
            if kind == R_CALL:
                if day_end is not None and item[3] >= day_end:
                    n = self._flush(out, n)
                    out = []
                    append = out.append
                    self._open_next()
                    day_end = self._day_end_ns
                if item[6] not in strict:
                    try:
                        append(fast(item))
                        calls += 1
                        n += 1
                        continue
                    except Exception:                              # noqa: BLE001 - packed the careful way
                        pass
                item[7] = list(item[7])
                append(self._pack_or_salvage(item))
                calls += 1
            elif kind == R_GCALL:
                if day_end is not None and item[3] >= day_end:
                    n = self._flush(out, n)
                    out = []
                    append = out.append
                    self._open_next()
                    day_end = self._day_end_ns
                pre = item[8]
                if "config" in pre:
                    self._carry["config"] = pre["config"]
                if "env" in pre:
                    self._carry["env"] = pre["env"]
                append(self._pack_or_salvage(list(item)))
                calls += 1
            else:
                append(self._pack_or_salvage(list(item)))
            n += 1
        self.calls += calls
        self._flush(out, n)

    def _pack_or_salvage(self, item):
        """Packs a record; a value that cannot be packed is kept by its class and ``repr``
        (and counted in ``salvaged``), so one odd value never costs the rest of the capture."""
        try:
            return self._encoder.pack(item)
        except Exception:                                          # noqa: BLE001 - salvaged below
            pass
        from tessaline_tools._capture_values import _opaque
        self.salvaged += 1

        def safe(v, depth):
            try:
                self._encoder.pack(v)
                return v
            except Exception:                                      # noqa: BLE001
                if depth < 20 and type(v) is list:
                    return [safe(x, depth + 1) for x in v]
                if depth < 20 and type(v) is dict:
                    return {(k if isinstance(k, (int, str)) else repr(k)): safe(x, depth + 1) for k, x in v.items()}
                return _opaque(v)
        return self._encoder.pack([safe(v, 0) for v in item])

    def _flush(self, out, n):
        if out:
            if self._file is None:
                self._open_next()
            self._file.write(b"".join(out), n)
            self.records += n
            if self.max_bytes and self._file.size >= self.max_bytes:
                self._close_file()
        return 0

    def _path_for(self, day, index):
        path = self.template.replace("{date}", day) if "{date}" in self.template else self.template
        if index:
            root, ext = os.path.splitext(path)
            path = f"{root}.{index:04d}{ext}"
        return path

    def _open_next(self):
        self._close_file()
        now = time.time()
        day = time.strftime("%Y%m%d", time.localtime(now))
        rotating = "{date}" in self.template or bool(self.max_bytes)
        if "{date}" in self.template:
            if day != self._file_day:
                self._file_index = 0
            tomorrow = _dt.datetime.fromtimestamp(now).date() + _dt.timedelta(days=1)
            self._day_end_ns = int(time.mktime(tomorrow.timetuple()) * 1e9)
        path = self._path_for(day, self._file_index)
        while os.path.exists(path):
            if not rotating:
                raise FileExistsError(f"capture file {path} exists already")
            self._file_index += 1
            path = self._path_for(day, self._file_index)
        self._file_index += 1
        self._file_day = day
        self._file = cf.ChunkFile(path, self.level)
        self.paths.append(path)
        meta = dict(self._meta, format=cf.FORMAT_VERSION, created_ns=time.time_ns(), host=socket.gethostname(),
                    pid=os.getpid(), python=sys.version.split()[0], file_index=len(self.paths) - 1)
        head = [self._encoder.pack([R_META, meta])]
        if self._carry:
            head.append(self._encoder.pack([R_CARRY, dict(self._carry)]))
        with self._schema_lock:                      # a file stands alone: the shapes and threads again
            for sid, (module, qualname, names) in enumerate(self._schemas):
                head.append(self._encoder.pack([R_SCHEMA, sid, module, qualname, list(names)]))
            for tid, name in self._threads.items():
                head.append(self._encoder.pack([R_THREAD, tid, name]))
        self._file.write(b"".join(head), len(head))
        self.records += len(head)

    def _close_file(self):
        if self._file is not None:
            self.bytes_written += self._file.size
            self._file.close()
            self._file = None

    # -- control

    def flush(self, timeout=10.0):
        """Waits until what was queued before the call is on disk."""
        deadline = time.monotonic() + timeout
        while self._queue and time.monotonic() < deadline and self._thread.is_alive():
            self._wake.set()
            time.sleep(0.005)

    def close(self):
        """Writes what is queued and a closing record, and closes the file."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
        self._stop = True
        self._wake.set()
        self._thread.join()
        if self.error is None:
            try:
                if self._file is None:
                    self._open_next()
                if self._file is not None:
                    self._file.write(self._encoder.pack([R_END, {"calls": self.calls, "dropped": self.dropped}]), 1)
                    self.records += 1
            except Exception as exc:                               # noqa: BLE001 - reported by close's caller
                self.error = exc
        self._close_file()
        _live_writers.discard(self)
        if self.error is not None:
            raise CaptureWriteError(f"capture could not be written completely: {self.error!r} "
                                    f"({self.dropped} records dropped)") from self.error

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


class CaptureWriteError(Exception):
    pass


_live_writers = weakref.WeakSet()


@atexit.register
def _close_all():
    for w in list(_live_writers):
        try:
            w.close()
        except Exception:                                          # noqa: BLE001 - at exit nobody is left to tell
            pass


# ---------------------------------------------------------------- the recording context

class ContextTap:
    """Stands for the SDK context while the module runs inside a captured call:
    records each call the module makes on it, then makes it on the real context."""

    def __init__(self, real, writer, timers):
        object.__setattr__(self, "_real", real)
        object.__setattr__(self, "_writer", writer)
        object.__setattr__(self, "_timers", timers)
        object.__setattr__(self, "_regs", itertools.count(1))

    def __getattr__(self, name):
        target = getattr(self._real, name)
        if not callable(target):
            return target
        writer, timers, regs = self._writer, self._timers, self._regs

        def call(*args, **kwargs):
            seq = getattr(_tls, "seq", 0)
            info = None
            if name == "add_timer_interval" and args:
                cb = args[1] if len(args) > 1 else kwargs.get("callback")
                reg = next(regs)
                cb_name = getattr(cb, "__name__", None)
                interval = args[0] if isinstance(args[0], int) else 0
                timers.append((time.monotonic_ns() + max(interval, 0), reg, cb_name))
                info = reg
            writer.put((R_CTX, seq, name, [_ctx_value(a) for a in args],
                        {k: _ctx_value(v) for k, v in kwargs.items()}, info))
            return target(*args, **kwargs)
        call.__name__ = name
        return call

    def __setattr__(self, name, value):
        setattr(self._real, name, value)

    def __repr__(self):
        return repr(self._real)


def _ctx_value(v):
    if callable(v) and not isinstance(v, type) and hasattr(v, "__self__"):
        return CallbackRef.of(v)
    return freeze(v)


# ---------------------------------------------------------------- the wrapper class

def capturing(strategy_class, path, *, max_bytes=None, flush_interval=0.2, chunk_records=8192, level=3):
    """A subclass of ``strategy_class`` whose instances record every outside call into a capture
    at ``path`` (``{date}`` in it: one file per local day; ``max_bytes``: a new file when one
    is that large).  The writer is the class attribute ``capture``."""
    module = sys.modules.get(strategy_class.__module__)
    writer = CaptureWriter(path, max_bytes=max_bytes, flush_interval=flush_interval,
                           chunk_records=chunk_records, level=level,
                           module_name=strategy_class.__module__,
                           strategy_class=f"{strategy_class.__module__}.{strategy_class.__qualname__}")
    ns = {"capture": writer, "__module__": __name__, "__qualname__": f"Captured{strategy_class.__name__}"}
    for name, params in SIGNATURES.items():
        base_fn = getattr(strategy_class, name, None)
        if base_fn is None:
            continue
        if name in HOT_ATTRS:
            ns[name] = _hot_method(name, base_fn, HOT_ATTRS[name], writer, module)
        else:
            ns[name] = _generic_method(name, params, base_fn, writer, module)
    ns["context"] = property(_get_context, _set_context)
    ns["__init__"] = _init_method(strategy_class, writer, module)
    return type(strategy_class)(f"Captured{strategy_class.__name__}", (strategy_class,), ns)


def _hot_method(name, base_fn, attrs, writer, module):
    """A market-data callback: the attributes the module reads, by one ``attrgetter``; the
    values are held by reference until the writer packs them (within ``flush_interval``)."""
    getter = attrgetter(*attrs)
    put, next_seq = writer.put, writer.next_seq
    schemas = {}
    threads = writer._threads
    time_ns, monotonic_ns, get_ident = time.time_ns, time.monotonic_ns, threading.get_ident
    generic = _generic_method(name, SIGNATURES[name], base_fn, writer, module)

    def method(self, *args, **kwargs):
        if kwargs or len(args) != 1:
            return generic(self, *args, **kwargs)
        record = args[0]
        try:
            vals = getter(record)
        except Exception:                                          # noqa: BLE001 - kept attribute by attribute
            vals = _values_slowly(record, attrs)
        sid = schemas.get(type(record))
        if sid is None:
            sid = schemas[type(record)] = writer.schema(type(record), attrs, vals)
        tid = get_ident()
        if tid not in threads:
            writer.thread_seen(tid)
        seq = next_seq()
        put([R_CALL, seq, name, time_ns(), monotonic_ns(), tid, sid, vals])
        try:
            return base_fn(self, record)
        except BaseException as exc:
            put([R_RAISED, seq, type(exc).__module__, type(exc).__qualname__, _text(exc)])
            raise

    method.__name__ = name
    method.__qualname__ = f"Captured.{name}"
    return method


def _values_slowly(record, attrs):
    out = []
    for a in attrs:
        try:
            out.append(getattr(record, a))
        except Exception as exc:                                   # noqa: BLE001 - the lookup's own failure
            out.append(Missing.of(exc))
    return out


def _text(exc):
    try:
        return str(exc)
    except Exception:                                              # noqa: BLE001 - a broken __str__
        return f"<{type(exc).__qualname__}: str() failed>"


def _generic_method(name, params, base_fn, writer, module):
    put, next_seq = writer.put, writer.next_seq

    def method(self, *args, **kwargs):
        if getattr(_tls, "depth", 0):
            return base_fn(self, *args, **kwargs)                  # the module calling itself
        seq = next_seq()
        if threading.get_ident() not in writer._threads:
            writer.thread_seen(threading.get_ident())
        pre = _pre_state(name, self, args, kwargs, module)
        put((R_GCALL, seq, name, time.time_ns(), time.monotonic_ns(), threading.get_ident(),
             _encode_args(params, args), {k: _encode_arg(k, v) for k, v in kwargs.items()}, pre))
        _tls.depth, _tls.seq = 1, seq
        try:
            result = base_fn(self, *args, **kwargs)
        except BaseException as exc:
            put((R_RAISED, seq, type(exc).__module__, type(exc).__qualname__, _text(exc)))
            raise
        finally:
            _tls.depth, _tls.seq = 0, 0
            if name == "initialize":
                _restore_context_param(self, module)
        return result

    method.__name__ = name
    method.__qualname__ = f"Captured.{name}"
    return method


def _init_method(strategy_class, writer, module):
    base_init = strategy_class.__init__
    put, next_seq = writer.put, writer.next_seq

    def __init__(self, *args, **kwargs):
        object.__setattr__(self, "_tsl_timers", [])
        if getattr(_tls, "depth", 0):
            return base_init(self, *args, **kwargs)
        seq = next_seq()
        if threading.get_ident() not in writer._threads:
            writer.thread_seen(threading.get_ident())
        pre = _pre_state("__init__", self, args, kwargs, module)
        put((R_GCALL, seq, "__init__", time.time_ns(), time.monotonic_ns(), threading.get_ident(),
             _encode_args(("config",), args), {k: _encode_arg(k, v) for k, v in kwargs.items()}, pre))
        _tls.depth, _tls.seq = 1, seq
        try:
            base_init(self, *args, **kwargs)
        except BaseException as exc:
            put((R_RAISED, seq, type(exc).__module__, type(exc).__qualname__, _text(exc)))
            raise
        finally:
            _tls.depth, _tls.seq = 0, 0

    __init__.__qualname__ = "Captured.__init__"
    return __init__


def _encode_args(params, args):
    out = []
    for i, v in enumerate(args):
        out.append(_encode_arg(params[i] if i < len(params) else None, v))
    return out


def _encode_arg(param, value):
    if param == "config":
        return CONFIG_MARK
    if param in RECORD_PARAMS:
        if type(value) in (list, tuple):
            items = [snapshot_record(r) for r in value]
            return items if type(value) is list else tuple(items)
        return snapshot_record(value)
    return freeze(value)


def _pre_state(name, strategy, args, kwargs, module):
    pre = {}
    if name in CLOCK_METHODS and module is not None:
        try:
            pre["clock"] = module.datetime.now()
        except Exception as exc:                                   # noqa: BLE001 - the module would fail too
            pre["clock"] = Missing.of(exc)
    if name in ("__init__", "initialize"):
        config = args[0] if args else kwargs.get("config")
        if name == "initialize":
            config = strategy.__dict__.get("config", config)
        pre["config"] = _config_fields(config)
    if name in CALENDAR_METHODS and module is not None:
        pre["calendar"] = _calendar_today(strategy, module)
    if name in ENV_METHODS and module is not None:
        pre["env"] = _environment(module)
    if name in ORDER_METHODS and module is not None:
        record = args[0] if args else next(iter(kwargs.values()), None)
        pre["order"] = _host_order(record, module)
    timers = strategy.__dict__.get("_tsl_timers") if hasattr(strategy, "__dict__") else None
    if timers:
        fired = [t for t in timers if t[2] == name]
        if fired:
            first = min(fired)
            timers.remove(first)
            pre["timer"] = first[1]
    return pre


def _config_fields(config):
    try:
        base = config.base
    except Exception as exc:                                       # noqa: BLE001
        return {"base": Missing.of(exc)}
    out = {}
    for field in CONFIG_FIELDS:
        try:
            value = getattr(base, field)
        except Exception as exc:                                   # noqa: BLE001 - absent, as the module tests it
            out[field] = Missing.of(exc)
            continue
        if field == "trading_calendar":
            out[field] = _calendar(value)
        elif field == "accounts":
            try:
                out[field] = {"items": [[freeze(k), freeze(v)] for k, v in value.items()]}
            except Exception:                                      # noqa: BLE001 - not a mapping: kept as it is
                out[field] = {"value": freeze(value)}
        else:
            out[field] = freeze(value)
    return out


def _calendar(cal):
    out = {}
    try:
        out["text"] = format(cal)
    except Exception as exc:                                       # noqa: BLE001
        out["text"] = Missing.of(exc)
    try:
        import numpy as np
        days = []
        for i, d in enumerate(cal):
            if i >= 200_000:
                days = None
                break
            days.append(str(np.datetime64(d, "D")))
        out["days"] = days
    except Exception:                                              # noqa: BLE001 - not iterable: answers only
        out["days"] = None
    return out


def _calendar_today(strategy, module):
    try:
        today = module.np.datetime64("today", "D")
        cal = strategy.config.base.trading_calendar
        return {"today": str(today), "trading_day": bool(today in cal)}
    except Exception as exc:                                       # noqa: BLE001 - the module meets it itself
        return {"error": Missing.of(exc)}


def _environment(module):
    try:
        env = module.Environment.get_instance()
        universe = list(env.get_universe())
    except Exception as exc:                                       # noqa: BLE001
        return {"error": Missing.of(exc)}
    instruments = {}
    proxy = getattr(env, "data_proxy", None)
    for code in universe:
        try:
            instruments[code] = freeze(proxy.instruments(code))
        except Exception as exc:                                   # noqa: BLE001
            instruments[code] = Missing.of(exc)
    return {"universe": [freeze(c) for c in universe], "instruments": instruments}


def _host_order(record, module):
    try:
        cid = record.client_order_id
    except Exception as exc:                                       # noqa: BLE001 - the module meets it itself
        return {"error": Missing.of(exc)}
    try:
        orders = module.orders_dict
        if cid not in orders:
            return {"id": freeze(cid), "order": ABSENT}
        order = orders[cid]
    except Exception as exc:                                       # noqa: BLE001
        return {"id": freeze(cid), "error": Missing.of(exc)}
    out = {"id": freeze(cid), "order": freeze_object(order)}
    try:
        code = order.market_code
        out["market_code"] = freeze(code)
        out["account"] = _account(module.Environment.get_instance().get_account(code))
    except Exception as exc:                                       # noqa: BLE001 - the module meets it itself
        out["account"] = Missing.of(exc)
    return out


def _account(account):
    """The account the host gives for an order: its plain attributes (identity, cash figures);
    positions and other nested objects are the host's and are not captured."""
    from tessaline_tools._capture_values import Frozen, Opaque, attribute_names
    t = type(account)
    names = list(attribute_names(t))
    d = getattr(account, "__dict__", None)
    if isinstance(d, dict):
        names.extend(k for k in d if isinstance(k, str) and k not in names)
    attrs = []
    for name in names:
        try:
            v = getattr(account, name)
        except Exception:                                          # noqa: BLE001 - an unset slot
            continue
        if v is None or isinstance(v, (bool, int, float, str, enum.Enum)):
            attrs.append((name, freeze(v)))
        else:
            attrs.append((name, Opaque(type(v).__module__, type(v).__qualname__, "<not captured>")))
    return Frozen(t.__module__, t.__qualname__, attrs)


def _get_context(self):
    real = self.__dict__.get("_tsl_context")
    if getattr(_tls, "depth", 0) and real is not None:
        tap = self.__dict__.get("_tsl_tap")
        if tap is None or tap._real is not real:
            tap = ContextTap(real, type(self).capture, self.__dict__.setdefault("_tsl_timers", []))
            self.__dict__["_tsl_tap"] = tap
        return tap
    return real


def _set_context(self, value):
    self.__dict__["_tsl_context"] = value


def _restore_context_param(strategy, module):
    """``initialize`` stored ``self.context`` in ``vorn_params``: the SDK's own context, not the tap."""
    try:
        params = module.vorn_params
        tap = strategy.__dict__.get("_tsl_tap")
        if tap is not None and params.get("vorn_context") is tap:
            params["vorn_context"] = tap._real
    except Exception:                                              # noqa: BLE001 - nothing to put back
        pass


# ---------------------------------------------------------------- reading

# the reading side has its own modules (a capture file is untrusted input there)
from tessaline_tools._capture_reader import Call, CaptureReader, read_capture  # noqa: E402,F401
