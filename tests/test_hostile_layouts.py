"""Attacks on the attribute fast paths of the record layouts Python code makes:
a materialised instance `__dict__` (read at a remembered position in the
dict's entries), `types.SimpleNamespace` (a dict at the type's dict offset)
and namedtuple fields (the tuple item behind the field's descriptor), and on
the writes into such dicts.

Every attack changes a record, its dict or its class, then compares what the
module reads with what the interpreter gives for the same statements, over
several calls (the first resolves, the next ones take the fast path). Attacks
that run code in the middle of a lookup or a store, where a fault would be a
crash, run in an interpreter of their own.
"""
import collections
import gc
import os
import subprocess
import sys
import types

import numpy as np
import pytest

import corvix.tarrow.utils.tessaline as tl
from corvix.tarrow.environment import Environment
from reliability_support import install_real_host
from pyvorn.enums import MarketType
from pyvorn.records import Bar

FIELDS = ("fund_account_id", "error_code", "client_seq_id", "error_msg")
VALUES = ("1001", 0, 7, "message")


@pytest.fixture
def host(monkeypatch):
    yield install_real_host(monkeypatch)
    Environment.reset()


def make_strategy():
    return tl.VornStrategy(types.SimpleNamespace(base=types.SimpleNamespace(
        accounts={"stock": "acc"}, trading_calendar={np.datetime64("today", "D")})))


def interpreted(record):
    """The reads of on_login, in its order, as interpreted code makes them."""
    try:
        record.fund_account_id, record.error_code
        return ("ok", record.client_seq_id, record.fund_account_id, record.error_code, record.error_msg)
    except Exception as exc:  # noqa: BLE001 - compared
        return ("raised", type(exc), str(exc))


def native(strategy, record):
    tl.event_queue.items.clear()
    try:
        strategy.on_login(record)
    except Exception as exc:  # noqa: BLE001 - compared
        return ("raised", type(exc), str(exc))
    (event,) = tl.event_queue.items
    return ("ok", event.rid, event.account_id, event.code, event.msg)


def agree(strategy, record, calls=3):
    """Every call reads what the interpreter reads; returns that answer."""
    want = interpreted(record)
    for _ in range(calls):
        assert native(strategy, record) == want
    return want


# ------------------------------------------------------------------ the layouts

def dict_class():
    class Login:  # the generic record class: every field into __dict__ at once
        def __init__(self, **fields):
            self.__dict__.update(fields)
    return Login


def crowded_class():
    class Crowded:  # more names than the class's shared keys hold: a combined dict
        def __init__(self, **fields):
            for i in range(40):
                setattr(self, f"extra{i}", i)
            for k, v in fields.items():
                setattr(self, k, v)
    return Crowded


def fields(**changes):
    values = dict(zip(FIELDS, VALUES))
    values.update(changes)
    return values


def make(layout, **changes):
    if layout == "dict":
        return dict_class()(**fields(**changes))
    if layout == "crowded":
        return crowded_class()(**fields(**changes))
    if layout == "vars":  # inline values, then __dict__ read: a split dict sharing the class's keys
        r = dict_class()()
        for k, v in fields(**changes).items():
            setattr(r, k, v)
        vars(r)
        return r
    if layout == "namespace":
        return types.SimpleNamespace(**fields(**changes))
    raise ValueError(layout)


DICT_LAYOUTS = ["dict", "crowded", "vars", "namespace"]


def replace_dict(r, d):
    """r.__dict__ = d; a namespace's __dict__ cannot be assigned, only refilled."""
    if isinstance(r, types.SimpleNamespace):
        vars(r).clear()
        vars(r).update(d)
    else:
        r.__dict__ = d


def reorder(d):
    items = list(d.items())
    d.clear()
    d.update(reversed(items))


