"""Order reports, trades and order-action errors: how each report moves the
host's live order and which events, with which snapshot of the order, reach
the host."""
import copy as copy_module
import dataclasses
import types

import pytest

from corvix.tarrow.const import ORDER_STATUS, SIDE
from corvix.tarrow.model.order import Order
from corvix.tarrow.portfolio.account import Account
from pyvorn.enums import OrderStatusType as S
from pyvorn.records import OrderActionError, OrderReport, TradeReport

CID = 4242
CODE = "000001.XSHE"


class FakeEnvironment:
    """Environment stand-in: get_instance() is itself; every account lookup is kept."""

    def __init__(self):
        self.account = Account("1001")
        self.lookups = []

    def get_instance(self):
        return self

    def get_account(self, market_code):
        self.lookups.append(market_code)
        return self.account


@pytest.fixture
def env(tl, monkeypatch):
    fake = FakeEnvironment()
    monkeypatch.setattr(tl, "Environment", fake)
    return fake


def host_order(tl, status=ORDER_STATUS.ACTIVE, filled=0, cid=CID):
    order = Order.__from_create__(CODE, 100, SIDE.BUY, 10.5, order_id=cid)
    order.status = status
    order.filled_quantity = filled
    order.unfilled_quantity = 100 - filled
    tl.orders_dict[cid] = order
    return order


def report(status, fill=0, cid=CID, **values):
    """A report for the order; `fill` > 0 announces a fill of that size at 10.5."""
    fields = dict(client_order_id=cid, security_id="000001", order_price=10.5, order_qty=100,
                  order_status=status, counter_order_id=77, frozen_trade_value=1050.0,
                  last_match_qty=fill, last_match_price=10.5 if fill else 0.0,
                  trade_qty=fill, total_trade_value=10.5 * fill)
    fields.update(values)
    return OrderReport(**fields)


def seen(events):
    """(event, field names, status and filled quantity of the order copy) per event."""
    return [(e.event_type.name, e.fields, e.order.status.name, e.order.filled_quantity) for e in events]


ORDER_FIELDS = ("account", "order")
TRADE_FIELDS = ("account", "trade", "order")

