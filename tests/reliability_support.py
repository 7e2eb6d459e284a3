"""Instrumented stand-ins for the reliability tests (leaks, fault injection,
threads).

Every operation the module performs on something it does not own is a
*fault point*: reading an attribute of an SDK record, reading or writing an
attribute of a host object, calling a host function or class, reading an
enumeration member, formatting a record value, and reading or writing an
attribute of the strategy itself. A `Kit` builds one complete set of such
stand-ins, installs them as the module's globals, and counts the points as
the module passes them. Armed with a target k, the k-th point raises a fresh
`InjectedFault`; with an observer, the kit records the observable state just
before each point, which is exactly the state a failure at that point must
leave behind ("what was done before stays done, nothing after happens").

`CASES` names one scenario per callback path; each builds its records on a
kit and returns the call to make.
"""
from __future__ import annotations

import collections
import copy as copy_module
import datetime as datetime_module
import enum
import sys
import types

import numpy as np

from corvix.tarrow.const import ORDER_STATUS, POSITION_DIRECTION, POSITION_EFFECT, SIDE
from corvix.tarrow.core.events import EVENT, Event
from pyvorn import enums as sdk_enums

import corvix.tarrow.utils.tessaline as tl

STORES = ("history_bar", "history_tick", "orders_dict",
          "algo_parent_orders", "algo_child_orders", "algo_child_trades")
MISSING = ("missing",)

FIXED_NOW = datetime_module.datetime(2024, 1, 2, 8, 0, 0)
TRADING_DAY = np.datetime64("2024-01-02", "D")


class InjectedFault(Exception):
    """Raised at one fault point; a new instance each time."""

    def __init__(self, label, index):
        super().__init__(f"fault {index} at {label}")
        self.label = label
        self.index = index


class Faults:
    """Counts fault points; raises at the target, records state before each."""

    def __init__(self):
        self.armed = False
        self.target = None
        self.count = 0
        self.labels = []
        self.snapshots = []
        self.observer = None
        self.raised = None
        self.record_labels = True

    def arm(self, target=None, observer=None):
        self.count = 0
        self.labels = []
        self.snapshots = []
        self.target = target
        self.observer = observer
        self.raised = None
        self.armed = True

    def disarm(self):
        self.armed = False

    def point(self, label):
        if not self.armed:
            return
        self.count += 1
        if self.record_labels:
            self.labels.append(label)
        if self.observer is not None:
            self.armed = False
            try:
                self.snapshots.append(self.observer())
            finally:
                self.armed = True
        if self.count == self.target:
            self.raised = InjectedFault(label, self.count)
            raise self.raised


class Value:
    """An opaque record value: its text form is a fault point too."""

    __slots__ = ("name", "faults", "__weakref__")

    def __init__(self, faults, name):
        self.name = name
        self.faults = faults

    def __format__(self, spec):
        self.faults.point(f"{self.name}.__format__")
        return f"<{self.name}>"

    def __str__(self):
        self.faults.point(f"{self.name}.__str__")
        return f"<{self.name}>"

    def summary(self):
        return ("value", self.name)


class Made:
    """What a host class or factory returned: its name and arguments."""

    __slots__ = ("name", "args", "__weakref__")

    def __init__(self, name, *args):
        self.name = name
        self.args = args

    def summary(self):
        return (self.name,) + tuple(summarize(a) for a in self.args)


class HostFn:
    """A host function or class: each call is a fault point."""

    __slots__ = ("faults", "label", "impl", "__weakref__")

    def __init__(self, faults, label, impl):
        self.faults = faults
        self.label = label
        self.impl = impl

    def __call__(self, *args, **kwargs):
        self.faults.point(self.label)
        return self.impl(*args, **kwargs)

    def summary(self):
        return ("fn", self.label)


class HostObject:
    """A host object whose configured attributes are fault points on read and write."""

    def __init__(self, faults, label, **attrs):
        object.__setattr__(self, "_faults", faults)
        object.__setattr__(self, "_label", label)
        object.__setattr__(self, "_attrs", dict(attrs))

    def __getattribute__(self, name):
        attrs = object.__getattribute__(self, "_attrs")
        if name in attrs:
            object.__getattribute__(self, "_faults").point(f"{object.__getattribute__(self, '_label')}.{name}")
            return attrs[name]
        return object.__getattribute__(self, name)

    def __setattr__(self, name, value):
        object.__getattribute__(self, "_faults").point(f"{object.__getattribute__(self, '_label')}.{name}=")
        object.__getattribute__(self, "_attrs")[name] = value

    def summary(self):
        attrs = object.__getattribute__(self, "_attrs")
        return (object.__getattribute__(self, "_label"),) + tuple(
            (k, summarize(v)) for k, v in attrs.items() if not isinstance(v, HostFn))


