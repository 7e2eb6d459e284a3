"""A simulated trading session through the real module: the simulated gateway
(``pyvorn.simulator``), the stand-in host (``tessaline_sim``) and the module
between them.  The session runs are short (5 instruments, 11 + 11 minutes of
continuous trading, a Friday and the Monday after) so that the whole file
stays within a few seconds."""
import datetime as dt_module
import sys
import threading
from collections import Counter
from datetime import date, datetime

import numpy as np
import pytest

from corvix.tarrow.core.events import EVENT, Event
from corvix.tarrow.portfolio.account import Account
from pyvorn import sim_market
from pyvorn.enums import (AlgoControlType, AlgoType, MarketType, MDType, OrderStatusType, PriceType, Side,
                          SubscribeDataType, TDType)
from pyvorn.records import Bar, Snapshot, TickOrder, TickTrade
from pyvorn.sim_gateway import Scheduler, SimAlgoEngine, SimCounter
from pyvorn.sim_market import (NS_PER_S, MarketDay, SessionPlan, limits_of, make_universe, ns_of, ns_of_stamp,
                               price_of, stamp_of)
from pyvorn.simulator import Simulator, trading_days
from pyvorn.timer import VirtualTimerService
from tessaline_sim import cli
from tessaline_sim.host import DemoHost
from tessaline_sim.session import Options, run_simulation
from tessaline_sim.strategy import EXPECTED_STATUS, PER_ACTION, day_schedule

SHORT = Options(instruments=5, days=2, minutes_per_half=11, seed=7)


@pytest.fixture(scope="module")
def runs():
    """One single-thread and one threaded session of the same seed."""
    out = {}
    for mode in ("single", "threaded"):
        report, host, result = run_simulation(Options(**{**SHORT.__dict__, "threaded": mode == "threaded"}))
        out[mode] = report, host, result
    return out


def planned_counts(options, host):
    """Every event count the options imply, from the simulator's own plan."""
    sim = host.sim
    plan = options.plan()
    expected = Counter()
    prev = None
    for d in range(options.days):
        market = MarketDay(plan, sim.universe, sim.trading_days[d], d, options.seed, prev)
        prev = market.closes()
        records = market.count_records()
        expected["TICK"] += records["on_snapshot"]
        expected["L2_ORDER"] += records["on_tick_order"]
        expected["L2_TRANSACTION"] += records["on_tick_trade"]
        assert records["on_snapshot"] == options.instruments * plan.snapshots_per_day
        assert records["on_bar"] == options.instruments * plan.bars_per_day
    expected["BAR"] = options.days * plan.bars_per_day
    for name in ("BEFORE_TRADING", "OPEN_AUCTION", "AFTER_TRADING"):
        expected[name] = options.days
    expected["LOGIN"] = expected["ALGO_LOGIN"] = 1
    expected["QUERY_ACCOUNT"] = expected["QUERY_POSITION"] = 2 * options.days

    intents = Counter()
    cycles = 0
    for d in range(options.days):
        for actions in day_schedule(options.minutes_per_half, d).values():
            for action, _ in actions:
                if action in EXPECTED_STATUS:
                    intents[action] += 1 if action.startswith("reject") else PER_ACTION
                cycles += action == "late_cancel"
    rejected = intents["reject_price"] + intents["reject_position"]
    cancelled = intents["buy_passive"] + intents["buy_deep"]
    sent = sum(intents.values())
    counter = host.counter
    expected["ORDER_CREATION_PASS"] = sent - rejected
    expected["ORDER_UNSOLICITED_UPDATE"] = rejected
    expected["TRADE"] = sum(1 for o in counter.orders.values() for f in o.fills if not f.void)
    expected["ORDER_CANCELLATION_PASS"] = cancelled
    expected["ORDER_PENDING_CANCEL"] = cancelled - cycles        # one resting order a cycle expires instead
    expected["ORDER_CANCELLATION_REJECT"] = cycles              # the late cancels

    parents = sim.gateway.algo.parents.values()
    cancelled_days = sum(1 for d in range(options.days) if d % 2 == 0)
    expected["PARENT_ORDER_CREATE"] = expected["PARENT_ORDER_PAUSE"] = expected["PARENT_ORDER_RESUME"] = options.days
    expected["PARENT_ORDER_CANCEL"] = cancelled_days
    children = sum(len(p.children) for p in parents)
    expected["CHILD_ORDER_TRADE"] = children
    expected["CHILD_ORDER_UPDATE"] = 2 * children + sum(p.cancelled_in_flight for p in parents)
    # New, Running, one per child fill (the last one Finished), Paused, Running again, Cancelled
    expected["PARENT_ORDER_UPDATE"] = 4 * options.days + children + cancelled_days
    statuses = {"FILLED": intents["buy_marketable"] + intents["sell_marketable"], "CANCELLED": cancelled,
                "REJECTED": rejected}
    return expected, intents, statuses


