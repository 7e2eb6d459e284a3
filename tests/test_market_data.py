"""Snapshots, level-2 orders and transactions, and bars: what each callback
reads, calls and keeps, checked against recording stand-ins of the host."""
import collections

import pytest

TICK_ROWS = [  # (tick dictionary key, snapshot attribute)
    ("open_price", "open_price"), ("close_price", "close_price"), ("high_price", "high_price"),
    ("low_price", "low_price"), ("total_turnover", "total_value_trade"), ("volume", "total_volume_trade"),
    ("prev_close", "pre_close_price"), ("ask_vols", "ask_volume"), ("asks", "ask_price"),
    ("bid_vols", "bid_volume"), ("bids", "bid_price"), ("high_limited", "high_limited"),
    ("last_price", "last_price"), ("low_limited", "low_limited"), ("open_interest", "open_interest"),
    ("prev_settlement", "prev_settlement"), ("iopv", "iopv"), ("trading_phase_code", "trading_phase_code"),
]
BAR_ROWS = [("open_price", "open"), ("close_price", "close"), ("high_price", "high"), ("low_price", "low"),
            ("total_turnover", "amount"), ("volume", "volume"), ("prev_close", "prev_close")]
CODE = "600000.SH"


class Record:
    """An SDK record whose every attribute read is logged by name."""

    def __init__(self, log, **values):
        object.__setattr__(self, "_log", log)
        object.__setattr__(self, "_values", values)

    def __getattribute__(self, name):
        if name.startswith("_"):
            return object.__getattribute__(self, name)
        object.__getattribute__(self, "_log").append(("attr", name))
        try:
            return object.__getattribute__(self, "_values")[name]
        except KeyError:
            raise AttributeError(name) from None


class Stamp:
    """What the time converters return: a fresh object per call."""

    def __init__(self, seconds):
        self.seconds = seconds


class Members:
    """EVENT or SIDE: a stable sentinel per member, each read logged."""

    def __init__(self, log, owner):
        self._log, self._owner, self._made = log, owner, {}

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        self._log.append(("member", f"{self._owner}.{name}"))
        return self._made.setdefault(name, f"{self._owner}.{name}")


class Factory:
    """L2Order / L2Transaction: reading __from_create__ and calling it are logged."""

    def __init__(self, log, name):
        self._log, self._name = log, name

    def __getattr__(self, attr):
        if attr != "__from_create__":
            raise AttributeError(attr)
        self._log.append(("read", f"{self._name}.__from_create__"))

        def create(*args, **kwargs):
            assert not kwargs
            self._log.append((self._name, args))
            return (self._name, args)
        return create


class Queue(list):
    def __init__(self, log):
        super().__init__()
        self._log = log

    def append(self, item):
        self._log.append(("append", item))
        super().append(item)


