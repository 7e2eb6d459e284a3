"""Contention: SDK threads deliver market data, order reports and algo reports
while host threads call the query functions and take events, for a bounded
time. Nothing may crash, no tick history may ever hold more than 60 entries,
and every event the callbacks posted must be taken exactly once.

TESSALINE_STRESS_SECONDS sets how long each run lasts (default 2):

    TESSALINE_STRESS_SECONDS=120 python -m pytest -s tests/test_threads.py
"""
import collections
import os
import sys
import threading
import time

import pytest

from corvix.tarrow.const import SIDE
from corvix.tarrow.environment import Environment
from corvix.tarrow.model.order import Order
from pyvorn import records as rec
from pyvorn.enums import AlgoControlType, MarketType, OrderStatusType, Side

import corvix.tarrow.utils.tessaline as tl

DURATION = float(os.environ.get("TESSALINE_STRESS_SECONDS", "2"))
STAMP = 20240102093000500
CODES = ["600000", "600001", "600002", "600003"]


class HostQueue:
    """event_queue as the callbacks see it, and the host's side of it.

    The module's real ring buffer appends in Python code (index arithmetic,
    then the store), so a host thread popping while an SDK thread appends can
    lose or repeat an event; a real host drains it from one thread or under a
    lock. Here the callbacks' `append` is `collections.deque.append` itself: one
    C call that holds the interpreter lock from start to end, as `popleft` on
    the host threads does, so appends and pops never interleave and every
    posted event is seen exactly once without any lock of ours changing the
    timing of the module's own code.
    """

    def __init__(self):
        self.items = collections.deque()
        self.append = self.items.append

    def take_all(self):
        n = 0
        while True:
            try:
                self.items.popleft()
            except IndexError:
                return n
            n += 1


class QuietLog:
    def __init__(self):
        self.last = collections.deque(maxlen=4)
        self.info = self.warning = self.last.append


class Run:
    """Threads that loop until the deadline; each counts its calls and the events they post."""

    def __init__(self):
        self.deadline = None
        self.errors = []
        self.calls = collections.Counter()
        self.posted = collections.Counter()
        self.taken = collections.Counter()
        self.threads = []

    def thread(self, name, body):
        """body(i) makes one round of calls and returns (calls, events posted, events taken)."""
        def loop():
            i = calls = posted = taken = 0
            try:
                while i == 0 or time.monotonic() < self.deadline:   # one round however late it starts
                    c, p, t = body(i)
                    calls += c
                    posted += p
                    taken += t
                    i += 1
            except BaseException as exc:  # reported below, never lost in the thread
                self.errors.append((name, repr(exc)))
            finally:
                self.calls[name] += calls
                self.posted[name] += posted
                self.taken[name] += taken
        self.threads.append(threading.Thread(target=loop, name=name, daemon=True))

    def go(self, seconds):
        previous = sys.getswitchinterval()
        sys.setswitchinterval(1e-5)  # many more thread switches inside the callbacks
        try:
            self.deadline = time.monotonic() + seconds
            for t in self.threads:
                t.start()
            for t in self.threads:
                t.join(seconds + 60)
            assert not any(t.is_alive() for t in self.threads)
        finally:
            sys.setswitchinterval(previous)


@pytest.fixture
def host(monkeypatch):
    Environment.reset(universe=["600000.XSHG"], instruments=[c + ".XSHG" for c in CODES] + ["000001.XSHE"])
    queue = HostQueue()
    monkeypatch.setattr(tl, "event_queue", queue)
    monkeypatch.setattr(tl, "system_log", QuietLog())
    monkeypatch.setattr(tl, "user_system_log", QuietLog())
    yield queue
    Environment.reset()


def snapshot(code, i):
    return rec.Snapshot(security_id=code, market_type=MarketType.SSE, orig_time=STAMP + i % 1000, last_price=float(i))


def market_data_threads(run, s, snapshot_threads=2):
    for n in range(snapshot_threads):
        # Both threads deliver every instrument, so first snapshots of an instrument race each other.
        run.thread(f"snapshots-{n}", lambda i: (s.on_snapshot(snapshot(CODES[i % len(CODES)], i)), (1, 1, 0))[1])
    tick_order = rec.TickOrder(security_id="600000", market_type=MarketType.SSE, order_time=STAMP, side=ord("B"),
                               order_type=ord("A"))
    tick_trade = rec.TickTrade(security_id="600000", market_type=MarketType.SSE, trade_time=STAMP,
                               trade_type=ord("F"), bid_appl_seq_num=2, offer_appl_seq_num=1)
    run.thread("level2", lambda i: (s.on_tick_order(tick_order), s.on_tick_trade(tick_trade), (2, 2, 0))[2])
    # Universe of one: every bar completes its bar time and posts one bar event.
    bar = rec.Bar(security_id="600000", market_type=MarketType.SSE, end_time=20240102093100000)
    run.thread("bars", lambda i: (s.on_bar(bar), (1, 1, 0))[1])


