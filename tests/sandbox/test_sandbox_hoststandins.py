"""Host framework stand-ins: the behaviour tessaline relies on."""
import copy
from datetime import datetime

import numpy as np
import pytest

from corvix.tarrow.config import TradingCalendar
from corvix.tarrow.const import L2_ORDER_TYPE, ORDER_STATUS, ORDER_TYPE, POSITION_DIRECTION, SIDE, TRADE_TYPE
from corvix.tarrow.core.events import EVENT, Event
from corvix.tarrow.environment import Environment
from corvix.tarrow.model.algo_child_order import AlgoChildOrder
from corvix.tarrow.model.algo_child_trade import AlgoChildTrade
from corvix.tarrow.model.algo_parent_order import AlgoParentOrder
from corvix.tarrow.model.order import Order
from corvix.tarrow.model.tick import TickObject
from corvix.tarrow.portfolio.account import Account
from corvix.tarrow.portfolio.position import Position
from corvix.tarrow.utils import datetime_func as dtf
from corvix.tarrow.utils import trade_func as tf
from pyvorn.enums import AlgoStatusType, MarketType, OrderStatusType, Side, TDType
from pyvorn.records import ChildOrder, ChildTrade, ParentOrder


class TestStampConversion:
    def test_every_millisecond_of_a_second_lands_within_2ms(self):
        # stamp / 1000 is a double with ~1/256 s resolution at this magnitude
        base = 20250107093015000
        for ms in range(1000):
            got = dtf.convert_int_to_datetime((base + ms) / 1000)
            expected = datetime(2025, 1, 7, 9, 30, 15, ms * 1000)
            assert abs((got - expected).total_seconds()) <= 0.002, ms
            assert got.microsecond % 1000 == 0

    @pytest.mark.parametrize("stamp, expected", [
        (20250107093059999, datetime(2025, 1, 7, 9, 31, 0)),     # float rounds up to ...60.0
        (20250107095959999, datetime(2025, 1, 7, 10, 0, 0)),
        (20251231235959999, datetime(2026, 1, 1, 0, 0, 0)),
        (20240229120000500, datetime(2024, 2, 29, 12, 0, 0, 500000)),
    ])
    def test_float_rounding_carries_into_next_second(self, stamp, expected):
        assert dtf.convert_int_to_datetime(stamp / 1000) == expected

    def test_rounds_to_the_nearest_millisecond(self):
        assert dtf.convert_int_to_datetime(20250107093015 + 33 / 256).microsecond == 129000   # .12890625 s

    def test_int_stamps_of_both_widths_are_exact(self):
        assert dtf.convert_int_to_datetime(20250107093015123) == datetime(2025, 1, 7, 9, 30, 15, 123000)
        assert dtf.convert_int_to_datetime(20250107093015) == datetime(2025, 1, 7, 9, 30, 15)

    @pytest.mark.parametrize("value", [1.5, 3.0, 0, 20250107093060, 20250230093000.0,
                                       20251307093000123, float("nan"), -20250107093000.0])
    def test_invalid_stamps_raise_value_error(self, value):
        with pytest.raises(ValueError, match="time stamp"):
            dtf.convert_int_to_datetime(value)

    def test_non_numbers_raise_type_error(self):
        for value in ("20250107093000", None, True):
            with pytest.raises(TypeError):
                dtf.convert_int_to_datetime(value)

    def test_whole_date(self):
        assert dtf.convert_int_to_whole_date(int(20250107093100000 / 1000)) == datetime(2025, 1, 7, 9, 31)
        assert dtf.convert_int_to_whole_date(20250107) == datetime(2025, 1, 7)
        with pytest.raises(TypeError):
            dtf.convert_int_to_whole_date(20250107093100.0)     # callers truncate first
        with pytest.raises(ValueError):
            dtf.convert_int_to_whole_date(1)

    def test_stamp_round_trip(self):
        dt = datetime(2025, 1, 7, 14, 56, 59, 7000)
        assert dtf.convert_int_to_datetime(dtf.convert_datetime_to_stamp(dt)) == dt