class Host:
    """Every host name the callbacks use, replaced on the module by a recorder."""

    def __init__(self, tl, monkeypatch):
        self.log = log = []
        self.universe = []
        self.instrument = object()
        self.queue = Queue(log)
        self.deque_calls = []

        def logged(name, result=None):
            def fn(*args, **kwargs):
                log.append((name, args) if not kwargs else (name, args, kwargs))
                return result(*args) if callable(result) else result
            return fn

        def tick_object(instrument, tick_dict):
            log.append(("TickObject", instrument, tick_dict))
            return ("tick", instrument, tick_dict)

        def event(*args, **kwargs):
            log.append(("Event", args, tuple(kwargs)))
            return collections.namedtuple("Posted", "args kwargs")(args, kwargs)

        def make_deque(*args, **kwargs):
            self.deque_calls.append((args, kwargs))
            return collections.deque(*args, **kwargs)

        host = self

        class Environment:
            @staticmethod
            def get_instance():
                log.append(("get_instance",))
                return Environment

            @staticmethod
            def get_universe():
                log.append(("get_universe",))
                return list(host.universe)

            class data_proxy:
                @staticmethod
                def instruments(code):
                    log.append(("instruments", code))
                    return host.instrument

        names = {
            "convert_int_to_datetime": logged("convert", Stamp),
            "convert_int_to_whole_date": logged("whole_date", Stamp),
            "get_exchane_from_vorn_mdtype": logged("exchange", lambda mt: "SH"),
            "get_side_from_vorn_l2_order": logged("side_of", lambda ch, mt: f"side:{ch}"),
            "get_order_type_from_vorn_l2_order": logged("order_type_of", lambda ch, mt: f"type:{ch}"),
            "get_l2order_type_from_vorn": logged("l2_type_of", lambda ch, mt: f"l2:{ch}"),
            "get_trade_type_from_vorn": logged("trade_type_of", lambda ch: f"trade:{ch}"),
            "Environment": Environment, "TickObject": tick_object, "Event": event,
            "EVENT": Members(log, "EVENT"), "SIDE": Members(log, "SIDE"),
            "L2Order": Factory(log, "L2Order"), "L2Transaction": Factory(log, "L2Transaction"),
            "event_queue": self.queue, "deque": make_deque,
        }
        for name, value in names.items():
            monkeypatch.setattr(tl, name, value)

    def calls(self, *names):
        return [entry for entry in self.log if entry[0] in names]


@pytest.fixture
def host(tl, monkeypatch):
    return Host(tl, monkeypatch)


def snapshot(log, orig_time=1500, **overrides):
    values = {"orig_time": orig_time, "security_id": "600000", "market_type": "mt"}
    values.update({attr: object() for _, attr in TICK_ROWS})
    values.update(overrides)
    return Record(log, **values)


# ---------------------------------------------------------------- snapshots

def test_snapshot_reads_each_attribute_once_in_order_and_fills_the_tick_in_key_order(tl, host, strategy):
    snap = snapshot(host.log)
    strategy.on_snapshot(snap)
    values = snap._values
    attrs = [e[1] for e in host.log if e[0] == "attr"]
    assert attrs == ["orig_time", "security_id", "market_type"] + [attr for _, attr in TICK_ROWS]
    assert host.log[:5] == [("attr", "orig_time"), ("convert", (1.5,)), ("attr", "security_id"),
                            ("attr", "market_type"), ("exchange", ("mt",))]
    tick = tl.history_tick[CODE][-1]
    assert list(tick) == ["market_code", "datetime"] + [key for key, _ in TICK_ROWS]
    assert tick["market_code"] == CODE
    assert all(tick[key] is values[attr] for key, attr in TICK_ROWS)


def test_snapshot_event_shares_the_time_and_the_dictionary(tl, host, strategy):
    strategy.on_snapshot(snapshot(host.log))
    tick = tl.history_tick[CODE][-1]
    tail = [e for e in host.log if e[0] not in ("attr", "convert", "exchange")]
    assert tail[:4] == [("member", "EVENT.TICK"), ("get_instance",), ("instruments", CODE),
                        ("TickObject", host.instrument, tick)]
    assert tail[4] == ("Event", ("EVENT.TICK",), ("calendar_dt", "trading_dt", "tick"))
    (posted,) = host.queue
    assert tail[5:] == [("append", posted)]
    kw = posted.kwargs
    assert kw["calendar_dt"] is kw["trading_dt"] is tick["datetime"]
    assert isinstance(kw["calendar_dt"], Stamp)
    assert kw["tick"] == ("tick", host.instrument, tick) and kw["tick"][2] is tick
    tick["last_price"] = "changed"
    assert tl.get_current_tick(CODE)["last_price"] == "changed"


@pytest.mark.parametrize("stamp, seconds", [(1500, 1.5), (3000, 3.0), (20240102093000123, 20240102093000.123)])
def test_stamps_reach_the_converter_as_floats(host, strategy, stamp, seconds):
    strategy.on_snapshot(snapshot(host.log, orig_time=stamp))
    (converted,) = host.calls("convert")
    assert converted[1] == (seconds,) and type(converted[1][0]) is float


