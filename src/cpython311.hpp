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

namespace tessaline {

// A dictionary whose keys are all exact str: a lookup by a str key compares
// only strings and can run no Python code, so its version tag says all
// there is about what a lookup finds. (A key of any other type turns the
// table general, and that insertion changes the version tag.)
inline bool str_keyed(PyObject* dict) noexcept {
    return reinterpret_cast<PyDictObject*>(dict)->ma_keys->dk_kind != DICT_KEYS_GENERAL;
}

}  // namespace tessaline
