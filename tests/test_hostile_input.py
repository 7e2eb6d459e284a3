"""Hostile input: every callback and query function is fed records whose
attributes are of any type at all, missing, or raising, and objects whose
special methods (__getattr__, __format__, __str__, __eq__, __gt__, __hash__,
__index__, __bool__, __len__, arithmetic, __deepcopy__, ...) raise, return
nonsense or return values of the wrong type; huge integers, NaN and
subclasses of str, int and list too. Host functions that return such objects
are tried as well.

Whatever happens, only a Python exception may come out: never a crash, never
a SystemError (which is also what the interpreter turns a result returned
with an error still set into), never text from the C++ side, and after a
successful call the next plain C call must not see a stale error.

Runs a short profile by default; for a long run:

    TESSALINE_HYPOTHESIS_PROFILE=long python -m pytest tests/test_hostile_input.py
"""
import collections
import datetime
import math
import os
import types

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import corvix.tarrow.utils.tessaline as tl
from corvix.tarrow.const import ORDER_STATUS, SIDE
from corvix.tarrow.environment import Environment
from corvix.tarrow.model.order import Order
from pyvorn.enums import AlgoControlType, MarketType, OrderStatusType
from reliability_support import install_real_host

_COMMON = dict(deadline=None, database=None, print_blob=True,
               suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                      HealthCheck.function_scoped_fixture])
settings.register_profile("tessaline-ci", max_examples=60, **_COMMON)
settings.register_profile("tessaline-long", max_examples=5000, **_COMMON)
HOSTILE = settings.get_profile("tessaline-" + os.environ.get("TESSALINE_HYPOTHESIS_PROFILE", "ci"))

STAMP = 20240102093000500
CID = 4242


# ------------------------------------------------------------------ hostile objects

class Abort(BaseException):
    """Not an Exception: must pass through every guard."""


DUNDERS = ("__getattr__", "__format__", "__str__", "__repr__", "__eq__", "__ne__", "__lt__", "__gt__",
           "__hash__", "__index__", "__int__", "__float__", "__bool__", "__len__", "__iter__", "__add__",
           "__radd__", "__sub__", "__rsub__", "__mul__", "__rmul__", "__truediv__", "__rtruediv__",
           "__contains__", "__deepcopy__", "__getitem__", "__call__")
BEHAVIOURS = ("raise", "abort", "nonsense", "none", "huge", "negative", "evil", "notimpl")


class Evil:
    """Each special method raises or answers nonsense, as its mode says."""

    def __init__(self, modes):
        object.__setattr__(self, "_modes", dict(modes))

    def _act(self, dunder, default, *args):
        mode = object.__getattribute__(self, "_modes").get(dunder)
        if mode is None:
            return default(*args)
        if mode == "raise":
            raise ValueError(f"evil {dunder}")
        if mode == "abort":
            raise Abort(dunder)
        if mode == "nonsense":
            return [dunder]
        if mode == "none":
            return None
        if mode == "huge":
            return 10 ** 40
        if mode == "negative":
            return -(10 ** 40)
        if mode == "evil":
            return EVERYTHING_RAISES
        return NotImplemented

    def __getattr__(self, name):
        return self._act("__getattr__", _no_attribute, name)

    def __format__(self, spec):
        return self._act("__format__", lambda: "evil")

    def __str__(self):
        return self._act("__str__", lambda: "evil")

    def __repr__(self):
        return self._act("__repr__", lambda: "Evil()")

    def __eq__(self, other):
        return self._act("__eq__", lambda: self is other)

    def __ne__(self, other):
        return self._act("__ne__", lambda: self is not other)

    def __lt__(self, other):
        return self._act("__lt__", lambda: NotImplemented)

    def __gt__(self, other):
        return self._act("__gt__", lambda: NotImplemented)

    def __hash__(self):
        return self._act("__hash__", lambda: id(self) >> 4)

    def __index__(self):
        return self._act("__index__", lambda: 7)

    def __int__(self):
        return self._act("__int__", lambda: 7)

    def __float__(self):
        return self._act("__float__", lambda: 1.5)

    def __bool__(self):
        return self._act("__bool__", lambda: True)

    def __len__(self):
        return self._act("__len__", lambda: 1)

    def __iter__(self):
        return self._act("__iter__", lambda: iter(()))

    def __contains__(self, item):
        return self._act("__contains__", lambda: False)

    def __getitem__(self, key):
        return self._act("__getitem__", _no_item, key)

    def __deepcopy__(self, memo):
        return self._act("__deepcopy__", lambda: self)

    def __call__(self, *args, **kwargs):
        return self._act("__call__", lambda: self)


for _name in ("__add__", "__radd__", "__sub__", "__rsub__", "__mul__", "__rmul__", "__truediv__", "__rtruediv__"):
    setattr(Evil, _name, (lambda n: lambda self, other: self._act(n, lambda: NotImplemented))(_name))


def _no_attribute(name):
    raise AttributeError(name)


def _no_item(key):
    raise KeyError(key)


