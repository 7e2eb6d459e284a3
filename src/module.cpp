// The module body: imports, module-level state, the four query functions and
// the class VornStrategy, bound as globals in this order.
#include <cstring>
#include <exception>
#include <initializer_list>
#include <string_view>

#include "convert.hpp"
#include "handlers.hpp"

namespace tessaline {
namespace {

const FunctionSpec module_functions[] = {
    {"get_current_bar", get_current_bar, 1, {"market_code"}},
    {"get_current_tick", get_current_tick, 1, {"market_code"}},
    {"history_ticks", history_ticks, 2, {"market_code", "count"}},
    {"history_bars", history_bars, 2, {"market_code", "count"}},
};

const FunctionSpec strategy_methods[] = {
    {"__init__", strategy_init, 2, {"self", "config"}},
    {"initialize", initialize, 2, {"self", "config"}},
    {"on_initialize", on_initialize, 1, {"self"}},
    {"on_switch_day", on_switch_day, 1, {"self"}},
    {"on_snapshot", on_snapshot, 2, {"self", "snapshot"}},
    {"on_tick_order", on_tick_order, 2, {"self", "tick_order"}},
    {"on_tick_trade", on_tick_trade, 2, {"self", "tick_trade"}},
    {"on_bar", on_bar, 2, {"self", "bar"}},
    {"on_login", on_login, 2, {"self", "login_res"}},
    {"on_query_asset", on_query_asset, 5, {"self", "asset_res", "request_id", "code", "msg"}},
    {"on_query_position", on_query_position, 5, {"self", "query_position_res", "request_id", "code", "msg"}},
    {"on_order", on_order, 2, {"self", "order"}},
    {"on_trade", on_trade, 2, {"self", "trade"}},
    {"on_order_action_error", on_order_action_error, 2, {"self", "order_action_error"}},
    {"on_algo_login", on_algo_login, 2, {"self", "algo_login_res"}},
    {"on_create_algo_parent_order_res", on_create_algo_parent_order_res, 2, {"self", "create_parent_order_res"}},
    {"on_cancel_algo_parent_order_res", on_cancel_algo_parent_order_res, 2, {"self", "cancel_parent_order_res"}},
    {"on_control_algo_parent_order_res", on_control_algo_parent_order_res, 2, {"self", "control_parent_order_res"}},
    {"on_algo_parent_order_update", on_algo_parent_order_update, 2, {"self", "parent_order"}},
    {"on_algo_child_order_update", on_algo_child_order_update, 2, {"self", "child_order"}},
    {"on_algo_child_order_trade", on_algo_child_order_trade, 2, {"self", "child_trade"}},
    {"create_time_listener", create_time_listener, 1, {"self"}},
    {"send_day_event", send_day_event, 3, {"self", "event_type", "dt"}},
    {"send_before_trading_event", send_before_trading_event, 1, {"self"}},
    {"send_after_trading_event", send_after_trading_event, 1, {"self"}},
    {"send_open_auction_event", send_open_auction_event, 1, {"self"}},
    {"set_timer", set_timer, 1, {"self"}},
};

Ref text(const char* s) { return require(PyUnicode_InternFromString(s)); }

void bind_global(PyObject* globals, PyObject* name, PyObject* value) {
    require_status(PyDict_SetItem(globals, name, value));
}

// The packages the body imports that do not come with the interpreter, and
// how a user gets each of them.
struct Dependency {
    const char* package;
    const char* what;
    const char* remedy;
};

constexpr Dependency dependencies[] = {
    {"corvix", "the host framework corvix.tarrow",
     "Install the host framework's package into this environment with python -m pip install"},
    {"pyvorn", "the gateway SDK pyvorn",
     "Install the gateway SDK's Python package into this environment with python -m pip install"},
    {"numpy_ringbuffer", "numpy_ringbuffer", "Install it with python -m pip install numpy-ringbuffer"},
    {"numpy", "numpy", "Install it with python -m pip install numpy"},
};

// A ModuleNotFoundError raised by one of the body's imports gets a note
// naming the missing dependency and how to install it, when what is missing
// belongs to one of the packages above: the host framework's own modules may
// import the SDK, so the note is decided by what is missing, not by the
// statement. Any other missing module (one of the host's own libraries, say)
// keeps its exception as it is. Should writing the note fail, that error
// propagates, with the original exception as its context.
void note_missing_dependency() {
    if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref exc_type = Ref::steal(type), exc = Ref::steal(value), exc_traceback = Ref::steal(traceback);
    try {
        Ref missing = getattr(exc.get(), text("name").get());
        Py_ssize_t size = 0;
        const char* name = PyUnicode_Check(missing.get()) ? PyUnicode_AsUTF8AndSize(missing.get(), &size) : nullptr;
        if (name == nullptr && PyErr_Occurred()) throw PythonError{};
        const std::string_view dotted = name ? std::string_view(name, static_cast<size_t>(size)) : std::string_view();
        const std::string_view package = dotted.substr(0, dotted.find('.'));
        for (const Dependency& dependency : dependencies) {
            if (package != dependency.package) continue;
            PyObject* executable = PySys_GetObject("executable");
            Ref note = require(PyUnicode_FromFormat(
                "%U is missing: tessaline needs %s installed for this interpreter (%S). %s; tessaline-doctor lists "
                "every missing piece.",
                missing.get(), dependency.what, executable ? executable : Py_None, dependency.remedy));
            call_method(exc.get(), text("add_note").get(), note);
            break;
        }
    } catch (const PythonError&) {
        _PyErr_ChainExceptions(exc_type.release(), exc.release(), exc_traceback.release());
        throw;
    }
    PyErr_Restore(exc_type.release(), exc.release(), exc_traceback.release());
}

Ref import_module(PyObject* globals, const char* dotted, PyObject* fromlist) {
    Ref name = text(dotted);
    try {
        return import_statement(globals, globals, name.get(), fromlist);
    } catch (const PythonError&) {
        note_missing_dependency();
        throw;
    }
}

// from <dotted> import <name> [as <alias>] ...
void bind_from(PyObject* globals, const char* dotted, std::initializer_list<std::pair<const char*, const char*>> names) {
    Ref fromlist = require(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (auto [name, alias] : names) PyTuple_SET_ITEM(fromlist.get(), i++, text(name).release());
    Ref module = import_module(globals, dotted, fromlist.get());
    i = 0;
    for (auto [name, alias] : names) {
        Ref value = import_from(module.get(), PyTuple_GET_ITEM(fromlist.get(), i++));
        bind_global(globals, text(alias ? alias : name).get(), value.get());
    }
}

void bind_from(PyObject* globals, const char* dotted, std::initializer_list<const char*> names) {
    Ref fromlist = require(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* name : names) PyTuple_SET_ITEM(fromlist.get(), i++, text(name).release());
    Ref module = import_module(globals, dotted, fromlist.get());
    for (i = 0; i < PyTuple_GET_SIZE(fromlist.get()); ++i) {
        PyObject* name = PyTuple_GET_ITEM(fromlist.get(), i);
        bind_global(globals, name, import_from(module.get(), name).get());
    }
}

// from <dotted> import *: the names of __all__, or else every public name.
void import_star(PyObject* globals, const char* dotted) {
    Ref star = require(Py_BuildValue("(s)", "*"));
    Ref module = import_module(globals, dotted, star.get());
    Ref all_name = text("__all__");
    PyObject* all = nullptr;
    if (_PyObject_LookupAttr(module.get(), all_name.get(), &all) < 0) throw PythonError{};
    Ref names = Ref::steal(all);
    const bool public_only = !names;
    if (public_only) {
        Ref dict = getattr(module.get(), (text("__dict__")).get());
        names = require(PyMapping_Keys(dict.get()));
    }
    Ref iterator = require(PyObject_GetIter(names.get()));
    while (Ref name = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!PyUnicode_Check(name.get())) {
            PyErr_Format(PyExc_TypeError, "%s in %s.%s must be str, not %.100s", public_only ? "Key" : "Item", dotted,
                         public_only ? "__dict__" : "__all__", Py_TYPE(name.get())->tp_name);
            throw PythonError{};
        }
        if (public_only && PyUnicode_READ_CHAR(name.get(), 0) == '_') continue;
        bind_global(globals, name.get(), getattr(module.get(), name.get()).get());
    }
    if (PyErr_Occurred()) throw PythonError{};
}

Ref new_dict() { return require(PyDict_New()); }

// class VornStrategy(strategy.VornStrategy), created through the base's metaclass.
// The interpreter's own deque type, or null. The histories' fast paths
// (append, index, copy through the type's own slots) hold only for it, and
// `collections.deque` may have been replaced before this import: a stand-in
// defined in Python is a heap type, which the genuine one is not. The
// candidates are the name the import bound and the C module's own type
// (looked up in sys.modules, not imported, so no import hook sees it);
// without a genuine one every history goes through the ordinary protocol.
bool genuine_deque(PyObject* candidate) {
    if (candidate == nullptr || !PyType_CheckExact(candidate)) return false;
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(candidate);
    if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) || std::strcmp(type->tp_name, "collections.deque") != 0) return false;
    if (type->tp_as_sequence == nullptr || type->tp_as_sequence->sq_item == nullptr || type->tp_iter == nullptr ||
        type->tp_dict == nullptr)
        return false;
    PyObject* append = PyDict_GetItemString(type->tp_dict, "append");
    return append != nullptr && Py_IS_TYPE(append, &PyMethodDescr_Type) && PyDescr_TYPE(append) == type;
}

