"""Host profiles, record layouts and benchmark call lists.

Three implementations are measured side by side, each a module with its own
globals:

- ``module``: the extension, ``corvix.tarrow.utils.tessaline``;
- ``twin``:   ``tessaline_twin``, the same callbacks written plainly in Python;
- ``cython``: ``tessaline_twin_cy``, that same source compiled by Cython.

Two host profiles bind the host and SDK names of all three the same way:

- ``light``: every host name is replaced, by assigning the module's globals,
  with the cheapest C-implemented callables and objects that accept the calls
  (see LightHost below), so that what is measured is the callback's own work:
  reading the record, building its dictionaries and arguments, calling the
  host, posting the event. The event queue is a ``deque(maxlen=...)``: an
  append is cheap and drops the oldest event, as a draining host does.
- ``sandbox``: the working stand-ins of the host framework and the SDK
  (``sandbox/``), as imported by each module itself; the event queue is the
  module's own ring buffer, drained between timed runs.

The strategy instance is a plain-attribute object (a class without
``__slots__``, attributes assigned one by one), as a host written in Python
makes it. The light host's live order takes the layout of the records where a
host order can have it (plain, slots, dict, namespace; see
``ORDER_LAYOUTS``): a process measures records and host orders of one layout.
A namedtuple cannot take the order's writes, and the compiled layouts are the
SDK's, not the host's: with those the order is plain. The sandbox's order is
always the stand-in's class rebuilt without ``__slots__``.

Seven record layouts carry the same field values (see ``Layout``):

- ``plain``:  classes without ``__slots__`` (a per-instance ``__dict__``, the
  attributes assigned in ``__init__``), the commonest form of an SDK written
  in Python;
- ``slots``:  the stand-in SDK's own records, slotted dataclasses;
- ``dict``:   a generic record class per record type whose ``__init__`` does
  ``self.__dict__.update(fields)``: the instance's ``__dict__`` is a real
  dictionary from the start (as after unpickling, copying or ``vars()``);
- ``namespace``: ``types.SimpleNamespace(**fields)``, a dict at the type's
  ``tp_dictoffset``, one type for every record;
- ``namedtuple``: ``collections.namedtuple`` per record type, fields read
  through the tuple-item descriptors;
- ``cext``:   extension types (``_benchrecords``) whose numbers are member
  descriptors and whose objects are getset descriptors;
- ``pybind``: C++ structs bound with pybind11 ``def_readwrite``
  (``_benchpybind``): every read goes through a property and a pybind11
  function, strings and lists are converted on each read.

A benchmark is a list of calls made by the C driver (``_benchloop``) per
iteration, the number of callback calls among them, optional overhead calls
(timed separately and subtracted), and a function run after every timed run
(outside the timing) to drain the queue and drop what the run accumulated.
Besides one callback over the universe, ``stream`` is one simulated minute of
a gateway's delivery: snapshots, level-2 orders and transactions of the
universe interleaved, an order's reports among them, the minute's bars of the
whole universe at its end (see ``stream_plan``).
"""
import collections
import dataclasses
import itertools
import operator
import random
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
CALLBACKS = ("on_snapshot", "on_tick_order", "on_tick_trade", "on_bar", "on_order", "on_query_position")
QUERIES = ("get_current_tick", "history_ticks")
BENCHES = CALLBACKS + ("stream",) + QUERIES
HOT = CALLBACKS + ("stream",)
LAYOUTS = ("plain", "slots", "dict", "namespace", "namedtuple", "cext", "pybind")
# the host order's layout with each record layout (light host)
ORDER_LAYOUTS = {"plain": "plain", "slots": "slots", "dict": "dict", "namespace": "namespace",
                 "namedtuple": "plain", "cext": "plain", "pybind": "plain"}
PROFILES = ("light", "sandbox")
RECORD_TYPES = ("Snapshot", "TickOrder", "TickTrade", "Bar", "PositionRecord", "OrderReport")

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
    """The host's live order: plain attributes (a per-instance __dict__, as a
    Python host's order class has), methods that are C builtins."""
    set_frozen_cash = staticmethod(callable)
    mark_rejected = staticmethod(callable)


