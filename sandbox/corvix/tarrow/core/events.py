"""Host events.

An ``Event`` is built with its ``EVENT`` member as the only positional argument
and its fields as keywords; the fields become attributes and their keyword
order is kept (``event.fields``), which is how consumers and tests see exactly
what a producer posted.
"""
from enum import Enum


class EVENT(Enum):
    # market data
    TICK = "tick"
    BAR = "bar"
    L2_ORDER = "l2_order"
    L2_TRANSACTION = "l2_transaction"
    # trading session
    LOGIN = "login"
    QUERY_ACCOUNT = "query_account"
    QUERY_POSITION = "query_position"
    # orders
    ORDER_CREATION_PASS = "order_creation_pass"
    ORDER_CREATION_REJECT = "order_creation_reject"
    ORDER_PENDING_NEW = "order_pending_new"
    TRADE = "trade"
    ORDER_PENDING_CANCEL = "order_pending_cancel"
    ORDER_CANCELLATION_PASS = "order_cancellation_pass"
    ORDER_CANCELLATION_REJECT = "order_cancellation_reject"
    ORDER_UNSOLICITED_UPDATE = "order_unsolicited_update"
    # algorithmic orders
    ALGO_LOGIN = "algo_login"
    PARENT_ORDER_CREATE = "parent_order_create"
    PARENT_ORDER_CANCEL = "parent_order_cancel"
    PARENT_ORDER_PAUSE = "parent_order_pause"
    PARENT_ORDER_RESUME = "parent_order_resume"
    PARENT_ORDER_UPDATE = "parent_order_update"
    CHILD_ORDER_UPDATE = "child_order_update"
    CHILD_ORDER_TRADE = "child_order_trade"
    # trading day
    BEFORE_TRADING = "before_trading"
    OPEN_AUCTION = "open_auction"
    AFTER_TRADING = "after_trading"
    SETTLEMENT = "settlement"

    def __repr__(self):
        return f"EVENT.{self.name}"


class Event:
    """One event: ``Event(EVENT.TICK, calendar_dt=dt, trading_dt=dt, tick=tick)``.

    ``event.fields`` is the tuple of keyword names in the order they were
    given; ``event.as_dict()`` the fields with their values in that order.
    """

    _RESERVED = frozenset({"event_type", "fields", "as_dict"})

    def __init__(self, event_type, /, **kwargs):
        if not isinstance(event_type, EVENT):
            raise TypeError(f"Event type must be an EVENT member, got {event_type!r}")
        clash = self._RESERVED.intersection(kwargs)
        if clash:
            raise TypeError(f"Event field name(s) {sorted(clash)} are reserved")
        self.event_type = event_type
        # instance __dict__ keeps insertion order: event_type first, then the fields
        self.__dict__.update(kwargs)

    @property
    def fields(self):
        return tuple(k for k in self.__dict__ if k != "event_type")

    def as_dict(self):
        return {k: v for k, v in self.__dict__.items() if k != "event_type"}

    def __repr__(self):
        parts = [repr(self.event_type)]
        parts.extend(f"{k}={v!r}" for k, v in self.as_dict().items())
        return f"Event({', '.join(parts)})"
