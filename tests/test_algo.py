"""Algo gateway responses and the parent/child order and trade updates."""
import types

import pytest
import pyvorn.enums
from pyvorn.enums import AlgoControlType, MarketType, Side
from pyvorn.records import ParentOrder

from corvix.tarrow.core.events import EVENT


class Record:
    """A record that logs every attribute read; a missing field raises AttributeError."""

    def __init__(self, **fields):
        self.__dict__.update(_fields=fields, reads=[])

    def __getattr__(self, name):
        self.reads.append(name)
        try:
            return self._fields[name]
        except KeyError:
            raise AttributeError(name) from None


def values(*names):
    return {name: object() for name in names}


@pytest.mark.parametrize("method, member, mapping", [
    ("on_algo_login", EVENT.ALGO_LOGIN, [("req_id", "client_seq_id"), ("algo_account", "trader_id"),
                                         ("code", "error_code"), ("msg", "error_msg")]),
    ("on_create_algo_parent_order_res", EVENT.PARENT_ORDER_CREATE,
     [("req_id", "client_seq_id"), ("parent_order_id", "sys_quote_id"), ("code", "error_code"), ("msg", "error_msg")]),
    ("on_cancel_algo_parent_order_res", EVENT.PARENT_ORDER_CANCEL,
     [("parent_order_id", "sys_quote_id"), ("code", "error_code"), ("msg", "error_msg")]),
])
def test_response_posts_record_values_unconverted(strategy, events, method, member, mapping):
    fields = values(*(attr for _, attr in mapping))
    fields["error_code"] = -17  # a failure is posted like a success
    record = Record(**fields)
    assert getattr(strategy, method)(record) is None
    [event] = events
    assert event.event_type is member
    assert list(event.as_dict()) == [kw for kw, _ in mapping]
    assert all(getattr(event, kw) is fields[attr] for kw, attr in mapping)
    assert record.reads == [attr for _, attr in mapping]


ACTION = ["sys_quote_id", "error_code", "error_msg"]


@pytest.mark.parametrize("control, algo_control, member, reads", [
    # pause is decided by control_type alone; algo_control_type is then never read
    (AlgoControlType.Pause, AlgoControlType.Resume, EVENT.PARENT_ORDER_PAUSE, ["control_type"]),
    (AlgoControlType.Pause, None, EVENT.PARENT_ORDER_PAUSE, ["control_type"]),
    (AlgoControlType.Unknown, AlgoControlType.Resume, EVENT.PARENT_ORDER_RESUME, ["control_type", "algo_control_type"]),
    (AlgoControlType.Resume, AlgoControlType.Pause, None, ["control_type", "algo_control_type"]),
    (AlgoControlType.Resume, AlgoControlType.Unknown, None, ["control_type", "algo_control_type"]),
])
def test_control_response_picks_event(strategy, events, control, algo_control, member, reads):
    fields = dict(values(*ACTION), control_type=control, error_code=3)
    if algo_control is not None:
        fields["algo_control_type"] = algo_control
    record = Record(**fields)
    assert strategy.on_control_algo_parent_order_res(record) is None
    if member is None:
        assert events == [] and record.reads == reads
        return
    [event] = events
    assert event.event_type is member and record.reads == reads + ACTION
    assert event.as_dict() == {"parent_order_id": fields["sys_quote_id"], "code": 3, "msg": fields["error_msg"]}


class Equal:
    """Compares equal (by a truthy non-bool) to whatever it is given: == is used, not identity."""

    def __eq__(self, other):
        return 1


def test_control_type_imported_from_sdk_at_each_call(strategy, events, tl, monkeypatch):
    monkeypatch.setattr(tl, "AlgoControlType", types.SimpleNamespace(Pause=Equal(), Resume=Equal()), raising=False)
    record = Record(**values(*ACTION), control_type="p", algo_control_type="r")
    fake = types.SimpleNamespace(Pause="x", Resume="r")
    monkeypatch.setattr(pyvorn.enums, "AlgoControlType", fake)
    strategy.on_control_algo_parent_order_res(record)
    fake.Pause = Equal()
    strategy.on_control_algo_parent_order_res(record)
    assert [e.event_type for e in events] == [EVENT.PARENT_ORDER_RESUME, EVENT.PARENT_ORDER_PAUSE]
    monkeypatch.delattr(pyvorn.enums, "AlgoControlType")
    with pytest.raises(ImportError, match="cannot import name 'AlgoControlType' from 'pyvorn.enums'"):
        strategy.on_control_algo_parent_order_res(record)
    assert len(events) == 2


FAMILY = [
    ("on_algo_parent_order_update", "algo_parent_orders", "AlgoParentOrder", EVENT.PARENT_ORDER_UPDATE,
     "algo_parent_order"),
    ("on_algo_child_order_update", "algo_child_orders", "AlgoChildOrder", EVENT.CHILD_ORDER_UPDATE,
     "algo_child_order"),
    ("on_algo_child_order_trade", "algo_child_trades", "AlgoChildTrade", EVENT.CHILD_ORDER_TRADE,
     "algo_child_trade"),
]


class Host:
    """A converter recording (record, existing) and returning a fresh mutable object or a given result."""

    def __init__(self, result=lambda: {"n": 0}):
        self.calls, self.result = [], result

    def from_vorn(self, *args, **kwargs):
        assert not kwargs
        self.calls.append(args)
        return self.result()


