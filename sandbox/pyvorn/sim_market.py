"""Seeded market data for the simulated gateway.

One ``MarketDay`` per trading day holds, for every instrument, a random walk
of the last price (in ticks of 0.01, kept inside the day's price limits of
+/-10 % around the previous close) sampled at the snapshot times, and streams
the day's records in time order:

- an opening snapshot at 09:25 (phase "C1"), then one snapshot every
  ``snapshot_interval_ms`` of each continuous session (phase "T0"), each
  instrument shifted by its own offset inside the interval;
- between two snapshots, level-2 orders and transactions (new orders that rest
  or trade at once against a resting order of the other side, and
  cancellations of resting orders); a snapshot's cumulative volume and value
  are the sums of the transactions before it;
- one one-minute bar per instrument and minute of continuous trading,
  published ``bar_delay_ms`` after the minute's end.

Everything is drawn from ``numpy.random.default_rng((seed, day_index,
instrument_index))`` in a fixed order, so a day is a pure function of the
seed, the universe and the previous closes: the same seed gives the same
records, bit for bit.

Times are nanoseconds since 1970-01-01 of naive local time; record stamps are
ints YYYYMMDDHHMMSSmmm as the gateway sends them.

A record is made just before it is delivered, as a gateway decodes a message
just before its callback: the stream the simulator reads carries, for each
record, a function that makes it, and the day's drawn quantities stay numbers
in arrays until then.  Records made ahead (a step's worth, or one per
instrument waiting in the merge) or int objects shared by every record of the
day would sit cold in memory when a callback first reads them, and shared ones
would never be freed when the host lets a record go; neither is true of a live
feed.
"""
import bisect
import functools
import heapq
from dataclasses import dataclass
from datetime import date, datetime, time, timedelta

import numpy as np

from pyvorn.enums import MarketType
from pyvorn.records import Bar, Snapshot, TickOrder, TickTrade

NS_PER_MS = 1_000_000
NS_PER_S = 1_000_000_000
MS_PER_MIN = 60_000
_EPOCH = datetime(1970, 1, 1)

ON_SNAPSHOT = "on_snapshot"
ON_TICK_ORDER = "on_tick_order"
ON_TICK_TRADE = "on_tick_trade"
ON_BAR = "on_bar"

_BUY, _SELL = ord("1"), ord("2")          # Shenzhen side codes
_LIMIT = ord("2")                          # Shenzhen limit order
_FILL, _CANCEL = ord("F"), ord("4")        # Shenzhen execution types


def ns_of(dt):
    """Nanoseconds of a naive datetime (or a date, at midnight)."""
    if not isinstance(dt, datetime):
        dt = datetime.combine(dt, time())
    delta = dt - _EPOCH
    return (delta.days * 86400 + delta.seconds) * NS_PER_S + delta.microseconds * 1000


