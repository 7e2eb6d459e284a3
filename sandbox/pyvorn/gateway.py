"""What a gateway implementation offers the context.

The context forwards every request a strategy makes (orders, queries, algo
orders) to the gateway attached to it.  A gateway answers asynchronously by
calling the strategy's callbacks (``context.strategy.on_order(report)`` ...),
and schedules its own work on ``context.timer_service``.  ``Gateway`` is the
interface with every request unsupported; implementations override what they
serve.
"""


class GatewayError(RuntimeError):
    pass


class Gateway:
    def attach(self, context):
        """Called once when the gateway is attached to ``context``."""
        self.context = context

    def on_registration(self, kind, args):
        """Told of every broker registration and subscription, e.g. ("subscribe", (md, market, ...))."""

    def _unsupported(self, request):
        raise GatewayError(f"{type(self).__name__} does not serve {request}")

    # trading
    def insert_order(self, td_type, client_order_id, security_id, market_type, side, price, quantity,
                     price_type):
        self._unsupported("insert_order")

    def cancel_order(self, td_type, client_order_id):
        self._unsupported("cancel_order")

    def query_asset(self, td_type, request_id):
        self._unsupported("query_asset")

    def query_position(self, td_type, request_id):
        self._unsupported("query_position")

    # algorithmic orders
    def create_algo_parent_order(self, algo_type, client_seq_id, security_id, market_type, side,
                                 quantity, price, algo_name, start_time, end_time):
        self._unsupported("create_algo_parent_order")

    def cancel_algo_parent_order(self, algo_type, sys_quote_id):
        self._unsupported("cancel_algo_parent_order")

    def control_algo_parent_order(self, algo_type, sys_quote_id, control_type):
        self._unsupported("control_algo_parent_order")