ORDER_FIELDS = ("order_id", "market_code", "side", "position_effect", "price", "status", "filled_quantity",
                "unfilled_quantity", "avg_price", "secondary_order_id")


class LightSlotsOrder:
    """The live order with __slots__."""
    __slots__ = ORDER_FIELDS
    set_frozen_cash = staticmethod(callable)
    mark_rejected = staticmethod(callable)


class LightDictOrder:
    """The live order of a generic record class: __dict__.update in __init__."""
    set_frozen_cash = staticmethod(callable)
    mark_rejected = staticmethod(callable)

    def __init__(self, **fields):
        self.__dict__.update(fields)


def order_state(obj):
    """The host order's fields, whatever its layout."""
    return {k: getattr(obj, k) for k in ORDER_FIELDS}


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

    def new_order(self, client_order_id, layout="plain"):
        fields = dict(order_id=client_order_id, market_code="000001.XSHE", side=self.SIDE.BUY,
                      position_effect="OPEN", price=10.0, status=self.ORDER_STATUS.PENDING_NEW, filled_quantity=0,
                      unfilled_quantity=1000, avg_price=0.0, secondary_order_id=None)
        kind = ORDER_LAYOUTS[layout]
        if kind == "dict":
            return LightDictOrder(**fields)
        if kind == "namespace":
            return NS(**fields, set_frozen_cash=callable, mark_rejected=callable)
        o = LightSlotsOrder() if kind == "slots" else LightOrder()
        for k, v in fields.items():
            setattr(o, k, v)
        return o

    def pending_status(self):
        return self.ORDER_STATUS.PENDING_NEW


# ---------------------------------------------------------------- sandbox host

def _plain_class(cls):
    """The stand-in host's class rebuilt without __slots__: the same methods,
    plain attributes in a per-instance __dict__."""
    ns = {k: v for k, v in vars(cls).items()
          if k not in ("__slots__", "__dict__", "__weakref__") and not isinstance(v, types.MemberDescriptorType)}
    return type(cls.__name__, (), ns)


class SandboxHost:
    def __init__(self):
        from corvix.tarrow.environment import Environment
        from corvix.tarrow.portfolio.account import Account
        from corvix.tarrow.const import ORDER_STATUS, SIDE
        from corvix.tarrow.model.order import Order
        from pyvorn.enums import OrderStatusType, MarketType
        self.ORDER_STATUS = ORDER_STATUS
        self.SIDE = SIDE
        self.OrderStatusType = OrderStatusType
        self.market = MarketType.SZSE
        self.Order = _plain_class(Order)
        Environment.reset(universe=_codes(UNIVERSE, "XSHE"), accounts=Account("1001"))

    def bind(self, mod):
        from numpy_ringbuffer import RingBuffer
        # each module keeps the globals its own import bound; only its state is renewed
        mod.event_queue = RingBuffer(capacity=1000000, dtype=object)
        mod.history_tick.clear()
        mod.history_bar.clear()
        mod.orders_dict.clear()

    def new_order(self, client_order_id, layout="plain"):
        return self.Order.__from_create__("000001.XSHE", 1000, self.SIDE.BUY, 10.0, order_id=client_order_id)

    def pending_status(self):
        return self.ORDER_STATUS.PENDING_NEW


# ---------------------------------------------------------------- record layouts

def _field_kind(tp):
    return "d" if tp is float else "q" if tp is int else "O"


