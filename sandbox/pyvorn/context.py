"""The context a strategy registers on.

Registration calls take positional arguments only and check their argument
types; every call is recorded (``calls`` in call order, plus per-kind lists)
so a driver or a test can see exactly what a strategy asked for.  Timers go
to the context's timer service; requests go to the attached gateway.

    ctx = Context(timer_service=VirtualTimerService(start_ns=...), gateway=my_gateway)
    ctx.start(strategy, config)      # sets strategy.context, calls initialize, then on_initialize
"""
import itertools
from collections import namedtuple

from pyvorn.enums import (AlgoControlType, AlgoType, MarketType, MDType, PriceType, Side,
                          SubscribeDataType, TDType)
from pyvorn.gateway import GatewayError
from pyvorn.timer import ThreadTimerService

Subscription = namedtuple("Subscription", "md_type market_type data_type codes period")

_UNSET = object()


def _expect(value, kind, what):
    if not isinstance(value, kind):
        name = kind.__name__ if isinstance(kind, type) else " or ".join(k.__name__ for k in kind)
        raise TypeError(f"{what} must be a {name}, got {value!r}")


class Context:
    def __init__(self, timer_service=None, gateway=None):
        self.timer_service = timer_service if timer_service is not None else ThreadTimerService()
        self.strategy = None
        self.gateway = None
        self.calls = []
        self.md_brokers = []
        self.td_brokers = []
        self.algo_brokers = []
        self.order_way = _UNSET
        self.subscriptions = []
        self.timers = []
        self._request_ids = itertools.count(1)
        if gateway is not None:
            self.set_gateway(gateway)

    # ------------------------------------------------------------ wiring

    def set_gateway(self, gateway):
        self.gateway = gateway
        gateway.attach(self)

    def start(self, strategy, config):
        """Attach ``strategy`` and bring it up as the SDK does."""
        self.strategy = strategy
        strategy.context = self
        strategy.initialize(config)
        strategy.on_initialize()

    def close(self):
        self.timer_service.close()

    @property
    def order_way_set(self):
        return self.order_way is not _UNSET

    def _record(self, name, args):
        self.calls.append((name, args))
        if self.gateway is not None and name != "add_timer_interval":
            self.gateway.on_registration(name, args)

    # ------------------------------------------------------------ registrations

    def add_md_broker(self, md_type, /):
        _expect(md_type, MDType, "market-data broker")
        self.md_brokers.append(md_type)
        self._record("add_md_broker", (md_type,))

    def set_order_way(self, way, /):
        self.order_way = way
        self._record("set_order_way", (way,))

    def add_td_broker(self, td_type, /):
        _expect(td_type, TDType, "trading broker")
        self.td_brokers.append(td_type)
        self._record("add_td_broker", (td_type,))

    def add_algo_broker(self, algo_type, /):
        _expect(algo_type, AlgoType, "algo broker")
        self.algo_brokers.append(algo_type)
        self._record("add_algo_broker", (algo_type,))

    def subscribe(self, md_type, market_type, data_type, codes, period, /):
        """Subscribe ``data_type`` of ``codes`` (an empty list: the whole market) on a market."""
        _expect(md_type, MDType, "market-data type")
        _expect(market_type, MarketType, "market type")
        _expect(data_type, SubscribeDataType, "subscription data type")
        _expect(codes, (list, tuple), "code list")
        for code in codes:
            _expect(code, str, "security id")
        _expect(period, str, "period")
        sub = Subscription(md_type, market_type, data_type, codes, period)
        self.subscriptions.append(sub)
        self._record("subscribe", tuple(sub))

    def add_timer_interval(self, interval_ns, callback, /):
        """Call ``callback()`` once after ``interval_ns`` nanoseconds; returns the timer handle."""
        handle = self.timer_service.add(interval_ns, callback)
        self.timers.append(handle)
        self._record("add_timer_interval", (interval_ns, callback))
        return handle

    # ------------------------------------------------------------ requests (forwarded)

    def _gateway(self):
        if self.gateway is None:
            raise GatewayError("no gateway attached to this context")
        return self.gateway

    def next_request_id(self):
        return next(self._request_ids)

    def insert_order(self, td_type, client_order_id, security_id, market_type, side, price, quantity,
                     price_type=PriceType.Limit):
        _expect(td_type, TDType, "trading broker")
        _expect(market_type, MarketType, "market type")
        _expect(side, Side, "side")
        _expect(price_type, PriceType, "price type")
        return self._gateway().insert_order(td_type, client_order_id, security_id, market_type, side,
                                            price, quantity, price_type)

    def cancel_order(self, td_type, client_order_id):
        return self._gateway().cancel_order(td_type, client_order_id)

    def query_asset(self, td_type):
        """Ask for the asset figures; returns the request id the answer will carry."""
        request_id = self.next_request_id()
        self._gateway().query_asset(td_type, request_id)
        return request_id

    def query_position(self, td_type):
        request_id = self.next_request_id()
        self._gateway().query_position(td_type, request_id)
        return request_id

    def create_algo_parent_order(self, algo_type, client_seq_id, security_id, market_type, side, quantity,
                                 price, algo_name, start_time, end_time):
        _expect(algo_type, AlgoType, "algo broker")
        _expect(side, Side, "side")
        return self._gateway().create_algo_parent_order(algo_type, client_seq_id, security_id, market_type,
                                                        side, quantity, price, algo_name, start_time,
                                                        end_time)

    def cancel_algo_parent_order(self, algo_type, sys_quote_id):
        return self._gateway().cancel_algo_parent_order(algo_type, sys_quote_id)

    def control_algo_parent_order(self, algo_type, sys_quote_id, control_type):
        _expect(control_type, AlgoControlType, "control type")
        return self._gateway().control_algo_parent_order(algo_type, sys_quote_id, control_type)