class Members:
    """An enumeration: each member read is a fault point."""

    def __init__(self, faults, label, source):
        object.__setattr__(self, "_faults", faults)
        object.__setattr__(self, "_label", label)
        object.__setattr__(self, "_source", source)

    def __getattribute__(self, name):
        if name.startswith("_"):
            return object.__getattribute__(self, name)
        object.__getattribute__(self, "_faults").point(f"{object.__getattribute__(self, '_label')}.{name}")
        return getattr(object.__getattribute__(self, "_source"), name)

    def summary(self):
        return ("enum", object.__getattribute__(self, "_label"))


class FaultRecord:
    """An SDK record: each attribute read is a fault point."""

    __slots__ = ("_faults", "_name", "_values", "__weakref__")

    def __init__(self, faults, name, values):
        object.__setattr__(self, "_faults", faults)
        object.__setattr__(self, "_name", name)
        object.__setattr__(self, "_values", values)

    def __getattribute__(self, attr):
        if attr.startswith("_"):
            return object.__getattribute__(self, attr)
        name = object.__getattribute__(self, "_name")
        object.__getattribute__(self, "_faults").point(f"{name}.{attr}")
        try:
            return object.__getattribute__(self, "_values")[attr]
        except KeyError:
            raise AttributeError(attr) from None

    def summary(self):
        return ("record", object.__getattribute__(self, "_name"))


class OrderCopy:
    """The deep copy of a host order: its attributes as they were."""

    def __init__(self, state):
        self.state = state

    def summary(self):
        return ("order copy",) + self.state


class HostOrder(HostObject):
    """A live host order: attribute reads, writes and method calls are fault points."""

    def __deepcopy__(self, memo):
        return OrderCopy(self.summary())


class FakePosition:
    """A host Position: reading and calling set_state are fault points."""

    def __init__(self, faults, *args):
        self.faults = faults
        self.args = args
        self.state = None

    def __getattribute__(self, name):
        if name == "set_state":
            object.__getattribute__(self, "faults").point("position.set_state")
        return object.__getattribute__(self, name)

    def set_state(self, state):
        self.faults.point("position.set_state()")
        self.state = summarize(state)

    def summary(self):
        return ("Position",) + tuple(summarize(a) for a in self.args) + (self.state,)


class Calendar:
    """The trading calendar: membership and text form are fault points."""

    def __init__(self, faults, days):
        self.faults = faults
        self.days = days

    def __contains__(self, day):
        self.faults.point("calendar.__contains__")
        return day in self.days

    def __format__(self, spec):
        self.faults.point("calendar.__format__")
        return "<calendar>"

    def summary(self):
        return ("calendar",)


class ClearPoint(dict):
    """A module dictionary whose clear() is a fault point."""

    def __init__(self, faults, label, *args):
        super().__init__(*args)
        self.faults = faults
        self.label = label

    def clear(self):
        self.faults.point(f"{self.label}.clear")
        super().clear()


def summarize(x):
    """A plain, comparable picture of a value, without keeping the value alive."""
    if x is None or isinstance(x, (bool, int, float, str, bytes)):
        return x
    if isinstance(x, enum.Enum):
        return repr(x)
    if isinstance(x, (datetime_module.datetime, datetime_module.date, datetime_module.time,
                      datetime_module.timedelta, np.datetime64)):
        return ("time", str(x))
    if isinstance(x, dict):
        return ("dict",) + tuple((summarize(k), summarize(v)) for k, v in x.items())
    if isinstance(x, (list, tuple, collections.deque)):
        return (type(x).__name__,) + tuple(summarize(i) for i in x)
    if isinstance(x, Event):
        return ("Event", repr(x.event_type)) + tuple((k, summarize(v)) for k, v in x.as_dict().items())
    if isinstance(x, types.MethodType):
        return ("method", x.__name__)
    summary = getattr(type(x), "summary", None)
    if summary is not None:
        return summary(x)
    return ("object", type(x).__name__)


class FaultStrategy(tl.VornStrategy):
    """The strategy as the SDK holds it; reads and writes of its public attributes are fault points."""

    _faults = None

    def __getattribute__(self, name):
        if not name.startswith("_"):
            faults = object.__getattribute__(self, "_faults")
            if faults is not None:
                faults.point(f"self.{name}")
        return object.__getattribute__(self, name)

    def __setattr__(self, name, value):
        if not name.startswith("_"):
            faults = object.__getattribute__(self, "_faults")
            if faults is not None:
                faults.point(f"self.{name}=")
        object.__setattr__(self, name, value)


