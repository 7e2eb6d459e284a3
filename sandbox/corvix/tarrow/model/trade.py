"""Host trade (one fill of an order)."""
import itertools

_trade_ids = itertools.count(1)


class Trade:
    __slots__ = ("trade_id", "order_id", "price", "amount", "side", "position_effect",
                 "market_code", "frozen_price", "commission", "tax", "calendar_dt", "trading_dt")

    @classmethod
    def __from_create__(cls, order_id, price, amount, side, position_effect, market_code,
                        frozen_price=None, commission=0.0, tax=0.0, calendar_dt=None,
                        trading_dt=None, trade_id=None):
        """A new trade; ``trade_id`` defaults to the next number of a process-wide counter."""
        trade = cls.__new__(cls)
        trade.trade_id = next(_trade_ids) if trade_id is None else trade_id
        trade.order_id = order_id
        trade.price = price
        trade.amount = amount
        trade.side = side
        trade.position_effect = position_effect
        trade.market_code = market_code
        trade.frozen_price = frozen_price
        trade.commission = commission
        trade.tax = tax
        trade.calendar_dt = calendar_dt
        trade.trading_dt = trading_dt
        return trade

    last_price = property(lambda self: self.price)
    last_quantity = property(lambda self: self.amount)

    def __repr__(self):
        return (f"Trade(trade_id={self.trade_id!r}, order_id={self.order_id!r}, "
                f"market_code={self.market_code!r}, side={self.side!r}, "
                f"price={self.price!r}, amount={self.amount!r})")
