"""A simulated gateway session: drives a strategy through trading days as the live SDK would.

    sim = Simulator(seed=7, instruments=20, days=2)
    with sim.module_clock(strategy_module):          # the strategy's module sees simulated time
        strategy = strategy_module.VornStrategy(config)
        result = sim.run(strategy, config, host)

What the strategy gets, in simulated time (nanoseconds of naive local time,
starting at 08:00 of the first trading day):

- ``context`` set, ``initialize(config)`` and ``on_initialize()``; the login
  answers of the brokers it registers (``on_login``, ``on_algo_login``);
- market data of every trading day (see ``pyvorn.sim_market``): snapshots,
  level-2 orders and transactions, and one-minute bars of every instrument
  when one-minute bars of its market were subscribed;
- the reports of its requests (see ``pyvorn.sim_gateway``);
- its timers, fired by a ``VirtualTimerService`` at their due times;
- ``on_switch_day()`` at 07:00 of every trading day after the first.

Trading days are consecutive weekdays from ``start``; the calendar days in
between (weekends) pass in simulated time, so the strategy's daily timers
fire on them too.

Time is cut into steps of ``step_ms``.  Within a step the deliveries go out in
time order (ties: gateway reports before market data; timers first of all);
after each step ``host.after_step(now_ns)`` runs, the one place where a host
may act (send orders, queries), so that requests are made at the same
simulated moments whatever the delivery mode.

Delivery modes:

- single thread: every callback runs on the calling thread, and
  ``host.drain()`` runs after each callback;
- threaded: market data, trading reports, algo reports and timers are
  delivered by four SDK threads ("vorn-md", "vorn-td", "vorn-algo",
  "vorn-timer"), concurrently within a step; each callback runs holding
  ``delivery_lock``, which the host must also hold while it takes events out
  of the strategy's queue.  The calling thread calls ``host.drain()`` over
  and over while the step runs, and once more after all threads are done.
  Within a step the interleaving of the channels is left to the threads; the
  order within one channel, and everything each step delivers, are fixed.
  A callback reads its own delivery time from the clock on any thread.

Every callback call is timed with ``time.perf_counter_ns``; an exception it
raises is recorded (as a live SDK logs it) and the session goes on.
"""
import contextlib
import math
import threading
import time as _time
import traceback
from array import array
from collections import defaultdict
from dataclasses import dataclass, field
from datetime import date, datetime as _datetime, time, timedelta

import numpy as np

from pyvorn.context import Context
from pyvorn.enums import TDType
from pyvorn.sim_gateway import Scheduler, SimulatedGateway
from pyvorn.sim_market import (NS_PER_MS, MarketDay, SessionPlan, datetime_of, make_universe, ns_of)
from pyvorn.timer import VirtualTimerService

CHANNELS = ("md", "td", "algo", "timer")
DAY_START = time(8, 0)          # the session starts here on the first day
SWITCH_DAY = time(7, 0)         # on_switch_day on later days
DAY_END = time(16, 0)           # a day's deliveries end here


def trading_days(start, count):
    """``count`` consecutive weekdays from ``start`` (moved to the next weekday if needed)."""
    if count < 1:
        raise ValueError("at least one trading day")
    days, d = [], start
    while len(days) < count:
        if d.weekday() < 5:
            days.append(d)
        d += timedelta(days=1)
    return days


def sim_datetime_class(clock):
    """A ``datetime`` subclass whose ``now()`` is ``clock``'s simulated time."""

    class datetime(_datetime):
        __slots__ = ()

        @classmethod
        def now(cls, tz=None):
            if tz is not None:
                raise ValueError("the simulated clock is naive local time")
            t = datetime_of(clock.now_ns())
            return cls(t.year, t.month, t.day, t.hour, t.minute, t.second, t.microsecond)

        @classmethod
        def today(cls):
            return cls.now()

    datetime.__qualname__ = "datetime"
    datetime.__module__ = __name__
    return datetime


class SimNumpy:
    """numpy as a module sees it in simulated time: ``datetime64("today", unit)`` is the
    simulated date; every other name is numpy's own."""

    def __init__(self, clock):
        self._clock = clock

    def datetime64(self, value=None, *args):
        if isinstance(value, str) and value == "today":
            today = datetime_of(self._clock.now_ns()).date()
            return np.datetime64(today, *args) if args else np.datetime64(today, "D")
        return np.datetime64(value, *args) if value is not None else np.datetime64()

    def __getattr__(self, name):
        return getattr(np, name)

    def __repr__(self):
        return "<numpy in simulated time>"