class Layout:
    """One record layout: ``new(type_name, **fields)`` makes a record with the
    stand-in SDK's field defaults; ``fields(type_name)`` its field names in
    declaration order."""

    def __init__(self, name):
        import pyvorn.records as sdk
        self.name = name
        self._sdk = {t: getattr(sdk, t) for t in RECORD_TYPES}
        self._fields = {t: dataclasses.fields(c) for t, c in self._sdk.items()}
        if name == "slots":
            self.classes = dict(self._sdk)
        elif name == "plain":
            # the same dataclasses without slots: __init__ assigns every field in
            # order, so the instances share their class's key layout
            self.classes = {t: dataclasses.make_dataclass(
                t, [(f.name, f.type, dataclasses.field(default=f.default, default_factory=f.default_factory))
                    for f in fs], kw_only=True, namespace={"__module__": "bench_plain_records"})
                for t, fs in self._fields.items()}
        elif name == "dict":
            self.classes = {t: _dict_record_class(t) for t in self._fields}
        elif name == "namespace":
            self.classes = {t: types.SimpleNamespace for t in self._fields}
        elif name == "namedtuple":
            self.classes = {t: collections.namedtuple(t, [f.name for f in fs], module="bench_namedtuple_records")
                            for t, fs in self._fields.items()}
        elif name == "cext":
            import _benchrecords
            self.classes = {t: _benchrecords.make_type(f"bench_records.{t}",
                                                       [(f.name, _field_kind(f.type)) for f in fs])
                            for t, fs in self._fields.items()}
        elif name == "pybind":
            import _benchpybind
            self.classes = {t: getattr(_benchpybind, t) for t in RECORD_TYPES}
        else:
            raise ValueError(f"unknown record layout {name!r} (one of {', '.join(LAYOUTS)})")
        # made empty, then filled field by field; or made from every field at once
        self._filled = name in ("cext", "pybind")
        self._complete = name in ("dict", "namespace", "namedtuple")

    def fields(self, type_name):
        return [f.name for f in self._fields[type_name]]

    def values(self, type_name, values):
        """Every field in declaration order: the given values, else the defaults."""
        unknown = set(values) - set(self.fields(type_name))
        if unknown:
            raise TypeError(f"{type_name}: no fields {sorted(unknown)}")
        out = {}
        for f in self._fields[type_name]:
            if f.name in values:
                out[f.name] = values[f.name]
            elif f.default is not dataclasses.MISSING:
                out[f.name] = f.default
            elif f.default_factory is not dataclasses.MISSING:
                out[f.name] = f.default_factory()
            else:
                raise TypeError(f"{type_name}: missing field {f.name!r}")
        return out

    def new(self, type_name, **values):
        cls = self.classes[type_name]
        if self._complete:
            return cls(**self.values(type_name, values))
        if not self._filled:
            return cls(**values)
        rec = cls()
        for k, v in self.values(type_name, values).items():
            setattr(rec, k, v)
        return rec

    def copy(self, rec, type_name, **changes):
        """A new record of this layout with rec's fields, some of them changed."""
        values = {f: getattr(rec, f) for f in self.fields(type_name)}
        values.update(changes)
        return self.new(type_name, **values)


def _dict_record_class(type_name):
    """The generic record class an SDK writes: every field into __dict__ at once."""
    def __init__(self, **fields):
        self.__dict__.update(fields)
    return type(type_name, (), {"__init__": __init__, "__module__": "bench_dict_records"})


_LAYOUTS = {}


def layout(name):
    if name not in _LAYOUTS:
        _LAYOUTS[name] = Layout(name)
    return _LAYOUTS[name]


# ---------------------------------------------------------------- records

