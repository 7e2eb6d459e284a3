"""The demo strategy the stand-in host runs: a fixed plan per trading day.

Minutes are counted over the day's bars (0 = the first bar of the morning,
``minutes_per_half`` = the first bar of the afternoon); an action runs when
the bar event of its minute has arrived.  Every hour of bars (a "cycle", as
many as fit) does, at these minutes of the cycle:

==  ===================================================================
 2  buy up to 3 instruments at the ask: filled
 4  buy up to 3 instruments at the bid: partly filled, left open
 5  buy up to 3 instruments 10 ticks under the bid: no fill
 6  buy one instrument a tick above its upper limit: rejected;
    sell more of one instrument than the account holds: rejected
 8  cancel the orders of minute 4: partly filled, then cancelled
 9  cancel the orders of minute 5 but one, which expires at the close
10  sell up to 3 holdings with the weakest 5-bar trend under the bid: filled
12  cancel the first order of minute 2 again: too late, it is filled
==  ===================================================================

and on the first cycle one algorithmic TWAP buy of ``ALGO_QTY`` over a window
of ``W`` minutes (W = a quarter of the day's bars, at least 7, within the
morning), paused after a quarter of the window, resumed at half, and on
even-numbered days (the first day is 0) cancelled at three quarters; on the
others it finishes.

The instruments are drawn with ``random.Random`` seeded by the run's seed,
the day and the minute, among those whose latest tick allows the intended
outcome (an ask to buy at, room under the bid, a holding to sell).
"""
import random

from corvix.tarrow.const import ORDER_STATUS, SIDE

CYCLE = 60
PER_ACTION = 3
ALGO_QTY = 3000
MIN_MINUTES_PER_HALF = 11

ACTIONS = {
    2: ("buy_marketable",),
    4: ("buy_passive",),
    5: ("buy_deep",),
    6: ("reject_price", "reject_position"),
    8: ("cancel_passive",),
    9: ("cancel_deep",),
    10: ("sell_marketable",),
    12: ("late_cancel",),
}

# intent -> the status the order must end in
EXPECTED_STATUS = {
    "buy_marketable": ORDER_STATUS.FILLED,
    "sell_marketable": ORDER_STATUS.FILLED,
    "buy_passive": ORDER_STATUS.CANCELLED,
    "buy_deep": ORDER_STATUS.CANCELLED,
    "reject_price": ORDER_STATUS.REJECTED,
    "reject_position": ORDER_STATUS.REJECTED,
}