EVERYTHING_RAISES = Evil({d: "raise" for d in DUNDERS})


class StrSub(str):
    pass


class StrOdd(str):
    """Concatenates into something that is not a string and cannot be hashed."""

    def __add__(self, other):
        return Evil({"__hash__": "raise", "__add__": "raise"})

    def __radd__(self, other):
        return [other]

    def split(self, *args):
        return [self, self, self]

    def upper(self):
        return Evil({"__eq__": "evil"})


class IntSub(int):
    pass


class IntOdd(int):
    def __truediv__(self, other):
        return Evil({"__eq__": "raise", "__int__": "raise", "__float__": "raise"})

    def __gt__(self, other):
        return Evil({"__bool__": "raise"})

    def __sub__(self, other):
        raise ArithmeticError("odd")


class ListSub(list):
    pass


class Raising:
    """Marks an attribute whose read raises."""

    def __init__(self, exc):
        self.exc = exc


MISSING = object()


class Record:
    """An SDK record made of drawn values: missing ones raise AttributeError,
    Raising ones raise their exception."""

    def __init__(self, values):
        object.__setattr__(self, "_values", values)

    def __getattribute__(self, name):
        if name.startswith("__") and name.endswith("__"):
            return object.__getattribute__(self, name)
        value = object.__getattribute__(self, "_values").get(name, MISSING)
        if value is MISSING:
            raise AttributeError(name)
        if isinstance(value, Raising):
            raise value.exc
        return value

    def __repr__(self):
        return f"Record({object.__getattribute__(self, '_values')!r})"


evils = st.dictionaries(st.sampled_from(DUNDERS), st.sampled_from(BEHAVIOURS), max_size=4).map(Evil)
plain = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(min_value=-2 ** 200, max_value=2 ** 200),
    st.floats(), st.just(math.nan), st.text(max_size=6), st.binary(max_size=3),
    st.lists(st.integers(), max_size=3), st.tuples(st.integers()))
subclasses = st.one_of(
    st.text(max_size=6).map(StrSub), st.text(max_size=6).map(StrOdd),
    st.integers().map(IntSub), st.integers(min_value=0, max_value=10 ** 20).map(IntOdd),
    st.lists(st.integers(), max_size=3).map(ListSub))
members = st.sampled_from(list(MarketType) + list(OrderStatusType) + list(AlgoControlType) + list(ORDER_STATUS))
raising = st.sampled_from([ValueError("raising attribute"), KeyError("k"), Abort("stop"),
                           AttributeError("gone"), TypeError("t")]).map(Raising)
hostile = st.one_of(plain, evils, subclasses, members, raising, st.just(MISSING))


def field(realistic):
    return st.one_of(st.just(realistic) if not isinstance(realistic, st.SearchStrategy) else realistic, hostile)


def records(**realistic):
    """A record whose every attribute is realistic or hostile; sometimes an Evil itself."""
    made = st.fixed_dictionaries({name: field(value) for name, value in realistic.items()}).map(Record)
    return st.one_of(made, made, made, evils)


STATUS = st.sampled_from(list(OrderStatusType))
SNAPSHOT = records(orig_time=STAMP, security_id="600000", market_type=MarketType.SSE, open_price=1.0,
                   close_price=1.0, high_price=1.0, low_price=1.0, total_value_trade=1.0, total_volume_trade=1,
                   pre_close_price=1.0, ask_volume=[1], ask_price=[1.0], bid_volume=[1], bid_price=[1.0],
                   high_limited=2.0, last_price=1.0, low_limited=0.5, open_interest=0, prev_settlement=0.0,
                   iopv=0.0, trading_phase_code="T0")
TICK_ORDER = records(order_time=STAMP, security_id="600000", market_type=MarketType.SSE,
                     side=st.sampled_from([ord("B"), ord("S"), ord("1"), 0x110000, -1]),
                     order_type=st.sampled_from([ord("A"), ord("D"), ord("2")]), biz_index=1, order_price=1.0,
                     order_volume=100, orig_order_no=5)
TICK_TRADE = records(trade_time=STAMP, security_id="600000", market_type=MarketType.SSE,
                     trade_type=st.sampled_from([ord("F"), ord("4")]), bid_appl_seq_num=2, offer_appl_seq_num=1,
                     biz_index=1, trade_price=1.0, trade_volume=100, value_trade=100.0)
BAR = records(security_id="600000", market_type=MarketType.SSE, end_time=20240102093100000, open=1.0, close=1.0,
              high=1.0, low=1.0, amount=1.0, volume=1, prev_close=1.0)
LOGIN = records(fund_account_id="1001", error_code=0, client_seq_id=1, error_msg="")
ASSET = records(fund_account_id="1001", available_t1=1.0, frozen_all=0.0, market_value=0.0, total_asset=1.0,
                leaves_value=1.0, init_leaves_value=1.0)
POSITION = records(security_id="600000", market_id=MarketType.SSE, init_qty=100, leaves_qty=100,
                   available_qty=100, cost_price=1.0, last_price=1.0, market_value=100.0, profit_loss=0.0)