def host_threads(run, queue, violations, drains=2):
    def query(i):
        code = CODES[i % len(CODES)] + ".XSHG"
        ticks = tl.history_ticks(code, 0)
        if ticks is not None and len(ticks) > 60:
            violations.append((code, len(ticks)))
        tl.get_current_tick(code)
        tl.get_current_bar(code)
        tl.history_bars(code, 5)
        return 4, 0, 0
    for n in range(2):
        run.thread(f"queries-{n}", query)
    for n in range(drains):
        run.thread(f"drain-{n}", lambda i: (0, 0, queue.take_all()))


def settle(run, queue, violations):
    taken = sum(run.taken.values()) + queue.take_all()
    assert run.errors == []
    assert violations == []
    for code, history in tl.history_tick.items():
        assert len(history) <= 60, code
    assert taken == sum(run.posted.values())
    print(f"\n{sum(run.calls.values())} calls in {DURATION:g} s, {taken} events taken: {dict(run.calls)}")


def test_callbacks_queries_and_the_host_taking_events_at_once(host, strategy):
    run, violations = Run(), []
    market_data_threads(run, strategy)

    def orders(cid):
        order = Order.__from_create__("000001.XSHE", 10 ** 9, SIDE.BUY, 10.5, order_id=cid)
        tl.orders_dict[cid] = order
        fill = rec.OrderReport(client_order_id=cid, security_id="000001",
                               order_status=OrderStatusType.PartiallyFilled, order_qty=10 ** 9, trade_qty=10,
                               total_trade_value=105.0, last_match_qty=10, last_match_price=10.5)
        action = rec.OrderActionError(client_order_id=cid)
        unknown = rec.OrderReport(client_order_id=-cid, security_id="000001", order_status=OrderStatusType.Filled)
        # A fill posts TRADE, an action error ORDER_CANCELLATION_REJECT, an unknown order nothing.
        return lambda i: (strategy.on_order(fill), strategy.on_order_action_error(action),
                          strategy.on_order(unknown), strategy.on_trade(fill), (4, 2, 0))[4]

    for cid in (1, 2):
        run.thread(f"orders-{cid}", orders(cid))

    def algo(base):
        parent = rec.ParentOrder(sys_quote_id=base, security_id="600000", market_type=MarketType.SSE,
                                 side=Side.Buy, order_qty=100)
        child = rec.ChildOrder(sys_quote_id=base + 1, parent_sys_quote_id=base, security_id="600000",
                               market_type=MarketType.SSE, side=Side.Buy, order_qty=100)
        trade = rec.ChildTrade(sys_quote_id=base + 2, parent_sys_quote_id=base, child_sys_quote_id=base + 1,
                               security_id="600000", market_type=MarketType.SSE, side=Side.Buy, trade_price=10.0,
                               trade_qty=1)
        pause = rec.ControlParentOrderRes(sys_quote_id=base, control_type=AlgoControlType.Pause)
        login = rec.AlgoLoginRes(trader_id="t")
        return lambda i: (strategy.on_algo_parent_order_update(parent), strategy.on_algo_child_order_update(child),
                          strategy.on_algo_child_order_trade(trade), strategy.on_control_algo_parent_order_res(pause),
                          strategy.on_algo_login(login), strategy.send_before_trading_event(), (6, 6, 0))[6]

    for base in (100, 200):
        run.thread(f"algo-{base}", algo(base))
    host_threads(run, host, violations)
    run.go(DURATION)
    settle(run, host, violations)
    assert len(tl.algo_parent_orders) == len(tl.algo_child_orders) == len(tl.algo_child_trades) == 2


def test_day_switches_while_market_data_arrives_and_is_queried(host, strategy):
    run, violations = Run(), []
    market_data_threads(run, strategy, snapshot_threads=3)
    run.thread("day switch", lambda i: (strategy.on_switch_day(), time.sleep(0), (1, 0, 0))[2])
    host_threads(run, host, violations)
    run.go(DURATION)
    settle(run, host, violations)
