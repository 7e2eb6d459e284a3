"""The stand-in host: takes the module's events, keeps its order and position
model from them, runs the demo strategy and checks invariants as it goes.

Taking events out of ``event_queue``.  The queue is the module's own
``numpy_ringbuffer.RingBuffer``, whose ``append`` and ``popleft`` update two
indices in Python code: a thread switch between the steps of an ``append`` on
an SDK thread and a ``popleft`` on the host thread can lose an event or hand
one out twice.  So every callback delivery of the simulated SDK and every
drain of the host run under one lock, the simulator's ``delivery_lock``: the
host holds it only while it pops what is queued (and releases the popped
slots, see below), then handles the events without it.  In single-thread
mode the host drains on the SDK's own thread after every callback, so the
lock is never contended.

Two further details of draining:

- the ring buffer keeps a popped element in its array until the slot is
  written again, which at a capacity of one million means up to a million
  dead events kept alive; the host clears each slot it popped;
- to check that every event the module appended is drained exactly once, the
  host counts appends by shadowing the queue object's ``append`` with a
  counting wrapper (the queue object itself stays the module's).

Orders are stored in the module's ``orders_dict`` under their client order
id before the request goes to the gateway.  The strategy acts only in
``after_step``, on what the events of the step told it.
"""
import hashlib
from collections import Counter, defaultdict
from datetime import time

from numpy_ringbuffer import RingBuffer

from corvix.tarrow.const import ORDER_STATUS, ORDER_TYPE, POSITION_EFFECT, SIDE
from corvix.tarrow.core.events import EVENT
from corvix.tarrow.model.order import Order
from corvix.tarrow.utils.trade_func import get_exchane_from_vorn_mdtype, get_vorn_side
from pyvorn.enums import AlgoControlType, AlgoType, OrderStatusType, TDType
from pyvorn.sim_market import NS_PER_S, datetime_of, stamp_of

from tessaline_sim.strategy import EXPECTED_STATUS, DemoStrategy

DAY_EVENTS = {EVENT.BEFORE_TRADING: time(9, 0), EVENT.OPEN_AUCTION: time(9, 24), EVENT.AFTER_TRADING: time(15, 30)}
ORDER_EVENTS = (EVENT.ORDER_CREATION_PASS, EVENT.TRADE, EVENT.ORDER_CANCELLATION_PASS, EVENT.ORDER_PENDING_CANCEL,
                EVENT.ORDER_UNSOLICITED_UPDATE, EVENT.ORDER_CANCELLATION_REJECT)

# the host status a final report leaves an order in
FINAL_STATUS = {
    OrderStatusType.Filled: ORDER_STATUS.FILLED,
    OrderStatusType.Cancelled: ORDER_STATUS.CANCELLED,
    OrderStatusType.PartiallyFilledPartiallyCancelled: ORDER_STATUS.CANCELLED,
    OrderStatusType.Reject: ORDER_STATUS.REJECTED,
    OrderStatusType.PartiallyFilled: ORDER_STATUS.PARTIALLY_FILLED,
    OrderStatusType.Sended: ORDER_STATUS.ACTIVE,
}

FINAL_STATUSES = frozenset((ORDER_STATUS.FILLED, ORDER_STATUS.CANCELLED, ORDER_STATUS.REJECTED))
NS_PER_MIN = 60 * NS_PER_S

INVARIANTS = (
    "every appended event drained exactly once",
    "one BAR event per completed bar minute",
    "tick history never above 60",
    "current tick is the one just posted",
    "orders end as their last report implies",
    "orders end as the strategy planned",
    "event copies agree with the live order",
    "fills add up to the filled quantity",
    "late cancels rejected, order untouched",
    "orders_dict empty after trading",
    "positions match the counter",
    "cash matches the counter",
    "day events once per trading day, on time",
    "logins and requests succeed",
    "algo orders end as planned",
)


