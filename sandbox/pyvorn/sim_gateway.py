"""The simulated gateway: a trading counter and an algorithmic-order engine.

Both answer requests by scheduling the reports a live gateway would send
later, on the ``Scheduler`` of the simulator, each on its delivery channel
("td" for the trading counter, "algo" for the algo engine).  Everything an
order will go through is decided when the request arrives, from the market
at that moment and from a random generator seeded with the run's seed and
the order's id; a later request (a cancellation, a pause) voids the reports
that have not been delivered yet and schedules new ones.  So the same
requests at the same simulated times always give the same reports.

Trading counter, per order (times after the request):

- rejected (+30 ms, ``Reject``): unknown instrument, a quantity that is not a
  positive number of lots (a buy) or exceeds the sellable position (a sell),
  a price outside the day's limits, or no continuous session open;
- otherwise ``UnSend`` (+10 ms, no counter id yet), ``Sended`` (+40 ms, with a
  counter order id), then by the price against the market at the request:
  a marketable order (a buy at or above the best ask, a sell at or below the
  best bid) fills completely in one to three fills a second apart from
  +300 ms, each at the better of its limit and the market; a passive order (at
  the touch on its own side) fills 30 to 70 % once at +1.5 s and rests; a
  deeper order rests without fills.  What is still open at the close expires
  (``Cancelled`` / ``PartiallyFilledPartiallyCancelled``, close +500 ms).
  Every fill is an ``on_order`` report followed by an ``on_trade`` report.
- cancel request: for an order still open at the counter, the fills not yet
  made are voided, a pending cancellation (+30 ms, ``WaitCancelled`` or
  ``PartiallyFilledWaitCancelled``) and the cancellation (+80 ms) follow; for
  an order already filled, cancelled or rejected at the counter the answer is
  ``on_order_action_error`` (+30 ms) and nothing else.

Algo engine, per parent order: the create response (+40 ms) and a ``New``
update (+60 ms); from its start time, six child orders spread evenly over its
window, each sent (child update ``Sended``), filled completely 500 ms later
(child update ``Filled``, a child trade, a parent update with the cumulative
fill) at the best price of the other side; the last child takes the rest and
finishes the parent.  Pause voids the children not yet sent (a child in
flight is cancelled), resume re-plans the remaining quantity over the
remaining slots, cancel ends the parent.  Responses of control requests name
the action in both ``control_type`` and ``algo_control_type``.
"""
import heapq
import itertools
import random
from datetime import datetime, time

from pyvorn.enums import (AlgoControlType, AlgoStatusType, AlgoType, OrderStatusType, PriceType, Side,
                          SubscribeDataType)
from pyvorn.gateway import Gateway, GatewayError
from pyvorn.records import (AlgoLoginRes, AssetRes, CancelParentOrderRes, ChildOrder, ChildTrade,
                            ControlParentOrderRes, CreateParentOrderRes, LoginRes, OrderActionError,
                            OrderReport, ParentOrder, PositionRecord, TradeReport)
from pyvorn.sim_market import NS_PER_MS, NS_PER_S, SessionPlan, ns_of, ns_of_stamp, price_of, stamp_of

MS = NS_PER_MS
LOT = 100

# error codes of the simulated counter
ERR_UNKNOWN_SECURITY = 11000001
ERR_NOT_IN_SESSION = 11000020
ERR_QUANTITY = 11010110
ERR_PRICE_LIMIT = 11010120
ERR_POSITION = 11010130
ERR_UNKNOWN_ORDER = 11010200
ERR_CANCEL_TOO_LATE = 11010204
ERR_ALGO_REQUEST = 12000001
ERR_ALGO_STATE = 12000002

_FINAL_ALGO = (AlgoStatusType.Finished, AlgoStatusType.Cancelled, AlgoStatusType.Rejected)


class Delivery:
    """One scheduled callback: ``strategy.<name>(*args)`` at ``t_ns`` on ``channel``."""

    __slots__ = ("t_ns", "seq", "channel", "name", "args", "void")

    def __init__(self, t_ns, seq, channel, name, args):
        self.t_ns = t_ns
        self.seq = seq
        self.channel = channel
        self.name = name
        self.args = args
        self.void = False

    def __repr__(self):
        return f"Delivery({self.t_ns}, #{self.seq}, {self.channel}, {self.name}{' void' if self.void else ''})"