void find_genuine_deque(ModuleState& st, Ctx& ctx) {
    Ref candidate = ctx.global(Name::deque);
    if (!genuine_deque(candidate.get())) {
        Ref c_module = Ref::steal(PyImport_GetModule(ctx.n(Name::underscore_collections)));
        if (!c_module && PyErr_Occurred()) throw PythonError{};
        candidate = Ref();
        if (c_module) {
            PyObject* module_dict = PyModule_Check(c_module.get()) ? PyModule_GetDict(c_module.get()) : nullptr;
            PyObject* found = module_dict ? PyDict_GetItemWithError(module_dict, ctx.n(Name::deque)) : nullptr;
            if (found == nullptr && PyErr_Occurred()) throw PythonError{};
            if (genuine_deque(found)) candidate = Ref::borrow(found);
        }
    }
    if (!candidate) return;
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(candidate.get());
    st.deque_append = Py_NewRef(PyDict_GetItemString(type->tp_dict, "append"));
    st.deque_type = reinterpret_cast<PyTypeObject*>(candidate.release());
}

Ref create_strategy_class(PyObject* module, Ctx& ctx) {
    Ref base = getattr(ctx.global(Name::strategy).get(), ctx.n(Name::VornStrategy));
    PyObject* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(base.get()));
    Ref bases = require(PyTuple_Pack(1, base.get()));
    Ref name = Ref::borrow(ctx.n(Name::VornStrategy));
    Ref prepare = text("__prepare__");
    Ref ns = call_method(metaclass, prepare.get(), name, bases);
    require_status(PyObject_SetItem(ns.get(), (text("__module__")).get(), ctx.n(Name::module_name)));
    require_status(PyObject_SetItem(ns.get(), (text("__qualname__")).get(), name.get()));
    for (const FunctionSpec& spec : strategy_methods) {
        Ref method = make_function(module, spec, "VornStrategy.");
        require_status(PyObject_SetItem(ns.get(), text(spec.name).get(), method.get()));
    }
    // __init__ uses the zero-argument super(): the class body carries the
    // __class__ cell, which type.__new__ fills with the new class.
    Ref cell = require(PyCell_New(nullptr));
    require_status(PyObject_SetItem(ns.get(), text("__classcell__").get(), cell.get()));
    Ref cls = call(metaclass, name, bases, ns);
    PyObject* cell_class = PyCell_GET(cell.get());
    if (PyType_Check(cls.get()) && cell_class != cls.get()) {
        if (cell_class == nullptr)
            PyErr_Format(PyExc_RuntimeError,
                         "__class__ not set defining %.200R as %.200R. Was __classcell__ propagated to type.__new__?",
                         name.get(), cls.get());
        else
            PyErr_Format(PyExc_TypeError, "__class__ set to %.200R defining %.200R as %.200R", cell_class, name.get(),
                         cls.get());
        throw PythonError{};
    }
    return cls;
}

