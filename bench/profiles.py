"""Host profiles and benchmark call lists.

Three implementations are measured side by side, each a module with its own
globals:

- ``module``: the extension, ``corvix.tarrow.utils.tessaline``;
- ``twin``:   ``tessaline_twin``, the same callbacks written plainly in Python;
- ``cython``: ``tessaline_twin_cy``, that same source compiled by Cython.

Two host profiles bind the host and SDK names of all three the same way:

- ``light``: every host name is replaced, by assigning the module's globals,
  with the cheapest C-implemented callables and objects that accept the calls
  (see LIGHT_HOST below), so that what is measured is the callback's own work:
  reading the record, building its dictionaries and arguments, calling the
  host, posting the event. The event queue is a ``deque(maxlen=...)``: an
  append is cheap and drops the oldest event, as a draining host does.
- ``sandbox``: the working stand-ins of the host framework and the SDK
  (``sandbox/`` of this repository), as imported by each module itself; the event
  queue is the module's own ring buffer, drained between timed runs.

A benchmark is a list of calls made by the C driver (``_benchloop``) per
iteration, the number of callback calls among them, optional overhead calls
(timed separately and subtracted), and a function run after every timed run
(outside the timing) to drain the queue and drop what the run accumulated.
"""
import collections
import itertools
import operator
import sys
import types
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
BUILD = HERE / "_build"
for p in (str(HERE), str(BUILD)):
    if p not in sys.path:
        sys.path.insert(0, p)

IMPLS = ("module", "twin", "cython")
BENCHES = ("on_snapshot", "on_tick_order", "on_tick_trade", "on_bar", "on_order", "on_query_position",
           "get_current_tick", "history_ticks")
CALLBACKS = BENCHES[:6]
QUERIES = BENCHES[6:]

UNIVERSE = 50           # instruments of the universe (snapshots, level-2 records, bars)
POSITIONS = 20          # records of the position answer
LIGHT_QUEUE_LEN = 256   # the light event queue keeps only the latest events


def load_impls():
    """The three implementations that import; a missing one is left out with its error."""
    mods, errors = {}, {}
    for impl, name in (("module", "corvix.tarrow.utils.tessaline"), ("twin", "tessaline_twin"),
                       ("cython", "tessaline_twin_cy")):
        try:
            mods[impl] = __import__(name, fromlist=["*"])
        except Exception as exc:  # noqa: BLE001 - reported in the results
            errors[impl] = f"{type(exc).__name__}: {exc}"
    return mods, errors


# ---------------------------------------------------------------- light host

NS = types.SimpleNamespace


class LightPosition(BaseException):
    """Position(code, direction, init_qty): a C constructor that only keeps its
    arguments (BaseException's), and set_state a C builtin: no Python code runs."""
    __slots__ = ()
    set_state = staticmethod(callable)


class LightOrder:
    """The host's live order: slot attributes, methods that are C builtins."""
    __slots__ = ("order_id", "market_code", "side", "position_effect", "price", "status", "filled_quantity",
                 "unfilled_quantity", "avg_price", "secondary_order_id")
    set_frozen_cash = staticmethod(callable)
    mark_rejected = staticmethod(callable)


def _members(*names):
    # Enumeration members are distinct plain objects: == is the default
    # identity comparison, as for the host's and the SDK's Enum members.
    return NS(**{n: object() for n in names})


def _event_members():
    # Event is `dict`, so an event is a new dict: the member's entry plus the
    # keyword fields (dict(EVENT.TICK, calendar_dt=..., ...)).
    names = ("TICK", "BAR", "L2_ORDER", "L2_TRANSACTION", "QUERY_ACCOUNT", "QUERY_POSITION",
             "ORDER_CREATION_PASS", "TRADE", "ORDER_CANCELLATION_PASS", "ORDER_PENDING_CANCEL",
             "ORDER_UNSOLICITED_UPDATE")
    return NS(**{n: {"event_type": n} for n in names})


def _codes(n, suffix):
    return [f"{i:06d}.{suffix}" for i in range(1, n + 1)]


