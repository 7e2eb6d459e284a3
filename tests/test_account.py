"""Asset and position query answers: the log lines, the event forms for a
failed and a successful query, and how a broken position record is skipped
without losing the others."""
import decimal
import sys

import pytest

from corvix.tarrow.const import POSITION_DIRECTION
from corvix.tarrow.portfolio.account import Asset
from corvix.tarrow.portfolio.position import Position
from pyvorn.enums import MarketType
from pyvorn.records import AssetRes, PositionRecord

ASSET_ATTRS = ["fund_account_id", "available_t1", "frozen_all", "market_value", "total_asset",
               "leaves_value", "init_leaves_value"]


class Record:
    """A gateway record whose attribute reads are logged; a value that is an
    exception instance is raised when read."""

    def __init__(self, log=None, **values):
        object.__setattr__(self, "_log", log if log is not None else [])
        object.__setattr__(self, "_values", values)

    def __getattribute__(self, name):
        if name.startswith("_"):
            return object.__getattribute__(self, name)
        object.__getattribute__(self, "_log").append(name)
        values = object.__getattribute__(self, "_values")
        if name not in values:
            raise AttributeError(name)
        if isinstance(values[name], BaseException):
            raise values[name]
        return values[name]


def asset_res():
    return AssetRes(fund_account_id="F1", available_t1=1.5, frozen_all=2.5, market_value=3.5, total_asset=4.5,
                    leaves_value=5.5, init_leaves_value=6.5)


def position(security_id="000001", **values):
    fields = dict(security_id=security_id, market_id=MarketType.SZSE, init_qty=500, leaves_qty=300,
                  available_qty=200, cost_price=9.5, last_price=10.0, market_value=3000.0, profit_loss=150.0)
    fields.update(values)
    return fields


# ---------------------------------------------------------------- asset

def test_asset_log_line(events, logs, strategy):
    strategy.on_query_asset(asset_res(), 7, 3, "no such account")
    assert logs.system.infos == ["on_query_asset, F1, leaves_value:5.5 code 3  ms no such account"]


@pytest.mark.parametrize("code", [0, 0.0, False, decimal.Decimal("0")])
def test_asset_success(events, logs, strategy, code):
    record = asset_res()
    strategy.on_query_asset(record, 11, code, "ok")
    (event,) = events
    assert (event.event_type.name, event.fields) == ("QUERY_ACCOUNT", ("rid", "account_id", "asset"))
    assert event.rid == 11 and event.account_id is record.fund_account_id
    assert event.asset == Asset("F1", 1.5, 2.5, 3.5, 4.5, 5.5, 6.5)
    assert event.asset.account_id is event.account_id


@pytest.mark.parametrize("code", [3, -1, 0.5, "0"])
def test_asset_failure_builds_no_asset(tl, events, logs, strategy, monkeypatch, code):
    def no_asset(*args):
        raise AssertionError("Asset built for a failed query")

    monkeypatch.setattr(tl, "Asset", no_asset)
    strategy.on_query_asset(asset_res(), 11, code, "denied")
    (event,) = events
    assert (event.event_type.name, event.fields) == ("QUERY_ACCOUNT", ("rid", "account_id", "code", "msg"))
    assert (event.rid, event.account_id, event.code, event.msg) == (11, "F1", code, "denied")


@pytest.mark.parametrize("code, expected", [
    (0, ["fund_account_id", "leaves_value", "fund_account_id"] + ASSET_ATTRS),
    (9, ["fund_account_id", "leaves_value", "fund_account_id"]),
])
def test_asset_reads_in_order(tl, events, logs, strategy, monkeypatch, code, expected):
    log = []
    made = []
    monkeypatch.setattr(tl, "Asset", lambda *args: made.append(list(log)) or args)
    record = Record(log, **{name: name.upper() for name in ASSET_ATTRS})
    strategy.on_query_asset(asset_res=record, request_id=1, code=code, msg="m")
    assert log == expected
    if code == 0:
        assert events[0].asset == tuple(name.upper() for name in ASSET_ATTRS)
        assert made == [expected]


def test_asset_missing_field_fails_at_log_even_on_error(events, logs, strategy):
    with pytest.raises(AttributeError):
        strategy.on_query_asset(Record(fund_account_id="F1"), 1, 5, "err")
    assert events == [] and logs.system.infos == []


# ---------------------------------------------------------------- positions

def test_position_log_line_and_failed_query(events, logs, strategy):
    untouchable = Record()
    strategy.on_query_position(untouchable, 21, 5, "busy")
    assert logs.system.infos == ["on_query_position: code:5, msg:busy"]
    (event,) = events
    assert (event.event_type.name, event.fields) == ("QUERY_ACCOUNT", ("rid", "code", "msg"))
    assert (event.rid, event.code, event.msg) == (21, 5, "busy")
    assert untouchable._log == []


class Records(list):
    pass


@pytest.mark.parametrize("result", [[], (), tuple([PositionRecord(**position())]),
                                    Records([PositionRecord(**position())]), None],
                         ids=["empty", "tuple", "tuple-of-one", "list-subclass", "none"])
