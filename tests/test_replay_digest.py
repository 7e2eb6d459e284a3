"""The native digests a comparison's workers send: any difference the full observation
would show changes the digest, equal outcomes give equal digests in any process, and
hostile objects never crash the walk."""
import collections
import datetime as dt
import enum
import os
import subprocess
import sys
import types

import pytest

from tessaline_tools import _digest_native
from tessaline_tools._replay_compare import MARKET_DATA, _classifier


class Side(enum.Enum):
    BUY = 1
    SELL = 2


class Plain:
    def __init__(self, **kw):
        self.__dict__.update(kw)


class Slotted:
    __slots__ = ("a", "b")

    def __init__(self, a, b=None):
        self.a = a
        if b is not None:
            self.b = b


def digester(module_dict=None, own=(), every=64):
    return _digest_native.Digester(_classifier({}), tuple(own), module_dict if module_dict is not None else {},
                                   MARKET_DATA, every)


def digest(v, **kw):
    return digester(**kw).value(v)


SHARED = [1, 2]
STAMP = dt.datetime(2025, 1, 10, 9, 30, 0, 500000)


@pytest.mark.parametrize("a,b", [
    (1, 1.0), (1, True), (0, None), ("1", 1), (b"x", "x"), ("e", "\u00e9"), ("\u00e9", "\u20ac"),
    ([1, [2, 3]], [1, [2, 4]]), ((1, 2), [1, 2]), ({"a": 1, "b": 2}, {"b": 2, "a": 1}),
    (Plain(x=1), Plain(x=2)), (Plain(x=1), Plain(y=1)), (Plain(x=1, y=2), Plain(y=2, x=1)),
    (Slotted(1, 2), Slotted(1, 3)), (Slotted(1), Slotted(1, 0)),
    (Side.BUY, Side.SELL), (Side.BUY, 1),
    ([SHARED, SHARED], [SHARED, [1, 2]]),                    # the same object twice, or two equal ones
    (STAMP, STAMP.replace(microsecond=0)), (STAMP, STAMP.date()), (dt.timedelta(1), dt.timedelta(0, 1)),
    (collections.deque([1], maxlen=3), collections.deque([1])),
    ([0.0] * 3, [0.0] * 4),
])
def test_a_difference_changes_the_digest(a, b):
    da, db = digest(a), digest(b)
    assert da is not None and db is not None
    assert da != db


@pytest.mark.parametrize("make", [
    lambda: [1, "text", "\u00e9t\u00e9", 2.5, float("nan"), None, True, b"\x00"],
    lambda: {"k": Plain(side=Side.SELL, at=STAMP, levels=[1.0, 2.0]), "s": Slotted("x", [3])},
    lambda: (collections.deque([{"p": 1}], maxlen=60), dt.date(2025, 1, 1), dt.time(9, 30)),
])
def test_equal_values_built_apart_give_equal_digests(make):
    assert digest(make()) == digest(make()) is not None


CROSS_PROCESS = r"""
import datetime as dt, enum, sys
from tessaline_tools import _digest_native
from tessaline_tools._replay_compare import MARKET_DATA, _classifier
class Side(enum.Enum):
    BUY = 1
class Plain:
    def __init__(self, **kw):
        self.__dict__.update(kw)
d = _digest_native.Digester(_classifier({}), (), {}, MARKET_DATA, 64)
v = {"code": "000001.XSHE", "side": Side.BUY, "o": Plain(price=1.5, note="\u00e9"), "at": dt.datetime(2025, 1, 2)}
sys.stdout.write(d.value(v).hex() + _digest_native.digest_bytes(b"abc").hex())
"""


def test_digests_are_the_same_in_every_process_whatever_its_hash_seed():
    seen = set()
    for seed in ("1", "2", "random"):
        env = dict(os.environ, PYTHONHASHSEED=seed)
        seen.add(subprocess.run([sys.executable, "-c", CROSS_PROCESS], env=env, capture_output=True, text=True,
                                check=True).stdout)
    assert len(seen) == 1


