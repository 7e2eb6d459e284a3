// The read side of the market-data histories: history_tick keeps the latest
// 60 tick dictionaries per instrument, history_bar every bar of the day.
//
// Between the membership test and the copy of a deque nothing here can run
// interpreted code for a string code (built-in dict, deque and list
// operations only), so the interpreter lock is never released in between and
// a concurrent handler cannot change the deque while it is read.
#include "handlers.hpp"

namespace tessaline {
namespace {

bool store_contains(PyObject* store, PyObject* code) {
    return require_status(PySequence_Contains(store, code)) != 0;
}

Ref store_item(PyObject* store, PyObject* code) {
    if (PyDict_CheckExact(store)) {
        PyObject* value = PyDict_GetItemWithError(store, code);
        if (value != nullptr) return Ref::borrow(value);
        if (PyErr_Occurred()) throw PythonError{};
    }
    return require(PyObject_GetItem(store, code));
}

// history[-1]. The real deque is indexed through its own slot, with no
// index object made.
Ref last_item(const Ctx& c, PyObject* history) {
    if (Py_IS_TYPE(history, c.state().deque_type))
        return require(Py_TYPE(history)->tp_as_sequence->sq_item(history, Py_SIZE(history) - 1));
    return require(PyObject_GetItem(history, c.integer(Int::minus_one)));
}

// list(history), of the deque as it stands when the copy is made. Both
// allocations here may start a collection whose finalizers change the deque;
// the iterator, made last, fixes what is copied, and a deque whose size
// moved meanwhile is copied the ordinary way. Once the iterator exists
// nothing allocates, so no code runs while the real deque is read.
Ref copy_to_list(const Ctx& c, PyObject* history) {
    if (!Py_IS_TYPE(history, c.state().deque_type)) return require(PySequence_List(history));
    const Py_ssize_t size = Py_SIZE(history);
    Ref items = require(PyList_New(size));
    Ref iterator = require(PyObject_GetIter(history));
    if (Py_SIZE(history) != size) return require(PySequence_List(history));
    const iternextfunc next = Py_TYPE(iterator.get())->tp_iternext;
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = next(iterator.get());
        if (item == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "deque mutated during iteration");
            throw PythonError{};
        }
        PyList_SET_ITEM(items.get(), i, item);
    }
    return items;
}

// The history of code in store, or an empty Ref. A plain dict and a str code
// answer the membership test and the item in one lookup (no code can run in
// between either way); anything else is asked twice, as written.
Ref find_history(Ctx& c, Name store, PyObject* code) {
    Ref s = c.global(store);
    if (PyDict_CheckExact(s.get()) && PyUnicode_CheckExact(code)) {
        // A str keeps its hash once computed: the lookup skips asking for it.
        const Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(code)->hash;
        PyObject* value = hash != -1 ? _PyDict_GetItem_KnownHash(s.get(), code, hash)
                                     : PyDict_GetItemWithError(s.get(), code);
        if (value != nullptr) return Ref::borrow(value);
        if (PyErr_Occurred()) throw PythonError{};
        return Ref();
    }
    if (!store_contains(s.get(), code)) return Ref();
    return store_item(c.global(store).get(), code);
}

// store[code][-1] when code is a key of store, else None.
Ref latest(Ctx& c, Name store, PyObject* code) {
    Ref history = find_history(c, store, code);
    if (!history) return none();
    return last_item(c, history.get());
}

// count * -1 as a slice start: the product converted to an index, clipped
// to the index range as slicing clips it.
Py_ssize_t start_index(Ctx& c, PyObject* count) {
    // An exact int times -1 is its negation, made without the product (no
    // code can run either way); beyond the index range the product clips.
    if (PyLong_CheckExact(count)) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(count, &overflow);
        if (overflow == 0 && value >= -PY_SSIZE_T_MAX && value <= PY_SSIZE_T_MAX)
            return -static_cast<Py_ssize_t>(value);
        if (overflow == 0 && value == -1 && PyErr_Occurred()) throw PythonError{};
    }
    Ref start = require(PyNumber_Multiply(count, c.integer(Int::minus_one)));
    if (!PyIndex_Check(start.get())) {
        PyErr_SetString(PyExc_TypeError, "slice indices must be integers or None or have an __index__ method");
        throw PythonError{};
    }
    const Py_ssize_t from = PyNumber_AsSsize_t(start.get(), nullptr);
    if (from == -1 && PyErr_Occurred()) throw PythonError{};
    return from;
}

// list(store[code])[count * -1:] when code is a key of store, else None.
Ref latest_n(Ctx& c, Name store, PyObject* code, PyObject* count) {
    Ref history = find_history(c, store, code);
    if (!history) return none();
    Ref items = copy_to_list(c, history.get());
    Py_ssize_t from = start_index(c, count);
    const Py_ssize_t size = PyList_GET_SIZE(items.get());
    if (from < 0) from = from + size < 0 ? 0 : from + size;
    if (from == 0) return items;  // the whole copy is new and nobody else holds it
    return require(PyList_GetSlice(items.get(), from, size));
}

}  // namespace

Ref get_current_bar(Ctx& c, PyObject* const* a) { return latest(c, Name::history_bar, a[0]); }

Ref get_current_tick(Ctx& c, PyObject* const* a) { return latest(c, Name::history_tick, a[0]); }

Ref history_ticks(Ctx& c, PyObject* const* a) { return latest_n(c, Name::history_tick, a[0], a[1]); }

Ref history_bars(Ctx& c, PyObject* const* a) { return latest_n(c, Name::history_bar, a[0], a[1]); }

}  // namespace tessaline