class InitializeStrategy(FaultStrategy):
    """Initialisation ends by calling self.set_timer(); the clock has cases of its own."""

    def set_timer(self):
        faults = object.__getattribute__(self, "_faults")
        faults.point("self.set_timer()")
        object.__getattribute__(self, "_kit").calls.append(("set_timer",))


class Kit:
    """One complete, instrumented host and SDK for one run of one callback."""

    def __init__(self):
        self.faults = Faults()
        self.events = []
        self.info = []
        self.warnings = []
        self.calls = []
        self.orders = []
        self.tracked = []          # objects whose reference counts must come back
        self.universe = ["600000.XSHG"]
        self.now = FIXED_NOW
        self.today = TRADING_DAY
        self.calendar_days = {TRADING_DAY}
        self.strategy = None
        self._saved = {}
        self._saved_enums = None
        self.extra_globals = {}
        self._build_host()

    # -------------------------------------------------------------- makers

    def fn(self, label, impl):
        return HostFn(self.faults, label, impl)

    def obj(self, label, **attrs):
        return HostObject(self.faults, label, **attrs)

    def members(self, label, source):
        return Members(self.faults, label, source)

    def value(self, name):
        v = Value(self.faults, name)
        self.tracked.append(v)
        return v

    def record(self, name, **values):
        r = FaultRecord(self.faults, name, values)
        self.tracked.append(r)
        return r

    def recording(self, name):
        def call(*args):
            self.calls.append((name,) + tuple(summarize(a) for a in args))
        return self.fn(f"context.{name}", call)

    def host_order(self, cid, status=ORDER_STATUS.ACTIVE, filled=0, register=True):
        order = HostOrder(self.faults, f"order{cid}",
                          order_id=cid, market_code="000001.XSHE", side=SIDE.BUY,
                          position_effect=POSITION_EFFECT.OPEN, price=10.5, status=status,
                          filled_quantity=filled, unfilled_quantity=100 - filled, avg_price=0.0,
                          secondary_order_id=None, frozen_cash=0.0, message="")
        attrs = object.__getattribute__(order, "_attrs")
        attrs["set_frozen_cash"] = self.fn(f"order{cid}.set_frozen_cash()",
                                           lambda v: attrs.__setitem__("frozen_cash", summarize(v)))
        attrs["mark_rejected"] = self.fn(f"order{cid}.mark_rejected()",
                                         lambda r: attrs.update(status=ORDER_STATUS.REJECTED, message=r))
        self.orders.append(order)
        self.tracked.append(order)
        if register:
            tl.orders_dict[cid] = order
        return order

    def make_strategy(self, cls=FaultStrategy, config=None, **attrs):
        s = cls.__new__(cls)
        object.__setattr__(s, "_kit", self)
        s.__init__(config if config is not None else self.config)
        object.__setattr__(s, "_faults", self.faults)
        s.__dict__["context"] = self.context
        s.__dict__.update(attrs)
        self.strategy = s
        self.tracked.append(s)
        return s

    # -------------------------------------------------------------- host

    def _build_host(self):
        k = self
        data_proxy = k.obj("data_proxy", instruments=k.fn("data_proxy.instruments()",
                                                          lambda code: Made("instrument", code)))
        env = k.obj("env",
                    data_proxy=data_proxy,
                    get_universe=k.fn("env.get_universe()", lambda: list(k.universe)),
                    get_account=k.fn("env.get_account()", lambda code: Made("account", code)))
        self.config = types.SimpleNamespace(base=k.obj(
            "base", trading_calendar=Calendar(k.faults, k.calendar_days), accounts={"stock": "acc_xtp"},
            md_type="VoMD", order_way=1, algo_account="algo_xta"))
        self.context = k.obj("context", **{name: k.recording(name) for name in (
            "add_md_broker", "set_order_way", "add_td_broker", "add_algo_broker", "subscribe",
            "add_timer_interval")})
        self.host = {
            "Environment": k.obj("Environment", get_instance=k.fn("Environment.get_instance()", lambda: env)),
            "EVENT": k.members("EVENT", EVENT),
            "Event": k.fn("Event()", Event),
            "TickObject": k.fn("TickObject()", lambda inst, tick: Made("TickObject", inst, tick)),
            "Trade": k.obj("Trade", __from_create__=k.fn("Trade.__from_create__()",
                                                         lambda **kw: Made("Trade", kw))),
            "L2Order": k.obj("L2Order", __from_create__=k.fn("L2Order.__from_create__()",
                                                             lambda *a: Made("L2Order", *a))),
            "L2Transaction": k.obj("L2Transaction", __from_create__=k.fn(
                "L2Transaction.__from_create__()", lambda *a: Made("L2Transaction", *a))),
            "convert_int_to_datetime": k.fn("convert_int_to_datetime()", lambda x: Made("dt", x)),
            "convert_int_to_whole_date": k.fn("convert_int_to_whole_date()", lambda x: Made("date", x)),
            "get_exchane_from_vorn_mdtype": k.fn("get_exchane_from_vorn_mdtype()", lambda mt: "XSHG"),
            "get_vorn_tdtype": k.fn("get_vorn_tdtype()", lambda s: Made("td", s)),
            "get_side_from_vorn_l2_order": k.fn("get_side_from_vorn_l2_order()",
                                                lambda ch, mt: Made("side", ch)),
            "get_order_type_from_vorn_l2_order": k.fn("get_order_type_from_vorn_l2_order()",
                                                      lambda ch, mt: Made("order_type", ch)),
            "get_l2order_type_from_vorn": k.fn("get_l2order_type_from_vorn()",
                                               lambda ch, mt: Made("l2_type", ch)),
            "get_trade_type_from_vorn": k.fn("get_trade_type_from_vorn()", lambda ch: Made("trade_type", ch)),
            "system_log": k.obj("system_log", info=k.fn("system_log.info()", k.info.append)),
            "user_system_log": k.obj("user_system_log", warning=k.fn("user_system_log.warning()",
                                                                     k.warnings.append)),
            "AlgoParentOrder": k.obj("AlgoParentOrder", from_vorn=k.fn(
                "AlgoParentOrder.from_vorn()", lambda r, e: Made("AlgoParentOrder", summarize(r), e))),
            "AlgoChildOrder": k.obj("AlgoChildOrder", from_vorn=k.fn(
                "AlgoChildOrder.from_vorn()", lambda r, e: Made("AlgoChildOrder", summarize(r), e))),
            "AlgoChildTrade": k.obj("AlgoChildTrade", from_vorn=k.fn(
                "AlgoChildTrade.from_vorn()", lambda r, e: Made("AlgoChildTrade", summarize(r), e))),
            "ORDER_STATUS": k.members("ORDER_STATUS", ORDER_STATUS),
            "POSITION_DIRECTION": k.members("POSITION_DIRECTION", POSITION_DIRECTION),
            "SIDE": k.members("SIDE", SIDE),
            "Asset": k.fn("Asset()", lambda *a: Made("Asset", *a)),
            "Position": k.fn("Position()", self._position),
            "deque": k.fn("deque()", collections.deque),
            "copy": k.obj("copy", deepcopy=k.fn("copy.deepcopy()", copy_module.deepcopy)),
            "datetime": k.obj("datetime", now=k.fn("datetime.now()", lambda: k.now),
                              combine=k.fn("datetime.combine()", datetime_module.datetime.combine)),
            "time": k.fn("time()", datetime_module.time),
            "timedelta": k.fn("timedelta()", datetime_module.timedelta),
            "np": k.obj("np", datetime64=k.fn("np.datetime64()", lambda *a: k.today)),
            "event_queue": k.obj("event_queue", append=k.fn("event_queue.append()", k.events.append)),
        }
        for name in ("MDType", "MarketType", "SubscribeDataType", "AlgoType", "OrderStatusType"):
            self.host[name] = k.members(name, getattr(sdk_enums, name))
        self.enums_module = k.obj("pyvorn.enums",
                                  AlgoControlType=k.members("AlgoControlType", sdk_enums.AlgoControlType))

    def _position(self, code, direction, init_qty):
        return FakePosition(self.faults, code, direction, init_qty)

    # -------------------------------------------------------------- install

    def install(self):
        """Binds the stand-ins as module globals (and pyvorn.enums for the control response)."""
        values = dict(self.host)
        values.update(self.extra_globals)
        for name, value in values.items():
            self._saved[name] = tl.__dict__.get(name, MISSING)
            setattr(tl, name, value)
        self._saved_enums = sys.modules.get("pyvorn.enums")
        sys.modules["pyvorn.enums"] = self.enums_module

    def restore(self):
        for name, value in self._saved.items():
            if value is MISSING:
                tl.__dict__.pop(name, None)
            else:
                setattr(tl, name, value)
        self._saved.clear()
        if self._saved_enums is not None:
            sys.modules["pyvorn.enums"] = self._saved_enums
            self._saved_enums = None

    # -------------------------------------------------------------- observe

    def observe(self):
        """Everything a callback may change, as plain data."""
        state = {}
        for name in STORES + ("vorn_params",):
            store = tl.__dict__.get(name, MISSING)
            state[name] = "missing" if store is MISSING else summarize(dict(store))
        state["events"] = summarize(self.events)
        state["calls"] = tuple(self.calls)
        state["info"] = tuple(self.info)
        state["warnings"] = tuple(self.warnings)
        state["orders"] = tuple(o.summary() for o in self.orders)
        if self.strategy is not None:
            attrs = object.__getattribute__(self.strategy, "__dict__")
            state["self"] = tuple((k, summarize(v)) for k, v in attrs.items() if not k.startswith("_"))
        return state

    def refcounts(self):
        return [sys.getrefcount(o) for o in self.tracked]

    def forget_results(self):
        """Drops what the run produced, so that only leaked references remain on the inputs."""
        self.events.clear()
        self.faults.snapshots = []
        self.faults.raised = None
        for name in STORES + ("vorn_params",):
            store = tl.__dict__.get(name)
            if store is not None and name != "orders_dict":
                dict.clear(store)


