// tessaline_tools._digest_native: the digests a comparison's replays send to
// be compared, 8 bytes per call, made as the replay goes (see digest_walk.hpp).
#include "digest_walk.hpp"

#include <new>
#include <string>

namespace digest {

namespace {

struct Digester {
    PyObject_HEAD
    Walker* walker;
    std::string pending;  // digests of the calls not yet taken, 8 bytes each
};

Digester* self_of(PyObject* o) { return reinterpret_cast<Digester*>(o); }

bool ready(Digester* d) {
    if (d->walker != nullptr) return true;
    PyErr_SetString(PyExc_RuntimeError, "the digester is not initialised");
    return false;
}

void put(std::string& s, uint64_t digest) {
    digest = to_little(digest);
    s.append(reinterpret_cast<const char*>(&digest), 8);
}

PyObject* digester_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* o = type->tp_alloc(type, 0);
    if (o == nullptr) return nullptr;
    new (&self_of(o)->pending) std::string();
    self_of(o)->walker = nullptr;
    return o;
}

int digester_init(PyObject* o, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"classify", "own", "module_dict", nullptr};
    PyObject *classify = nullptr, *own = nullptr, *module_dict = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO!O!:Digester", const_cast<char**>(names), &classify,
                                     &PyTuple_Type, &own, &PyDict_Type, &module_dict))
        return -1;
    if (!PyCallable_Check(classify)) {
        PyErr_SetString(PyExc_TypeError, "classify must be callable");
        return -1;
    }
    Digester* d = self_of(o);
    Walker* old = d->walker;
    try {
        d->walker = new Walker(classify, own, module_dict);
    } catch (const std::bad_alloc&) {
        d->walker = old;
        PyErr_NoMemory();
        return -1;
    }
    delete old;
    return 0;
}

int digester_traverse(PyObject* o, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(o));
    return self_of(o)->walker ? self_of(o)->walker->traverse(visit, arg) : 0;
}

int digester_clear(PyObject* o) {
    // taken out first: dropping the walker's references may run code that reaches this object
    delete std::exchange(self_of(o)->walker, nullptr);
    return 0;
}

void digester_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    Digester* d = self_of(o);
    delete std::exchange(d->walker, nullptr);
    d->pending.~basic_string();
    PyTypeObject* t = Py_TYPE(o);
    t->tp_free(o);
    Py_DECREF(t);
}

// Runs a walk; a C++ exception (memory) becomes a Python one.
template <class F>
Step guarded(F&& f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return Step::error;
    }
}

PyObject* digester_call(PyObject* o, PyObject* const* args, Py_ssize_t nargs) {
    Digester* d = self_of(o);
    if (!ready(d)) return nullptr;
    if (nargs != 5) {
        PyErr_SetString(PyExc_TypeError, "call(events, error, logs, context_calls, args) takes 5 arguments");
        return nullptr;
    }
    if (!PyTuple_Check(args[4])) {
        PyErr_SetString(PyExc_TypeError, "the call's arguments must be a tuple");
        return nullptr;
    }
    Ref outcome = Ref::steal(PyTuple_Pack(4, args[0], args[1], args[2], args[3]));
    if (!outcome) return nullptr;
    uint64_t digest = 0;
    const Step s = guarded([&] { return d->walker->call(outcome.get(), args[4], digest); });
    if (s == Step::error) return nullptr;
    if (s == Step::slow) Py_RETURN_FALSE;
    try {
        put(d->pending, digest);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_RETURN_TRUE;
}

PyObject* digester_value(PyObject* o, PyObject* v) {
    Digester* d = self_of(o);
    if (!ready(d)) return nullptr;
    uint64_t digest = 0;
    const Step s = guarded([&] { return d->walker->call(v, nullptr, digest); });
    if (s == Step::error) return nullptr;
    if (s == Step::slow) Py_RETURN_NONE;
    digest = to_little(digest);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(&digest), 8);
}

PyObject* digester_add(PyObject* o, PyObject* data) {
    Digester* d = self_of(o);
    if (!PyBytes_Check(data)) {
        PyErr_SetString(PyExc_TypeError, "add() takes bytes");
        return nullptr;
    }
    try {
        put(d->pending, hash64(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data)),
                               static_cast<size_t>(PyBytes_GET_SIZE(data))));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

PyObject* digester_take(PyObject* o, PyObject*) {
    Digester* d = self_of(o);
    PyObject* b = PyBytes_FromStringAndSize(d->pending.data(), static_cast<Py_ssize_t>(d->pending.size()));
    if (b != nullptr) d->pending.clear();
    return b;
}

PyObject* get_pending(PyObject* o, void*) { return PyLong_FromSize_t(self_of(o)->pending.size() / 8); }

PyMethodDef digester_methods[] = {
    {"call", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(digester_call)), METH_FASTCALL,
     "call(events, error, logs, context_calls, args) -> True once the call's digest is added, False when it "
     "needs the slow path"},
    {"value", digester_value, METH_O, "value(v) -> the 8-byte digest of v, or None when it needs the slow path"},
    {"add", digester_add, METH_O, "add(data) -> adds the digest of bytes made by the slow path"},
    {"take", digester_take, METH_NOARGS, "take() -> the digests added since the last take, 8 bytes each"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef digester_getset[] = {
    {"pending", get_pending, nullptr, "digests added and not yet taken", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot digester_slots[] = {
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
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
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