class TestSession:
    @pytest.mark.parametrize("mode", ["single", "threaded"])
    def test_invariants_hold_and_no_callback_raised(self, runs, mode):
        report, host, result = runs[mode]
        failed = {i["name"]: i["examples"] for i in report["invariants"] if i["failures"]}
        assert failed == {} and report["errors"]["count"] == 0 and report["ok"]
        checked = {i["name"]: i["checks"] for i in report["invariants"]}
        assert all(checked.values()), checked                    # every invariant was exercised
        assert ("current tick is the one just posted" in checked) == (mode == "single")
        assert host.drained_total == sum(host.appended.values()) and len(host.queue) == 0

    @pytest.mark.parametrize("mode", ["single", "threaded"])
    def test_event_counts_are_those_the_plan_implies(self, runs, mode):
        report, host, _ = runs[mode]
        expected, intents, statuses = planned_counts(SHORT, host)
        assert report["events"] == {k: v for k, v in expected.items() if v}
        assert Counter(host.intent.values()) == intents
        assert report["orders"]["by_status"] == statuses
        assert report["orders"]["late_cancels"] == report["orders"]["cancel_rejections"] == expected[
            "ORDER_CANCELLATION_REJECT"]
        assert [a["status"] for a in report["algo"]] == ["CANCELLED", "FILLED"]   # cancelled on even days

    def test_threaded_delivery_posts_the_same_events_as_single_thread(self, runs):
        single, threaded = runs["single"][0], runs["threaded"][0]
        assert threaded["events"] == single["events"]
        assert threaded["digest"]["content"] == single["digest"]["content"]
        assert threaded["digest"]["sequence"] is None and single["digest"]["sequence"]
        for key in ("orders", "fills", "algo", "positions", "cash", "log"):
            assert threaded[key] == single[key], key
        assert runs["threaded"][0]["timing"]["host_drains"] < runs["threaded"][0]["events_total"]

    def test_same_seed_gives_the_same_report_and_another_seed_another(self, runs):
        first = runs["single"][0]
        again, _, _ = run_simulation(SHORT)
        other, _, _ = run_simulation(Options(**{**SHORT.__dict__, "seed": 8}))
        strip = lambda r: {k: v for k, v in r.items() if k != "timing"}    # noqa: E731
        assert strip(again) == strip(first)
        assert other["digest"]["content"] != first["digest"]["content"]
        assert other["events"]["TICK"] == first["events"]["TICK"]        # the plan's shape is the seed's only by prices

    def test_module_reads_simulated_wall_clock(self, runs, tl):
        report, host, _ = runs["single"]
        intervals = [(args[0], args[1].__name__) for name, args in host.sim.context.calls
                     if name == "add_timer_interval"]
        day = [(3_600 * NS_PER_S, "send_before_trading_event"), (5_040 * NS_PER_S, "send_open_auction_event"),
               (27_000 * NS_PER_S, "send_after_trading_event")]
        rearm = (86_400 * NS_PER_S, "set_timer")
        # Friday 08:00, re-armed Saturday, Sunday (not trading days), Monday
        assert intervals == day + [rearm, rearm, rearm] + day + [rearm]
        assert report["log"]["not_trading_days"] == 2
        events = host.day_events
        assert [d.time() for _, d in events[0]] == [dt_module.time(9), dt_module.time(9, 24), dt_module.time(15, 30)]
        assert tl.datetime is dt_module.datetime and tl.np is np      # restored after the session

    def test_failing_callback_fails_the_run(self, tl, monkeypatch, capsys):
        def broken(value):
            raise RuntimeError("clock broken")
        monkeypatch.setattr(tl, "convert_int_to_whole_date", broken)
        status = cli.main(["--instruments", "3", "--days", "1", "--minutes-per-half", "11", "--quiet"])
        out = capsys.readouterr().out
        assert status == 1
        assert "Callback errors: 22" in out and "on_bar" in out and "RESULT: FAILED" in out
        assert "FAIL one BAR event per completed bar minute" in out

    def test_command_line_rejects_a_day_too_short_for_the_strategy(self, capsys):
        assert cli.main(["--minutes-per-half", "5"]) == 2
        assert "--minutes-per-half must be an integer within 11..120, got '5'" in capsys.readouterr().err


