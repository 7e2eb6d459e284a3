// The trading-day clock. It owns no thread: every pending call lives in the
// SDK's timer service. Each morning set_timer runs the listener, which (on a
// trading day) registers that day's three events, then registers set_timer
// itself for 08:00 of the next day.
//
// Every global (datetime, time, timedelta, np, Event, EVENT, event_queue,
// orders_dict) is looked up at each use and every expression is evaluated in
// the order the interpreter would, so a test can swap the clock or the host
// classes and see exactly the calls it expects.
#include "handlers.hpp"

namespace tessaline {
namespace {

constexpr long long ns_per_second = 1000000000LL;
constexpr long long late_before_trading_ns = 3000000000LL;
constexpr long long late_after_trading_ns = 20000000000LL;

Ref integer(long long value) { return require(PyLong_FromLongLong(value)); }

// time(h, m, s), the time-of-day class as bound now.
Ref time_of_day(const Ctx& c, long h, long m, long s) {
    Ref time_class = c.global(Name::time);
    Ref hour = integer(h);
    Ref minute = integer(m);
    Ref second = integer(s);
    return call(time_class.get(), hour, minute, second);
}

// datetime.now(), the date-time class as bound now.
Ref clock_now(const Ctx& c) {
    Ref datetime_class = c.global(Name::datetime);
    return c.call_method(datetime_class.get(), Name::now);
}

// current_time < time(h, m, 0): a strict comparison, so the boundary itself counts as late.
bool earlier_than(const Ctx& c, PyObject* current_time, long h, long m) {
    Ref limit = time_of_day(c, h, m, 0);
    return truthy(require(PyObject_RichCompare(current_time, limit.get(), Py_LT)).get());
}

// datetime.combine(now.date(), time(h, m, 0)) - now: negative once the target has passed.
Ref until(const Ctx& c, PyObject* now, long h, long m) {
    Ref datetime_class = c.global(Name::datetime);
    Ref combine = c.attr(datetime_class.get(), Name::combine);
    Ref day = c.call_method(now, Name::date);
    Ref target_time = time_of_day(c, h, m, 0);
    Ref target = call(combine.get(), day, target_time);
    return require(PyNumber_Subtract(target.get(), now));
}

// int(time_diff.total_seconds() * 1000000000): a float product truncated
// toward zero, computed with Python numbers so that it rounds exactly as the
// interpreter does.
Ref nanoseconds(const Ctx& c, PyObject* time_diff) {
    Ref seconds = c.call_method(time_diff, Name::total_seconds);
    Ref factor = integer(ns_per_second);
    Ref product = require(PyNumber_Multiply(seconds.get(), factor.get()));
    return require(PyNumber_Long(product.get()));
}

// self.context.add_timer_interval(<interval>, self.<callback>): the context is
// read afresh for every registration, and the callback is the bound method
// read from self, so a subclass's override is what the SDK will call.
template <class Interval>
void register_timer(const Ctx& c, PyObject* self, Interval&& interval, Name callback) {
    Ref context = c.attr(self, Name::context);
    Ref add_timer_interval = c.attr(context.get(), Name::add_timer_interval);
    Ref interval_ns = interval();
    Ref bound = c.attr(self, callback);
    call(add_timer_interval.get(), interval_ns, bound);
}

Ref trading_calendar(const Ctx& c, PyObject* self) {
    Ref config = c.attr(self, Name::config);
    Ref base = c.attr(config.get(), Name::base);
    return c.attr(base.get(), Name::trading_calendar);
}

// "<today> not trade day... <calendar>", the calendar read again for the text.
void log_not_trade_day(const Ctx& c, PyObject* self, PyObject* current_date) {
    Ref logger = c.global(Name::system_log);
    Ref info = c.attr(logger.get(), Name::info);
    Ref day_text = as_text(current_date);
    Ref calendar = trading_calendar(c, self);
    Ref calendar_text = as_text(calendar.get());
    PyObject* pieces[] = {day_text.get(), c.n(Name::log_not_trade_day), calendar_text.get()};
    call(info.get(), join_text(c, pieces, 3));
}

// Registers the next morning's set_timer: 08:00:00.000000 of the next
// calendar day, measured from a second reading of the clock.
void rearm(const Ctx& c, PyObject* self) {
    Ref tomorrow_8am;
    {
        Ref now = clock_now(c);
        Ref replace = c.attr(now.get(), Name::replace);
        Ref eight = integer(8);
        PyObject* zero = c.integer(Int::zero);
        Ref today_8am = call_kw(replace.get(), c.kw(Kw::at_eight), eight, zero, zero, zero);
        Ref timedelta_class = c.global(Name::timedelta);
        Ref one_day = call_kw(timedelta_class.get(), c.kw(Kw::one_day), c.integer(Int::one));
        tomorrow_8am = require(PyNumber_Add(today_8am.get(), one_day.get()));
    }
    Ref now = clock_now(c);
    Ref time_diff = require(PyNumber_Subtract(tomorrow_8am.get(), now.get()));
    register_timer(c, self, [&] { return nanoseconds(c, time_diff.get()); }, Name::set_timer);
}

// An exception taken out of the error indicator, to be put back unchanged
// (same object, same traceback).
struct HeldError {
    Ref type;
    Ref value;
    Ref traceback;

