"""Pure-Python twin of tessaline's hot callbacks: the baseline the benchmark
compares the extension with.

This is the code a host team would write by hand for the same behaviour: a
plain module with the same globals, the same query functions and the same
VornStrategy methods, reading the same record attributes in the same order,
calling the host in the same order and posting the same events. The benchmark
imports it as is (the interpreted twin) and compiles the very same source with
Cython (the compiled twin); both get their globals rebound exactly like the
extension's for each host profile.

Only the callbacks that are measured are here, plus ``__init__``.
"""
from corvix.tarrow.environment import Environment
from corvix.tarrow.core.events import EVENT, Event
from corvix.tarrow.model.tick import TickObject
from corvix.tarrow.model.trade import Trade
from corvix.tarrow.model.l2_order import L2Order
from corvix.tarrow.model.l2_transaction import L2Transaction
from corvix.tarrow.utils.datetime_func import convert_int_to_whole_date, convert_int_to_datetime
from corvix.tarrow.utils.trade_func import (get_exchane_from_vorn_mdtype, get_vorn_tdtype,
                                            get_side_from_vorn_l2_order, get_order_type_from_vorn_l2_order,
                                            get_trade_type_from_vorn, get_l2order_type_from_vorn)
from corvix.tarrow.utils.logger import system_log, user_system_log
from corvix.tarrow.const import ORDER_STATUS, POSITION_DIRECTION, SIDE
from corvix.tarrow.portfolio.position import Position
from numpy_ringbuffer import RingBuffer as RB
from collections import deque
import copy
from datetime import datetime
from pyvorn import strategy
from pyvorn.enums import *  # noqa: F401,F403  (OrderStatusType)

event_queue = RB(capacity=1000000, dtype=object)
history_bar = {}
history_tick = {}
orders_dict = {}


def get_current_tick(market_code):
    if market_code in history_tick:
        return history_tick[market_code][-1]
    return None


def history_ticks(market_code, count):
    if market_code in history_tick:
        return list(history_tick[market_code])[count * -1:]
    return None