class _TimerCall:
    """A timer callback as the simulated SDK fires it: timed, guarded, under the delivery lock."""

    __slots__ = ("sim", "callback", "name")

    def __init__(self, sim, callback):
        self.sim = sim
        self.callback = callback
        self.name = getattr(callback, "__name__", None) or type(callback).__name__

    def __call__(self):
        self.sim._deliver_timer(self.name, self.callback)

    def __repr__(self):
        return f"_TimerCall({self.callback!r})"


class SimTimerService(VirtualTimerService):
    """Virtual time whose callbacks are delivered by the simulator.

    An SDK delivery thread sets ``delivering_at`` to the time of the record it
    delivers, so that ``now_ns()`` on that thread is that moment while the
    timer thread moves the clock itself.
    """

    def __init__(self, sim, start_ns):
        super().__init__(start_ns=start_ns)
        self._sim = sim
        self._local = threading.local()

    def now_ns(self):
        t = getattr(self._local, "at", None)
        return self._now if t is None else t

    def delivering_at(self, t_ns):
        self._local.at = t_ns

    def add(self, interval_ns, callback):
        wrapped = _TimerCall(self._sim, callback) if callable(callback) else callback
        return super().add(interval_ns, wrapped)


class _Worker(threading.Thread):
    """One SDK delivery thread: runs the batches handed to it, one at a time."""

    def __init__(self, sim, channel):
        super().__init__(name=f"vorn-{channel}", daemon=True)
        self.sim = sim
        self.channel = channel
        self._cond = threading.Condition()
        self._batch = None
        self._stopping = False

    def submit(self, batch):
        with self._cond:
            self._batch = batch
            self._cond.notify()

    def stop(self):
        with self._cond:
            self._stopping = True
            self._cond.notify()

    def run(self):
        while True:
            with self._cond:
                while self._batch is None and not self._stopping:
                    self._cond.wait()
                if self._batch is None:
                    return
                batch, self._batch = self._batch, None
            try:
                self.sim._run_batch(self.channel, batch)
            except BaseException as exc:                 # noqa: BLE001 - reported, never lost
                self.sim._record_error(f"<{self.name}>", exc)
            finally:
                self.sim._batch_done()


@dataclass
class SimResult:
    seed: int
    threaded: bool
    days: list
    instruments: int
    wall_ns: int = 0
    steps: int = 0
    calls: dict = field(default_factory=dict)          # callback name -> number of calls
    latency_ns: dict = field(default_factory=dict)     # callback name -> array('q') of call durations
    errors: list = field(default_factory=list)         # dicts: callback, sim_time, error, traceback
    error_count: int = 0

    @property
    def total_calls(self):
        return sum(self.calls.values())