class TestDrainProtocol:
    def test_drain_waits_for_the_delivery_lock_and_releases_popped_slots(self, tl):
        sim = Simulator(seed=1, instruments=2, days=1, threaded=True)
        host = DemoHost(tl, sim, Account("1001"))
        queue = tl.event_queue
        while len(queue):
            queue.popleft()
        host.install()
        try:
            queue.append(Event(EVENT.LOGIN, rid=1, account_id="1001", code=0, msg=""))
            done = threading.Event()
            with sim.delivery_lock:
                worker = threading.Thread(target=lambda: (host.drain(), done.set()))
                worker.start()
                assert not done.wait(0.2) and len(queue) == 1       # blocked while an SDK thread delivers
            assert done.wait(5)
            worker.join(5)
            assert host.logged_in and len(queue) == 0
            assert host.appended["LOGIN"] == host.drained["LOGIN"] == 1
            assert queue._arr[queue._left_index - 1] is None         # the popped event is not kept alive
        finally:
            host.uninstall()
        assert "append" not in vars(queue)


class TestMarketPlan:
    PLAN = SessionPlan(minutes_per_half=11, snapshot_interval_ms=3000, l2_orders_per_snapshot=1.0)

    def day(self, seed=3, index=0, prev=None, n=3):
        return MarketDay(self.PLAN, make_universe(n, seed), date(2025, 1, 10), index, seed, prev)

    def test_records_are_ordered_consistent_and_reproducible(self):
        market = self.day()
        items = list(market.stream())
        assert [i[:3] for i in items] == sorted(i[:3] for i in items)
        assert items == list(self.day().stream())                      # same seed, same records
        orders = {}
        for inst in market.instruments:
            low, high = market.limits(inst.security_id, inst.market_type)
            mine = [i for i in items if i[4].security_id == inst.security_id]
            snaps = [r for _, _, _, name, r in mine if name == "on_snapshot"]
            bars = [r for _, _, _, name, r in mine if name == "on_bar"]
            assert len(snaps) == self.PLAN.snapshots_per_day and len(bars) == self.PLAN.bars_per_day
            assert all(price_of(low) <= s.last_price <= price_of(high) for s in snaps)
            assert [ns_of_stamp(b.end_time) for b in bars] == self.PLAN.bar_end_times(market.day)
            assert sum(b.volume for b in bars) == snaps[-1].total_volume_trade
            seen = set()
            for t, _, _, name, r in mine:
                if name == "on_tick_order":
                    seen.add(r.orig_order_no)
                elif name == "on_tick_trade":
                    assert {r.bid_appl_seq_num, r.offer_appl_seq_num} - {0} <= seen
                    if r.trade_type == ord("F"):
                        orders[r.biz_index] = (t, r.trade_volume)
        assert orders                                                  # the market did trade

    def test_a_snapshot_alone_holds_its_book_volumes(self):
        # as a live feed decodes them: made with the record and let go with it, not held
        # for the whole day by the market (where a callback would find them cold in memory)
        stream = self.day().stream()
        kept = next([v for v in r.bid_volume + r.ask_volume if v > 256]
                    for _, _, _, name, r in stream if name == "on_snapshot")
        for _ in range(200):                    # well past the snapshot and its instrument's next
            next(stream)
        alone = [int(str(v)) for v in kept]     # ints no one else holds, for the count to expect
        assert kept and all(type(v) is int for v in kept)
        assert [sys.getrefcount(v) for v in kept] == [sys.getrefcount(v) for v in alone]

    @pytest.mark.parametrize("threaded", [False, True])
    def test_each_record_is_made_just_before_it_is_delivered(self, monkeypatch, threaded):
        # as a live gateway decodes a message just before its callback: a record made
        # ahead (a step's worth, or one per instrument waiting in the merge) would sit
        # cold in memory when the callback first reads it
        made = []

        def counted(kind):
            class Counted(kind):
                __slots__ = ()

                def __init__(self, *args, **kwargs):
                    super().__init__(*args, **kwargs)
                    made.append(self)
            return Counted

        for kind in (Snapshot, TickOrder, TickTrade, Bar):
            monkeypatch.setattr(sim_market, kind.__name__, counted(kind))
        late = []
        timed_call = Simulator._timed_call

        def check(sim, name, fn, args=()):
            if name in ("on_snapshot", "on_tick_order", "on_tick_trade", "on_bar") and made[-1] is not args[0]:
                late.append(name)
            return timed_call(sim, name, fn, args)

        monkeypatch.setattr(Simulator, "_timed_call", check)
        report, host, result = run_simulation(Options(instruments=3, days=1, minutes_per_half=11, seed=7,
                                                      threaded=threaded))
        assert report["ok"] and result.calls["on_snapshot"] > 0
        assert late == [] and len(made) == sum(result.calls[n] for n in ("on_snapshot", "on_tick_order",
                                                                          "on_tick_trade", "on_bar"))

    def test_next_day_starts_from_the_previous_close(self):
        first = self.day()
        second = self.day(index=1, prev=first.closes())
        opening = {}
        for _, i, _, name, r in second.stream():
            if name == "on_snapshot":
                opening.setdefault(i, r)
        for i, close in enumerate(first.closes()):
            snap = opening[i]
            assert snap.pre_close_price == price_of(close)
            assert (round(snap.low_limited * 100), round(snap.high_limited * 100)) == limits_of(close)

    def test_stamps_and_days(self):
        t = ns_of(datetime(2025, 1, 10, 9, 30, 1, 123000))
        assert stamp_of(t) == 20250110093001123 and ns_of_stamp(20250110093001123) == t
        assert trading_days(date(2025, 1, 11), 3) == [date(2025, 1, 13), date(2025, 1, 14), date(2025, 1, 15)]


