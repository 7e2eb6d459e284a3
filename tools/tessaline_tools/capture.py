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

Each call is packed (msgpack) on the callback's thread when it happens, so the
capture keeps the values as the module saw them whatever the SDK does to its
objects afterwards; the market-data callbacks are recorded in native code
(``_capture_native``).  The packed records wait in a store bounded by a memory
budget (calls beyond it are dropped, and each gap is written into the capture);
a writer thread compresses them (zstandard) and appends them to the file in
chunks (see ``_capture_file``), with the interpreter lock released.  One file per trading day
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

from tessaline_tools import _capture_file as cf
from tessaline_tools import _capture_native as _native
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

# thread ident -> sequence number of the outside call that thread is inside (0: that call was
# dropped); a thread is in it only while such a call runs.  Not a threading.local: that would
# put one more key in the callback thread's own state dictionary, which the interpreter reads
# on every repr of a container, and whose probe lengths then depend on the hash seed.
_inside = {}


# ---------------------------------------------------------------- the writer

DEFAULT_MEMORY_BUDGET = 64 << 20        # bytes of records that may wait for the disk
DEFAULT_CLOSE_TIMEOUT = 10.0            # seconds close() waits for a disk that does not answer
DEFAULT_FLUSH_INTERVAL = 1.0            # seconds a record waits at most before its chunk is written
# zstandard's fast end, matches shorter than 7 bytes not looked for (see _capture_file).  Measured
# on a simulated session's own chunks, per record of about 235 bytes (instructions, bytes written):
# level -15: 2,150, 91; -20: 2,000, 105; -30: 1,720, 133; -40: 1,650, 138.  The
# records are mostly prices and volumes that differ from one call to the next; -20 takes about 7 %
# fewer of the writer's instructions than -15 for about 15 % more disk; -30 saves 10 % more for
# another quarter of disk, not worth it for a capture kept every day (``level`` chooses otherwise)
DEFAULT_LEVEL = -20
# uncompressed bytes per chunk (at most; chunk_records bounds it too): every chunk costs the
# writer a few hand-overs of the interpreter lock (compressing, checksumming, writing), each interrupting
# the callbacks' thread, so fewer, larger chunks interrupt it less
SEGMENT_BYTES = 2 << 20
GAP_WARNING_INTERVAL = 60.0             # seconds between two warnings about dropped calls


