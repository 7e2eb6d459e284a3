#include "handlers.hpp"

namespace tessaline {

Ref on_algo_login(Ctx&, PyObject* const*) { return not_implemented("VornStrategy.on_algo_login"); }
Ref on_create_algo_parent_order_res(Ctx&, PyObject* const*) { return not_implemented("VornStrategy.on_create_algo_parent_order_res"); }
Ref on_cancel_algo_parent_order_res(Ctx&, PyObject* const*) { return not_implemented("VornStrategy.on_cancel_algo_parent_order_res"); }
Ref on_control_algo_parent_order_res(Ctx&, PyObject* const*) { return not_implemented("VornStrategy.on_control_algo_parent_order_res"); }
Ref on_algo_parent_order_update(Ctx&, PyObject* const*) { return not_implemented("VornStrategy.on_algo_parent_order_update"); }
Ref on_algo_child_order_update(Ctx&, PyObject* const*) { return not_implemented("VornStrategy.on_algo_child_order_update"); }
Ref on_algo_child_order_trade(Ctx&, PyObject* const*) { return not_implemented("VornStrategy.on_algo_child_order_trade"); }

}  // namespace tessaline