@pytest.fixture(params=FAMILY, ids=[f[0] for f in FAMILY])
def member(request, tl, monkeypatch, strategy):
    method, store, cls, event, keyword = request.param
    host = Host()
    monkeypatch.setattr(tl, cls, host)
    return types.SimpleNamespace(call=getattr(strategy, method), store=getattr(tl, store), host=host,
                                 event=event, keyword=keyword)


def test_update_keeps_object_and_posts_deep_copy(member, events):
    first, second = Record(sys_quote_id=7), Record(sys_quote_id=7)
    assert member.call(first) is None
    stored = member.store[7]
    assert member.host.calls == [(first, None)] and first.reads == ["sys_quote_id"] * 2
    member.call(second)
    assert member.host.calls[1] == (second, stored) and second.reads == ["sys_quote_id"] * 3
    assert list(member.store) == [7] and member.store[7] is not stored
    member.store[7]["n"] = 99
    assert [e.event_type for e in events] == [member.event] * 2
    assert [list(e.as_dict()) for e in events] == [[member.keyword]] * 2
    posted = getattr(events[1], member.keyword)
    assert posted == {"n": 0} and posted is not member.store[7]


def test_stored_none_is_passed_on_as_none(member, events):
    member.store[5] = None
    member.host.result = lambda: None
    member.call(Record(sys_quote_id=5))
    assert member.host.calls[0][1] is None and member.store == {5: None}
    assert getattr(events[0], member.keyword) is None


def test_failures_keep_steps_already_done(member, events, tl, monkeypatch):
    member.store[1] = "old"
    member.host.result = lambda: 1 / 0
    with pytest.raises(ZeroDivisionError):
        member.call(Record(sys_quote_id=1))
    assert member.store == {1: "old"} and events == []
    member.host.result = lambda: "new"
    monkeypatch.setattr(tl, "copy", types.SimpleNamespace(deepcopy=lambda obj: {}[obj]))
    with pytest.raises(KeyError):
        member.call(Record(sys_quote_id=1))
    assert member.store == {1: "new"} and events == []
    with pytest.raises(TypeError, match="unhashable"):
        member.call(Record(sys_quote_id=[1]))


def test_lookups_follow_call_order(member, tl, monkeypatch):
    trace = []

    class Traced(types.SimpleNamespace):
        def __getattribute__(self, name):
            trace.append(name)
            return super().__getattribute__(name)

    monkeypatch.setattr(tl, "event_queue", Traced(append=lambda e: trace.append("posted")))
    monkeypatch.setattr(tl, "EVENT", Traced(**{member.event.name: member.event}))
    monkeypatch.setattr(tl, "copy", Traced(deepcopy=lambda o: trace.append("copied") or o))
    member.call(Record(sys_quote_id=2))
    assert trace == ["append", member.event.name, "deepcopy", "copied", "posted"]


class Store(dict):
    """A dict subclass: its own __contains__, get and __setitem__ must be the ones used."""

    def __init__(self, log):
        self.log = log

    def __contains__(self, key):
        self.log.append("contains")
        return True

    def get(self, key):
        self.log.append("get")
        return "kept"

    def __setitem__(self, key, value):
        self.log.append("set")
        super().__setitem__(key, value)


def test_store_operations_go_through_its_methods(member, events, tl, monkeypatch):
    log = []
    monkeypatch.setattr(tl, next(f[1] for f in FAMILY if f[4] == member.keyword), Store(log))
    member.call(Record(sys_quote_id=3))
    assert log == ["contains", "get", "set"] and member.host.calls[0][1] == "kept"


def test_parent_and_child_with_same_id_do_not_collide(tl, strategy, events, monkeypatch):
    parents, children = Host(), Host()
    monkeypatch.setattr(tl, "AlgoParentOrder", parents)
    monkeypatch.setattr(tl, "AlgoChildOrder", children)
    strategy.on_algo_parent_order_update(Record(sys_quote_id=4))
    strategy.on_algo_child_order_update(Record(sys_quote_id=4))
    assert children.calls[0][1] is None
    assert list(tl.algo_parent_orders) == list(tl.algo_child_orders) == [4]
    assert tl.algo_parent_orders[4] is not tl.algo_child_orders[4]


def test_host_converter_updates_stored_object(tl, strategy, events):
    report = ParentOrder(sys_quote_id=9, security_id="000001", market_type=MarketType.SZSE, side=Side.Buy,
                         order_qty=100)
    strategy.on_algo_parent_order_update(report)
    report.trade_qty = 40
    strategy.on_algo_parent_order_update(report)
    first, second = (e.algo_parent_order for e in events)
    assert (first.update_count, first.filled_quantity) == (1, 0)
    assert (second.update_count, second.filled_quantity) == (2, 40)
    assert tl.algo_parent_orders[9].update_count == 2


def test_control_import_goes_through_the_builtins_import_hook(tl, events, monkeypatch):
    import builtins
    real_import = builtins.__import__
    seen = []

    def hook(name, globals=None, locals=None, fromlist=(), level=0):
        seen.append((name, tuple(fromlist or ()), level))
        if name == "pyvorn.enums":
            raise ImportError("blocked")
        return real_import(name, globals, locals, fromlist, level)

    monkeypatch.setattr(builtins, "__import__", hook)
    s = tl.VornStrategy.__new__(tl.VornStrategy)
    with pytest.raises(ImportError, match="blocked"):
        tl.VornStrategy.on_control_algo_parent_order_res(s, object())
    assert seen == [("pyvorn.enums", ("AlgoControlType",), 0)] and events == []
