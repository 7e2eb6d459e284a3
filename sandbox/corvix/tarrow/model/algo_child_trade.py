"""Host view of one fill of an algorithm's child order."""
from corvix.tarrow.model._from_vorn import FromVornModel, market_code_of
from corvix.tarrow.utils.trade_func import get_side_from_vorn


class AlgoChildTrade(FromVornModel):
    __slots__ = ("trade_id", "parent_order_id", "child_order_id", "exec_id", "market_code", "side",
                 "price", "amount", "value", "trading_dt")
    _id_attr = "trade_id"
    _repr_fields = ("trade_id", "child_order_id", "market_code", "side", "price", "amount")

    def _apply(self, record):
        self.parent_order_id = record.parent_sys_quote_id
        self.child_order_id = record.child_sys_quote_id
        self.exec_id = record.exec_id
        self.market_code = market_code_of(record)
        self.side = get_side_from_vorn(record.side)
        self.price = record.trade_price
        self.amount = record.trade_qty
        self.value = record.trade_value if record.trade_value else record.trade_price * record.trade_qty
        self.trading_dt = self._time(record.trade_time)