# (report status, fill, host status before, host filled before, events seen, host status after)
STATUS_TABLE = [
    (S.UnSend, 0, ORDER_STATUS.PENDING_NEW, 0, [("ORDER_CREATION_PASS", ORDER_FIELDS, "ACTIVE", 0)], "ACTIVE"),
    (S.Sended, 0, ORDER_STATUS.PENDING_NEW, 0, [("ORDER_CREATION_PASS", ORDER_FIELDS, "ACTIVE", 0)], "ACTIVE"),
    (S.Sended, 0, ORDER_STATUS.ACTIVE, 0, [], "ACTIVE"),
    (S.Sended, 0, ORDER_STATUS.PARTIALLY_FILLED, 30,
     [("ORDER_CREATION_PASS", ORDER_FIELDS, "ACTIVE", 30)], "ACTIVE"),
    (S.PartiallyFilled, 40, ORDER_STATUS.ACTIVE, 0,
     [("TRADE", TRADE_FIELDS, "PARTIALLY_FILLED", 40)], "PARTIALLY_FILLED"),
    (S.PartiallyFilled, 0, ORDER_STATUS.ACTIVE, 0, [], "ACTIVE"),
    (S.Filled, 100, ORDER_STATUS.ACTIVE, 0, [("TRADE", TRADE_FIELDS, "FILLED", 100)], "FILLED"),
    (S.Filled, 0, ORDER_STATUS.ACTIVE, 0, [], "ACTIVE"),
    (S.PartiallyFilledPartiallyCancelled, 40, ORDER_STATUS.ACTIVE, 0,
     [("TRADE", TRADE_FIELDS, "ACTIVE", 40), ("ORDER_CANCELLATION_PASS", ORDER_FIELDS, "CANCELLED", 40)],
     "CANCELLED"),
    (S.PartiallyFilledPartiallyCancelled, 0, ORDER_STATUS.PARTIALLY_FILLED, 30,
     [("ORDER_CANCELLATION_PASS", ORDER_FIELDS, "CANCELLED", 30)], "CANCELLED"),
    (S.Cancelled, 40, ORDER_STATUS.ACTIVE, 0,
     [("TRADE", TRADE_FIELDS, "ACTIVE", 40), ("ORDER_CANCELLATION_PASS", ORDER_FIELDS, "CANCELLED", 40)],
     "CANCELLED"),
    (S.Cancelled, 0, ORDER_STATUS.ACTIVE, 0, [("ORDER_CANCELLATION_PASS", ORDER_FIELDS, "CANCELLED", 0)],
     "CANCELLED"),
    (S.WaitCancelled, 0, ORDER_STATUS.ACTIVE, 0, [("ORDER_PENDING_CANCEL", ORDER_FIELDS, "ACTIVE", 0)], "ACTIVE"),
    (S.WaitCancelled, 40, ORDER_STATUS.ACTIVE, 0,
     [("TRADE", TRADE_FIELDS, "ACTIVE", 40), ("ORDER_PENDING_CANCEL", ORDER_FIELDS, "PARTIALLY_FILLED", 40)],
     "PARTIALLY_FILLED"),
    (S.PartiallyFilledWaitCancelled, 0, ORDER_STATUS.ACTIVE, 30,
     [("ORDER_PENDING_CANCEL", ORDER_FIELDS, "PARTIALLY_FILLED", 30)], "PARTIALLY_FILLED"),
    (S.PartiallyFilledWaitCancelled, 40, ORDER_STATUS.ACTIVE, 0,
     [("TRADE", TRADE_FIELDS, "ACTIVE", 40), ("ORDER_PENDING_CANCEL", ORDER_FIELDS, "PARTIALLY_FILLED", 40)],
     "PARTIALLY_FILLED"),
    (S.Reject, 0, ORDER_STATUS.ACTIVE, 0, [("ORDER_UNSOLICITED_UPDATE", ORDER_FIELDS, "REJECTED", 0)],
     "REJECTED"),
    (S.Unknown, 40, ORDER_STATUS.ACTIVE, 0, [], "ACTIVE"),
    # a late acceptance never reopens a finished order
    (S.Sended, 0, ORDER_STATUS.FILLED, 100, [], "FILLED"),
    (S.UnSend, 0, ORDER_STATUS.CANCELLED, 0, [], "CANCELLED"),
    # later reports for a finished order still apply
    (S.Cancelled, 0, ORDER_STATUS.FILLED, 100, [("ORDER_CANCELLATION_PASS", ORDER_FIELDS, "CANCELLED", 100)],
     "CANCELLED"),
]


@pytest.mark.parametrize("status, fill, before, filled_before, expected, after", STATUS_TABLE,
                         ids=[f"{r[0].name}-fill{r[1]}-{r[2].name}" for r in STATUS_TABLE])
def test_status_table(tl, env, events, logs, strategy, status, fill, before, filled_before, expected, after):
    order = host_order(tl, before, filled_before)
    strategy.on_order(report(status, fill))
    assert seen(events) == expected
    assert order.status.name == after
    assert env.lookups == [CODE]
    for event in events:
        assert event.account is env.account
        assert event.order is not order and isinstance(event.order, Order)
    assert len(logs.system.infos) == 1


def test_log_line(tl, env, events, logs, strategy):
    strategy.on_order(report(S.Filled, 3, cid=99, error_msg="none", order_price=7.25,
                             total_trade_value=21.75))
    assert logs.system.infos == [
        "on_order:99, symbol: 000001, price:7.25, status:OrderStatusType.Filled, order_qty:100, "
        "trade_qty:3, total_trade_value: 21.75, error_msg:none, last_match_qty: 3"]


