"""Reference and memory leaks: every callback and query function, driven
thousands of times on its success path and on each kind of failure (a record
attribute that raises, a host call that raises, a module global that is not
bound), must give back every reference it took on the records and host
objects it was handed, and must not grow the interpreter's allocated blocks
once warmed up.

TESSALINE_LEAK_ITERATIONS sets the calls per path (default 1000); run with a
larger value for a long soak:

    TESSALINE_LEAK_ITERATIONS=50000 python -m pytest tests/test_leaks.py
"""
import collections
import gc
import os
import sys
import types

import pytest

from reliability_support import CASES, Kit, clear_module_state, install_real_host, run_case, tl

ITERATIONS = int(os.environ.get("TESSALINE_LEAK_ITERATIONS", "1000"))
ROUND = 100
# Blocks the interpreter may legitimately add while running (caches, free
# lists); one leaked object per call would add ITERATIONS.
BLOCK_SLACK = 64


def failure_paths(case):
    """(path name, fault target, global to unbind) for the failure paths of a case."""
    ref = run_case(case, observe=False)
    labels = ref.labels
    paths = [("success", None, None)]
    record_names = {"snap", "l2o", "l2t", "bar", "login", "asset", "pos0", "pos1", "rep", "err", "trade",
                    "algo_login", "create", "cancel", "control", "update", "code", "count", "index"}
    reads = [i for i, label in enumerate(labels) if label.split(".")[0] in record_names]
    if reads:
        paths.append(("raising record attribute", reads[-1] + 1, None))
    calls = [i for i, label in enumerate(labels) if label.endswith("()") and not label.startswith("self.")]
    if calls:
        paths.append(("raising host call", calls[-1] + 1, None))
    owners = [label.split(".")[0].split("(")[0] for label in labels]
    owners = [name for name in owners if name in vars(tl)]
    if owners:
        paths.append(("missing global", None, owners[-1]))
    elif case.startswith(("get_", "history_")):
        paths.append(("missing global", None, "history_bar" if "bar" in case else "history_tick"))
    return paths


def drive(call, kit, target, rounds):
    for _ in range(rounds):
        for _ in range(ROUND):
            kit.faults.arm(target)
            try:
                call()
            except Exception:
                pass
            kit.faults.disarm()
        kit.events.clear()
        del kit.info[:], kit.warnings[:], kit.calls[:]
        for name in ("history_bar", "algo_parent_orders", "algo_child_orders", "algo_child_trades"):
            dict.clear(tl.__dict__.get(name) or {})