class Scheduler:
    """Time-ordered deliveries; ties in scheduling order.  Not thread-safe: only
    the simulator's coordinating thread schedules and pops."""

    def __init__(self):
        self._heap = []
        self._seq = itertools.count()

    def at(self, t_ns, channel, name, *args):
        item = Delivery(t_ns, next(self._seq), channel, name, args)
        heapq.heappush(self._heap, (t_ns, item.seq, item))
        return item

    def next_time(self):
        heap = self._heap
        while heap and heap[0][2].void:
            heapq.heappop(heap)
        return heap[0][0] if heap else None

    def pop_until(self, t_ns):
        """Deliveries due at or before ``t_ns``, in order, void ones dropped."""
        out = []
        heap = self._heap
        while heap and heap[0][0] <= t_ns:
            item = heapq.heappop(heap)[2]
            if not item.void:
                out.append(item)
        return out

    def __len__(self):
        return sum(1 for _, _, item in self._heap if not item.void)


class _Fill:
    __slots__ = ("t_ns", "security_id", "market_type", "side", "qty", "price_ticks", "void")

    def __init__(self, t_ns, security_id, market_type, side, qty, price_ticks):
        self.t_ns = t_ns
        self.security_id = security_id
        self.market_type = market_type
        self.side = side
        self.qty = qty
        self.price_ticks = price_ticks
        self.void = False


class _CounterOrder:
    __slots__ = ("cid", "security_id", "market_type", "side", "price", "price_ticks", "qty", "price_type",
                 "counter_id", "accepted", "fills", "final_t", "final_status", "pending", "reports",
                 "kind", "cancel_requested")

    def __init__(self, cid, security_id, market_type, side, price, qty, price_type):
        self.cid = cid
        self.security_id = security_id
        self.market_type = market_type
        self.side = side
        self.price = price
        self.price_ticks = round(price * 100)
        self.qty = qty
        self.price_type = price_type
        self.counter_id = 0
        self.accepted = False
        self.fills = []            # _Fill, in time order
        self.final_t = None        # when the counter considers it done (filled, cancelled, rejected)
        self.final_status = None
        self.pending = []          # deliveries that a cancellation may void
        self.reports = []          # every OrderReport scheduled (void ones dropped on cancel)
        self.kind = None           # "marketable", "passive", "resting", "rejected"
        self.cancel_requested = False

    def filled_at(self, t_ns):
        return sum(f.qty for f in self.fills if not f.void and f.t_ns <= t_ns)

    def value_at(self, t_ns):
        return sum(f.qty * price_of(f.price_ticks) for f in self.fills if not f.void and f.t_ns <= t_ns)

    def final_at(self, t_ns):
        return self.final_t is not None and self.final_t <= t_ns


