"""The trading-day clock: which day events it registers for a moment of the
day, with which intervals, how it re-arms itself each morning, and the day
events it posts."""
import types
from datetime import date, datetime, time, timedelta

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import corvix.tarrow.utils.tessaline as tessaline
from conftest import Recorder, make_config
from corvix.tarrow.core.events import EVENT
from pyvorn.context import Context
from pyvorn.timer import ThreadTimerService, VirtualTimerService

TODAY = date.today()          # np.datetime64("today") reads the real date
NS = 1_000_000_000


def at(h, m=0, s=0, us=0, day=TODAY):
    return datetime.combine(day, time(h, m, s, us))


class Clock:
    """Stands in for the module's datetime: now() hands out the given moments
    in turn (the last one repeats) and counts the readings."""

    def __init__(self, *moments):
        self.moments = list(moments)
        self.readings = 0
        clock = self

        class FakeDatetime(datetime):
            @classmethod
            def now(cls, tz=None):
                moment = clock.moments[min(clock.readings, len(clock.moments) - 1)]
                clock.readings += 1
                return cls.combine(moment.date(), moment.time())
        self.cls = FakeDatetime


@pytest.fixture
def clock(tl, monkeypatch):
    def install(*moments):
        c = Clock(*moments)
        monkeypatch.setattr(tl, "datetime", c.cls)
        return c
    return install


@pytest.fixture
def trading(strategy):
    strategy.config.base.trading_calendar = np.array([np.datetime64(TODAY, "D")])
    return strategy


def timers(strategy):
    """(interval, callback name) of every add_timer_interval call, in order."""
    out = []
    for name, args, kwargs in strategy.context.calls:
        assert name == "add_timer_interval" and kwargs == {}
        interval, callback = args
        assert type(interval) is int
        assert callback.__self__ is strategy
        out.append((interval, callback.__name__))
    return out


B, O, A, T = ("send_before_trading_event", "send_open_auction_event",
              "send_after_trading_event", "set_timer")


@pytest.mark.parametrize("moment, expected", [
    (at(8), [(3600 * NS, B), (5040 * NS, O), (27000 * NS, A)]),
    (at(0, 0, 1), [(32399 * NS, B), (33839 * NS, O), (55799 * NS, A)]),
    (at(9), [(3 * NS, B), (1440 * NS, O), (23400 * NS, A)]),
    # the float product falls just short of a whole number and is truncated, not rounded
    (at(8, 23, 21, 5723), [(2198994276999, B), (3638994277000, O), (25598994277000, A)]),
    (at(8, 59, 59, 999999), [(1000, B), (1440000001000, O), (23400000001000, A)]),
    (at(9, 25), [(3 * NS, B), (-60 * NS, O), (21900 * NS, A)]),
    (at(9, 26, 59, 999999), [(3 * NS, B), (-179999999000, O), (21780000001000, A)]),
    (at(9, 27), [(3 * NS, B), (21780 * NS, A)]),
    (at(15, 29, 59), [(3 * NS, B), (NS, A)]),
    (at(15, 30), [(3 * NS, B), (20 * NS, A)]),
    (at(23, 59, 59), [(3 * NS, B), (20 * NS, A)]),
])
def test_listener_registers_the_days_events(tl, trading, clock, moment, expected):
    c = clock(moment)
    assert trading.create_time_listener() is None
    assert timers(trading) == expected
    assert c.readings == 1


@settings(max_examples=300, deadline=None)
@given(st.times())
def test_intervals_truncate_the_float_product_as_python_does(now_time):
    s = tessaline.VornStrategy(make_config(trading_calendar=[np.datetime64(TODAY, "D")]))
    s.context = Recorder()
    now = datetime.combine(TODAY, now_time)

    def ns(target):
        return int((datetime.combine(now.date(), target) - now).total_seconds() * 1000000000)
    expected = [ns(time(9)) if now_time < time(9) else 3000000000]
    if now_time < time(9, 27):
        expected.append(ns(time(9, 24)))
    expected.append(ns(time(15, 30)) if now_time < time(15, 30) else 20000000000)
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(tessaline, "datetime", Clock(now).cls)
        s.create_time_listener()
    assert [i for i, _ in timers(s)] == expected


