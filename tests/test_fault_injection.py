"""Every operation a callback performs on something it does not own is made to
fail in turn: each record attribute read, each host call and host attribute
access, each enumeration member read, each read and write of the strategy's
own attributes, each module global (unbound for the run).

For a fault at point k the callback must raise that very exception object,
leave no reference behind on its inputs, and leave the state exactly as it
was when point k was reached: whatever was done before stays done, nothing
after it happens. Three places catch on purpose and are checked for what
they do instead: the attribute-presence tests of `initialize`, the per-record
guard of `on_query_position`, and `set_timer`, which re-arms the next morning
before the listener's error goes on.
"""
import gc
import types

import pytest

import reliability_support as R
from reliability_support import CASES, belongs, run_case, tl

CASE_NAMES = list(CASES)


def listener_points():
    """Points of a complete trading-day create_time_listener: in set_timer they
    come right after the read of self.create_time_listener."""
    return len(run_case("create_time_listener trading day", observe=False).labels)


def with_rearm(ref, snapshot):
    """The state `snapshot` plus the next morning's set_timer registration."""
    expected = dict(snapshot)
    expected["calls"] = snapshot["calls"] + (ref.final["calls"][-1],)
    return expected


def guard_regions(labels):
    """Index ranges of the per-record conversions of on_query_position."""
    starts = []
    for i, label in enumerate(labels):
        if label.startswith("pos") and label.endswith(".security_id") and (not starts or labels[starts[-1]] != label):
            starts.append(i)
    end = next(i for i, label in enumerate(labels)
               if i > starts[-1] and label.startswith(("event_queue.", "EVENT.", "Event(")))
    return [range(a, b) for a, b in zip(starts, starts[1:] + [end])]


def event_fields(state, index, field):
    event = state["events"][1 + index]
    return dict(event[2:])[field]


PRESENCE_TESTS = ("base.md_type", "base.order_way", "base.algo_account")


def without_base_attribute(name):
    def prepare(kit):
        del object.__getattribute__(kit.config.base, "_attrs")[name]
    return prepare


def assert_clean(out):
    assert out.error_type is None, out.error_text
    assert out.leaks == []


@pytest.mark.parametrize("case", CASE_NAMES)
def test_each_fault_point_raises_its_exception_and_keeps_what_was_done(case):
    ref = run_case(case)
    assert_clean(ref)
    assert ref.result_is_none or case.startswith(("get_", "history_"))
    labels = ref.labels
    regions = guard_regions(labels) if case == "on_query_position success" else []
    listener = listener_points() if case == "set_timer" else None
    presence = {labels.index(p) for p in PRESENCE_TESTS if p in labels} if case == "initialize" else set()

    for index in range(len(labels)):
        out = run_case(case, target=index + 1)
        where = f"fault at point {index + 1} ({labels[index]})"
        assert out.labels[:index + 1] == labels[:index + 1], where
        assert out.leaks == [], where
        guarded = [n for n, region in enumerate(regions) if index in region]
        if guarded:
            # The record is skipped with a warning; the others still go out.
            n = guarded[0]
            assert out.error_type is None, where
            assert out.final["warnings"] == (f"on_query_position position do not add: 60000{n}  exception: "
                                    f"fault {index + 1} at {labels[index]}",), where
            kept = event_fields(ref.final, 0, "positions")
            expected = kept[:1 + n] + kept[2 + n:]
            assert event_fields(out.final, 0, "positions") == expected, where
            continue
        if index in presence:
            # hasattr(self.config.base, ...) counts a failing lookup as absence.
            assert out.error_type is None, where
            absent = run_case(case, prepare=without_base_attribute(labels[index].split(".")[1]))
            assert out.final == absent.final, where
            continue
        assert out.injected, f"{where}: got {out.error_type} {out.error_text}"
        expected = out.snapshots[index]
        if listener is not None and index <= listener:
            expected = with_rearm(ref, expected)
        assert out.final == expected, where


def as_deleted(state, name):
    return dict(state, **{name: "missing"}) if name in state else state


def module_globals():
    return sorted(name for name in vars(tl) if not name.startswith("__"))


@pytest.mark.parametrize("case", CASE_NAMES)
def test_a_missing_global_raises_name_error_and_keeps_what_was_done(case):
    ref = run_case(case)
    listener = listener_points() if case == "set_timer" else None
    for name in module_globals():
        out = run_case(case, delete=name, observe=False)
        assert out.leaks == [], name
        if out.error_type is None and out.final["warnings"] and case == "on_query_position success":
            # Used inside the per-record guard: every record is skipped with a warning.
            assert set(out.final["warnings"]) == {
                f"on_query_position position do not add: 60000{i}  exception: name '{name}' is not defined"
                for i in range(2)}
            assert event_fields(out.final, 0, "positions") == ("list",)
            continue
        if out.error_type is None:
            # Not used on this path: the run is the same as with it bound.
            assert out.final == as_deleted(ref.final, name), name
            continue
        assert out.error_type is NameError, (name, out.error_type, out.error_text)
        assert out.error_text == f"name '{name}' is not defined"
        assert out.error_name == name
        points = [i for i, label in enumerate(ref.labels) if belongs(label, name)]
        candidates = [ref.initial] + ref.snapshots + [ref.final]
        if points:
            expected = ref.snapshots[points[0]]
            if listener is not None and points[0] <= listener and not any(
                    belongs(label, name) for label in ref.labels[listener + 1:]):
                expected = with_rearm(ref, expected)
            candidates = [expected]
        assert out.final in [as_deleted(state, name) for state in candidates], name