@pytest.mark.parametrize("make", [lambda tl: None, lambda tl: host_order(tl, cid=CID + 1)],
                         ids=["empty", "other-id"])
def test_unknown_order_is_logged_and_ignored(tl, env, events, logs, strategy, make):
    make(tl)
    strategy.on_order(report(S.Filled, 100))
    assert events == [] and env.lookups == []
    assert len(logs.system.infos) == 1


def test_fill_figures_and_trade(tl, env, events, logs, strategy):
    order = host_order(tl, ORDER_STATUS.PARTIALLY_FILLED, 10)
    strategy.on_order(report(S.PartiallyFilled, 30, last_match_price=11.0, trade_qty=40, total_trade_value=430))
    assert order.avg_price == 10.75 and isinstance(order.avg_price, float)
    assert (order.filled_quantity, order.unfilled_quantity) == (40, 60)
    (event,) = events
    trade = event.trade
    assert (trade.order_id, trade.price, trade.amount, trade.side, trade.position_effect, trade.market_code,
            trade.frozen_price) == (CID, 11.0, 30, order.side, order.position_effect, CODE, order.price)
    assert event.order.avg_price == 10.75


def test_trade_built_with_keywords_in_order(tl, env, events, logs, strategy, monkeypatch):
    calls = []

    class Trade:
        @classmethod
        def __from_create__(cls, *args, **kwargs):
            calls.append((args, list(kwargs)))
            return "the trade"

    monkeypatch.setattr(tl, "Trade", Trade)
    host_order(tl)
    strategy.on_order(report(S.Filled, 100))
    assert calls == [((), ["order_id", "price", "amount", "side", "position_effect", "market_code",
                           "frozen_price"])]
    assert events[0].trade == "the trade"


def test_same_fill_twice_is_not_deduplicated(tl, env, events, logs, strategy):
    host_order(tl)
    strategy.on_order(report(S.PartiallyFilled, 40))
    strategy.on_order(report(S.PartiallyFilled, 40))
    assert [e.event_type.name for e in events] == ["TRADE", "TRADE"]
    assert events[0].trade is not events[1].trade


@pytest.mark.parametrize("counter", [0, None, -5])
def test_unknown_counter_id_leaves_status(tl, env, events, logs, strategy, counter):
    order = host_order(tl, ORDER_STATUS.PENDING_NEW)
    strategy.on_order(report(S.Sended, counter_order_id=counter, frozen_trade_value=99.0))
    assert events == []
    assert (order.status, order.secondary_order_id, order.frozen_cash) == (ORDER_STATUS.PENDING_NEW, counter, 99.0)


def test_second_sended_updates_ids_without_event(tl, env, events, logs, strategy):
    order = host_order(tl, ORDER_STATUS.ACTIVE)
    strategy.on_order(report(S.Sended, counter_order_id=88, frozen_trade_value=12.0))
    assert events == []
    assert (order.secondary_order_id, order.frozen_cash) == (88, 12.0)


# ---------------------------------------------------------------- mended faults

@pytest.mark.parametrize("status", [S.Filled, S.PartiallyFilled, S.Cancelled])
def test_fill_without_cumulative_quantity_keeps_average(tl, env, events, logs, strategy, status):
    order = host_order(tl)
    order.avg_price = 9.5
    strategy.on_order(report(status, 20, trade_qty=0, total_trade_value=210.0))
    assert order.avg_price == 9.5
    assert (order.filled_quantity, order.unfilled_quantity) == (0, 100)
    assert events[0].event_type.name == "TRADE" and events[0].order.avg_price == 9.5


