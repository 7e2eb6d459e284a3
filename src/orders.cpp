#include "handlers.hpp"

namespace tessaline {

Ref on_order(Ctx&, PyObject* const*) { return not_implemented("VornStrategy.on_order"); }
Ref on_trade(Ctx&, PyObject* const*) { return not_implemented("VornStrategy.on_trade"); }
Ref on_order_action_error(Ctx&, PyObject* const*) { return not_implemented("VornStrategy.on_order_action_error"); }

}  // namespace tessaline