class TestCodeMappings:
    def test_exchange_suffix_and_td_type(self):
        assert tf.get_exchane_from_vorn_mdtype(MarketType.SZSE) == "XSHE"
        assert tf.get_exchane_from_vorn_mdtype(MarketType.SSE) == "XSHG"
        assert tf.get_vorn_tdtype("XTP") is TDType.XTP
        for bad in ("xtp", "NOPE"):
            with pytest.raises(ValueError):
                tf.get_vorn_tdtype(bad)
        with pytest.raises(ValueError):
            tf.get_exchane_from_vorn_mdtype("SZSE")     # a name is not a market type

    def test_level2_characters(self):
        szse, sse = MarketType.SZSE, MarketType.SSE
        assert tf.get_side_from_vorn_l2_order(chr(49), szse) is SIDE.BUY
        assert tf.get_side_from_vorn_l2_order("2", szse) is SIDE.SELL
        assert tf.get_side_from_vorn_l2_order("S", sse) is SIDE.SELL
        assert [tf.get_order_type_from_vorn_l2_order(c, szse) for c in "12U"] == \
            [ORDER_TYPE.MARKET, ORDER_TYPE.LIMIT, ORDER_TYPE.BEST_OWN]
        assert tf.get_l2order_type_from_vorn("D", sse) is L2_ORDER_TYPE.CANCEL
        assert tf.get_l2order_type_from_vorn("2", szse) is L2_ORDER_TYPE.ADD
        assert tf.get_trade_type_from_vorn("F") is TRADE_TYPE.FILL
        assert tf.get_trade_type_from_vorn("4") is TRADE_TYPE.CANCEL

    @pytest.mark.parametrize("call", [
        lambda: tf.get_side_from_vorn_l2_order("B", MarketType.SZSE),
        lambda: tf.get_order_type_from_vorn_l2_order("X", MarketType.SZSE),
        lambda: tf.get_l2order_type_from_vorn("1", MarketType.SHFE),
        lambda: tf.get_trade_type_from_vorn("0"),
    ])
    def test_unknown_codes_raise_value_error(self, call):
        with pytest.raises(ValueError):
            call()

    @pytest.mark.parametrize("code", [49, "49", b"1", ""])
    def test_codes_that_are_not_one_char_strings_raise_type_error(self, code):
        with pytest.raises(TypeError):
            tf.get_side_from_vorn_l2_order(code, MarketType.SZSE)
        with pytest.raises(TypeError):
            tf.get_trade_type_from_vorn(code)


class TestEvent:
    def test_fields_keep_keyword_order(self):
        event = Event(EVENT.QUERY_ACCOUNT, rid=7, account_id="1001", code=3, msg="no")
        assert event.event_type is EVENT.QUERY_ACCOUNT
        assert event.fields == ("rid", "account_id", "code", "msg")
        assert list(event.as_dict().items()) == [("rid", 7), ("account_id", "1001"), ("code", 3), ("msg", "no")]
        assert "account_id='1001'" in repr(event)
        assert Event(EVENT.LOGIN, msg=1, rid=2).fields == ("msg", "rid")

    def test_rejects_misuse(self):
        with pytest.raises(TypeError):
            Event("tick")
        with pytest.raises(TypeError):
            Event(EVENT.TICK, EVENT.BAR)
        with pytest.raises(TypeError):
            Event(EVENT.TICK, fields=1)


class TestOrder:
    def make(self):
        return Order.__from_create__("000001.XSHE", 300, SIDE.BUY, 10.5)

    def test_fresh_ids_and_initial_state(self):
        a, b = self.make(), self.make()
        assert b.order_id != a.order_id
        assert (a.status, a.filled_quantity, a.unfilled_quantity) == (ORDER_STATUS.PENDING_NEW, 0, 300)

    def test_deepcopy_is_independent_and_complete(self):
        order = self.make()
        order.secondary_order_id = 88
        order.set_frozen_cash(3150.0)
        clone = copy.deepcopy(order)
        order.status = ORDER_STATUS.FILLED
        order.filled_quantity = 300
        assert clone.status is ORDER_STATUS.PENDING_NEW and clone.filled_quantity == 0
        assert (clone.order_id, clone.secondary_order_id, clone.frozen_cash, clone.side) == \
            (order.order_id, 88, 3150.0, SIDE.BUY)

    def test_mark_rejected_and_typo_protection(self):
        order = self.make()
        order.mark_rejected("10_no money")
        assert (order.status, order.message) == (ORDER_STATUS.REJECTED, "10_no money")
        with pytest.raises(AttributeError):
            order.filled_qty = 1