def make_records(profile, host, layout_name="slots"):
    """The SDK records the callbacks receive, in the given layout, with market
    types the profile's host understands."""
    L = layout(layout_name)
    market = "XSHE" if profile == "light" else host.market
    status = host.OrderStatusType
    stamp = 20250102093000000
    ids = [f"{i:06d}" for i in range(1, UNIVERSE + 1)]
    snapshots = [L.new("Snapshot", security_id=s, market_type=market, orig_time=stamp + 1000 * k + 120,
                       trading_phase_code="T0", pre_close_price=10.0, open_price=10.1, high_price=10.5,
                       low_price=9.9, last_price=10.2, close_price=0.0, total_volume_trade=123400,
                       total_value_trade=1258680.0, num_trades=321, high_limited=11.0, low_limited=9.0,
                       bid_price=[10.19, 10.18, 10.17, 10.16, 10.15],
                       bid_volume=[100, 200, 300, 400, 500],
                       ask_price=[10.2, 10.21, 10.22, 10.23, 10.24],
                       ask_volume=[500, 400, 300, 200, 100], open_interest=0, prev_settlement=0.0, iopv=0.0)
                 for k, s in enumerate(ids)]
    tick_orders = [L.new("TickOrder", security_id=s, market_type=market, order_time=stamp + 10 * k + 1,
                         side=ord("1") if k % 2 else ord("2"), order_type=ord("2"), biz_index=1000 + k,
                         channel_no=2011, order_price=10.2, order_volume=300, orig_order_no=5000 + k)
                   for k, s in enumerate(ids)]
    tick_trades = [L.new("TickTrade", security_id=s, market_type=market, trade_time=stamp + 10 * k + 2,
                         trade_type=ord("F"), biz_index=2000 + k, channel_no=2011,
                         bid_appl_seq_num=7000 + k + (k % 2), offer_appl_seq_num=7000 + k,
                         trade_price=10.2, trade_volume=300, value_trade=3060.0)
                   for k, s in enumerate(ids)]
    bars = [L.new("Bar", security_id=s, market_type=market, end_time=20250102093100000,
                  start_time=20250102093000000, orig_time=20250102093100500, open=10.1, close=10.2, high=10.3,
                  low=10.0, amount=1258680.0, volume=123400, prev_close=10.0)
            for s in ids]
    positions = [L.new("PositionRecord", security_id=f"{600000 + i:06d}", market_id=market, init_qty=500,
                       leaves_qty=300, available_qty=300, cost_price=10.0, last_price=10.2, market_value=3060.0,
                       profit_loss=60.0)
                 for i in range(POSITIONS)]
    cid = 42
    common = dict(client_order_id=cid, security_id="000001", order_price=10.0, order_qty=1000, error_code=0,
                  error_msg="")
    reports = [
        L.new("OrderReport", order_status=status.Sended, counter_order_id=90001, frozen_trade_value=10000.0,
              trade_qty=0, total_trade_value=0.0, last_match_qty=0, last_match_price=0.0, **common),
        L.new("OrderReport", order_status=status.PartiallyFilled, counter_order_id=90001,
              frozen_trade_value=6000.0, trade_qty=400, total_trade_value=4000.0, last_match_qty=400,
              last_match_price=10.0, **common),
        L.new("OrderReport", order_status=status.Filled, counter_order_id=90001, frozen_trade_value=0.0,
              trade_qty=1000, total_trade_value=10010.0, last_match_qty=600, last_match_price=10.01, **common),
    ]
    return NS(snapshots=snapshots, tick_orders=tick_orders, tick_trades=tick_trades, bars=bars,
              positions=positions, reports=reports, client_order_id=cid, code=f"{ids[0]}.XSHE", layout=L)


# ---------------------------------------------------------------- the stream

# The simulated day's events by kind (README, "The simulated trading day"):
# per 192,040 snapshots, 96,265 level-2 orders and 57,261 transactions.
DAY_TICKS, DAY_L2_ORDERS, DAY_L2_TRANSACTIONS = 192_040, 96_265, 57_261
SNAPSHOTS_PER_MINUTE = 20  # a snapshot every 3 s per instrument