REPORT = records(client_order_id=CID, security_id="000001", order_price=10.5, order_status=STATUS, order_qty=100,
                 trade_qty=st.sampled_from([0, 10, 100]), total_trade_value=105.0, error_msg="no",
                 error_code=3, last_match_qty=st.sampled_from([0, 10]), last_match_price=10.5,
                 counter_order_id=st.sampled_from([0, 77]), frozen_trade_value=1.0)
RESPONSE = records(client_seq_id=1, trader_id="t", sys_quote_id=5, error_code=0, error_msg="",
                   control_type=st.sampled_from(list(AlgoControlType)),
                   algo_control_type=st.sampled_from(list(AlgoControlType)))
UPDATE = records(sys_quote_id=st.sampled_from([5, 6]), security_id="600000", market_type=MarketType.SSE,
                 side=1, order_qty=100, status=1, trade_qty=0, trade_value=0.0)
CODES = st.one_of(st.just("600000.XSHG"), st.just("000001.XSHE"), hostile)
COUNTS = st.one_of(st.integers(min_value=-100, max_value=100), hostile)
RESULT_CODES = st.one_of(st.just(0), st.just(0.0), st.just(5), hostile)


# ------------------------------------------------------------------ checking

@pytest.fixture
def host(monkeypatch):
    yield install_real_host(monkeypatch)
    Environment.reset()


def make_strategy(**base):
    base.setdefault("accounts", {"stock": "acc_xtp"})
    base.setdefault("trading_calendar", {np.datetime64("today", "D")})
    s = tl.VornStrategy(types.SimpleNamespace(base=types.SimpleNamespace(**base)))
    s.context = types.SimpleNamespace(**{name: (lambda *a: None) for name in (
        "add_md_broker", "set_order_way", "add_td_broker", "add_algo_broker", "subscribe",
        "add_timer_interval")})
    return s


def safe_text(exc):
    try:
        return str(exc)
    except BaseException:
        return ""


def exercise(call, *args):
    """Calls into the module; only a Python exception may come out, and none may linger."""
    try:
        call(*args)
    except BaseException as exc:
        assert isinstance(exc, (Exception, Abort)), repr(type(exc))
        assert not isinstance(exc, SystemError), safe_text(exc)
        text = safe_text(exc)
        for marker in ("C++", "std::", "basic_string", "tessaline::", "unknown C++"):
            assert marker not in text, text
    finally:
        for name in ("history_bar", "history_tick", "orders_dict", "algo_parent_orders", "algo_child_orders",
                     "algo_child_trades"):
            tl.__dict__[name].clear()
    assert tl.get_current_tick("no such code") is None
    assert len([]) == 0


# ------------------------------------------------------------------ market data

@HOSTILE
@given(SNAPSHOT, st.booleans())
def test_on_snapshot(host, snapshot, known):
    s = make_strategy()
    if known:
        tl.history_tick["600000.XSHG"] = collections.deque([{}], maxlen=60)
    exercise(s.on_snapshot, snapshot)


@HOSTILE
@given(TICK_ORDER)
def test_on_tick_order(host, record):
    exercise(make_strategy().on_tick_order, record)


@HOSTILE
@given(TICK_TRADE)
def test_on_tick_trade(host, record):
    exercise(make_strategy().on_tick_trade, record)


@HOSTILE
@given(BAR, field(0), field(20240102093100.0), st.integers(min_value=0, max_value=2))
def test_on_bar(host, bar, bar_cnt, current_trade_dt, universe):
    host.set_universe(["600000.XSHG", "000001.XSHE"][:universe])
    s = make_strategy()
    for name, value in (("bar_cnt", bar_cnt), ("current_trade_dt", current_trade_dt)):
        if value is not MISSING and not isinstance(value, Raising):
            setattr(s, name, value)
    exercise(s.on_bar, bar)


@HOSTILE
@given(CODES, COUNTS, st.sampled_from(["tick", "bar"]))
def test_query_functions(host, code, count, store):
    history = tl.history_tick if store == "tick" else tl.history_bar
    try:
        history["600000.XSHG"] = collections.deque([{"n": i} for i in range(5)])
    except BaseException:
        pass
    try:
        hash(code)
        history[code] = collections.deque([{"n": 0}])
    except BaseException:
        pass
    if store == "tick":
        exercise(lambda: (tl.get_current_tick(code), tl.history_ticks(code, count)))
    else:
        exercise(lambda: (tl.get_current_bar(code), tl.history_bars(code, count)))


# ------------------------------------------------------------------ account and orders

@HOSTILE
@given(LOGIN)
def test_on_login(host, record):
    exercise(make_strategy().on_login, record)


@HOSTILE
@given(ASSET, field(1), RESULT_CODES, field("ok"))
def test_on_query_asset(host, record, rid, code, msg):
    exercise(make_strategy().on_query_asset, record, rid, code, msg)