def test_fault_point_census():
    """The sweep covers every callback and every query function, each with its points."""
    counts = {case: len(run_case(case, observe=False).labels) for case in CASE_NAMES}
    callbacks = {name for name in dir(tl.VornStrategy) if not name.startswith("_")} | {
        "get_current_bar", "get_current_tick", "history_ticks", "history_bars"}
    covered = {case.split(" ")[0] for case in CASE_NAMES}
    assert callbacks - {"on_initialize"} <= covered
    assert counts.pop("on_trade") == 0  # reads nothing, changes nothing
    assert all(n > 0 for n in counts.values())


# ------------------------------------------------------------------ two faults at once
#
# The sweep injects one fault per run; these paths only show with two.

class Boom(Exception):
    pass


def test_set_timer_rearms_then_raises_the_listener_error(tl):
    listener_error = Boom("listener")
    calls = []

    class Strategy(tl.VornStrategy):
        def create_time_listener(self):
            raise listener_error

    s = Strategy(R.Kit().config)
    s.context = types.SimpleNamespace(add_timer_interval=lambda ns, cb: calls.append(cb.__name__))
    with pytest.raises(Boom) as caught:
        s.set_timer()
    assert caught.value is listener_error
    assert calls == ["set_timer"]


def test_set_timer_failing_twice_raises_the_listener_error_chained_to_the_rearm_error(tl):
    listener_error, rearm_error, earlier = Boom("listener"), Boom("rearm"), Boom("earlier")

    class Strategy(tl.VornStrategy):
        def create_time_listener(self):
            try:
                raise earlier
            except Boom:
                raise listener_error

    def refuse(ns, cb):
        raise rearm_error

    s = Strategy(R.Kit().config)
    s.context = types.SimpleNamespace(add_timer_interval=refuse)
    for _ in range(3):  # the chain must not grow into a cycle when the same errors come again
        with pytest.raises(Boom) as caught:
            s.set_timer()
        assert caught.value is listener_error
        seen, e = [], caught.value
        while e is not None and len(seen) < 10:
            seen.append(e)
            e = e.__context__
        assert seen[:2] == [listener_error, rearm_error]
        assert len(seen) == len(set(map(id, seen))) < 10


def test_a_position_whose_security_id_fails_twice_is_warned_as_none_and_the_loop_goes_on(
        strategy, events, logs):
    class Broken:
        def __getattr__(self, name):
            raise Boom(name)

    good = types.SimpleNamespace(security_id="600000", market_id=R.sdk_enums.MarketType.SSE, init_qty=5,
                                 leaves_qty=5, available_qty=5, cost_price=1.0, last_price=1.0,
                                 market_value=5.0, profit_loss=0.0)
    strategy.on_query_position([Broken(), good], 1, 0, "")
    assert logs.user.warnings == ["on_query_position position do not add: None  exception: security_id"]
    assert [p.market_code for p in events[0].positions] == ["600000.XSHG"]


def test_a_failing_warning_propagates_with_the_conversion_error_as_its_context(strategy, events, monkeypatch):
    warning_error = Boom("warning")

    def warning(msg):
        raise warning_error

    monkeypatch.setattr(tl, "user_system_log", types.SimpleNamespace(warning=warning))
    monkeypatch.setattr(tl, "system_log", types.SimpleNamespace(info=lambda msg: None))
    with pytest.raises(Boom) as caught:
        strategy.on_query_position([types.SimpleNamespace(security_id="1")], 1, 0, "")
    assert caught.value is warning_error
    assert isinstance(caught.value.__context__, AttributeError)
    assert events == []


def test_a_base_exception_in_a_position_record_is_not_caught_by_the_guard(strategy, events, logs):
    class Stop(BaseException):
        pass

    stop = Stop()

    class Record:
        security_id = "600000"

        @property
        def market_id(self):
            raise stop

    with pytest.raises(Stop) as caught:
        strategy.on_query_position([Record()], 1, 0, "")
    assert caught.value is stop
    assert logs.user.warnings == [] and events == []


# ------------------------------------------- caches invalidated at every point