def test_history_keeps_the_latest_sixty_and_is_created_once(tl, host, strategy):
    snaps = [snapshot(host.log, last_price=i) for i in range(1, 62)]
    for snap in snaps:
        strategy.on_snapshot(snap)
    history = tl.history_tick[CODE]
    assert host.deque_calls == [((), {"maxlen": 60})]
    assert type(history) is collections.deque and history.maxlen == 60
    assert [tick["last_price"] for tick in history] == list(range(2, 62))
    assert len(host.queue) == 61
    assert tl.history_ticks(CODE, 100)[0]["last_price"] == 2


def test_identical_snapshots_are_all_kept_and_posted(tl, host, strategy):
    values = snapshot(host.log)._values
    for _ in range(2):
        strategy.on_snapshot(Record(host.log, **values))
    first, second = tl.history_tick[CODE]
    assert first.keys() == second.keys() and first is not second
    assert all(first[key] is second[key] for key, _ in TICK_ROWS)
    assert len(host.queue) == 2


def raise_error(*args, **kwargs):
    raise RuntimeError("host failed")


@pytest.mark.parametrize("broken", ["instruments", "TickObject", "Event", "append"])
def test_event_failure_keeps_the_tick_and_posts_nothing(tl, host, strategy, monkeypatch, broken):
    if broken == "instruments":
        monkeypatch.setattr(tl.Environment.data_proxy, "instruments", staticmethod(raise_error))
    elif broken == "append":
        monkeypatch.setattr(host.queue, "append", raise_error)
    else:
        monkeypatch.setattr(tl, broken, raise_error)
    with pytest.raises(RuntimeError, match="host failed"):
        strategy.on_snapshot(snapshot(host.log))
    assert len(tl.history_tick[CODE]) == 1
    assert list(host.queue) == []


@pytest.mark.parametrize("fault, error", [
    (lambda values: values.pop("iopv"), AttributeError),       # the last value of the dictionary
    (lambda values: values.update(security_id=600000), TypeError),
    (lambda values: values.update(orig_time="x"), TypeError),
])
def test_failure_before_the_history_changes_nothing(tl, host, strategy, fault, error):
    snap = snapshot(host.log)
    fault(snap._values)
    with pytest.raises(error):
        strategy.on_snapshot(snap)
    assert dict(tl.history_tick) == {} and host.deque_calls == [] and list(host.queue) == []


@pytest.mark.parametrize("missing", [("event_queue", "Event"), ("Event", "TickObject"),
                                     ("TickObject", "Environment"), ("Environment",)])
def test_snapshot_looks_up_globals_in_order(tl, host, strategy, monkeypatch, missing):
    for name in missing:
        monkeypatch.delattr(tl, name)
    with pytest.raises(NameError, match=f"name '{missing[0]}' is not defined"):
        strategy.on_snapshot(snapshot(host.log))
    read_member = ("member", "EVENT.TICK") in host.log
    assert read_member == (missing[0] in ("TickObject", "Environment"))
    assert host.calls("get_instance", "instruments") == []
    assert len(tl.history_tick[CODE]) == 1


@pytest.mark.parametrize("callback, record", [
    ("on_snapshot", lambda log: snapshot(log)), ("on_tick_order", lambda log: tick_order(log)),
    ("on_tick_trade", lambda log: tick_trade(log)), ("on_bar", lambda log: bar(log)),
])
def test_queue_append_is_resolved_before_the_event_is_built(tl, host, strategy, monkeypatch, callback, record):
    host.universe = ["only"]
    monkeypatch.setattr(tl, "event_queue", None)
    with pytest.raises(AttributeError, match="append"):
        getattr(strategy, callback)(record(host.log))
    assert host.calls("Event", "instruments", "TickObject") == []
    assert not [e for e in host.log if e[0] == "member" and e[1].startswith("EVENT")]