def clear_module_state():
    for name in STORES + ("vorn_params",):
        dict.clear(tl.__dict__[name])


# ------------------------------------------------------------------ cases
#
# Each case builds its records (and any state the path needs) on a kit and
# returns the call to make. Values the module does arithmetic or text on are
# real numbers and strings; everything else is an opaque Value.

def _snapshot_values(k, prefix):
    names = ("open_price", "close_price", "high_price", "low_price", "total_value_trade",
             "total_volume_trade", "pre_close_price", "ask_volume", "ask_price", "bid_volume",
             "bid_price", "high_limited", "last_price", "low_limited", "open_interest",
             "prev_settlement", "iopv", "trading_phase_code")
    return {n: k.value(f"{prefix}.{n}") for n in names}


def case_snapshot(k):
    s = k.make_strategy()
    rec = k.record("snap", orig_time=20240102093000500, security_id="600000",
                   market_type=sdk_enums.MarketType.SSE, **_snapshot_values(k, "snap"))
    method = s.on_snapshot
    return lambda: method(rec)


def case_snapshot_known_instrument(k):
    s = k.make_strategy()
    tl.history_tick["600000.XSHG"] = collections.deque([{"old": 1}], maxlen=60)
    rec = k.record("snap", orig_time=20240102093000500, security_id="600000",
                   market_type=sdk_enums.MarketType.SSE, **_snapshot_values(k, "snap"))
    method = s.on_snapshot
    return lambda: method(rec)


