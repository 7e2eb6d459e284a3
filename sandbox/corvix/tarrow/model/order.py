"""Host live order.

The host keeps each order it sends through the gateway in the bridge's
``orders_dict`` under ``order.order_id``, which is also the client order id it
gives the gateway.  The bridge then updates the order in place from the
gateway's reports.  Attributes are slots, so a misspelt attribute assignment
fails loudly instead of creating a stray attribute.
"""
import itertools

from corvix.tarrow.const import ORDER_STATUS, ORDER_TYPE, POSITION_EFFECT, SIDE

_order_ids = itertools.count(1)


def new_order_id():
    """Next client order id of this process (an int, starting at 1)."""
    return next(_order_ids)


class Order:
    __slots__ = ("order_id", "market_code", "side", "position_effect", "order_type", "price",
                 "quantity", "status", "filled_quantity", "unfilled_quantity", "avg_price",
                 "secondary_order_id", "frozen_cash", "message", "calendar_dt", "trading_dt")

    @classmethod
    def __from_create__(cls, market_code, quantity, side, price, position_effect=POSITION_EFFECT.OPEN,
                        order_type=ORDER_TYPE.LIMIT, order_id=None, calendar_dt=None, trading_dt=None):
        """A new pending order; ``order_id`` defaults to a fresh client order id."""
        if not isinstance(side, SIDE):
            raise TypeError(f"side must be a SIDE member, got {side!r}")
        if quantity <= 0:
            raise ValueError(f"order quantity must be positive, got {quantity!r}")
        order = cls.__new__(cls)
        order.order_id = new_order_id() if order_id is None else order_id
        order.market_code = market_code
        order.side = side
        order.position_effect = position_effect
        order.order_type = order_type
        order.price = price
        order.quantity = quantity
        order.status = ORDER_STATUS.PENDING_NEW
        order.filled_quantity = 0
        order.unfilled_quantity = quantity
        order.avg_price = 0.0
        order.secondary_order_id = None
        order.frozen_cash = 0.0
        order.message = ""
        order.calendar_dt = calendar_dt
        order.trading_dt = trading_dt
        return order

    create = __from_create__

    def set_frozen_cash(self, value):
        """Cash the counter holds frozen for this order, as the gateway reports it."""
        self.frozen_cash = value

    def mark_rejected(self, reason):
        """The gateway refused the order: status REJECTED, ``reason`` kept in ``message``."""
        self.status = ORDER_STATUS.REJECTED
        self.message = reason

    def is_final(self):
        return self.status.is_final

    def __repr__(self):
        return (f"Order(order_id={self.order_id!r}, market_code={self.market_code!r}, "
                f"side={self.side!r}, price={self.price!r}, quantity={self.quantity!r}, "
                f"status={self.status!r}, filled_quantity={self.filled_quantity!r})")
