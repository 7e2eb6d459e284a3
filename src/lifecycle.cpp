// The strategy's own life: construction, initialisation (brokers, bar
// subscription, the clock), the login answer and the day switch.
#include "convert.hpp"
#include "handlers.hpp"

namespace tessaline {
namespace {

Ref config_base(const Ctx& c, PyObject* self) {
    return c.attr(c.attr(self, Name::config).get(), Name::base);
}

Ref context_of(const Ctx& c, PyObject* self) { return c.attr(self, Name::context); }

// self.context.<name>, read before the call's arguments are evaluated, as the
// interpreter reads a method before its arguments.
Ref context_method(const Ctx& c, PyObject* self, Name name) {
    Ref context = context_of(c, self);
    return c.attr(context.get(), name);
}

// The base's field when reading it succeeds; absence and any failure look alike.
bool base_has(const Ctx& c, PyObject* self, Name field) {
    return static_cast<bool>(attribute_or_absent(c, config_base(c, self).get(), field));
}

void store_param(const Ctx& c, Name key, PyObject* value) {
    require_status(PyObject_SetItem(c.global(Name::vorn_params).get(), c.n(key), value));
}

Ref upper(const Ctx& c, PyObject* text) { return c.call_method(text, Name::upper); }

// get_vorn_tdtype(dest.upper())
Ref td_type_of(const Ctx& c, PyObject* dest) {
    Ref to_td_type = c.global(Name::get_vorn_tdtype);
    return call(to_td_type.get(), upper(c, dest));
}

// The part after "_" of a two-part "<name>_<gateway>" string.
Ref gateway_of(const Ctx& c, PyObject* value) {
    return unpack_pair(c.call_method(value, Name::split, c.n(Name::underscore)).get()).second;
}

void register_market_data(const Ctx& c, PyObject* self) {
    bool vomd = false;
    if (base_has(c, self, Name::md_type)) {
        Ref md_type = c.attr(config_base(c, self).get(), Name::md_type);
        vomd = truthy(require(PyObject_RichCompare(md_type.get(), c.n(Name::VoMD), Py_EQ)).get());
    }
    const Name member = vomd ? Name::VoMD : Name::XMD;
    Ref add_md_broker = context_method(c, self, Name::add_md_broker);
    Ref md_type = c.member(Name::MDType, member);
    call(add_md_broker.get(), md_type);
    store_param(c, Name::vorn_md, c.member(Name::MDType, member).get());
}

void register_trading(const Ctx& c, PyObject* self) {
    Ref accounts = c.attr(config_base(c, self).get(), Name::accounts);
    Ref items = c.call_method(accounts.get(), Name::items);
    Ref iterator = require(PyObject_GetIter(items.get()));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Pair entry = unpack_pair(item.get());
        Ref dest = gateway_of(c, entry.second.get());
        Ref add_td_broker = context_method(c, self, Name::add_td_broker);
        call(add_td_broker.get(), td_type_of(c, dest.get()));
        store_param(c, Name::vorn_td, td_type_of(c, dest.get()).get());
    }
    if (PyErr_Occurred()) throw PythonError{};
}

void register_algo(const Ctx& c, PyObject* self) {
    if (!base_has(c, self, Name::algo_account)) return;
    if (c.attr(config_base(c, self).get(), Name::algo_account).get() == Py_None) return;
    Ref dest = gateway_of(c, c.attr(config_base(c, self).get(), Name::algo_account).get());
    if (!truthy(require(PyObject_RichCompare(upper(c, dest.get()).get(), c.n(Name::XTA), Py_EQ)).get())) return;
    Ref add_algo_broker = context_method(c, self, Name::add_algo_broker);
    call(add_algo_broker.get(), c.member(Name::AlgoType, Name::XTA));
}

}  // namespace

Ref strategy_init(Ctx& c, PyObject* const* a) {
    PyObject* self = a[0];
    PyObject* config = a[1];
    // super().__init__() with the class captured when it was created.
    Ref parent = call(reinterpret_cast<PyObject*>(&PySuper_Type), c.state().strategy_class, self);
    c.call_method(parent.get(), Name::dunder_init);
    setattr(self, c.n(Name::logged_in), Py_False);
    setattr(self, c.n(Name::order_num), c.integer(Int::zero));
    setattr(self, c.n(Name::bar_cnt), c.integer(Int::zero));
    setattr(self, c.n(Name::current_trade_dt), c.integer(Int::zero));
    Ref now = c.call_method(c.global(Name::datetime).get(), Name::now);
    setattr(self, c.n(Name::first_dt), c.call_method(now.get(), Name::date).get());
    setattr(self, c.n(Name::config), config);
    return none();
}

Ref initialize(Ctx& c, PyObject* const* a) {
    PyObject* self = a[0];
    c.call_method(c.global(Name::system_log).get(), Name::info, c.n(Name::log_initialize));
    register_market_data(c, self);
    if (base_has(c, self, Name::order_way)) {
        Ref set_order_way = context_method(c, self, Name::set_order_way);
        call(set_order_way.get(), c.attr(config_base(c, self).get(), Name::order_way));
    }
    register_trading(c, self);
    register_algo(c, self);
    store_param(c, Name::vorn_context, context_of(c, self).get());
    {
        Ref subscribe = context_method(c, self, Name::subscribe);
        Ref md = require(PyObject_GetItem(c.global(Name::vorn_params).get(), c.n(Name::vorn_md)));
        Ref market = c.member(Name::MarketType, Name::SZSE);
        Ref data_type = c.member(Name::SubscribeDataType, Name::Bar);
        Ref codes = require(PyList_New(0));
        call(subscribe.get(), md, market, data_type, codes, c.n(Name::one_minute));
    }
    c.call_method(self, Name::set_timer);
    return none();
}

Ref on_initialize(Ctx&, PyObject* const*) { return none(); }

Ref on_switch_day(Ctx& c, PyObject* const*) {
    for (Name store : {Name::orders_dict, Name::history_bar, Name::history_tick, Name::algo_parent_orders,
                       Name::algo_child_orders, Name::algo_child_trades})
        c.call_method(c.global(store).get(), Name::clear);
    return none();
}

Ref on_login(Ctx& c, PyObject* const* a) {
    PyObject* login = a[1];
    {
        Ref logger = c.global(Name::system_log);
        Ref info = c.attr(logger.get(), Name::info);
        Ref account = as_text(c.attr(login, Name::fund_account_id).get());
        Ref code = as_text(c.attr(login, Name::error_code).get());
        PyObject* pieces[] = {c.n(Name::log_login), account.get(), c.n(Name::log_login_code), code.get()};
        call(info.get(), join_text(c, pieces, 4));
    }
    Ref event_type = c.global(Name::Event);
    Ref login_member = c.member(Name::EVENT, Name::LOGIN);
    Ref rid = c.attr(login, Name::client_seq_id);
    Ref account_id = c.attr(login, Name::fund_account_id);
    Ref code = c.attr(login, Name::error_code);
    Ref msg = c.attr(login, Name::error_msg);
    Ref event = call_kw(event_type.get(), c.kw(Kw::login_event), login_member, rid, account_id, code, msg);
    c.post_to(c.global(Name::event_queue), event);
    return none();
}

}  // namespace tessaline
