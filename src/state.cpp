#include "state.hpp"

#include "cpython311.hpp"

#include <cstring>
#include <initializer_list>

#include <structmember.h>

namespace tessaline {
namespace {

const char* const name_texts[] = {
#define TESSALINE_NAME_TEXT(id) #id,
#define TESSALINE_TEXT_TEXT(id, text) text,
    TESSALINE_NAMES(TESSALINE_NAME_TEXT, TESSALINE_TEXT_TEXT)
#undef TESSALINE_NAME_TEXT
#undef TESSALINE_TEXT_TEXT
};
static_assert(sizeof(name_texts) / sizeof(name_texts[0]) == static_cast<size_t>(Name::count));

void make_kwnames(ModuleState& st, Kw kw, std::initializer_list<Name> names) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (tuple == nullptr) throw PythonError{};
    st.kwnames[static_cast<int>(kw)] = tuple;
    Py_ssize_t i = 0;
    for (Name n : names) PyTuple_SET_ITEM(tuple, i++, Py_NewRef(st.names[static_cast<int>(n)]));
}

void make_shape(ModuleState& st, Shape shape, std::initializer_list<Name> keys) {
    PyObject* dict = PyDict_New();
    if (dict == nullptr) throw PythonError{};
    st.shapes[static_cast<int>(shape)] = dict;
    for (Name key : keys) require_status(PyDict_SetItem(dict, st.names[static_cast<int>(key)], Py_None));
}

void make_int(ModuleState& st, Int which, long value) {
    PyObject* v = PyLong_FromLong(value);
    if (v == nullptr) throw PythonError{};
    st.ints[static_cast<int>(which)] = v;
}

// Every object the state owns except the dictionary templates. The
// templates hold only str keys and None, so they can be part of no cycle and
// the collector never tracks them; they are left out of traversal so that no
// Python code can reach them (gc.get_referents of the module) and add a key
// that every fresh tick or bar dictionary would then carry.
template <class F>
void for_each_traversed(ModuleState& st, F&& f) {
    for (PyObject*& p : st.names) f(p);
    for (PyObject*& p : st.kwnames) f(p);
    for (PyObject*& p : st.ints) f(p);
    PyObject* type = reinterpret_cast<PyObject*>(st.function_type);
    f(type);
    st.function_type = reinterpret_cast<PyTypeObject*>(type);
    f(st.strategy_class);
    PyObject* deque_type = reinterpret_cast<PyObject*>(st.deque_type);
    f(deque_type);
    st.deque_type = reinterpret_cast<PyTypeObject*>(deque_type);
    f(st.deque_append);
}

}  // namespace