class CaptureWriter:
    """Keeps the records the callbacks' threads encode, and writes them on its own thread.

    Every call is encoded when it happens (the values as the module saw them)
    into a store bounded by ``memory_budget`` bytes; when the disk falls that
    far behind, calls are dropped, and each run of dropped calls is written as
    a gap before the next call kept.  The writer thread compresses and writes
    with the interpreter lock released.  ``close()`` waits at most
    ``close_timeout`` seconds.  Failures are kept on the writer (``error``,
    ``dropped``, ``salvaged``), each reported once as a warning through
    ``log`` when it happens, and raised by ``close()``.
    """

    def __init__(self, path, *, max_bytes=None, flush_interval=DEFAULT_FLUSH_INTERVAL, chunk_records=8192,
                 level=DEFAULT_LEVEL,
                 memory_budget=DEFAULT_MEMORY_BUDGET, close_timeout=DEFAULT_CLOSE_TIMEOUT,
                 module_name=MODULE_NAME, strategy_class=None, log=None):
        if memory_budget is None or memory_budget <= 0:
            raise ValueError("memory_budget is a positive number of bytes")
        if close_timeout is None or close_timeout < 0:
            raise ValueError("close_timeout is a number of seconds, 0 or more")
        self.template = os.fspath(path)
        self.max_bytes = max_bytes
        self.flush_interval = flush_interval
        self.chunk_records = chunk_records
        self.level = level
        self.memory_budget = memory_budget
        self.close_timeout = close_timeout
        self.paths = []
        self.records = 0
        self.calls = 0
        self.salvaged = 0
        self.salvaged_classes = collections.Counter()
        self.error = None
        self.bytes_written = 0
        self._log = log
        self._lost = 0                              # calls dropped on this side: unwritable, or given up at close
        self._meta = {"module": module_name, "strategy_class": strategy_class}
        self._schemas = []                          # sid -> (module, qualname, names)
        self._threads = {}                          # thread ident -> name
        self._schema_lock = threading.RLock()
        self._carry = {}
        self._file = None
        self._file_index = 0
        self._file_day = None
        self._encoder = Encoder(on_salvage=self._salvaged)
        self._wake = threading.Event()              # set on close, on flush, and when a segment fills up
        self._flush_asked = False                   # the writer takes the segment being filled too
        self._rec = _native.Recorder(budget=memory_budget, segment_bytes=SEGMENT_BYTES,
                                     segment_records=max(1, chunk_records), fallback=self._encoder.pack_value,
                                     missing_hook=self._pack_missing, thread_hook=self.thread_seen,
                                     gap_hook=self._gap_started, raised_hook=self.raised, enum_base=enum.Enum,
                                     filled_hook=self._wake.set)
        self.next_seq = self._rec.next_seq
        self._last_gap_warning = None
        self._writing_calls = 0                     # calls in the chunk being written
        self._stop = False
        self._abandoned = False
        self._closed = False
        self._lock = threading.Lock()               # close() against a second close()
        self._open_next()                           # a path that cannot be written fails here, not later
        self._thread = threading.Thread(target=self._run, name="tessaline-capture", daemon=True)
        self._thread.start()
        _live_writers.add(self)

    @property
    def dropped(self):
        """Calls the capture does not hold: dropped for the memory budget, after a write
        failure, or still waiting when ``close()`` gave up on the disk."""
        return self._rec.dropped + self._lost

    @property
    def pending_bytes(self):
        """Bytes of records waiting for the disk (the writer's chunk in hand included)."""
        return self._rec.pending + self._rec.in_flight

    @property
    def peak_bytes(self):
        return self._rec.peak

    @property
    def gaps(self):
        return self._rec.gaps

    # -- called on the callbacks' threads (the interpreter lock held)

    def schema(self, t, names):
        """Registers the shape of a record type (first call of a callback with it); returns its id."""
        with self._schema_lock:
            sid = len(self._schemas)
            self._schemas.append((t.__module__, t.__qualname__, tuple(names)))
            self._rec.append(self._encoder.pack([R_SCHEMA, sid, t.__module__, t.__qualname__, list(names)]), 1)
        return sid

    def thread_seen(self, tid):
        with self._schema_lock:
            if tid not in self._threads:
                th = threading._active.get(tid)                        # noqa: SLF001 - the caller's own thread
                self._threads[tid] = th.name if th is not None else f"thread-{tid}"
                self._rec.append(self._encoder.pack([R_THREAD, tid, self._threads[tid]]), 1)

    def admit(self, wall_ns):
        """Whether a call at ``wall_ns`` is recorded (False: the budget is full, it is dropped)."""
        return self._rec.admit(wall_ns)

    def record_call(self, name, wall_ns, mono_ns, tid, args, kwargs, pre):
        """Records a call of a rarely called method, its values packed now; returns its sequence number."""
        if tid not in self._threads:
            self.thread_seen(tid)
        enc = self._encoder
        packed = enc.pack_record(args), enc.pack_record(kwargs), enc.pack_record(pre)
        if "config" in pre:
            self._carry["config"] = pre["config"]
        if "env" in pre:
            self._carry["env"] = pre["env"]
        return self._rec.record_call(name, wall_ns, mono_ns, tid, *packed)

    def context_call(self, seq, name, args, kwargs, info):
        self._rec.append(self._encoder.pack_record([R_CTX, seq, name, args, kwargs, info]), 1)

    def not_recorded(self, exc):
        """A call the capture itself failed to record (not the callback's failure): counted
        as dropped and reported; the callback goes on."""
        self._lost += 1
        self._warn(f"capture {self._where()}: a call could not be recorded: {_describe(exc)}")

    def raised(self, seq, exc):
        self._rec.append(self._encoder.pack([R_RAISED, seq, type(exc).__module__, type(exc).__qualname__,
                                             _text(exc)]), 1)

    def _pack_missing(self, exc):
        return self._encoder.pack(Missing.of(exc))

    def _gap_started(self):
        now = time.monotonic()
        if self._last_gap_warning is None or now - self._last_gap_warning >= GAP_WARNING_INTERVAL:
            self._last_gap_warning = now
            self._warn(f"capture {self._where()}: the disk is not keeping up and the {self.memory_budget >> 20} MB "
                       f"memory budget is full: calls are dropped until it drains (each gap is marked in the "
                       f"capture; {self.dropped} calls dropped so far)")

    def _salvaged(self, module, qualname):
        self.salvaged += 1
        name = f"{module}.{qualname}"
        self.salvaged_classes[name] += 1
        if self.salvaged_classes[name] == 1:
            self._warn(f"capture {self._where()}: values of class {name} cannot be kept as themselves: "
                       f"kept by class and repr (a replay does not get them back)")

    def _warn(self, message):
        log = self._log
        try:
            if log is not None:
                log(message)
                return
        except Exception:                                          # noqa: BLE001 - the message goes to stderr then
            pass
        print(f"tessaline-capture: {message}", file=sys.stderr)

    def _where(self):
        return self.paths[-1] if self.paths else self.template

    # -- the writer thread

    def _run(self):
        rec = self._rec
        take_current = False
        while True:
            stopping = self._stop
            while not self._abandoned:
                item = rec.take(False)
                if item is None and (take_current or stopping):
                    # the segment being filled: once a round, and until none is left when stopping
                    # (chasing the callbacks' thread for what it added meanwhile would take the
                    # interpreter lock from it for a sliver of a chunk every switch interval)
                    item = rec.take(True)
                    take_current = stopping
                if item is None:
                    break
                self._write_item(item)
            if stopping or self._abandoned:
                break
            # woken because a segment filled up: the full segments are taken; at the end of a
            # round, or for a flush, the one being filled as well
            woken = self._wake.wait(self.flush_interval)
            self._wake.clear()
            take_current = not woken or self._flush_asked
            self._flush_asked = False
        if not self._abandoned:
            self._finish()

    def _write_item(self, item):
        data, n, calls, new_day = item
        try:
            if self.error is not None:
                self._lost += calls
                return
            self._writing_calls = calls
            try:
                if new_day or self._file is None:
                    self._open_next()
                self._file.write(data, n)
            except Exception as exc:                               # noqa: BLE001 - never reaches a callback
                if not self._abandoned:
                    self._lost += calls
                    self._fail(exc)
                return
            finally:
                self._writing_calls = 0
            if self._abandoned:
                return
            self.records += n
            self.calls += calls
            if self.max_bytes and self._file.size >= self.max_bytes:
                self._close_file()
        finally:
            self._rec.release(len(data))

    def _fail(self, exc):
        """The first write failure: recording stops (every later call counts as dropped)."""
        if self.error is None:
            self.error = exc
        self._rec.disable()
        self._lost += self._rec.discard()
        self._warn(f"capture {self._where()}: cannot write: {_describe(exc)}; the capture stops here "
                   f"({self.dropped} calls dropped so far)")

    def _finish(self):
        """After the last chunk: the closing record, and the file closed."""
        try:
            if self.error is None:
                if self._file is None:
                    self._open_next()
                end = self._encoder.pack([R_END, {"calls": self.calls, "dropped": self.dropped}])
                self._file.write(end, 1)
                self.records += 1
            self._close_file()
        except Exception as exc:                                   # noqa: BLE001 - reported by close()
            self._fail(exc)
            try:
                self._close_file()
            except Exception:                                      # noqa: BLE001 - already failed
                self._file = None

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
            self._rec.day_end_ns = int(time.mktime(tomorrow.timetuple()) * 1e9)
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
            f, self._file = self._file, None
            self.bytes_written += f.size
            f.close()

    # -- control

    def flush(self, timeout=10.0):
        """Waits until what was recorded before the call is on disk (or ``timeout`` seconds)."""
        deadline = time.monotonic() + timeout
        while self.pending_bytes and time.monotonic() < deadline and self._thread.is_alive():
            self._flush_asked = True
            self._wake.set()
            time.sleep(0.005)

    def close(self, timeout=None):
        """Writes what is recorded and a closing record, and closes the file; waits at most
        ``timeout`` seconds (default ``close_timeout``) for the disk.  Raises
        ``CaptureWriteError`` if the capture is not complete: a write failed, calls were
        dropped, or the disk did not answer in time."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
        self._rec.close_gap()
        self._stop = True
        self._wake.set()
        wait = self.close_timeout if timeout is None else timeout
        self._thread.join(wait)
        if not self._thread.is_alive():
            # calls that come after the close are not recorded (counted as dropped)
            self._rec.disable()
            self._lost += self._rec.discard()
        else:
            # a disk that does not answer: what is still waiting is given up, the thread is left to it
            self._abandoned = True
            self._rec.disable()
            self._lost += self._rec.discard() + self._writing_calls
            if self.error is None:
                self.error = TimeoutError(f"the disk did not answer within {wait:g} s")
            self._warn(f"capture {self._where()}: the disk did not answer within {wait:g} s; the capture is "
                       f"incomplete ({self.dropped} calls dropped)")
        _live_writers.discard(self)
        problem = self.problem()
        if problem is not None:
            raise CaptureWriteError(problem) from self.error

    def problem(self):
        """One line saying why the capture is incomplete, or None."""
        if self.error is not None:
            return (f"capture {self._where()} could not be written completely: {_describe(self.error)} "
                    f"({self.calls} calls written, {self.dropped} dropped)")
        if self.dropped:
            return (f"capture {self._where()} is incomplete: {self.dropped} calls dropped in {self.gaps} gap(s), "
                    f"the disk not keeping up with a {self.memory_budget >> 20} MB memory budget "
                    f"({self.calls} calls written)")
        return None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


class CaptureWriteError(Exception):
    """A capture that could not be written completely (the message says why)."""


def _describe(exc):
    if isinstance(exc, OSError) and exc.strerror:
        return f"{exc.strerror}" + (f": {exc.filename}" if exc.filename else "")
    if isinstance(exc, TimeoutError):
        return str(exc)
    return f"{type(exc).__name__}: {exc}"


_live_writers = weakref.WeakSet()


@atexit.register
def _close_all():
    """At exit, a capture never closed is closed here; anything it lost goes to stderr."""
    for w in list(_live_writers):
        try:
            w.close()
        except CaptureWriteError as exc:
            print(f"tessaline-capture: {exc}", file=sys.stderr)
        except Exception as exc:                                   # noqa: BLE001 - the last word on it
            print(f"tessaline-capture: capture {w._where()} was not closed cleanly: {_describe(exc)}",
                  file=sys.stderr)
        if w.salvaged:
            classes = ", ".join(sorted(w.salvaged_classes))
            print(f"tessaline-capture: capture {w._where()}: {w.salvaged} values kept only by class and repr "
                  f"({classes})", file=sys.stderr)


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
            seq = _inside.get(threading.get_ident(), 0)
            info = None
            if name == "add_timer_interval" and args:
                cb = args[1] if len(args) > 1 else kwargs.get("callback")
                reg = next(regs)
                cb_name = getattr(cb, "__name__", None)
                interval = args[0] if isinstance(args[0], int) else 0
                timers.append((time.monotonic_ns() + max(interval, 0), reg, cb_name))
                info = reg
            if seq:                                        # 0: the call it belongs to was dropped
                writer.context_call(seq, name, [_ctx_value(a) for a in args],
                                    {k: _ctx_value(v) for k, v in kwargs.items()}, info)
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

def capturing(strategy_class, path, *, max_bytes=None, flush_interval=DEFAULT_FLUSH_INTERVAL, chunk_records=8192,
              level=DEFAULT_LEVEL,
              memory_budget=DEFAULT_MEMORY_BUDGET, close_timeout=DEFAULT_CLOSE_TIMEOUT):
    """A subclass of ``strategy_class`` whose instances record every outside call into a capture
    at ``path`` (``{date}`` in it: one file per local day; ``max_bytes``: a new file when one
    is that large).  At most ``memory_budget`` bytes of records wait for the disk (calls beyond
    it are dropped and the gap marked); ``close()`` waits at most ``close_timeout`` seconds.
    The writer is the class attribute ``capture``; its warnings go to the host's
    ``user_system_log`` as the strategy's module sees it."""
    module = sys.modules.get(strategy_class.__module__)
    writer = CaptureWriter(path, max_bytes=max_bytes, flush_interval=flush_interval,
                           chunk_records=chunk_records, level=level, memory_budget=memory_budget,
                           close_timeout=close_timeout, module_name=strategy_class.__module__,
                           strategy_class=f"{strategy_class.__module__}.{strategy_class.__qualname__}",
                           log=_host_warning(module))
    ns = {"capture": writer, "__module__": __name__, "__qualname__": f"Captured{strategy_class.__name__}"}
    for name, params in SIGNATURES.items():
        base_fn = getattr(strategy_class, name, None)
        if base_fn is None:
            continue
        generic = _generic_method(name, params, base_fn, writer, module)
        if name in HOT_ATTRS:
            attrs = HOT_ATTRS[name]
            ns[name] = _native.HotMethod(writer._rec, name, attrs, base_fn, generic,  # noqa: SLF001 - its own
                                         lambda t, _attrs=attrs: writer.schema(t, _attrs))
        else:
            ns[name] = generic
    ns["context"] = property(_get_context, _set_context)
    ns["__init__"] = _init_method(strategy_class, writer, module)
    # the capture's own state in slots, out of the instance's attribute dictionary: that
    # dictionary then holds the strategy's own attributes as it does uncaptured (its keys,
    # their order and their probe lengths), so the module's reads of them cost the same
    ns["__slots__"] = _STATE_SLOTS
    try:
        return type(strategy_class)(f"Captured{strategy_class.__name__}", (strategy_class,), ns)
    except TypeError:                                              # a base that cannot take slots
        del ns["__slots__"]
        return type(strategy_class)(f"Captured{strategy_class.__name__}", (strategy_class,), ns)