def datetime_of(ns):
    """Naive datetime of a nanosecond count (microseconds kept)."""
    return _EPOCH + timedelta(microseconds=ns // 1000)


@functools.lru_cache(maxsize=64)
def _date_stamp(days):
    d = date(1970, 1, 1) + timedelta(days=days)
    return (d.year * 10000 + d.month * 100 + d.day) * 1_000_000_000


def stamp_of(ns):
    """Gateway stamp YYYYMMDDHHMMSSmmm of a nanosecond count."""
    days, rest = divmod(ns // NS_PER_MS, 86_400_000)
    h, rest = divmod(rest, 3_600_000)
    m, rest = divmod(rest, 60_000)
    s, ms = divmod(rest, 1000)
    return _date_stamp(days) + h * 10_000_000 + m * 100_000 + s * 1000 + ms


def ns_of_stamp(stamp):
    """Nanoseconds of a gateway stamp YYYYMMDDHHMMSSmmm."""
    seconds, ms = divmod(int(stamp), 1000)
    rest, s = divmod(seconds, 100)
    rest, mi = divmod(rest, 100)
    rest, h = divmod(rest, 100)
    rest, d = divmod(rest, 100)
    y, mo = divmod(rest, 100)
    return ns_of(datetime(y, mo, d, h, mi, s)) + ms * NS_PER_MS


def price_of(ticks):
    """Price in currency units of a count of 0.01 ticks (the nearest double)."""
    return ticks / 100


@dataclass(frozen=True)
class SessionPlan:
    """Shape of a simulated trading day."""
    snapshot_interval_ms: int = 3000
    minutes_per_half: int = 120           # continuous minutes of the morning and of the afternoon
    l2_orders_per_snapshot: float = 0.5   # mean new level-2 orders between two snapshots
    cancel_probability: float = 0.1       # chance of one cancellation between two snapshots
    book_levels: int = 5
    bar_delay_ms: int = 200

    OPENING = time(9, 25)
    HALF_STARTS = (time(9, 30), time(13, 0))

    def __post_init__(self):
        if not 1 <= self.minutes_per_half <= 120:
            raise ValueError("minutes_per_half must be within 1..120")
        if not 100 <= self.snapshot_interval_ms <= MS_PER_MIN:
            raise ValueError("snapshot_interval_ms must be within 100..60000")
        if not 0 <= self.bar_delay_ms < 1000:
            raise ValueError("bar_delay_ms must be within 0..999")
        if not 1 <= self.book_levels <= 10:
            raise ValueError("book_levels must be within 1..10")

    @property
    def snapshots_per_half(self):
        return self.minutes_per_half * MS_PER_MIN // self.snapshot_interval_ms

    @property
    def snapshots_per_day(self):
        """Per instrument: the opening snapshot and both continuous sessions."""
        return 1 + 2 * self.snapshots_per_half

    @property
    def bars_per_day(self):
        return 2 * self.minutes_per_half

    def halves(self, day):
        """(start_ns, end_ns) of the two continuous sessions of ``day``."""
        out = []
        for start in self.HALF_STARTS:
            s = ns_of(datetime.combine(day, start))
            out.append((s, s + self.minutes_per_half * MS_PER_MIN * NS_PER_MS))
        return out

    def close_ns(self, day):
        return self.halves(day)[1][1]

    def bar_end_times(self, day):
        """End time (ns) of every one-minute bar of ``day``, in order."""
        return [start + (m + 1) * MS_PER_MIN * NS_PER_MS
                for start, _ in self.halves(day) for m in range(self.minutes_per_half)]


@dataclass(frozen=True)
class SimInstrument:
    security_id: str
    market_type: MarketType
    prev_close_ticks: int                 # previous close of the first simulated day


def make_universe(count, seed):
    """``count`` Shenzhen instruments 000001, 000002, ... with seeded previous closes (3 to 80)."""
    if not 1 <= count <= 999_999:
        raise ValueError("instrument count must be within 1..999999")
    rng = np.random.default_rng((seed, 0x5EED))
    closes = rng.integers(300, 8001, size=count).tolist()
    return [SimInstrument(f"{i + 1:06d}", MarketType.SZSE, c) for i, c in enumerate(closes)]


def limits_of(prev_close_ticks):
    """(low, high) limit prices in ticks: -10 % / +10 % of the previous close, rounded half up."""
    return (prev_close_ticks * 9 + 5) // 10, (prev_close_ticks * 11 + 5) // 10


def _snapshot(book_vols, last, levels, low, high, fields):
    """A snapshot with its order book made now: the prices of the levels
    inside the price limits around ``last`` (in ticks), and the volumes of
    ``book_vols``, the bid levels' then the ask levels'."""
    vols = book_vols.tolist()
    bids = [price_of(last - j) for j in range(levels) if last - j >= low]
    asks = [price_of(last + 1 + j) for j in range(levels) if last + 1 + j <= high]
    return Snapshot(**fields, bid_price=bids, bid_volume=vols[:len(bids)], ask_price=asks,
                    ask_volume=vols[levels:levels + len(asks)])


class _InstrumentDay:
    """Arrays of one instrument's day; built once, read by the stream and the counter.
    The quantities a record carries stay numpy arrays: each record gets ints of its own."""

    __slots__ = ("inst", "index", "prev_close", "low", "high", "times", "path", "phases",
                 "book_vols", "counts", "sides", "aggressive", "sizes", "offsets", "cancels")

    def __init__(self, inst, index, prev_close, plan, day, day_index, seed):
        self.inst = inst
        self.index = index
        self.prev_close = prev_close
        self.low, self.high = limits_of(prev_close)
        rng = np.random.default_rng((seed, day_index, index))
        interval_ns = plan.snapshot_interval_ms * NS_PER_MS
        offset_ns = int(rng.integers(0, plan.snapshot_interval_ms)) * NS_PER_MS
        n_half = plan.snapshots_per_half
        times = [ns_of(datetime.combine(day, plan.OPENING)) + offset_ns]
        for start, _ in plan.halves(day):
            times.extend(start + offset_ns + j * interval_ns for j in range(n_half))
        n = len(times)
        self.times = times
        self.phases = ["C1"] + ["T0"] * (n - 1)
        gap = int(rng.integers(-3, 4))
        steps = rng.integers(-1, 2, size=n)
        steps[0] = gap
        self.path = np.clip(prev_close + np.cumsum(steps), self.low, self.high).tolist()
        self.book_vols = rng.integers(1, 60, size=(n, 2 * plan.book_levels)) * 100
        counts = rng.poisson(plan.l2_orders_per_snapshot, size=n)
        counts[0] = 0                       # nothing trades before the opening snapshot
        total = int(counts.sum())
        self.counts = counts.tolist()
        self.sides = rng.integers(0, 2, size=total).tolist()
        self.aggressive = (rng.random(total) < 0.5).tolist()
        self.sizes = rng.integers(1, 11, size=total) * 100
        self.offsets = rng.integers(0, 3, size=total).tolist()
        cancels = rng.random(n) < plan.cancel_probability
        cancels[0] = False
        self.cancels = cancels.tolist()

    def last_ticks_at(self, t_ns):
        """Last price (ticks) of the latest snapshot at or before ``t_ns``; the previous close before the first."""
        k = bisect.bisect_right(self.times, t_ns) - 1
        return self.prev_close if k < 0 else self.path[k]


class MarketDay:
    """The market of one trading day: quotes for the counter and the record stream."""

    def __init__(self, plan, instruments, day, day_index, seed, prev_closes=None):
        self.plan = plan
        self.day = day
        self.day_index = day_index
        self.instruments = list(instruments)
        if prev_closes is None:
            prev_closes = [inst.prev_close_ticks for inst in self.instruments]
        self._days = [_InstrumentDay(inst, i, pc, plan, day, day_index, seed)
                      for i, (inst, pc) in enumerate(zip(self.instruments, prev_closes))]
        self._by_id = {(d.inst.security_id, d.inst.market_type): d for d in self._days}
        self.close_ns = plan.close_ns(day)

    # ------------------------------------------------------------ quotes

    def known(self, security_id, market_type):
        return (security_id, market_type) in self._by_id

    def limits(self, security_id, market_type):
        d = self._by_id[(security_id, market_type)]
        return d.low, d.high

    def quote(self, security_id, market_type, t_ns):
        """(last, bid, ask, low_limit, high_limit) in ticks at ``t_ns``.

        The best bid is the last price and the best ask one tick above it; at the
        upper limit there is no ask (None), at the lower limit the bid is the limit.
        """
        d = self._by_id[(security_id, market_type)]
        last = d.last_ticks_at(t_ns)
        ask = last + 1 if last + 1 <= d.high else None
        return last, last, ask, d.low, d.high

    def closes(self):
        """Closing price (ticks) of every instrument: the previous closes of the next day."""
        return [d.path[-1] for d in self._days]

    # ------------------------------------------------------------ records

    def stream(self, lazy=False):
        """Every record of the day as ``(t_ns, instrument_index, seq, callback_name, record)``, in time order.

        With ``lazy``, each item carries a function of no arguments that makes
        its record, for the caller to call when it delivers the record (items
        are ordered by their first three values alone, which are unique).
        """
        items = heapq.merge(*(self._instrument_stream(d) for d in self._days))
        if lazy:
            return items
        return ((t, i, seq, name, make()) for t, i, seq, name, make in items)

    def market_type(self, index):
        """The market of the instrument at ``index`` of the universe."""
        return self._days[index].inst.market_type

    def count_records(self):
        """{callback name: number of records} of the whole day (generates them)."""
        counts = {ON_SNAPSHOT: 0, ON_TICK_ORDER: 0, ON_TICK_TRADE: 0, ON_BAR: 0}
        for item in self.stream():
            counts[item[3]] += 1
        return counts

    def _instrument_stream(self, d):
        plan = self.plan
        inst = d.inst
        sid, mt, i = inst.security_id, inst.market_type, d.index
        levels = plan.book_levels
        low, high = d.low, d.high
        low_f, high_f, pre_f = price_of(low), price_of(high), price_of(d.prev_close)
        minute_ns = MS_PER_MIN * NS_PER_MS
        bar_delay_ns = plan.bar_delay_ms * NS_PER_MS
        halves = plan.halves(self.day)
        bar_ends = plan.bar_end_times(self.day)
        n_bars = len(bar_ends)
        state = {
            "seq": 0, "bar": 0,                       # record counter, index of the open bar
            "vol": 0, "val": 0.0,                     # cumulative volume and value traded
            "o": None, "h": None, "l": None, "c": None,   # the open bar's prices (ticks)
            "v0": 0, "a0": 0.0, "pc": d.prev_close,   # volume/value when it opened, previous bar close
        }
        pending = []                                  # closed bars waiting for their publish time

        def due(x):
            """Closes the bars that ended at or before ``x``; returns the items due before ``x``."""
            st = state
            while st["bar"] < n_bars and bar_ends[st["bar"]] <= x:
                end = bar_ends[st["bar"]]
                o = st["o"]
                if o is None:
                    o = h = lo = c = st["pc"]
                else:
                    h, lo, c = st["h"], st["l"], st["c"]
                st["seq"] += 1
                pending.append((end + bar_delay_ns, i, st["seq"], ON_BAR,
                                functools.partial(
                                    Bar, security_id=sid, market_type=mt, end_time=stamp_of(end),
                                    start_time=stamp_of(end - minute_ns), orig_time=stamp_of(end + bar_delay_ns),
                                    open=price_of(o), close=price_of(c), high=price_of(h), low=price_of(lo),
                                    amount=st["val"] - st["a0"], volume=st["vol"] - st["v0"],
                                    prev_close=price_of(st["pc"]))))
                st["bar"] += 1
                st["o"] = st["h"] = st["l"] = st["c"] = None
                st["v0"], st["a0"], st["pc"] = st["vol"], st["val"], c
            out = []
            while pending and pending[0][0] <= x:
                out.append(pending.pop(0))
            return out

        def nxt():
            state["seq"] += 1
            return state["seq"]

        next_appl = 1                       # application sequence numbers of this instrument's channel
        resting = ([], [])                  # resting (appl_seq, size) of buyers, of sellers
        n_trades = 0
        day_open = day_high = day_low = None
        r = 0                               # cursor into the per-order arrays
        times, path = d.times, d.path
        half_starts = [s for s, _ in halves]
        for k in range(len(times)):
            t = times[k]
            last = path[k]
            # level-2 flow since the previous snapshot of the session, at evenly spread times
            c = d.counts[k]
            n_slots = c + (1 if d.cancels[k] else 0)
            if n_slots:
                prev_t = times[k - 1]
                for s in half_starts:
                    if prev_t < s <= t:
                        prev_t = s          # nothing trades during the lunch break
                span_ms = (t - prev_t) // NS_PER_MS
            for slot in range(1, n_slots + 1):
                te = prev_t + (span_ms * slot // (n_slots + 1)) * NS_PER_MS
                yield from due(te)
                if slot > c:
                    if not (resting[0] or resting[1]):
                        continue
                    side = 0 if len(resting[0]) >= len(resting[1]) else 1
                    cseq, csize = resting[side].pop(0)
                    trade_seq = next_appl
                    next_appl += 1
                    yield (te, i, nxt(), ON_TICK_TRADE,
                           functools.partial(
                               TickTrade, security_id=sid, market_type=mt, trade_time=stamp_of(te),
                               trade_type=_CANCEL, biz_index=trade_seq, channel_no=2011,
                               bid_appl_seq_num=cseq if side == 0 else 0,
                               offer_appl_seq_num=cseq if side == 1 else 0,
                               trade_price=0.0, trade_volume=csize, value_trade=0.0))
                    continue
                side = d.sides[r]
                size = int(d.sizes[r])
                off = d.offsets[r]
                aggressive = d.aggressive[r]
                r += 1
                own, other = resting[side], resting[1 - side]
                appl = next_appl
                next_appl += 1
                trades = aggressive and bool(other)
                if trades:
                    price = last
                else:
                    price = last - off if side == 0 else last + 1 + off
                    price = min(max(price, low), high)
                yield (te, i, nxt(), ON_TICK_ORDER,
                       functools.partial(
                           TickOrder, security_id=sid, market_type=mt, order_time=stamp_of(te),
                           side=_BUY if side == 0 else _SELL, order_type=_LIMIT, biz_index=appl,
                           channel_no=2011, order_price=price_of(price), order_volume=size,
                           orig_order_no=appl))
                if trades:
                    rest_seq, rest_size = other.pop(0)
                    volume = min(size, rest_size)
                    value = price_of(price) * volume
                    state["vol"] += volume
                    state["val"] += value
                    n_trades += 1
                    bid_seq, offer_seq = (appl, rest_seq) if side == 0 else (rest_seq, appl)
                    trade_seq = next_appl
                    next_appl += 1
                    yield (te, i, nxt(), ON_TICK_TRADE,
                           functools.partial(
                               TickTrade, security_id=sid, market_type=mt, trade_time=stamp_of(te),
                               trade_type=_FILL, biz_index=trade_seq, channel_no=2011, bid_appl_seq_num=bid_seq,
                               offer_appl_seq_num=offer_seq, trade_price=price_of(price),
                               trade_volume=volume, value_trade=value))
                else:
                    own.append((appl, size))
                    if len(own) > 20:
                        own.pop(0)          # the oldest leaves the simulated book silently
            yield from due(t)
            if day_open is None:
                day_open = day_high = day_low = last
            elif last > day_high:
                day_high = last
            elif last < day_low:
                day_low = last
            st = state
            if st["bar"] < n_bars and t >= bar_ends[st["bar"]] - minute_ns:
                if st["o"] is None:
                    st["o"] = st["h"] = st["l"] = last
                elif last > st["h"]:
                    st["h"] = last
                elif last < st["l"]:
                    st["l"] = last
                st["c"] = last
            yield (t, i, nxt(), ON_SNAPSHOT,
                   functools.partial(_snapshot, d.book_vols[k], last, levels, low, high,
                           dict(security_id=sid, market_type=mt, orig_time=stamp_of(t), trading_phase_code=d.phases[k],
                                pre_close_price=pre_f, open_price=price_of(day_open), high_price=price_of(day_high),
                                low_price=price_of(day_low), last_price=price_of(last), close_price=price_of(last),
                                total_volume_trade=state["vol"], total_value_trade=state["val"],
                                num_trades=n_trades, high_limited=high_f, low_limited=low_f)))
        yield from due(bar_ends[-1] + bar_delay_ns)
