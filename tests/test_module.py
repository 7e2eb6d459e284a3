"""The import contract: globals and their order, the class and function shapes,
argument binding, and a second, independent instance of the module."""
import collections
import datetime as dt_module
import importlib
import importlib.util
import inspect
import sys
import types

import numpy
import pytest

import pyvorn.enums
import pyvorn.strategy

HEAD = [
    "Environment", "EVENT", "Event", "TickObject", "Trade", "L2Order", "L2Transaction",
    "convert_int_to_whole_date", "convert_int_to_datetime",
    "get_exchane_from_vorn_mdtype", "get_vorn_tdtype", "get_side_from_vorn_l2_order",
    "get_order_type_from_vorn_l2_order", "get_trade_type_from_vorn", "get_l2order_type_from_vorn",
    "system_log", "user_system_log", "AlgoParentOrder", "AlgoChildOrder", "AlgoChildTrade",
    "ORDER_STATUS", "POSITION_DIRECTION", "SIDE", "Asset", "Position",
    "RB", "np", "deque", "copy", "datetime", "time", "timedelta", "strategy",
]
TAIL = [
    "vorn_params", "event_queue", "history_bar", "history_tick", "orders_dict",
    "algo_parent_orders", "algo_child_orders", "algo_child_trades",
    "get_current_bar", "get_current_tick", "history_ticks", "history_bars", "VornStrategy",
]
METHODS = [
    ("__init__", ["self", "config"]), ("initialize", ["self", "config"]), ("on_initialize", ["self"]),
    ("on_switch_day", ["self"]), ("on_snapshot", ["self", "snapshot"]),
    ("on_tick_order", ["self", "tick_order"]), ("on_tick_trade", ["self", "tick_trade"]),
    ("on_bar", ["self", "bar"]), ("on_login", ["self", "login_res"]),
    ("on_query_asset", ["self", "asset_res", "request_id", "code", "msg"]),
    ("on_query_position", ["self", "query_position_res", "request_id", "code", "msg"]),
    ("on_order", ["self", "order"]), ("on_trade", ["self", "trade"]),
    ("on_order_action_error", ["self", "order_action_error"]),
    ("on_algo_login", ["self", "algo_login_res"]),
    ("on_create_algo_parent_order_res", ["self", "create_parent_order_res"]),
    ("on_cancel_algo_parent_order_res", ["self", "cancel_parent_order_res"]),
    ("on_control_algo_parent_order_res", ["self", "control_parent_order_res"]),
    ("on_algo_parent_order_update", ["self", "parent_order"]),
    ("on_algo_child_order_update", ["self", "child_order"]),
    ("on_algo_child_order_trade", ["self", "child_trade"]),
    ("create_time_listener", ["self"]), ("send_day_event", ["self", "event_type", "dt"]),
    ("send_before_trading_event", ["self"]), ("send_after_trading_event", ["self"]),
    ("send_open_auction_event", ["self"]), ("set_timer", ["self"]),
]
FUNCTIONS = [
    ("get_current_bar", ["market_code"]), ("get_current_tick", ["market_code"]),
    ("history_ticks", ["market_code", "count"]), ("history_bars", ["market_code", "count"]),
]
FULL_NAME = "corvix.tarrow.utils.tessaline"


def test_globals_are_bound_in_body_order(monkeypatch):
    # a fresh execution of the body: other tests delete and restore globals,
    # which moves them to the end of the shared module's dict
    names = [n for n in vars(fresh_instance(monkeypatch, pyvorn.enums)) if not n.startswith("__")]
    assert names == HEAD + list(pyvorn.enums.__all__) + TAIL


def test_bindings_are_the_right_objects(tl):
    from numpy_ringbuffer import RingBuffer
    assert tl.RB is RingBuffer and not hasattr(tl, "RingBuffer")
    assert tl.time is dt_module.time and tl.datetime is dt_module.datetime
    assert tl.timedelta is dt_module.timedelta
    assert tl.np is numpy and tl.copy.deepcopy and tl.deque is collections.deque
    assert tl.strategy is pyvorn.strategy
    assert not hasattr(tl, "AlgoControlType") or "AlgoControlType" in pyvorn.enums.__all__
    assert tl.__name__ == FULL_NAME and tl.__doc__ is None


def test_state_starts_empty(tl):
    assert isinstance(tl.event_queue, tl.RB)
    assert tl.event_queue.maxlen == 1_000_000 and tl.event_queue.dtype == object
    for name in TAIL[2:8]:
        assert type(getattr(tl, name)) is dict


def test_second_import_is_the_same_module_with_its_state(tl):
    tl.orders_dict["keep"] = 1
    again = importlib.import_module(FULL_NAME)
    assert again is tl and again.orders_dict == {"keep": 1}


def test_class_shape(tl):
    cls = tl.VornStrategy
    assert cls.__mro__[1] is pyvorn.strategy.VornStrategy
    assert type(cls) is type(pyvorn.strategy.VornStrategy) and type(cls) is not type
    assert cls.__module__ == FULL_NAME and cls.__qualname__ == "VornStrategy" and cls.__doc__ is None
    own = [k for k in vars(cls) if k not in ("__module__", "__doc__", "__dict__", "__weakref__")]
    assert own == [name for name, _ in METHODS]
    for name, params in METHODS:
        method = vars(cls)[name]
        assert method.__qualname__ == f"VornStrategy.{name}" and method.__module__ == FULL_NAME
        assert list(inspect.signature(method).parameters) == params
        assert all(p.default is inspect.Parameter.empty and p.kind is p.POSITIONAL_OR_KEYWORD
                   for p in inspect.signature(method).parameters.values())