def test_listener_reads_its_globals_at_each_use_in_order(tl, trading, clock, monkeypatch):
    clock(at(8))
    seen = []

    def fake_time(*args):
        seen.append(args)
        return time(*args)

    def fake_datetime64(*args):
        seen.append(("datetime64",) + args)
        return np.datetime64(*args)
    monkeypatch.setattr(tl, "time", fake_time)
    monkeypatch.setattr(tl, "np", types.SimpleNamespace(datetime64=fake_datetime64))
    trading.create_time_listener()
    assert seen == [("datetime64", "today", "D"), (9, 0, 0), (9, 0, 0), (9, 27, 0), (9, 24, 0),
                    (15, 30, 0), (15, 30, 0)]


def test_calendar_is_asked_with_in_on_every_run(tl, strategy, clock, logs):
    clock(at(8))
    asked = []

    class Calendar:
        def __init__(self, answer):
            self.answer = answer

        def __contains__(self, day):
            asked.append(day)
            return self.answer

        def __format__(self, spec):
            return f"<calendar {spec!r}>"
    strategy.config.base.trading_calendar = Calendar(False)
    strategy.create_time_listener()
    assert asked == [np.datetime64(TODAY, "D")] and asked[0].dtype == np.dtype("datetime64[D]")
    assert logs.system.infos == [f"{TODAY.isoformat()} not trade day... <calendar ''>"]
    assert strategy.context.calls == []
    strategy.config.base.trading_calendar = Calendar(True)      # the host changed its calendar
    strategy.create_time_listener()
    assert len(timers(strategy)) == 3 and len(logs.system.infos) == 1


def test_not_trade_day_line_shows_the_whole_calendar(tl, strategy, clock, logs):
    clock(at(8))
    calendar = [np.datetime64("2001-01-02", "D"), np.datetime64("2001-01-03", "D")]
    strategy.config.base.trading_calendar = calendar
    strategy.set_timer()
    today = np.datetime64("today", "D")
    assert logs.system.infos == [f"{today} not trade day... {calendar}"]
    assert timers(strategy) == [(24 * 3600 * NS, T)]


@pytest.mark.parametrize("calendar, error", [(None, TypeError), (5, TypeError)])
def test_calendar_without_in_fails(tl, strategy, clock, calendar, error):
    clock(at(8))
    strategy.config.base.trading_calendar = calendar
    with pytest.raises(error):
        strategy.create_time_listener()
    assert strategy.context.calls == []


def test_context_is_read_for_each_registration(tl, trading, clock):
    clock(at(8))
    first, second = Recorder(), Recorder()
    first._returns["add_timer_interval"] = lambda *a: setattr(trading, "context", second)
    trading.context = first
    trading.create_time_listener()
    assert first.names() == ["add_timer_interval"]
    assert second.names() == ["add_timer_interval", "add_timer_interval"]


def test_registered_callbacks_are_the_subclass_overrides(tl, clock):
    class Mine(tl.VornStrategy):
        def send_open_auction_event(self):
            pass

        def set_timer(self):
            tl.VornStrategy.set_timer(self)
    s = Mine(make_config(trading_calendar=[np.datetime64(TODAY, "D")]))
    s.context = Recorder()
    clock(at(8))
    s.set_timer()
    callbacks = [args[1] for _, args, _ in s.context.calls]
    assert callbacks[1].__func__ is Mine.send_open_auction_event
    assert callbacks[3].__func__ is Mine.set_timer
    assert callbacks[0].__func__ is tl.VornStrategy.send_before_trading_event


@pytest.mark.parametrize("moments, expected", [
    ((at(0, 0, 1),), 115199 * NS),                              # about 32 hours ahead
    ((at(23, 59, 59),), 28801 * NS),                            # about 8 hours ahead
    ((at(8),), 24 * 3600 * NS),
    # the target comes from the first reading, the distance from the second
    ((at(23, 59, 59, 999999), at(0, 0, 0, 1, day=TODAY + timedelta(days=1))), 28799999999000),
])
def test_set_timer_rearms_for_eight_next_morning(tl, strategy, clock, moments, expected):
    strategy.create_time_listener = lambda: None
    c = clock(*moments)
    assert strategy.set_timer() is None
    assert timers(strategy) == [(expected, T)]
    assert c.readings == 2


