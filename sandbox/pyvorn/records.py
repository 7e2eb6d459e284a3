"""Records the SDK hands to strategy callbacks.

Each record is a slotted dataclass built with keywords only.  Time stamps are
ints YYYYMMDDHHMMSSmmm; market types are ``MarketType`` members; prices are
floats in currency units, quantities ints.  The level-2 records carry their
side and type codes as integer character codes (``ord('1')`` is 49).

Every algo object (parent order, child order, child fill) has its own
``sys_quote_id``, unique across the algo gateway; a child order and a child
fill name their parent (and a fill its child order) through the
``parent_sys_quote_id`` / ``child_sys_quote_id`` fields.
"""
from dataclasses import dataclass, field

from pyvorn.enums import (AlgoControlType, AlgoStatusType, AlgoType, MarketType, OrderStatusType,
                          PriceType, Side)

_record = dataclass(slots=True, kw_only=True)


# ---------------------------------------------------------------- market data

@_record
class Snapshot:
    security_id: str
    market_type: MarketType
    orig_time: int
    trading_phase_code: str = "T0"
    pre_close_price: float = 0.0
    open_price: float = 0.0
    high_price: float = 0.0
    low_price: float = 0.0
    last_price: float = 0.0
    close_price: float = 0.0
    total_volume_trade: int = 0
    total_value_trade: float = 0.0
    num_trades: int = 0
    high_limited: float = 0.0
    low_limited: float = 0.0
    bid_price: list = field(default_factory=list)
    bid_volume: list = field(default_factory=list)
    ask_price: list = field(default_factory=list)
    ask_volume: list = field(default_factory=list)
    open_interest: int = 0
    prev_settlement: float = 0.0
    iopv: float = 0.0


@_record
class TickOrder:
    security_id: str
    market_type: MarketType
    order_time: int
    side: int                 # character code: '1'/'2' (Shenzhen), 'B'/'S' (Shanghai)
    order_type: int           # character code: '1' market, '2' limit, 'U' best-own; 'A' add, 'D' delete
    biz_index: int = 0
    channel_no: int = 0
    order_price: float = 0.0
    order_volume: int = 0
    orig_order_no: int = 0


@_record
class TickTrade:
    security_id: str
    market_type: MarketType
    trade_time: int
    trade_type: int           # character code: 'F' fill, '4' cancel
    biz_index: int = 0
    channel_no: int = 0
    bid_appl_seq_num: int = 0
    offer_appl_seq_num: int = 0
    trade_price: float = 0.0
    trade_volume: int = 0
    value_trade: float = 0.0


@_record
class Bar:
    security_id: str
    market_type: MarketType
    end_time: int             # stamp of the bar's close (a whole minute)
    start_time: int = 0
    orig_time: int = 0        # when the gateway published the bar
    period: str = "1m"
    open: float = 0.0
    close: float = 0.0
    high: float = 0.0
    low: float = 0.0
    amount: float = 0.0
    volume: int = 0
    prev_close: float = 0.0


# ---------------------------------------------------------------- trading

@_record
class LoginRes:
    fund_account_id: str
    error_code: int = 0
    client_seq_id: int = 0
    error_msg: str = ""


@_record
class AssetRes:
    fund_account_id: str
    available_t1: float = 0.0
    frozen_all: float = 0.0
    market_value: float = 0.0
    total_asset: float = 0.0
    leaves_value: float = 0.0
    init_leaves_value: float = 0.0


@_record
class PositionRecord:
    security_id: str
    market_id: MarketType
    init_qty: int = 0
    leaves_qty: int = 0
    available_qty: int = 0
    cost_price: float = 0.0
    last_price: float = 0.0
    market_value: float = 0.0
    profit_loss: float = 0.0