class SimCounter:
    """The trading counter of one fund account."""

    def __init__(self, scheduler, clock, fund_account_id, seed, plan, cash=10_000_000.0):
        self.scheduler = scheduler
        self.clock = clock
        self.fund_account_id = fund_account_id
        self.seed = seed
        self.plan = plan
        self.market = None
        self.orders = {}
        self.fills = []                   # every fill of the account (orders and algo children)
        self.start_cash = cash
        self.day_start_cash = cash
        self.day_start_t = 0
        self.init_qty = {}                # (security_id, market_type) -> quantity at the day's start
        self.cost = {}                    # (security_id, market_type) -> average cost (ticks, float)
        self.counter_ids = itertools.count(700_000_001)

    # ------------------------------------------------------------ days

    def begin_day(self, market, t_ns, initial_qty=None):
        """Roll to ``market``'s day: today's opening positions are yesterday's closing ones."""
        if self.market is None:
            for inst in market.instruments:
                key = (inst.security_id, inst.market_type)
                self.init_qty[key] = initial_qty.get(key, 0) if initial_qty else 0
                self.cost[key] = float(inst.prev_close_ticks)
        else:
            self.init_qty = self.positions_at(t_ns)
            self.day_start_cash = self.cash_at(t_ns)
        self.day_start_t = t_ns
        self.market = market

    def _sold_today(self, key, t_ns):
        return sum(f.qty for f in self.fills if not f.void and f.side is Side.Sell and f.t_ns <= t_ns
                   and f.t_ns >= self.day_start_t and (f.security_id, f.market_type) == key)

    def positions_at(self, t_ns):
        qty = dict(self.init_qty)
        for f in self.fills:
            if f.void or f.t_ns <= self.day_start_t or f.t_ns > t_ns:
                continue
            key = (f.security_id, f.market_type)
            qty[key] = qty.get(key, 0) + (f.qty if f.side is Side.Buy else -f.qty)
        return qty

    def cash_at(self, t_ns):
        cash = self.day_start_cash
        for f in self.fills:
            if f.void or f.t_ns <= self.day_start_t or f.t_ns > t_ns:
                continue
            value = f.qty * price_of(f.price_ticks)
            cash += -value if f.side is Side.Buy else value
        return cash

    def _costs_at(self, t_ns):
        """Average cost per instrument after the buys up to ``t_ns`` (sells leave it)."""
        cost = dict(self.cost)
        qty = dict(self.init_qty)
        for f in sorted((f for f in self.fills if not f.void and self.day_start_t < f.t_ns <= t_ns),
                        key=lambda f: f.t_ns):
            key = (f.security_id, f.market_type)
            q = qty.get(key, 0)
            if f.side is Side.Buy:
                cost[key] = (cost.get(key, 0.0) * q + f.price_ticks * f.qty) / (q + f.qty)
                qty[key] = q + f.qty
            else:
                qty[key] = q - f.qty
        return cost

    def end_day(self, t_ns):
        """Keep the day's average costs for the next day."""
        self.cost = self._costs_at(t_ns)

    # ------------------------------------------------------------ reports

    def _report(self, order, t_ns, status, trade_qty=0, trade_value=0.0, last_qty=0, last_price=0.0,
                error_code=0, error_msg="", counter_id=None, frozen=None):
        if frozen is None:
            frozen = (order.qty - trade_qty) * order.price if order.side is Side.Buy else 0.0
        report = OrderReport(
            client_order_id=order.cid, security_id=order.security_id, market_type=order.market_type,
            fund_account_id=self.fund_account_id, side=order.side, price_type=order.price_type,
            order_price=order.price, order_qty=order.qty, order_status=status, trade_qty=trade_qty,
            total_trade_value=trade_value, last_match_qty=last_qty, last_match_price=last_price,
            counter_order_id=order.counter_id if counter_id is None else counter_id,
            frozen_trade_value=frozen, update_time=stamp_of(t_ns), error_code=error_code, error_msg=error_msg)
        item = self.scheduler.at(t_ns, "td", "on_order", report)
        order.reports.append((item, report))
        return item

    def _reject(self, order, t_ns, code, msg):
        order.kind = "rejected"
        order.final_t, order.final_status = t_ns + 30 * MS, OrderStatusType.Reject
        self._report(order, t_ns + 30 * MS, OrderStatusType.Reject, error_code=code, error_msg=msg,
                     counter_id=0, frozen=0.0)

    def last_report(self, cid):
        """The last report delivered or still to be delivered for ``cid`` (void ones excluded)."""
        order = self.orders[cid]
        live = [r for item, r in order.reports if not item.void]
        return live[-1] if live else None

    # ------------------------------------------------------------ requests

    def insert_order(self, client_order_id, security_id, market_type, side, price, quantity, price_type):
        now = self.clock.now_ns()
        if client_order_id in self.orders:
            raise GatewayError(f"client order id {client_order_id!r} was used already")
        order = _CounterOrder(client_order_id, security_id, market_type, side, price, quantity, price_type)
        self.orders[client_order_id] = order
        market = self.market
        if market is None or not market.known(security_id, market_type):
            return self._reject(order, now, ERR_UNKNOWN_SECURITY, f"unknown security {security_id}")
        start, end = self._session_window()
        if not start <= now < end:
            return self._reject(order, now, ERR_NOT_IN_SESSION, "not in a trading session")
        key = (security_id, market_type)
        if not isinstance(quantity, int) or quantity <= 0 or (side is Side.Buy and quantity % LOT):
            return self._reject(order, now, ERR_QUANTITY, f"invalid quantity {quantity!r}")
        low, high = market.limits(security_id, market_type)
        if not low <= order.price_ticks <= high:
            return self._reject(order, now, ERR_PRICE_LIMIT,
                                f"price {price} outside the day's limits [{price_of(low)}, {price_of(high)}]")
        if side is Side.Sell:
            sellable = self.init_qty.get(key, 0) - self._sold_today(key, now) - self._selling(key, now)
            if quantity > sellable:
                return self._reject(order, now, ERR_POSITION, f"insufficient position: {sellable} sellable")
        order.accepted = True
        order.counter_id = next(self.counter_ids)
        self._report(order, now + 10 * MS, OrderStatusType.UnSend, counter_id=0)
        self._report(order, now + 40 * MS, OrderStatusType.Sended)
        last, bid, ask, _, _ = market.quote(security_id, market_type, now)
        rng = random.Random(self.seed * 1_000_003 + client_order_id)
        if side is Side.Buy:
            marketable = ask is not None and order.price_ticks >= ask
            passive = not marketable and order.price_ticks >= bid
        else:
            marketable = order.price_ticks <= bid
            passive = not marketable and (ask is None or order.price_ticks <= ask)
        lots = quantity // LOT
        plan = []                                   # (t_ns, qty)
        if marketable:
            order.kind = "marketable"
            n = min(rng.randint(1, 3), max(lots, 1))
            cuts = sorted(rng.sample(range(1, lots), n - 1)) if n > 1 else []
            bounds = [0] + cuts + [lots]
            left = quantity
            for j in range(n):
                q = (bounds[j + 1] - bounds[j]) * LOT if j < n - 1 else left
                left -= q
                plan.append((now + 300 * MS + j * NS_PER_S, q))
        elif passive and lots >= 2:
            order.kind = "passive"
            q = max(1, min(lots - 1, round(lots * rng.uniform(0.3, 0.7)))) * LOT
            plan.append((now + 1500 * MS, q))
        else:
            order.kind = "resting"
        close = market.close_ns
        cum_qty, cum_value = 0, 0.0
        for t_fill, q in plan:
            if t_fill >= close:
                break
            f_last, f_bid, f_ask, _, _ = market.quote(security_id, market_type, t_fill)
            if order.kind == "passive":
                px = order.price_ticks
            elif side is Side.Buy:
                px = min(order.price_ticks, f_ask if f_ask is not None else order.price_ticks)
            else:
                px = max(order.price_ticks, f_bid)
            fill = _Fill(t_fill, security_id, market_type, side, q, px)
            order.fills.append(fill)
            self.fills.append(fill)
            cum_qty += q
            cum_value += q * price_of(px)
            done = cum_qty == quantity
            status = OrderStatusType.Filled if done else OrderStatusType.PartiallyFilled
            order.pending.append(self._report(order, t_fill, status, cum_qty, cum_value, q, price_of(px)))
            order.pending.append(self.scheduler.at(t_fill, "td", "on_trade", TradeReport(
                client_order_id=client_order_id, security_id=security_id, market_type=market_type,
                fund_account_id=self.fund_account_id, exec_id=f"{order.counter_id}-{len(order.fills)}",
                counter_order_id=order.counter_id, side=side, match_price=price_of(px), match_qty=q,
                match_value=q * price_of(px), match_time=stamp_of(t_fill))))
            if done:
                order.final_t, order.final_status = t_fill, OrderStatusType.Filled
        if order.final_t is None:
            # whatever is open at the close expires
            t_exp = close + 500 * MS
            status = OrderStatusType.PartiallyFilledPartiallyCancelled if cum_qty else OrderStatusType.Cancelled
            order.pending.append(self._report(order, t_exp, status, cum_qty, cum_value, frozen=0.0))
            order.final_t, order.final_status = t_exp, status
        return None

    def _selling(self, key, t_ns):
        """Quantity of open sell orders of ``key`` not filled by ``t_ns``."""
        out = 0
        for o in self.orders.values():
            if o.accepted and o.side is Side.Sell and (o.security_id, o.market_type) == key \
                    and not o.final_at(t_ns):
                out += o.qty - o.filled_at(t_ns)
        return out

    def _session_window(self):
        """Orders are taken from 09:15 (the opening auction) to the close, the lunch break included."""
        day = self.market.day
        return ns_of(datetime.combine(day, time(9, 15))), self.plan.close_ns(day)

    def cancel_order(self, client_order_id):
        now = self.clock.now_ns()
        order = self.orders.get(client_order_id)
        if order is None or not order.accepted or order.final_at(now) or order.cancel_requested:
            if order is None:
                code, msg = ERR_UNKNOWN_ORDER, f"unknown order {client_order_id!r}"
            elif order.cancel_requested:
                code, msg = ERR_CANCEL_TOO_LATE, "a cancellation is already in progress"
            else:
                state = order.final_status.name if order.final_status else "not accepted"
                code, msg = ERR_CANCEL_TOO_LATE, f"order is already {state}; cancel too late"
            self.scheduler.at(now + 30 * MS, "td", "on_order_action_error", OrderActionError(
                client_order_id=client_order_id, counter_order_id=order.counter_id if order else 0,
                error_code=code, error_msg=msg))
            return None
        order.cancel_requested = True
        for item in order.pending:
            if item.t_ns > now:
                item.void = True
        for f in order.fills:
            if f.t_ns > now:
                f.void = True
        order.reports = [(item, r) for item, r in order.reports if not item.void]
        filled = order.filled_at(now)
        value = order.value_at(now)
        if filled:
            waiting, final = (OrderStatusType.PartiallyFilledWaitCancelled,
                              OrderStatusType.PartiallyFilledPartiallyCancelled)
        else:
            waiting, final = OrderStatusType.WaitCancelled, OrderStatusType.Cancelled
        self._report(order, now + 30 * MS, waiting, filled, value)
        self._report(order, now + 80 * MS, final, filled, value, frozen=0.0)
        order.final_t, order.final_status = now + 80 * MS, final
        return None

    def asset_at(self, t_ns):
        cash = self.cash_at(t_ns)
        frozen = 0.0
        for o in self.orders.values():
            if o.accepted and o.side is Side.Buy and not o.final_at(t_ns):
                frozen += (o.qty - o.filled_at(t_ns)) * o.price
        market_value = 0.0
        for (sid, mt), q in sorted(self.positions_at(t_ns).items(), key=lambda kv: kv[0][0]):
            if q:
                market_value += q * price_of(self.market.quote(sid, mt, t_ns)[0])
        return AssetRes(fund_account_id=self.fund_account_id, available_t1=cash - frozen, frozen_all=frozen,
                        market_value=market_value, total_asset=cash + market_value, leaves_value=cash,
                        init_leaves_value=self.day_start_cash)

    def position_records_at(self, t_ns):
        qty = self.positions_at(t_ns)
        cost = self._costs_at(t_ns)
        out = []
        for key in sorted(qty, key=lambda k: k[0]):
            sid, mt = key
            init, leaves = self.init_qty.get(key, 0), qty[key]
            if not init and not leaves:
                continue
            last = self.market.quote(sid, mt, t_ns)[0]
            c = cost.get(key, 0.0)
            out.append(PositionRecord(
                security_id=sid, market_id=mt, init_qty=init, leaves_qty=leaves,
                available_qty=init - self._sold_today(key, t_ns),
                cost_price=round(c / 100, 4), last_price=price_of(last), market_value=leaves * price_of(last),
                profit_loss=round(leaves * (last - c) / 100, 2)))
        return out


