"""Attacks on the module's caches and fast paths, each compared with what the
interpreter gives for the same statement: native call cycles that never pass
through interpreted code, a `collections.deque` replaced before the import,
collections and finalizers that run inside a copy or a lookup, dictionary
keys whose equality changes, and the dictionary templates fresh tick and bar
dictionaries are copied from.

A crash would take pytest down with it, so every attack that crashed once
runs in a fresh interpreter of its own.
"""
import collections
import functools
import gc
import subprocess
import sys
import textwrap
import types

import pytest

import corvix.tarrow.utils.tessaline as tl
from reliability_support import install_real_host
from pyvorn.enums import MarketType
from pyvorn.records import Snapshot

TICK_KEYS = ["market_code", "datetime", "open_price", "close_price", "high_price", "low_price", "total_turnover",
             "volume", "prev_close", "ask_vols", "asks", "bid_vols", "bids", "high_limited", "last_price",
             "low_limited", "open_interest", "prev_settlement", "iopv", "trading_phase_code"]


def snapshot_record(**values):
    return Snapshot(market_type=MarketType.SZSE, **values)


def run_fresh(code):
    """Runs code in a fresh interpreter; returns (exit status, stdout, stderr)."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120)
    return done.returncode, done.stdout, done.stderr


PRELUDE = """
import types, functools, collections
def config():
    return types.SimpleNamespace(base=types.SimpleNamespace(accounts={}))
"""


# ------------------------------------------------------------ native re-entry

@pytest.mark.parametrize("callback", ["on_snapshot", "on_tick_order", "on_tick_trade", "on_bar"])
@pytest.mark.parametrize("wiring", [
    "tl.get_exchane_from_vorn_mdtype = getattr(s, CALLBACK)",
    "tl.get_exchane_from_vorn_mdtype = functools.partial(getattr(tl.VornStrategy, CALLBACK), s)",
    "tl.get_exchane_from_vorn_mdtype = functools.partial(getattr(s, CALLBACK))",
])
def test_a_native_call_cycle_meets_the_recursion_limit(callback, wiring):
    # The record's market type is the record itself, and the exchange-suffix
    # function is the callback: the cycle never runs interpreted code.
    status, out, err = run_fresh(PRELUDE + f"""
import corvix.tarrow.utils.tessaline as tl
CALLBACK = "{callback}"
s = tl.VornStrategy(config())
stamp = 20240102093000000
record = types.SimpleNamespace(orig_time=stamp, order_time=stamp, trade_time=stamp, end_time=stamp,
                               security_id="000001")
record.market_type = record
{wiring}
def reachable_depth():
    def down(n):
        try:
            return down(n + 1)
        except RecursionError:
            return n
    return down(0)
before = reachable_depth()
for _ in range(20):
    try:
        getattr(s, CALLBACK)(record)
    except RecursionError as e:
        error = e
print("RecursionError", error)
assert reachable_depth() == before, (reachable_depth(), before)
s.on_snapshot  # the interpreter is still usable
print(sum(range(10)))
""")
    assert status == 0, err[-2000:]
    lines = out.splitlines()
    assert lines[0].startswith("RecursionError maximum recursion depth exceeded") and lines[1:] == ["45"]


def test_the_recursion_depth_comes_back_after_every_call(tl_host):
    # Each call leaves the depth as it found it, also when it raises: many
    # failing calls in a row never exhaust the limit.
    s = tl_host
    for _ in range(5 * sys.getrecursionlimit()):
        with pytest.raises(TypeError):
            s.on_snapshot()
        with pytest.raises(AttributeError):
            s.on_snapshot(object())
    tl.history_tick.clear()


@pytest.fixture
def tl_host(monkeypatch):
    install_real_host(monkeypatch)
    return tl.VornStrategy(types.SimpleNamespace(base=types.SimpleNamespace(accounts={})))


# ------------------------------------------------------ a replaced collections.deque

REPLACED_DEQUE = PRELUDE + """
import collections
{define}
collections.deque = Replacement
import corvix.tarrow.utils.tessaline as tl
assert tl.deque is Replacement
s = tl.VornStrategy(config())
from pyvorn.records import Snapshot
def snap(i):
    return Snapshot(orig_time=20240102093000000 + 10 * i, security_id="000001", market_type=tl.MarketType.SZSE, last_price=i)
