// Order reports: the gateway tells us about an order the host sent, we bring
// the host's live order (kept in orders_dict under the client order id) up to
// date and tell the host what happened through events carrying a deep copy of
// the order as it stood at that moment.
//
// Every report attribute is read again each time a decision needs it, exactly
// as an interpreted handler would: the SDK's records may be live views, and
// the host's tests watch the reads.
#include "handlers.hpp"

namespace tessaline {
namespace {

bool positive(const Ctx& c, PyObject* value) {
    return truthy(require(PyObject_RichCompare(value, c.integer(Int::zero), Py_GT)).get());
}

// order.order_status == OrderStatusType.<member>, both looked up now.
bool report_is(const Ctx& c, PyObject* order, Name member) {
    Ref status = c.attr(order, Name::order_status);
    Ref wanted = c.member(Name::OrderStatusType, member);
    return compare(status.get(), wanted.get(), Py_EQ);
}

// cx_order.status == ORDER_STATUS.<member>
bool host_status_is(const Ctx& c, PyObject* cx_order, Name member) {
    Ref status = c.attr(cx_order, Name::status);
    Ref wanted = c.member(Name::ORDER_STATUS, member);
    return compare(status.get(), wanted.get(), Py_EQ);
}

void set_host_status(const Ctx& c, PyObject* cx_order, Name member) {
    Ref value = c.member(Name::ORDER_STATUS, member);
    c.store(cx_order, Name::status, value.get());
}

// orders_dict.__contains__(record.client_order_id): a plain dict answers
// directly, anything else (a subclass, a host replacement) through its own
// __contains__, found before the id is read.
bool known(const Ctx& c, PyObject* record) {
    Ref orders = c.global(Name::orders_dict);
    if (PyDict_CheckExact(orders.get())) {
        Ref id = c.attr(record, Name::client_order_id);
        return require_status(PyDict_Contains(orders.get(), id.get())) != 0;
    }
    Method contains(orders.get(), c.n(Name::dunder_contains));
    Ref id = c.attr(record, Name::client_order_id);
    return truthy(contains(id).get());
}

// copy.deepcopy(cx_order), taken only when the event is built: each event
// shows the order as it stood at that step, out of reach of later steps.
Ref deep_copy(const Ctx& c, PyObject* cx_order) {
    Ref copy = c.global(Name::copy);
    return Method(copy.get(), c.n(Name::deepcopy))(cx_order);
}

void post_order_event(const Ctx& c, Name member, PyObject* account, PyObject* cx_order) {
    Ref queue = c.global(Name::event_queue);
    Method append(queue.get(), c.n(Name::append));
    Ref event_type = c.global(Name::Event);
    Ref kind = c.member(Name::EVENT, member);
    Ref snapshot = deep_copy(c, cx_order);
    append(call_kw(event_type.get(), c.kw(Kw::order_event), kind, account, snapshot));
}

void post_trade_event(const Ctx& c, PyObject* account, PyObject* trade, PyObject* cx_order) {
    Ref queue = c.global(Name::event_queue);
    Method append(queue.get(), c.n(Name::append));
    Ref event_type = c.global(Name::Event);
    Ref kind = c.member(Name::EVENT, Name::TRADE);
    Ref snapshot = deep_copy(c, cx_order);
    append(call_kw(event_type.get(), c.kw(Kw::trade_event), kind, account, trade, snapshot));
}

void log_report(const Ctx& c, PyObject* order) {
    static constexpr Name labels[] = {Name::log_order,        Name::log_order_symbol, Name::log_order_price,
                                      Name::log_order_status, Name::log_order_qty,    Name::log_order_trade_qty,
                                      Name::log_order_value,  Name::log_order_error,  Name::log_order_match};
    static constexpr Name fields[] = {Name::client_order_id, Name::security_id,       Name::order_price,
                                      Name::order_status,    Name::order_qty,         Name::trade_qty,
                                      Name::total_trade_value, Name::error_msg,       Name::last_match_qty};
    constexpr size_t count = sizeof(fields) / sizeof(fields[0]);
    Ref logger = c.global(Name::system_log);
    Method info(logger.get(), c.n(Name::info));
    Ref texts[count];
    PyObject* pieces[2 * count];
    for (size_t i = 0; i < count; ++i) {
        texts[i] = as_text(c.attr(order, fields[i]).get());
        pieces[2 * i] = c.n(labels[i]);
        pieces[2 * i + 1] = texts[i].get();
    }
    info(join_text(c, pieces, 2 * count));
}

// UnSend / Sended: the gateway has taken the order (or is about to).
void on_accepted(const Ctx& c, PyObject* order, PyObject* cx_order, PyObject* account) {
    // A late acceptance can arrive after the fill or cancellation it preceded;
    // reopening a finished order would make the host trade it again.
    if (host_status_is(c, cx_order, Name::FILLED) || host_status_is(c, cx_order, Name::CANCELLED)) return;
    {
        Ref counter_id = c.attr(order, Name::counter_order_id);
        c.store(cx_order, Name::secondary_order_id, counter_id.get());
    }
    {
        Method set_frozen_cash(cx_order, c.n(Name::set_frozen_cash));
        set_frozen_cash(c.attr(order, Name::frozen_trade_value));
    }
    // Only a counter id the gateway has really assigned makes the order live.
    if (!truthy(c.attr(order, Name::counter_order_id).get())) return;
    if (!positive(c, c.attr(order, Name::counter_order_id).get())) return;
    {
        Ref status = c.attr(cx_order, Name::status);
        Ref active = c.member(Name::ORDER_STATUS, Name::ACTIVE);
        if (!truthy(require(PyObject_RichCompare(status.get(), active.get(), Py_NE)).get())) return;
    }
    set_host_status(c, cx_order, Name::ACTIVE);
    post_order_event(c, Name::ORDER_CREATION_PASS, account, cx_order);
}

// The fill this report announces: one host trade, the order's cumulative
// figures as the gateway counts them, and a TRADE event.
void apply_fill(const Ctx& c, PyObject* order, PyObject* cx_order, PyObject* account) {
    Ref create = getattr(c.global(Name::Trade).get(), c.n(Name::dunder_from_create));
    Ref order_id = c.attr(cx_order, Name::order_id);
    Ref price = c.attr(order, Name::last_match_price);
    Ref amount = c.attr(order, Name::last_match_qty);
    Ref side = c.attr(cx_order, Name::side);
    Ref effect = c.attr(cx_order, Name::position_effect);
    Ref market_code = c.attr(cx_order, Name::market_code);
    Ref frozen_price = c.attr(cx_order, Name::price);
    Ref trade = call_kw(create.get(), c.kw(Kw::trade_create), order_id, price, amount, side, effect, market_code,
                        frozen_price);
    {
        Ref value = c.attr(order, Name::total_trade_value);
        Ref traded = c.attr(order, Name::trade_qty);
        // A report with a fill but no cumulative quantity has no average to
        // give; keep the last one rather than lose the fill itself.
        if (!compare(traded.get(), c.integer(Int::zero), Py_EQ)) {
            Ref average = require(PyNumber_TrueDivide(value.get(), traded.get()));
            c.store(cx_order, Name::avg_price, average.get());
        }
    }
    {
        Ref traded = c.attr(order, Name::trade_qty);
        c.store(cx_order, Name::filled_quantity, traded.get());
    }
    {
        Ref ordered = c.attr(order, Name::order_qty);
        Ref traded = c.attr(order, Name::trade_qty);
        Ref unfilled = require(PyNumber_Subtract(ordered.get(), traded.get()));
        c.store(cx_order, Name::unfilled_quantity, unfilled.get());
    }
    if (report_is(c, order, Name::Filled))
        set_host_status(c, cx_order, Name::FILLED);
    else if (report_is(c, order, Name::PartiallyFilled))
        set_host_status(c, cx_order, Name::PARTIALLY_FILLED);
    post_trade_event(c, account, trade.get(), cx_order);
}

// The six fill and cancellation statuses.
void on_progress(const Ctx& c, PyObject* order, PyObject* cx_order, PyObject* account) {
    if (positive(c, c.attr(order, Name::last_match_qty).get())) apply_fill(c, order, cx_order, account);
    if (report_is(c, order, Name::PartiallyFilledPartiallyCancelled) || report_is(c, order, Name::Cancelled)) {
        set_host_status(c, cx_order, Name::CANCELLED);
        post_order_event(c, Name::ORDER_CANCELLATION_PASS, account, cx_order);
    } else if (report_is(c, order, Name::PartiallyFilledWaitCancelled) || report_is(c, order, Name::WaitCancelled)) {
        if (positive(c, c.attr(cx_order, Name::filled_quantity).get()))
            set_host_status(c, cx_order, Name::PARTIALLY_FILLED);
        post_order_event(c, Name::ORDER_PENDING_CANCEL, account, cx_order);
    }
}

void on_rejected(const Ctx& c, PyObject* order, PyObject* cx_order, PyObject* account) {
    {
        // Both halves go through str(): a gateway that hands over a numeric or
        // structured message must still get its rejection to the host.
        Method mark_rejected(cx_order, c.n(Name::mark_rejected));
        Ref code_text = require(PyObject_Str(c.attr(order, Name::error_code).get()));
        Ref head = require(PyNumber_Add(code_text.get(), c.n(Name::underscore)));
        Ref msg_text = require(PyObject_Str(c.attr(order, Name::error_msg).get()));
        Ref reason = require(PyNumber_Add(head.get(), msg_text.get()));
        mark_rejected(reason);
    }
    {
        Method set_frozen_cash(cx_order, c.n(Name::set_frozen_cash));
        set_frozen_cash(c.attr(order, Name::frozen_trade_value));
    }
    post_order_event(c, Name::ORDER_UNSOLICITED_UPDATE, account, cx_order);
}

// orders_dict[record.client_order_id] when the id is known, else an empty Ref.
Ref known_order(const Ctx& c, PyObject* record) {
    if (!known(c, record)) return Ref();
    Ref orders = c.global(Name::orders_dict);
    Ref id = c.attr(record, Name::client_order_id);
    return require(PyObject_GetItem(orders.get(), id.get()));
}

// Environment.get_instance().get_account(cx_order.market_code)
Ref account_of(const Ctx& c, PyObject* cx_order) {
    Ref environment_type = c.global(Name::Environment);
    Ref environment = Method(environment_type.get(), c.n(Name::get_instance))();
    Method get_account(environment.get(), c.n(Name::get_account));
    return get_account(c.attr(cx_order, Name::market_code));
}

}  // namespace

Ref on_order(Ctx& c, PyObject* const* a) {
    PyObject* order = a[1];
    log_report(c, order);
    Ref cx_order = known_order(c, order);
    if (!cx_order) return none();
    Ref account = account_of(c, cx_order.get());
    if (report_is(c, order, Name::UnSend) || report_is(c, order, Name::Sended))
        on_accepted(c, order, cx_order.get(), account.get());
    else if (report_is(c, order, Name::PartiallyFilled) || report_is(c, order, Name::Filled) ||
             report_is(c, order, Name::PartiallyFilledPartiallyCancelled) ||
             report_is(c, order, Name::WaitCancelled) || report_is(c, order, Name::PartiallyFilledWaitCancelled) ||
             report_is(c, order, Name::Cancelled))
        on_progress(c, order, cx_order.get(), account.get());
    else if (report_is(c, order, Name::Reject))
        on_rejected(c, order, cx_order.get(), account.get());
    return none();
}

// Trades are built from the fill figures of the order reports; the separate
// trade report would only count them twice.
Ref on_trade(Ctx&, PyObject* const*) { return none(); }

// Whatever action failed, the only one the host can have asked for on a live
// order is a cancellation.
Ref on_order_action_error(Ctx& c, PyObject* const* a) {
    Ref cx_order = known_order(c, a[1]);
    if (!cx_order) return none();
    Ref account = account_of(c, cx_order.get());
    post_order_event(c, Name::ORDER_CANCELLATION_REJECT, account.get(), cx_order.get());
    return none();
}

}  // namespace tessaline