def test_a_day_switch_starts_a_new_history(tl, host, strategy):
    strategy.on_snapshot(snapshot(host.log))
    strategy.on_switch_day()
    strategy.on_snapshot(snapshot(host.log))
    assert len(tl.history_tick[CODE]) == 1 and len(host.deque_calls) == 2


class Store(dict):
    """A history store that is not a plain dict: the generic protocol applies."""

    def __init__(self, log):
        super().__init__()
        self.log = log

    def __contains__(self, key):
        self.log.append(("contains", key))
        return super().__contains__(key)

    def __setitem__(self, key, value):
        self.log.append(("setitem", key))
        super().__setitem__(key, value)

    def __getitem__(self, key):
        self.log.append(("getitem", key))
        return super().__getitem__(key)


@pytest.mark.parametrize("callback, store_name, record", [
    ("on_snapshot", "history_tick", lambda log: snapshot(log)),
    ("on_bar", "history_bar", lambda log: bar(log)),
])
def test_a_store_that_is_not_a_plain_dict_sees_test_set_get(tl, host, strategy, monkeypatch,
                                                            callback, store_name, record):
    store = Store(host.log)
    monkeypatch.setattr(tl, store_name, store)
    for _ in range(2):
        getattr(strategy, callback)(record(host.log))
    ops = host.calls("contains", "setitem", "getitem")
    assert ops == [("contains", CODE), ("setitem", CODE), ("getitem", CODE), ("contains", CODE), ("getitem", CODE)]
    assert len(store[CODE]) == 2


# ---------------------------------------------------------------- level-2

def tick_order(log, **overrides):
    values = dict(order_time=1500, security_id="600000", market_type="mt", side=49, biz_index="biz",
                  order_price="price", order_volume="vol", order_type=50, orig_order_no="orig")
    values.update(overrides)
    return Record(log, **values)


def tick_trade(log, **overrides):
    values = dict(trade_time=1500, security_id="600000", market_type="mt", bid_appl_seq_num=5,
                  offer_appl_seq_num=3, biz_index="biz", trade_price="price", trade_volume="vol",
                  value_trade="value", trade_type=70)
    values.update(overrides)
    return Record(log, **values)


def test_tick_order_reads_looks_up_and_calls_in_order(tl, host, strategy):
    strategy.on_tick_order(tick_order(host.log))
    log = host.log
    dt = log[1]
    assert log[:5] == [("attr", "order_time"), dt, ("attr", "security_id"), ("attr", "market_type"),
                       ("exchange", ("mt",))]
    assert log[5:19] == [
        ("attr", "side"), ("attr", "market_type"), ("side_of", ("1", "mt")),
        ("read", "L2Order.__from_create__"),
        ("attr", "biz_index"), ("attr", "order_price"), ("attr", "order_volume"),
        ("attr", "order_type"), ("attr", "market_type"), ("order_type_of", ("2", "mt")),
        ("attr", "orig_order_no"),
        ("attr", "order_type"), ("attr", "market_type"), ("l2_type_of", ("2", "mt")),
    ]
    assert log[19][0] == "L2Order" and log[20] == ("member", "EVENT.L2_ORDER")
    (created,) = host.calls("L2Order")
    args = created[1]
    assert len(args) == 9
    assert args[:2] == ("biz", CODE) and isinstance(args[2], Stamp)
    assert args[3:] == ("side:1", "price", "vol", "type:2", "orig", "l2:2")
    (posted,) = host.queue
    assert posted.args == ("EVENT.L2_ORDER",) and list(posted.kwargs) == ["calendar_dt", "trading_dt", "l2_order"]
    assert posted.kwargs["calendar_dt"] is posted.kwargs["trading_dt"] is args[2]
    assert posted.kwargs["l2_order"] == ("L2Order", args)
    assert log[-2:] == [("Event", ("EVENT.L2_ORDER",), ("calendar_dt", "trading_dt", "l2_order")), ("append", posted)]


