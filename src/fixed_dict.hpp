// Fixed-key dictionaries filled in one go: the template's copy has its keys
// in order and None in every value, so the values read from a record are put
// straight into the copy's entries, without a lookup per key.
#pragma once

#include "state.hpp"

namespace tessaline {

// A copy of the shape's template holding values[i] under its i-th key. The
// values are read beforehand, in key order, so no code runs between the copy
// and the filling: nobody can have seen the dict, or its version, half-filled.
Ref filled_dict(const Ctx& c, Shape shape, PyObject* const* values, Py_ssize_t count);

}  // namespace tessaline