@HOSTILE
@given(st.one_of(st.lists(POSITION, max_size=3), st.lists(POSITION, max_size=3).map(ListSub),
                 st.lists(POSITION, max_size=3).map(tuple), hostile),
       field(1), RESULT_CODES, field("ok"))
def test_on_query_position(host, result, rid, code, msg):
    exercise(make_strategy().on_query_position, result, rid, code, msg)


def host_orders():
    def real(status):
        order = Order.__from_create__("000001.XSHE", 100, SIDE.BUY, 10.5, order_id=CID)
        order.status = status
        return order
    return st.one_of(st.sampled_from(list(ORDER_STATUS)).map(real),
                     records(market_code="000001.XSHE", status=st.sampled_from(list(ORDER_STATUS)), order_id=CID,
                             side=SIDE.BUY, position_effect=None, price=10.5, filled_quantity=0,
                             set_frozen_cash=lambda v: None, mark_rejected=lambda r: None))


@HOSTILE
@given(REPORT, host_orders(), st.booleans())
def test_on_order(host, report, cx_order, known):
    s = make_strategy()

    def call():
        if known:
            tl.orders_dict[CID] = cx_order
        s.on_order(report)
    exercise(call)


@HOSTILE
@given(records(client_order_id=CID), host_orders())
def test_on_order_action_error_and_on_trade(host, record, cx_order):
    s = make_strategy()

    def call():
        tl.orders_dict[CID] = cx_order
        s.on_trade(record)
        s.on_order_action_error(record)
    exercise(call)


# ------------------------------------------------------------------ algo

@HOSTILE
@given(RESPONSE, st.sampled_from(["on_algo_login", "on_create_algo_parent_order_res",
                                  "on_cancel_algo_parent_order_res", "on_control_algo_parent_order_res"]))
def test_algo_responses(host, record, method):
    exercise(getattr(make_strategy(), method), record)


@HOSTILE
@given(UPDATE, field(None), st.sampled_from([
    ("on_algo_parent_order_update", "algo_parent_orders"), ("on_algo_child_order_update", "algo_child_orders"),
    ("on_algo_child_order_trade", "algo_child_trades")]))
def test_algo_updates(host, record, existing, member):
    method, store = member
    s = make_strategy()

    def call():
        if existing is not MISSING and not isinstance(existing, Raising):
            tl.__dict__[store][5] = existing
        getattr(s, method)(record)
    exercise(call)


# ------------------------------------------------------------------ lifecycle and clock

@HOSTILE
@given(field("VoMD"), field(1), st.one_of(st.dictionaries(st.text(max_size=3), field("acc_xtp"), max_size=2),
                                          hostile), field("algo_xta"))
def test_initialize(host, md_type, order_way, accounts, algo_account):
    base = {name: value for name, value in (("md_type", md_type), ("order_way", order_way), ("accounts", accounts),
                                            ("algo_account", algo_account))
            if value is not MISSING and not isinstance(value, Raising)}
    s = make_strategy(**base)
    exercise(s.initialize, None)


@HOSTILE
@given(st.one_of(st.just({np.datetime64("today", "D")}), st.just(set()), hostile), st.one_of(
    st.just(lambda ns, cb: None), hostile), st.sampled_from(["create_time_listener", "set_timer"]))
def test_clock(host, calendar, add_timer_interval, method):
    s = make_strategy()
    s.config.base.trading_calendar = calendar
    if add_timer_interval is not MISSING and not isinstance(add_timer_interval, Raising):
        s.context = types.SimpleNamespace(add_timer_interval=add_timer_interval)
    exercise(getattr(s, method))


@HOSTILE
@given(field(None), field(None))
def test_day_events(host, event_type, dt):
    s = make_strategy()
    exercise(lambda: (s.send_day_event(event_type, dt), s.send_before_trading_event(),
                      s.send_open_auction_event(), s.send_after_trading_event(), s.on_switch_day(),
                      s.on_initialize()))


# ------------------------------------------------------------------ hostile host

returns = st.one_of(hostile, st.just("XSHG"), st.just(datetime.datetime(2024, 1, 2)))