def case_snapshot_builtin_deque(k):
    """The history is created by collections.deque itself (the lock-free path)."""
    del k.host["deque"]
    return case_snapshot(k)


def case_tick_order(k):
    s = k.make_strategy()
    rec = k.record("l2o", order_time=20240102093000500, security_id="600000",
                   market_type=sdk_enums.MarketType.SSE, side=ord("B"), order_type=ord("A"),
                   biz_index=k.value("l2o.biz_index"), order_price=k.value("l2o.order_price"),
                   order_volume=k.value("l2o.order_volume"), orig_order_no=k.value("l2o.orig_order_no"))
    method = s.on_tick_order
    return lambda: method(rec)


def case_tick_trade(k):
    s = k.make_strategy()
    rec = k.record("l2t", trade_time=20240102093000500, security_id="600000",
                   market_type=sdk_enums.MarketType.SSE, trade_type=ord("F"), bid_appl_seq_num=9,
                   offer_appl_seq_num=4, biz_index=k.value("l2t.biz_index"),
                   trade_price=k.value("l2t.trade_price"), trade_volume=k.value("l2t.trade_volume"),
                   value_trade=k.value("l2t.value_trade"))
    method = s.on_tick_trade
    return lambda: method(rec)


def _bar(k, name="bar", end_time=20240102093100000):
    return k.record(name, security_id="600000", market_type=sdk_enums.MarketType.SSE, end_time=end_time,
                    **{n: k.value(f"{name}.{n}") for n in ("open", "close", "high", "low", "amount", "volume",
                                                           "prev_close")})


def case_bar_completes(k):
    """The bar that completes its bar time: history, counter, event."""
    k.universe = ["600000.XSHG", "000001.XSHE"]
    s = k.make_strategy(bar_cnt=1, current_trade_dt=20240102093100.0)
    rec = _bar(k)
    method = s.on_bar
    return lambda: method(rec)


def case_bar_new_time(k):
    """A bar of a new bar time that does not complete it."""
    k.universe = ["600000.XSHG", "000001.XSHE"]
    s = k.make_strategy(bar_cnt=1, current_trade_dt=20240102093000.0)
    rec = _bar(k)
    method = s.on_bar
    return lambda: method(rec)


def case_bar_builtin_deque(k):
    del k.host["deque"]
    return case_bar_new_time(k)


def case_login(k):
    s = k.make_strategy()
    rec = k.record("login", fund_account_id=k.value("login.fund_account_id"),
                   error_code=k.value("login.error_code"), client_seq_id=k.value("login.client_seq_id"),
                   error_msg=k.value("login.error_msg"))
    method = s.on_login
    return lambda: method(rec)


