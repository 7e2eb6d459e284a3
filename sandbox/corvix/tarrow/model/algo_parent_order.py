"""Host view of an algorithmic parent order."""
from pyvorn.enums import AlgoStatusType

from corvix.tarrow.model._from_vorn import FromVornModel, market_code_of
from corvix.tarrow.utils.trade_func import get_algo_status_from_vorn, get_side_from_vorn


class AlgoParentOrder(FromVornModel):
    __slots__ = ("parent_order_id", "client_seq_id", "account_id", "market_code", "side",
                 "algo_type", "algo_name", "quantity", "price", "filled_quantity", "filled_value",
                 "avg_price", "status", "paused", "start_time", "end_time", "create_time",
                 "update_time", "message")
    _id_attr = "parent_order_id"
    _repr_fields = ("parent_order_id", "market_code", "side", "quantity", "filled_quantity", "status")

    def _apply(self, record):
        self.client_seq_id = record.client_seq_id
        self.account_id = record.fund_account_id
        self.market_code = market_code_of(record)
        self.side = get_side_from_vorn(record.side)
        self.algo_type = record.algo_type
        self.algo_name = record.algo_name
        self.quantity = record.order_qty
        self.price = record.price
        self.filled_quantity = record.trade_qty
        self.filled_value = record.trade_value
        self.avg_price = record.trade_value / record.trade_qty if record.trade_qty else 0.0
        self.status = get_algo_status_from_vorn(record.status, record.trade_qty, record.order_qty)
        self.paused = record.status is AlgoStatusType.Paused
        self.start_time = self._time(record.start_time)
        self.end_time = self._time(record.end_time)
        self.create_time = self._time(record.create_time)
        self.update_time = self._time(record.update_time)
        self.message = record.error_msg