@_record
class OrderReport:
    """One report about an order; ``trade_qty`` and ``total_trade_value`` are cumulative,
    ``last_match_qty`` / ``last_match_price`` the fill this report announces (0 when none)."""
    client_order_id: int
    security_id: str
    market_type: MarketType = MarketType.SZSE
    fund_account_id: str = ""
    side: Side = Side.Buy
    price_type: PriceType = PriceType.Limit
    order_price: float = 0.0
    order_qty: int = 0
    order_status: OrderStatusType = OrderStatusType.UnSend
    trade_qty: int = 0
    total_trade_value: float = 0.0
    last_match_qty: int = 0
    last_match_price: float = 0.0
    counter_order_id: int = 0
    frozen_trade_value: float = 0.0
    update_time: int = 0
    error_code: int = 0
    error_msg: str = ""


@_record
class TradeReport:
    client_order_id: int
    security_id: str
    market_type: MarketType = MarketType.SZSE
    fund_account_id: str = ""
    exec_id: str = ""
    counter_order_id: int = 0
    side: Side = Side.Buy
    match_price: float = 0.0
    match_qty: int = 0
    match_value: float = 0.0
    match_time: int = 0


@_record
class OrderActionError:
    client_order_id: int
    counter_order_id: int = 0
    error_code: int = 0
    error_msg: str = ""


# ---------------------------------------------------------------- algorithmic orders

@_record
class AlgoLoginRes:
    trader_id: str
    client_seq_id: int = 0
    error_code: int = 0
    error_msg: str = ""


@_record
class CreateParentOrderRes:
    client_seq_id: int
    sys_quote_id: int = 0
    error_code: int = 0
    error_msg: str = ""


@_record
class CancelParentOrderRes:
    sys_quote_id: int
    client_seq_id: int = 0
    error_code: int = 0
    error_msg: str = ""


@_record
class ControlParentOrderRes:
    """Both ``control_type`` and ``algo_control_type`` carry the requested action;
    ``algo_control_type`` defaults to ``control_type``."""
    sys_quote_id: int
    control_type: AlgoControlType
    algo_control_type: AlgoControlType = None
    error_code: int = 0
    error_msg: str = ""

    def __post_init__(self):
        if self.algo_control_type is None:
            self.algo_control_type = self.control_type


@_record
class ParentOrder:
    sys_quote_id: int
    security_id: str
    market_type: MarketType
    side: Side
    order_qty: int
    client_seq_id: int = 0
    fund_account_id: str = ""
    algo_type: AlgoType = AlgoType.XTA
    algo_name: str = "TWAP"
    price: float = 0.0            # limit price; 0 for none
    status: AlgoStatusType = AlgoStatusType.New
    trade_qty: int = 0            # cumulative
    trade_value: float = 0.0      # cumulative
    start_time: int = 0
    end_time: int = 0
    create_time: int = 0
    update_time: int = 0
    error_code: int = 0
    error_msg: str = ""


@_record
class ChildOrder:
    sys_quote_id: int
    parent_sys_quote_id: int
    security_id: str
    market_type: MarketType
    side: Side
    order_qty: int
    order_price: float = 0.0
    price_type: PriceType = PriceType.Limit
    order_status: OrderStatusType = OrderStatusType.UnSend
    counter_order_id: int = 0
    trade_qty: int = 0            # cumulative
    trade_value: float = 0.0      # cumulative
    create_time: int = 0
    update_time: int = 0
    error_code: int = 0
    error_msg: str = ""


@_record
class ChildTrade:
    sys_quote_id: int
    parent_sys_quote_id: int
    child_sys_quote_id: int
    security_id: str
    market_type: MarketType
    side: Side
    trade_price: float
    trade_qty: int
    trade_value: float = 0.0
    trade_time: int = 0
    exec_id: str = ""


__all__ = [
    "Snapshot", "TickOrder", "TickTrade", "Bar",
    "LoginRes", "AssetRes", "PositionRecord", "OrderReport", "TradeReport", "OrderActionError",
    "AlgoLoginRes", "CreateParentOrderRes", "CancelParentOrderRes", "ControlParentOrderRes",
    "ParentOrder", "ChildOrder", "ChildTrade",
]
