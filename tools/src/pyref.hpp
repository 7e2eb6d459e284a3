// Owned references for the capture's native part: every new reference lands
// in a Ref, so no early return can leak or double-free one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace capture {

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

    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Drops the reference now (tp_clear of a collected cycle).
    void clear() noexcept { Py_CLEAR(p_); }
    int visit(visitproc visit, void* arg) const { return p_ ? visit(p_, arg) : 0; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// The exception being raised, taken out for a moment (a hook reports it) and
// put back exactly as it was when the guard ends.
class HeldException {
public:
    HeldException() noexcept {
        PyErr_Fetch(&type_, &value_, &traceback_);
        PyErr_NormalizeException(&type_, &value_, &traceback_);
    }
    HeldException(const HeldException&) = delete;
    HeldException& operator=(const HeldException&) = delete;
    ~HeldException() { PyErr_Restore(type_, value_, traceback_); }
    PyObject* value() const noexcept { return value_ ? value_ : Py_None; }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// The exception being raised, taken for good: normalised, its traceback attached
// to it, the error indicator cleared.  None when the indicator held nothing.
inline Ref take_exception() noexcept {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value != nullptr ? value : Py_NewRef(Py_None));
}

}  // namespace capture