class LightHost:
    """The shared light objects: the very same ones are bound into every implementation."""

    def __init__(self):
        self.SIDE = _members("BUY", "SELL")
        self.ORDER_STATUS = _members("PENDING_NEW", "ACTIVE", "PARTIALLY_FILLED", "FILLED", "CANCELLED",
                                     "REJECTED")
        self.OrderStatusType = _members("UnSend", "Sended", "PartiallyFilled", "Filled",
                                        "PartiallyFilledPartiallyCancelled", "WaitCancelled",
                                        "PartiallyFilledWaitCancelled", "Cancelled", "Reject")
        self.POSITION_DIRECTION = _members("LONG", "SHORT")
        self.EVENT = _event_members()
        codes = _codes(UNIVERSE, "XSHE")
        self.instruments = {c: NS(market_code=c) for c in codes}
        self.account = NS(account_id="1001")
        accounts = {c: self.account for c in codes}
        env = NS(data_proxy=NS(instruments=self.instruments.get),
                 get_universe=itertools.repeat(tuple(codes)).__next__,
                 get_account=accounts.get)
        side_map = {"1": self.SIDE.BUY, "2": self.SIDE.SELL}
        order_type_map = {"1": "MARKET", "2": "LIMIT", "U": "BEST_OWN"}
        l2_kind_map = {"1": "ADD", "2": "ADD", "U": "ADD"}
        trade_type_map = {"F": "FILL", "4": "CANCEL"}
        self.names = {
            # time stamps: the float / int argument comes back unchanged
            "convert_int_to_datetime": float,
            "convert_int_to_whole_date": int,
            # light records carry their exchange suffix as market type: str() returns it
            "get_exchane_from_vorn_mdtype": str,
            "get_side_from_vorn_l2_order": side_map.get,
            "get_order_type_from_vorn_l2_order": order_type_map.get,
            "get_l2order_type_from_vorn": l2_kind_map.get,
            "get_trade_type_from_vorn": trade_type_map.get,
            "Environment": NS(get_instance=itertools.repeat(env).__next__),
            "EVENT": self.EVENT,
            "Event": dict,
            "TickObject": slice,                              # keeps (instrument, tick_dict)
            "L2Order": NS(__from_create__=operator.itemgetter),       # keeps its 9 arguments
            "L2Transaction": NS(__from_create__=operator.itemgetter),  # keeps its 10 arguments
            "Trade": NS(__from_create__=dict),                # keyword-only: a dict of the 7 fields
            "SIDE": self.SIDE,
            "ORDER_STATUS": self.ORDER_STATUS,
            "OrderStatusType": self.OrderStatusType,
            "POSITION_DIRECTION": self.POSITION_DIRECTION,
            "Position": LightPosition,
            "system_log": NS(info=callable),
            "user_system_log": NS(warning=callable),
            "copy": NS(deepcopy=callable),                   # the copy is the host's cost, not measured
            "deque": collections.deque,
        }

    def bind(self, mod):
        for name, value in self.names.items():
            setattr(mod, name, value)
        mod.event_queue = collections.deque(maxlen=LIGHT_QUEUE_LEN)
        mod.history_tick = {}
        mod.history_bar = {}
        mod.orders_dict = {}

    def new_order(self, client_order_id):
        o = LightOrder()
        o.order_id = client_order_id
        o.market_code = "000001.XSHE"
        o.side = self.SIDE.BUY
        o.position_effect = "OPEN"
        o.price = 10.0
        o.status = self.ORDER_STATUS.PENDING_NEW
        o.filled_quantity = 0
        o.unfilled_quantity = 1000
        o.avg_price = 0.0
        o.secondary_order_id = None
        return o

    def pending_status(self):
        return self.ORDER_STATUS.PENDING_NEW


# ---------------------------------------------------------------- sandbox host

class SandboxHost:
    def __init__(self):
        from corvix.tarrow.environment import Environment
        from corvix.tarrow.portfolio.account import Account
        from corvix.tarrow.const import ORDER_STATUS, SIDE
        from pyvorn.enums import OrderStatusType, MarketType
        self.ORDER_STATUS = ORDER_STATUS
        self.SIDE = SIDE
        self.OrderStatusType = OrderStatusType
        self.market = MarketType.SZSE
        Environment.reset(universe=_codes(UNIVERSE, "XSHE"), accounts=Account("1001"))

    def bind(self, mod):
        from numpy_ringbuffer import RingBuffer
        # each module keeps the globals its own import bound; only its state is renewed
        mod.event_queue = RingBuffer(capacity=1000000, dtype=object)
        mod.history_tick.clear()
        mod.history_bar.clear()
        mod.orders_dict.clear()

    def new_order(self, client_order_id):
        from corvix.tarrow.model.order import Order
        return Order.__from_create__("000001.XSHE", 1000, self.SIDE.BUY, 10.0, order_id=client_order_id)

    def pending_status(self):
        return self.ORDER_STATUS.PENDING_NEW


# ---------------------------------------------------------------- records

