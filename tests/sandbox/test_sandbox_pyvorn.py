"""Gateway SDK stand-in: strategy base, enums, context and timer services."""
import importlib.util
import pathlib
import threading
import time

import pytest

import pyvorn.enums as enums
import pyvorn.strategy as strategy
from pyvorn.context import Context
from pyvorn.enums import AlgoControlType, AlgoType, MarketType, MDType, OrderStatusType, SubscribeDataType, TDType
from pyvorn.gateway import Gateway, GatewayError
from pyvorn.records import ControlParentOrderRes, Snapshot
from pyvorn.timer import ThreadTimerService, VirtualTimerService

SECOND = 1_000_000_000


class TestThreadTimer:
    def test_fires_once_after_the_interval(self):
        service = ThreadTimerService()
        try:
            calls = []
            start = time.monotonic()
            handle = service.add(150_000_000, lambda: calls.append(time.monotonic() - start))
            assert handle.wait(5)
            time.sleep(0.2)
            assert len(calls) == 1 and calls[0] >= 0.145
            assert handle.fired and service.pending() == []
        finally:
            service.close()

    def test_due_order_negative_intervals_and_errors(self):
        service = ThreadTimerService()
        try:
            order, done = [], threading.Event()
            service.add(120_000_000, lambda: (order.append("late"), done.set()))
            service.add(-5 * SECOND, lambda: order.append("asap"))
            bad = service.add(0, lambda: 1 / 0)
            service.add(40_000_000, lambda: order.append("soon"))
            assert done.wait(5)
            assert order == ["asap", "soon", "late"]
            assert isinstance(bad.error, ZeroDivisionError) and service.errors[0][0] is bad
        finally:
            service.close()

    def test_cancel_and_rejections(self):
        service = ThreadTimerService()
        try:
            fired = []
            handle = service.add(100_000_000, lambda: fired.append(1))
            assert handle.cancel() and not handle.cancel()
            time.sleep(0.2)
            assert fired == []
            with pytest.raises(TypeError):
                service.add(1.5e9, lambda: None)        # nanoseconds are ints
            with pytest.raises(TypeError):
                service.add(1, None)
        finally:
            service.close()


class TestVirtualTimer:
    def test_advance_fires_due_timers_in_order_at_their_due_time(self):
        clock = VirtualTimerService(start_ns=1000)
        seen = []

        def cb(tag):
            return lambda: seen.append((tag, clock.now_ns()))

        clock.add(3 * SECOND, cb("c"))
        clock.add(SECOND, cb("a"))
        clock.add(SECOND, cb("b"))            # same due time: registration order
        clock.add(-60 * SECOND, cb("now"))
        assert clock.advance_to(1000 + SECOND) == 3
        assert seen == [("now", 1000), ("a", 1000 + SECOND), ("b", 1000 + SECOND)]
        assert clock.now_ns() == 1000 + SECOND and clock.next_due_ns() == 1000 + 3 * SECOND
        with pytest.raises(ValueError):
            clock.advance_to(0)

    def test_callbacks_chain_within_one_advance(self):
        # a daily re-arming callback, as a strategy's clock does
        clock = VirtualTimerService()
        runs = []

        def daily():
            runs.append(clock.now_ns())
            clock.add(86_400 * SECOND, daily)

        clock.add(8 * 3600 * SECOND, daily)
        clock.advance_to(3 * 86_400 * SECOND)
        assert runs == [(8 * 3600 + d * 86_400) * SECOND for d in range(3)]
        assert len(clock.pending()) == 1

    def test_exception_stops_the_advance_and_keeps_later_timers(self):
        clock = VirtualTimerService()
        fired = []
        clock.add(SECOND, lambda: 1 / 0)
        clock.add(2 * SECOND, lambda: fired.append(1))
        with pytest.raises(ZeroDivisionError):
            clock.advance_to(5 * SECOND)
        assert clock.now_ns() == SECOND and fired == []
        clock.advance_to(5 * SECOND)
        assert fired == [1]

    def test_runaway_zero_interval_loop_is_stopped(self):
        clock = VirtualTimerService()

        def again():
            clock.add(0, again)

        clock.add(0, again)
        with pytest.raises(RuntimeError, match="non-positive"):
            clock.advance_to(SECOND, max_fires=50)


class RecordingGateway(Gateway):
    def __init__(self):
        self.seen = []

    def on_registration(self, kind, args):
        self.seen.append(kind)

    def cancel_order(self, td_type, client_order_id):
        return ("cancelled", td_type, client_order_id)