class _Desk:
    """A counter and an algo engine on a virtual clock, with the reports they schedule."""

    def __init__(self, minutes_per_half=11):
        self.plan = SessionPlan(minutes_per_half=minutes_per_half)
        self.market = MarketDay(self.plan, make_universe(2, 5), date(2025, 1, 10), 0, 5)
        self.clock = VirtualTimerService(start_ns=ns_of(datetime(2025, 1, 10, 9, 31)))
        self.scheduler = Scheduler()
        self.counter = SimCounter(self.scheduler, self.clock, "1001", 5, self.plan)
        self.counter.begin_day(self.market, self.clock.now_ns(),
                               {(i.security_id, i.market_type): 1000 for i in self.market.instruments})
        self.algo = SimAlgoEngine(self.scheduler, self.clock, self.counter, "2001")
        self.sid = self.market.instruments[0].security_id

    def at(self, h, m, s=0):
        self.clock.advance_to(ns_of(datetime(2025, 1, 10, h, m, s)))

    def quote(self):
        return self.market.quote(self.sid, MarketType.SZSE, self.clock.now_ns())

    def insert(self, cid, side, price_ticks, qty):
        self.counter.insert_order(cid, self.sid, MarketType.SZSE, side, price_of(price_ticks), qty, PriceType.Limit)

    def delivered(self, until=None):
        """(callback, record) pairs up to ``until`` (everything by default)."""
        items = self.scheduler.pop_until(until if until is not None else 1 << 62)
        return [(i.name, i.args[0]) for i in items]

    def statuses(self, cid, items):
        return [(r.order_status.name, r.trade_qty) for name, r in items
                if name == "on_order" and r.client_order_id == cid]


