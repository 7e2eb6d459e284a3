// tessaline_tools._digest_native: the digests a comparison's replays send to
// be compared, 8 bytes per call, made as the replay goes (see digest_walk.hpp).
#include "digest_walk.hpp"

#include <structmember.h>

#include <new>
#include <string>

namespace digest {

namespace {

void put(std::string& s, uint64_t digest) {
    digest = to_little(digest);
    s.append(reinterpret_cast<const char*>(&digest), 8);
}

struct Digester {
    PyObject_HEAD
    Walker* walker;
    std::string pending;  // digests of the calls not yet taken, 8 bytes each
    long long first;      // the position of the first of them
    long long last;       // the position of the last call digested
    PyObject* market;     // the callbacks market() reads (a frozenset of names), owned
    long long every;      // calls between checkpoints of the state
    // As the replay's sink, d(replay, call, events, error, logs, context_calls): the calls
    // market() takes are done here; every other one goes to fallback(..., market's answer),
    // and so does any call of a replay, or a strategy, other than the ones the walk knows.
    vectorcallfunc vectorcall;
    PyObject* fallback;   // owned
    PyObject* replay;     // owned
    PyObject* strategy;   // owned
};

// Names read from a replayed call (interned once).
PyObject* str_position = nullptr;
PyObject* str_args = nullptr;
PyObject* str_name = nullptr;
PyObject* str_strategy = nullptr;

// Notes a call at position; false with a Python error set.
bool note(Digester* d, long long position, uint64_t digest) {
    try {
        if (d->pending.empty()) d->first = position;
        put(d->pending, digest);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    d->last = position;
    return true;
}

Digester* self_of(PyObject* o) { return reinterpret_cast<Digester*>(o); }

bool ready(Digester* d) {
    if (d->walker != nullptr) return true;
    PyErr_SetString(PyExc_RuntimeError, "the digester is not initialised");
    return false;
}


PyObject* digester_sink(PyObject* o, PyObject* const* args, size_t nargsf, PyObject* kwnames);

PyObject* digester_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* o = type->tp_alloc(type, 0);
    if (o == nullptr) return nullptr;
    new (&self_of(o)->pending) std::string();
    self_of(o)->walker = nullptr;
    self_of(o)->first = -1;
    self_of(o)->last = -1;
    self_of(o)->market = nullptr;
    self_of(o)->every = 1;
    self_of(o)->vectorcall = digester_sink;
    self_of(o)->fallback = nullptr;
    self_of(o)->replay = nullptr;
    self_of(o)->strategy = nullptr;
    return o;
}

int digester_init(PyObject* o, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"classify", "own", "module_dict", "market", "every", "fallback", "replay",
                                  "strategy", nullptr};
    PyObject *classify = nullptr, *own = nullptr, *module_dict = nullptr, *market = nullptr;
    PyObject *fallback = nullptr, *replay = nullptr, *strategy = nullptr;
    long long every = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO!O!|O!LOOO:Digester", const_cast<char**>(names), &classify,
                                     &PyTuple_Type, &own, &PyDict_Type, &module_dict, &PyFrozenSet_Type, &market,
                                     &every, &fallback, &replay, &strategy))
        return -1;
    if (fallback != nullptr && fallback != Py_None && !PyCallable_Check(fallback)) {
        PyErr_SetString(PyExc_TypeError, "fallback must be callable");
        return -1;
    }
    if (every < 1) {
        PyErr_SetString(PyExc_ValueError, "every must be at least 1");
        return -1;
    }
    if (!PyCallable_Check(classify)) {
        PyErr_SetString(PyExc_TypeError, "classify must be callable");
        return -1;
    }
    Digester* d = self_of(o);
    Walker* old = d->walker;
    Walker* fresh = nullptr;
    try {
        fresh = new Walker(classify, own, module_dict);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    if (!fresh->ok()) {
        delete fresh;
        return -1;
    }
    d->walker = fresh;
    delete old;
    Py_XINCREF(market);
    Py_XSETREF(d->market, market);
    d->every = every;
    if (fallback == Py_None) fallback = nullptr;
    Py_XINCREF(fallback);
    Py_XSETREF(d->fallback, fallback);
    Py_XINCREF(replay);
    Py_XSETREF(d->replay, replay);
    Py_XINCREF(strategy);
    Py_XSETREF(d->strategy, strategy);
    return 0;
}

int digester_traverse(PyObject* o, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(o));
    Py_VISIT(self_of(o)->market);
    Py_VISIT(self_of(o)->fallback);
    Py_VISIT(self_of(o)->replay);
    Py_VISIT(self_of(o)->strategy);
    return self_of(o)->walker ? self_of(o)->walker->traverse(visit, arg) : 0;
}

int digester_clear(PyObject* o) {
    // taken out first: dropping the walker's references may run code that reaches this object
    delete std::exchange(self_of(o)->walker, nullptr);
    Py_CLEAR(self_of(o)->market);
    Py_CLEAR(self_of(o)->fallback);
    Py_CLEAR(self_of(o)->replay);
    Py_CLEAR(self_of(o)->strategy);
    return 0;
}

