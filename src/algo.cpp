// The algorithmic-order side: the algo gateway's login and parent-order
// responses become events as they are, and the parent-order, child-order and
// child-trade reports keep the host's model object per sys_quote_id and post
// a deep copy of it.
#include "convert.hpp"
#include "handlers.hpp"

namespace tessaline {
namespace {

// ---------------------------------------------------------------- responses

// Event(EVENT.<member>, <fields>=record.<attrs>...) posted as the record holds
// the values. The values are read after the event type, as the call is written.
template <size_t N>
void post_response(Ctx& c, PyObject* record, Name member, Kw keywords, const Name (&attrs)[N]) {
    Ref event_type = c.global(Name::Event);
    Ref event_member = c.member(Name::EVENT, member);
    Ref values[N];
    for (size_t i = 0; i < N; ++i) values[i] = c.attr(record, attrs[i]);
    Ref event = [&]<size_t... I>(std::index_sequence<I...>) {
        return call_kw(event_type.get(), c.kw(keywords), event_member, values[I]...);
    }(std::make_index_sequence<N>{});
    c.post_to(c.global(Name::event_queue), event);
}

constexpr Name parent_action_fields[] = {Name::sys_quote_id, Name::error_code, Name::error_msg};

// from pyvorn.enums import AlgoControlType, done at every call so that the
// SDK's enumeration as it is now is used, never a copy bound at import.
Ref algo_control_type(Ctx& c) {
    PyObject* name = c.n(Name::AlgoControlType);
    Ref fromlist = require(PyTuple_Pack(1, name));
    Ref module = import_statement(c.globals(), nullptr, c.n(Name::pyvorn_enums), fromlist.get());
    return import_from(module.get(), name);
}

// ---------------------------------------------------------------- updates

// One member of the update family: where its objects live, who converts the
// record, and how its event is named.
struct Family {
    Name store;       // module dictionary keyed by sys_quote_id
    Name host_class;  // class whose from_vorn(record, existing) converts
    Name event;       // EVENT member
    Kw keyword;       // the event's one keyword field
};

constexpr Family parent_orders{Name::algo_parent_orders, Name::AlgoParentOrder, Name::PARENT_ORDER_UPDATE,
                               Kw::algo_parent_order};
constexpr Family child_orders{Name::algo_child_orders, Name::AlgoChildOrder, Name::CHILD_ORDER_UPDATE,
                              Kw::algo_child_order};
constexpr Family child_trades{Name::algo_child_trades, Name::AlgoChildTrade, Name::CHILD_ORDER_TRADE,
                              Kw::algo_child_trade};

// store.__contains__(record.sys_quote_id); the method is looked up before the
// key is read. A plain dict cannot lack the method, so it is asked directly.
bool store_holds(Ctx& c, PyObject* store, PyObject* record) {
    if (PyDict_CheckExact(store)) {
        Ref key = c.attr(record, Name::sys_quote_id);
        return require_status(PyDict_Contains(store, key.get())) != 0;
    }
    Method contains(store, c.n(Name::dunder_contains));
    Ref key = c.attr(record, Name::sys_quote_id);
    return truthy(contains(key.get()).get());
}

// store.get(record.sys_quote_id): None when the key went away meanwhile.
Ref store_get(Ctx& c, PyObject* store, PyObject* record) {
    if (PyDict_CheckExact(store)) {
        Ref key = c.attr(record, Name::sys_quote_id);
        PyObject* value = PyDict_GetItemWithError(store, key.get());
        if (value == nullptr && PyErr_Occurred()) throw PythonError{};
        return Ref::borrow(value ? value : Py_None);
    }
    Method get(store, c.n(Name::get));
    Ref key = c.attr(record, Name::sys_quote_id);
    return get(key.get());
}

Ref take_update(Ctx& c, PyObject* record, const Family& f) {
    Ref existing = none();
    if (store_holds(c, c.global(f.store).get(), record)) existing = store_get(c, c.global(f.store).get(), record);

    Ref host_class = c.global(f.host_class);
    Ref converted = c.call_method(host_class.get(), Name::from_vorn, record, existing);

    {
        Ref store = c.global(f.store);
        Ref key = c.attr(record, Name::sys_quote_id);
        require_status(PyObject_SetItem(store.get(), key.get(), converted.get()));
    }

    // event_queue.append(Event(EVENT.<member>, <keyword>=copy.deepcopy(obj))):
    // the stored object may be changed by the next report while the event waits.
    Ref event_queue = c.global(Name::event_queue);
    Method append(event_queue.get(), c.n(Name::append));
    Ref event_type = c.global(Name::Event);
    Ref event_member = c.member(Name::EVENT, f.event);
    Ref copy_module = c.global(Name::copy);
    Ref snapshot = c.call_method(copy_module.get(), Name::deepcopy, converted);
    Ref event = call_kw(event_type.get(), c.kw(f.keyword), event_member, snapshot);
    append(event.get());
    return none();
}

}  // namespace

Ref on_algo_login(Ctx& c, PyObject* const* a) {
    static constexpr Name fields[] = {Name::client_seq_id, Name::trader_id, Name::error_code, Name::error_msg};
    post_response(c, a[1], Name::ALGO_LOGIN, Kw::algo_login_event, fields);
    return none();
}

Ref on_create_algo_parent_order_res(Ctx& c, PyObject* const* a) {
    static constexpr Name fields[] = {Name::client_seq_id, Name::sys_quote_id, Name::error_code, Name::error_msg};
    post_response(c, a[1], Name::PARENT_ORDER_CREATE, Kw::parent_create_event, fields);
    return none();
}

Ref on_cancel_algo_parent_order_res(Ctx& c, PyObject* const* a) {
    post_response(c, a[1], Name::PARENT_ORDER_CANCEL, Kw::parent_action_event, parent_action_fields);
    return none();
}

// A pause is recognised by control_type, a resume by algo_control_type, which
// is read only when the response is not a pause. The error code never changes
// which event is posted.
Ref on_control_algo_parent_order_res(Ctx& c, PyObject* const* a) {
    PyObject* response = a[1];
    Ref control_types = algo_control_type(c);
    bool pause;
    {
        Ref requested = c.attr(response, Name::control_type);
        Ref member = c.attr(control_types.get(), Name::Pause);
        pause = compare(requested.get(), member.get(), Py_EQ);
    }
    if (pause) {
        post_response(c, response, Name::PARENT_ORDER_PAUSE, Kw::parent_action_event, parent_action_fields);
        return none();
    }
    bool resume;
    {
        Ref requested = c.attr(response, Name::algo_control_type);
        Ref member = c.attr(control_types.get(), Name::Resume);
        resume = compare(requested.get(), member.get(), Py_EQ);
    }
    if (resume)
        post_response(c, response, Name::PARENT_ORDER_RESUME, Kw::parent_action_event, parent_action_fields);
    return none();
}

Ref on_algo_parent_order_update(Ctx& c, PyObject* const* a) { return take_update(c, a[1], parent_orders); }

Ref on_algo_child_order_update(Ctx& c, PyObject* const* a) { return take_update(c, a[1], child_orders); }

Ref on_algo_child_order_trade(Ctx& c, PyObject* const* a) { return take_update(c, a[1], child_trades); }

}  // namespace tessaline