class TestCounter:
    def test_marketable_order_fills_completely_at_its_limit_or_better(self):
        desk = _Desk()
        last, bid, ask, low, high = desk.quote()
        desk.insert(1, Side.Buy, ask + 3, 800)
        items = desk.delivered()
        reports = [r for name, r in items if name == "on_order"]
        assert [r.order_status for r in reports[:2]] == [OrderStatusType.UnSend, OrderStatusType.Sended]
        assert reports[0].counter_order_id == 0 < reports[1].counter_order_id
        fills = reports[2:]
        assert fills[-1].order_status is OrderStatusType.Filled and fills[-1].trade_qty == 800
        assert all(r.order_status is OrderStatusType.PartiallyFilled for r in fills[:-1])
        assert sum(r.last_match_qty for r in fills) == 800
        assert all(r.last_match_price <= price_of(ask + 3) for r in fills)
        assert [name for name, _ in items].count("on_trade") == len(fills)
        assert fills[-1].frozen_trade_value == 0.0

    def test_cancel_of_open_orders_and_of_a_filled_one(self):
        desk = _Desk()
        last, bid, ask, low, high = desk.quote()
        desk.insert(1, Side.Buy, bid, 500)               # passive: a part fills
        desk.insert(2, Side.Buy, bid - 10, 300)          # resting
        desk.insert(3, Side.Buy, ask, 100)               # marketable
        desk.at(9, 32)
        for cid in (1, 2, 3):
            desk.counter.cancel_order(cid)
        items = desk.delivered()
        one = desk.statuses(1, items)
        assert [s for s, _ in one[2:]] == ["PartiallyFilled", "PartiallyFilledWaitCancelled",
                                           "PartiallyFilledPartiallyCancelled"]
        assert 0 < one[-1][1] < 500
        assert desk.statuses(2, items)[2:] == [("WaitCancelled", 0), ("Cancelled", 0)]
        assert desk.statuses(3, items)[-1] == ("Filled", 100)
        errors = [r for name, r in items if name == "on_order_action_error"]
        assert [(e.client_order_id, e.error_code) for e in errors] == [(3, 11010204)]
        desk.counter.cancel_order(99)
        assert desk.delivered()[0][1].error_msg == "unknown order 99"

    def test_rejections(self):
        desk = _Desk()
        last, bid, ask, low, high = desk.quote()
        desk.insert(1, Side.Buy, high + 1, 100)          # above the upper limit
        desk.insert(2, Side.Buy, bid, 150)               # not whole lots
        desk.insert(3, Side.Sell, bid, 1100)             # more than the 1000 held
        desk.at(13, 11)                                  # the close of this short day
        desk.insert(4, Side.Buy, bid, 100)
        items = desk.delivered()
        rejected = {r.client_order_id: (r.order_status, r.error_code) for name, r in items if name == "on_order"}
        assert rejected == {1: (OrderStatusType.Reject, 11010120), 2: (OrderStatusType.Reject, 11010110),
                            3: (OrderStatusType.Reject, 11010130), 4: (OrderStatusType.Reject, 11000020)}
        assert "limits" in desk.counter.last_report(1).error_msg

    def test_open_orders_expire_at_the_close_and_positions_follow_fills(self):
        desk = _Desk()
        last, bid, ask, low, high = desk.quote()
        cash = desk.counter.cash_at(desk.clock.now_ns())
        desk.insert(1, Side.Buy, bid - 10, 200)           # never fills
        desk.insert(2, Side.Sell, bid - 1, 300)           # marketable sell
        items = desk.delivered()
        expiry = desk.statuses(1, items)[-1]
        assert expiry == ("Cancelled", 0)
        end = desk.plan.close_ns(desk.market.day) + NS_PER_S
        key = (desk.sid, MarketType.SZSE)
        assert desk.counter.positions_at(end)[key] == 700
        sold = [r for name, r in items if name == "on_order" and r.client_order_id == 2][-1]
        assert desk.counter.cash_at(end) == pytest.approx(cash + sold.total_trade_value)
        record = next(p for p in desk.counter.position_records_at(end) if p.security_id == desk.sid)
        assert (record.init_qty, record.leaves_qty, record.available_qty) == (1000, 700, 700)


    def test_asset_figures_follow_open_orders_and_fills(self):
        desk = _Desk()
        last, bid, ask, low, high = desk.quote()
        start = desk.counter.asset_at(desk.clock.now_ns())
        assert (start.frozen_all, start.available_t1) == (0.0, start.leaves_value)
        desk.insert(1, Side.Buy, bid - 10, 200)           # rests: its whole value is frozen
        desk.at(9, 31, 30)
        asset = desk.counter.asset_at(desk.clock.now_ns())
        assert asset.frozen_all == pytest.approx(200 * price_of(bid - 10))
        assert asset.available_t1 == pytest.approx(asset.leaves_value - asset.frozen_all)
        desk.counter.cancel_order(1)
        desk.at(9, 32)
        after = desk.counter.asset_at(desk.clock.now_ns())
        assert after.frozen_all == 0.0 and after.leaves_value == start.leaves_value
        assert after.total_asset == pytest.approx(after.leaves_value + after.market_value)

    def test_scheduler_drops_void_deliveries_and_keeps_ties_in_order(self):
        s = Scheduler()
        a = s.at(10, "td", "first")
        s.at(10, "md", "second")
        s.at(5, "td", "earlier").void = True
        s.at(20, "td", "later")
        assert s.next_time() == 10 and len(s) == 3
        assert [d.name for d in s.pop_until(10)] == ["first", "second"] and a.channel == "td"
        assert s.next_time() == 20 and s.pop_until(19) == []