def _asset(k):
    return k.record("asset", **{n: k.value(f"asset.{n}") for n in (
        "fund_account_id", "available_t1", "frozen_all", "market_value", "total_asset", "leaves_value",
        "init_leaves_value")})


def case_asset_ok(k):
    s = k.make_strategy()
    rec, rid, msg = _asset(k), k.value("rid"), k.value("msg")
    method = s.on_query_asset
    return lambda: method(rec, rid, 0, msg)


def case_asset_error(k):
    s = k.make_strategy()
    rec, rid, msg = _asset(k), k.value("rid"), k.value("msg")
    method = s.on_query_asset
    return lambda: method(rec, rid, 3, msg)


def _position_record(k, i):
    return k.record(f"pos{i}", security_id=f"60000{i}", market_id=sdk_enums.MarketType.SSE,
                    **{n: k.value(f"pos{i}.{n}") for n in (
                        "init_qty", "leaves_qty", "available_qty", "cost_price", "last_price",
                        "market_value", "profit_loss")})


def case_positions_ok(k):
    s = k.make_strategy()
    records = [_position_record(k, i) for i in range(2)]
    rid, msg = k.value("rid"), k.value("msg")
    method = s.on_query_position
    return lambda: method(records, rid, 0, msg)


def case_positions_error(k):
    s = k.make_strategy()
    records = [_position_record(k, 0)]
    rid, msg = k.value("rid"), k.value("msg")
    method = s.on_query_position
    return lambda: method(records, rid, 5, msg)


def _report(k, status, cid=4242, fill=0, trade_qty=None, **extra):
    values = dict(client_order_id=cid, security_id=k.value("rep.security_id"),
                  order_price=k.value("rep.order_price"), order_status=status, order_qty=100,
                  trade_qty=fill if trade_qty is None else trade_qty, total_trade_value=10.5 * fill,
                  error_msg="refused", error_code=k.value("rep.error_code"), last_match_qty=fill,
                  last_match_price=k.value("rep.last_match_price"), counter_order_id=77,
                  frozen_trade_value=k.value("rep.frozen_trade_value"))
    values.update(extra)
    return k.record("rep", **values)


def _order_case(status, host_status=ORDER_STATUS.ACTIVE, fill=0, filled=0, cid=4242, register=True, **extra):
    def case(k):
        s = k.make_strategy()
        k.host_order(4242, status=host_status, filled=filled, register=register)
        rec = _report(k, status, cid=cid, fill=fill, **extra)
        method = s.on_order
        return lambda: method(rec)
    return case


OST = sdk_enums.OrderStatusType


def case_action_error(k):
    s = k.make_strategy()
    k.host_order(4242)
    rec = k.record("err", client_order_id=4242)
    method = s.on_order_action_error
    return lambda: method(rec)


def case_trade_report(k):
    s = k.make_strategy()
    rec = k.record("trade", client_order_id=4242)
    method = s.on_trade
    return lambda: method(rec)


def _response(k, name, **extra):
    values = {n: k.value(f"{name}.{n}") for n in ("client_seq_id", "trader_id", "sys_quote_id", "error_code",
                                                   "error_msg")}
    values.update(extra)
    return k.record(name, **values)


def case_algo_login(k):
    s = k.make_strategy()
    rec = _response(k, "algo_login")
    method = s.on_algo_login
    return lambda: method(rec)


def case_parent_create(k):
    s = k.make_strategy()
    rec = _response(k, "create")
    method = s.on_create_algo_parent_order_res
    return lambda: method(rec)


def case_parent_cancel(k):
    s = k.make_strategy()
    rec = _response(k, "cancel")
    method = s.on_cancel_algo_parent_order_res
    return lambda: method(rec)


def _control_case(control, algo_control):
    def case(k):
        s = k.make_strategy()
        rec = _response(k, "control", control_type=control, algo_control_type=algo_control)
        method = s.on_control_algo_parent_order_res
        return lambda: method(rec)
    return case


def _update_case(method, store, existing):
    def case(k):
        s = k.make_strategy()
        if existing:
            tl.__dict__[store][701] = Made("stored before")
        rec = k.record("update", sys_quote_id=701)
        bound = getattr(s, method)
        return lambda: bound(rec)
    return case


def case_switch_day(k):
    s = k.make_strategy()
    for i, name in enumerate(STORES):
        k.extra_globals[name] = ClearPoint(k.faults, name, {i: Made(name)})
    method = s.on_switch_day
    return lambda: method()


def case_initialize(k):
    s = k.make_strategy(InitializeStrategy)
    other_config = types.SimpleNamespace(base=None)
    method = s.initialize
    return lambda: method(other_config)


def case_time_listener(k):
    s = k.make_strategy()
    method = s.create_time_listener
    return lambda: method()


