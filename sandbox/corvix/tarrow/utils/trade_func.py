"""Translations between gateway codes and host codes.

The level-2 mappings take one-character strings: tick-by-tick records carry
their side, order type and trade type as character codes, and the caller turns
them into characters (``chr(record.side)``) before asking.  Handing over the raw
integer is a caller bug and raises TypeError; a character we do not know raises
ValueError.
"""
from pyvorn.enums import AlgoStatusType, MarketType, OrderStatusType, Side, TDType

from corvix.tarrow.const import L2_ORDER_TYPE, ORDER_STATUS, ORDER_TYPE, SIDE, TRADE_TYPE

_EXCHANGE_OF_MARKET = {
    MarketType.SZSE: "XSHE",
    MarketType.SSE: "XSHG",
    MarketType.BSE: "BJSE",
    MarketType.SHFE: "XSGE",
    MarketType.DCE: "XDCE",
    MarketType.CZCE: "XZCE",
    MarketType.CFFEX: "CCFX",
    MarketType.INE: "XINE",
}
_MARKET_OF_EXCHANGE = {v: k for k, v in _EXCHANGE_OF_MARKET.items()}

# Shenzhen sends sides '1'/'2' and price types '1' market, '2' limit, 'U' best-own;
# every Shenzhen order record adds to the book (cancels arrive as transactions).
# Shanghai sends sides 'B'/'S' and order kinds 'A' add, 'D' delete; its orders are limit orders.
_L2_SIDE = {
    MarketType.SZSE: {"1": SIDE.BUY, "2": SIDE.SELL},
    MarketType.SSE: {"B": SIDE.BUY, "S": SIDE.SELL, "1": SIDE.BUY, "2": SIDE.SELL},
}
_L2_ORDER_TYPE = {
    MarketType.SZSE: {"1": ORDER_TYPE.MARKET, "2": ORDER_TYPE.LIMIT, "U": ORDER_TYPE.BEST_OWN},
    MarketType.SSE: {"A": ORDER_TYPE.LIMIT, "D": ORDER_TYPE.LIMIT},
}
_L2_ORDER_KIND = {
    MarketType.SZSE: {"1": L2_ORDER_TYPE.ADD, "2": L2_ORDER_TYPE.ADD, "U": L2_ORDER_TYPE.ADD},
    MarketType.SSE: {"A": L2_ORDER_TYPE.ADD, "D": L2_ORDER_TYPE.CANCEL},
}
_TRADE_TYPE = {"F": TRADE_TYPE.FILL, "4": TRADE_TYPE.CANCEL}

_SIDE_OF_VORN = {Side.Buy: SIDE.BUY, Side.Sell: SIDE.SELL}
_VORN_OF_SIDE = {v: k for k, v in _SIDE_OF_VORN.items()}

_STATUS_OF_VORN = {
    OrderStatusType.UnSend: ORDER_STATUS.PENDING_NEW,
    OrderStatusType.Sended: ORDER_STATUS.ACTIVE,
    OrderStatusType.PartiallyFilled: ORDER_STATUS.PARTIALLY_FILLED,
    OrderStatusType.Filled: ORDER_STATUS.FILLED,
    OrderStatusType.PartiallyFilledPartiallyCancelled: ORDER_STATUS.CANCELLED,
    OrderStatusType.WaitCancelled: ORDER_STATUS.PENDING_CANCEL,
    OrderStatusType.PartiallyFilledWaitCancelled: ORDER_STATUS.PENDING_CANCEL,
    OrderStatusType.Cancelled: ORDER_STATUS.CANCELLED,
    OrderStatusType.Reject: ORDER_STATUS.REJECTED,
}


def _char(code, what):
    if not isinstance(code, str) or len(code) != 1:
        raise TypeError(f"{what} must be a one-character string, got {code!r}")
    return code


def _lookup(table, key, what):
    try:
        return table[key]
    except (KeyError, TypeError):
        raise ValueError(f"unknown {what}: {key!r}") from None