class TestAlgoEngine:
    def test_pause_resume_cancel_and_their_refusals(self):
        desk = _Desk()
        start = desk.clock.now_ns()
        end = start + 7 * 60 * NS_PER_S
        pid = desk.algo.create(1, desk.sid, MarketType.SZSE, Side.Buy, 1200, 0.0, "TWAP", stamp_of(start),
                               stamp_of(end), start, end)
        desk.at(9, 33)
        desk.algo.control(pid, AlgoControlType.Resume)             # not paused: refused
        desk.algo.control(pid, AlgoControlType.Pause)
        desk.at(9, 35)
        desk.algo.control(pid, AlgoControlType.Resume)
        desk.at(9, 36, 30)
        desk.algo.cancel(pid)
        desk.at(9, 37)
        desk.algo.cancel(pid)                                       # already cancelled: refused
        items = desk.delivered()
        names = [n for n, _ in items]
        assert names[0] == "on_create_algo_parent_order_res" and items[0][1].sys_quote_id == pid
        controls = [(r.control_type, r.error_code) for n, r in items if n == "on_control_algo_parent_order_res"]
        assert controls == [(AlgoControlType.Resume, 12000002), (AlgoControlType.Pause, 0), (AlgoControlType.Resume, 0)]
        assert [r.error_code for n, r in items if n == "on_cancel_algo_parent_order_res"] == [0, 12000002]
        updates = [(r.status.name, r.trade_qty) for n, r in items if n == "on_algo_parent_order_update"]
        assert updates[:2] == [("New", 0), ("Running", 0)] and updates[-1][0] == "Cancelled"
        trades = [r for n, r in items if n == "on_algo_child_order_trade"]
        children = [r for n, r in items if n == "on_algo_child_order_update"]
        assert sum(t.trade_qty for t in trades) == updates[-1][1] < 1200
        assert len(children) == 2 * len(trades)
        assert len({r.sys_quote_id for r in children} | {t.sys_quote_id for t in trades} | {pid}) == \
            1 + 2 * len(trades)                                     # ids unique across the algo gateway


def _recording_strategy_class():
    """A strategy that notes every SDK callback with its thread, simulated time and the lock state."""
    from pyvorn import strategy
    from pyvorn.strategy import CALLBACKS

    def note(name):
        def method(self, *args):
            self.seen.append((name, threading.current_thread().name, self.sim.clock.now_ns(),
                              self.sim.delivery_lock.locked()))
            if name == "on_order":
                self.reports.append(args[0])
            elif name == "on_login":
                self.logins.append(args[0])
        return method

    namespace = {name: note(name) for name in CALLBACKS if name not in ("initialize",)}

    def __init__(self, sim, bars=True, failing_timer=False):
        strategy.VornStrategy.__init__(self)
        self.sim, self.bars, self.failing_timer = sim, bars, failing_timer
        self.seen, self.reports, self.logins = [], [], []

    def initialize(self, config):
        note("initialize")(self, config)
        ctx = self.context
        ctx.add_md_broker(MDType.XMD)
        ctx.add_td_broker(TDType.SIM)
        ctx.add_td_broker(TDType.XTP)                 # no account behind it: a failed login
        ctx.add_algo_broker(AlgoType.XTA)
        if self.bars:
            ctx.subscribe(MDType.XMD, MarketType.SZSE, SubscribeDataType.Bar, [], "1m")
        ctx.add_timer_interval(3_600 * NS_PER_S, self.nine_oclock)

    def nine_oclock(self):
        note("nine_oclock")(self)
        if self.failing_timer:
            raise RuntimeError("timer broke")

    namespace.update(__init__=__init__, initialize=initialize, nine_oclock=nine_oclock)
    return type(strategy.VornStrategy)("Recording", (strategy.VornStrategy,), namespace)


class _OrderingHost:
    """Sends one marketable buy at 09:35 of the first day; records its step ends."""

    def __init__(self, sim):
        self.sim, self.steps, self.sent = sim, [], False

    def drain(self):
        pass

    def after_step(self, now_ns):
        self.steps.append(now_ns)
        if not self.sent and now_ns >= ns_of(datetime(2025, 1, 10, 9, 35)):
            inst = self.sim.universe[0]
            _, _, ask, _, _ = self.sim.market.quote(inst.security_id, inst.market_type, now_ns)
            self.sim.context.insert_order(TDType.SIM, 1, inst.security_id, inst.market_type, Side.Buy,
                                          price_of(ask), 300)
            self.sent = True