def test_tick_trade_reads_looks_up_and_calls_in_order(tl, host, strategy):
    strategy.on_tick_trade(tick_trade(host.log))
    log = host.log
    assert [e[1] for e in log if e[0] == "attr"] == [
        "trade_time", "security_id", "market_type", "bid_appl_seq_num", "offer_appl_seq_num", "biz_index",
        "trade_price", "trade_volume", "value_trade", "trade_type", "bid_appl_seq_num", "offer_appl_seq_num"]
    assert log[5:9] == [("attr", "bid_appl_seq_num"), ("attr", "offer_appl_seq_num"), ("member", "SIDE.BUY"),
                        ("read", "L2Transaction.__from_create__")]
    assert ("trade_type_of", ("F",)) in log
    (created,) = host.calls("L2Transaction")
    args = created[1]
    assert len(args) == 10 and isinstance(args[2], Stamp)
    assert args[:2] == ("biz", CODE)
    assert args[3:] == ("SIDE.BUY", "price", "vol", "value", "trade:F", 5, 3)
    (posted,) = host.queue
    assert posted.args == ("EVENT.L2_TRANSACTION",)
    assert list(posted.kwargs) == ["calendar_dt", "trading_dt", "l2_transaction"]
    assert posted.kwargs["calendar_dt"] is posted.kwargs["trading_dt"] is args[2]


class Truth:
    """A comparison result that is not a bool: only its truth value decides."""

    def __init__(self, truth):
        self.truth = truth

    def __gt__(self, other):
        return self.truth


@pytest.mark.parametrize("bid, offer, side", [
    (5, 3, "SIDE.BUY"), (3, 3, "SIDE.SELL"), (2, 3, "SIDE.SELL"),
    (Truth([1]), 0, "SIDE.BUY"), (Truth(""), 0, "SIDE.SELL"),
])
def test_transaction_side_is_decided_by_the_sequence_numbers(host, strategy, bid, offer, side):
    strategy.on_tick_trade(tick_trade(host.log, bid_appl_seq_num=bid, offer_appl_seq_num=offer))
    assert [e[1] for e in host.log if e[0] == "member" and e[1].startswith("SIDE")] == [side]
    assert host.calls("L2Transaction")[0][1][3] == side


class Code:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("code, char", [(49, "1"), (66, "B"), (True, "\x01"), (Code(83), "S"), (0x10FFFF, "\U0010FFFF")])
def test_code_characters_reach_the_mappings_as_one_character(host, strategy, code, char):
    strategy.on_tick_order(tick_order(host.log, side=code, order_type=code))
    strategy.on_tick_trade(tick_trade(host.log, trade_type=code))
    assert host.calls("side_of", "order_type_of", "l2_type_of", "trade_type_of") == [
        ("side_of", (char, "mt")), ("order_type_of", (char, "mt")), ("l2_type_of", (char, "mt")),
        ("trade_type_of", (char,))]


@pytest.mark.parametrize("code", [1.5, "1", None, -1, 0x110000, 2**31, -2**31 - 1, 2**70])
def test_a_bad_code_fails_as_chr_does_and_posts_nothing(host, strategy, code):
    with pytest.raises(Exception) as expected:
        chr(code)
    for call, record in [(strategy.on_tick_order, tick_order(host.log, side=code)),
                         (strategy.on_tick_trade, tick_trade(host.log, trade_type=code))]:
        with pytest.raises(type(expected.value)) as raised:
            call(record)
        assert str(raised.value) == str(expected.value)
    assert list(host.queue) == []