@pytest.mark.parametrize("layout", DICT_LAYOUTS)
@pytest.mark.parametrize("change", [
    lambda r: delattr(r, "error_msg"),
    lambda r: (delattr(r, "error_msg"), setattr(r, "error_msg", "re-added at the end")),
    lambda r: reorder(vars(r)),
    lambda r: vars(r).update({f"more{i}": i for i in range(50)}),  # the table grows: every position moves
    lambda r: vars(r).pop("fund_account_id") and setattr(r, "fund_account_id", "last"),
    lambda r: vars(r).clear(),
    lambda r: replace_dict(r, dict(reversed(list(vars(r).items())))),
    lambda r: replace_dict(r, {"error_msg": "only this"}),
    lambda r: replace_dict(r, {}),
], ids=["deleted", "re-added", "reordered", "grown", "moved", "cleared", "replaced reordered", "replaced partial",
        "replaced empty"])
def test_dict_keys_changed_between_calls(host, layout, change):
    s = make_strategy()
    others = [make(layout, error_msg=f"other {i}") for i in range(3)]
    r = make(layout)
    for o in others + [r]:
        agree(s, o)
    change(r)
    agree(s, r)
    for o in others:  # the unchanged records still read right around the changed one
        agree(s, o)
        agree(s, r, 1)


@pytest.mark.parametrize("layout", ["dict", "crowded", "vars"])
def test_non_str_keys_and_dict_subclasses(host, layout):
    s = make_strategy()
    r = make(layout)
    agree(s, r)
    vars(r)[1] = "an int key"  # the table takes any key now
    agree(s, r)
    del vars(r)[1]
    agree(s, r)

    class Odd(dict):
        def __getitem__(self, key):  # never used by attribute lookup
            return "from __getitem__"

    r.__dict__ = Odd(fields(error_msg="in a subclass"))
    assert agree(s, r)[-1] == "in a subclass"
    r.__dict__ = dict(fields(error_msg="plain again"))
    assert agree(s, r)[-1] == "plain again"


def test_equal_keys_run_their_comparison_as_the_interpreter_does(host):
    """A non-str key with the name's hash: every lookup of the name compares
    with it, the module's as often as the interpreter's."""
    compared = []

    class Collider:
        def __hash__(self):
            return hash("error_msg")

        def __eq__(self, other):
            compared.append(other)
            return False

    s = make_strategy()
    for layout in DICT_LAYOUTS:
        r = make(layout)
        agree(s, r)
        vars(r).clear()
        vars(r)[Collider()] = "collider"
        vars(r).update(fields())
        compared.clear()
        r.error_msg
        per_read = len(compared)
        compared.clear()
        agree(s, r, 3)
        assert len(compared) == 4 * per_read  # one interpreted read and three calls


@pytest.mark.parametrize("layout", ["dict", "crowded", "vars"])
def test_hooks_added_to_the_class_later(host, layout):
    s = make_strategy()
    r = make(layout)
    cls = type(r)
    agree(s, r)
    cls.__getattribute__ = lambda self, name: "intercepted" if name == "error_msg" else \
        object.__getattribute__(self, name)
    assert agree(s, r)[-1] == "intercepted"
    del cls.__getattribute__
    agree(s, r)
    del r.error_msg
    cls.__getattr__ = lambda self, name: f"missing {name}"
    assert agree(s, r)[-1] == "missing error_msg"
    del cls.__getattr__
    agree(s, r)
    cls.error_msg = property(lambda self: "a property comes first")
    assert agree(s, r)[-1] == "a property comes first"
    del cls.error_msg
    cls.error_msg = "a class default"
    r.error_msg = "own"
    assert agree(s, r)[-1] == "own"
    del r.error_msg
    assert agree(s, r)[-1] == "a class default"


@pytest.mark.parametrize("layout", ["dict", "crowded", "vars"])
def test_class_reassigned_between_and_during_calls(host, layout):
    s = make_strategy()
    r = make(layout)
    agree(s, r)

    class Viewed:
        error_msg = property(lambda self: "through the other class")

    r.__class__ = Viewed
    assert agree(s, r)[-1] == "through the other class"

    class Plain:
        pass

    r.__class__ = Plain
    assert agree(s, r)[-1] == "message"

    class Switching:
        @property
        def fund_account_id(self):
            self.__class__ = Viewed  # the record's layout changes in the middle of the reads
            return self.__dict__["fund_account_id"]

    for _ in range(3):
        r.__class__ = Switching
        want = interpreted(r)
        r.__class__ = Switching
        assert native(s, r) == want