class TestContext:
    def test_registrations_are_recorded_in_call_order(self):
        clock = VirtualTimerService()
        ctx = Context(timer_service=clock, gateway=RecordingGateway())
        ctx.add_md_broker(MDType.XMD)
        ctx.set_order_way(None)
        ctx.add_td_broker(TDType.XTP)
        ctx.add_algo_broker(AlgoType.XTA)
        codes = []
        ctx.subscribe(MDType.XMD, MarketType.SZSE, SubscribeDataType.Bar, codes, "1m")
        fired = []
        handle = ctx.add_timer_interval(SECOND, lambda: fired.append(1))
        assert [name for name, _ in ctx.calls] == ["add_md_broker", "set_order_way", "add_td_broker",
                                                   "add_algo_broker", "subscribe", "add_timer_interval"]
        assert ctx.order_way_set and ctx.order_way is None
        assert ctx.subscriptions[0].codes is codes and ctx.timers == [handle]
        assert ctx.gateway.seen == [name for name, _ in ctx.calls[:-1]]
        clock.advance_by(SECOND)
        assert fired == [1]

    def test_registrations_are_positional_and_typed(self):
        ctx = Context(timer_service=VirtualTimerService())
        with pytest.raises(TypeError):
            ctx.add_md_broker(md_type=MDType.XMD)
        with pytest.raises(TypeError):
            ctx.add_md_broker("XMD")
        with pytest.raises(TypeError):
            ctx.add_td_broker("XTP")
        with pytest.raises(TypeError):
            ctx.subscribe(MDType.XMD, MarketType.SZSE, SubscribeDataType.Bar, [], 60)
        assert ctx.calls == []

    def test_requests_go_to_the_gateway(self):
        ctx = Context(timer_service=VirtualTimerService())
        with pytest.raises(GatewayError):
            ctx.cancel_order(TDType.SIM, 1)
        ctx.set_gateway(RecordingGateway())
        assert ctx.cancel_order(TDType.SIM, 1) == ("cancelled", TDType.SIM, 1)
        with pytest.raises(GatewayError):
            ctx.query_asset(TDType.SIM)

    def test_start_sets_context_before_initialize(self):
        seen = []

        class Probe(strategy.VornStrategy):
            def initialize(self, config):
                seen.append(("initialize", self.context, config))

            def on_initialize(self):
                seen.append(("on_initialize",))

        ctx = Context(timer_service=VirtualTimerService())
        probe = Probe()
        assert probe.context is None
        ctx.start(probe, "cfg")
        assert seen == [("initialize", ctx, "cfg"), ("on_initialize",)] and ctx.strategy is probe


class TestStrategyBaseAndEnums:
    def test_metaclass_builds_and_records_subclasses(self):
        meta = type(strategy.VornStrategy)
        assert meta is not type

        def __init__(self, config):
            super(cls, self).__init__()
            self.config = config

        cls = meta("VornStrategy", (strategy.VornStrategy,), {"__init__": __init__, "on_bar": lambda self, bar: None})
        assert cls.__mro__[1] is strategy.VornStrategy
        assert cls in meta.strategy_classes()
        assert meta.callbacks_of(cls) == {"on_bar"}
        assert not any(k.startswith("__vorn") for k in vars(cls))      # nothing injected into the class
        assert cls("cfg").context is None
        with pytest.raises(TypeError):
            strategy.VornStrategy("cfg")

    def test_star_import_exports_only_enums(self):
        namespace = {}
        exec("from pyvorn.enums import *", namespace)
        exported = {k for k in namespace if k != "__builtins__"}
        assert exported == set(enums.__all__)
        assert {"MDType", "MarketType", "SubscribeDataType", "AlgoType", "OrderStatusType",
                "AlgoControlType"} <= exported
        # must not shadow the names a strategy module binds before the star import
        assert exported.isdisjoint({"time", "datetime", "timedelta", "copy", "deque", "np", "strategy",
                                    "Event", "EVENT", "SIDE"})

    def test_members_of_different_enums_never_compare_equal(self):
        assert OrderStatusType.Sended != AlgoControlType.Pause != 1
        names = [m.name for m in OrderStatusType]
        for n in ("UnSend", "Sended", "PartiallyFilled", "Filled", "PartiallyFilledPartiallyCancelled",
                  "WaitCancelled", "PartiallyFilledWaitCancelled", "Cancelled", "Reject"):
            assert n in names

    def test_records_are_slotted_keyword_only(self):
        snap = Snapshot(security_id="000001", market_type=MarketType.SZSE, orig_time=20250107093000000)
        assert snap.ask_price == [] and snap.ask_price is not Snapshot(
            security_id="x", market_type=MarketType.SZSE, orig_time=0).ask_price
        with pytest.raises(AttributeError):
            snap.last_prise = 1.0
        with pytest.raises(TypeError):
            Snapshot("000001", MarketType.SZSE, 0)
        res = ControlParentOrderRes(sys_quote_id=1, control_type=AlgoControlType.Resume)
        assert res.algo_control_type is AlgoControlType.Resume


def test_installed_utils_is_a_regular_package():
    # the extension's wheel drops its .so beside this __init__.py
    found = importlib.util.find_spec("corvix.tarrow.utils")
    assert found.origin and pathlib.Path(found.origin).name == "__init__.py"