results = []
def outcome(f):
    try:
        r = f()
        return ("ok", [t["last_price"] for t in r] if isinstance(r, list) else r["last_price"])
    except Exception as e:
        return (type(e).__name__, str(e))
for i in range(3):
    s.on_snapshot(snap(i))
code = "000001.XSHE"
history = tl.history_tick[code]
print(type(history).__name__)
print(outcome(lambda: tl.get_current_tick(code)) == outcome(lambda: tl.history_tick[code][-1]))
print(outcome(lambda: tl.history_ticks(code, 2)) == outcome(lambda: list(tl.history_tick[code])[-2:]))
print(outcome(lambda: tl.get_current_tick(code)))
print(outcome(lambda: tl.history_ticks(code, 0)))
{after}
"""


def fill(template, **parts):
    for name, text in parts.items():
        template = template.replace("{" + name + "}", text)
    return template


def test_a_deque_like_class_without_indexing_is_used_through_its_protocol():
    status, out, err = run_fresh(fill(REPLACED_DEQUE, define="""
class Replacement:
    def __init__(self, maxlen=None):
        self.items = []
        self.maxlen = maxlen
    def append(self, item):
        self.items.append(item)
    def __iter__(self):
        return iter(self.items)
""", after=""))
    assert status == 0, err[-2000:]
    kind, same_tick, same_list, tick, ticks = out.splitlines()
    assert (kind, same_tick, same_list) == ("Replacement", "True", "True")
    assert tick == "('TypeError', \"'Replacement' object is not subscriptable\")"
    assert ticks == "('ok', [0, 1, 2])"


def test_an_indexable_deque_stand_in_gives_what_the_interpreter_gives():
    # It reports a wrong length and indexes from the front: the module must
    # ask it, not read a deque's fields out of it.
    status, out, err = run_fresh(fill(REPLACED_DEQUE, define="""
class Replacement(list):
    def __init__(self, maxlen=None):
        super().__init__()
    def __len__(self):
        return 10 ** 6
    def __getitem__(self, i):
        return list.__getitem__(self, 0 if i == -1 else i)
""", after=""))
    assert status == 0, err[-2000:]
    kind, same_tick, same_list, tick, ticks = out.splitlines()
    assert (kind, same_tick, same_list) == ("Replacement", "True", "True")
    assert tick == "('ok', 0)"


def test_a_deque_subclass_has_its_methods_looked_up_at_each_use():
    status, out, err = run_fresh(fill(REPLACED_DEQUE, define="""
Real = collections.deque
class Replacement(collections.deque):
    pass
""", after="""
seen = []
def counting_append(self, item):
    seen.append(item["last_price"])
    Real.append(self, item)
Replacement.append = counting_append
s.on_snapshot(snap(7))
print(seen, tl.get_current_tick(code)["last_price"], len(tl.history_ticks(code, 0)))
"""))
    assert status == 0, err[-2000:]
    lines = out.splitlines()
    assert lines[:3] == ["Replacement", "True", "True"]
    assert lines[-1] == "[7] 7 4"


def test_the_genuine_deque_is_found_even_when_collections_is_patched():
    # Histories made by the genuine type (the host rebinds the global back)
    # still answer exactly.
    status, out, err = run_fresh(PRELUDE + """
import collections
real = collections.deque
collections.deque = list
import corvix.tarrow.utils.tessaline as tl
tl.deque = real
s = tl.VornStrategy(config())
from pyvorn.records import Snapshot
for i in range(65):
    s.on_snapshot(Snapshot(orig_time=20240102093000000 + 10 * i, security_id="1", market_type=tl.MarketType.SZSE, last_price=i))
