"""The strategy's own life: construction, initialisation (brokers, bar
subscription, arming the clock), the login answer and the day switch."""
import types
from datetime import date, datetime

import pytest

import pyvorn.strategy
from conftest import STORES, Recorder, make_config
from corvix.tarrow.config import BaseConfig, Config, TradingCalendar
from corvix.tarrow.core.events import EVENT
from pyvorn.context import Context
from pyvorn.enums import AlgoType, MarketType, MDType, SubscribeDataType, TDType
from pyvorn.timer import VirtualTimerService


class Armed(Exception):
    """Stands for the clock: raised by set_timer, so initialize's last step shows."""


@pytest.fixture
def td_types(tl, monkeypatch):
    """get_vorn_tdtype that records its argument and answers a distinct value per call."""
    calls = []

    def get_vorn_tdtype(name):
        calls.append(name)
        return (len(calls), name)
    monkeypatch.setattr(tl, "get_vorn_tdtype", get_vorn_tdtype)
    return calls


@pytest.fixture
def vorn_params(tl, monkeypatch):
    params = {}
    monkeypatch.setattr(tl, "vorn_params", params)
    return params


def started(tl, **base):
    """A strategy with a recording context and a set_timer that only notes it ran."""
    s = tl.VornStrategy(make_config(**base))
    s.context = Recorder()
    s.set_timer = lambda: s.context.calls.append(("set_timer", (), {}))
    return s


# ---------------------------------------------------------------- construction

def test_construction_sets_the_initial_attributes(tl, monkeypatch):
    class FixedDatetime(datetime):
        @classmethod
        def now(cls, tz=None):
            return cls(2031, 5, 6, 23, 59, 59)
    monkeypatch.setattr(tl, "datetime", FixedDatetime)
    config = make_config()
    s = tl.VornStrategy(config=config)
    assert s.logged_in is False and s.order_num == 0 and s.bar_cnt == 0
    assert type(s.current_trade_dt) is int and s.current_trade_dt == 0
    assert type(s.first_dt) is date and s.first_dt == date(2031, 5, 6)
    assert s.config is config
    assert s.context is None                                  # left to the SDK base


def test_base_initialiser_runs_first_with_no_arguments(tl, monkeypatch):
    seen = []

    def base_init(self, *args, **kwargs):
        seen.append((args, kwargs, dict(vars(self))))
    monkeypatch.setattr(pyvorn.strategy.VornStrategy, "__init__", base_init)
    tl.VornStrategy(make_config())
    assert seen == [((), {}, {})]


def test_failing_base_initialiser_leaves_nothing_set(tl, monkeypatch):
    def base_init(self):
        raise RuntimeError("sdk refused")
    monkeypatch.setattr(pyvorn.strategy.VornStrategy, "__init__", base_init)
    s = tl.VornStrategy.__new__(tl.VornStrategy)
    with pytest.raises(RuntimeError, match="sdk refused"):
        tl.VornStrategy.__init__(s, make_config())
    assert vars(s) == {}


def test_base_initialiser_is_reached_through_the_mro(tl):
    """super() names VornStrategy, so a class mixed in after it is initialised too."""
    class Mixin(pyvorn.strategy.VornStrategy):
        def __init__(self):
            self.mixed = True
            super().__init__()

    class Mine(tl.VornStrategy, Mixin):
        pass
    s = Mine(make_config())
    assert s.mixed is True and s.context is None and s.bar_cnt == 0


# ---------------------------------------------------------------- initialize

@pytest.mark.parametrize("base, member", [
    ({}, MDType.XMD),
    ({"md_type": None}, MDType.XMD),
    ({"md_type": "XMD"}, MDType.XMD),
    ({"md_type": "vomd"}, MDType.XMD),
    ({"md_type": "VOMD"}, MDType.XMD),
    ({"md_type": "VoMD "}, MDType.XMD),
    ({"md_type": "VoMD"}, MDType.VoMD),
])
def test_market_data_broker_follows_md_type(tl, vorn_params, base, member):
    s = started(tl, **base)
    s.initialize(None)
    assert s.context.calls[0] == ("add_md_broker", (member,), {})
    assert vorn_params["vorn_md"] is member