def invalidating_everything(kit):
    """At every fault point: a collection (running whatever finalizers and
    gc callbacks are due), every module global rebound to itself, and
    every class the callback reads from given and relieved of an attribute.
    Every version tag a cache is keyed on moves; nothing anyone can read
    changes, so the callback must do exactly what it does undisturbed."""
    g = vars(tl)
    classes = {type(o) for o in kit.tracked} | {type(kit.strategy)} if kit.strategy else {type(o) for o in kit.tracked}
    classes |= {v for v in g.values() if isinstance(v, type)} | {type(v) for v in g.values()}
    classes = [c for c in classes if c.__flags__ & (1 << 9) and not (c.__flags__ & (1 << 8))]  # heap, mutable

    def invalidate():
        gc.collect(0)
        for name in list(g):
            g[name] = g[name]
        for cls in classes:
            try:
                type.__setattr__(cls, "_invalidated", None)
                type.__delattr__(cls, "_invalidated")
            except (TypeError, AttributeError):
                pass
    return invalidate


@pytest.mark.parametrize("case", CASE_NAMES)
def test_caches_invalidated_at_every_point_change_nothing(case):
    ref = run_case(case, observe=False)
    out = run_case(case, observe=False, at_each_point=invalidating_everything)
    assert out.labels == ref.labels
    assert (out.error_type, out.error_text) == (ref.error_type, ref.error_text)
    assert out.final == ref.final
    assert out.leaks == []


# ------------------------------------------------------------------ faults inside the attribute fast paths
#
# Each layout a record can have is read through its own fast path; a failure
# at any one of the reads must come out as the interpreter gives it (the very
# exception object a getter raised; for a missing attribute, the
# AttributeError the interpreter raises, with its name and object), with
# nothing posted, and must not disturb the next, complete record.

LOGIN_READS = ("fund_account_id", "error_code", "client_seq_id", "error_msg")


def plain_layout():
    class Plain:
        pass
    return Plain


def slotted_layout():
    class Slotted:
        __slots__ = LOGIN_READS
    return Slotted


def namespace_layout():
    return types.SimpleNamespace


LAYOUTS = {"plain": plain_layout, "slotted": slotted_layout, "namespace": namespace_layout}


def login_of(cls):
    r = cls()
    for name, value in zip(LOGIN_READS, ("1001", 0, 1, "m")):
        setattr(r, name, value)
    return r


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("missing", LOGIN_READS)
def test_a_missing_attribute_fails_as_the_interpreter_fails(strategy, events, logs, layout, missing):
    cls = LAYOUTS[layout]()
    good = login_of(cls)
    strategy.on_login(good)  # the reads are resolved for this type first
    bad = login_of(cls)
    delattr(bad, missing)
    with pytest.raises(AttributeError) as expected:
        getattr(bad, missing)
    for _ in range(2):
        with pytest.raises(AttributeError) as caught:
            strategy.on_login(bad)
        assert str(caught.value) == str(expected.value)
        assert caught.value.name == missing and caught.value.obj is bad
    assert len(events) == 1
    strategy.on_login(good)
    assert [e.msg for e in events] == ["m", "m"]


@pytest.mark.parametrize("failing", LOGIN_READS)
def test_a_raising_getter_propagates_its_own_exception(strategy, events, logs, failing):
    errors = []

    def getter(name):
        def get(self):
            if name == failing and self.armed:
                errors.append(Boom(name))
                raise errors[-1]
            return {"fund_account_id": "1001", "error_code": 0, "client_seq_id": 1, "error_msg": "m"}[name]
        return property(get)

    cls = type("Viewed", (), {name: getter(name) for name in LOGIN_READS})
    r = cls()
    r.armed = False
    strategy.on_login(r)
    r.armed = True
    for _ in range(2):
        with pytest.raises(Boom) as caught:
            strategy.on_login(r)
        assert caught.value is errors[-1]
        assert caught.value.__context__ is None
    # an AttributeError from a getter gets the object and name attached, as PyObject_GetAttr does
    cls.error_msg = property(lambda self: (_ for _ in ()).throw(AttributeError("inner")))
    r.armed = False
    with pytest.raises(AttributeError) as caught:
        strategy.on_login(r)
    assert (str(caught.value), caught.value.name, caught.value.obj) == ("inner", "error_msg", r)
    assert len(events) == 1


def test_a_failing_counter_write_leaves_the_old_value(strategy, events, monkeypatch):
    """A property that refuses bar_cnt on a strategy subclass: the write fails
    with its error and the counter the instance held is untouched."""
    from pyvorn.records import Bar
    from pyvorn.enums import MarketType
    monkeypatch.setattr(tl, "system_log", types.SimpleNamespace(info=lambda msg: None))
    refused = Boom("bar_cnt")

    class Refusing(tl.VornStrategy):
        pass

    s = Refusing(R.Kit().config)
    bar = Bar(security_id="000001", market_type=MarketType.SZSE, end_time=20240102093100000)
    import corvix.tarrow.environment as environment
    environment.Environment.reset(universe=["600000.XSHG", "000001.XSHE"])
    try:
        s.on_bar(bar)
        assert s.bar_cnt == 1
        Refusing.bar_cnt = property(lambda self: 1, lambda self, value: (_ for _ in ()).throw(refused))
        with pytest.raises(Boom) as caught:
            s.on_bar(bar)
        assert caught.value is refused
        del Refusing.bar_cnt
        assert s.bar_cnt == 1 and s.current_trade_dt == 20240102093100.0
    finally:
        environment.Environment.reset()
