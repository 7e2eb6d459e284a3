"""SDK enumerations.

Plain ``Enum`` classes (not ``IntEnum``): a member equals only itself, so
comparing a status against a member of the wrong enumeration is never true by
coincidence of values.  ``__all__`` names the enumerations and nothing else,
because strategies star-import this module into their own namespace.
"""
from enum import Enum

__all__ = [
    "MDType",
    "TDType",
    "AlgoType",
    "MarketType",
    "SubscribeDataType",
    "Side",
    "PriceType",
    "OrderStatusType",
    "AlgoControlType",
    "AlgoStatusType",
]


class _SdkEnum(Enum):
    def __repr__(self):
        return f"{type(self).__name__}.{self.name}"

    __str__ = __repr__


class MDType(_SdkEnum):
    """Market-data gateways."""
    VoMD = 1
    XMD = 2


class TDType(_SdkEnum):
    """Trading gateways."""
    XTP = 1
    ATP = 2
    OST = 3
    EMT = 4
    CTP = 5
    SIM = 99        # the in-process simulated counter


class AlgoType(_SdkEnum):
    """Algorithmic-order gateways."""
    XTA = 1


class MarketType(_SdkEnum):
    Unknown = 0
    SZSE = 1
    SSE = 2
    BSE = 3
    SHFE = 4
    DCE = 5
    CZCE = 6
    CFFEX = 7
    INE = 8


class SubscribeDataType(_SdkEnum):
    Snapshot = 1
    TickOrder = 2
    TickTrade = 3
    Bar = 4
    Index = 5


class Side(_SdkEnum):
    Buy = 1
    Sell = 2


class PriceType(_SdkEnum):
    Limit = 1
    Market = 2
    BestOwn = 3
    BestCounter = 4


class OrderStatusType(_SdkEnum):
    UnSend = 0
    Sended = 1
    PartiallyFilled = 2
    Filled = 3
    PartiallyFilledPartiallyCancelled = 4
    WaitCancelled = 5
    PartiallyFilledWaitCancelled = 6
    Cancelled = 7
    Reject = 8
    Unknown = 99


class AlgoControlType(_SdkEnum):
    Unknown = 0
    Pause = 1
    Resume = 2


class AlgoStatusType(_SdkEnum):
    """Life of an algorithmic parent order."""
    New = 0
    Running = 1
    Paused = 2
    Finished = 3       # the algorithm ended (window over or quantity done)
    Cancelled = 4
    Rejected = 5
