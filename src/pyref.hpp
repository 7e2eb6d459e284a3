// Owned references, the NULL-to-exception check and the call helpers.
//
// Handler code never touches reference counts by hand: every new reference
// lands in a Ref, and every C-API call that can fail goes through require(),
// which turns "NULL with an exception set" into a C++ PythonError. The one
// place that catches it is the entry point of each native function
// (native_function.cpp), which then returns NULL to the interpreter with the
// original Python exception still set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

namespace tessaline {

// Thrown when a Python exception is set and must travel up to the entry point.
struct PythonError {};

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a reference the caller owns.
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A new reference or a thrown PythonError.
inline Ref require(PyObject* result) {
    if (result == nullptr) throw PythonError{};
    return Ref::steal(result);
}

// A C-API status (negative on failure) or a thrown PythonError.
inline int require_status(int status) {
    if (status < 0) throw PythonError{};
    return status;
}

inline PyObject* as_ptr(PyObject* p) noexcept { return p; }
inline PyObject* as_ptr(const Ref& r) noexcept { return r.get(); }

// callable(*args) through vectorcall; args are PyObject* or Ref.
template <class... Args>
Ref call(PyObject* callable, const Args&... args) {
    PyObject* argv[] = {nullptr, as_ptr(args)...};
    return require(PyObject_Vectorcall(callable, argv + 1,
                                       sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(*positional, **keywords): the last len(kwnames) args are the values
// of the keywords named by the (prebuilt, interned) kwnames tuple.
template <class... Args>
Ref call_kw(PyObject* callable, PyObject* kwnames, const Args&... args) {
    PyObject* argv[] = {nullptr, as_ptr(args)...};
    const size_t npositional = sizeof...(Args) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    return require(PyObject_Vectorcall(callable, argv + 1, npositional | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                       kwnames));
}

// obj.name(*args) without creating a bound method.
template <class... Args>
Ref call_method(PyObject* obj, PyObject* name, const Args&... args) {
    PyObject* argv[] = {obj, as_ptr(args)...};
    return require(PyObject_VectorcallMethod(name, argv, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                             nullptr));
}

inline Ref getattr(PyObject* obj, PyObject* name) { return require(PyObject_GetAttr(obj, name)); }

inline void setattr(PyObject* obj, PyObject* name, PyObject* value) {
    require_status(PyObject_SetAttr(obj, name, value));
}

inline bool truthy(PyObject* obj) { return require_status(PyObject_IsTrue(obj)) != 0; }

inline bool compare(PyObject* a, PyObject* b, int op) {
    return require_status(PyObject_RichCompareBool(a, b, op)) != 0;
}

}  // namespace tessaline