def test_md_type_compares_with_its_own_eq(tl, vorn_params):
    class Loose:
        def __eq__(self, other):
            return other == "VoMD"
    s = started(tl, md_type=Loose())
    s.initialize(None)
    assert vorn_params["vorn_md"] is MDType.VoMD


class RaisingBase:
    """A config base whose optional fields raise on lookup: they count as absent."""
    accounts = {}

    @property
    def md_type(self):
        raise RuntimeError("broken")

    order_way = md_type
    algo_account = md_type


def test_optional_fields_that_raise_count_as_absent(tl, vorn_params):
    s = tl.VornStrategy(types.SimpleNamespace(base=RaisingBase()))
    s.context = Recorder()
    s.set_timer = lambda: None
    s.initialize(None)
    assert s.context.names() == ["add_md_broker", "subscribe"]
    assert vorn_params["vorn_md"] is MDType.XMD


@pytest.mark.parametrize("base, expected", [
    ({}, []),
    ({"order_way": None}, [("set_order_way", (None,), {})]),
    ({"order_way": "direct"}, [("set_order_way", ("direct",), {})]),
])
def test_order_way_is_passed_on_when_present(tl, vorn_params, base, expected):
    s = started(tl, **base)
    s.initialize(None)
    assert [c for c in s.context.calls if c[0] == "set_order_way"] == expected


def test_one_trading_broker_per_account_in_mapping_order(tl, vorn_params, td_types):
    s = started(tl, accounts={"stock": "1001_xtp", "credit": "LEAK_Atp", "fut": "3_OST"})
    s.initialize(None)
    # asked twice per account, with the gateway part upper-cased; the part before "_" goes nowhere
    assert td_types == ["XTP", "XTP", "ATP", "ATP", "OST", "OST"]
    assert [c for c in s.context.calls if c[0] == "add_td_broker"] == [
        ("add_td_broker", ((1, "XTP"),), {}),
        ("add_td_broker", ((3, "ATP"),), {}),
        ("add_td_broker", ((5, "OST"),), {})]
    assert vorn_params["vorn_td"] == (6, "OST")
    assert "LEAK" not in repr(s.context.calls)


def test_empty_accounts_keep_an_earlier_trading_type(tl, vorn_params, td_types):
    vorn_params["vorn_td"] = "earlier"
    s = started(tl, accounts={})
    s.initialize(None)
    assert vorn_params["vorn_td"] == "earlier" and td_types == []
    assert "add_td_broker" not in s.context.names()


@pytest.mark.parametrize("bad, message", [
    ("1001XTP", "not enough values to unpack (expected 2, got 1)"),
    ("1_2_XTP", "too many values to unpack (expected 2)"),
])
def test_bad_account_string_stops_after_earlier_brokers(tl, vorn_params, td_types, bad, message):
    s = started(tl, accounts={"a": "1_xtp", "b": bad, "c": "3_ost"})
    with pytest.raises(ValueError) as info:
        s.initialize(None)
    assert str(info.value) == message
    assert s.context.names() == ["add_md_broker", "add_td_broker"]
    assert vorn_params == {"vorn_md": MDType.XMD, "vorn_td": (2, "XTP")}


class ItemsOf:
    def __init__(self, *items):
        self._items = items

    def items(self):
        return self._items


def test_unpacking_an_account_item_fails_as_the_interpreter_words_it(tl, vorn_params):
    s = started(tl, accounts=ItemsOf(5))
    with pytest.raises(TypeError, match=r"^cannot unpack non-iterable int object$"):
        s.initialize(None)


@pytest.mark.parametrize("accounts, message", [
    (None, "'NoneType' object has no attribute 'items'"),
    (object(), "'object' object has no attribute 'items'"),
])
def test_accounts_without_items_fail_after_market_data(tl, vorn_params, accounts, message):
    s = started(tl, accounts=accounts, order_way=1)
    with pytest.raises(AttributeError, match=message):
        s.initialize(None)
    assert s.context.names() == ["add_md_broker", "set_order_way"]
    assert list(vorn_params) == ["vorn_md"]