def stream_plan(seed=20250110):
    """One simulated minute of the universe as the gateway delivers it: a list
    of (kind, index) with kind one of "snapshot", "tick_order", "tick_trade",
    "report", "bar" and index the record of that kind (instruments cycle per
    kind, so consecutive records are of different types and instruments).

    Snapshots, level-2 orders and transactions in the day's proportions,
    shuffled together (seeded: the same stream every run); one order's three
    reports (sent, partially filled, filled) at random places among them;
    then the minute's bars, the whole universe in a row."""
    rnd = random.Random(seed)
    n_snap = UNIVERSE * SNAPSHOTS_PER_MINUTE
    n_ord = round(n_snap * DAY_L2_ORDERS / DAY_TICKS)
    n_trd = round(n_snap * DAY_L2_TRANSACTIONS / DAY_TICKS)
    kinds = ["snapshot"] * n_snap + ["tick_order"] * n_ord + ["tick_trade"] * n_trd
    rnd.shuffle(kinds)
    for at in sorted(rnd.sample(range(len(kinds)), 3), reverse=True):
        kinds.insert(at, "report")
    kinds += ["bar"] * UNIVERSE
    counters = collections.Counter()
    plan = []
    for kind in kinds:
        n = counters[kind]
        counters[kind] += 1
        plan.append((kind, n % (3 if kind == "report" else UNIVERSE)))
    return plan


def stream_counts():
    return collections.Counter(kind for kind, _ in stream_plan())


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


def make_host(profile):
    return LightHost() if profile == "light" else SandboxHost()


def build(profile, mods, layouts=("slots",), names=BENCHES):
    """{layout: {bench: {impl: Bench}}} for the implementations, layouts and
    benchmarks given, their globals bound to the profile. Each implementation
    has one strategy and one host order for all layouts."""
    host = make_host(profile)
    recs = {lay: make_records(profile, host, lay) for lay in layouts}
    plan = stream_plan()
    setattr_ = setattr
    benches = {lay: {b: {} for b in names} for lay in layouts}
    for impl, mod in mods.items():
        host.bind(mod)
        cls = mod.VornStrategy
        strat = cls(NS(base=NS()))
        cid = next(iter(recs.values())).client_order_id
        # a process measures one layout: its host order takes that layout
        cx_order = host.new_order(cid, layouts[0] if len(layouts) == 1 else "plain")
        mod.orders_dict[cid] = cx_order
        reset = (setattr_, cx_order, "status", host.pending_status())

        def drain(mod=mod):
            _drain(mod)

        def drain_bars(mod=mod):
            mod.history_bar.clear()
            _drain(mod)

        for lay, rec in recs.items():
            by_kind = {"snapshot": (cls.on_snapshot, rec.snapshots), "tick_order": (cls.on_tick_order, rec.tick_orders),
                       "tick_trade": (cls.on_tick_trade, rec.tick_trades), "bar": (cls.on_bar, rec.bars),
                       "report": (cls.on_order, rec.reports)}
            every = {
                "on_snapshot": lambda: Bench([(cls.on_snapshot, strat, s) for s in rec.snapshots],
                                             len(rec.snapshots), after=drain),
                "on_tick_order": lambda: Bench([(cls.on_tick_order, strat, t) for t in rec.tick_orders],
                                               len(rec.tick_orders), after=drain),
                "on_tick_trade": lambda: Bench([(cls.on_tick_trade, strat, t) for t in rec.tick_trades],
                                               len(rec.tick_trades), after=drain),
                "on_bar": lambda: Bench([(cls.on_bar, strat, b) for b in rec.bars], len(rec.bars),
                                        after=drain_bars),
                "on_order": lambda: Bench([reset] + [(cls.on_order, strat, r) for r in rec.reports],
                                          len(rec.reports), overhead=[reset], after=drain),
                "on_query_position": lambda: Bench([(cls.on_query_position, strat, rec.positions, 7, 0, "ok")], 1,
                                                   after=drain),
                "stream": lambda: Bench([reset] + [(by_kind[k][0], strat, by_kind[k][1][i]) for k, i in plan],
                                        len(plan), overhead=[reset], after=drain_bars),
                "get_current_tick": lambda: Bench([(mod.get_current_tick, rec.code)], 1),
                "history_ticks": lambda: Bench([(mod.history_ticks, rec.code, 60)], 1),
            }
            for name in names:
                benches[lay][name][impl] = every[name]()
        # a full tick history for the queried instrument
        fill = next(iter(recs.values())).snapshots[0]
        for _ in range(60):
            try:
                strat.on_snapshot(fill)
            except NotImplementedError:
                break
        _drain(mod)
    return benches, recs, host