class TestSimulatedSdk:
    PLAN = SessionPlan(minutes_per_half=11, snapshot_interval_ms=30_000)

    def session(self, threaded, **kw):
        sim = Simulator(seed=4, instruments=2, days=2, plan=self.PLAN, threaded=threaded)
        strat = _recording_strategy_class()(sim, **kw)
        host = _OrderingHost(sim)
        result = sim.run(strat, "cfg", host)
        return sim, strat, host, result

    def test_single_thread_session(self):
        sim, strat, host, result = self.session(False, failing_timer=True)
        names = [s[0] for s in strat.seen]
        assert names[:2] == ["initialize", "on_initialize"] and strat.seen[0][2] == sim.start_ns
        assert [s[2] for s in strat.seen] == sorted(s[2] for s in strat.seen)       # simulated time only moves on
        assert sorted((r.fund_account_id, r.error_code) for r in strat.logins) == [("", 1), ("1001", 0)]
        assert names.count("on_algo_login") == 1
        assert names.count("on_bar") == 2 * 2 * self.PLAN.bars_per_day
        assert names.count("on_snapshot") == 2 * 2 * self.PLAN.snapshots_per_day
        switch = [s[2] for s in strat.seen if s[0] == "on_switch_day"]
        assert switch == [ns_of(datetime(2025, 1, 13, 7, 0))]                          # Monday, not Friday
        timer = [s for s in strat.seen if s[0] == "nine_oclock"]
        assert [t[2] for t in timer] == [ns_of(datetime(2025, 1, 10, 9, 0))]
        assert result.error_count == 1 and result.errors[0]["callback"] == "nine_oclock"
        assert "timer broke" in result.errors[0]["error"]
        assert [r.order_status for r in strat.reports][:2] == [OrderStatusType.UnSend, OrderStatusType.Sended]
        assert strat.reports[-1].order_status is OrderStatusType.Filled
        assert all(t % sim.step_ns == 0 for t in host.steps[1:]) and host.steps == sorted(set(host.steps))
        assert result.calls["on_snapshot"] == len(result.latency_ns["on_snapshot"])
        with pytest.raises(RuntimeError):
            sim.run(strat, "cfg", host)

    def test_threaded_session_delivers_each_channel_on_its_thread_under_the_lock(self):
        single = self.session(False)[1]
        sim, strat, host, result = self.session(True)
        threads = {}
        for name, thread, _, locked in strat.seen:
            threads.setdefault(name, set()).add(thread)
            assert locked, name
        assert threads["initialize"] == {threading.main_thread().name}
        for name in ("on_snapshot", "on_tick_order", "on_tick_trade", "on_bar"):
            assert threads[name] == {"vorn-md"}
        for name in ("on_login", "on_order", "on_trade", "on_switch_day"):
            assert threads[name] == {"vorn-td"}
        assert threads["on_algo_login"] == {"vorn-algo"} and threads["nine_oclock"] == {"vorn-timer"}
        assert sorted((n, t) for n, _, t, _ in strat.seen) == sorted((n, t) for n, _, t, _ in single.seen)
        assert not any(w.is_alive() for w in sim._workers.values())

    def test_bars_only_when_subscribed(self):
        names = [s[0] for s in self.session(False, bars=False)[1].seen]
        assert "on_bar" not in names and "on_snapshot" in names


class TestModuleClock:
    def test_globals_see_simulated_time_and_are_restored(self):
        import types
        sim = Simulator(seed=1, instruments=1, days=1)
        module = types.ModuleType("m")
        module.datetime = dt_module.datetime
        with sim.module_clock(module):
            sim.clock.advance_to(sim.start_ns + 90 * 60 * NS_PER_S)
            assert module.datetime.now() == datetime(2025, 1, 10, 9, 30)
            assert isinstance(module.datetime.now(), dt_module.datetime)
            assert module.np.datetime64("today", "D") == np.datetime64("2025-01-10")
            assert module.np.datetime64("2024-02-29", "D") == np.datetime64("2024-02-29")
            assert module.np.arange is np.arange
            with pytest.raises(ValueError):
                module.datetime.now(dt_module.timezone.utc)
        assert module.datetime is dt_module.datetime and not hasattr(module, "np")