class _Parent:
    __slots__ = ("sys_id", "client_seq_id", "security_id", "market_type", "side", "qty", "algo_name",
                 "start_ns", "end_ns", "start_stamp", "end_stamp", "create_stamp", "slots", "items",
                 "children", "status", "final_t", "paused_at", "fills", "cancelled_in_flight")

    def __init__(self, sys_id, client_seq_id, security_id, market_type, side, qty, algo_name,
                 start_ns, end_ns, start_stamp, end_stamp, create_stamp):
        self.sys_id = sys_id
        self.client_seq_id = client_seq_id
        self.security_id = security_id
        self.market_type = market_type
        self.side = side
        self.qty = qty
        self.algo_name = algo_name
        self.start_ns = start_ns
        self.end_ns = end_ns
        self.start_stamp = start_stamp
        self.end_stamp = end_stamp
        self.create_stamp = create_stamp
        self.slots = []            # child send times
        self.items = []            # deliveries that a pause or cancel may void
        self.children = []         # (child_sys_id, send_t, fill_t, qty, price_ticks)
        self.status = AlgoStatusType.New
        self.final_t = None
        self.paused_at = None
        self.fills = []            # _Fill of the children
        self.cancelled_in_flight = 0

    def filled_at(self, t_ns):
        return sum(f.qty for f in self.fills if not f.void and f.t_ns <= t_ns)

    def value_at(self, t_ns):
        return sum(f.qty * price_of(f.price_ticks) for f in self.fills if not f.void and f.t_ns <= t_ns)