def test_set_timer_runs_listener_first_then_rearms(tl, trading, clock, monkeypatch):
    clock(at(8))
    made = []
    monkeypatch.setattr(tl, "timedelta", lambda **kw: made.append(kw) or timedelta(**kw))
    trading.set_timer()
    assert timers(trading) == [(3600 * NS, B), (5040 * NS, O), (27000 * NS, A), (24 * 3600 * NS, T)]
    assert made == [{"days": 1}]


class ListenerFailed(Exception):
    pass


def failing_listener():
    raise ListenerFailed("bad day")


def test_failing_listener_still_rearms_then_raises_its_own_error(tl, strategy, clock):
    clock(at(8))
    strategy.create_time_listener = failing_listener
    with pytest.raises(ListenerFailed) as info:
        strategy.set_timer()
    assert timers(strategy) == [(24 * 3600 * NS, T)]
    assert info.value.__context__ is None
    frames = []
    tb = info.value.__traceback__
    while tb:
        frames.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    assert frames[-1] == "failing_listener"


def test_broken_calendar_does_not_stop_the_clock(tl, strategy, clock):
    clock(at(8))                    # the strategy's configuration has no trading_calendar
    with pytest.raises(AttributeError, match="trading_calendar"):
        strategy.set_timer()
    assert timers(strategy) == [(24 * 3600 * NS, T)]


def test_rearm_failure_is_chained_under_the_listener_error(tl, strategy, clock):
    clock(at(8))
    earlier = KeyError("before")

    def listener():
        try:
            raise earlier
        except KeyError:
            raise ListenerFailed("bad day")
    strategy.create_time_listener = listener
    rearm_error = RuntimeError("timer service closed")

    def refuse(*args):
        raise rearm_error
    strategy.context._returns["add_timer_interval"] = refuse
    with pytest.raises(ListenerFailed) as info:
        strategy.set_timer()
    assert info.value.__context__ is rearm_error
    assert rearm_error.__context__ is earlier           # nothing of the old chain is lost
    assert rearm_error.__traceback__ is not None


def test_rearm_failure_after_a_good_listener_propagates(tl, trading, clock):
    clock(at(8))
    calls = []

    def add(interval, callback):
        calls.append(callback.__name__)
        if callback.__name__ == T:
            raise RuntimeError("refused")
    trading.context._returns["add_timer_interval"] = add
    with pytest.raises(RuntimeError, match="refused"):
        trading.set_timer()
    assert calls == [B, O, A, T]


@pytest.mark.parametrize("sender, member", [
    ("send_before_trading_event", EVENT.BEFORE_TRADING),
    ("send_open_auction_event", EVENT.OPEN_AUCTION),
    ("send_after_trading_event", EVENT.AFTER_TRADING),
])
def test_senders_post_their_day_event_at_the_moment_they_run(tl, strategy, clock, events, sender, member):
    clock(at(9, 0, 2, 500))
    tl.orders_dict["o1"] = object()
    assert getattr(strategy, sender)() is None
    (event,) = events
    assert event.event_type is member and event.fields == ("calendar_dt", "trading_dt")
    assert event.calendar_dt == at(9, 0, 2, 500) and event.trading_dt is event.calendar_dt
    assert (len(tl.orders_dict) == 0) == (member is EVENT.AFTER_TRADING)


def test_after_trading_clears_orders_only_after_posting(tl, clock, events):
    clock(at(15, 30))
    seen = []

    class Mine(tl.VornStrategy):
        def send_day_event(self, event_type, dt):
            seen.append((event_type, dt, dict(tl.orders_dict)))
    tl.orders_dict["o1"] = "order"
    Mine(make_config()).send_after_trading_event()
    assert seen == [(EVENT.AFTER_TRADING, at(15, 30), {"o1": "order"})] and tl.orders_dict == {}


def test_failed_after_trading_post_keeps_orders(tl, strategy, clock, monkeypatch):
    clock(at(15, 30))
    monkeypatch.setattr(tl, "Event", None)
    tl.orders_dict["o1"] = "order"
    with pytest.raises(TypeError):
        strategy.send_after_trading_event()
    assert tl.orders_dict == {"o1": "order"}


