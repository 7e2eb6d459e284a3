// Conversions every record handler shares.
#pragma once

#include "state.hpp"

namespace tessaline {

// The instrument code: record.security_id + "." + get_exchane_from_vorn_mdtype(record.<market_attr>),
// two concatenations left to right, security_id read before the suffix is asked for.
Ref instrument_code(const Ctx& c, PyObject* record, Name market_attr);

// stamp / thousand (the int 1000), as true division gives it.
Ref stamp_seconds(PyObject* stamp, PyObject* thousand);

// convert_int_to_datetime(record.<stamp_attr> / 1000): true division, so the
// host always receives a float.
Ref record_time(const Ctx& c, PyObject* record, Name stamp_attr);

// obj.name, or an empty Ref when reading it raises anything at all.
Ref attribute_or_absent(const Ctx& c, PyObject* obj, Name name);

// The first half of an import statement, as the interpreter runs it: through
// the builtins' __import__ (so an import hook installed there is honoured),
// with the module's globals, no locals and level 0.
Ref import_statement(PyObject* globals, PyObject* locals, PyObject* name, PyObject* fromlist);

// The second half of `from <module> import <name>`, with the interpreter's
// ImportError texts.
Ref import_from(PyObject* module, PyObject* name);

// a, b = value: exactly two items, with the interpreter's ValueError texts.
struct Pair {
    Ref first;
    Ref second;
};
Pair unpack_pair(PyObject* value);

}  // namespace tessaline
