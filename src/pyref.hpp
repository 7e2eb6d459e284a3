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

// `a <op> b` as an `if` evaluates it: the rich comparison, then the truth of
// its result (no identity shortcut, so a NaN is not equal to itself).
inline bool compare(PyObject* a, PyObject* b, int op) {
    // Both types keep object's own comparison (Enum members, plain objects):
    // == and != are identity, exactly as the interpreter's fallback decides.
    const richcmpfunc base = PyBaseObject_Type.tp_richcompare;
    if ((op == Py_EQ || op == Py_NE) && Py_TYPE(a)->tp_richcompare == base && Py_TYPE(b)->tp_richcompare == base)
        return (a == b) == (op == Py_EQ);
    return truthy(require(PyObject_RichCompare(a, b, op)).get());
}

// obj.name resolved now and called later, as the interpreter splits a method
// call: the lookup happens before the arguments are evaluated, and a plain
// function found on the type is called with obj prepended (no bound method).
class Method {
public:
    Method(PyObject* obj, PyObject* name) : self_(obj) {
        PyObject* found = nullptr;
        unbound_ = _PyObject_GetMethod(obj, name, &found) == 1;
        if (found == nullptr) throw PythonError{};
        callable_ = Ref::steal(found);
    }

    template <class... Args>
    Ref operator()(const Args&... args) const {
        PyObject* argv[] = {nullptr, self_, as_ptr(args)...};
        constexpr size_t n = sizeof...(Args);
        if (unbound_) return require(PyObject_Vectorcall(callable_.get(), argv + 1, n + 1, nullptr));
        return require(PyObject_Vectorcall(callable_.get(), argv + 2, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }

private:
    PyObject* self_;  // kept alive by the caller's reference to it
    Ref callable_;
    bool unbound_ = false;
};

}  // namespace tessaline