ModuleState& state_of(PyObject* module) { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

void init_state(ModuleState& st) {
    for (int i = 0; i < static_cast<int>(Name::count); ++i) {
        st.names[i] = PyUnicode_InternFromString(name_texts[i]);
        if (st.names[i] == nullptr) throw PythonError{};
    }
    using N = Name;
    make_kwnames(st, Kw::tick_event, {N::calendar_dt, N::trading_dt, N::tick});
    make_kwnames(st, Kw::l2_order_event, {N::calendar_dt, N::trading_dt, N::l2_order});
    make_kwnames(st, Kw::l2_trans_event, {N::calendar_dt, N::trading_dt, N::l2_transaction});
    make_kwnames(st, Kw::dated_event, {N::calendar_dt, N::trading_dt});
    make_kwnames(st, Kw::login_event, {N::rid, N::account_id, N::code, N::msg});
    make_kwnames(st, Kw::account_ok_event, {N::rid, N::account_id, N::asset});
    make_kwnames(st, Kw::position_err_event, {N::rid, N::code, N::msg});
    make_kwnames(st, Kw::position_ok_event, {N::rid, N::positions});
    make_kwnames(st, Kw::order_event, {N::account, N::order});
    make_kwnames(st, Kw::trade_event, {N::account, N::trade, N::order});
    make_kwnames(st, Kw::trade_create,
                 {N::order_id, N::price, N::amount, N::side, N::position_effect, N::market_code, N::frozen_price});
    make_kwnames(st, Kw::algo_login_event, {N::req_id, N::algo_account, N::code, N::msg});
    make_kwnames(st, Kw::parent_create_event, {N::req_id, N::parent_order_id, N::code, N::msg});
    make_kwnames(st, Kw::parent_action_event, {N::parent_order_id, N::code, N::msg});
    make_kwnames(st, Kw::algo_parent_order, {N::algo_parent_order});
    make_kwnames(st, Kw::algo_child_order, {N::algo_child_order});
    make_kwnames(st, Kw::algo_child_trade, {N::algo_child_trade});
    make_kwnames(st, Kw::ring_buffer, {N::capacity, N::dtype});
    make_kwnames(st, Kw::deque_maxlen, {N::maxlen});
    make_kwnames(st, Kw::at_eight, {N::hour, N::minute, N::second, N::microsecond});
    make_kwnames(st, Kw::one_day, {N::days});
    make_shape(st, Shape::tick,
               {N::market_code, N::datetime, N::open_price, N::close_price, N::high_price, N::low_price,
                N::total_turnover, N::volume, N::prev_close, N::ask_vols, N::asks, N::bid_vols, N::bids,
                N::high_limited, N::last_price, N::low_limited, N::open_interest, N::prev_settlement, N::iopv,
                N::trading_phase_code});
    make_shape(st, Shape::bar,
               {N::market_code, N::orig_time, N::open_price, N::close_price, N::high_price, N::low_price,
                N::total_turnover, N::volume, N::prev_close});
    make_shape(st, Shape::position_state,
               {N::quantity, N::available_qty, N::avg_price, N::last_price, N::market_value, N::daily_pnl});
    make_int(st, Int::zero, 0);
    make_int(st, Int::one, 1);
    make_int(st, Int::minus_one, -1);
    make_int(st, Int::sixty, 60);
    make_int(st, Int::thousand, 1000);
}

int traverse_state(ModuleState& st, visitproc visit, void* arg) {
    int rc = 0;
    for_each_traversed(st, [&](PyObject*& p) {
        if (rc == 0 && p != nullptr) rc = visit(p, arg);
    });
    return rc;
}

void clear_state(ModuleState& st) {
    for_each_traversed(st, [](PyObject*& p) { Py_CLEAR(p); });
    for (PyObject*& p : st.shapes) Py_CLEAR(p);
}

Ref Ctx::global(Name name) const {
    GlobalSlot& seen = st_.globals_seen[static_cast<int>(name)];
    const uint64_t version = reinterpret_cast<PyDictObject*>(globals_)->ma_version_tag;
    if (seen.value != nullptr && seen.version == version) return Ref::borrow(seen.value);
    PyObject* key = n(name);
    PyObject* value = PyDict_GetItemWithError(globals_, key);
    if (value != nullptr) {
        // Only a dict of str keys is summed up by its version: a key of
        // another type can change what it equals without a store. (The
        // lookup above may have run such a key's __eq__, and with it any
        // code; the version is read again for what it found.)
        if (str_keyed(globals_)) seen = GlobalSlot{reinterpret_cast<PyDictObject*>(globals_)->ma_version_tag, value};
        else seen = GlobalSlot{};
        return Ref::borrow(value);
    }
    if (PyErr_Occurred()) throw PythonError{};
    // Not a module global: the builtins, as the interpreter falls back to them (never cached).
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins != nullptr) {
        value = PyDict_GetItemWithError(builtins, key);
        if (value != nullptr) return Ref::borrow(value);
        if (PyErr_Occurred()) throw PythonError{};
    }
    Ref message = require(PyUnicode_FromFormat("name '%U' is not defined", key));
    Ref error = call(PyExc_NameError, message);
    setattr(error.get(), n(Name::name_attr), key);
    PyErr_SetObject(PyExc_NameError, error.get());
    throw PythonError{};
}

namespace {

bool valid_tag(PyTypeObject* type) { return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag; }

// The plain __dict__ of an object whose type reads attributes generically
// (types.SimpleNamespace and the like), or null.
PyDictObject* plain_dict(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_dictoffset <= 0 ||
        (type->tp_flags & Py_TPFLAGS_MANAGED_DICT))
        return nullptr;
    PyObject* dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + type->tp_dictoffset);
    return dict && PyDict_CheckExact(dict) ? reinterpret_cast<PyDictObject*>(dict) : nullptr;
}

// Every dictionary on the type's method resolution order holds str keys
// only: looking a name up along it can run no code.
bool str_keyed_mro(PyTypeObject* type) {
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_CheckExact(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        PyObject* base_dict = PyType_Check(base) ? reinterpret_cast<PyTypeObject*>(base)->tp_dict : nullptr;
        if (base_dict == nullptr || !PyDict_CheckExact(base_dict) || !str_keyed(base_dict)) return false;
    }
    return true;
}

// A metaclass that reads class attributes as `type` does (it may add
// __getattr__, which only runs when that read fails).
bool reads_like_type(PyTypeObject* meta, PyObject* name) {
    if (meta->tp_getattro == PyType_Type.tp_getattro) return true;
    PyObject* own = _PyType_Lookup(meta, name);
    return own != nullptr && own == _PyType_Lookup(&PyType_Type, name);
}

}  // namespace