class Invariants:
    def __init__(self, names=INVARIANTS):
        self.checks = Counter({name: 0 for name in names})
        self.failures = Counter()
        self.examples = defaultdict(list)

    def check(self, name, ok, message=""):
        self.checks[name] += 1
        if not ok:
            self.fail(name, message)
        return ok

    def fail(self, name, message):
        self.failures[name] += 1
        if len(self.examples[name]) < 5:
            self.examples[name].append(message() if callable(message) else message)

    @property
    def ok(self):
        return not self.failures

    def summary(self):
        return [{"name": name, "checks": self.checks[name], "failures": self.failures[name],
                 "examples": list(self.examples.get(name, ()))} for name in self.checks]


def _iso(dt):
    return dt.isoformat() if dt is not None else None


def canonical(ev):
    """A tuple of plain values that identifies an event's content (process-wide counters left out)."""
    et = ev.event_type
    if et is EVENT.TICK:
        t = ev.tick.tick_dict
        return (et.value, t["market_code"], _iso(t["datetime"]), t["last_price"], t["volume"], t["total_turnover"],
                tuple(t["bids"]), tuple(t["asks"]))
    if et is EVENT.L2_ORDER:
        o = ev.l2_order
        return (et.value, o.market_code, _iso(o.datetime), o.biz_index, o.side.name, o.price, o.volume,
                o.order_type.name, o.orig_order_no, o.l2_order_type.name)
    if et is EVENT.L2_TRANSACTION:
        t = ev.l2_transaction
        return (et.value, t.market_code, _iso(t.datetime), t.biz_index, t.side.name, t.price, t.volume, t.value,
                t.trade_type.name, t.bid_appl_seq_num, t.offer_appl_seq_num)
    if et in ORDER_EVENTS:
        o = ev.order
        out = (et.value, ev.account.account_id, o.order_id, o.status.name, o.filled_quantity, o.unfilled_quantity,
               o.avg_price, o.secondary_order_id, o.frozen_cash, o.message)
        if et is EVENT.TRADE:
            out += (ev.trade.price, ev.trade.amount, ev.trade.side.name, ev.trade.market_code)
        return out
    if et is EVENT.QUERY_POSITION:
        return (et.value, ev.rid, tuple((p.market_code, p.init_qty, p.quantity, p.available_qty, p.avg_price,
                                         p.last_price, p.market_value, p.daily_pnl) for p in ev.positions))
    if et is EVENT.QUERY_ACCOUNT and hasattr(ev, "asset"):
        a = ev.asset
        return (et.value, ev.rid, ev.account_id, a.account_id, a.available, a.frozen, a.market_value,
                a.total_asset, a.leaves_value, a.init_leaves_value)
    if et is EVENT.PARENT_ORDER_UPDATE:
        p = ev.algo_parent_order
        return (et.value, p.parent_order_id, p.status.name, p.paused, p.quantity, p.filled_quantity, p.filled_value,
                _iso(p.update_time))
    if et is EVENT.CHILD_ORDER_UPDATE:
        c = ev.algo_child_order
        return (et.value, c.child_order_id, c.parent_order_id, c.status.name, c.quantity, c.price,
                c.filled_quantity, _iso(c.update_time))
    if et is EVENT.CHILD_ORDER_TRADE:
        t = ev.algo_child_trade
        return (et.value, t.trade_id, t.child_order_id, t.parent_order_id, t.price, t.amount, _iso(t.trading_dt))
    if et in DAY_EVENTS or et is EVENT.BAR:
        return (et.value, _iso(ev.calendar_dt), ev.calendar_dt is ev.trading_dt)
    return (et.value,) + tuple(sorted((k, v if isinstance(v, (int, float, str)) or v is None else repr(v))
                                      for k, v in ev.as_dict().items()))


