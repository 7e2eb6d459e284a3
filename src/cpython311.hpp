// The few layouts of CPython 3.11's own objects that the fast paths read
// (dictionary key tables, inline instance values). The module is built for
// 3.11 only; anything that depends on these layouts includes this header, so
// that every use is found in one grep.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030C0000
#error "tessaline reads CPython 3.11's object layouts: build it for CPython 3.11"
#endif

#define Py_BUILD_CORE 1
#include <internal/pycore_dict.h>
#undef Py_BUILD_CORE

// The interpreter's own recursion check, which its inline
// _Py_EnterRecursiveCallTstate calls once the remaining depth runs out
// (its header pulls in C11 atomics, which C++ cannot include).
extern "C" PyAPI_FUNC(int) _Py_CheckRecursiveCall(PyThreadState* tstate, const char* where);

namespace tessaline {

// A dictionary whose keys are all exact str: a lookup by a str key compares
// only strings and can run no Python code, so its version tag says all
// there is about what a lookup finds. (A key of any other type turns the
// table general, and that insertion changes the version tag.)
inline bool str_keyed(PyObject* dict) noexcept {
    return reinterpret_cast<PyDictObject*>(dict)->ma_keys->dk_kind != DICT_KEYS_GENERAL;
}

// The interpreter's recursion limit around one native call, as the
// interpreter's own C calls take part in it (the inline forms of
// Py_EnterRecursiveCall and Py_LeaveRecursiveCall: the entry of every
// function pays this).
class RecursionGuard {
public:
    RecursionGuard() noexcept : tstate_(_PyThreadState_UncheckedGet()) {}
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    // False with RecursionError set when the limit is reached.
    bool enter() noexcept {
        entered_ = !(tstate_->recursion_remaining-- <= 0 &&
                     _Py_CheckRecursiveCall(tstate_, " while calling a Python object"));
        return entered_;  // on failure the check itself has given the depth back
    }
    ~RecursionGuard() {
        if (entered_) ++tstate_->recursion_remaining;
    }

private:
    PyThreadState* tstate_;
    bool entered_ = false;
};

}  // namespace tessaline
