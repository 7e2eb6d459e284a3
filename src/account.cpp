// Account answers: the cash account and the positions the gateway reports
// after a query, handed to the host as its own Asset and Position objects.
#include "convert.hpp"
#include "fixed_dict.hpp"
#include "handlers.hpp"

namespace tessaline {
namespace {

// `value != 0` as the interpreter decides it: the result code may come as an
// int, a float or any number-like object.
bool nonzero(const Ctx& c, PyObject* value) {
    return truthy(require(PyObject_RichCompare(value, c.integer(Int::zero), Py_NE)).get());
}

// The record fields the host's position state takes, under the host's keys.
struct StateEntry {
    Name key;
    Name attr;
};

constexpr StateEntry position_state[] = {
    {Name::quantity, Name::leaves_qty},     {Name::available_qty, Name::available_qty},
    {Name::avg_price, Name::cost_price},    {Name::last_price, Name::last_price},
    {Name::market_value, Name::market_value}, {Name::daily_pnl, Name::profit_loss},
};

// One gateway position as a host Position; any failure is the caller's to judge.
Ref convert_position(const Ctx& c, PyObject* record) {
    Ref code = instrument_code(c, record, Name::market_id);
    Ref position_type = c.global(Name::Position);
    Ref direction = c.member(Name::POSITION_DIRECTION, Name::LONG);
    Ref init_qty = c.attr(record, Name::init_qty);
    Ref position = call(position_type.get(), code, direction, init_qty);
    Method set_state(position.get(), c.n(Name::set_state));
    constexpr size_t count = sizeof(position_state) / sizeof(position_state[0]);
    Ref values[count];
    PyObject* items[count];
    for (size_t i = 0; i < count; ++i) {
        values[i] = c.attr(record, position_state[i].attr);
        items[i] = values[i].get();
    }
    set_state(filled_dict(c, Shape::position_state, items, count));
    return position;
}

// The exception an `except Exception` clause would bind, taken off the
// thread with its traceback attached; an empty Ref when the pending error is
// not an Exception (it then stays set, for the caller to propagate).
Ref take_exception() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return Ref();
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type = Ref::steal(type);
    Ref owned_value = Ref::steal(value);
    Ref owned_traceback = Ref::steal(traceback);
    if (owned_traceback) PyException_SetTraceback(owned_value.get(), owned_traceback.get());
    return owned_value;
}

// While the warning is written the caught exception is the one being
// handled, as inside an except clause: anything raised meanwhile chains to it
// as its __context__, and sys.exception() shows it to the logger.
class Handling {
public:
    explicit Handling(PyObject* exception) : item_(PyThreadState_Get()->exc_info), saved_(item_->exc_value) {
        item_->exc_value = Py_NewRef(exception);
    }
    ~Handling() {
        PyObject* current = item_->exc_value;
        item_->exc_value = saved_;
        Py_XDECREF(current);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    _PyErr_StackItem* item_;
    PyObject* saved_;
};

// The record's security_id for the warning; a record too broken to give one
// must not cost the positions after it, so it shows as None.
Ref security_id_for_warning(const Ctx& c, PyObject* record) {
    PyObject* value = PyObject_GetAttr(record, c.n(Name::security_id));
    if (value != nullptr) return Ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
    PyErr_Clear();
    return none();
}

void warn_skipped(const Ctx& c, PyObject* record, PyObject* exception) {
    Handling handling(exception);
    Ref logger = c.global(Name::user_system_log);
    Method warning(logger.get(), c.n(Name::warning));
    Ref security_id = as_text(security_id_for_warning(c, record).get());
    Ref reason = as_text(exception);
    PyObject* pieces[] = {c.n(Name::log_position_skip), security_id.get(), c.n(Name::log_position_exception),
                          reason.get()};
    warning(join_text(c, pieces, 4));
}

}  // namespace

Ref on_query_asset(Ctx& c, PyObject* const* a) {
    PyObject* asset_res = a[1];
    PyObject* request_id = a[2];
    PyObject* code = a[3];
    PyObject* msg = a[4];
    {
        Ref logger = c.global(Name::system_log);
        Method info(logger.get(), c.n(Name::info));
        Ref account = as_text(c.attr(asset_res, Name::fund_account_id).get());
        Ref leaves = as_text(c.attr(asset_res, Name::leaves_value).get());
        Ref code_text = as_text(code);
        Ref msg_text = as_text(msg);
        PyObject* pieces[] = {c.n(Name::log_asset),      account.get(),   c.n(Name::log_asset_leaves),
                              leaves.get(),              c.n(Name::log_asset_code), code_text.get(),
                              c.n(Name::log_asset_msg),  msg_text.get()};
        info(join_text(c, pieces, 8));
    }
    const bool failed = nonzero(c, code);
    Ref queue = c.global(Name::event_queue);
    Method append(queue.get(), c.n(Name::append));
    Ref event_type = c.global(Name::Event);
    Ref kind = c.member(Name::EVENT, Name::QUERY_ACCOUNT);
    Ref event;
    if (failed) {
        Ref account_id = c.attr(asset_res, Name::fund_account_id);
        // rid, account_id, code, msg: the same fields as the login answer.
        event = call_kw(event_type.get(), c.kw(Kw::login_event), kind, request_id, account_id, code, msg);
    } else {
        Ref account_id = c.attr(asset_res, Name::fund_account_id);
        Ref asset_type = c.global(Name::Asset);
        Ref fund_account = c.attr(asset_res, Name::fund_account_id);
        Ref available = c.attr(asset_res, Name::available_t1);
        Ref frozen = c.attr(asset_res, Name::frozen_all);
        Ref market_value = c.attr(asset_res, Name::market_value);
        Ref total = c.attr(asset_res, Name::total_asset);
        Ref leaves = c.attr(asset_res, Name::leaves_value);
        Ref init_leaves = c.attr(asset_res, Name::init_leaves_value);
        Ref asset = call(asset_type.get(), fund_account, available, frozen, market_value, total, leaves, init_leaves);
        event = call_kw(event_type.get(), c.kw(Kw::account_ok_event), kind, request_id, account_id, asset);
    }
    append(event);
    return none();
}

Ref on_query_position(Ctx& c, PyObject* const* a) {
    PyObject* result = a[1];
    PyObject* request_id = a[2];
    PyObject* code = a[3];
    PyObject* msg = a[4];
    {
        Ref logger = c.global(Name::system_log);
        Method info(logger.get(), c.n(Name::info));
        Ref code_text = as_text(code);
        Ref msg_text = as_text(msg);
        PyObject* pieces[] = {c.n(Name::log_position), code_text.get(), c.n(Name::log_position_msg), msg_text.get()};
        info(join_text(c, pieces, 4));
    }
    if (nonzero(c, code)) {
        // Hosts take a failed position query from the account-query event.
        Ref queue = c.global(Name::event_queue);
        Method append(queue.get(), c.n(Name::append));
        Ref event_type = c.global(Name::Event);
        Ref kind = c.member(Name::EVENT, Name::QUERY_ACCOUNT);
        append(call_kw(event_type.get(), c.kw(Kw::position_err_event), kind, request_id, code, msg));
        return none();
    }
    if (!PyList_CheckExact(result) || PyList_GET_SIZE(result) == 0) return none();
    Ref positions = require(PyList_New(0));
    // The size is read again at every step, and each record is held while it
    // is converted: a record's attributes may run code that changes the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(result); ++i) {
        Ref record = Ref::borrow(PyList_GET_ITEM(result, i));
        Ref position;
        Ref failure;
        try {
            position = convert_position(c, record.get());
        } catch (const PythonError&) {
            failure = take_exception();
            if (!failure) throw;
        }
        if (failure) {
            warn_skipped(c, record.get(), failure.get());
            continue;
        }
        require_status(PyList_Append(positions.get(), position.get()));
    }
    Ref queue = c.global(Name::event_queue);
    Method append(queue.get(), c.n(Name::append));
    Ref event_type = c.global(Name::Event);
    Ref kind = c.member(Name::EVENT, Name::QUERY_POSITION);
    append(call_kw(event_type.get(), c.kw(Kw::position_ok_event), kind, request_id, positions));
    return none();
}

}  // namespace tessaline