class SimAlgoEngine:
    """Algorithmic parent orders, executed as child orders on the counter's account."""

    CHILDREN = 6

    def __init__(self, scheduler, clock, counter, trader_id):
        self.scheduler = scheduler
        self.clock = clock
        self.counter = counter
        self.trader_id = trader_id
        self.parents = {}
        self.ids = itertools.count(900_000_001)        # sys_quote_id of parents, children and fills

    def _at(self, parent, t_ns, name, *args):
        item = self.scheduler.at(t_ns, "algo", name, *args)
        if parent is not None:
            parent.items.append(item)
        return item

    def _parent_update(self, parent, t_ns, status, error_code=0, error_msg=""):
        return self._at(parent, t_ns, "on_algo_parent_order_update", ParentOrder(
            sys_quote_id=parent.sys_id, security_id=parent.security_id, market_type=parent.market_type,
            side=parent.side, order_qty=parent.qty, client_seq_id=parent.client_seq_id,
            fund_account_id=self.counter.fund_account_id, algo_name=parent.algo_name, status=status,
            trade_qty=parent.filled_at(t_ns), trade_value=parent.value_at(t_ns), start_time=parent.start_stamp,
            end_time=parent.end_stamp, create_time=parent.create_stamp, update_time=stamp_of(t_ns),
            error_code=error_code, error_msg=error_msg))

    def create(self, client_seq_id, security_id, market_type, side, quantity, price, algo_name,
               start_time, end_time, start_ns, end_ns):
        now = self.clock.now_ns()
        market = self.counter.market
        problem = None
        if market is None or not market.known(security_id, market_type):
            problem = f"unknown security {security_id}"
        elif not isinstance(quantity, int) or quantity <= 0 or quantity % LOT:
            problem = f"invalid quantity {quantity!r}"
        elif not now < end_ns or not start_ns < end_ns:
            problem = "invalid time window"
        if problem:
            self.scheduler.at(now + 40 * MS, "algo", "on_create_algo_parent_order_res", CreateParentOrderRes(
                client_seq_id=client_seq_id, sys_quote_id=0, error_code=ERR_ALGO_REQUEST, error_msg=problem))
            return None
        parent = _Parent(next(self.ids), client_seq_id, security_id, market_type, side, quantity, algo_name,
                         start_ns, end_ns, start_time, end_time, stamp_of(now))
        self.parents[parent.sys_id] = parent
        self.scheduler.at(now + 40 * MS, "algo", "on_create_algo_parent_order_res", CreateParentOrderRes(
            client_seq_id=client_seq_id, sys_quote_id=parent.sys_id, error_code=0, error_msg=""))
        self._parent_update(parent, now + 60 * MS, AlgoStatusType.New)
        first = max(start_ns, now + NS_PER_S)
        step = (end_ns - first) // self.CHILDREN
        parent.slots = [first + j * step for j in range(self.CHILDREN)]
        self._plan(parent, now, running_update_at=first - MS)
        return parent.sys_id

    def _plan(self, parent, now, running_update_at):
        """Schedules the children of the slots after ``now`` for the quantity not yet done."""
        market = self.counter.market
        close = market.close_ns
        slots = [s for s in parent.slots if s > now and s < close]
        if not slots:
            slots = [now + NS_PER_S] if now + NS_PER_S < close else []
        left_lots = (parent.qty - parent.filled_at(now)) // LOT
        self._parent_update(parent, running_update_at, AlgoStatusType.Running)
        if not slots or not left_lots:
            return
        per, extra = divmod(left_lots, len(slots))
        cum = parent.filled_at(now)
        for j, t_send in enumerate(slots):
            lots = per + (1 if j < extra else 0)
            if not lots:
                continue
            q = lots * LOT
            t_fill = t_send + 500 * MS
            _, bid, ask, _, _ = market.quote(parent.security_id, parent.market_type, t_send)
            px = (ask if ask is not None else bid) if parent.side is Side.Buy else bid
            child_id = next(self.ids)
            trade_id = next(self.ids)
            counter_id = next(self.counter.counter_ids)
            fill = _Fill(t_fill, parent.security_id, parent.market_type, parent.side, q, px)
            parent.fills.append(fill)
            self.counter.fills.append(fill)
            cum += q
            child = dict(sys_quote_id=child_id, parent_sys_quote_id=parent.sys_id, security_id=parent.security_id,
                         market_type=parent.market_type, side=parent.side, order_qty=q, order_price=price_of(px),
                         price_type=PriceType.Limit, counter_order_id=counter_id, create_time=stamp_of(t_send))
            self._at(parent, t_send, "on_algo_child_order_update", ChildOrder(
                **child, order_status=OrderStatusType.Sended, update_time=stamp_of(t_send)))
            self._at(parent, t_fill, "on_algo_child_order_update", ChildOrder(
                **child, order_status=OrderStatusType.Filled, trade_qty=q, trade_value=q * price_of(px),
                update_time=stamp_of(t_fill)))
            self._at(parent, t_fill, "on_algo_child_order_trade", ChildTrade(
                sys_quote_id=trade_id, parent_sys_quote_id=parent.sys_id, child_sys_quote_id=child_id,
                security_id=parent.security_id, market_type=parent.market_type, side=parent.side,
                trade_price=price_of(px), trade_qty=q, trade_value=q * price_of(px), trade_time=stamp_of(t_fill),
                exec_id=f"{counter_id}-1"))
            parent.children.append((child, t_send, t_fill, fill))
            done = cum == parent.qty
            self._parent_update(parent, t_fill, AlgoStatusType.Finished if done else AlgoStatusType.Running)
            if done:
                parent.final_t, parent.status = t_fill, AlgoStatusType.Finished

    def _stop(self, parent, now):
        """Voids what has not happened by ``now``; cancels a child in flight.  Returns the time of the last report."""
        for item in parent.items:
            if item.t_ns > now:
                item.void = True
        t_report = now + 50 * MS
        for child, t_send, t_fill, fill in parent.children:
            if t_fill > now and not fill.void:
                fill.void = True
                if t_send <= now:
                    parent.cancelled_in_flight += 1
                    self.scheduler.at(t_report, "algo", "on_algo_child_order_update", ChildOrder(
                        **child, order_status=OrderStatusType.Cancelled, update_time=stamp_of(t_report)))
        parent.children = [c for c in parent.children if not c[3].void]
        parent.final_t = None

    def _state_at(self, parent, t_ns):
        if parent.final_t is not None and parent.final_t <= t_ns:
            return parent.status
        return AlgoStatusType.Paused if parent.paused_at is not None else AlgoStatusType.Running

    def control(self, sys_quote_id, control_type):
        now = self.clock.now_ns()
        parent = self.parents.get(sys_quote_id)
        code, msg = 0, ""
        state = self._state_at(parent, now) if parent else None
        if parent is None:
            code, msg = ERR_ALGO_REQUEST, f"unknown parent order {sys_quote_id!r}"
        elif control_type is AlgoControlType.Pause and state is not AlgoStatusType.Running:
            code, msg = ERR_ALGO_STATE, f"cannot pause a parent order that is {state.name}"
        elif control_type is AlgoControlType.Resume and state is not AlgoStatusType.Paused:
            code, msg = ERR_ALGO_STATE, f"cannot resume a parent order that is {state.name}"
        elif control_type not in (AlgoControlType.Pause, AlgoControlType.Resume):
            code, msg = ERR_ALGO_REQUEST, f"unsupported control {control_type!r}"
        self.scheduler.at(now + 40 * MS, "algo", "on_control_algo_parent_order_res", ControlParentOrderRes(
            sys_quote_id=sys_quote_id, control_type=control_type, algo_control_type=control_type,
            error_code=code, error_msg=msg))
        if code:
            return None
        if control_type is AlgoControlType.Pause:
            self._stop(parent, now)
            parent.paused_at = now
            parent.status = AlgoStatusType.Paused
            self._parent_update(parent, now + 60 * MS, AlgoStatusType.Paused)
        else:
            parent.paused_at = None
            parent.status = AlgoStatusType.Running
            self._plan(parent, now, running_update_at=now + 60 * MS)
        return None

    def cancel(self, sys_quote_id):
        now = self.clock.now_ns()
        parent = self.parents.get(sys_quote_id)
        state = self._state_at(parent, now) if parent else None
        if parent is None or state in _FINAL_ALGO:
            msg = f"unknown parent order {sys_quote_id!r}" if parent is None else f"parent order is {state.name}"
            self.scheduler.at(now + 40 * MS, "algo", "on_cancel_algo_parent_order_res", CancelParentOrderRes(
                sys_quote_id=sys_quote_id, error_code=ERR_ALGO_STATE, error_msg=msg))
            return None
        self._stop(parent, now)
        parent.paused_at = None
        self.scheduler.at(now + 40 * MS, "algo", "on_cancel_algo_parent_order_res", CancelParentOrderRes(
            sys_quote_id=sys_quote_id, error_code=0, error_msg=""))
        self._parent_update(parent, now + 60 * MS, AlgoStatusType.Cancelled)
        parent.final_t, parent.status = now + 60 * MS, AlgoStatusType.Cancelled
        return None


