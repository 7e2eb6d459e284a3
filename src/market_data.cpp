// Market data: snapshots become tick dictionaries (kept per instrument, the
// latest 60) and tick events, level-2 orders and transactions become host
// objects and events, and bars are kept for the day and counted per bar time
// so that one bar event follows the last bar of the universe.
#include "convert.hpp"
#include "fixed_dict.hpp"
#include "handlers.hpp"

namespace tessaline {
namespace {

// The snapshot attributes after the code and the time, in the order the tick
// dictionary holds them, each under the host's key.
struct Entry {
    Name key;
    Name attr;
};

constexpr Entry tick_entries[] = {
    {Name::open_price, Name::open_price},
    {Name::close_price, Name::close_price},
    {Name::high_price, Name::high_price},
    {Name::low_price, Name::low_price},
    {Name::total_turnover, Name::total_value_trade},
    {Name::volume, Name::total_volume_trade},
    {Name::prev_close, Name::pre_close_price},
    {Name::ask_vols, Name::ask_volume},
    {Name::asks, Name::ask_price},
    {Name::bid_vols, Name::bid_volume},
    {Name::bids, Name::bid_price},
    {Name::high_limited, Name::high_limited},
    {Name::last_price, Name::last_price},
    {Name::low_limited, Name::low_limited},
    {Name::open_interest, Name::open_interest},
    {Name::prev_settlement, Name::prev_settlement},
    {Name::iopv, Name::iopv},
    {Name::trading_phase_code, Name::trading_phase_code},
};

constexpr Entry bar_entries[] = {
    {Name::open_price, Name::open},
    {Name::close_price, Name::close},
    {Name::high_price, Name::high},
    {Name::low_price, Name::low},
    {Name::total_turnover, Name::amount},
    {Name::volume, Name::volume},
    {Name::prev_close, Name::prev_close},
};


// code, time, then each listed record attribute, read in that order and put
// under the template's keys once all are read.
template <size_t N>
Ref record_dict(const Ctx& c, PyObject* record, Shape shape, PyObject* code, PyObject* time,
                const Entry (&entries)[N]) {
    Ref values[N];
    PyObject* items[N + 2] = {code, time};
    for (size_t i = 0; i < N; ++i) {
        values[i] = c.attr(record, entries[i].attr);
        items[i + 2] = values[i].get();
    }
    return filled_dict(c, shape, items, N + 2);
}

// A C type of the interpreter itself (collections.deque): calling it runs no
// interpreted code of its own.
bool builtin_type(PyObject* maker) {
    return PyType_CheckExact(maker) &&
           !(reinterpret_cast<PyTypeObject*>(maker)->tp_flags & Py_TPFLAGS_HEAPTYPE);
}

// history[code].append(item), creating history[code] with `deque(...)` on the
// instrument's first item. For a plain dict, a str code and the real deque the
// membership test, the store and the append are C operations with no release
// of the interpreter lock in between, except for a collection that the
// allocation of a new deque may start; a history another thread created in
// that window is kept (setdefault) rather than replaced, so no item is lost.
void append_to_history(const Ctx& c, Name store_name, PyObject* code, PyObject* item, bool bounded) {
    Ref store = c.global(store_name);
    if (PyDict_CheckExact(store.get()) && PyUnicode_CheckExact(code)) {
        if (PyObject* history = PyDict_GetItemWithError(store.get(), code)) {
            Ref kept = Ref::borrow(history);
            c.append_to(kept.get(), item);
            return;
        }
        if (PyErr_Occurred()) throw PythonError{};
    } else if (require_status(PySequence_Contains(store.get(), code))) {
        Ref history = require(PyObject_GetItem(c.global(store_name).get(), code));
        c.append_to(history.get(), item);
        return;
    }
    Ref maker = c.global(Name::deque);
    Ref fresh = bounded ? call_kw(maker.get(), c.kw(Kw::deque_maxlen), c.integer(Int::sixty)) : call(maker.get());
    store = c.global(store_name);
    if (PyDict_CheckExact(store.get()) && PyUnicode_CheckExact(code) && builtin_type(maker.get())) {
        Ref history = Ref::borrow(PyDict_SetDefault(store.get(), code, fresh.get()));
        if (!history) throw PythonError{};
        c.append_to(history.get(), item);
        return;
    }
    require_status(PyObject_SetItem(store.get(), code, fresh.get()));
    Ref history = require(PyObject_GetItem(c.global(store_name).get(), code));
    c.append_to(history.get(), item);
}

// chr(value): the same conversion and the same errors as the builtin.
Ref character(PyObject* value) {
    const int ordinal = _PyLong_AsInt(value);
    if (ordinal == -1 && PyErr_Occurred()) throw PythonError{};
    return require(PyUnicode_FromOrdinal(ordinal));
}

// mapper(chr(record.<code_attr>), record.market_type)
Ref map_code(const Ctx& c, PyObject* record, Name mapper_name, Name code_attr) {
    Ref mapper = c.global(mapper_name);
    Ref code = character(c.attr(record, code_attr).get());
    Ref market_type = c.attr(record, Name::market_type);
    return call(mapper.get(), code, market_type);
}

// event_queue.append(Event(EVENT.<member>, calendar_dt=dt, trading_dt=dt, <field>=payload)), the
// append method resolved before the event is built, as the interpreter does.
void post_l2_event(const Ctx& c, Name member, Kw kwnames, PyObject* dt, PyObject* payload) {
    Ref queue = c.global(Name::event_queue);
    Method append(queue.get(), c.n(Name::append));
    Ref event_type = c.global(Name::Event);
    Ref event_member = c.member(Name::EVENT, member);
    Ref event = call_kw(event_type.get(), c.kw(kwnames), event_member, dt, dt, payload);
    append(event);
}

Ref stamp_seconds(const Ctx& c, PyObject* record) {
    Ref stamp = c.attr(record, Name::end_time);
    return tessaline::stamp_seconds(stamp.get(), c.integer(Int::thousand));
}

}  // namespace

Ref on_snapshot(Ctx& c, PyObject* const* a) {
    PyObject* snapshot = a[1];
    Ref dt = record_time(c, snapshot, Name::orig_time);
    Ref code = instrument_code(c, snapshot, Name::market_type);
    Ref tick = record_dict(c, snapshot, Shape::tick, code.get(), dt.get(), tick_entries);
    append_to_history(c, Name::history_tick, code.get(), tick.get(), true);

    Ref queue = c.global(Name::event_queue);
    Method append(queue.get(), c.n(Name::append));
    Ref event_type = c.global(Name::Event);
    Ref tick_member = c.member(Name::EVENT, Name::TICK);
    Ref tick_type = c.global(Name::TickObject);
    Ref environment = c.global(Name::Environment);
    Ref instance = c.call_method(environment.get(), Name::get_instance);
    Ref data_proxy = c.attr(instance.get(), Name::data_proxy);
    Ref instrument = c.call_method(data_proxy.get(), Name::instruments, code);
    Ref tick_object = call(tick_type.get(), instrument, tick);
    Ref event = call_kw(event_type.get(), c.kw(Kw::tick_event), tick_member, dt, dt, tick_object);
    append(event);
    return none();
}

Ref on_tick_order(Ctx& c, PyObject* const* a) {
    PyObject* order = a[1];
    Ref dt = record_time(c, order, Name::order_time);
    Ref code = instrument_code(c, order, Name::market_type);
    Ref side = map_code(c, order, Name::get_side_from_vorn_l2_order, Name::side);

    Ref factory = c.attr(c.global(Name::L2Order).get(), Name::dunder_from_create);
    Ref biz_index = c.attr(order, Name::biz_index);
    Ref price = c.attr(order, Name::order_price);
    Ref volume = c.attr(order, Name::order_volume);
    Ref order_type = map_code(c, order, Name::get_order_type_from_vorn_l2_order, Name::order_type);
    Ref orig_order_no = c.attr(order, Name::orig_order_no);
    Ref l2_type = map_code(c, order, Name::get_l2order_type_from_vorn, Name::order_type);
    Ref l2_order = call(factory.get(), biz_index, code, dt, side, price, volume, order_type, orig_order_no, l2_type);

    post_l2_event(c, Name::L2_ORDER, Kw::l2_order_event, dt.get(), l2_order.get());
    return none();
}

Ref on_tick_trade(Ctx& c, PyObject* const* a) {
    PyObject* trade = a[1];
    Ref dt = record_time(c, trade, Name::trade_time);
    Ref code = instrument_code(c, trade, Name::market_type);
    bool buy;
    {
        Ref bid_seq = c.attr(trade, Name::bid_appl_seq_num);
        Ref offer_seq = c.attr(trade, Name::offer_appl_seq_num);
        buy = compare(bid_seq.get(), offer_seq.get(), Py_GT);
    }
    Ref side = c.member(Name::SIDE, buy ? Name::BUY : Name::SELL);

    Ref factory = c.attr(c.global(Name::L2Transaction).get(), Name::dunder_from_create);
    Ref biz_index = c.attr(trade, Name::biz_index);
    Ref price = c.attr(trade, Name::trade_price);
    Ref volume = c.attr(trade, Name::trade_volume);
    Ref value = c.attr(trade, Name::value_trade);
    Ref trade_type;
    {
        Ref mapper = c.global(Name::get_trade_type_from_vorn);
        Ref type_code = character(c.attr(trade, Name::trade_type).get());
        trade_type = call(mapper.get(), type_code);
    }
    Ref bid_seq = c.attr(trade, Name::bid_appl_seq_num);
    Ref offer_seq = c.attr(trade, Name::offer_appl_seq_num);
    Ref l2_transaction =
        call(factory.get(), biz_index, code, dt, side, price, volume, value, trade_type, bid_seq, offer_seq);

    post_l2_event(c, Name::L2_TRANSACTION, Kw::l2_trans_event, dt.get(), l2_transaction.get());
    return none();
}

Ref on_bar(Ctx& c, PyObject* const* a) {
    PyObject* self = a[0];
    PyObject* bar = a[1];
    Ref code = instrument_code(c, bar, Name::market_type);
    Ref bar_dict;
    {
        Ref end = record_time(c, bar, Name::end_time);
        bar_dict = record_dict(c, bar, Shape::bar, code.get(), end.get(), bar_entries);
    }
    append_to_history(c, Name::history_bar, code.get(), bar_dict.get(), false);

    // Bars are counted per bar time; 0 in current_trade_dt means no bar yet.
    bool same_time = compare(c.attr(self, Name::current_trade_dt).get(), c.integer(Int::zero), Py_EQ);
    if (!same_time) {
        Ref current = c.attr(self, Name::current_trade_dt);
        same_time = compare(current.get(), stamp_seconds(c, bar).get(), Py_EQ);
    }
    if (same_time) {
        Ref count = c.attr(self, Name::bar_cnt);
        c.store(self, Name::bar_cnt, require(PyNumber_InPlaceAdd(count.get(), c.integer(Int::one))).get());
    } else {
        c.store(self, Name::bar_cnt, c.integer(Int::one));
    }
    c.store(self, Name::current_trade_dt, stamp_seconds(c, bar).get());

    // Equality only: a count that went past the universe size (a failed event
    // below leaves it unreset) never completes that bar time.
    {
        Ref count = c.attr(self, Name::bar_cnt);
        Ref environment = c.global(Name::Environment);
        Ref instance = c.call_method(environment.get(), Name::get_instance);
        Ref universe = c.call_method(instance.get(), Name::get_universe);
        const Py_ssize_t size = PyObject_Size(universe.get());
        if (size < 0) throw PythonError{};
        if (!compare(count.get(), require(PyLong_FromSsize_t(size)).get(), Py_EQ)) return none();
    }

    Ref bar_date;
    {
        Ref to_date = c.global(Name::convert_int_to_whole_date);
        Ref current = c.attr(self, Name::current_trade_dt);
        bar_date = call(to_date.get(), require(PyNumber_Long(current.get())));
    }
    Ref queue = c.global(Name::event_queue);
    Method append(queue.get(), c.n(Name::append));
    Ref event_type = c.global(Name::Event);
    Ref bar_member = c.member(Name::EVENT, Name::BAR);
    Ref event = call_kw(event_type.get(), c.kw(Kw::dated_event), bar_member, bar_date, bar_date);
    append(event);
    c.store(self, Name::bar_cnt, c.integer(Int::zero));
    return none();
}

}  // namespace tessaline