def test_incomparable_sequence_numbers_fail_before_the_factory(host, strategy):
    with pytest.raises(TypeError):
        strategy.on_tick_trade(tick_trade(host.log, bid_appl_seq_num=None))
    assert ("read", "L2Transaction.__from_create__") not in host.log and list(host.queue) == []


def test_level2_data_leaves_the_histories_alone(tl, host, strategy):
    strategy.on_tick_order(tick_order(host.log))
    strategy.on_tick_trade(tick_trade(host.log))
    assert dict(tl.history_tick) == {} and dict(tl.history_bar) == {} and host.deque_calls == []
    assert len(host.queue) == 2


# ---------------------------------------------------------------- bars

def bar(log, end_time=60000, **overrides):
    values = dict(security_id="600000", market_type="mt", end_time=end_time, orig_time="never read")
    values.update({attr: object() for _, attr in BAR_ROWS})
    values.update(overrides)
    return Record(log, **values)


def test_bar_dictionary_and_its_unbounded_history(tl, host, strategy):
    records = [bar(host.log) for _ in range(70)]
    for record in records:
        strategy.on_bar(record)
    history = tl.history_bar[CODE]
    assert host.deque_calls == [((), {})]
    assert type(history) is collections.deque and history.maxlen is None and len(history) == 70
    first = history[0]
    assert list(first) == ["market_code", "orig_time"] + [key for key, _ in BAR_ROWS]
    assert first["market_code"] == CODE and first["orig_time"].seconds == 60.0
    assert all(first[key] is records[0]._values[attr] for key, attr in BAR_ROWS)


def watched_strategy(tl, log):
    """A strategy whose counter attributes log every read and write."""
    def watched(name):
        def get(self):
            log.append(("get", name))
            return self.__dict__[name]

        def set_(self, value):
            log.append(("set", name, value))
            self.__dict__[name] = value
        return property(get, set_)

    class Logged(tl.VornStrategy):
        bar_cnt = watched("bar_cnt")
        current_trade_dt = watched("current_trade_dt")

    return Logged(None)


@pytest.mark.parametrize("start_dt, start_cnt, universe, tail", [
    # idle strategy, universe of one: counted from 0, event, reset
    (0, 0, 1, [("get", "current_trade_dt"), ("get", "bar_cnt"), ("set", "bar_cnt", 1),
               ("attr", "end_time"), ("set", "current_trade_dt", 60.0), ("get", "bar_cnt"),
               ("get_instance",), ("get_universe",), ("get", "current_trade_dt"), ("whole_date", (60,)),
               ("member", "EVENT.BAR"), "Event", "append", ("set", "bar_cnt", 0)]),
    # same bar time, not yet complete: attribute and end time read again
    (60.0, 1, 3, [("get", "current_trade_dt"), ("get", "current_trade_dt"), ("attr", "end_time"),
                  ("get", "bar_cnt"), ("set", "bar_cnt", 2), ("attr", "end_time"),
                  ("set", "current_trade_dt", 60.0), ("get", "bar_cnt"), ("get_instance",), ("get_universe",)]),
    # another bar time: restart at 1
    (120.0, 2, 3, [("get", "current_trade_dt"), ("get", "current_trade_dt"), ("attr", "end_time"),
                   ("set", "bar_cnt", 1), ("attr", "end_time"), ("set", "current_trade_dt", 60.0),
                   ("get", "bar_cnt"), ("get_instance",), ("get_universe",)]),
])
def test_bar_counter_reads_and_writes_in_order(tl, host, start_dt, start_cnt, universe, tail):
    strategy = watched_strategy(tl, host.log)
    strategy.bar_cnt, strategy.current_trade_dt = start_cnt, start_dt
    host.universe = ["x"] * universe
    record = bar(host.log)
    del host.log[:]
    strategy.on_bar(record)
    assert [e[1] for e in host.log if e[0] == "attr"][:10] == ["security_id", "market_type", "end_time"] + [
        attr for _, attr in BAR_ROWS]
    start = host.log.index(("attr", "prev_close")) + 1
    seen = [e[0] if e[0] in ("Event", "append") else e for e in host.log[start:]]
    assert seen == tail