def test_missing_accounts_fail_after_market_data(tl, vorn_params):
    s = tl.VornStrategy(types.SimpleNamespace(base=types.SimpleNamespace()))
    s.context = Recorder()
    with pytest.raises(AttributeError, match="accounts"):
        s.initialize(None)
    assert s.context.names() == ["add_md_broker"] and list(vorn_params) == ["vorn_md"]


@pytest.mark.parametrize("base, registered", [
    ({}, False),
    ({"algo_account": None}, False),
    ({"algo_account": "2001_XTP"}, False),
    ({"algo_account": "2001_XTAX"}, False),
    ({"algo_account": "2001_XTA"}, True),
    ({"algo_account": "2001_xta"}, True),
    ({"algo_account": "2001_xTa"}, True),
])
def test_algo_broker_only_for_an_xta_gateway(tl, vorn_params, base, registered):
    s = started(tl, **base)
    s.initialize(None)
    algo = [c for c in s.context.calls if c[0] == "add_algo_broker"]
    assert algo == ([("add_algo_broker", (AlgoType.XTA,), {})] if registered else [])


@pytest.mark.parametrize("bad", ["2001XTA", "1_2_XTA"])
def test_bad_algo_account_raises(tl, vorn_params, bad):
    s = started(tl, algo_account=bad)
    with pytest.raises(ValueError):
        s.initialize(None)
    assert "vorn_context" not in vorn_params and "subscribe" not in s.context.names()


def test_initialize_runs_every_step_in_order(tl, vorn_params, td_types, logs):
    s = started(tl, md_type="VoMD", order_way="w", accounts={"s": "1_XTP"}, algo_account="2_XTA")
    assert s.initialize(config="ignored") is None
    assert logs.system.infos == ["VornStrategy initialize..."]
    assert s.context.names() == ["add_md_broker", "set_order_way", "add_td_broker", "add_algo_broker",
                                 "subscribe", "set_timer"]
    name, args, kwargs = s.context.calls[4]
    assert args == (MDType.VoMD, MarketType.SZSE, SubscribeDataType.Bar, [], "1m") and kwargs == {}
    assert type(args[3]) is list
    assert vorn_params["vorn_context"] is s.context
    assert list(vorn_params) == ["vorn_md", "vorn_td", "vorn_context"]


def test_config_and_context_are_read_afresh_at_each_use(tl, vorn_params, td_types):
    reads = []

    class Base:
        md_type, order_way, accounts, algo_account = "VoMD", "w", {"s": "1_XTP", "c": "2_OST"}, "3_XTA"

        def __getattribute__(self, name):
            reads.append(name)
            return object.__getattribute__(self, name)

    class Mine(tl.VornStrategy):
        @property
        def context(self):
            reads.append("context")
            return self._ctx

        @context.setter
        def context(self, value):
            self._ctx = value

        def set_timer(self):
            reads.append("set_timer")
    s = Mine(types.SimpleNamespace(base=Base()))
    s.context = Recorder()
    s.initialize(None)
    assert reads == [
        "md_type", "md_type", "context",
        "order_way", "context", "order_way",
        "accounts", "context", "context",
        "algo_account", "algo_account", "algo_account", "context",
        "context", "context", "set_timer"]


def test_each_subscription_gets_a_fresh_list(tl, vorn_params):
    s = started(tl)
    s.initialize(None)
    s.initialize(None)
    lists = [args[3] for name, args, _ in s.context.calls if name == "subscribe"]
    assert len(lists) == 2 and lists[0] is not lists[1]


def test_initialize_reads_the_constructors_config(tl, vorn_params):
    config = make_config(md_type="XMD")
    s = tl.VornStrategy(config)
    s.context = Recorder()
    s.set_timer = lambda: None
    config.base.md_type = "VoMD"                          # changed by the host after construction
    s.initialize(make_config(md_type="XMD", accounts=None))
    assert vorn_params["vorn_md"] is MDType.VoMD