code = "1.XSHE"
print(type(tl.history_tick[code]).__name__, tl.get_current_tick(code)["last_price"],
      [t["last_price"] for t in tl.history_ticks(code, 3)], len(tl.history_ticks(code, 0)))
""")
    assert status == 0, err[-2000:]
    assert out.split() == ["deque", "64", "[62,", "63,", "64]", "60"]


# ---------------------------------------------- collections inside a history copy

@pytest.fixture
def collection_runs():
    """Runs action(deque) at the next collection started while armed."""
    state = types.SimpleNamespace(action=None, fired=False)

    def callback(phase, info):
        if phase == "start" and state.action is not None:
            action, state.action = state.action, None
            state.fired = True
            action()

    old = gc.get_threshold()
    gc.callbacks.append(callback)
    try:
        yield state
    finally:
        gc.callbacks.remove(callback)
        gc.set_threshold(*old)


@pytest.mark.parametrize("store, query", [("history_tick", tl.history_ticks), ("history_bar", tl.history_bars)])
@pytest.mark.parametrize("change", ["append", "clear", "append_full"])
def test_a_collection_during_a_copy_is_seen_as_list_would_see_it(collection_runs, store, query, change):
    history = collections.deque(({"n": i} for i in range(60 if change == "append_full" else 5)),
                                maxlen=60 if store == "history_tick" else None)
    getattr(tl, store)["X.XSHE"] = history
    newest = {"n": "newest"}
    action = history.clear if change == "clear" else functools.partial(history.append, newest)
    for _ in range(50):
        collection_runs.fired = False
        gc.collect()
        gc.set_threshold(1)
        collection_runs.action = action
        copied = query("X.XSHE", 0)
        gc.set_threshold(700)
        collection_runs.action = None
        if collection_runs.fired:
            break
    assert collection_runs.fired
    assert copied == list(history)
    if change != "clear":
        assert copied[-1] is newest


def test_a_collection_during_get_current_tick_is_harmless(collection_runs):
    history = collections.deque(({"n": i} for i in range(3)), maxlen=60)
    tl.history_tick["X.XSHE"] = history
    collection_runs.action = history.clear
    gc.set_threshold(1)
    try:
        for _ in range(20):
            try:
                tick = tl.get_current_tick("X.XSHE")
            except IndexError as e:  # what history[-1] says of an empty deque
                assert str(e) == "deque index out of range"
            else:
                assert tick is history[-1]
    finally:
        gc.set_threshold(700)


# ---------------------------------------------------------- the member cache

class Shifty:
    """A key whose equality the test switches: equal to "TICK" or not."""

    def __init__(self, text):
        self.text = text
        self.matches = True

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        return self.matches and other == self.text


def post_tick(strategy, events):
    strategy.on_snapshot(snapshot_record(orig_time=20240102093000000, security_id="000001"))
    return events[-1]


@pytest.fixture
def tick_host(monkeypatch):
    install_real_host(monkeypatch)
    events = []
    monkeypatch.setattr(tl, "event_queue", events)
    monkeypatch.setattr(tl, "Event", lambda event_type, **fields: event_type)
    return tl.VornStrategy(types.SimpleNamespace(base=types.SimpleNamespace(accounts={}))), events


def test_code_run_by_a_lookup_after_the_read_leaves_no_stale_member():
    # Keys whose hash equals the member's name sit in the class and in its
    # metaclass; comparing with them runs code. The class's key makes the
    # metaclass forget its cached lookups, so the metaclass's key runs after
    # the member was read, and replaces the member: a cache that took its
    # tags then would hold the old, freed member under the class's new tag.
    status, out, err = run_fresh(PRELUDE + """
import gc
import corvix.tarrow.utils.tessaline as tl
from corvix.tarrow.environment import Environment
from pyvorn.enums import MarketType
from pyvorn.records import Snapshot
Environment.reset(universe=["600000.XSHG"], instruments=["000001.XSHE"])
events = []
tl.event_queue = events
tl.Event = lambda event_type, **fields: event_type
s = tl.VornStrategy(config())
def post():
    s.on_snapshot(Snapshot(orig_time=20240102093000000, security_id="000001", market_type=MarketType.SZSE))
    return events.pop()