@pytest.mark.parametrize("layout", ["dict", "crowded", "namespace"])
def test_values_are_the_current_ones(host, layout):
    s = make_strategy()
    records = [make(layout, error_msg=f"record {i}", client_seq_id=i) for i in range(5)]
    for _ in range(2):
        for r in records:
            agree(s, r, 1)
    for i, r in enumerate(records):
        r.error_msg = f"changed {i}"
        vars(r)["client_seq_id"] = -i
    for r in records:
        assert agree(s, r, 1)[1:] == (-records.index(r), "1001", 0, f"changed {records.index(r)}")


# ------------------------------------------------------------------ namedtuple

Login = collections.namedtuple("Login", FIELDS)


def test_namedtuple_fields_and_their_changes(host):
    s = make_strategy()
    r = Login(*VALUES)
    assert agree(s, r) == ("ok", 7, "1001", 0, "message")
    assert agree(s, Login("2", 1, 2, "two")) == ("ok", 2, "2", 1, "two")

    class Viewed(Login):
        __slots__ = ()
        error_msg = property(lambda self: f"property over {self[3]}")

    assert agree(s, Viewed(*VALUES))[-1] == "property over message"

    class WithDict(Login):  # an instance __dict__ cannot hide a field: the descriptor is a data descriptor
        pass

    w = WithDict(*VALUES)
    w.__dict__["error_msg"] = "hidden"
    assert agree(s, w)[-1] == "message"

    short = tuple.__new__(Login, ("1001", 0))  # too few items: the field's own IndexError
    assert agree(s, short)[0] == "raised"

    class Swapped(collections.namedtuple("Swapped", tuple(reversed(FIELDS)))):
        __slots__ = ()

    class Same(Login):
        __slots__ = ()

    m = Same(*VALUES)
    agree(s, m)
    m.__class__ = Swapped  # the same tuple read through other fields
    assert agree(s, m) == interpreted(m)
    Swapped.error_msg = "a plain class attribute"
    assert agree(s, m)[-1] == "a plain class attribute"
    del Swapped.error_msg  # the base's field again
    assert agree(s, m)[-1] == "1001"

    class Hooked(Login):
        __slots__ = ()

    h = Hooked(*VALUES)
    agree(s, h)
    Hooked.__getattribute__ = lambda self, name: "hooked" if name == "error_msg" else \
        tuple.__getattribute__(self, name)
    assert agree(s, h)[-1] == "hooked"


def test_the_older_namedtuple_form_over_itemgetter(host):
    import operator

    class ItemGetter(tuple):  # a property over operator.itemgetter per field
        __slots__ = ()
        fund_account_id = property(operator.itemgetter(0))
        error_code = property(operator.itemgetter(1))
        client_seq_id = property(operator.itemgetter(2))
        error_msg = property(operator.itemgetter(3))

    s = make_strategy()
    assert agree(s, ItemGetter(VALUES)) == ("ok", 7, "1001", 0, "message")
    assert agree(s, tuple.__new__(ItemGetter, VALUES[:3]))[0] == "raised"


# ------------------------------------------------------------------ writes

def bar_record(end=20240102093100000):
    return Bar(security_id="000001", market_type=MarketType.SZSE, end_time=end, open=1.0, close=1.0, high=1.0,
               low=1.0, amount=1.0, volume=1, prev_close=1.0)


def run_bars(s, n=2):
    for _ in range(n):
        s.on_bar(bar_record())
    return s.bar_cnt, s.current_trade_dt