_STATE_SLOTS = ("_tsl_timers", "_tsl_context", "_tsl_tap")


def _host_warning(module):
    """Warnings of the capture go where the module's own go: the host's ``user_system_log``."""
    def warn(message):
        logger = getattr(module, "user_system_log", None)
        emit = getattr(logger, "warning", None) or getattr(logger, "warn", None)
        if emit is None:
            raise LookupError("no host log")
        emit(message)
    return warn


def _text(exc):
    try:
        return str(exc)
    except Exception:                                              # noqa: BLE001 - a broken __str__
        return f"<{type(exc).__qualname__}: str() failed>"


def _recorded_call(writer, name, params, strategy, args, kwargs, module):
    """Records an outside call of a rarely called method before it runs; its sequence
    number, or 0 when it is dropped."""
    wall, mono, tid = time.time_ns(), time.monotonic_ns(), threading.get_ident()
    timer = _fired_timer(strategy, name)
    if not writer.admit(wall):
        return 0
    try:
        pre = _pre_state(name, strategy, args, kwargs, module)
        if timer is not None:
            pre["timer"] = timer
        return writer.record_call(name, wall, mono, tid, _encode_args(params, args),
                                  {k: _encode_arg(k, v) for k, v in kwargs.items()}, pre)
    except Exception as exc:                                       # noqa: BLE001 - the call itself goes on
        writer.not_recorded(exc)
        return 0