int exec_module(PyObject* module) {
    ModuleState& st = state_of(module);
    try {
        init_state(st);
        check_fast_paths(st.fast);
        st.function_type = create_function_type(module);
        if (st.function_type == nullptr) throw PythonError{};
        PyObject* globals = PyModule_GetDict(module);
        Ctx ctx(st, globals);

        bind_from(globals, "corvix.tarrow.environment", {"Environment"});
        bind_from(globals, "corvix.tarrow.core.events", {"EVENT", "Event"});
        bind_from(globals, "corvix.tarrow.model.tick", {"TickObject"});
        bind_from(globals, "corvix.tarrow.model.trade", {"Trade"});
        bind_from(globals, "corvix.tarrow.model.l2_order", {"L2Order"});
        bind_from(globals, "corvix.tarrow.model.l2_transaction", {"L2Transaction"});
        bind_from(globals, "corvix.tarrow.utils.datetime_func", {"convert_int_to_whole_date", "convert_int_to_datetime"});
        bind_from(globals, "corvix.tarrow.utils.trade_func",
                    {"get_exchane_from_vorn_mdtype", "get_vorn_tdtype", "get_side_from_vorn_l2_order",
                     "get_order_type_from_vorn_l2_order", "get_trade_type_from_vorn", "get_l2order_type_from_vorn"});
        bind_from(globals, "corvix.tarrow.utils.logger", {"system_log", "user_system_log"});
        bind_from(globals, "corvix.tarrow.model.algo_parent_order", {"AlgoParentOrder"});
        bind_from(globals, "corvix.tarrow.model.algo_child_order", {"AlgoChildOrder"});
        bind_from(globals, "corvix.tarrow.model.algo_child_trade", {"AlgoChildTrade"});
        bind_from(globals, "corvix.tarrow.const", {"ORDER_STATUS", "POSITION_DIRECTION", "SIDE"});
        bind_from(globals, "corvix.tarrow.portfolio.account", {"Asset"});
        bind_from(globals, "corvix.tarrow.portfolio.position", {"Position"});
        bind_from(globals, "numpy_ringbuffer", {std::pair<const char*, const char*>{"RingBuffer", "RB"}});
        bind_global(globals, ctx.n(Name::np), import_module(globals, "numpy", nullptr).get());
        bind_from(globals, "collections", {"deque"});
        find_genuine_deque(st, ctx);
        bind_global(globals, ctx.n(Name::copy), import_module(globals, "copy", nullptr).get());
        bind_from(globals, "datetime", {"datetime", "time", "timedelta"});
        {
            Ref package = import_module(globals, "pyvorn.strategy", nullptr);
            bind_global(globals, ctx.n(Name::strategy), import_from(package.get(), ctx.n(Name::strategy)).get());
        }
        import_star(globals, "pyvorn.enums");

        bind_global(globals, ctx.n(Name::vorn_params), new_dict().get());
        {
            Ref event_queue = call_kw(ctx.global(Name::RB).get(), ctx.kw(Kw::ring_buffer),
                                      require(PyLong_FromLong(1000000)),
                                      reinterpret_cast<PyObject*>(&PyBaseObject_Type));
            bind_global(globals, ctx.n(Name::event_queue), event_queue.get());
        }
        for (Name store : {Name::history_bar, Name::history_tick, Name::orders_dict, Name::algo_parent_orders,
                           Name::algo_child_orders, Name::algo_child_trades})
            bind_global(globals, ctx.n(store), new_dict().get());

        for (const FunctionSpec& spec : module_functions)
            bind_global(globals, (text(spec.name)).get(), make_function(module, spec, "").get());

        Ref strategy_class = create_strategy_class(module, ctx);
        st.strategy_class = Py_NewRef(strategy_class.get());
        bind_global(globals, ctx.n(Name::VornStrategy), strategy_class.get());
        return 0;
    } catch (const PythonError&) {
        return -1;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        return -1;
    }
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* st = static_cast<ModuleState*>(PyModule_GetState(module));
    return st ? traverse_state(*st, visit, arg) : 0;
}

int module_clear(PyObject* module) {
    ModuleState* st = static_cast<ModuleState*>(PyModule_GetState(module));
    if (st) clear_state(*st);
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tessaline",
    nullptr,
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

Ref not_implemented(const char* qualname) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not built yet", qualname);
    throw PythonError{};
}

}  // namespace tessaline

PyMODINIT_FUNC PyInit_tessaline() { return PyModuleDef_Init(&tessaline::module_def); }