def leak_check(case, target, delete):
    kit = Kit()
    call = CASES[case](kit)
    kit.faults.record_labels = False
    kit.install()
    saved = None
    try:
        if delete:
            saved = tl.__dict__.pop(delete)
        drive(call, kit, target, 2)  # warm-up: histories full, caches filled
        gc.collect()
        refs_before = kit.refcounts()
        blocks_before = sys.getallocatedblocks()
        drive(call, kit, target, max(1, ITERATIONS // ROUND))
        gc.collect()
        blocks_after = sys.getallocatedblocks()
        refs_after = kit.refcounts()
    finally:
        if saved is not None:
            tl.__dict__[delete] = saved
        kit.restore()
        clear_module_state()
    grown = [(type(o).__name__, getattr(o, "name", None) or getattr(o, "_name", None), a - b)
             for o, a, b in zip(kit.tracked, refs_after, refs_before) if a != b]
    assert grown == []
    assert blocks_after - blocks_before < BLOCK_SLACK


CASE_PATHS = [(case, path, target, delete) for case in CASES
              for path, target, delete in failure_paths(case)]


@pytest.mark.parametrize("case,path,target,delete", CASE_PATHS,
                         ids=[f"{c} | {p}" for c, p, _, _ in CASE_PATHS])
def test_no_reference_or_block_growth(case, path, target, delete):
    leak_check(case, target, delete)


# ------------------------------------------------------------------ the real host
#
# The same, through the sandbox host's own classes and the SDK's own records,
# so the paths the module takes for plain dictionaries, real deques and
# exact strings are driven too.

from corvix.tarrow.const import ORDER_STATUS, SIDE  # noqa: E402
from corvix.tarrow.environment import Environment  # noqa: E402
from corvix.tarrow.model.order import Order  # noqa: E402
from pyvorn import records as rec  # noqa: E402
from pyvorn.enums import AlgoControlType, MarketType, OrderStatusType, Side  # noqa: E402


@pytest.fixture
def real_host(monkeypatch):
    yield install_real_host(monkeypatch)
    Environment.reset()


STAMP = 20240102093000500


def real_scenarios():
    order = Order.__from_create__("000001.XSHE", 100, SIDE.BUY, 10.5, order_id=4242)
    snapshot = rec.Snapshot(security_id="600000", market_type=MarketType.SSE, orig_time=STAMP,
                            bid_price=[10.0], ask_price=[10.1])
    bar = rec.Bar(security_id="600000", market_type=MarketType.SSE, end_time=20240102093100000)
    position = rec.PositionRecord(security_id="600000", market_id=MarketType.SSE, init_qty=100)
    bad_position = types.SimpleNamespace(security_id="600001")
    fill = rec.OrderReport(client_order_id=4242, security_id="000001", order_status=OrderStatusType.PartiallyFilled,
                           order_qty=100, trade_qty=10, total_trade_value=105.0, last_match_qty=10,
                           last_match_price=10.5)
    reject = rec.OrderReport(client_order_id=4242, security_id="000001", order_status=OrderStatusType.Reject,
                             error_code=7, error_msg="no")
    sended = rec.OrderReport(client_order_id=4242, security_id="000001", order_status=OrderStatusType.Sended,
                             counter_order_id=9)
    parent = rec.ParentOrder(sys_quote_id=5, security_id="600000", market_type=MarketType.SSE, side=Side.Buy,
                             order_qty=100)
    child = rec.ChildOrder(sys_quote_id=6, parent_sys_quote_id=5, security_id="600000",
                           market_type=MarketType.SSE, side=Side.Buy, order_qty=100)
    child_trade = rec.ChildTrade(sys_quote_id=7, parent_sys_quote_id=5, child_sys_quote_id=6,
                                 security_id="600000", market_type=MarketType.SSE, side=Side.Buy,
                                 trade_price=10.0, trade_qty=100)
    code = "".join(["600000", ".XSHG"])  # not interned: its count is ours alone
    scenarios = {
        "on_snapshot": (lambda s: s.on_snapshot(snapshot), [snapshot]),
        "on_tick_order": (lambda s: s.on_tick_order(order_rec), [order_rec := rec.TickOrder(
            security_id="600000", market_type=MarketType.SSE, order_time=STAMP, side=ord("B"),
            order_type=ord("A"))]),
        "on_tick_trade": (lambda s: s.on_tick_trade(trade_rec), [trade_rec := rec.TickTrade(
            security_id="600000", market_type=MarketType.SSE, trade_time=STAMP, trade_type=ord("F"),
            bid_appl_seq_num=3, offer_appl_seq_num=2)]),
        "on_bar": (lambda s: s.on_bar(bar), [bar]),
        "on_login": (lambda s: s.on_login(login), [login := rec.LoginRes(fund_account_id="1001")]),
        "on_query_asset": (lambda s: (s.on_query_asset(asset, 1, 0, "ok"), s.on_query_asset(asset, 1, 3, "no")),
                           [asset := rec.AssetRes(fund_account_id="1001")]),
        "on_query_position": (lambda s: s.on_query_position([position, bad_position], 1, 0, "ok"),
                              [position, bad_position]),
        "on_order": (lambda s: (tl.orders_dict.__setitem__(4242, order), s.on_order(sended), s.on_order(fill),
                                s.on_order(reject), setattr(order, "status", ORDER_STATUS.ACTIVE)),
                     [order, fill, reject, sended]),
        "on_order_action_error": (lambda s: (tl.orders_dict.__setitem__(4242, order),
                                             s.on_order_action_error(action)),
                                  [order, action := rec.OrderActionError(client_order_id=4242)]),
        "algo responses": (lambda s: (s.on_algo_login(algo_login), s.on_create_algo_parent_order_res(create),
                                      s.on_cancel_algo_parent_order_res(cancel),
                                      s.on_control_algo_parent_order_res(pause),
                                      s.on_control_algo_parent_order_res(resume)),
                           [algo_login := rec.AlgoLoginRes(trader_id="t"),
                            create := rec.CreateParentOrderRes(client_seq_id=1),
                            cancel := rec.CancelParentOrderRes(sys_quote_id=5),
                            pause := rec.ControlParentOrderRes(sys_quote_id=5, control_type=AlgoControlType.Pause),
                            resume := rec.ControlParentOrderRes(sys_quote_id=5,
                                                                control_type=AlgoControlType.Resume)]),
        "algo updates": (lambda s: (s.on_algo_parent_order_update(parent), s.on_algo_child_order_update(child),
                                    s.on_algo_child_order_trade(child_trade)), [parent, child, child_trade]),
        "day events": (lambda s: (s.send_before_trading_event(), s.send_open_auction_event(),
                                  s.send_after_trading_event(), s.on_switch_day(), s.on_initialize()), []),
        "queries": (lambda s: (tl.get_current_tick(code), tl.get_current_bar(code), tl.history_ticks(code, 5),
                               tl.history_bars(code, 0), tl.get_current_tick("nowhere")), [code]),
    }
    return scenarios


REAL = list(real_scenarios())


@pytest.mark.parametrize("scenario", REAL)
def test_real_host_paths_keep_no_references(scenario, real_host, strategy):
    call, inputs = real_scenarios()[scenario]
    if scenario == "queries":
        for _ in range(3):
            strategy.on_snapshot(rec.Snapshot(security_id="600000", market_type=MarketType.SSE, orig_time=STAMP))
            strategy.on_bar(rec.Bar(security_id="600000", market_type=MarketType.SSE, end_time=20240102093100000))

    def rounds(n):
        for _ in range(n):
            for _ in range(ROUND):
                call(strategy)
            for name in ("history_bar", "algo_parent_orders", "algo_child_orders", "algo_child_trades"):
                if scenario != "queries":
                    tl.__dict__[name].clear()

    rounds(2)
    gc.collect()
    refs = [sys.getrefcount(o) for o in inputs]
    blocks = sys.getallocatedblocks()
    rounds(max(1, ITERATIONS // ROUND))
    gc.collect()
    assert sys.getallocatedblocks() - blocks < BLOCK_SLACK
    assert [sys.getrefcount(o) for o in inputs] == refs


def test_a_failing_call_keeps_no_reference_to_its_exception(strategy, events):
    """The exception a callback raises is the caller's alone: once the caller drops it, it is gone."""
    import weakref

    class Boom(Exception):
        pass

    class Record:
        security_id = "600000"
        market_type = MarketType.SSE
        orig_time = STAMP

        def __getattr__(self, name):
            raise Boom(name)

    refs = []
    for _ in range(50):
        try:
            strategy.on_snapshot(Record())
        except Boom as exc:
            refs.append(weakref.ref(exc))
    assert all(r() is None for r in refs)