def get_exchane_from_vorn_mdtype(market_type):
    """Exchange suffix of instrument codes ("XSHE", "XSHG", ...) for a gateway ``MarketType``."""
    return _lookup(_EXCHANGE_OF_MARKET, market_type, "gateway market type")


def get_vorn_mdtype_from_exchange(exchange):
    """Gateway ``MarketType`` of an exchange suffix; the inverse of ``get_exchane_from_vorn_mdtype``."""
    return _lookup(_MARKET_OF_EXCHANGE, exchange, "exchange")


def get_vorn_tdtype(name):
    """``TDType`` member of a trading-gateway name written in upper case ("XTP")."""
    if not isinstance(name, str):
        raise TypeError(f"trading gateway name must be a str, got {name!r}")
    member = TDType.__members__.get(name)
    if member is None:
        raise ValueError(f"unknown trading gateway {name!r}; known: {', '.join(TDType.__members__)}")
    return member


def get_side_from_vorn_l2_order(side_char, market_type):
    """Host ``SIDE`` of a tick-by-tick order's side character."""
    table = _lookup(_L2_SIDE, market_type, "market type for level-2 orders")
    return _lookup(table, _char(side_char, "level-2 order side"), f"level-2 order side on {market_type!r}")


def get_order_type_from_vorn_l2_order(type_char, market_type):
    """Host ``ORDER_TYPE`` of a tick-by-tick order's type character."""
    table = _lookup(_L2_ORDER_TYPE, market_type, "market type for level-2 orders")
    return _lookup(table, _char(type_char, "level-2 order type"), f"level-2 order type on {market_type!r}")


def get_l2order_type_from_vorn(type_char, market_type):
    """Host ``L2_ORDER_TYPE`` (add to / delete from the book) of a tick-by-tick order's type character."""
    table = _lookup(_L2_ORDER_KIND, market_type, "market type for level-2 orders")
    return _lookup(table, _char(type_char, "level-2 order type"), f"level-2 order type on {market_type!r}")


def get_trade_type_from_vorn(type_char):
    """Host ``TRADE_TYPE`` of a tick-by-tick transaction's type character ('F' fill, '4' cancel)."""
    return _lookup(_TRADE_TYPE, _char(type_char, "level-2 trade type"), "level-2 trade type")


def get_side_from_vorn(side):
    """Host ``SIDE`` of a gateway ``Side``."""
    return _lookup(_SIDE_OF_VORN, side, "gateway side")


def get_vorn_side(side):
    """Gateway ``Side`` of a host ``SIDE``."""
    return _lookup(_VORN_OF_SIDE, side, "host side")


def get_order_status_from_vorn(status):
    """Host ``ORDER_STATUS`` of a gateway ``OrderStatusType`` (used for child orders)."""
    return _lookup(_STATUS_OF_VORN, status, "gateway order status")


def get_algo_status_from_vorn(status, filled_quantity, quantity):
    """Host ``ORDER_STATUS`` of a parent order's ``AlgoStatusType`` and fill.

    A running or paused parent with fills is partially filled; a finished one is
    filled only when its whole quantity traded, otherwise it ended unfilled in
    part and counts as cancelled.
    """
    if status is AlgoStatusType.New:
        return ORDER_STATUS.PENDING_NEW
    if status in (AlgoStatusType.Running, AlgoStatusType.Paused):
        return ORDER_STATUS.PARTIALLY_FILLED if filled_quantity > 0 else ORDER_STATUS.ACTIVE
    if status is AlgoStatusType.Finished:
        return ORDER_STATUS.FILLED if filled_quantity >= quantity else ORDER_STATUS.CANCELLED
    if status is AlgoStatusType.Cancelled:
        return ORDER_STATUS.CANCELLED
    if status is AlgoStatusType.Rejected:
        return ORDER_STATUS.REJECTED
    raise ValueError(f"unknown parent order status: {status!r}")
