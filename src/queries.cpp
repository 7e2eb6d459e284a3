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

// store[code][-1] when code is a key of store, else None.
Ref latest(Ctx& c, Name store, PyObject* code) {
    if (!store_contains(c.global(store).get(), code)) return none();
    Ref history = store_item(c.global(store).get(), code);
    return require(PySequence_GetItem(history.get(), -1));
}

// list(store[code])[count * -1:] when code is a key of store, else None.
Ref latest_n(Ctx& c, Name store, PyObject* code, PyObject* count) {
    if (!store_contains(c.global(store).get(), code)) return none();
    Ref history = store_item(c.global(store).get(), code);
    Ref items = require(PySequence_List(history.get()));
    Ref start = require(PyNumber_Multiply(count, c.integer(Int::minus_one)));
    if (!PyIndex_Check(start.get())) {
        PyErr_SetString(PyExc_TypeError, "slice indices must be integers or None or have an __index__ method");
        throw PythonError{};
    }
    Py_ssize_t from = PyNumber_AsSsize_t(start.get(), nullptr);
    if (from == -1 && PyErr_Occurred()) throw PythonError{};
    const Py_ssize_t size = PyList_GET_SIZE(items.get());
    if (from < 0) from = from + size < 0 ? 0 : from + size;
    return require(PyList_GetSlice(items.get(), from, size));
}

}  // namespace

Ref get_current_bar(Ctx& c, PyObject* const* a) { return latest(c, Name::history_bar, a[0]); }

Ref get_current_tick(Ctx& c, PyObject* const* a) { return latest(c, Name::history_tick, a[0]); }

Ref history_ticks(Ctx& c, PyObject* const* a) { return latest_n(c, Name::history_tick, a[0], a[1]); }

Ref history_bars(Ctx& c, PyObject* const* a) { return latest_n(c, Name::history_bar, a[0], a[1]); }

}  // namespace tessaline