@HOSTILE
@given(SNAPSHOT, BAR, returns, returns, returns, returns, returns, returns)
def test_host_functions_returning_nonsense(host, monkeypatch, snapshot, bar, when, suffix, instrument, universe,
                                           event, converted):
    def give(value):
        def function(*args, **kwargs):
            if isinstance(value, Raising):
                raise value.exc
            return None if value is MISSING else value
        return function

    env = types.SimpleNamespace(data_proxy=types.SimpleNamespace(instruments=give(instrument)),
                                get_universe=give(universe), get_account=give(instrument))
    s = make_strategy()
    report = Record(dict(client_order_id=CID, security_id="1", order_price=1.0, order_status=OrderStatusType.Filled,
                         order_qty=100, trade_qty=10, total_trade_value=105.0, error_msg="", last_match_qty=10,
                         last_match_price=10.5))
    order = Order.__from_create__("000001.XSHE", 100, SIDE.BUY, 10.5, order_id=CID)
    with monkeypatch.context() as m:
        m.setattr(tl, "Environment", types.SimpleNamespace(get_instance=lambda: env))
        m.setattr(tl, "convert_int_to_datetime", give(when))
        m.setattr(tl, "convert_int_to_whole_date", give(when))
        m.setattr(tl, "get_exchane_from_vorn_mdtype", give(suffix))
        m.setattr(tl, "Event", give(event))
        m.setattr(tl, "Trade", types.SimpleNamespace(__from_create__=give(converted)))
        m.setattr(tl, "AlgoParentOrder", types.SimpleNamespace(from_vorn=give(converted)))
        exercise(s.on_snapshot, snapshot)
        exercise(s.on_bar, bar)

        def order_call():
            tl.orders_dict[CID] = order
            s.on_order(report)
        exercise(order_call)
        exercise(s.on_algo_parent_order_update, Record({"sys_quote_id": 5}))


# ------------------------------------------------------------------ argument binding

class KeyOdd(str):
    """A keyword name whose comparison raises (once the call is under way)."""

    armed = False

    def __eq__(self, other):
        if KeyOdd.armed:
            raise LookupError("odd keyword")
        return str.__eq__(self, other)

    __hash__ = str.__hash__


FUNCTIONS = sorted(name for name in dir(tl.VornStrategy) if not name.startswith("__")) + ["__init__"]
PARAMS = ("self", "config", "snapshot", "bar", "order", "market_code", "count", "event_type", "dt", "code", "msg",
          "request_id", "asset_res", "query_position_res", "x")
keywords = st.one_of(st.sampled_from(PARAMS), st.sampled_from(PARAMS).map(KeyOdd), st.sampled_from(PARAMS).map(StrSub))


@HOSTILE
@given(st.sampled_from(FUNCTIONS + ["get_current_bar", "get_current_tick", "history_ticks", "history_bars"]),
       st.lists(st.one_of(plain, evils), max_size=6), st.dictionaries(keywords, st.one_of(plain, evils), max_size=3))
def test_argument_binding(host, name, args, kwargs):
    function = getattr(tl, name, None) or getattr(tl.VornStrategy, name)
    KeyOdd.armed = True
    try:
        exercise(lambda: function(*args, **kwargs))
    finally:
        KeyOdd.armed = False


# ------------------------------------------------------------------ objects that change between calls
#
# Attribute and member reads may be remembered between calls only while the
# objects they came from are unchanged; every change below must be seen by
# the very next call.

def login_events(strategy, record, n=3):
    queue = tl.event_queue
    queue.items.clear()
    for _ in range(n):
        strategy.on_login(record)
    return list(queue.items)


def test_changed_record_types_are_seen(host):
    s = make_strategy()

    class Login:
        __slots__ = ("fund_account_id", "error_code", "client_seq_id", "error_msg")

    class Other:
        __slots__ = ("fund_account_id", "error_code", "client_seq_id", "error_msg")

    r = Login()
    r.fund_account_id, r.error_code, r.client_seq_id, r.error_msg = "1001", 0, 1, "slot"
    assert [e.msg for e in login_events(s, r)] == ["slot"] * 3
    Login.error_msg = property(lambda self: "property")  # a data descriptor now comes first
    assert [e.msg for e in login_events(s, r)] == ["property"] * 3
    del Login.error_msg
    with pytest.raises(AttributeError):
        s.on_login(r)  # the slot descriptor went with the class attribute
    r.__class__ = Other
    r.error_msg = "other"
    assert [e.msg for e in login_events(s, r)] == ["other"] * 3
    del r.error_msg
    with pytest.raises(AttributeError):
        s.on_login(r)
    Other.__getattr__ = lambda self, name: "fallback"
    assert [e.msg for e in login_events(s, r)] == ["fallback"] * 3


def test_changed_event_members_are_seen(host, monkeypatch):
    s = make_strategy()
    record = types.SimpleNamespace(fund_account_id="1", error_code=0, client_seq_id=1, error_msg="")
    made = []
    monkeypatch.setattr(tl, "Event", lambda kind, **fields: made.append(kind) or kind)

    class Meta(type):
        pass

    class Members(metaclass=Meta):
        LOGIN = "first"

    monkeypatch.setattr(tl, "EVENT", Members)
    login_events(s, record, 2)
    Members.LOGIN = "second"
    login_events(s, record, 2)
    Meta.LOGIN = property(lambda cls: "from the metaclass")  # a data descriptor on the metaclass wins
    login_events(s, record, 2)
    del Meta.LOGIN
    Meta.__getattribute__ = lambda cls, name: "intercepted" if name == "LOGIN" else type.__getattribute__(cls, name)
    login_events(s, record, 2)
    del Meta.__getattribute__

    namespace = types.SimpleNamespace(LOGIN="namespace")
    monkeypatch.setattr(tl, "EVENT", namespace)
    login_events(s, record, 2)
    namespace.LOGIN = "namespace again"
    login_events(s, record, 2)

    class WithDict:
        __slots__ = ("__dict__",)

    holder = WithDict()
    holder.LOGIN = "held"
    monkeypatch.setattr(tl, "EVENT", holder)
    login_events(s, record, 2)
    holder.__dict__ = {"LOGIN": "replaced dict"}
    login_events(s, record, 2)
    assert made == ["first"] * 2 + ["second"] * 2 + ["from the metaclass"] * 2 + ["intercepted"] * 2 + \
        ["namespace"] * 2 + ["namespace again"] * 2 + ["held"] * 2 + ["replaced dict"] * 2