def test_a_history_entry_handed_out_is_told_from_a_copy():
    entry = {"market_code": "A", "last": 1.0}
    stores = {"history_tick": {"A": collections.deque([{"market_code": "A"}, entry], maxlen=60)}}
    digests = []
    for d, handed in ((digester(module_dict=stores), entry), (digester(module_dict=stores), dict(entry)),
                      (digester(), dict(entry))):
        assert d.market(FakeCall("on_snapshot", 0), [handed], None, [], []) is True
        digests.append(d.take())
    assert digests[0] != digests[1] == digests[2]


class Raising:
    """Every hook a walk might be tempted to call raises."""

    def __getattr__(self, name):
        raise RuntimeError("getattr")

    def __eq__(self, other):
        raise RuntimeError("eq")

    __hash__ = object.__hash__

    def __repr__(self):
        raise RuntimeError("repr")


class Guarded:
    def __getattribute__(self, name):
        raise RuntimeError("getattribute")


class Meta(type):
    def __getattribute__(cls, name):
        raise RuntimeError("class getattribute")


def cyclic_list():
    v = [1]
    v.append(v)
    return v


def cyclic_object():
    o = Plain()
    o.me = o
    o.more = [o, {"o": o}]
    return o


def deep(n):
    v = []
    for _ in range(n):
        v = [v]
    return v


def raising_with_attrs():
    r = Raising()
    r.__dict__["x"] = Raising()
    return r


@pytest.mark.parametrize("make", [
    cyclic_list, cyclic_object, lambda: deep(100_000), lambda: {"a": deep(50)},
    raising_with_attrs, lambda: [Raising(), {Raising(): 1}], Guarded, lambda: Meta("Odd", (), {})(),
    lambda: [types.SimpleNamespace(a=1)], lambda: 2 ** 100, lambda: list(range(2_000_000)),
    lambda: dt.datetime(2025, 1, 1, tzinfo=dt.timezone.utc),
])
def test_hostile_values_give_a_digest_or_the_slow_path_never_a_crash(make):
    v = make()
    first = digest(v)
    assert first is None or len(first) == 8
    assert digest(v) == first                     # and the same answer again


@pytest.mark.parametrize("make", [cyclic_list, cyclic_object, lambda: deep(100_000)])
def test_cycles_and_depth_are_read_within_bounds(make):
    assert digest(make()) is not None


class FakeCall:
    __slots__ = ("name", "position", "args")

    def __init__(self, name, position, args=()):
        self.name, self.position, self.args = name, position, args


def test_the_hot_path_takes_market_data_and_says_when_the_state_is_due():
    d = digester(every=4)
    record = (1.0, [1, 2])
    seen = [d.market(FakeCall("on_snapshot", i, (record,)), [Plain(x=i)], None, [], []) for i in range(8)]
    assert seen == [True, True, True, 3, True, True, True, 7]
    assert d.market(FakeCall("on_order", 8), [], None, [], []) is False          # the slow path's
    assert d.market(FakeCall("on_snapshot", 9), [], ValueError("x"), [], []) is False
    d.add(9, b"slow")
    assert (d.pending, d.first, d.last) == (9, 0, 9)
    taken = d.take()
    assert len(taken) == 72 and taken[64:] == _digest_native.digest_bytes(b"slow")
    assert (d.pending, d.take()) == (0, b"")


def test_an_argument_handed_on_is_told_from_a_copy():
    levels = [1.0, 2.0]
    record = (5, levels)
    a, b = digester(), digester()
    a.market(FakeCall("on_bar", 0, (record,)), [Plain(levels=levels)], None, [], [])
    b.market(FakeCall("on_bar", 0, (record,)), [Plain(levels=list(levels))], None, [], [])
    assert a.take() != b.take()


HOME = collections.deque()


class Mutating(type):
    """Reading the class (which the walk does once per class) empties HOME."""

    def __getattribute__(cls, name):
        HOME.clear()
        return super().__getattribute__(name)