def test_initialize_arms_the_clock_through_self(tl, vorn_params):
    class Mine(tl.VornStrategy):
        def set_timer(self):
            raise Armed
    s = Mine(make_config())
    s.context = Recorder()
    with pytest.raises(Armed):
        s.initialize(None)
    assert vorn_params["vorn_context"] is s.context and s.context.names()[-1] == "subscribe"


@pytest.mark.parametrize("missing, done", [
    ("MDType", []),
    ("AlgoType", ["add_md_broker"]),
    ("MarketType", ["add_md_broker"]),
    ("SubscribeDataType", ["add_md_broker"]),
])
def test_missing_enumeration_raises_name_error(tl, vorn_params, monkeypatch, missing, done):
    monkeypatch.delattr(tl, missing)
    s = started(tl, algo_account="1_XTP" if missing != "AlgoType" else "1_XTA")
    with pytest.raises(NameError, match=f"^name '{missing}' is not defined$") as info:
        s.initialize(None)
    assert info.value.name == missing
    assert s.context.names() == done


@pytest.mark.parametrize("missing, method", [
    ("MDType", "add_md_broker"),
    ("AlgoType", "add_algo_broker"),
    ("MarketType", "subscribe"),
])
def test_context_method_is_looked_up_before_its_arguments(tl, vorn_params, monkeypatch, missing, method):
    class Partial:
        """A context offering every registration but one."""
        def __getattr__(self, name):
            if name == method:
                raise AttributeError(name)
            return lambda *args: None
    monkeypatch.delattr(tl, missing)
    s = tl.VornStrategy(make_config(algo_account="1_XTA"))
    s.context = Partial()
    with pytest.raises(AttributeError, match=method):
        s.initialize(None)


def test_logger_method_is_looked_up_before_the_record_is_read(tl, strategy, monkeypatch):
    monkeypatch.setattr(tl, "system_log", object())
    with pytest.raises(AttributeError, match="info"):
        strategy.on_login(types.SimpleNamespace())


def test_initialize_against_the_sdk_context(tl, events):
    """The stand-in SDK checks every registration's types and arms real timers."""
    config = Config(base=BaseConfig(accounts={"STOCK": "1001_xtp", "CREDIT": "1002_SIM"},
                                    md_type="VoMD", algo_account="2001_xta",
                                    trading_calendar=TradingCalendar([])))
    s = tl.VornStrategy(config)
    context = Context(timer_service=VirtualTimerService())
    context.start(s, config)
    assert context.md_brokers == [MDType.VoMD]
    assert context.td_brokers == [TDType.XTP, TDType.SIM]
    assert context.algo_brokers == [AlgoType.XTA]
    assert [tuple(sub) for sub in context.subscriptions] == [
        (MDType.VoMD, MarketType.SZSE, SubscribeDataType.Bar, [], "1m")]
    assert tl.vorn_params["vorn_td"] is TDType.SIM and tl.vorn_params["vorn_context"] is context
    assert [h.callback.__name__ for h in context.timers] == ["set_timer"]   # not a trading day


# ---------------------------------------------------------------- login

class LoginRecord:
    def __init__(self, reads, **fields):
        object.__setattr__(self, "_reads", reads)
        for k, v in fields.items():
            object.__setattr__(self, k, v)

    def __getattribute__(self, name):
        if not name.startswith("_"):
            object.__getattribute__(self, "_reads").append(name)
        return object.__getattribute__(self, name)


@pytest.mark.parametrize("account, code, text", [
    (1234567, 0, "on_login fund_account_id:1234567, error_code:0"),
    ("A01", -17, "on_login fund_account_id:A01, error_code:-17"),
    (None, 1.5, "on_login fund_account_id:None, error_code:1.5"),
])
def test_login_is_logged_and_posted_alike_for_any_code(tl, strategy, events, logs, account, code, text):
    reads = []
    record = LoginRecord(reads, fund_account_id=account, error_code=code, client_seq_id=9, error_msg="m")
    assert strategy.on_login(record) is None
    assert logs.system.infos == [text]
    assert reads == ["fund_account_id", "error_code", "client_seq_id", "fund_account_id", "error_code",
                     "error_msg"]
    (event,) = events
    assert event.event_type is EVENT.LOGIN and event.fields == ("rid", "account_id", "code", "msg")
    assert event.rid == 9 and event.account_id is account and event.code is code and event.msg == "m"
    assert strategy.logged_in is False