def make_records(profile, host):
    """The SDK records the callbacks receive: the SDK's own record classes, with
    market types the profile's host understands."""
    from pyvorn.records import Bar, OrderReport, PositionRecord, Snapshot, TickOrder, TickTrade
    market = "XSHE" if profile == "light" else host.market
    status = host.OrderStatusType
    stamp = 20250102093000000
    ids = [f"{i:06d}" for i in range(1, UNIVERSE + 1)]
    snapshots = [Snapshot(security_id=s, market_type=market, orig_time=stamp + 1000 * k + 120,
                          trading_phase_code="T0", pre_close_price=10.0, open_price=10.1, high_price=10.5,
                          low_price=9.9, last_price=10.2, close_price=0.0, total_volume_trade=123400,
                          total_value_trade=1258680.0, num_trades=321, high_limited=11.0, low_limited=9.0,
                          bid_price=[10.19, 10.18, 10.17, 10.16, 10.15],
                          bid_volume=[100, 200, 300, 400, 500],
                          ask_price=[10.2, 10.21, 10.22, 10.23, 10.24],
                          ask_volume=[500, 400, 300, 200, 100], open_interest=0, prev_settlement=0.0, iopv=0.0)
                 for k, s in enumerate(ids)]
    tick_orders = [TickOrder(security_id=s, market_type=market, order_time=stamp + 10 * k + 1,
                             side=ord("1") if k % 2 else ord("2"), order_type=ord("2"), biz_index=1000 + k,
                             channel_no=2011, order_price=10.2, order_volume=300, orig_order_no=5000 + k)
                   for k, s in enumerate(ids)]
    tick_trades = [TickTrade(security_id=s, market_type=market, trade_time=stamp + 10 * k + 2,
                             trade_type=ord("F"), biz_index=2000 + k, channel_no=2011,
                             bid_appl_seq_num=7000 + k + (k % 2), offer_appl_seq_num=7000 + k,
                             trade_price=10.2, trade_volume=300, value_trade=3060.0)
                   for k, s in enumerate(ids)]
    bars = [Bar(security_id=s, market_type=market, end_time=20250102093100000, start_time=20250102093000000,
                orig_time=20250102093100500, open=10.1, close=10.2, high=10.3, low=10.0, amount=1258680.0,
                volume=123400, prev_close=10.0)
            for s in ids]
    positions = [PositionRecord(security_id=f"{600000 + i:06d}", market_id=market, init_qty=500, leaves_qty=300,
                                available_qty=300, cost_price=10.0, last_price=10.2, market_value=3060.0,
                                profit_loss=60.0)
                 for i in range(POSITIONS)]
    cid = 42
    common = dict(client_order_id=cid, security_id="000001", order_price=10.0, order_qty=1000, error_code=0,
                  error_msg="")
    reports = [
        OrderReport(order_status=status.Sended, counter_order_id=90001, frozen_trade_value=10000.0, trade_qty=0,
                    total_trade_value=0.0, last_match_qty=0, last_match_price=0.0, **common),
        OrderReport(order_status=status.PartiallyFilled, counter_order_id=90001, frozen_trade_value=6000.0,
                    trade_qty=400, total_trade_value=4000.0, last_match_qty=400, last_match_price=10.0, **common),
        OrderReport(order_status=status.Filled, counter_order_id=90001, frozen_trade_value=0.0, trade_qty=1000,
                    total_trade_value=10010.0, last_match_qty=600, last_match_price=10.01, **common),
    ]
    return NS(snapshots=snapshots, tick_orders=tick_orders, tick_trades=tick_trades, bars=bars,
              positions=positions, reports=reports, client_order_id=cid, code=f"{ids[0]}.XSHE")


# ---------------------------------------------------------------- benchmarks

@dataclass
class Bench:
    calls: list
    ncallbacks: int
    overhead: list = field(default_factory=list)
    after: object = None


def _drain(mod):
    q = mod.event_queue
    if isinstance(q, collections.deque):
        q.clear()
    elif len(q):
        q.__init__(q._capacity, object)  # the ring buffer emptied in one go, as after a full drain


def build(profile, mods):
    """{bench: {impl: Bench}} for the implementations given, their globals bound to the profile."""
    host = LightHost() if profile == "light" else SandboxHost()
    rec = make_records(profile, host)
    setattr_ = setattr
    benches = {b: {} for b in BENCHES}
    for impl, mod in mods.items():
        host.bind(mod)
        cls = mod.VornStrategy
        strat = cls(NS(base=NS()))
        cx_order = host.new_order(rec.client_order_id)
        mod.orders_dict[rec.client_order_id] = cx_order

        def drain(mod=mod):
            _drain(mod)

        def drain_bars(mod=mod):
            mod.history_bar.clear()
            _drain(mod)

        benches["on_snapshot"][impl] = Bench([(cls.on_snapshot, strat, s) for s in rec.snapshots],
                                             len(rec.snapshots), after=drain)
        benches["on_tick_order"][impl] = Bench([(cls.on_tick_order, strat, t) for t in rec.tick_orders],
                                               len(rec.tick_orders), after=drain)
        benches["on_tick_trade"][impl] = Bench([(cls.on_tick_trade, strat, t) for t in rec.tick_trades],
                                               len(rec.tick_trades), after=drain)
        benches["on_bar"][impl] = Bench([(cls.on_bar, strat, b) for b in rec.bars], len(rec.bars),
                                        after=drain_bars)
        reset = (setattr_, cx_order, "status", host.pending_status())
        benches["on_order"][impl] = Bench([reset] + [(cls.on_order, strat, r) for r in rec.reports],
                                          len(rec.reports), overhead=[reset], after=drain)
        benches["on_query_position"][impl] = Bench(
            [(cls.on_query_position, strat, rec.positions, 7, 0, "ok")], 1, after=drain)
        benches["get_current_tick"][impl] = Bench([(mod.get_current_tick, rec.code)], 1)
        benches["history_ticks"][impl] = Bench([(mod.history_ticks, rec.code, 60)], 1)
        # a full tick history for the queried instrument
        fill = rec.snapshots[0]
        for _ in range(60):
            try:
                strat.on_snapshot(fill)
            except NotImplementedError:
                break
        _drain(mod)
    return benches, rec, host