class VornStrategy(strategy.VornStrategy):

    def __init__(self, config):
        super().__init__()
        self.logged_in = False
        self.order_num = 0
        self.bar_cnt = 0
        self.current_trade_dt = 0
        self.first_dt = datetime.now().date()
        self.config = config

    def on_snapshot(self, snapshot):
        dt = convert_int_to_datetime(snapshot.orig_time / 1000)
        market_code = snapshot.security_id + "." + get_exchane_from_vorn_mdtype(snapshot.market_type)
        tick_dict = {
            "market_code": market_code,
            "datetime": dt,
            "open_price": snapshot.open_price,
            "close_price": snapshot.close_price,
            "high_price": snapshot.high_price,
            "low_price": snapshot.low_price,
            "total_turnover": snapshot.total_value_trade,
            "volume": snapshot.total_volume_trade,
            "prev_close": snapshot.pre_close_price,
            "ask_vols": snapshot.ask_volume,
            "asks": snapshot.ask_price,
            "bid_vols": snapshot.bid_volume,
            "bids": snapshot.bid_price,
            "high_limited": snapshot.high_limited,
            "last_price": snapshot.last_price,
            "low_limited": snapshot.low_limited,
            "open_interest": snapshot.open_interest,
            "prev_settlement": snapshot.prev_settlement,
            "iopv": snapshot.iopv,
            "trading_phase_code": snapshot.trading_phase_code,
        }
        if market_code not in history_tick:
            history_tick[market_code] = deque(maxlen=60)
        history_tick[market_code].append(tick_dict)
        event_queue.append(Event(EVENT.TICK, calendar_dt=dt, trading_dt=dt,
                                 tick=TickObject(Environment.get_instance().data_proxy.instruments(market_code),
                                                 tick_dict)))

    def on_tick_order(self, tick_order):
        dt = convert_int_to_datetime(tick_order.order_time / 1000)
        market_code = tick_order.security_id + "." + get_exchane_from_vorn_mdtype(tick_order.market_type)
        side = get_side_from_vorn_l2_order(chr(tick_order.side), tick_order.market_type)
        l2_order = L2Order.__from_create__(
            tick_order.biz_index, market_code, dt, side, tick_order.order_price, tick_order.order_volume,
            get_order_type_from_vorn_l2_order(chr(tick_order.order_type), tick_order.market_type),
            tick_order.orig_order_no,
            get_l2order_type_from_vorn(chr(tick_order.order_type), tick_order.market_type))
        event_queue.append(Event(EVENT.L2_ORDER, calendar_dt=dt, trading_dt=dt, l2_order=l2_order))

    def on_tick_trade(self, tick_trade):
        dt = convert_int_to_datetime(tick_trade.trade_time / 1000)
        market_code = tick_trade.security_id + "." + get_exchane_from_vorn_mdtype(tick_trade.market_type)
        if tick_trade.bid_appl_seq_num > tick_trade.offer_appl_seq_num:
            side = SIDE.BUY
        else:
            side = SIDE.SELL
        l2_transaction = L2Transaction.__from_create__(
            tick_trade.biz_index, market_code, dt, side, tick_trade.trade_price, tick_trade.trade_volume,
            tick_trade.value_trade, get_trade_type_from_vorn(chr(tick_trade.trade_type)),
            tick_trade.bid_appl_seq_num, tick_trade.offer_appl_seq_num)
        event_queue.append(Event(EVENT.L2_TRANSACTION, calendar_dt=dt, trading_dt=dt,
                                 l2_transaction=l2_transaction))

    def on_bar(self, bar):
        market_code = bar.security_id + "." + get_exchane_from_vorn_mdtype(bar.market_type)
        bar_dict = {
            "market_code": market_code,
            "orig_time": convert_int_to_datetime(bar.end_time / 1000),
            "open_price": bar.open,
            "close_price": bar.close,
            "high_price": bar.high,
            "low_price": bar.low,
            "total_turnover": bar.amount,
            "volume": bar.volume,
            "prev_close": bar.prev_close,
        }
        if market_code not in history_bar:
            history_bar[market_code] = deque()
        history_bar[market_code].append(bar_dict)
        if self.current_trade_dt == 0 or self.current_trade_dt == bar.end_time / 1000:
            self.bar_cnt += 1
        else:
            self.bar_cnt = 1
        self.current_trade_dt = bar.end_time / 1000
        if self.bar_cnt == len(Environment.get_instance().get_universe()):
            calendar_dt = convert_int_to_whole_date(int(self.current_trade_dt))
            event_queue.append(Event(EVENT.BAR, calendar_dt=calendar_dt, trading_dt=calendar_dt))
            self.bar_cnt = 0

    def on_query_position(self, query_position_res, request_id, code, msg):
        system_log.info(f"on_query_position: code:{code}, msg:{msg}")
        if code != 0:
            event_queue.append(Event(EVENT.QUERY_ACCOUNT, rid=request_id, code=code, msg=msg))
            return
        if type(query_position_res) is not list or len(query_position_res) == 0:
            return
        positions = []
        for position_res in query_position_res:
            try:
                market_code = position_res.security_id + "." + get_exchane_from_vorn_mdtype(position_res.market_id)
                position = Position(market_code, POSITION_DIRECTION.LONG, position_res.init_qty)
                position.set_state({
                    "quantity": position_res.leaves_qty,
                    "available_qty": position_res.available_qty,
                    "avg_price": position_res.cost_price,
                    "last_price": position_res.last_price,
                    "market_value": position_res.market_value,
                    "daily_pnl": position_res.profit_loss,
                })
            except Exception as e:
                user_system_log.warning(
                    f"on_query_position position do not add: {position_res.security_id}  exception: {e}")
                continue
            positions.append(position)
        event_queue.append(Event(EVENT.QUERY_POSITION, rid=request_id, positions=positions))

    def on_order(self, order):
        system_log.info(
            f"on_order:{order.client_order_id}, symbol: {order.security_id}, price:{order.order_price}, "
            f"status:{order.order_status}, order_qty:{order.order_qty}, trade_qty:{order.trade_qty}, "
            f"total_trade_value: {order.total_trade_value}, error_msg:{order.error_msg}, "
            f"last_match_qty: {order.last_match_qty}")
        if order.client_order_id not in orders_dict:
            return
        cx_order = orders_dict[order.client_order_id]
        account = Environment.get_instance().get_account(cx_order.market_code)
        if order.order_status == OrderStatusType.UnSend or order.order_status == OrderStatusType.Sended:
            # a late acceptance never reopens a finished order
            if cx_order.status == ORDER_STATUS.FILLED or cx_order.status == ORDER_STATUS.CANCELLED:
                return
            cx_order.secondary_order_id = order.counter_order_id
            cx_order.set_frozen_cash(order.frozen_trade_value)
            if order.counter_order_id and order.counter_order_id > 0 and cx_order.status != ORDER_STATUS.ACTIVE:
                cx_order.status = ORDER_STATUS.ACTIVE
                event_queue.append(Event(EVENT.ORDER_CREATION_PASS, account=account,
                                         order=copy.deepcopy(cx_order)))
        elif (order.order_status == OrderStatusType.PartiallyFilled
              or order.order_status == OrderStatusType.Filled
              or order.order_status == OrderStatusType.PartiallyFilledPartiallyCancelled
              or order.order_status == OrderStatusType.WaitCancelled
              or order.order_status == OrderStatusType.PartiallyFilledWaitCancelled
              or order.order_status == OrderStatusType.Cancelled):
            if order.last_match_qty > 0:
                trade = Trade.__from_create__(
                    order_id=cx_order.order_id,
                    price=order.last_match_price,
                    amount=order.last_match_qty,
                    side=cx_order.side,
                    position_effect=cx_order.position_effect,
                    market_code=cx_order.market_code,
                    frozen_price=cx_order.price,
                )
                total_trade_value = order.total_trade_value
                trade_qty = order.trade_qty
                if trade_qty != 0:  # no cumulative quantity: keep the last average
                    cx_order.avg_price = total_trade_value / trade_qty
                cx_order.filled_quantity = order.trade_qty
                cx_order.unfilled_quantity = order.order_qty - order.trade_qty
                if order.order_status == OrderStatusType.Filled:
                    cx_order.status = ORDER_STATUS.FILLED
                elif order.order_status == OrderStatusType.PartiallyFilled:
                    cx_order.status = ORDER_STATUS.PARTIALLY_FILLED
                event_queue.append(Event(EVENT.TRADE, account=account, trade=trade,
                                         order=copy.deepcopy(cx_order)))
            if (order.order_status == OrderStatusType.PartiallyFilledPartiallyCancelled
                    or order.order_status == OrderStatusType.Cancelled):
                cx_order.status = ORDER_STATUS.CANCELLED
                event_queue.append(Event(EVENT.ORDER_CANCELLATION_PASS, account=account,
                                         order=copy.deepcopy(cx_order)))
            elif (order.order_status == OrderStatusType.PartiallyFilledWaitCancelled
                  or order.order_status == OrderStatusType.WaitCancelled):
                if cx_order.filled_quantity > 0:
                    cx_order.status = ORDER_STATUS.PARTIALLY_FILLED
                event_queue.append(Event(EVENT.ORDER_PENDING_CANCEL, account=account,
                                         order=copy.deepcopy(cx_order)))
        elif order.order_status == OrderStatusType.Reject:
            cx_order.mark_rejected(str(order.error_code) + "_" + str(order.error_msg))
            cx_order.set_frozen_cash(order.frozen_trade_value)
            event_queue.append(Event(EVENT.ORDER_UNSOLICITED_UPDATE, account=account,
                                     order=copy.deepcopy(cx_order)))