script = []
class Key:
    def __init__(self, label):
        self.label = label
    def __hash__(self):
        return hash("TICK")
    def __eq__(self, other):
        if script and script[0][0] == self.label:
            script.pop(0)[1]()
        return False
Meta = type("Meta", (type,), {Key("meta"): 0})
Members = Meta("Members", (), {Key("class"): 0, "TICK": object()})
tl.EVENT = Members
new = object()
def touch_meta():
    Meta.dummy = 1
    Meta.dummy
def replace_member():
    Members.TICK = new
    Members.TICK
script[:] = [("class", touch_meta), ("meta", replace_member)]
post()
gc.collect()
print([post() is new for _ in range(3)])
""")
    assert status == 0, err[-2000:]
    assert out.split("\n")[0] == "[True, True, True]"


def test_namespace_members_behind_a_key_of_changing_equality_are_seen(tick_host, monkeypatch):
    strategy, events = tick_host
    namespace = types.SimpleNamespace(TICK="by name")
    key = Shifty("TICK")
    namespace.__dict__.clear()
    namespace.__dict__[key] = "by shifty key"
    monkeypatch.setattr(tl, "EVENT", namespace)
    assert post_tick(strategy, events) == "by shifty key"
    key.matches = False
    with pytest.raises(AttributeError):
        post_tick(strategy, events)
    key.matches = True
    assert post_tick(strategy, events) == "by shifty key"


def test_a_class_member_behind_a_key_of_changing_equality_is_seen(tick_host, monkeypatch):
    strategy, events = tick_host

    class Text(str):
        matches = True

        def __hash__(self):
            return str.__hash__(self)

        def __eq__(self, other):
            return Text.matches and str.__eq__(self, other)

    Members = type("Members", (), {Text("TICK"): "class member"})
    monkeypatch.setattr(tl, "EVENT", Members)
    # The interpreter's own type-attribute cache answers without comparing keys when it
    # holds the name, and whether it does depends on what else ran; emptied before each
    # lookup, the answer is the dictionary's, so the module must give that one too.
    expected = []
    for matches in (True, False, True):
        Text.matches = matches
        sys._clear_type_cache()
        try:
            expected.append(Members.TICK)
        except AttributeError:
            expected.append(AttributeError)
    got = []
    for matches in (True, False, True):
        Text.matches = matches
        sys._clear_type_cache()
        try:
            got.append(post_tick(strategy, events))
        except AttributeError:
            got.append(AttributeError)
    assert got == expected


def test_module_globals_behind_a_key_of_changing_equality_are_seen(tick_host, monkeypatch):
    # A non-str key in the module's own dict: a lookup by name compares with
    # it, and what it equals can change without a store.
    strategy, events = tick_host
    queue = vars(tl).pop("event_queue")
    key = Shifty("event_queue")
    vars(tl)[key] = queue
    try:
        post_tick(strategy, events)
        assert len(queue) == 1
        key.matches = False
        with pytest.raises(NameError, match="name 'event_queue' is not defined"):
            post_tick(strategy, events)
        key.matches = True
        post_tick(strategy, events)
        assert len(queue) == 2
    finally:
        del vars(tl)[key]
        vars(tl)["event_queue"] = queue


# ------------------------------------------------------- the dictionary templates

def test_no_template_is_reachable_from_python(tick_host):
    strategy, events = tick_host
    for referent in gc.get_referents(tl):
        if isinstance(referent, dict) and referent is not vars(tl):
            referent["planted"] = True
    strategy.on_snapshot(snapshot_record(orig_time=20240102093000000, security_id="000001"))
    assert list(tl.get_current_tick("000001.XSHE")) == TICK_KEYS
    assert not any(isinstance(o, dict) and "trading_phase_code" in o and "planted" in o for o in gc.get_objects())
