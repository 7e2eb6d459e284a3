#include "handlers.hpp"

namespace tessaline {

Ref on_query_asset(Ctx&, PyObject* const*) { return not_implemented("VornStrategy.on_query_asset"); }
Ref on_query_position(Ctx&, PyObject* const*) { return not_implemented("VornStrategy.on_query_position"); }

}  // namespace tessaline