def _generic_method(name, params, base_fn, writer, module):
    def method(self, *args, **kwargs):
        tid = threading.get_ident()
        if tid in _inside:
            return base_fn(self, *args, **kwargs)                  # the module calling itself
        seq = _recorded_call(writer, name, params, self, args, kwargs, module)
        _inside[tid] = seq
        try:
            result = base_fn(self, *args, **kwargs)
        except BaseException as exc:
            if seq:
                writer.raised(seq, exc)
            raise
        finally:
            _inside.pop(tid, None)
            if name == "initialize":
                _restore_context_param(self, module)
        return result

    method.__name__ = name
    method.__qualname__ = f"Captured.{name}"
    return method


def _init_method(strategy_class, writer, module):
    base_init = strategy_class.__init__

    def __init__(self, *args, **kwargs):
        object.__setattr__(self, "_tsl_timers", [])
        tid = threading.get_ident()
        if tid in _inside:
            return base_init(self, *args, **kwargs)
        seq = _recorded_call(writer, "__init__", ("config",), self, args, kwargs, module)
        _inside[tid] = seq
        try:
            base_init(self, *args, **kwargs)
        except BaseException as exc:
            if seq:
                writer.raised(seq, exc)
            raise
        finally:
            _inside.pop(tid, None)

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
            config = _own(strategy, "config", config)
        pre["config"] = _config_fields(config)
    if name in CALENDAR_METHODS and module is not None:
        pre["calendar"] = _calendar_today(strategy, module)
    if name in ENV_METHODS and module is not None:
        pre["env"] = _environment(module)
    if name in ORDER_METHODS and module is not None:
        record = args[0] if args else next(iter(kwargs.values()), None)
        pre["order"] = _host_order(record, module)
    return pre