void digester_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    Digester* d = self_of(o);
    delete std::exchange(d->walker, nullptr);
    Py_CLEAR(d->market);
    Py_CLEAR(d->fallback);
    Py_CLEAR(d->replay);
    Py_CLEAR(d->strategy);
    d->pending.~basic_string();
    PyTypeObject* t = Py_TYPE(o);
    t->tp_free(o);
    Py_DECREF(t);
}

// Runs a walk; a C++ exception (memory) becomes a Python one. An object that
// raised while it was read (a deque changed under its iterator, an enumeration
// member without a dict) is left to the slow path, which reads it the way the
// full observation does; only running out of memory is an error here.
template <class F>
Step guarded(F&& f) {
    Step s;
    try {
        s = f();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return Step::error;
    }
    if (s == Step::error && !PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        return Step::slow;
    }
    return s;
}

PyObject* digester_market(PyObject* o, PyObject* const* args, Py_ssize_t nargs) {
    // market(call, events, error, logs, context_calls): the hot path, once per replayed call.
    // True: digested; False: not read here (another callback, a call that raised, an object the
    // walk cannot read), the caller digests it the slow way; an int: digested, and the state
    // is due for a checkpoint after this call, at that position.
    Digester* d = self_of(o);
    if (!ready(d)) return nullptr;
    if (nargs != 5) {
        PyErr_SetString(PyExc_TypeError, "market(call, events, error, logs, context_calls) takes 5 arguments");
        return nullptr;
    }
    if (args[2] != Py_None || d->market == nullptr) Py_RETURN_FALSE;
    PyObject* call = args[0];
    Ref name = Ref::steal(PyObject_GetAttr(call, str_name));
    if (!name) return nullptr;
    const int market = PySet_Contains(d->market, name.get());
    if (market < 0) return nullptr;
    if (market == 0) Py_RETURN_FALSE;
    Ref position = Ref::steal(PyObject_GetAttr(call, str_position));
    if (!position) return nullptr;
    const long long pos = PyLong_AsLongLong(position.get());
    if (pos == -1 && PyErr_Occurred()) return nullptr;
    Ref call_args = Ref::steal(PyObject_GetAttr(call, str_args));
    if (!call_args) return nullptr;
    if (!PyTuple_Check(call_args.get())) Py_RETURN_FALSE;
    uint64_t digest = 0;
    const Step s = guarded([&] { return d->walker->parts(args + 1, 4, call_args.get(), digest); });
    if (s == Step::error) return nullptr;
    if (s == Step::slow) Py_RETURN_FALSE;
    if (!note(d, pos, digest)) return nullptr;
    if ((pos + 1) % d->every == 0) return position.release();
    Py_RETURN_TRUE;
}

PyObject* digester_sink(PyObject* o, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Digester* d = self_of(o);
    const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    if (n != 6 || kwnames != nullptr || d->fallback == nullptr) {
        PyErr_SetString(PyExc_TypeError,
                        "a digester with a fallback is called as (replay, call, events, error, logs, context_calls)");
        return nullptr;
    }
    Ref answer;
    if (args[0] == d->replay) {
        Ref strategy = Ref::steal(PyObject_GetAttr(args[0], str_strategy));
        if (!strategy) return nullptr;
        if (strategy.get() == d->strategy) {
            answer = Ref::steal(digester_market(o, args + 1, 5));
            if (!answer) return nullptr;
            if (answer.get() == Py_True) Py_RETURN_NONE;
        }
    }
    if (!answer) answer = Ref::borrow(Py_None);  // another replay or strategy: the fallback sees to it
    PyObject* call[7] = {args[0], args[1], args[2], args[3], args[4], args[5], answer.get()};
    return PyObject_Vectorcall(d->fallback, call, 7, nullptr);
}

PyObject* digester_outcome(PyObject* o, PyObject* const* args, Py_ssize_t nargs) {
    // outcome(position, events, error, logs, context_calls, args, sources): any call, its
    // exception given as (name, text), its arguments and the dicts whose values are named
    Digester* d = self_of(o);
    if (!ready(d)) return nullptr;
    if (nargs != 7 || !PyLong_Check(args[0]) || !PyTuple_Check(args[5]) || !PyTuple_Check(args[6])) {
        PyErr_SetString(PyExc_TypeError,
                        "outcome(position, events, error, logs, context_calls, args, sources) takes an int, four "
                        "values and two tuples");
        return nullptr;
    }
    const long long pos = PyLong_AsLongLong(args[0]);
    if (pos == -1 && PyErr_Occurred()) return nullptr;
    uint64_t digest = 0;
    const Step s = guarded([&] { return d->walker->labelled_parts(args + 1, 4, args[5], args[6], digest); });
    if (s == Step::error) return nullptr;
    if (s == Step::slow) Py_RETURN_FALSE;
    if (!note(d, pos, digest)) return nullptr;
    Py_RETURN_TRUE;
}