def test_a_slot_descriptor_of_another_class_is_never_read_as_ours(host):
    class Other:
        __slots__ = ("a", "b", "c", "d", "e", "f", "g", "h")

    class Record:
        __slots__ = ("security_id", "fund_account_id", "error_code", "client_seq_id")

    Record.error_msg = Other.__dict__["h"]  # a slot of an unrelated layout
    r = Record()
    r.security_id, r.fund_account_id, r.error_code, r.client_seq_id = "x", "1", 0, 1
    s = make_strategy()
    for _ in range(3):
        with pytest.raises(TypeError, match="doesn't apply"):
            s.on_login(r)


def test_a_member_whose_type_becomes_a_descriptor_is_seen(host, monkeypatch):
    s = make_strategy()
    record = types.SimpleNamespace(fund_account_id="1", error_code=0, client_seq_id=1, error_msg="")
    made = []
    monkeypatch.setattr(tl, "Event", lambda kind, **fields: made.append(kind) or kind)

    class Member:
        pass

    class Members:
        LOGIN = Member()

    monkeypatch.setattr(tl, "EVENT", Members)
    s.on_login(record)
    s.on_login(record)
    Member.__get__ = lambda self, obj, owner=None: "via descriptor"
    s.on_login(record)
    assert made[:2] == [Members.__dict__["LOGIN"]] * 2 and made[2] == "via descriptor"


# ------------------------------------------------------------------ attribute fast paths
#
# Record attributes are read straight from where each layout keeps them (the
# inline values of a plain instance, a slot, a compiled member or getset, a
# property's getter), remembered per record type; the strategy's counters and
# the host order's fields are written in place. Whatever happens to an object
# or its type between two calls, the next read must give what the
# interpreter gives for the same statement, with the same error.

def login_record(cls, msg):
    r = cls()
    r.fund_account_id, r.error_code, r.client_seq_id, r.error_msg = "1001", 0, 1, msg
    return r


def seen_msgs(s, record, n=2):
    return [e.msg for e in login_events(s, record, n)]


def assert_missing(s, record, name):
    """on_login fails exactly as `record.<name>` does in interpreted code."""
    with pytest.raises(AttributeError) as expected:
        getattr(record, name)
    with pytest.raises(AttributeError) as got:
        s.on_login(record)
    assert str(got.value) == str(expected.value)
    assert got.value.name == name and got.value.obj is record


def test_plain_attributes_follow_the_object(host):
    class Plain:
        pass

    class Other:
        pass

    s = make_strategy()
    r = login_record(Plain, "inline")
    assert seen_msgs(s, r) == ["inline"] * 2
    r.error_msg = "changed"
    assert seen_msgs(s, r) == ["changed"] * 2
    vars(r)  # the values move into a real dict
    r.error_msg = "after vars"
    assert seen_msgs(s, r) == ["after vars"] * 2
    crowded = login_record(Plain, "crowded")
    for i in range(40):  # more names than the shared keys hold: this instance gets a dict
        setattr(crowded, f"extra{i}", i)
    fresh = login_record(Plain, "fresh")
    assert seen_msgs(s, crowded) + seen_msgs(s, fresh) == ["crowded"] * 2 + ["fresh"] * 2
    moved = login_record(Plain, "moved")
    moved.__class__ = Other
    assert seen_msgs(s, moved) == ["moved"] * 2
    del moved.error_msg
    assert_missing(s, moved, "error_msg")
    Other.error_msg = "class attribute"  # found once the instance has none
    assert seen_msgs(s, moved) == ["class attribute"] * 2
    assert seen_msgs(s, fresh) == ["fresh"] * 2
    Plain.error_msg = property(lambda self: "property")  # a data descriptor comes before the instance
    assert seen_msgs(s, fresh) == ["property"] * 2
    del Plain.error_msg
    assert seen_msgs(s, fresh) == ["fresh"] * 2
    del fresh.error_msg
    assert_missing(s, fresh, "error_msg")