def test_send_day_event_posts_anything_unchanged(tl, strategy, monkeypatch, events):
    made = []
    monkeypatch.setattr(tl, "Event", lambda *a, **kw: made.append((a, kw)) or ("event", a, kw))
    kind, moment = object(), object()
    assert strategy.send_day_event(dt=moment, event_type=kind) is None
    assert made == [((kind,), {"calendar_dt": moment, "trading_dt": moment})]
    assert list(made[0][1]) == ["calendar_dt", "trading_dt"]
    assert events == [("event", (kind,), {"calendar_dt": moment, "trading_dt": moment})]


def test_send_day_event_looks_up_event_before_the_queue(tl, strategy, monkeypatch):
    monkeypatch.delattr(tl, "Event")
    monkeypatch.delattr(tl, "event_queue")
    with pytest.raises(NameError, match="'Event'"):
        strategy.send_day_event(EVENT.OPEN_AUCTION, 1)


def test_day_events_reach_the_real_ring_buffer(tl, strategy, clock):
    clock(at(9))
    before = len(tl.event_queue)
    strategy.send_before_trading_event()
    assert len(tl.event_queue) == before + 1
    # the ring buffer wraps a negative index over its whole capacity, not its length
    assert tl.event_queue[before].event_type is EVENT.BEFORE_TRADING


def test_a_registered_callback_really_fires_on_the_sdk_timer_thread(tl, clock, events):
    """Registers at 08:59:59.9, so the before-trading call is due in 100 ms."""
    clock(at(8, 59, 59, 900000))
    s = tl.VornStrategy(make_config(trading_calendar=[np.datetime64(TODAY, "D")]))
    context = Context(timer_service=ThreadTimerService())
    s.context = context
    try:
        s.set_timer()
        assert [h.interval_ns for h in context.timers] == [100_000_000, 1_440_100_000_000,
                                                          23_400_100_000_000, 82_800_100_000_000]
        assert context.timers[0].wait(5), "the before-trading timer never fired"
        assert context.timers[0].error is None
        assert [e.event_type for e in events] == [EVENT.BEFORE_TRADING]
        assert not context.timers[1].fired
    finally:
        context.close()


def test_the_clock_renews_itself_day_after_day(tl, monkeypatch, events, logs):
    """Simulated time from Friday 07:00: the weekend logs and posts nothing,
    Monday runs again, and each day's events come in their order."""
    friday = date(2030, 1, 4)
    start = datetime.combine(friday, time(7))
    service = VirtualTimerService(start_ns=0)

    class SimDatetime(datetime):
        @classmethod
        def now(cls, tz=None):
            t = start + timedelta(microseconds=service.now_ns() // 1000)
            return cls.combine(t.date(), t.time())

    def datetime64(value, unit):
        assert value == "today"
        return np.datetime64(SimDatetime.now().date(), unit)
    monkeypatch.setattr(tl, "datetime", SimDatetime)
    monkeypatch.setattr(tl, "np", types.SimpleNamespace(datetime64=datetime64))
    calendar = [np.datetime64(friday, "D"), np.datetime64(friday + timedelta(days=3), "D")]
    s = tl.VornStrategy(make_config(trading_calendar=calendar))
    s.context = Context(timer_service=service)
    s.set_timer()
    service.advance_to(4 * 24 * 3600 * NS)                       # to Tuesday 07:00
    got = [(e.event_type.name, e.calendar_dt.strftime("%a %H:%M")) for e in events]
    assert got == [("BEFORE_TRADING", "Fri 09:00"), ("OPEN_AUCTION", "Fri 09:24"),
                   ("AFTER_TRADING", "Fri 15:30"),
                   ("BEFORE_TRADING", "Mon 09:00"), ("OPEN_AUCTION", "Mon 09:24"),
                   ("AFTER_TRADING", "Mon 15:30")]
    assert [m.split(" not")[0] for m in logs.system.infos] == ["2030-01-05", "2030-01-06"]
    pending = service.pending()
    assert [h.callback.__name__ for h in pending] == ["set_timer"]
    assert pending[0].due_ns == 4 * 24 * 3600 * NS + 3600 * NS     # Tuesday 08:00
