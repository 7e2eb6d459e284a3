#include "handlers.hpp"

namespace tessaline {

Ref on_snapshot(Ctx&, PyObject* const*) { return not_implemented("VornStrategy.on_snapshot"); }
Ref on_tick_order(Ctx&, PyObject* const*) { return not_implemented("VornStrategy.on_tick_order"); }
Ref on_tick_trade(Ctx&, PyObject* const*) { return not_implemented("VornStrategy.on_tick_trade"); }
Ref on_bar(Ctx&, PyObject* const*) { return not_implemented("VornStrategy.on_bar"); }

}  // namespace tessaline