def test_class_defaults_and_class_values_that_become_descriptors(host):
    import dataclasses

    @dataclasses.dataclass
    class Login:  # a field default is a class attribute
        fund_account_id: str = "1001"
        error_code: int = 0
        client_seq_id: int = 1
        error_msg: str = "default"

    s = make_strategy()
    r = Login(error_msg="own")
    assert seen_msgs(s, r) == ["own"] * 2
    del r.error_msg
    assert seen_msgs(s, r) == ["default"] * 2

    class Marker:
        pass

    class Held:
        error_msg = Marker()  # a value of a class that can still gain __get__

    h = login_record(Held, "own")
    assert seen_msgs(s, h) == ["own"] * 2
    Marker.__get__ = lambda self, obj, owner=None: "descriptor"
    Marker.__set__ = lambda self, obj, value: None  # a data descriptor now: it comes before the instance
    assert seen_msgs(s, h) == ["descriptor"] * 2
    del Marker.__get__, Marker.__set__
    assert seen_msgs(s, h) == ["own"] * 2

    class Intercepting:
        def __get__(self, obj, owner=None):
            return "reclassed"

        def __set__(self, obj, value):
            pass

    Held.__dict__["error_msg"].__class__ = Intercepting  # the value itself becomes a data descriptor
    assert seen_msgs(s, h) == ["reclassed"] * 2


def test_attribute_hooks_of_a_class_body_are_honoured(host):
    class Hooked:
        def __getattribute__(self, name):
            return "hooked" if name == "error_msg" else object.__getattribute__(self, name)

    class Fallback:
        def __getattr__(self, name):
            return "fallback"

    class Plain:
        pass

    s = make_strategy()
    assert seen_msgs(s, login_record(Hooked, "plain")) == ["hooked"] * 2
    r = login_record(Fallback, "plain")
    assert seen_msgs(s, r) == ["plain"] * 2
    del r.error_msg
    assert seen_msgs(s, r) == ["fallback"] * 2
    p = login_record(Plain, "plain")
    assert seen_msgs(s, p) == ["plain"] * 2
    Plain.__getattribute__ = lambda self, name: "added later" if name == "error_msg" else \
        object.__getattribute__(self, name)
    assert seen_msgs(s, p) == ["added later"] * 2


def test_interleaved_record_types_sharing_names(host):
    """More record types than a name keeps room for, each read in turn."""
    def slotted():
        class Slotted:
            __slots__ = ("fund_account_id", "error_code", "client_seq_id", "error_msg")
        return Slotted

    def plain():
        class Plain:
            pass
        return Plain

    def with_property():
        class Viewed:
            __slots__ = ("fund_account_id", "error_code", "client_seq_id", "_msg")
            error_msg = property(lambda self: self._msg, lambda self, v: setattr(self, "_msg", v))
        return Viewed

    kinds = [slotted, plain, with_property, lambda: types.SimpleNamespace] * 4
    records = [login_record(make(), f"type {i}") for i, make in enumerate(kinds)]
    s = make_strategy()
    for _ in range(3):
        assert [seen_msgs(s, r, 1)[0] for r in records] == [f"type {i}" for i in range(len(records))]
    del records[5].error_msg
    assert_missing(s, records[5], "error_msg")
    assert [seen_msgs(s, r, 1)[0] for r in records[6:]] == [f"type {i}" for i in range(6, len(records))]


def test_compiled_members_and_getsets(host):
    """Members and getsets of a compiled layout (OSError's), read for a subclass."""
    class Login(OSError):
        fund_account_id = BaseException.__dict__["args"]   # a getset
        error_code = OSError.__dict__["errno"]             # T_OBJECT members
        error_msg = OSError.__dict__["strerror"]

    s = make_strategy()
    r = Login(5, "first")
    r.client_seq_id = 1  # kept in the exception's own __dict__
    for _ in range(2):
        (event,) = login_events(s, r, 1)
        assert (event.account_id, event.code, event.msg, event.rid) == ((5, "first"), 5, "first", 1)
    r.strerror = "second"
    r.args = ("a",)
    r.__dict__["client_seq_id"] = 2
    (event,) = login_events(s, r, 1)
    assert (event.account_id, event.code, event.msg, event.rid) == (("a",), 5, "second", 2)
    del Login.error_msg
    assert_missing(s, r, "error_msg")


def bar_record(end):
    from pyvorn.records import Bar
    return Bar(security_id="000001", market_type=MarketType.SZSE, end_time=end, open=1.0, close=1.0, high=1.0,
               low=1.0, amount=1.0, volume=1, prev_close=1.0)


def test_strategy_counters_are_written_as_the_interpreter_writes_them(host):
    host.set_universe(["600000.XSHG", "000001.XSHE", "000002.XSHE"])
    s = make_strategy()
    s.on_bar(bar_record(20240102093100000))
    assert (s.bar_cnt, s.current_trade_dt) == (1, 20240102093100.0)
    vars(s)  # the strategy's attributes now live in a real dict
    s.on_bar(bar_record(20240102093100000))
    assert (s.bar_cnt, vars(s)["bar_cnt"]) == (2, 2)

    writes = []

    class Watched(tl.VornStrategy):
        def __setattr__(self, name, value):
            writes.append(name)
            super().__setattr__(name, value)

    w = Watched(types.SimpleNamespace(base=types.SimpleNamespace(accounts={}, trading_calendar=set())))
    writes.clear()
    w.on_bar(bar_record(20240102093100000))
    assert writes == ["bar_cnt", "current_trade_dt"]

    class Counted(tl.VornStrategy):
        pass

    c = Counted(types.SimpleNamespace(base=types.SimpleNamespace(accounts={}, trading_calendar=set())))
    c.on_bar(bar_record(20240102093100000))
    stored = []
    Counted.bar_cnt = property(lambda self: 7, lambda self, value: stored.append(value))
    c.on_bar(bar_record(20240102093100000))
    assert stored == [8]
    del Counted.bar_cnt
    assert c.bar_cnt == 1  # the instance value was never touched while the property stood
    del c.bar_cnt
    with pytest.raises(AttributeError, match="bar_cnt"):
        c.on_bar(bar_record(20240102093100000))