@pytest.mark.parametrize("code, msg, reason", [
    (12, "price out of range", "12_price out of range"),
    (12, 404, "12_404"),
    ("E7", None, "E7_None"),
    (3, b"raw", "3_b'raw'"),
])
def test_reject_reason(tl, env, events, logs, strategy, code, msg, reason):
    order = host_order(tl)
    strategy.on_order(report(S.Reject, error_code=code, error_msg=msg, frozen_trade_value=0.0))
    assert (order.status, order.message, order.frozen_cash) == (ORDER_STATUS.REJECTED, reason, 0.0)
    assert [e.event_type.name for e in events] == ["ORDER_UNSOLICITED_UPDATE"]
    assert events[0].order.message == reason


class Watched:
    """A host order (or report) whose attribute reads, writes and method calls
    go to one shared journal, so a test sees every touch in order."""

    def __init__(self, journal, tag, **fields):
        object.__setattr__(self, "_journal", journal)
        object.__setattr__(self, "_tag", tag)
        for name, value in fields.items():
            object.__setattr__(self, name, value)

    def __getattribute__(self, name):
        if not name.startswith("_"):
            object.__getattribute__(self, "_journal").append((object.__getattribute__(self, "_tag"), name))
        return object.__getattribute__(self, name)

    def __setattr__(self, name, value):
        self._journal.append((self._tag, "=" + name, value))
        object.__setattr__(self, name, value)

    def set_frozen_cash(self, value):
        self._journal.append((self._tag, "set_frozen_cash()", value))

    def mark_rejected(self, reason):
        self._journal.append((self._tag, "mark_rejected()", reason))


def watched_host(tl, journal, status):
    order = Watched(journal, "host", market_code=CODE, status=status, order_id=CID, side=SIDE.BUY,
                    position_effect="OPEN", price=10.5, filled_quantity=0)
    tl.orders_dict[CID] = order
    return order


@pytest.mark.parametrize("status", [S.UnSend, S.Sended])
@pytest.mark.parametrize("finished", [ORDER_STATUS.FILLED, ORDER_STATUS.CANCELLED])
def test_late_acceptance_touches_nothing(tl, env, events, logs, strategy, status, finished):
    journal = []
    watched_host(tl, journal, finished)
    strategy.on_order(report(status))
    assert [entry for entry in journal if entry[1] != "status" and entry[1] != "market_code"] == []
    assert events == [] and env.lookups == [CODE] and len(logs.system.infos) == 1


# ---------------------------------------------------------------- reads in order

LOGGED = ["client_order_id", "security_id", "order_price", "order_status", "order_qty", "trade_qty",
          "total_trade_value", "error_msg", "last_match_qty"]
LOOKUP = ["client_order_id", "client_order_id"]


@pytest.mark.parametrize("status, fill, expected", [
    (S.Sended, 0, LOGGED + LOOKUP + ["host.market_code"] + ["order_status"] * 2 + [
        "host.status", "host.status", "counter_order_id", "host.=secondary_order_id", "host.set_frozen_cash",
        "frozen_trade_value", "host.set_frozen_cash()", "counter_order_id", "counter_order_id", "host.status", "host.=status"]),
    (S.Filled, 5, LOGGED + LOOKUP + ["host.market_code"] + ["order_status"] * 4 + [
        "last_match_qty", "host.order_id", "last_match_price", "last_match_qty", "host.side",
        "host.position_effect", "host.market_code", "host.price", "total_trade_value", "trade_qty",
        "host.=avg_price", "trade_qty", "host.=filled_quantity", "order_qty", "trade_qty",
        "host.=unfilled_quantity", "order_status", "host.=status"] + ["order_status"] * 4),
    (S.WaitCancelled, 0, LOGGED + LOOKUP + ["host.market_code"] + ["order_status"] * 6 + [
        "last_match_qty"] + ["order_status"] * 4 + ["host.filled_quantity"]),
    (S.Reject, 0, LOGGED + LOOKUP + ["host.market_code"] + ["order_status"] * 9 + [
        "host.mark_rejected", "error_code", "error_msg", "host.mark_rejected()", "host.set_frozen_cash",
        "frozen_trade_value", "host.set_frozen_cash()"]),
])
def test_reads_and_writes_in_order(tl, env, events, logs, strategy, status, fill, expected):
    journal = []
    watched_host(tl, journal, ORDER_STATUS.PENDING_NEW)
    plain = report(status, fill)
    values = {f.name: getattr(plain, f.name) for f in dataclasses.fields(plain)}
    strategy.on_order(Watched(journal, "report", **values))
    assert [("host." if e[0] == "host" else "") + e[1] for e in journal] == expected