def case_time_listener_holiday(k):
    k.calendar_days.clear()
    s = k.make_strategy()
    method = s.create_time_listener
    return lambda: method()


def case_set_timer(k):
    s = k.make_strategy()
    method = s.set_timer
    return lambda: method()


def case_send_day_event(k):
    s = k.make_strategy()
    dt = k.value("dt")  # travels unchanged; the host's Event needs a real member
    method = s.send_day_event
    return lambda: method(EVENT.OPEN_AUCTION, dt)


def _sender_case(method):
    def case(k):
        s = k.make_strategy()
        if method == "send_after_trading_event":
            k.extra_globals["orders_dict"] = ClearPoint(k.faults, "orders_dict", {1: Made("order")})
        bound = getattr(s, method)
        return lambda: bound()
    return case


def case_query_tick(k):
    tl.history_tick["600000.XSHG"] = collections.deque([{"n": i} for i in range(5)], maxlen=60)
    code = FaultCode(k.faults, "600000.XSHG")
    k.tracked.append(code)
    query = tl.get_current_tick
    return lambda: query(code)


def case_query_bar(k):
    tl.history_bar["600000.XSHG"] = collections.deque([{"n": i} for i in range(5)])
    code = FaultCode(k.faults, "600000.XSHG")
    k.tracked.append(code)
    query = tl.get_current_bar
    return lambda: query(code)


def case_query_ticks(k):
    tl.history_tick["600000.XSHG"] = collections.deque([{"n": i} for i in range(5)], maxlen=60)
    code = FaultCode(k.faults, "600000.XSHG")
    count = FaultCount(k.faults, 2)
    k.tracked.extend([code, count])
    query = tl.history_ticks
    return lambda: query(code, count)


def case_query_bars(k):
    tl.history_bar["600000.XSHG"] = collections.deque([{"n": i} for i in range(5)])
    code = FaultCode(k.faults, "600000.XSHG")
    count = FaultCount(k.faults, 3)
    k.tracked.extend([code, count])
    query = tl.history_bars
    return lambda: query(code, count)


class FaultCode(str):
    """An instrument code whose hashing and comparison run host code (fault points)."""

    def __new__(cls, faults, text):
        self = super().__new__(cls, text)
        self.faults = faults
        return self

    def __hash__(self):
        self.faults.point("code.__hash__")
        return str.__hash__(self)

    def __eq__(self, other):
        self.faults.point("code.__eq__")
        return str.__eq__(self, other)


class FaultCount:
    """A count whose multiplication and index conversion are fault points."""

    def __init__(self, faults, n):
        self.faults = faults
        self.n = n

    def __mul__(self, other):
        self.faults.point("count.__mul__")
        return FaultIndex(self.faults, self.n * other)


class FaultIndex:
    def __init__(self, faults, n):
        self.faults = faults
        self.n = n

    def __index__(self):
        self.faults.point("index.__index__")
        return self.n


CASES = {
    "on_snapshot": case_snapshot,
    "on_snapshot known instrument": case_snapshot_known_instrument,
    "on_snapshot builtin deque": case_snapshot_builtin_deque,
    "on_tick_order": case_tick_order,
    "on_tick_trade": case_tick_trade,
    "on_bar completing": case_bar_completes,
    "on_bar new bar time": case_bar_new_time,
    "on_bar builtin deque": case_bar_builtin_deque,
    "on_login": case_login,
    "on_query_asset success": case_asset_ok,
    "on_query_asset error": case_asset_error,
    "on_query_position success": case_positions_ok,
    "on_query_position error": case_positions_error,
    "on_order Sended": _order_case(OST.Sended, host_status=ORDER_STATUS.PENDING_NEW),
    "on_order Sended to finished order": _order_case(OST.Sended, host_status=ORDER_STATUS.FILLED),
    "on_order Filled with fill": _order_case(OST.Filled, fill=100),
    "on_order PartiallyFilled fill without cumulative qty": _order_case(OST.PartiallyFilled, fill=30,
                                                                        trade_qty=0),
    "on_order Cancelled with fill": _order_case(OST.Cancelled, fill=30),
    "on_order WaitCancelled with fill": _order_case(OST.WaitCancelled, fill=30),
    "on_order PartiallyFilledWaitCancelled no fill": _order_case(OST.PartiallyFilledWaitCancelled, filled=20),
    "on_order Reject": _order_case(OST.Reject),
    "on_order unknown status": _order_case("Unheard-of"),
    "on_order unknown order": _order_case(OST.Filled, fill=10, cid=999),
    "on_trade": case_trade_report,
    "on_order_action_error": case_action_error,
    "on_algo_login": case_algo_login,
    "on_create_algo_parent_order_res": case_parent_create,
    "on_cancel_algo_parent_order_res": case_parent_cancel,
    "on_control_algo_parent_order_res pause": _control_case(sdk_enums.AlgoControlType.Pause,
                                                            sdk_enums.AlgoControlType.Resume),
    "on_control_algo_parent_order_res resume": _control_case(sdk_enums.AlgoControlType.Resume,
                                                             sdk_enums.AlgoControlType.Resume),
    "on_control_algo_parent_order_res neither": _control_case("stop", "stop"),
    "on_algo_parent_order_update new": _update_case("on_algo_parent_order_update", "algo_parent_orders", False),
    "on_algo_parent_order_update known": _update_case("on_algo_parent_order_update", "algo_parent_orders", True),
    "on_algo_child_order_update": _update_case("on_algo_child_order_update", "algo_child_orders", True),
    "on_algo_child_order_trade": _update_case("on_algo_child_order_trade", "algo_child_trades", False),
    "on_switch_day": case_switch_day,
    "initialize": case_initialize,
    "create_time_listener trading day": case_time_listener,
    "create_time_listener holiday": case_time_listener_holiday,
    "set_timer": case_set_timer,
    "send_day_event": case_send_day_event,
    "send_before_trading_event": _sender_case("send_before_trading_event"),
    "send_open_auction_event": _sender_case("send_open_auction_event"),
    "send_after_trading_event": _sender_case("send_after_trading_event"),
    "get_current_tick": case_query_tick,
    "get_current_bar": case_query_bar,
    "history_ticks": case_query_ticks,
    "history_bars": case_query_bars,
}