class SimulatedGateway(Gateway):
    """Trading counter, algo engine and logins behind one ``Context``.

    ``accounts`` maps each ``TDType`` the strategy may register to its fund
    account id (a registered type without an account gets a failed login);
    ``trader_id`` is the algo account.  ``plan`` and ``seed`` are the run's.
    """

    def __init__(self, scheduler, clock, *, seed, plan=SessionPlan(), accounts=None, trader_id="2001",
                 cash=10_000_000.0):
        self.scheduler = scheduler
        self.clock = clock
        self.accounts = dict(accounts or {})
        self.counters = {td: SimCounter(scheduler, clock, acct, seed, plan, cash) for td, acct in self.accounts.items()}
        self.algo_counter = next(iter(self.counters.values()), None)
        self.trader_id = trader_id
        self.algo = SimAlgoEngine(scheduler, clock, self.algo_counter, trader_id) if self.algo_counter else None
        self.md_types = []
        self.td_types = []
        self.algo_types = []
        self.subscriptions = []
        self._login_seq = itertools.count(1)

    def on_registration(self, kind, args):
        now = self.clock.now_ns()
        if kind == "add_md_broker":
            self.md_types.append(args[0])
        elif kind == "subscribe":
            self.subscriptions.append(args)
        elif kind == "add_td_broker":
            td = args[0]
            self.td_types.append(td)
            account = self.accounts.get(td)
            self.scheduler.at(now + 50 * MS, "td", "on_login", LoginRes(
                fund_account_id=account if account is not None else "", error_code=0 if account else 1,
                client_seq_id=next(self._login_seq), error_msg="" if account else f"no account for {td.name}"))
        elif kind == "add_algo_broker":
            self.algo_types.append(args[0])
            ok = self.algo is not None
            self.scheduler.at(now + 60 * MS, "algo", "on_algo_login", AlgoLoginRes(
                trader_id=self.trader_id, client_seq_id=next(self._login_seq), error_code=0 if ok else 1,
                error_msg="" if ok else "no trading account behind the algo account"))

    def bars_subscribed(self, market_type):
        """Whether one-minute bars of every instrument of ``market_type`` were subscribed."""
        return any(sub[1] is market_type and sub[2] is SubscribeDataType.Bar and sub[4] == "1m" and not sub[3]
                   for sub in self.subscriptions)

    def begin_day(self, market, t_ns, initial_qty=None):
        for counter in self.counters.values():
            counter.begin_day(market, t_ns, initial_qty)

    def end_day(self, t_ns):
        for counter in self.counters.values():
            counter.end_day(t_ns)

    def _counter(self, td_type):
        if td_type not in self.td_types:
            raise GatewayError(f"trading broker {td_type!r} is not registered")
        counter = self.counters.get(td_type)
        if counter is None:
            raise GatewayError(f"no account behind trading broker {td_type!r}")
        return counter

    def _algo(self, algo_type):
        if algo_type is not AlgoType.XTA or algo_type not in self.algo_types or self.algo is None:
            raise GatewayError(f"algo broker {algo_type!r} is not registered")
        return self.algo

    # trading
    def insert_order(self, td_type, client_order_id, security_id, market_type, side, price, quantity, price_type):
        return self._counter(td_type).insert_order(client_order_id, security_id, market_type, side, price,
                                                   quantity, price_type)

    def cancel_order(self, td_type, client_order_id):
        return self._counter(td_type).cancel_order(client_order_id)

    def query_asset(self, td_type, request_id):
        counter = self._counter(td_type)
        now = self.clock.now_ns()
        self.scheduler.at(now + 50 * MS, "td", "on_query_asset", counter.asset_at(now), request_id, 0, "success")

    def query_position(self, td_type, request_id):
        counter = self._counter(td_type)
        now = self.clock.now_ns()
        self.scheduler.at(now + 60 * MS, "td", "on_query_position", counter.position_records_at(now), request_id,
                          0, "success")

    # algorithmic orders
    def create_algo_parent_order(self, algo_type, client_seq_id, security_id, market_type, side, quantity, price,
                                 algo_name, start_time, end_time):
        return self._algo(algo_type).create(client_seq_id, security_id, market_type, side, quantity, price,
                                            algo_name, start_time, end_time, ns_of_stamp(start_time),
                                            ns_of_stamp(end_time))

    def cancel_algo_parent_order(self, algo_type, sys_quote_id):
        return self._algo(algo_type).cancel(sys_quote_id)

    def control_algo_parent_order(self, algo_type, sys_quote_id, control_type):
        return self._algo(algo_type).control(sys_quote_id, control_type)