class TestFromVorn:
    def parent(self, **kw):
        fields = dict(sys_quote_id=900, security_id="600000", market_type=MarketType.SSE, side=Side.Buy,
                      order_qty=1000, status=AlgoStatusType.Running, trade_qty=200, trade_value=2000.0,
                      start_time=20250107093000000)
        fields.update(kw)
        return ParentOrder(**fields)

    def test_new_then_update_in_place(self):
        first = AlgoParentOrder.from_vorn(self.parent(), None)
        assert (first.parent_order_id, first.market_code, first.side) == (900, "600000.XSHG", SIDE.BUY)
        assert first.status is ORDER_STATUS.PARTIALLY_FILLED and first.avg_price == 10.0
        assert first.start_time == datetime(2025, 1, 7, 9, 30)
        again = AlgoParentOrder.from_vorn(self.parent(status=AlgoStatusType.Finished, trade_qty=1000,
                                                      trade_value=10100.0), first)
        assert again is first
        assert (first.status, first.filled_quantity, first.update_count) == (ORDER_STATUS.FILLED, 1000, 2)

    def test_deepcopy_survives_and_detaches(self):
        stored = AlgoParentOrder.from_vorn(self.parent(), None)
        posted = copy.deepcopy(stored)
        AlgoParentOrder.from_vorn(self.parent(status=AlgoStatusType.Paused), stored)
        assert stored.paused and not posted.paused
        assert posted.parent_order_id == 900 and posted.start_time == stored.start_time

    def test_record_of_another_object_is_refused(self):
        stored = AlgoParentOrder.from_vorn(self.parent(), None)
        with pytest.raises(ValueError):
            AlgoParentOrder.from_vorn(self.parent(sys_quote_id=901), stored)
        with pytest.raises(TypeError):
            AlgoChildOrder.from_vorn(self.parent(), stored)

    def test_child_order_and_trade(self):
        rec = ChildOrder(sys_quote_id=5, parent_sys_quote_id=900, security_id="000001", market_type=MarketType.SZSE,
                         side=Side.Sell, order_qty=300, order_status=OrderStatusType.PartiallyFilledWaitCancelled,
                         trade_qty=100, trade_value=1050.0)
        child = AlgoChildOrder.from_vorn(rec, None)
        assert (child.status, child.unfilled_quantity, child.side) == (ORDER_STATUS.PENDING_CANCEL, 200, SIDE.SELL)
        fill = AlgoChildTrade.from_vorn(ChildTrade(sys_quote_id=77, parent_sys_quote_id=900, child_sys_quote_id=5,
                                                   security_id="000001", market_type=MarketType.SZSE,
                                                   side=Side.Sell, trade_price=10.5, trade_qty=100,
                                                   trade_time=20250107100000250), None)
        assert (fill.child_order_id, fill.value) == (5, 1050.0)
        assert fill.trading_dt == datetime(2025, 1, 7, 10, 0, 0, 250000)


class TestEnvironmentAndPortfolio:
    def teardown_method(self):
        Environment.set_instance(None)

    def test_reset_configures_the_singleton(self):
        stock = Account("1001")
        env = Environment.reset(universe=["000001.XSHE", "600000.XSHG"], accounts=stock)
        assert Environment.get_instance() is env
        assert len(env.get_universe()) == 2
        instrument = env.data_proxy.instruments("600000.XSHG")
        assert (instrument.symbol, instrument.exchange) == ("600000", "XSHG")
        assert env.data_proxy.instruments("999999.XSHE") is None
        assert env.get_account("000001.XSHE") is stock
        env.get_universe().append("x")
        assert len(env.get_universe()) == 2

    def test_default_instance(self):
        env = Environment.get_instance()
        assert env.get_universe() == [] and env.get_account("000001.XSHE").account_id == "SANDBOX"

    def test_position_state(self):
        pos = Position("000001.XSHE", POSITION_DIRECTION.LONG, 500)
        pos.set_state({"quantity": 300, "available_qty": 200, "avg_price": 9.5, "last_price": 10.0,
                       "market_value": 3000.0, "daily_pnl": 150.0})
        assert (pos.init_qty, pos.quantity, pos.daily_pnl) == (500, 300, 150.0)
        with pytest.raises(KeyError):
            pos.set_state({"qty": 1})
        with pytest.raises(TypeError):
            Position("000001.XSHE", "LONG", 1)

    def test_tick_object_shares_the_dict(self):
        tick_dict = {"market_code": "000001.XSHE", "last_price": 10.0}
        tick = TickObject(None, tick_dict)
        tick_dict["last_price"] = 10.1
        assert tick.tick_dict is tick_dict and tick.last == 10.1

    def test_trading_calendar_answers_numpy_days(self):
        cal = TradingCalendar.weekdays("2025-01-01", "2025-01-10", holidays=["2025-01-01"])
        assert np.datetime64("2025-01-02", "D") in cal
        assert np.datetime64("2025-01-01", "D") not in cal       # holiday
        assert np.datetime64("2025-01-04", "D") not in cal       # Saturday
        assert len(cal) == 7 and "2025-01-02..2025-01-10" in str(cal)
