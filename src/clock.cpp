// NOTE TO THE ENGINEER BUILDING THIS FILE: before writing anything, read /tmp/common_brief.md in full
// (project rules, the toolkit, build and test instructions; YOU=clock). Delete this note when you start.
#include "handlers.hpp"

namespace tessaline {

Ref create_time_listener(Ctx&, PyObject* const*) { return not_implemented("VornStrategy.create_time_listener"); }
Ref send_day_event(Ctx&, PyObject* const*) { return not_implemented("VornStrategy.send_day_event"); }
Ref send_before_trading_event(Ctx&, PyObject* const*) { return not_implemented("VornStrategy.send_before_trading_event"); }
Ref send_after_trading_event(Ctx&, PyObject* const*) { return not_implemented("VornStrategy.send_after_trading_event"); }
Ref send_open_auction_event(Ctx&, PyObject* const*) { return not_implemented("VornStrategy.send_open_auction_event"); }
Ref set_timer(Ctx&, PyObject* const*) { return not_implemented("VornStrategy.set_timer"); }

}  // namespace tessaline
