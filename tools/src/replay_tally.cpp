// Tally: a replay's summary counting each call, in native code.
//
// tally(name, position, wall_ns, events, error, callback_ns) does what the
// summary's add() does, on the summary's own containers: the call counted by
// callback, its time in the current minute's latencies, its events counted by
// type. The summary's Python code is still what labels an event type it has
// not seen and notes an order event; and a call that raised, that closes a
// minute, or that is due a progress report goes to the summary's add() whole.
// After add() the containers are read again, since it may have replaced them.
#include "replay_native.hpp"

#include <cstddef>
#include <new>
#include <utility>

namespace replay {
namespace {

using capture::Ref;

struct Tally {
    Ref summary;
    Ref add;               // summary.add
    Ref label;             // summary._label(event, event type) -> (text, is an order event)
    Ref note_order;        // summary._note_order(order, wall_ns)
    Ref callbacks;         // callback -> calls
    Ref labels;            // id(event type) -> label
    Ref latencies;         // this minute's callback times
    Ref minute_events;     // this minute's events by type
    long long minute_start = 0, minute_end = 0;
    long long calls = 0;
    long long every = 0;   // a progress report after each `every` calls
    bool tells = false;    // whether the summary reports progress at all
};

struct TallyObject {
    PyObject_HEAD
    Tally* state;  // null once cleared
    vectorcallfunc vectorcall;
};

Tally* state_of(PyObject* o) { return reinterpret_cast<TallyObject*>(o)->state; }

struct Names {
    PyObject *calls, *every, *tell, *callbacks, *labels, *latencies, *minute_events, *minute_start, *minute_end,
        *event_type, *order, *add, *label, *note_order, *one;
};
Names names{};

bool intern_names() {
    if (names.one != nullptr) return true;
    const std::pair<PyObject**, const char*> all[] = {
        {&names.calls, "calls"}, {&names.every, "_every"}, {&names.tell, "_tell"},
        {&names.callbacks, "callbacks"}, {&names.labels, "_labels"}, {&names.latencies, "_latencies"},
        {&names.minute_events, "_minute_events"}, {&names.minute_start, "_minute_start"},
        {&names.minute_end, "_minute_end"}, {&names.event_type, "event_type"}, {&names.order, "order"},
        {&names.add, "add"}, {&names.label, "_label"}, {&names.note_order, "_note_order"}};
    for (auto& [slot, text] : all) {
        *slot = PyUnicode_InternFromString(text);
        if (*slot == nullptr) return false;
    }
    names.one = PyLong_FromLong(1);
    return names.one != nullptr;
}

Ref attr(PyObject* o, PyObject* name) { return Ref::steal(PyObject_GetAttr(o, name)); }

bool long_attr(PyObject* o, PyObject* name, long long& out) {
    Ref v = attr(o, name);
    if (!v) return false;
    out = PyLong_AsLongLong(v.get());
    return !(out == -1 && PyErr_Occurred());
}

template <class Check>
bool typed_attr(PyObject* o, PyObject* name, Ref& out, Check check, const char* what) {
    Ref v = attr(o, name);
    if (!v) return false;
    if (!check(v.get())) {
        PyErr_Format(PyExc_TypeError, "the summary's %U is not a %s", name, what);
        return false;
    }
    out = std::move(v);
    return true;
}

// The summary's containers and counters as they are now (before its first minute there are
// none: every call then goes to its add()).
bool refresh(Tally& t) {
    PyObject* s = t.summary.get();
    if (!long_attr(s, names.calls, t.calls) || !long_attr(s, names.minute_start, t.minute_start) ||
        !long_attr(s, names.minute_end, t.minute_end))
        return false;
    t.latencies = attr(s, names.latencies);
    if (!t.latencies) return false;
    t.minute_events = attr(s, names.minute_events);
    if (!t.minute_events) return false;
    if (!PyList_Check(t.latencies.get()) || !PyDict_Check(t.minute_events.get())) {
        t.latencies.clear();
        t.minute_events.clear();
    }
    return true;
}

// getattr(o, name, None)
Ref attr_or_none(PyObject* o, PyObject* name) {
    Ref v = attr(o, name);
    if (v || !PyErr_ExceptionMatches(PyExc_AttributeError)) return v;
    PyErr_Clear();
    return Ref::borrow(Py_None);
}

bool count_in(PyObject* dict, PyObject* key) {
    PyObject* n = PyDict_GetItemWithError(dict, key);
    if (n == nullptr && PyErr_Occurred()) return false;
    Ref next = Ref::steal(n == nullptr ? PyLong_FromLong(1) : PyNumber_Add(n, names.one));
    return next && PyDict_SetItem(dict, key, next.get()) == 0;
}

bool count_events(Tally& t, PyObject* events, PyObject* wall) {
    // the list may change under a label or order note that runs Python code: read it afresh each time
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(events); ++i) {
        Ref ev = Ref::borrow(PyList_GET_ITEM(events, i));
        Ref et = attr_or_none(ev.get(), names.event_type);
        if (!et) return false;
        Ref key = Ref::steal(PyLong_FromVoidPtr(et.get()));  // by identity: an enum's hash is Python code
        if (!key) return false;
        Ref label = Ref::borrow(PyDict_GetItemWithError(t.labels.get(), key.get()));
        if (!label) {
            if (PyErr_Occurred()) return false;
            PyObject* args[2] = {ev.get(), et.get()};
            label = Ref::steal(PyObject_Vectorcall(t.label.get(), args, 2, nullptr));
            if (!label) return false;
        }
        Ref text = Ref::steal(PySequence_GetItem(label.get(), 0));
        if (!text || !count_in(t.minute_events.get(), text.get())) return false;
        Ref is_order = Ref::steal(PySequence_GetItem(label.get(), 1));
        if (!is_order) return false;
        const int order_event = PyObject_IsTrue(is_order.get());
        if (order_event < 0) return false;
        if (order_event) {
            Ref order = attr_or_none(ev.get(), names.order);
            if (!order) return false;
            if (order.get() != Py_None) {
                PyObject* args[2] = {order.get(), wall};
                Ref done = Ref::steal(PyObject_Vectorcall(t.note_order.get(), args, 2, nullptr));
                if (!done) return false;
            }
        }
    }
    return true;
}

PyObject* tally_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Tally* t = state_of(self);
    if (t == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the tally is cleared");
        return nullptr;
    }
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != 6 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_SetString(PyExc_TypeError, "tally(name, position, wall_ns, events, error, callback_ns)");
        return nullptr;
    }
    PyObject *name = args[0], *wall = args[2], *events = args[3], *error = args[4], *callback_ns = args[5];
    int overflow = 0;
    const long long w = PyLong_Check(wall) ? PyLong_AsLongLongAndOverflow(wall, &overflow) : 0;
    if (PyErr_Occurred()) return nullptr;
    const bool usual = t->latencies && error == Py_None && PyLong_Check(wall) && overflow == 0 && t->minute_start <= w &&
                       w < t->minute_end && !(t->tells && (t->every <= 0 || (t->calls + 1) % t->every == 0)) &&
                       PyList_Check(events);
    if (!usual) {
        Ref done = Ref::steal(PyObject_Vectorcall(t->add.get(), args, 6, nullptr));
        if (!done || !refresh(*t)) return nullptr;
        return done.release();
    }
    Ref calls = Ref::steal(PyLong_FromLongLong(t->calls + 1));
    if (!calls || PyObject_SetAttr(t->summary.get(), names.calls, calls.get()) < 0) return nullptr;
    ++t->calls;
    if (!count_in(t->callbacks.get(), name)) return nullptr;
    if (PyList_Append(t->latencies.get(), callback_ns) < 0) return nullptr;
    if (PyList_GET_SIZE(events) != 0 && !count_events(*t, events, wall)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* tally_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"summary", nullptr};
    PyObject* summary;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:Tally", const_cast<char**>(keywords), &summary)) return nullptr;
    if (!intern_names()) return nullptr;
    Ref o = Ref::steal(type->tp_alloc(type, 0));
    if (!o) return nullptr;
    Tally* t = new (std::nothrow) Tally();
    if (t == nullptr) return PyErr_NoMemory();
    reinterpret_cast<TallyObject*>(o.get())->state = t;
    reinterpret_cast<TallyObject*>(o.get())->vectorcall = tally_vectorcall;
    t->summary = Ref::borrow(summary);
    if (!(t->add = attr(summary, names.add)) || !(t->label = attr(summary, names.label)) ||
        !(t->note_order = attr(summary, names.note_order)))
        return nullptr;
    if (!typed_attr(summary, names.callbacks, t->callbacks, [](PyObject* v) { return PyDict_Check(v); }, "dict") ||
        !typed_attr(summary, names.labels, t->labels, [](PyObject* v) { return PyDict_Check(v); }, "dict"))
        return nullptr;
    Ref tell = attr(summary, names.tell);
    if (!tell) return nullptr;
    t->tells = tell.get() != Py_None;
    if (t->tells && !long_attr(summary, names.every, t->every)) return nullptr;
    if (!refresh(*t)) return nullptr;
    return o.release();
}

