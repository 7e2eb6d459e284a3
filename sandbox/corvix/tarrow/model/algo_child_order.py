"""Host view of a child order that an algorithm placed for a parent order."""
from corvix.tarrow.model._from_vorn import FromVornModel, market_code_of
from corvix.tarrow.utils.trade_func import get_order_status_from_vorn, get_side_from_vorn


class AlgoChildOrder(FromVornModel):
    __slots__ = ("child_order_id", "parent_order_id", "market_code", "side", "quantity", "price",
                 "status", "secondary_order_id", "filled_quantity", "unfilled_quantity",
                 "filled_value", "avg_price", "create_time", "update_time", "message")
    _id_attr = "child_order_id"
    _repr_fields = ("child_order_id", "parent_order_id", "market_code", "side", "quantity",
                    "filled_quantity", "status")

    def _apply(self, record):
        self.parent_order_id = record.parent_sys_quote_id
        self.market_code = market_code_of(record)
        self.side = get_side_from_vorn(record.side)
        self.quantity = record.order_qty
        self.price = record.order_price
        self.status = get_order_status_from_vorn(record.order_status)
        self.secondary_order_id = record.counter_order_id
        self.filled_quantity = record.trade_qty
        self.unfilled_quantity = record.order_qty - record.trade_qty
        self.filled_value = record.trade_value
        self.avg_price = record.trade_value / record.trade_qty if record.trade_qty else 0.0
        self.create_time = self._time(record.create_time)
        self.update_time = self._time(record.update_time)
        self.message = record.error_msg
