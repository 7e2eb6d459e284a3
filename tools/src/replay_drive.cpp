// drive(): the replay's loop over the calls of a capture, in native code.
//
// A market-data call comes from the reader as the tuple
//     (position, callback name, wall ns, record, seq, mono ns, thread id)
// and is made here: the replay clock moved to its wall time, the strategy's
// bound method (looked up once per strategy) called with the record and timed,
// an exception it raises kept as the call's error, the call counted
// (count(name, position, wall ns, events, error, callback ns)) and shown to the
// sink when there is one (sink(call tuple, error)). Every other item (a Call)
// goes to `generic`, the replay's Python code, as does finding the strategy
// when there is none yet or it changed. After each call the lists of events,
// log lines and context calls are emptied for the next.
#include "replay_native.hpp"

#include <ctime>

namespace replay {
namespace {

using capture::Ref;

struct Loop {
    PyObject* replay;      // its `strategy` is the strategy calls go to
    PyObject* hot_start;   // hot_start(wall ns) -> the strategy, constructed first if there is none
    PyObject* generic;     // generic(call)
    PyObject* clock;       // its `wall_ns` is the wall time of the call being made
    PyObject* count;       // or None
    PyObject* sink;        // or None
    PyObject* lists[3];    // events, log lines, context calls
};

PyObject* name_strategy = nullptr;
PyObject* name_wall_ns = nullptr;

long long now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);  // what perf_counter_ns reads on this system
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

bool empty_lists(const Loop& l) {
    for (PyObject* list : l.lists)
        if (PyList_GET_SIZE(list) != 0 && PyList_SetSlice(list, 0, PyList_GET_SIZE(list), nullptr) < 0)
            return false;
    return true;
}

// One market-data call; `strategy` and `methods` carry the strategy and its bound methods
// from call to call.
bool make_call(const Loop& l, PyObject* item, Ref& strategy, Ref& methods) {
    PyObject* const* f = &PyTuple_GET_ITEM(item, 0);
    PyObject *position = f[0], *name = f[1], *wall = f[2], *record = f[3];
    if (PyObject_SetAttr(l.clock, name_wall_ns, wall) < 0) return false;
    Ref current = Ref::steal(PyObject_GetAttr(l.replay, name_strategy));
    if (!current) return false;
    if (!strategy || current.get() == Py_None || current.get() != strategy.get()) {
        strategy = Ref::steal(PyObject_CallOneArg(l.hot_start, wall));
        if (!strategy) return false;
        methods = Ref::steal(PyDict_New());
        if (!methods) return false;
    }
    Ref method = Ref::borrow(PyDict_GetItemWithError(methods.get(), name));
    if (!method) {
        if (PyErr_Occurred()) return false;
        method = Ref::steal(PyObject_GetAttr(strategy.get(), name));
        if (!method || PyDict_SetItem(methods.get(), name, method.get()) < 0) return false;
    }
    const long long t0 = now_ns();
    Ref result = Ref::steal(PyObject_CallOneArg(method.get(), record));
    const long long elapsed = now_ns() - t0;
    Ref error = Ref::borrow(Py_None);
    if (!result) {
        // a callback raising is what the replay reports; an interrupt or an exit is not
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
        error = capture::take_exception();
    }
    if (l.count != Py_None) {
        Ref ns = Ref::steal(PyLong_FromLongLong(elapsed));
        if (!ns) return false;
        PyObject* args[6] = {name, position, wall, l.lists[0], error.get(), ns.get()};
        Ref done = Ref::steal(PyObject_Vectorcall(l.count, args, 6, nullptr));
        if (!done) return false;
    }
    if (l.sink != Py_None) {
        PyObject* args[2] = {item, error.get()};
        Ref done = Ref::steal(PyObject_Vectorcall(l.sink, args, 2, nullptr));
        if (!done) return false;
    }
    return true;
}

PyObject* drive(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"items", "replay", "hot_start", "generic", "clock", "count", "sink",
                                     "events", "logs", "context_calls", nullptr};
    PyObject* items;
    Loop l{};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOOOOOO!O!O!:drive", const_cast<char**>(keywords), &items,
                                     &l.replay, &l.hot_start, &l.generic, &l.clock, &l.count, &l.sink,
                                     &PyList_Type, &l.lists[0], &PyList_Type, &l.lists[1], &PyList_Type,
                                     &l.lists[2]))
        return nullptr;
    if (name_strategy == nullptr && !(name_strategy = PyUnicode_InternFromString("strategy"))) return nullptr;
    if (name_wall_ns == nullptr && !(name_wall_ns = PyUnicode_InternFromString("wall_ns"))) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(items));
    if (!it) return nullptr;
    Ref strategy, methods;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        if (PyTuple_CheckExact(item.get()) && PyTuple_GET_SIZE(item.get()) == 7) {
            if (!make_call(l, item.get(), strategy, methods)) return nullptr;
        } else {
            Ref done = Ref::steal(PyObject_CallOneArg(l.generic, item.get()));
            if (!done) return nullptr;
            strategy.clear();  // the strategy may be another after a call of the Python code
        }
        if (!empty_lists(l)) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef drive_method = {
    "drive", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(drive)), METH_VARARGS | METH_KEYWORDS,
    "drive(items, replay, hot_start, generic, clock, count, sink, events, logs, context_calls): the replay's loop."};

}  // namespace replay