@pytest.mark.parametrize("universe, times, counts, events_after", [
    (3, [60, 60, 60], [1, 2, 0], [2]),
    (1, [60, 60, 120], [0, 0, 0], [0, 1, 2]),
    (0, [60, 60, 120, 120], [1, 2, 1, 2], []),
    (3, [60, 60, 120, 120, 120], [1, 2, 1, 2, 0], [4]),
    (3, [60, 60, 60, 60], [1, 2, 0, 1], [2]),
    (2, [-1500], [1], []),
])
def test_bar_counter_states(tl, host, strategy, universe, times, counts, events_after):
    host.universe = [f"c{i}" for i in range(universe)]
    seen, posted_at = [], []
    for i, seconds in enumerate(times):
        strategy.on_bar(bar(host.log, end_time=seconds * 1000))
        seen.append(strategy.bar_cnt)
        if len(host.queue) > len(posted_at):
            posted_at.append(i)
    assert seen == counts and posted_at == events_after
    assert strategy.current_trade_dt == times[-1] and type(strategy.current_trade_dt) is float


@pytest.mark.parametrize("end_time, whole", [(1500, 1), (60000, 60), (-1500, -1), (20240102093100000, 20240102093100)])
def test_bar_event_date_comes_from_the_truncated_bar_time(host, strategy, end_time, whole):
    host.universe = ["only"]
    strategy.on_bar(bar(host.log, end_time=end_time))
    assert strategy.current_trade_dt == end_time / 1000
    (call,) = host.calls("whole_date")
    assert call[1] == (whole,) and type(call[1][0]) is int
    (posted,) = host.queue
    assert posted.args == ("EVENT.BAR",) and list(posted.kwargs) == ["calendar_dt", "trading_dt"]
    assert posted.kwargs["calendar_dt"] is posted.kwargs["trading_dt"]
    assert posted.kwargs["calendar_dt"].seconds == whole


def test_failed_bar_event_leaves_the_count_unreset_and_that_bar_time_never_completes(tl, host, strategy,
                                                                                     monkeypatch):
    host.universe = ["a", "b"]
    strategy.on_bar(bar(host.log))
    with monkeypatch.context() as patch:
        patch.setattr(host.queue, "append", raise_error)
        with pytest.raises(RuntimeError):
            strategy.on_bar(bar(host.log))
    assert strategy.bar_cnt == 2 and len(tl.history_bar[CODE]) == 2
    for expected in (3, 4):
        strategy.on_bar(bar(host.log))
        assert strategy.bar_cnt == expected
    assert list(host.queue) == []
    for expected in (1, 0):
        strategy.on_bar(bar(host.log, end_time=120000))
        assert strategy.bar_cnt == expected
    assert len(host.queue) == 1


@pytest.mark.parametrize("universe, error", [(RuntimeError("no universe"), RuntimeError), (42, TypeError)])
def test_universe_failure_keeps_the_bar_and_the_count(tl, host, strategy, monkeypatch, universe, error):
    def get_universe():
        if isinstance(universe, Exception):
            raise universe
        return universe
    monkeypatch.setattr(tl.Environment, "get_universe", staticmethod(get_universe))
    with pytest.raises(error):
        strategy.on_bar(bar(host.log))
    assert strategy.bar_cnt == 1 and strategy.current_trade_dt == 60.0
    assert len(tl.history_bar[CODE]) == 1 and list(host.queue) == []


def test_bar_with_a_missing_attribute_changes_nothing(tl, host, strategy):
    record = bar(host.log)
    del record._values["prev_close"]
    with pytest.raises(AttributeError):
        strategy.on_bar(record)
    assert dict(tl.history_bar) == {} and strategy.bar_cnt == 0 and strategy.current_trade_dt == 0