@pytest.mark.parametrize("change", [
    lambda s: vars(s),
    lambda s: setattr(s, "__dict__", dict(reversed(list(vars(s).items())))),
    lambda s: vars(s).__setitem__(1, "an int key"),
    lambda s: setattr(s, "__dict__", type("Sub", (dict,), {})(vars(s))),
    lambda s: vars(s).update({f"more{i}": i for i in range(50)}),
], ids=["materialised", "replaced", "non-str key", "dict subclass", "grown"])
def test_counters_are_written_into_the_dict_the_instance_has(host, change):
    host.set_universe(["600000.XSHG", "000001.XSHE", "000002.XSHE", "000004.XSHE", "000005.XSHE"])
    s = make_strategy()
    assert run_bars(s, 1) == (1, 20240102093100.0)
    change(s)
    assert run_bars(s) == (3, 20240102093100.0)
    assert (vars(s)["bar_cnt"], vars(s)["current_trade_dt"]) == (3, 20240102093100.0)
    del s.bar_cnt
    with pytest.raises(AttributeError, match="bar_cnt"):
        s.on_bar(bar_record())


# ------------------------------------------------------------------ host orders

class HostMethods:
    def set_frozen_cash(self, value):
        self.frozen_cash = value

    def mark_rejected(self, reason):
        self.rejected = reason


ORDER_FIELDS = dict(order_id=4242, market_code="000001.XSHE", position_effect="OPEN", price=10.5,
                    filled_quantity=0, unfilled_quantity=100, avg_price=0.0, secondary_order_id=None)


def host_order(layout, status, side):
    fields = dict(ORDER_FIELDS, status=status, side=side)
    if layout == "namespace":
        return types.SimpleNamespace(**fields, set_frozen_cash=lambda v: None, mark_rejected=lambda r: None)
    if layout == "slots":
        cls = type("SlotsOrder", (HostMethods,), {"__slots__": tuple(fields) + ("frozen_cash", "rejected")})
        o = cls()
        for k, v in fields.items():
            setattr(o, k, v)
        return o
    o = type("Order", (HostMethods,), {})()
    if layout == "dict":
        o.__dict__.update(fields)
    else:
        for k, v in fields.items():
            setattr(o, k, v)
        if layout == "crowded":
            vars(o).update({f"extra{i}": i for i in range(40)})
    return o


def order_report(record_layout, status, fill, traded):
    fields = dict(client_order_id=4242, security_id="000001", order_price=10.5, order_qty=100, order_status=status,
                  counter_order_id=77, frozen_trade_value=1050.0, last_match_qty=fill,
                  last_match_price=10.5 if fill else 0.0, trade_qty=traded, total_trade_value=10.5 * traded,
                  error_code=0, error_msg="")
    if record_layout == "namedtuple":
        return collections.namedtuple("Report", fields)(**fields)
    if record_layout == "namespace":
        return types.SimpleNamespace(**fields)
    return dict_class()(**fields)


def order_state(o):
    return {k: getattr(o, k) for k in list(ORDER_FIELDS) + ["status"]}


@pytest.mark.parametrize("order_layout", ["plain", "slots", "dict", "crowded", "namespace"])
@pytest.mark.parametrize("record_layout", ["dict", "namespace", "namedtuple"])
def test_host_orders_of_every_layout_follow_the_reports(host, monkeypatch, order_layout, record_layout):
    from corvix.tarrow.const import ORDER_STATUS, SIDE
    from pyvorn.enums import OrderStatusType as S
    env = types.SimpleNamespace(get_account=lambda code: "account")
    monkeypatch.setattr(tl, "Environment", types.SimpleNamespace(get_instance=lambda: env))
    s = make_strategy()
    for rounds in range(3):
        order = host_order(order_layout, ORDER_STATUS.PENDING_NEW, SIDE.BUY)
        tl.orders_dict[4242] = order
        s.on_order(order_report(record_layout, S.Sended, 0, 0))
        assert (order.status, order.secondary_order_id) == (ORDER_STATUS.ACTIVE, 77)
        if rounds == 1 and order_layout != "slots":  # the order's dict changes shape between reports
            if order_layout == "namespace":
                reorder(vars(order))
            else:
                order.__dict__ = dict(reversed(list(vars(order).items())))
            vars(order)[1] = "a key of another type"
        if rounds == 2 and order_layout != "slots":
            vars(order).update({f"more{i}": i for i in range(60)})
        s.on_order(order_report(record_layout, S.PartiallyFilled, 40, 40))
        s.on_order(order_report(record_layout, S.Filled, 60, 100))
        assert order_state(order) == dict(ORDER_FIELDS, status=ORDER_STATUS.FILLED, secondary_order_id=77,
                                          avg_price=10.5, filled_quantity=100, unfilled_quantity=0)
    tl.orders_dict.clear()


