"""Host constants.

Members compare by identity only (plain ``Enum``), so a gateway code that slipped
through unconverted never equals a host constant by accident.
"""
from enum import Enum


class _ConstEnum(Enum):
    def __repr__(self):
        return f"{type(self).__name__}.{self.name}"

    __str__ = __repr__


class ORDER_STATUS(_ConstEnum):
    PENDING_NEW = "PENDING_NEW"
    ACTIVE = "ACTIVE"
    PARTIALLY_FILLED = "PARTIALLY_FILLED"
    FILLED = "FILLED"
    PENDING_CANCEL = "PENDING_CANCEL"
    CANCELLED = "CANCELLED"
    REJECTED = "REJECTED"

    @property
    def is_final(self):
        return self in _FINAL_STATUSES


_FINAL_STATUSES = frozenset({ORDER_STATUS.FILLED, ORDER_STATUS.CANCELLED, ORDER_STATUS.REJECTED})


class SIDE(_ConstEnum):
    BUY = "BUY"
    SELL = "SELL"


class POSITION_DIRECTION(_ConstEnum):
    LONG = "LONG"
    SHORT = "SHORT"


class POSITION_EFFECT(_ConstEnum):
    OPEN = "OPEN"
    CLOSE = "CLOSE"
    CLOSE_TODAY = "CLOSE_TODAY"


class ORDER_TYPE(_ConstEnum):
    MARKET = "MARKET"
    LIMIT = "LIMIT"
    BEST_OWN = "BEST_OWN"


class L2_ORDER_TYPE(_ConstEnum):
    """What a tick-by-tick order record does to the book."""
    ADD = "ADD"
    CANCEL = "CANCEL"


class TRADE_TYPE(_ConstEnum):
    """Kind of a tick-by-tick transaction record."""
    FILL = "FILL"
    CANCEL = "CANCEL"


class ACCOUNT_TYPE(_ConstEnum):
    STOCK = "STOCK"
    FUTURE = "FUTURE"