def _fired_timer(strategy, name):
    """The registration a timer callback answers (the earliest due of that name), taken off
    the list whether or not the call is recorded."""
    timers = _own(strategy, "_tsl_timers")
    if timers:
        fired = [t for t in timers if t[2] == name]
        if fired:
            first = min(fired)
            timers.remove(first)
            return first[1]
    return None


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
    from tessaline_tools._capture_values import NOT_CAPTURED_TEXT, Frozen, NotCaptured, attribute_names
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
            attrs.append((name, NotCaptured(type(v).__module__, type(v).__qualname__, NOT_CAPTURED_TEXT)))
    return Frozen(t.__module__, t.__qualname__, attrs)


def _own(obj, name, default=None):
    """``obj``'s attribute ``name``, or ``default``.  The capture keeps its own state on the
    strategy as plain attributes and never reads it through ``__dict__``: once an instance's
    ``__dict__`` has been taken, the interpreter no longer specialises the lookups of its
    methods, and every callback the SDK makes on the strategy would pay for a full lookup."""
    try:
        return object.__getattribute__(obj, name)
    except AttributeError:
        return default


def _get_context(self):
    real = _own(self, "_tsl_context")
    if real is not None and threading.get_ident() in _inside:
        tap = _own(self, "_tsl_tap")
        if tap is None or tap._real is not real:
            timers = _own(self, "_tsl_timers")
            if timers is None:
                timers = []
                object.__setattr__(self, "_tsl_timers", timers)
            tap = ContextTap(real, type(self).capture, timers)
            object.__setattr__(self, "_tsl_tap", tap)
        return tap
    return real


def _set_context(self, value):
    object.__setattr__(self, "_tsl_context", value)


def _restore_context_param(strategy, module):
    """``initialize`` stored ``self.context`` in ``vorn_params``: the SDK's own context, not the tap."""
    try:
        params = module.vorn_params
        tap = _own(strategy, "_tsl_tap")
        if tap is not None and params.get("vorn_context") is tap:
            params["vorn_context"] = tap._real
    except Exception:                                              # noqa: BLE001 - nothing to put back
        pass


# ---------------------------------------------------------------- reading

# the reading side has its own modules (a capture file is untrusted input there)
from tessaline_tools._capture_reader import Call, CaptureReader, read_capture  # noqa: E402,F401
