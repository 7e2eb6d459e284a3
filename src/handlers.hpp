// The module's functions and VornStrategy's methods, by area. Each receives
// its bound parameters in declaration order (self first for methods).
#pragma once

#include "native_function.hpp"

namespace tessaline {

// queries.cpp: the read side of the market-data histories.
Ref get_current_bar(Ctx& c, PyObject* const* a);
Ref get_current_tick(Ctx& c, PyObject* const* a);
Ref history_ticks(Ctx& c, PyObject* const* a);
Ref history_bars(Ctx& c, PyObject* const* a);

// lifecycle.cpp: construction, initialisation, login and day switch.
Ref strategy_init(Ctx& c, PyObject* const* a);
Ref initialize(Ctx& c, PyObject* const* a);
Ref on_initialize(Ctx& c, PyObject* const* a);
Ref on_switch_day(Ctx& c, PyObject* const* a);
Ref on_login(Ctx& c, PyObject* const* a);

// market_data.cpp: snapshots, level-2 orders and transactions, bars.
Ref on_snapshot(Ctx& c, PyObject* const* a);
Ref on_tick_order(Ctx& c, PyObject* const* a);
Ref on_tick_trade(Ctx& c, PyObject* const* a);
Ref on_bar(Ctx& c, PyObject* const* a);

// account.cpp: asset and position answers. orders.cpp: order reports.
Ref on_query_asset(Ctx& c, PyObject* const* a);
Ref on_query_position(Ctx& c, PyObject* const* a);
Ref on_order(Ctx& c, PyObject* const* a);
Ref on_trade(Ctx& c, PyObject* const* a);
Ref on_order_action_error(Ctx& c, PyObject* const* a);

// algo.cpp: algorithmic-order responses and updates.
Ref on_algo_login(Ctx& c, PyObject* const* a);
Ref on_create_algo_parent_order_res(Ctx& c, PyObject* const* a);
Ref on_cancel_algo_parent_order_res(Ctx& c, PyObject* const* a);
Ref on_control_algo_parent_order_res(Ctx& c, PyObject* const* a);
Ref on_algo_parent_order_update(Ctx& c, PyObject* const* a);
Ref on_algo_child_order_update(Ctx& c, PyObject* const* a);
Ref on_algo_child_order_trade(Ctx& c, PyObject* const* a);

// clock.cpp: the trading-day clock and its day events.
Ref create_time_listener(Ctx& c, PyObject* const* a);
Ref send_day_event(Ctx& c, PyObject* const* a);
Ref send_before_trading_event(Ctx& c, PyObject* const* a);
Ref send_after_trading_event(Ctx& c, PyObject* const* a);
Ref send_open_auction_event(Ctx& c, PyObject* const* a);
Ref set_timer(Ctx& c, PyObject* const* a);

// Raised by a method whose behaviour is not built yet.
Ref not_implemented(const char* qualname);

}  // namespace tessaline