def test_function_shape(tl):
    for name, params in FUNCTIONS:
        fn = getattr(tl, name)
        assert fn.__name__ == fn.__qualname__ == name and fn.__module__ == FULL_NAME
        assert list(inspect.signature(fn).parameters) == params


def test_methods_bind_like_python_functions(tl, strategy):
    bound = strategy.on_snapshot
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is strategy and bound.__func__ is vars(tl.VornStrategy)["on_snapshot"]
    assert list(inspect.signature(bound).parameters) == ["snapshot"]
    assert tl.VornStrategy.on_snapshot is vars(tl.VornStrategy)["on_snapshot"]


def python_twin(qualname, params):
    """A plain Python function of the same shape, to compare error texts with."""
    ns = {}
    exec(f"def f({', '.join(params)}): pass", ns)
    ns["f"].__qualname__ = qualname
    return ns["f"]


BAD_CALLS = [
    ((), {}), ((1,), {}), ((1, 2, 3), {}), ((1, 2, 3, 4, 5, 6), {}),
    ((1,), {"nope": 2}), ((1, 2), {"self": 3}), ((), {"code": 1, "msg": 2}),
    ((1, 2), {"market_code": 3}),
]


@pytest.mark.parametrize("args, kwargs", BAD_CALLS)
@pytest.mark.parametrize("name, params", [METHODS[9], METHODS[1], FUNCTIONS[2]])
def test_wrong_calls_raise_the_interpreters_type_error(tl, name, params, args, kwargs):
    ours = vars(tl.VornStrategy).get(name) or getattr(tl, name)
    twin = python_twin(ours.__qualname__, params)
    with pytest.raises(TypeError) as expected:
        twin(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        ours(*args, **kwargs)
    assert str(got.value) == str(expected.value)


def test_keyword_calls_bind_by_name(tl, events):
    tl.VornStrategy.send_day_event(dt="D", event_type=tl.EVENT.OPEN_AUCTION, self=object())
    assert (events[0].event_type, events[0].calendar_dt) == (tl.EVENT.OPEN_AUCTION, "D")
    tl.history_bar["A"] = collections.deque([1, 2, 3])
    assert tl.history_bars(count=2, market_code="A") == [2, 3]


def test_missing_global_raises_name_error(tl, monkeypatch):
    monkeypatch.delattr(tl, "history_tick")
    with pytest.raises(NameError, match=r"^name 'history_tick' is not defined$") as err:
        tl.get_current_tick("A")
    assert err.value.name == "history_tick"


def fresh_instance(monkeypatch, enums):
    """Executes the module body again into a new module object, with `enums`
    standing in for the SDK's enumerations."""
    monkeypatch.setitem(sys.modules, "pyvorn.enums", enums)
    monkeypatch.setattr(pyvorn, "enums", enums)
    tl = sys.modules[FULL_NAME]
    spec = importlib.util.spec_from_file_location(FULL_NAME, tl.__file__)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_enums_without_a_name_import_fine_and_fail_at_first_use(tl, monkeypatch):
    enums = types.ModuleType("pyvorn.enums")
    for name in pyvorn.enums.__all__:
        setattr(enums, name, getattr(pyvorn.enums, name))
    enums.__all__ = [n for n in pyvorn.enums.__all__ if n != "MDType"]
    other = fresh_instance(monkeypatch, enums)
    assert other is not tl and not hasattr(other, "MDType")
    assert other.event_queue is not tl.event_queue and other.VornStrategy is not tl.VornStrategy
    from conftest import Recorder, make_config
    s = other.VornStrategy(make_config())
    s.context = Recorder()
    with pytest.raises(NameError, match="name 'MDType' is not defined"):
        s.initialize(None)


def test_enums_without_all_bind_public_names_only(monkeypatch):
    enums = types.ModuleType("pyvorn.enums")
    enums.MDType, enums._hidden = pyvorn.enums.MDType, 1
    other = fresh_instance(monkeypatch, enums)
    assert other.MDType is pyvorn.enums.MDType and not hasattr(other, "_hidden")


def test_missing_host_name_fails_the_import(monkeypatch):
    import corvix.tarrow.model.tick as tick
    monkeypatch.delattr(tick, "TickObject")
    with pytest.raises(ImportError, match="cannot import name 'TickObject' from 'corvix.tarrow.model.tick'"):
        fresh_instance(monkeypatch, pyvorn.enums)


def test_functions_copy_and_pickle_as_python_functions_do(tl):
    import copy
    import pickle
    for fn in (tl.get_current_tick, vars(tl.VornStrategy)["on_snapshot"]):
        assert copy.copy(fn) is fn and copy.deepcopy(fn) is fn
        assert pickle.loads(pickle.dumps(fn)) is fn


def test_class_body_carries_the_class_cell_to_the_metaclass(monkeypatch):
    seen = {}
    meta = type(pyvorn.strategy.VornStrategy)
    original = meta.__new__

    def recording_new(mcls, name, bases, ns, **kw):
        if name == "VornStrategy" and bases[0] is pyvorn.strategy.VornStrategy:
            seen["keys"] = list(ns)
        return original(mcls, name, bases, ns, **kw)

    monkeypatch.setattr(meta, "__new__", recording_new)
    other = fresh_instance(monkeypatch, pyvorn.enums)
    assert seen["keys"][:2] == ["__module__", "__qualname__"] and seen["keys"][-1] == "__classcell__"
    assert "__classcell__" not in vars(other.VornStrategy)