PyObject* digester_value(PyObject* o, PyObject* v) {
    Digester* d = self_of(o);
    if (!ready(d)) return nullptr;
    uint64_t digest = 0;
    const Step s = guarded([&] { return d->walker->parts(&v, 1, nullptr, digest); });
    if (s == Step::error) return nullptr;
    if (s == Step::slow) Py_RETURN_NONE;
    digest = to_little(digest);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(&digest), 8);
}

PyObject* digester_add(PyObject* o, PyObject* const* args, Py_ssize_t nargs) {
    // add(position, data): the digest of the call at position, made the slow way as bytes
    Digester* d = self_of(o);
    if (nargs != 2 || !PyLong_Check(args[0]) || !PyBytes_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "add(position, data) takes an int and bytes");
        return nullptr;
    }
    const long long pos = PyLong_AsLongLong(args[0]);
    if (pos == -1 && PyErr_Occurred()) return nullptr;
    const uint64_t digest = hash64(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(args[1])),
                                   static_cast<size_t>(PyBytes_GET_SIZE(args[1])));
    if (!note(d, pos, digest)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* digester_take(PyObject* o, PyObject*) {
    Digester* d = self_of(o);
    PyObject* b = PyBytes_FromStringAndSize(d->pending.data(), static_cast<Py_ssize_t>(d->pending.size()));
    if (b != nullptr) d->pending.clear();
    return b;
}

PyObject* get_pending(PyObject* o, void*) { return PyLong_FromSize_t(self_of(o)->pending.size() / 8); }
PyObject* get_first(PyObject* o, void*) { return PyLong_FromLongLong(self_of(o)->first); }
PyObject* get_last(PyObject* o, void*) { return PyLong_FromLongLong(self_of(o)->last); }

PyMethodDef digester_methods[] = {
    {"market", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(digester_market)), METH_FASTCALL,
     "market(call, events, error, logs, context_calls) -> True once the call's digest is added, False when it "
     "needs the slow path"},
    {"outcome", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(digester_outcome)), METH_FASTCALL,
     "outcome(position, events, error, logs, context_calls, args, sources) -> True once the call's digest is "
     "added, False when it needs the slow path"},
    {"value", digester_value, METH_O, "value(v) -> the 8-byte digest of v, or None when it needs the slow path"},
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(digester_add)), METH_FASTCALL,
     "add(position, data) -> adds the digest of the call at position, made by the slow path as bytes"},
    {"take", digester_take, METH_NOARGS, "take() -> the digests added since the last take, 8 bytes each"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef digester_getset[] = {
    {"pending", get_pending, nullptr, "digests added and not yet taken", nullptr},
    {"first", get_first, nullptr, "the position of the first digest not yet taken", nullptr},
    {"last", get_last, nullptr, "the position of the last call digested (-1: none)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef digester_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Digester, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot digester_slots[] = {
    {Py_tp_members, digester_members},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_new, reinterpret_cast<void*>(digester_new)},
    {Py_tp_init, reinterpret_cast<void*>(digester_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(digester_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(digester_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(digester_clear)},
    {Py_tp_methods, digester_methods},
    {Py_tp_getset, digester_getset},
    {Py_tp_doc, const_cast<char*>("Digests of one replay's calls and state (see the module).")},
    {0, nullptr},
};

PyType_Spec digester_spec = {
    "tessaline_tools._digest_native.Digester",
    sizeof(Digester),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL,
    digester_slots,
};

PyObject* digest_bytes(PyObject*, PyObject* data) {
    if (!PyBytes_Check(data)) {
        PyErr_SetString(PyExc_TypeError, "digest_bytes() takes bytes");
        return nullptr;
    }
    uint64_t h = to_little(hash64(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data)),
                                  static_cast<size_t>(PyBytes_GET_SIZE(data))));
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(&h), 8);
}

PyMethodDef module_methods[] = {
    {"digest_bytes", digest_bytes, METH_O, "digest_bytes(data) -> the 8-byte digest of bytes"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_digest_native",
    "Digests of replayed calls and of the module's state, for comparisons.",
    -1,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace digest

PyMODINIT_FUNC PyInit__digest_native() {
    if (!digest::import_datetime()) return nullptr;
    digest::str_position = PyUnicode_InternFromString("position");
    digest::str_args = PyUnicode_InternFromString("args");
    digest::str_name = PyUnicode_InternFromString("name");
    digest::str_strategy = PyUnicode_InternFromString("strategy");
    if (digest::str_strategy == nullptr) return nullptr;
    if (digest::str_position == nullptr || digest::str_args == nullptr || digest::str_name == nullptr) return nullptr;
    PyObject* m = PyModule_Create(&digest::module_def);
    if (m == nullptr) return nullptr;
    PyObject* type = PyType_FromSpec(&digest::digester_spec);
    if (type == nullptr || PyModule_AddObject(m, "Digester", type) < 0) {
        Py_XDECREF(type);
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