class DemoHost:
    def __init__(self, tl, sim, account, *, td_type=TDType.SIM, record_sequence=True):
        self.tl = tl
        self.sim = sim
        self.ctx = sim.context
        self.account = account
        self.td_type = td_type
        self.counter = sim.gateway.counters[td_type]
        self.queue = tl.event_queue
        self.lock = sim.delivery_lock
        self.single = not sim.threaded
        self.inv = Invariants(tuple(n for n in INVARIANTS
                                    if self.single or n != "current tick is the one just posted"))
        self.codes = [i.security_id + "." + get_exchane_from_vorn_mdtype(i.market_type) for i in sim.universe]
        self._sid = {code: (i.security_id, i.market_type) for code, i in zip(self.codes, sim.universe)}
        self._history_tick = tl.history_tick
        self.strategy = DemoStrategy(self, sim.seed, sim.plan.minutes_per_half)
        # bar minute of every bar end of the session: datetime -> (day index, minute)
        self.bar_minutes = {}
        for d, day in enumerate(sim.trading_days):
            for m, end_ns in enumerate(sim.plan.bar_end_times(day)):
                self.bar_minutes[datetime_of(end_ns)] = (d, m)
        self.bars_seen = set()
        # event accounting
        self.appended = Counter()                    # EVENT member name -> events the module appended
        self.drained = Counter()                     # EVENT member name -> events the host took out
        self.drained_total = 0
        self.drains = 0                              # drains that found events
        self.largest_drain = 0
        self.popped_none = 0
        self.events_by_minute = defaultdict(Counter)  # simulated minute (ns // 60 s) -> EVENT name -> events
        self._minute_events = None
        self._record_sequence = record_sequence and self.single
        self._sequence = hashlib.sha256()
        self._content = 0
        self._append_installed = False
        # trading state
        self.logged_in = False
        self.algo_logged_in = False
        self.day_index = None
        self.day_events = defaultdict(list)          # day index -> [(EVENT, datetime)]
        self.orders = {}                             # client order id -> live Order
        self.intent = {}
        self.day_orders = defaultdict(list)
        self.last_copy = {}
        self.fill_qty = Counter()
        self.fills = []                              # (client order id, amount, price)
        self.sent_ns = {}                            # client order id -> simulated time it was sent
        self.final_ns = {}                           # client order id -> time of the report that ended it
        self.position_moves = []                     # (simulated ns, code, quantity after the move)
        self.cash_moves = []                         # (simulated ns, cash after the move)
        self.cancel_rejects = Counter()
        self.late_cancels = []
        self.positions = None                        # code -> quantity, from the first position answer
        self.init_today = {}
        self.sold_today = Counter()
        self.cash = None
        self.pending = {}                            # request id -> ("asset", cash) / ("position", {code: qty})
        self.answers = Counter()
        self.algo = {}                               # day index -> dict of the day's algo order
        self.algo_by_req = {}
        self.algo_by_parent = {}
        self.algo_fills = defaultdict(int)           # parent order id -> quantity
        self.algo_fill_list = []                     # (parent order id, amount, price)
        self._triggers = []
        self._cid = Counter()
        self._req = 0
        self._handlers = {
            EVENT.TICK: self._on_tick, EVENT.BAR: self._on_bar,
            EVENT.L2_ORDER: _ignore, EVENT.L2_TRANSACTION: _ignore,
            EVENT.LOGIN: self._on_login, EVENT.ALGO_LOGIN: self._on_algo_login,
            EVENT.QUERY_ACCOUNT: self._on_query_account, EVENT.QUERY_POSITION: self._on_query_position,
            EVENT.PARENT_ORDER_CREATE: self._on_parent_create, EVENT.PARENT_ORDER_PAUSE: self._on_parent_answer,
            EVENT.PARENT_ORDER_RESUME: self._on_parent_answer, EVENT.PARENT_ORDER_CANCEL: self._on_parent_answer,
            EVENT.PARENT_ORDER_UPDATE: self._on_parent_update, EVENT.CHILD_ORDER_UPDATE: _ignore,
            EVENT.CHILD_ORDER_TRADE: self._on_child_trade,
        }
        for et in ORDER_EVENTS:
            self._handlers[et] = self._on_order_event
        for et in DAY_EVENTS:
            self._handlers[et] = self._on_day_event
        self._handlers = {et.name: h for et, h in self._handlers.items()}

    # ------------------------------------------------------------ the queue

    def install(self):
        """Counts the module's appends (see the module docstring)."""
        queue, appended = self.queue, self.appended
        base_append = RingBuffer.append

        def append(event):
            appended[event.event_type._name_] += 1
            base_append(queue, event)

        queue.append = append
        self._append_installed = True

    def uninstall(self):
        if self._append_installed:
            self.queue.__dict__.pop("append", None)
            self._append_installed = False

    def drain(self):
        queue = self.queue
        with self.lock:
            n = len(queue)
            if not n:
                return
            arr = getattr(queue, "_arr", None)
            events = []
            for _ in range(n):
                events.append(queue.popleft())
                if arr is not None:
                    arr[queue._left_index - 1] = None       # let the popped event go
        self.drained_total += n
        self.drains += 1
        if n > self.largest_drain:
            self.largest_drain = n
        # drained on the delivering thread in single-thread delivery, so this is the events' minute;
        # threaded, the host's clock may be up to a step behind the deliveries
        self._minute_events = self.events_by_minute[self.sim.clock.now_ns() // NS_PER_MIN]
        for ev in events:
            self._handle(ev)

    def _handle(self, ev):
        if ev is None:
            self.popped_none += 1
            return
        et = ev.event_type
        self.drained[et._name_] += 1
        self._minute_events[et._name_] += 1
        h = hashlib.blake2b(repr(canonical(ev)).encode(), digest_size=8).digest()
        self._content = (self._content + int.from_bytes(h, "big")) & 0xFFFF_FFFF_FFFF_FFFF
        if self._record_sequence:
            self._sequence.update(h)
        self._handlers.get(et._name_, _ignore)(ev)

    # ------------------------------------------------------------ market data

    def _on_tick(self, ev):
        tick = ev.tick.tick_dict
        code = tick["market_code"]
        n = len(self._history_tick.get(code, ()))
        if n > 60 or n == 0:
            self.inv.fail("tick history never above 60", f"{code}: {n} ticks kept")
        self.inv.checks["tick history never above 60"] += 1
        if self.single:
            self.inv.check("current tick is the one just posted", self.tl.get_current_tick(code) is tick,
                           lambda: f"{code} at {tick['datetime']}")

    def _on_bar(self, ev):
        dt = ev.calendar_dt
        where = self.bar_minutes.get(dt)
        ok = where is not None and dt not in self.bars_seen and ev.trading_dt is dt
        if ok:
            for code in self.codes:
                bars = self.tl.history_bars(code, 1)
                if not bars or bars[-1]["orig_time"] != dt or len(self._history_tick.get(code, ())) > 60:
                    ok = False
                    break
        self.inv.check("one BAR event per completed bar minute", ok, lambda: f"BAR {dt} (known: {where})")
        self.bars_seen.add(dt)
        if where is not None:
            self._triggers.append((1, where[1], "minute"))

    # ------------------------------------------------------------ sessions, queries

    def _on_login(self, ev):
        ok = self.inv.check("logins and requests succeed", ev.code == 0, lambda: f"login: {ev.code} {ev.msg}")
        self.logged_in = self.logged_in or ok

    def _on_algo_login(self, ev):
        ok = self.inv.check("logins and requests succeed", ev.code == 0, lambda: f"algo login: {ev.code} {ev.msg}")
        self.algo_logged_in = self.algo_logged_in or ok

    def _on_query_account(self, ev):
        kind, expected = self.pending.pop(ev.rid, (None, None))
        if not self.inv.check("logins and requests succeed", kind == "asset" and hasattr(ev, "asset"),
                              lambda: f"asset answer {ev.rid}: {getattr(ev, 'code', None)} {getattr(ev, 'msg', '')}"):
            return
        self.answers["asset"] += 1
        asset = ev.asset
        self.account.apply_asset(asset)
        if self.cash is None:
            self.cash = asset.leaves_value
            self.cash_moves.append((self.sim.clock.now_ns(), self.cash))
        else:
            self.inv.check("cash matches the counter", abs(expected - asset.leaves_value) < 0.005,
                           lambda: f"host {expected:.2f} vs counter {asset.leaves_value:.2f}")

    def _on_query_position(self, ev):
        kind, expected = self.pending.pop(ev.rid, (None, None))
        if not self.inv.check("logins and requests succeed", kind == "position", lambda: f"position answer {ev.rid}"):
            return
        self.answers["position"] += 1
        answer = {p.market_code: p.quantity for p in ev.positions}
        self.account.apply_positions(ev.positions)
        if expected is None:
            self.positions = dict(answer)
            now = self.sim.clock.now_ns()
            self.position_moves.extend((now, code, qty) for code, qty in sorted(answer.items()))
        else:
            model = {c: q for c, q in expected.items() if q}
            got = {c: q for c, q in answer.items() if q}
            self.inv.check("positions match the counter", model == got,
                           lambda: f"differ on {sorted(set(model.items()) ^ set(got.items()))[:4]}")
        if self._before_trading_query == ev.rid:
            self.init_today = {p.market_code: p.init_qty for p in ev.positions}

    _before_trading_query = None

    # ------------------------------------------------------------ orders

    def _on_order_event(self, ev):
        order = ev.order
        cid = order.order_id
        live = self.orders.get(cid)
        if not self.inv.check("event copies agree with the live order", live is not None and order is not live,
                              lambda: f"{ev.event_type!r} for order {cid}"):
            return
        self.last_copy[cid] = order
        if order.status in FINAL_STATUSES and cid not in self.final_ns:     # a late cancel's answer comes after
            self.final_ns[cid] = self.sim.clock.now_ns()
        et = ev.event_type
        if et is EVENT.TRADE:
            trade = ev.trade
            self.fill_qty[cid] += trade.amount
            self.fills.append((cid, trade.amount, trade.price))
            self._book(trade.market_code, trade.side, trade.amount, trade.price)
        elif et is EVENT.ORDER_CANCELLATION_REJECT:
            self.cancel_rejects[cid] += 1

    def _book(self, code, side, amount, price):
        now = self.sim.clock.now_ns()
        if self.positions is not None:
            self.positions[code] = self.positions.get(code, 0) + (amount if side is SIDE.BUY else -amount)
            self.position_moves.append((now, code, self.positions[code]))
        if self.cash is not None:
            self.cash += -amount * price if side is SIDE.BUY else amount * price
            self.cash_moves.append((now, self.cash))

    # ------------------------------------------------------------ algo

    def _on_parent_create(self, ev):
        algo = self.algo_by_req.get(ev.req_id)
        if self.inv.check("logins and requests succeed", algo is not None and ev.code == 0,
                          lambda: f"algo create {ev.req_id}: {ev.code} {ev.msg}"):
            algo["parent"] = ev.parent_order_id
            self.algo_by_parent[ev.parent_order_id] = algo

    def _on_parent_answer(self, ev):
        algo = self.algo_by_parent.get(ev.parent_order_id)
        self.inv.check("logins and requests succeed", algo is not None and ev.code == 0,
                       lambda: f"{ev.event_type!r} {ev.parent_order_id}: {ev.code} {ev.msg}")
        if algo is not None:
            algo["answers"].append(ev.event_type.name)

    def _on_parent_update(self, ev):
        parent = ev.algo_parent_order
        algo = self.algo_by_parent.get(parent.parent_order_id)
        if algo is not None:
            algo["last"] = parent

    def _on_child_trade(self, ev):
        t = ev.algo_child_trade
        self.algo_fills[t.parent_order_id] += t.amount
        self.algo_fill_list.append((t.parent_order_id, t.amount, t.price))
        self._book(t.market_code, t.side, t.amount, t.price)

    # ------------------------------------------------------------ day events

    def _on_day_event(self, ev):
        dt = ev.calendar_dt
        day = dt.date()
        d = self.sim.trading_days.index(day) if day in self.sim.trading_days else None
        self.day_events[d].append((ev.event_type, dt))
        ok = d is not None and ev.trading_dt is dt and dt.time() == DAY_EVENTS[ev.event_type]
        self.inv.check("day events once per trading day, on time", ok, lambda: f"{ev.event_type!r} at {dt}")
        if ev.event_type is EVENT.BEFORE_TRADING:
            self._triggers.append((0, d, "before"))
        elif ev.event_type is EVENT.AFTER_TRADING:
            self._triggers.append((2, d, "after"))

    # ------------------------------------------------------------ acting

    def after_step(self, now_ns):
        if not self._triggers:
            return
        triggers = sorted(self._triggers)
        self._triggers = []
        for _, value, kind in triggers:
            if kind == "before":
                self._before_trading(value)
            elif kind == "minute":
                if self.logged_in and self.positions is not None and self.day_index is not None:
                    self.strategy.on_minute(value)
            else:
                self._after_trading(value)

    def _before_trading(self, d):
        self.day_index = d
        self.sold_today = Counter()
        self.strategy.begin_day(d)
        self._query_asset()
        self._before_trading_query = self._query_position()

    def _after_trading(self, d):
        self.inv.check("orders_dict empty after trading", not self.tl.orders_dict,
                       lambda: f"{len(self.tl.orders_dict)} orders left")
        self._check_orders(d)
        self._check_algo(d)
        self._query_asset()
        self._query_position()

    def _next_request(self):
        self._req += 1
        return self._req

    def _query_asset(self):
        rid = self.ctx.query_asset(self.td_type)
        self.pending[rid] = ("asset", self.cash)

    def _query_position(self):
        rid = self.ctx.query_position(self.td_type)
        self.pending[rid] = ("position", dict(self.positions) if self.positions is not None else None)
        return rid

    # requests the strategy makes

    def tick(self, code):
        return self.tl.get_current_tick(code)

    def bars(self, code, count):
        return self.tl.history_bars(code, count)

    def sellable(self, code):
        return self.init_today.get(code, 0) - self.sold_today[code]

    def buy(self, code, price, quantity, intent):
        return self._send(code, SIDE.BUY, price, quantity, intent)

    def sell(self, code, price, quantity, intent, check=True):
        if check and quantity > self.sellable(code):
            return None
        return self._send(code, SIDE.SELL, price, quantity, intent)

    def _send(self, code, side, price, quantity, intent):
        if not self.logged_in or quantity <= 0:
            return None
        d = self.day_index
        self._cid[d] += 1
        cid = (d + 1) * 100_000 + self._cid[d]
        now = self.sim.now()
        effect = POSITION_EFFECT.OPEN if side is SIDE.BUY else POSITION_EFFECT.CLOSE
        order = Order.__from_create__(code, quantity, side, price, effect, ORDER_TYPE.LIMIT, order_id=cid,
                                      calendar_dt=now, trading_dt=now)
        self.tl.orders_dict[cid] = order               # before the gateway can report on it
        self.orders[cid] = order
        self.sent_ns[cid] = self.sim.clock.now_ns()
        self.intent[cid] = intent
        self.day_orders[d].append(cid)
        if side is SIDE.SELL:
            self.sold_today[code] += quantity
        sid, market_type = self._sid[code]
        self.ctx.insert_order(self.td_type, cid, sid, market_type, get_vorn_side(side), price, quantity)
        return cid

    def cancel(self, cid, late=False):
        if late:
            self.late_cancels.append((cid, self.orders[cid].status, self.orders[cid].filled_quantity))
        self.ctx.cancel_order(self.td_type, cid)

    def algo_create(self, code, side, quantity, window_minutes, outcome):
        if not self.algo_logged_in:
            return
        now = self.sim.clock.now_ns()
        req = self._next_request()
        algo = {"req": req, "code": code, "quantity": quantity, "outcome": outcome, "parent": None,
                "answers": [], "last": None}
        self.algo[self.day_index] = algo
        self.algo_by_req[req] = algo
        sid, market_type = self._sid[code]
        self.ctx.create_algo_parent_order(AlgoType.XTA, req, sid, market_type, get_vorn_side(side), quantity, 0.0,
                                          "TWAP", stamp_of(now), stamp_of(now + window_minutes * 60 * NS_PER_S))

    def algo_control(self, what):
        algo = self.algo.get(self.day_index)
        if algo is None or algo["parent"] is None:
            self.inv.fail("logins and requests succeed", f"algo {what} without a parent order")
            return
        if what == "cancel":
            self.ctx.cancel_algo_parent_order(AlgoType.XTA, algo["parent"])
        else:
            control = AlgoControlType.Pause if what == "pause" else AlgoControlType.Resume
            self.ctx.control_algo_parent_order(AlgoType.XTA, algo["parent"], control)

    # ------------------------------------------------------------ checks

    def _check_orders(self, d):
        for cid in self.day_orders.get(d, ()):
            order = self.orders[cid]
            last = self.counter.last_report(cid)
            implied = FINAL_STATUS.get(last.order_status) if last is not None else None
            self.inv.check("orders end as their last report implies",
                           order.status is implied and order.filled_quantity == (
                               last.trade_qty if implied is not ORDER_STATUS.REJECTED else 0),
                           lambda: f"order {cid}: {order.status!r} filled {order.filled_quantity}, last report "
                                   f"{last.order_status!r} {last.trade_qty}")
            self.inv.check("orders end as the strategy planned", order.status is EXPECTED_STATUS[self.intent[cid]],
                           lambda: f"order {cid} ({self.intent[cid]}): {order.status!r}")
            copy_ = self.last_copy.get(cid)
            self.inv.check("event copies agree with the live order",
                           copy_ is not None and copy_.status is order.status
                           and copy_.filled_quantity == order.filled_quantity,
                           lambda: f"order {cid}: last event copy {getattr(copy_, 'status', None)!r}, "
                                   f"live {order.status!r}")
            self.inv.check("fills add up to the filled quantity", self.fill_qty[cid] == order.filled_quantity,
                           lambda: f"order {cid}: trades {self.fill_qty[cid]} vs filled {order.filled_quantity}")
        for cid, status, filled in self.late_cancels:
            if cid in self.day_orders.get(d, ()):
                order = self.orders[cid]
                self.inv.check("late cancels rejected, order untouched",
                               self.cancel_rejects[cid] == 1 and order.status is status is ORDER_STATUS.FILLED
                               and order.filled_quantity == filled,
                               lambda: f"order {cid}: {self.cancel_rejects[cid]} rejections, {order.status!r}")

    def _check_algo(self, d):
        algo = self.algo.get(d)
        if algo is None:
            return
        last = algo["last"]
        wanted = ORDER_STATUS.CANCELLED if algo["outcome"] == "cancelled" else ORDER_STATUS.FILLED
        answers = ["PARENT_ORDER_PAUSE", "PARENT_ORDER_RESUME"] + (
            ["PARENT_ORDER_CANCEL"] if algo["outcome"] == "cancelled" else [])
        self.inv.check("algo orders end as planned",
                       last is not None and last.status is wanted
                       and last.filled_quantity == self.algo_fills[algo["parent"]]
                       and (wanted is not ORDER_STATUS.FILLED or last.filled_quantity == algo["quantity"])
                       and sorted(algo["answers"]) == sorted(answers),
                       lambda: f"day {d}: {last!r}, child fills {self.algo_fills[algo['parent']]}, "
                               f"answers {algo['answers']}")

    def finish(self, expected_bars):
        """Checks what can only be checked at the end; call after the last drain."""
        self.drain()
        inv = self.inv
        name = "every appended event drained exactly once"
        inv.check(name, len(self.queue) == 0, lambda: f"{len(self.queue)} events left in the queue")
        inv.check(name, self.popped_none == 0, lambda: f"{self.popped_none} empty slots popped")
        inv.check(name, sum(self.appended.values()) == self.drained_total,
                  lambda: f"{sum(self.appended.values())} appended, {self.drained_total} drained")
        for et in sorted(set(self.appended) | set(self.drained)):
            inv.check(name, self.appended[et] == self.drained[et],
                      lambda: f"{et}: {self.appended[et]} appended, {self.drained[et]} drained")
        inv.check("one BAR event per completed bar minute", len(self.bars_seen) == expected_bars
                  and self.drained["BAR"] == expected_bars,
                  lambda: f"{self.drained['BAR']} BAR events for {expected_bars} bar minutes")
        for d in range(len(self.sim.trading_days)):
            got = [et for et, _ in self.day_events.get(d, ())]
            inv.check("day events once per trading day, on time",
                      got == [EVENT.BEFORE_TRADING, EVENT.OPEN_AUCTION, EVENT.AFTER_TRADING],
                      lambda: f"day {d}: {[e.name for e in got]}")
        inv.check("day events once per trading day, on time", None not in self.day_events,
                  lambda: "day events on a non-trading day")
        inv.check("logins and requests succeed", self.logged_in and self.algo_logged_in and not self.pending,
                  lambda: f"logged in {self.logged_in}, algo {self.algo_logged_in}, unanswered {sorted(self.pending)}")

    # ------------------------------------------------------------ digests

    @property
    def sequence_digest(self):
        return self._sequence.hexdigest() if self._record_sequence else None

    @property
    def content_digest(self):
        return f"{self._content:016x}"


def _ignore(ev):
    return None