# Each scenario's objects run code in the middle of a read or a write (a
# getter changing its own class, a finalizer of the replaced value reading
# the attribute again); a fault there is a crash, so it runs in a process of
# its own.
FAST_PATH_CRASHES = r'''
import types, numpy as np
import corvix.tarrow.utils.tessaline as tl
from reliability_support import install_real_host
import pytest
mp = pytest.MonkeyPatch()
env = install_real_host(mp)
env.set_universe(["600000.XSHG", "000001.XSHE", "000002.XSHE"])
s = tl.VornStrategy(types.SimpleNamespace(base=types.SimpleNamespace(accounts={}, trading_calendar=set())))

class Login:
    __slots__ = ("fund_account_id", "error_code", "client_seq_id")
def self_removing(self):
    del Login.error_msg          # frees the descriptor being called
    return "once"
r = Login(); r.fund_account_id, r.error_code, r.client_seq_id = "1", 0, 1
for _ in range(3):
    Login.error_msg = property(self_removing)
    s.on_login(r)
    try:
        s.on_login(r)
        raise AssertionError("the property was gone")
    except AttributeError as exc:
        assert exc.name == "error_msg" and exc.obj is r

class Shifty:
    error_code = 0
def moving(self):
    self.__class__ = Shifty      # changes the record's layout in the middle of the reads
    return "moved"
class Plain:
    error_code = property(moving)
p = Plain(); p.fund_account_id, p.client_seq_id, p.error_msg = "1", 1, "m"
for _ in range(3):
    p.__class__ = Plain
    s.on_login(p)

from pyvorn.records import Bar
from pyvorn.enums import MarketType
seen = []
class Old(float):
    def __del__(self):
        seen.append(s.current_trade_dt)   # the new value must already be in place
bar = Bar(security_id="000001", market_type=MarketType.SZSE, end_time=20240102093100000)
for k in range(5):
    s.current_trade_dt = 20240102093000.0
    s.on_bar(bar)
    s.current_trade_dt = Old(1.0 + k)
    s.on_bar(bar)
assert seen == [20240102093100.0] * 5, seen
print("ok")
'''


def test_code_run_inside_fast_paths_does_not_crash():
    import subprocess
    import sys
    here = os.path.dirname(os.path.abspath(__file__))
    result = subprocess.run([sys.executable, "-c", FAST_PATH_CRASHES], capture_output=True, text=True,
                            cwd=here, env={**os.environ, "PYTHONPATH": here}, timeout=120)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.strip().endswith("ok")


# ------------------------------------------------------------------ time stamps

class Seconds(Exception):
    pass


def _stop_with(seconds):
    raise Seconds(seconds)


big = st.one_of(st.integers(2**53 - 3000, 2**53 + 3000), st.integers(2**53, 2**63 - 1), st.integers(1, 2**53),
                st.sampled_from([0, 1, 999, 1000, 1001, 2**53 + 1, 2**54 - 1, 2**63 - 1, 20240102093000500]))
stamps = st.one_of(big, big.map(lambda n: -n), st.integers(-2**70, 2**70))


@settings(HOSTILE, max_examples=400)
@given(stamps)
def test_stamps_divide_exactly_as_true_division(host, monkeypatch, stamp):
    """A record's millisecond stamp becomes the nearest float to stamp / 1000."""
    monkeypatch.setattr(tl, "convert_int_to_datetime", _stop_with)
    with pytest.raises(Seconds) as caught:
        make_strategy().on_tick_order(types.SimpleNamespace(order_time=stamp))
    (got,) = caught.value.args
    expected = stamp / 1000
    assert type(got) is float
    assert got == expected and math.copysign(1.0, got) == math.copysign(1.0, expected), (stamp, got, expected)


@pytest.mark.parametrize("account", ["plain", "", "é", "账户", "😀x", "a" * 1000 + "\U0010ffff"])
def test_log_texts_join_pieces_of_every_width(host, account):
    s = make_strategy()
    record = types.SimpleNamespace(fund_account_id=account, error_code="é\u4e2d" if account else 0,
                                   client_seq_id=1, error_msg="")
    s.on_login(record)
    assert list(tl.system_log.last)[-1] == f"on_login fund_account_id:{account}, error_code:{record.error_code}"