int tally_traverse(PyObject* self, visitproc visit, void* arg) {
    Tally* t = state_of(self);
    if (t == nullptr) return 0;
    for (const Ref* r : {&t->summary, &t->add, &t->label, &t->note_order, &t->callbacks, &t->labels, &t->latencies,
                         &t->minute_events})
        if (int e = r->visit(visit, arg)) return e;
    return 0;
}

int tally_clear(PyObject* self) {
    // every reference goes before any is released: a finalizer it runs may reach this object
    delete std::exchange(reinterpret_cast<TallyObject*>(self)->state, nullptr);
    return 0;
}

void tally_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    tally_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* tally_call(PyObject* self, PyObject* args, PyObject* kwargs) { return PyVectorcall_Call(self, args, kwargs); }

}  // namespace

PyTypeObject TallyType = [] {
    PyTypeObject t{};
    t.ob_base.ob_base.ob_refcnt = 1;  // a static type is never freed
    t.tp_name = "tessaline_tools._replay_native.Tally";
    t.tp_basicsize = sizeof(TallyObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_doc = "Counts each replayed call into a replay's summary, as its add() does.";
    t.tp_vectorcall_offset = offsetof(TallyObject, vectorcall);
    t.tp_new = tally_new;
    t.tp_call = tally_call;
    t.tp_dealloc = tally_dealloc;
    t.tp_traverse = tally_traverse;
    t.tp_clear = tally_clear;
    return t;
}();

}  // namespace replay