def algo_plan(minutes_per_half):
    """(create, pause, resume, cancel, window) minutes of the day's algo order."""
    total = 2 * minutes_per_half
    window = min(max(7, total // 4), minutes_per_half - 4)
    start = 3
    return start, start + max(1, window // 4), start + window // 2, start + (3 * window) // 4, window


def day_schedule(minutes_per_half, day_index):
    """{minute: [action, ...]} of one day."""
    if minutes_per_half < MIN_MINUTES_PER_HALF:
        raise ValueError(f"the demo strategy needs at least {MIN_MINUTES_PER_HALF} minutes per half-day")
    total = 2 * minutes_per_half
    out = {}
    cycle = 0
    while cycle * CYCLE + max(ACTIONS) < total:
        for offset, actions in ACTIONS.items():
            out.setdefault(cycle * CYCLE + offset, []).extend((a, cycle) for a in actions)
        cycle += 1
    create, pause, resume, cancel, _ = algo_plan(minutes_per_half)
    out.setdefault(create, []).append(("algo_create", 0))
    out.setdefault(pause, []).append(("algo_pause", 0))
    out.setdefault(resume, []).append(("algo_resume", 0))
    if day_index % 2 == 0:
        out.setdefault(cancel, []).append(("algo_cancel", 0))
    return out


def _ticks(price):
    return round(price * 100)


def _price(ticks):
    return ticks / 100


class DemoStrategy:
    """Decides; the host sends.  ``host`` offers ``tick(code)``, ``bars(code, n)``,
    ``buy``/``sell``/``cancel`` and the algo requests, and ``sellable(code)``."""

    def __init__(self, host, seed, minutes_per_half):
        self.host = host
        self.seed = seed
        self.minutes_per_half = minutes_per_half
        self.schedule = {}
        self.day_index = None
        self.cycle_orders = {}          # (cycle, action) -> [client order id]
        self.algo_window = algo_plan(minutes_per_half)[4]

    def begin_day(self, day_index):
        self.day_index = day_index
        self.schedule = day_schedule(self.minutes_per_half, day_index)
        self.cycle_orders = {}

    def on_minute(self, minute):
        for action, cycle in self.schedule.get(minute, ()):
            getattr(self, action)(cycle, random.Random(self.seed * 1_000_003 + self.day_index * 10_007 + minute))

    # ------------------------------------------------------------ picking

    def _pick(self, rng, ok, count=PER_ACTION):
        codes = [code for code in self.host.codes if ok(self.host.tick(code))]
        return sorted(rng.sample(codes, min(count, len(codes))))

    def _record(self, cycle, action, cid):
        if cid is not None:
            self.cycle_orders.setdefault((cycle, action), []).append(cid)

    # ------------------------------------------------------------ actions

    def buy_marketable(self, cycle, rng):
        for code in self._pick(rng, lambda t: t is not None and t["asks"]):
            tick = self.host.tick(code)
            price = _price(min(_ticks(tick["asks"][0]) + 2, _ticks(tick["high_limited"])))
            self._record(cycle, "buy_marketable",
                         self.host.buy(code, price, rng.randint(1, 10) * 100, "buy_marketable"))

    def buy_passive(self, cycle, rng):
        for code in self._pick(rng, lambda t: t is not None and t["bids"]):
            price = self.host.tick(code)["bids"][0]
            self._record(cycle, "buy_passive", self.host.buy(code, price, rng.randint(2, 10) * 100, "buy_passive"))

    def buy_deep(self, cycle, rng):
        def room(t):
            return t is not None and t["bids"] and _ticks(t["bids"][0]) - 10 >= _ticks(t["low_limited"])
        for code in self._pick(rng, room):
            price = _price(_ticks(self.host.tick(code)["bids"][0]) - 10)
            self._record(cycle, "buy_deep", self.host.buy(code, price, rng.randint(1, 10) * 100, "buy_deep"))

    def reject_price(self, cycle, rng):
        for code in self._pick(rng, lambda t: t is not None, 1):
            price = _price(_ticks(self.host.tick(code)["high_limited"]) + 1)
            self.host.buy(code, price, 100, "reject_price")

    def reject_position(self, cycle, rng):
        for code in self._pick(rng, lambda t: t is not None and t["bids"], 1):
            price = self.host.tick(code)["bids"][0]
            self.host.sell(code, price, self.host.sellable(code) + 1000, "reject_position", check=False)

    def cancel_passive(self, cycle, rng):
        for cid in self.cycle_orders.get((cycle, "buy_passive"), ()):
            self.host.cancel(cid)

    def cancel_deep(self, cycle, rng):
        for cid in self.cycle_orders.get((cycle, "buy_deep"), ())[:-1]:
            self.host.cancel(cid)

    def sell_marketable(self, cycle, rng):
        def trend(code):
            bars = self.host.bars(code, 5)
            if not bars or bars[0]["close_price"] <= 0:
                return 0.0
            return bars[-1]["close_price"] / bars[0]["close_price"]
        codes = [c for c in self.host.codes
                 if self.host.sellable(c) >= 100 and (self.host.tick(c) or {}).get("bids")]
        for code in sorted(codes, key=lambda c: (trend(c), c))[:PER_ACTION]:
            tick = self.host.tick(code)
            price = _price(max(_ticks(tick["bids"][0]) - 2, _ticks(tick["low_limited"])))
            qty = min(self.host.sellable(code) // 100, rng.randint(1, 5)) * 100
            self.host.sell(code, price, qty, "sell_marketable")

    def late_cancel(self, cycle, rng):
        filled = self.cycle_orders.get((cycle, "buy_marketable"), ())
        if filled:
            self.host.cancel(filled[0], late=True)

    def algo_create(self, cycle, rng):
        codes = self._pick(rng, lambda t: t is not None and t["asks"], 1)
        if codes:
            self.host.algo_create(codes[0], SIDE.BUY, ALGO_QTY, self.algo_window,
                                  "cancelled" if self.day_index % 2 == 0 else "finished")

    def algo_pause(self, cycle, rng):
        self.host.algo_control("pause")

    def algo_resume(self, cycle, rng):
        self.host.algo_control("resume")

    def algo_cancel(self, cycle, rng):
        self.host.algo_control("cancel")