def test_positions_not_a_plain_nonempty_list(events, logs, strategy, result):
    strategy.on_query_position(result, 1, 0, "ok")
    assert events == [] and logs.system.infos == ["on_query_position: code:0, msg:ok"]


def test_positions_converted_in_order(events, logs, strategy):
    records = [PositionRecord(**position("000001")), PositionRecord(**position("000002", market_id=MarketType.SSE))]
    strategy.on_query_position(records, 31, 0.0, "ok")
    (event,) = events
    assert (event.event_type.name, event.fields, event.rid) == ("QUERY_POSITION", ("rid", "positions"), 31)
    assert type(event.positions) is list
    assert [p.market_code for p in event.positions] == ["000001.XSHE", "000002.XSHG"]
    first = event.positions[0]
    assert (first.direction, first.init_qty, first.quantity, first.available_qty, first.avg_price, first.last_price,
            first.market_value, first.daily_pnl) == (POSITION_DIRECTION.LONG, 500, 300, 200, 9.5, 10.0, 3000.0,
                                                     150.0)
    assert logs.user.warnings == []


def test_position_calls_and_state_key_order(tl, events, logs, strategy, monkeypatch):
    calls = []

    class Recorded:
        def __init__(self, *args):
            calls.append(("new", args))

        def set_state(self, state):
            calls.append(("set_state", list(state.items())))

    monkeypatch.setattr(tl, "Position", Recorded)
    log = []
    strategy.on_query_position([Record(log, **position())], 1, 0, "ok")
    assert calls == [("new", ("000001.XSHE", POSITION_DIRECTION.LONG, 500)),
                     ("set_state", [("quantity", 300), ("available_qty", 200), ("avg_price", 9.5),
                                    ("last_price", 10.0), ("market_value", 3000.0), ("daily_pnl", 150.0)])]
    assert log == ["security_id", "market_id", "init_qty", "leaves_qty", "available_qty", "cost_price",
                   "last_price", "market_value", "profit_loss"]


def test_bad_record_skipped_with_warning(events, logs, strategy):
    broken = dict(position("000002"))
    del broken["profit_loss"]
    records = [Record(**position("000001")), Record(**broken), Record(**position("000003"))]
    strategy.on_query_position(records, 1, 0, "ok")
    assert logs.user.warnings == ["on_query_position position do not add: 000002  exception: profit_loss"]
    assert [p.market_code for p in events[0].positions] == ["000001.XSHE", "000003.XSHE"]


@pytest.mark.parametrize("fault, text", [
    (dict(security_id=7), "unsupported operand type(s) for +: 'int' and 'str'"),
    (dict(market_id="nowhere"), None),
    (dict(init_qty=ValueError("bad qty")), "bad qty"),
])
def test_every_record_failing_posts_empty_list(events, logs, strategy, fault, text):
    strategy.on_query_position([Record(**position(**fault)), Record(**position(**fault))], 1, 0, "ok")
    assert events[0].positions == []
    assert len(logs.user.warnings) == 2
    if text is not None:
        assert logs.user.warnings[0].endswith("  exception: " + text)


def test_unreadable_security_id_shows_none(events, logs, strategy):
    records = [Record(**position(security_id=RuntimeError("gone"))), Record(**position("000009"))]
    strategy.on_query_position(records, 1, 0, "ok")
    assert logs.user.warnings == ["on_query_position position do not add: None  exception: gone"]
    assert [p.market_code for p in events[0].positions] == ["000009.XSHE"]


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_non_exception_from_record_propagates(events, logs, strategy, error):
    with pytest.raises(error):
        strategy.on_query_position([Record(**position(init_qty=error()))], 1, 0, "ok")
    assert events == [] and logs.user.warnings == []


def test_warning_sees_the_caught_exception(tl, events, logs, strategy, monkeypatch):
    seen = []

    class Logger:
        def warning(self, text):
            seen.append(sys.exc_info()[1])
            raise LookupError("log down")

    monkeypatch.setattr(tl, "user_system_log", Logger())
    cause = ValueError("bad qty")
    with pytest.raises(LookupError) as raised:
        strategy.on_query_position([Record(**position(init_qty=cause))], 1, 0, "ok")
    assert seen == [cause] and raised.value.__context__ is cause
    assert cause.__traceback__ is not None
    assert sys.exc_info() == (None, None, None)
    assert events == []


def test_list_changed_while_iterating(events, logs, strategy):
    records = []

    def clear_list():
        records.clear()
        return 500

    class Clearing:
        """init_qty empties the list: the loop stops after this record, like a list iterator."""
        security_id, market_id = "000001", MarketType.SZSE
        leaves_qty = available_qty = 1
        cost_price = last_price = market_value = profit_loss = 0.0

        @property
        def init_qty(self):
            return clear_list()

    records.extend([Clearing(), PositionRecord(**position("000002"))])
    strategy.on_query_position(records, 1, 0, "ok")
    assert [p.market_code for p in events[0].positions] == ["000001.XSHE"]

    class Growing(Clearing):
        @property
        def init_qty(self):
            records.append(PositionRecord(**position("000002")))
            return 5

    records[:] = [Growing()]
    strategy.on_query_position(records, 2, 0, "ok")
    assert [p.market_code for p in events[1].positions] == ["000001.XSHE", "000002.XSHE"]