# ------------------------------------------------------------------ one run

class Outcome(types.SimpleNamespace):
    """What one run did: the points passed, the state before each and at the
    end, how it ended, and any references it left on its inputs."""


def run_case(name, target=None, observe=True, delete=None, prepare=None, at_each_point=None):
    """Runs case `name` once on a fresh kit.

    target: the fault point to raise at (1-based), or None for a clean run.
    delete: a module global to unbind for the run.
    prepare: called with the kit after the case is built, before installing.
    at_each_point: called with the installed kit; what it returns runs at
    every fault point instead of the observer.
    """
    kit = Kit()
    call = CASES[name](kit)
    if prepare is not None:
        prepare(kit)
    kit.install()
    deleted = MISSING
    if delete is not None:
        if delete not in kit._saved:
            deleted = tl.__dict__.get(delete, MISSING)
        tl.__dict__.pop(delete, None)
    try:
        initial = kit.observe()
        baseline = kit.refcounts()
        observer = kit.observe if observe else None
        if at_each_point is not None:
            observer = at_each_point(kit)
        kit.faults.arm(target, observer)
        result = error = None
        try:
            result = call()
        except BaseException as exc:  # anything at all must be reported, never crash
            error = exc
        finally:
            kit.faults.disarm()
        final = kit.observe()
        out = Outcome(
            labels=kit.faults.labels, snapshots=kit.faults.snapshots, initial=initial, final=final,
            result_is_none=result is None,
            injected=error is not None and error is kit.faults.raised,
            error_type=type(error) if error is not None else None,
            error_text=str(error) if error is not None else None,
            error_name=getattr(error, "name", None) if error is not None else None,
            fault_label=kit.faults.raised.label if kit.faults.raised is not None else None)
        del error, result
    finally:
        kit.restore()
        if deleted is not MISSING:
            tl.__dict__[delete] = deleted
    kit.forget_results()
    after = kit.refcounts()
    out.leaks = [(type(o).__name__, a - b) for o, a, b in zip(kit.tracked, after, baseline) if a != b]
    clear_module_state()
    return out


def belongs(label, global_name):
    """Whether a fault point label is an operation on module global `global_name`."""
    return label.startswith(global_name + ".") or label.startswith(global_name + "()")


class BoundedQueue:
    """The host's queue stand-in: keeps the last few events only, as a
    draining host would, so long runs do not pile events up."""

    def __init__(self, keep=8):
        self.items = collections.deque(maxlen=keep)
        self.append = self.items.append


class QuietLog:
    """A logger that keeps only its last few messages."""

    def __init__(self):
        self.last = collections.deque(maxlen=2)
        self.info = self.warning = self.last.append


def install_real_host(monkeypatch):
    """The sandbox environment with a bounded queue and quiet loggers."""
    from corvix.tarrow.environment import Environment
    env = Environment.reset(universe=["600000.XSHG"], instruments=["000001.XSHE"])
    monkeypatch.setattr(tl, "event_queue", BoundedQueue())
    monkeypatch.setattr(tl, "system_log", QuietLog())
    monkeypatch.setattr(tl, "user_system_log", QuietLog())
    return env