# Code run in the middle of a lookup or a store: a finalizer of the replaced
# value, a collection started by a key's comparison, a __dict__ swapped
# while the store into it is under way. A fault there is a crash, so it runs
# in a process of its own.
INSIDE = r'''
import collections, gc, types, numpy as np
import pytest
import corvix.tarrow.utils.tessaline as tl
from reliability_support import install_real_host
from pyvorn.records import Bar
from pyvorn.enums import MarketType
mp = pytest.MonkeyPatch()
env = install_real_host(mp)
env.set_universe(["600000.XSHG", "000001.XSHE", "000002.XSHE"])
s = tl.VornStrategy(types.SimpleNamespace(base=types.SimpleNamespace(accounts={}, trading_calendar=set())))
bar = Bar(security_id="000001", market_type=MarketType.SZSE, end_time=20240102093100000)
vars(s)
seen = []
class Old(float):
    def __del__(self):
        seen.append(s.current_trade_dt)             # the new value is already in place
        s.__dict__ = dict(s.__dict__, swapped=1)    # and the dict it went into is dropped
for k in range(5):
    s.current_trade_dt = 20240102093000.0
    s.on_bar(bar)
    s.current_trade_dt = Old(1.0 + k)
    s.on_bar(bar)
    gc.collect()
assert seen == [20240102093100.0] * 5, seen
assert s.current_trade_dt == 20240102093100.0 and s.swapped == 1

class Login:
    def __init__(self, **f):
        self.__dict__.update(f)
class Collector:
    def __hash__(self):
        return hash("error_msg")
    def __eq__(self, other):
        gc.collect()
        target.__dict__ = {"fund_account_id": "2", "error_code": 1, "client_seq_id": 2, "error_msg": "swapped"}
        return False
answers = []
for k in range(4):
    target = Login(fund_account_id="1", error_code=0, client_seq_id=1, error_msg="own")
    tl.event_queue.items.clear()
    s.on_login(target)
    vars(target).clear()
    vars(target)[Collector()] = 0
    vars(target).update(fund_account_id="1", error_code=0, client_seq_id=1, error_msg="own")
    tl.event_queue.items.clear()
    s.on_login(target)
    answers.append(tl.event_queue.items[-1].msg)
    target = Login(fund_account_id="1", error_code=0, client_seq_id=1, error_msg="own")
    vars(target)[Collector()] = 0
    expected = target.error_msg
assert answers == [expected] * 4, (answers, expected)

class Gone:
    def __del__(self):
        ns.__dict__.clear()
ns = types.SimpleNamespace(fund_account_id="1", error_code=0, client_seq_id=1, error_msg=Gone())
for k in range(3):
    s.on_login(ns)
    tl.event_queue.items.clear()
    ns.error_msg = "replaced"          # the old value's finalizer empties the namespace
    try:
        s.on_login(ns)
        raise AssertionError("the namespace was emptied")
    except AttributeError as exc:
        assert exc.name == "fund_account_id"
    ns.__dict__.update(fund_account_id="1", error_code=0, client_seq_id=1, error_msg=Gone())
print("ok")
'''


def test_code_run_inside_dict_lookups_and_stores_does_not_crash():
    here = os.path.dirname(os.path.abspath(__file__))
    result = subprocess.run([sys.executable, "-c", INSIDE], capture_output=True, text=True, cwd=here,
                            env={**os.environ, "PYTHONPATH": here}, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.strip().endswith("ok")
