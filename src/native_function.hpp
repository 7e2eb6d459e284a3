// The callable type behind every function and method of the module.
//
// It binds its parameters by position or keyword exactly as a Python function
// without defaults does (same TypeError wording), is called through
// vectorcall, and is a method descriptor: read from an instance it binds like
// a Python function, and a call through an instance allocates no bound method.
#pragma once

#include "state.hpp"

namespace tessaline {

// A handler receives the bound parameters in declaration order.
using Impl = Ref (*)(Ctx& ctx, PyObject* const* args);

inline constexpr int max_params = 5;

struct FunctionSpec {
    const char* name;
    Impl impl;
    int nparams;
    const char* params[max_params];
};

// The heap type, created once per module (kept in the module state).
PyTypeObject* create_function_type(PyObject* module);

// A new function object; qualname_prefix is "" for module functions and
// "VornStrategy." for methods.
Ref make_function(PyObject* module, const FunctionSpec& spec, const char* qualname_prefix);

inline Ref none() { return Ref::borrow(Py_None); }

}  // namespace tessaline