    static HeldError take() {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        return HeldError{Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
    }

    void restore() { PyErr_Restore(type.release(), value.release(), traceback.release()); }

    // Makes value an exception instance that carries its traceback.
    bool normalize() {
        PyObject* t = type.release();
        PyObject* v = value.release();
        PyObject* tb = traceback.release();
        PyErr_NormalizeException(&t, &v, &tb);
        if (v != nullptr && tb != nullptr && PyExceptionInstance_Check(v) && PyException_SetTraceback(v, tb) < 0)
            PyErr_Clear();
        type = Ref::steal(t);
        value = Ref::steal(v);
        traceback = Ref::steal(tb);
        return value && PyExceptionInstance_Check(value.get());
    }
};

// Hangs `later` under `error` as its __context__, so the error that is raised
// still tells that re-arming failed too. Whatever `error` was chained to
// before moves behind `later`, unless `later` has a chain of its own; a link
// back to `error` is cut as the interpreter cuts one, so no cycle forms.
void chain_under(HeldError& error, HeldError& later) {
    if (!error.normalize() || !later.normalize()) return;
    PyObject* outer = error.value.get();
    PyObject* inner = later.value.get();
    if (outer == inner) return;
    Ref earlier = Ref::steal(PyException_GetContext(outer));
    Ref own_context = Ref::steal(PyException_GetContext(inner));
    if (earlier && !own_context) PyException_SetContext(inner, earlier.release());
    // The walk is bounded, so a cycle already in the chain cannot hold it.
    Ref link = Ref::borrow(inner);
    for (int depth = 0; depth < 1000; ++depth) {
        Ref next = Ref::steal(PyException_GetContext(link.get()));
        if (!next) break;
        if (next.get() == outer) {
            PyException_SetContext(link.get(), nullptr);
            break;
        }
        link = std::move(next);
    }
    PyException_SetContext(outer, Py_NewRef(inner));
}

// self.send_day_event(EVENT.<member>, datetime.now()), the method read from self first.
void send(const Ctx& c, PyObject* self, Name member) {
    Ref send_day_event = c.attr(self, Name::send_day_event);
    Ref event_type = c.member(Name::EVENT, member);
    Ref now = clock_now(c);
    call(send_day_event.get(), event_type, now);
}

}  // namespace

Ref create_time_listener(Ctx& c, PyObject* const* a) {
    PyObject* self = a[0];
    Ref current_date;
    {
        Ref np = c.global(Name::np);
        Ref datetime64 = c.attr(np.get(), Name::datetime64);
        current_date = call(datetime64.get(), c.n(Name::today), c.n(Name::day_unit));
    }
    {
        Ref calendar = trading_calendar(c, self);
        if (require_status(PySequence_Contains(calendar.get(), current_date.get())) == 0) {
            log_not_trade_day(c, self, current_date.get());
            return none();
        }
    }
    // One reading of the clock decides all three registrations.
    Ref now = clock_now(c);
    Ref current_time = c.call_method(now.get(), Name::time);

    if (earlier_than(c, current_time.get(), 9, 0)) {
        Ref time_diff = until(c, now.get(), 9, 0);
        register_timer(c, self, [&] { return nanoseconds(c, time_diff.get()); }, Name::send_before_trading_event);
    } else {
        register_timer(c, self, [] { return integer(late_before_trading_ns); }, Name::send_before_trading_event);
    }

    // Tested against 09:27 but aimed at 09:24: between the two the interval is
    // negative and is passed on as it is.
    if (earlier_than(c, current_time.get(), 9, 27)) {
        Ref time_diff = until(c, now.get(), 9, 24);
        register_timer(c, self, [&] { return nanoseconds(c, time_diff.get()); }, Name::send_open_auction_event);
    }

    if (earlier_than(c, current_time.get(), 15, 30)) {
        Ref time_diff = until(c, now.get(), 15, 30);
        register_timer(c, self, [&] { return nanoseconds(c, time_diff.get()); }, Name::send_after_trading_event);
    } else {
        register_timer(c, self, [] { return integer(late_after_trading_ns); }, Name::send_after_trading_event);
    }
    return none();
}

Ref set_timer(Ctx& c, PyObject* const* a) {
    PyObject* self = a[0];
    try {
        c.call_method(self, Name::create_time_listener);
    } catch (const PythonError&) {
        // One bad day must not stop the clock: the next morning is armed
        // before the listener's error goes on to the caller.
        HeldError listener_error = HeldError::take();
        try {
            rearm(c, self);
        } catch (const PythonError&) {
            HeldError rearm_error = HeldError::take();
            chain_under(listener_error, rearm_error);
        }
        listener_error.restore();
        throw PythonError{};
    }
    rearm(c, self);
    return none();
}

Ref send_day_event(Ctx& c, PyObject* const* a) {
    PyObject* event_type = a[1];
    PyObject* dt = a[2];
    Ref event_class = c.global(Name::Event);
    Ref event = call_kw(event_class.get(), c.kw(Kw::dated_event), event_type, dt, dt);
    c.post_to(c.global(Name::event_queue), event);
    return none();
}

Ref send_before_trading_event(Ctx& c, PyObject* const* a) {
    send(c, a[0], Name::BEFORE_TRADING);
    return none();
}

Ref send_open_auction_event(Ctx& c, PyObject* const* a) {
    send(c, a[0], Name::OPEN_AUCTION);
    return none();
}

// The day's orders are forgotten only once the after-trading event is posted.
Ref send_after_trading_event(Ctx& c, PyObject* const* a) {
    send(c, a[0], Name::AFTER_TRADING);
    Ref orders = c.global(Name::orders_dict);
    c.call_method(orders.get(), Name::clear);
    return none();
}

}  // namespace tessaline