def test_a_deque_changed_while_it_is_read_goes_to_the_slow_path():
    HOME.extend([Mutating("Late", (), {})(), 1, 2])
    d = digester()
    assert d.value(HOME) is None
    assert d.market(FakeCall("on_snapshot", 0, ()), [1], None, [], []) is True      # the walk carries on


def nested(levels, leaf):
    v = leaf
    for _ in range(levels):
        v = [v]
    return v


def test_the_digest_reads_as_deep_below_an_event_as_the_full_observation():
    # the full observation reads ten levels of lists below an event's attribute
    seen = []
    for leaf in (1, 2):
        d = digester()
        assert d.market(FakeCall("on_snapshot", 0), [Plain(v=nested(10, leaf))], None, [], []) is True
        seen.append(d.take())
    assert seen[0] != seen[1]


class SlotBase:
    __slots__ = ("x",)


class ShadowedSlot(SlotBase):
    """Its x is the property's, not the slot's: only getattr reads it right."""
    __slots__ = ()
    x = property(lambda self: 42)


class OwnDict:
    __dict__ = property(lambda self: {"fake": 1})


class IntLike(int):
    pass


@pytest.mark.parametrize("make", [
    ShadowedSlot, Guarded, OwnDict, lambda: IntLike(3), lambda: {1, 2}, lambda: print,
    lambda: Plain(),                                     # no attributes: told by its repr
])
def test_what_only_the_full_observation_reads_right_goes_to_the_slow_path(make):
    assert digest([make()]) is None


def test_orders_handed_on_by_a_report_are_told_from_copies():
    order = Plain(order_id=7, status=Side.BUY)
    orders = {7: order}
    seen = []
    for handed, sources in ((order, (orders,)), (Plain(order_id=7, status=Side.BUY), (orders,)),
                            (order, ({},))):
        d = digester()
        assert d.outcome(0, [Plain(order=handed)], None, [], [], (), sources) is True
        seen.append(d.take())
    assert seen[0] != seen[1] == seen[2]
    d = digester()
    d.outcome(0, [], ("ValueError", "boom"), [], [], (), ())
    e = digester()
    e.outcome(0, [], ("ValueError", "bang"), [], [], (), ())
    assert d.take() != e.take()


class FakeReplay:
    strategy = None


def test_as_the_replays_sink_it_takes_market_data_and_hands_on_the_rest():
    handed = []

    def fallback(replay, call, events, error, logs, ctx, answer):
        handed.append((call.position, answer))

    replay = FakeReplay()
    d = _digest_native.Digester(_classifier({}), (), {}, MARKET_DATA, 3, fallback)
    d(replay, FakeCall("on_snapshot", 0, ((1.0,),)), [1], None, [], [])     # a replay it does not know yet
    d.__init__(_classifier({}), (), {}, MARKET_DATA, 3, fallback, replay, None)
    for i in range(1, 4):
        d(replay, FakeCall("on_snapshot", i, ((1.0,),)), [i], None, [], [])
    d(replay, FakeCall("on_order", 4), [], None, [], [])
    d(replay, FakeCall("on_bar", 5, ((1.0,),)), [], ValueError("raised"), [], [])
    replay.strategy = object()                            # a new strategy: handed on until it is followed
    d(replay, FakeCall("on_bar", 6, ((1.0,),)), [], None, [], [])
    assert handed == [(0, None), (2, 2), (4, False), (5, False), (6, None)]
    assert d.pending == 3


def test_the_full_observation_of_hostile_objects_names_them_without_raising():
    from tessaline_tools._replay_compare import Normalizer
    ns = types.SimpleNamespace
    replay = ns(module=ns(), strategy=None, config=None, context=None,
                env=ns(accounts={}, data_proxy=ns(known={})))
    call = ns(position=0, name="on_timer", args=(), kwargs={})
    events = [Plain(a=Guarded(), b=Meta("Odd", (), {})(), c=raising_with_attrs(), d=cyclic_object(), e=1)]
    obs = Normalizer(replay).observe(call, events, None, [], [])
    fields = dict(obs["events"][0][2])
    assert fields["e"] == 1 and fields["a"][0] == "unreadable"