def test_events_use_module_globals_at_posting(tl, env, events, logs, strategy, monkeypatch):
    copies = []

    def deepcopy(obj):
        copies.append(obj.status)
        return copy_module.deepcopy(obj)

    monkeypatch.setattr(tl, "copy", types.SimpleNamespace(deepcopy=deepcopy))
    host_order(tl)
    strategy.on_order(report(S.Cancelled, 40))
    assert copies == [ORDER_STATUS.ACTIVE, ORDER_STATUS.CANCELLED]


def test_orders_dict_may_be_any_mapping(tl, env, events, logs, strategy, monkeypatch):
    asked = []

    class Orders(dict):
        def __contains__(self, key):
            asked.append(key)
            return "yes" if key == CID else ""

    orders = Orders()
    monkeypatch.setattr(tl, "orders_dict", orders)
    host = Order.__from_create__(CODE, 100, SIDE.BUY, 10.5, order_id=CID)
    orders[CID] = host
    strategy.on_order(report(S.Cancelled))
    strategy.on_order(report(S.Cancelled, cid=5))
    assert asked == [CID, 5]
    assert [e.event_type.name for e in events] == ["ORDER_CANCELLATION_PASS"]


def test_failure_keeps_earlier_steps(tl, env, events, logs, strategy):
    order = host_order(tl, ORDER_STATUS.PENDING_NEW)

    class Boom(Exception):
        pass

    def fail(self, value):
        raise Boom

    order.__class__ = type("FailingOrder", (Order,), {"__slots__": (), "set_frozen_cash": fail})
    with pytest.raises(Boom):
        strategy.on_order(report(S.Sended, counter_order_id=31))
    assert order.secondary_order_id == 31 and order.status == ORDER_STATUS.PENDING_NEW and events == []


# ---------------------------------------------------------------- trades and action errors

def test_on_trade_changes_nothing(tl, env, events, logs, strategy):
    order = host_order(tl)
    before = copy_module.deepcopy(order)
    strategy.on_trade(TradeReport(client_order_id=CID, security_id="000001", match_qty=100))
    strategy.on_trade(trade=None)
    assert events == [] and env.lookups == [] and logs.system.infos == []
    assert list(tl.orders_dict) == [CID]
    assert repr(order) == repr(before) and order.frozen_cash == before.frozen_cash


def test_action_error_posts_rejected_cancellation(tl, env, events, logs, strategy):
    order = host_order(tl, ORDER_STATUS.ACTIVE, 20)
    strategy.on_order_action_error(OrderActionError(client_order_id=CID, error_code=5))
    strategy.on_order_action_error(order_action_error=OrderActionError(client_order_id=CID))
    assert seen(events) == [("ORDER_CANCELLATION_REJECT", ORDER_FIELDS, "ACTIVE", 20)] * 2
    assert events[0].order is not events[1].order and events[0].order is not order
    assert all(e.account is env.account for e in events) and env.lookups == [CODE, CODE]
    assert (order.status, order.filled_quantity, order.frozen_cash) == (ORDER_STATUS.ACTIVE, 20, 0.0)
    assert logs.system.infos == []


def test_action_error_for_cleared_order_is_ignored(tl, env, events, logs, strategy):
    host_order(tl)
    tl.orders_dict.clear()
    strategy.on_order_action_error(OrderActionError(client_order_id=CID))
    assert events == [] and env.lookups == []