def test_login_text_uses_format_not_str(tl, strategy, events, logs):
    class Shown:
        def __format__(self, spec):
            return f"fmt[{spec}]"

        def __str__(self):
            return "str"
    record = types.SimpleNamespace(fund_account_id=Shown(), error_code=Shown(), client_seq_id=1, error_msg="")
    strategy.on_login(record)
    assert logs.system.infos == ["on_login fund_account_id:fmt[], error_code:fmt[]"]


def test_login_record_missing_a_field_logs_but_posts_nothing(tl, strategy, events, logs):
    record = types.SimpleNamespace(fund_account_id=1, error_code=0, client_seq_id=1)
    with pytest.raises(AttributeError, match="error_msg"):
        strategy.on_login(record)
    assert len(logs.system.infos) == 1 and events == []


def test_login_event_is_built_before_the_queue_is_looked_up(tl, strategy, logs, monkeypatch):
    monkeypatch.delattr(tl, "Event")
    monkeypatch.delattr(tl, "event_queue")
    record = types.SimpleNamespace(fund_account_id=1, error_code=0, client_seq_id=1, error_msg="")
    with pytest.raises(NameError, match="'Event'"):
        strategy.on_login(record)


# ---------------------------------------------------------------- day switch

class Store(dict):
    def __init__(self, name, log, fail=False):
        super().__init__(x=1)
        self.name, self.log, self.fail = name, log, fail

    def clear(self):
        self.log.append(self.name)
        if self.fail:
            raise RuntimeError(self.name)
        super().clear()


def test_day_switch_clears_the_six_stores_in_order(tl, strategy, monkeypatch, events):
    log = []
    for name in STORES:
        monkeypatch.setattr(tl, name, Store(name, log))
    monkeypatch.setitem(tl.vorn_params, "vorn_md", "kept")
    events.append("kept")
    strategy.bar_cnt = 7
    assert strategy.on_switch_day() is None
    assert log == ["orders_dict", "history_bar", "history_tick", "algo_parent_orders",
                   "algo_child_orders", "algo_child_trades"]
    assert all(len(getattr(tl, name)) == 0 for name in STORES)
    assert events == ["kept"] and tl.vorn_params["vorn_md"] == "kept" and strategy.bar_cnt == 7
    strategy.on_switch_day()                             # nothing left to clear: harmless


ORDER = ["orders_dict", "history_bar", "history_tick", "algo_parent_orders", "algo_child_orders",
         "algo_child_trades"]


@pytest.mark.parametrize("failing", range(6))
def test_day_switch_stops_at_a_failing_store(tl, strategy, monkeypatch, failing):
    log = []
    for i, name in enumerate(ORDER):
        monkeypatch.setattr(tl, name, Store(name, log, fail=i == failing))
    with pytest.raises(RuntimeError, match=ORDER[failing]):
        strategy.on_switch_day()
    assert log == ORDER[:failing + 1]
    assert [len(getattr(tl, name)) for name in ORDER] == [0] * failing + [1] * (6 - failing)


def test_day_switch_missing_store_raises_name_error(tl, strategy, monkeypatch):
    tl.orders_dict["o"] = 1
    tl.history_tick["t"] = 1
    monkeypatch.delattr(tl, "history_bar")
    with pytest.raises(NameError, match="'history_bar'"):
        strategy.on_switch_day()
    assert tl.orders_dict == {} and tl.history_tick == {"t": 1}


def test_on_initialize_does_nothing(tl, strategy, events):
    before = dict(vars(strategy))
    assert strategy.on_initialize() is None
    assert vars(strategy) == before and events == []