class TestHarnessCatchesModuleFaults:
    """The invariants are the proof that the parts work together: a module fault must fail the run."""

    @staticmethod
    def run_with(monkeypatch, tl, name, value):
        monkeypatch.setattr(tl, name, value)
        report, _, _ = run_simulation(Options(instruments=3, days=1, minutes_per_half=11))
        return {i["name"] for i in report["invariants"] if i["failures"]}, report

    def test_tick_history_without_a_bound(self, monkeypatch, tl):
        from collections import deque
        failed, report = self.run_with(monkeypatch, tl, "deque", lambda *a, maxlen=None: deque())
        assert "tick history never above 60" in failed and not report["ok"]

    def test_events_carrying_the_live_order(self, monkeypatch, tl):
        import types
        failed, _ = self.run_with(monkeypatch, tl, "copy", types.SimpleNamespace(deepcopy=lambda x: x))
        assert "event copies agree with the live order" in failed

    def test_final_fill_not_recognised(self, monkeypatch, tl):
        import types
        members = {m.name: m for m in OrderStatusType}
        members["Filled"] = object()                    # a Filled report matches no branch
        failed, _ = self.run_with(monkeypatch, tl, "OrderStatusType", types.SimpleNamespace(**members))
        assert {"orders end as their last report implies", "orders end as the strategy planned",
                "positions match the counter"} <= failed

    def test_bar_minutes_never_complete(self, monkeypatch, tl):
        from corvix.tarrow.environment import Environment
        monkeypatch.setattr(Environment, "get_universe", lambda self: list(self._universe) + ["600000.XSHG"])
        report, _, _ = run_simulation(Options(instruments=3, days=1, minutes_per_half=11))
        failed = {i["name"] for i in report["invariants"] if i["failures"]}
        assert "one BAR event per completed bar minute" in failed and "BAR" not in report["events"]


class TestDemoPlan:
    def test_every_action_fits_every_allowed_session(self):
        from tessaline_sim.strategy import algo_plan
        for minutes_per_half in range(11, 121):
            for day in (0, 1):
                schedule = day_schedule(minutes_per_half, day)
                assert max(schedule) < 2 * minutes_per_half, minutes_per_half
                algo = {a for actions in schedule.values() for a, _ in actions if a.startswith("algo")}
                create, pause, resume, cancel, window = algo_plan(minutes_per_half)
                assert create < pause < resume < cancel < create + window <= minutes_per_half  # within the morning
                assert ("algo_cancel" in algo) == (day % 2 == 0)
        with pytest.raises(ValueError):
            day_schedule(10, 0)


class TestReportAndCommandLine:
    def test_latency_percentiles_are_nearest_rank(self):
        from array import array
        from tessaline_sim.report import percentiles_us
        samples = array("q", [i * 1000 for i in range(100, 0, -1)])
        assert percentiles_us(samples) == (50.0, 99.0, 100.0)
        assert percentiles_us(array("q", [7000])) == (7.0, 7.0, 7.0)

    def test_json_report_and_no_progress_bar_off_a_terminal(self, tmp_path, capsys):
        import json
        path = tmp_path / "report.json"
        status = cli.main(["--instruments", "2", "--days", "1", "--minutes-per-half", "11", "--json", str(path)])
        out, err = capsys.readouterr()
        report = json.loads(path.read_text())
        assert status == 0 and report["ok"] and err == ""
        assert out.splitlines()[-1] == "RESULT: OK" and f"{report['events']['TICK']:,}" in out
        for section in ("Events by type", "Callback latency", "Orders:", "Fills:", "Final positions", "Invariants:"):
            assert section in out

    def test_progress_bar_draws_and_clears(self):
        import io
        sim = Simulator(seed=1, instruments=1, days=1)
        stream = io.StringIO()
        bar = cli.Progress(stream)
        bar(sim, 0.5)
        bar(sim, 0.6)                                  # within 0.1 s: not redrawn
        bar(sim, 1.0)
        bar.close()
        text = stream.getvalue()
        assert text.count("\r[") == 2 and "50.0%" in text and "100.0%" in text and text.endswith("\r")

    def test_progress_shows_a_frame_before_the_first_market_is_built(self):
        import io
        stream = io.StringIO()
        cli.Progress(stream).preparing(Options(instruments=1000))
        assert "building the market of 1,000 instruments" in stream.getvalue()
