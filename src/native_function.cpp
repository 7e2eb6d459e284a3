#include "native_function.hpp"

#include "cpython311.hpp"

#include <structmember.h>

#include <exception>
#include <new>

namespace tessaline {
namespace {

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Impl impl;
    Py_ssize_t nparams;
    PyObject* module;          // owning module: its dict are the globals, its state the names
    ModuleState* state;        // the module's, alive as long as the module
    PyObject* globals;         // the module's dict, borrowed likewise
    PyObject* params;          // tuple of interned parameter names
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* text_signature;  // "(self, snapshot)", read by inspect.signature
};

NativeFunction* as_function(PyObject* self) { return reinterpret_cast<NativeFunction*>(self); }

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's list of missing names.
PyObject* missing_names_text(NativeFunction* f, PyObject* const* bound) {
    Ref names = require(PyList_New(0));
    for (Py_ssize_t i = 0; i < f->nparams; ++i) {
        if (bound[i] != nullptr) continue;
        Ref quoted = require(PyUnicode_FromFormat("'%U'", PyTuple_GET_ITEM(f->params, i)));
        require_status(PyList_Append(names.get(), quoted.get()));
    }
    const Py_ssize_t n = PyList_GET_SIZE(names.get());
    if (n == 1) return Py_NewRef(PyList_GET_ITEM(names.get(), 0));
    Ref last = Ref::borrow(PyList_GET_ITEM(names.get(), n - 1));
    require_status(PyList_SetSlice(names.get(), n - 1, n, nullptr));
    Ref head = require(PyUnicode_Join(n == 2 ? nullptr : Ref(require(PyUnicode_FromString(", "))).get(),
                                      names.get()));
    return PyUnicode_FromFormat(n == 2 ? "%U and %U" : "%U, and %U", head.get(), last.get());
}

// Binds positional and keyword arguments into `bound` (borrowed references)
// in the interpreter's order of checks: keywords first, then the positional
// count, then the missing parameters.
bool bind(NativeFunction* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
    for (Py_ssize_t i = 0; i < f->nparams; ++i) bound[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = -1;
        for (Py_ssize_t i = 0; i < f->nparams && slot < 0; ++i)
            if (PyTuple_GET_ITEM(f->params, i) == key) slot = i;
        for (Py_ssize_t i = 0; i < f->nparams && slot < 0; ++i) {
            int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(f->params, i), key, Py_EQ);
            if (eq < 0) return false;
            if (eq) slot = i;
        }
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
            return false;
        }
        if (bound[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
            return false;
        }
        bound[slot] = args[nargs + k];
    }
    if (nargs > f->nparams) {
        PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given", f->qualname,
                     f->nparams, f->nparams == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    Py_ssize_t missing = 0;
    for (Py_ssize_t i = 0; i < f->nparams; ++i) missing += bound[i] == nullptr;
    if (missing == 0) return true;
    try {
        Ref names = Ref::steal(missing_names_text(f, bound));
        if (!names) return false;
        PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", f->qualname, missing,
                     missing == 1 ? "" : "s", names.get());
    } catch (const PythonError&) {
    }
    return false;
}

// The one error boundary of the module: no C++ exception passes this point.
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    NativeFunction* f = as_function(self);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* bound[max_params];
    PyObject* const* argv = args;
    if (nargs != f->nparams || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
        if (!bind(f, args, nargs, kwnames, bound)) return nullptr;
        argv = bound;
    }
    // A cycle of calls that never passes through interpreted code (a bound
    // method or a partial of one of our functions handed back to us as a host
    // callable) must meet the recursion limit as interpreted code does,
    // rather than run off the end of the C stack.
    RecursionGuard depth;
    if (!depth.enter()) return nullptr;
    Ctx ctx(*f->state, f->globals);
    try {
        return f->impl(ctx, argv).release();
    } catch (const PythonError&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        return nullptr;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in tessaline");
        return nullptr;
    }
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// Copied and pickled as the interpreter treats a function: by its qualified
// name in its module (copy returns the function itself).
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    NativeFunction* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    return 0;
}

int function_clear(PyObject* self) {
    NativeFunction* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->params);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->text_signature);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(NativeFunction, vectorcall), READONLY, nullptr},
    {"__name__", T_OBJECT, offsetof(NativeFunction, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(NativeFunction, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(NativeFunction, module_name), READONLY, nullptr},
    {"__text_signature__", T_OBJECT, offsetof(NativeFunction, text_signature), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "tessaline.function",
    sizeof(NativeFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

}  // namespace

PyTypeObject* create_function_type(PyObject* module) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &function_spec, nullptr));
}

Ref make_function(PyObject* module, const FunctionSpec& spec, const char* qualname_prefix) {
    ModuleState& st = state_of(module);
    Ref params = require(PyTuple_New(spec.nparams));
    Ref signature = require(PyUnicode_FromString("("));
    for (int i = 0; i < spec.nparams; ++i) {
        PyObject* param = PyUnicode_InternFromString(spec.params[i]);
        if (param == nullptr) throw PythonError{};
        PyTuple_SET_ITEM(params.get(), i, param);
        signature = require(PyUnicode_FromFormat("%U%s%U", signature.get(), i ? ", " : "", param));
    }
    signature = require(PyUnicode_FromFormat("%U)", signature.get()));
    Ref name = require(PyUnicode_InternFromString(spec.name));
    Ref qualname = require(PyUnicode_FromFormat("%s%s", qualname_prefix, spec.name));

    NativeFunction* f = PyObject_GC_New(NativeFunction, st.function_type);
    if (f == nullptr) throw PythonError{};
    f->vectorcall = function_vectorcall;
    f->impl = spec.impl;
    f->nparams = spec.nparams;
    f->module = Py_NewRef(module);
    f->state = &st;
    f->globals = PyModule_GetDict(module);
    f->params = params.release();
    f->name = name.release();
    f->qualname = qualname.release();
    f->module_name = Py_NewRef(st.names[static_cast<int>(Name::module_name)]);
    f->text_signature = signature.release();
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace tessaline