Ref Ctx::member(Name owner_name, Name member_name) const {
    Ref owner = global(owner_name);
    PyObject* o = owner.get();
    MemberSlot& seen = st_.members_seen[static_cast<int>(member_name)];
    PyTypeObject* type = Py_TYPE(o);
    if (seen.owner == o && seen.value != nullptr && valid_tag(type) && type->tp_version_tag == seen.type_version) {
        if (PyType_Check(o)) {
            PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(o);
            if (valid_tag(cls) && cls->tp_version_tag == seen.state && Py_TYPE(seen.value) == seen.value_type &&
                valid_tag(seen.value_type) && seen.value_type->tp_version_tag == seen.value_version)
                return Ref::borrow(seen.value);
        } else if (PyDictObject* dict = plain_dict(o)) {
            if (dict->ma_version_tag == seen.state) return Ref::borrow(seen.value);
        }
    }
    // Forget the old entry first: its value is borrowed, and the read below
    // may run code that frees it.
    seen = MemberSlot{};
    PyObject* name = n(member_name);

    // The tags a value is cached under are taken before the read, which may
    // run code (a metaclass attribute, a key's __eq__) that changes what
    // they stand for; the value is cached only if they still hold after it.
    PyTypeObject* cls = PyType_Check(o) ? reinterpret_cast<PyTypeObject*>(o) : nullptr;
    PyDictObject* dict = cls ? nullptr : plain_dict(o);
    const bool cacheable = valid_tag(type) && (cls ? valid_tag(cls) : dict != nullptr);
    const unsigned int type_version = type->tp_version_tag;
    const uint64_t state = cls ? cls->tp_version_tag : dict ? dict->ma_version_tag : 0;

    Ref value = getattr(o, name);
    if (!cacheable || !valid_tag(type) || type->tp_version_tag != type_version) return value;
    // Every lookup below goes through str-keyed dictionaries only, so none
    // of them can run code either.
    if (!str_keyed_mro(type)) return value;
    if (cls) {
        if (!valid_tag(cls) || cls->tp_version_tag != state || !str_keyed_mro(cls)) return value;
        PyTypeObject* value_type = Py_TYPE(value.get());
        if (_PyType_Lookup(cls, name) == value.get() && value_type->tp_descr_get == nullptr &&
            valid_tag(value_type) && _PyType_Lookup(type, name) == nullptr &&
            reads_like_type(type, n(Name::dunder_getattribute)))
            seen = MemberSlot{o, state, type_version, value.get(), value_type, value_type->tp_version_tag};
    } else {
        if (plain_dict(o) != dict || dict->ma_version_tag != state ||
            !str_keyed(reinterpret_cast<PyObject*>(dict)))
            return value;
        if (_PyType_Lookup(type, name) == nullptr &&
            PyDict_GetItemWithError(reinterpret_cast<PyObject*>(dict), name) == value.get())
            seen = MemberSlot{o, state, type_version, value.get(), nullptr, 0};
    }
    return value;
}

Ref as_text(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    // An exact float formats with an empty format as str() renders it
    // (float.__format__ hands an empty format to str); float is a static type,
    // so nothing can stand in for its __format__. PyObject_Format would look
    // the method up and bind it first. (It takes the same shortcut itself
    // for an exact int.)
    if (PyFloat_CheckExact(value)) return require(PyObject_Str(value));
    return require(PyObject_Format(value, nullptr));
}

Ref join_text(const Ctx& ctx, PyObject* const* pieces, Py_ssize_t count) {
    // Exact str pieces (what an f-string's fields have become) are sized in
    // one pass and copied in a second, compact ASCII ones (a log line's
    // usual pieces) straight from where CPython keeps their characters;
    // anything else goes through str.join's own checks.
    if (count < 2) return require(_PyUnicode_JoinArray(ctx.n(Name::empty), pieces, count));
    Py_ssize_t length = 0;
    bool ascii = true;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* piece = pieces[i];
        if (!PyUnicode_CheckExact(piece) || !PyUnicode_IS_READY(piece) ||
            PyUnicode_GET_LENGTH(piece) > PY_SSIZE_T_MAX - length)
            return require(_PyUnicode_JoinArray(ctx.n(Name::empty), pieces, count));
        ascii = ascii && PyUnicode_IS_COMPACT_ASCII(piece);
        length += PyUnicode_GET_LENGTH(piece);
    }
    if (ascii) {
        Ref result = require(PyUnicode_New(length, 0x7f));
        char* data = static_cast<char*>(PyUnicode_DATA(result.get()));
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* piece = pieces[i];
            const Py_ssize_t n = PyUnicode_GET_LENGTH(piece);
            std::memcpy(data, reinterpret_cast<PyASCIIObject*>(piece) + 1, static_cast<size_t>(n));
            data += n;
        }
        return result;
    }
    Py_UCS4 maxchar = 0;
    for (Py_ssize_t i = 0; i < count; ++i)
        maxchar |= PyUnicode_MAX_CHAR_VALUE(pieces[i]);  // 0x7f, 0xff, 0xffff or 0x10ffff: | is max
    Ref result = require(PyUnicode_New(length, maxchar));
    Py_ssize_t at = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(pieces[i]);
        _PyUnicode_FastCopyCharacters(result.get(), at, pieces[i], 0, n);
        at += n;
    }
    return result;
}

}  // namespace tessaline