class Simulator:
    def __init__(self, *, seed=7, instruments=20, days=2, start=date(2025, 1, 10), plan=None,
                 threaded=False, step_ms=1000, accounts=None, trader_id="2001", initial_qty=10_000,
                 cash=10_000_000.0):
        if not isinstance(seed, int) or seed < 0:
            raise ValueError("seed must be a non-negative int")
        if step_ms <= 0 or 60_000 % step_ms:
            raise ValueError("step_ms must divide one minute")
        self.seed = seed
        self.plan = plan if plan is not None else SessionPlan()
        self.universe = make_universe(instruments, seed) if isinstance(instruments, int) else list(instruments)
        self.trading_days = trading_days(start, days)
        self.threaded = threaded
        self.step_ns = step_ms * NS_PER_MS
        self.initial_qty = {(i.security_id, i.market_type): initial_qty for i in self.universe}
        self.start_ns = ns_of(_datetime.combine(self.trading_days[0], DAY_START))
        self.end_ns = ns_of(_datetime.combine(self.trading_days[-1], DAY_END))
        self.scheduler = Scheduler()
        self.clock = SimTimerService(self, self.start_ns)
        self.gateway = SimulatedGateway(self.scheduler, self.clock, seed=seed, plan=self.plan,
                                        accounts=accounts if accounts is not None else {TDType.SIM: "1001"},
                                        trader_id=trader_id, cash=cash)
        self.context = Context(timer_service=self.clock, gateway=self.gateway)
        self.delivery_lock = threading.Lock()
        self.market = None
        self.day_index = None
        self._strategy = None
        self._bound = {}
        self._host = None
        self._calls = defaultdict(int)
        self._latency = defaultdict(lambda: array("q"))
        self._errors = []
        self._error_count = 0
        self._errors_lock = threading.Lock()
        self._md_iter = None
        self._md_head = None
        self._slice_end = self.start_ns
        self._steps = 0
        self._workers = {}
        self._done = threading.Condition()
        self._pending = 0
        self._ran = False

    # ------------------------------------------------------------ the module's view of time

    @contextlib.contextmanager
    def module_clock(self, module):
        """Binds ``module.datetime`` and ``module.np`` to the simulated clock for the block.

        The strategy module reads the wall clock through these two globals
        (``datetime.now()``, ``np.datetime64("today", "D")``); both are restored
        afterwards.
        """
        saved = {name: module.__dict__[name] for name in ("datetime", "np") if name in module.__dict__}
        module.datetime = sim_datetime_class(self.clock)
        module.np = SimNumpy(self.clock)
        try:
            yield self
        finally:
            for name in ("datetime", "np"):
                if name in saved:
                    setattr(module, name, saved[name])
                else:
                    module.__dict__.pop(name, None)

    def now(self):
        return datetime_of(self.clock.now_ns())

    # ------------------------------------------------------------ delivery

    def _record_error(self, name, exc):
        with self._errors_lock:
            self._error_count += 1
            if len(self._errors) < 100:
                self._errors.append({
                    "callback": name, "sim_time": str(self.now()),
                    "error": f"{type(exc).__name__}: {exc}",
                    "traceback": "".join(traceback.format_exception(exc)),
                })

    def _method(self, name):
        fn = self._bound.get(name)
        if fn is None:
            fn = self._bound[name] = getattr(self._strategy, name)
        return fn

    def _timed_call(self, name, fn, args=()):
        """One callback, timed; a live SDK logs a failure and goes on."""
        t0 = _time.perf_counter_ns()
        try:
            fn(*args)
        except Exception as exc:                          # noqa: BLE001
            self._record_error(name, exc)
        self._latency[name].append(_time.perf_counter_ns() - t0)
        self._calls[name] += 1

    def _deliver(self, name, args):
        """Single thread: call, time, then let the host drain."""
        self._timed_call(name, self._bound.get(name) or self._method(name), args)
        self._host.drain()

    def _deliver_locked(self, name, args):
        """Threaded: call and time under the delivery lock."""
        fn = self._bound.get(name) or self._method(name)
        with self.delivery_lock:
            self._timed_call(name, fn, args)

    def _deliver_timer(self, name, callback):
        if self.threaded:
            with self.delivery_lock:
                self._timed_call(name, callback)
        else:
            self._timed_call(name, callback)
            self._host.drain()

    def _run_batch(self, channel, batch):
        if channel == "timer":
            self.clock.advance_to(batch)
            return
        deliver = self._deliver_locked
        at = self.clock.delivering_at
        try:
            for t, name, args in batch:
                at(t)
                deliver(name, (args(),) if channel == "md" else args)
        finally:
            at(None)

    def _batch_done(self):
        with self._done:
            self._pending -= 1
            self._done.notify_all()

    # ------------------------------------------------------------ steps

    def _next_time(self):
        times = [t for t in (self._md_head[0] if self._md_head else None, self.scheduler.next_time(),
                             self.clock.next_due_ns()) if t is not None]
        return min(times) if times else None

    def _take_md(self, end):
        out = []
        head, it = self._md_head, self._md_iter
        while head is not None and head[0] <= end:
            out.append(head)
            head = next(it, None)
        self._md_head = head
        return out

    def _run_step(self, end):
        md = self._take_md(end)
        dyn = self.scheduler.pop_until(end)
        if self.threaded:
            self._run_step_threaded(end, md, dyn)
        else:
            self._run_step_single(end, md, dyn)
        self._steps += 1

    def _run_step_single(self, end, md, dyn):
        clock = self.clock
        deliver = self._deliver
        i = j = 0
        n_md, n_dyn = len(md), len(dyn)
        while i < n_md or j < n_dyn:
            if j < n_dyn and (i >= n_md or dyn[j].t_ns <= md[i][0]):
                item = dyn[j]
                j += 1
                clock.advance_to(item.t_ns)
                deliver(item.name, item.args)
            else:
                t, _, _, name, make = md[i]
                i += 1
                clock.advance_to(t)
                deliver(name, (make(),))
        clock.advance_to(end)

    def _run_step_threaded(self, end, md, dyn):
        work = {}
        if md:
            work["md"] = [(t, name, make) for t, _, _, name, make in md]  # each record made when delivered
        for item in dyn:
            work.setdefault(item.channel, []).append((item.t_ns, item.name, item.args))
        due = self.clock.next_due_ns()
        if due is not None and due <= end:
            work["timer"] = end
        with self._done:
            self._pending = len(work)
        for channel, batch in work.items():
            self._workers[channel].submit(batch)
        drain = self._host.drain
        while True:
            drain()
            with self._done:
                if self._pending == 0:
                    break
                self._done.wait(0.001)
        self.clock.advance_to(end)
        drain()

    def _run_until(self, limit_ns, progress):
        step = self.step_ns
        host = self._host
        while True:
            nxt = self._next_time()
            if nxt is None or nxt > limit_ns:
                break
            end = min(math.ceil(max(nxt, self._slice_end + 1) / step) * step, limit_ns)
            self._run_step(end)
            self._slice_end = end
            host.after_step(end)
            if progress is not None:
                progress(self, (end - self.start_ns) / (self.end_ns - self.start_ns))

    # ------------------------------------------------------------ the session

    def market_day(self, index, prev_closes=None):
        return MarketDay(self.plan, self.universe, self.trading_days[index], index, self.seed, prev_closes)

    def run(self, strategy, config, host, progress=None):
        """Runs the whole session; returns a ``SimResult``.

        ``host`` needs ``drain()`` and ``after_step(now_ns)``.  Run once per simulator.
        """
        if self._ran:
            raise RuntimeError("a Simulator runs once")
        self._ran = True
        self._strategy = strategy
        self._host = host
        result = SimResult(seed=self.seed, threaded=self.threaded, days=list(self.trading_days),
                           instruments=len(self.universe))
        t_start = _time.perf_counter_ns()
        if self.threaded:
            self._workers = {ch: _Worker(self, ch) for ch in CHANNELS}
            for w in self._workers.values():
                w.start()
        try:
            self.market = market = self.market_day(0)
            self.day_index = 0
            self.gateway.begin_day(market, self.clock.now_ns(), self.initial_qty)
            self.context.strategy = strategy
            strategy.context = self.context
            if self.threaded:
                self._deliver_locked("initialize", (config,))
                self._deliver_locked("on_initialize", ())
                host.drain()
            else:
                self._deliver("initialize", (config,))
                self._deliver("on_initialize", ())
            host.after_step(self.clock.now_ns())
            for d, day in enumerate(self.trading_days):
                if d > 0:
                    now = self.clock.now_ns()
                    self.gateway.end_day(now)
                    market = self.market_day(d, market.closes())
                    self.gateway.begin_day(market, now)
                    self.scheduler.at(ns_of(_datetime.combine(day, SWITCH_DAY)), "td", "on_switch_day")
                self.market, self.day_index = market, d
                self._md_iter = iter(self._market_stream(market))
                self._md_head = next(self._md_iter, None)
                self._run_until(ns_of(_datetime.combine(day, DAY_END)), progress)
        finally:
            for w in self._workers.values():
                w.stop()
            for w in self._workers.values():
                w.join(10)
            result.wall_ns = _time.perf_counter_ns() - t_start
        result.steps = self._steps
        result.calls = dict(self._calls)
        result.latency_ns = dict(self._latency)
        result.errors = list(self._errors)
        result.error_count = self._error_count
        return result

    def _market_stream(self, market):
        """The day's records, each as the function that makes it (called when it is
        delivered); bars only for markets whose one-minute bars were subscribed."""
        subscribed = {}
        for item in market.stream(lazy=True):
            if item[3] == "on_bar":
                mt = market.market_type(item[1])
                ok = subscribed.get(mt)
                if ok is None:
                    ok = subscribed[mt] = self.gateway.bars_subscribed(mt)
                if not ok:
                    continue
            yield item
