// Every name the module reads, writes or calls, interned once per module.
// X(identifier) interns the identifier's own spelling; S(identifier, text) a given text.
#pragma once

#define TESSALINE_NAMES(X, S) \
    X(Environment) \
    X(EVENT) \
    X(Event) \
    X(TickObject) \
    X(Trade) \
    X(L2Order) \
    X(L2Transaction) \
    X(convert_int_to_whole_date) \
    X(convert_int_to_datetime) \
    X(get_exchane_from_vorn_mdtype) \
    X(get_vorn_tdtype) \
    X(get_side_from_vorn_l2_order) \
    X(get_order_type_from_vorn_l2_order) \
    X(get_trade_type_from_vorn) \
    X(get_l2order_type_from_vorn) \
    X(system_log) \
    X(user_system_log) \
    X(AlgoParentOrder) \
    X(AlgoChildOrder) \
    X(AlgoChildTrade) \
    X(ORDER_STATUS) \
    X(POSITION_DIRECTION) \
    X(SIDE) \
    X(Asset) \
    X(Position) \
    X(RB) \
    X(RingBuffer) \
    X(np) \
    X(deque) \
    X(copy) \
    X(datetime) \
    X(time) \
    X(timedelta) \
    X(strategy) \
    X(VornStrategy) \
    X(MDType) \
    X(MarketType) \
    X(SubscribeDataType) \
    X(AlgoType) \
    X(AlgoControlType) \
    X(OrderStatusType) \
    X(vorn_params) \
    X(event_queue) \
    X(history_bar) \
    X(history_tick) \
    X(orders_dict) \
    X(algo_parent_orders) \
    X(algo_child_orders) \
    X(algo_child_trades) \
    X(get_current_bar) \
    X(get_current_tick) \
    X(history_ticks) \
    X(history_bars) \
    X(TICK) \
    X(BAR) \
    X(L2_ORDER) \
    X(L2_TRANSACTION) \
    X(LOGIN) \
    X(QUERY_ACCOUNT) \
    X(QUERY_POSITION) \
    X(ORDER_CREATION_PASS) \
    X(TRADE) \
    X(ORDER_CANCELLATION_PASS) \
    X(ORDER_PENDING_CANCEL) \
    X(ORDER_UNSOLICITED_UPDATE) \
    X(ORDER_CANCELLATION_REJECT) \
    X(ALGO_LOGIN) \
    X(PARENT_ORDER_CREATE) \
    X(PARENT_ORDER_CANCEL) \
    X(PARENT_ORDER_PAUSE) \
    X(PARENT_ORDER_RESUME) \
    X(PARENT_ORDER_UPDATE) \
    X(CHILD_ORDER_UPDATE) \
    X(CHILD_ORDER_TRADE) \
    X(BEFORE_TRADING) \
    X(OPEN_AUCTION) \
    X(AFTER_TRADING) \
    X(BUY) \
    X(SELL) \
    X(LONG) \
    X(ACTIVE) \
    X(PARTIALLY_FILLED) \
    X(FILLED) \
    X(CANCELLED) \
    X(VoMD) \
    X(XMD) \
    X(SZSE) \
    X(Bar) \
    X(XTA) \
    X(Pause) \
    X(Resume) \
    X(UnSend) \
    X(Sended) \
    X(PartiallyFilled) \
    X(Filled) \
    X(PartiallyFilledPartiallyCancelled) \
    X(WaitCancelled) \
    X(PartiallyFilledWaitCancelled) \
    X(Cancelled) \
    X(Reject) \
    X(get_instance) \
    X(data_proxy) \
    X(instruments) \
    X(get_universe) \
    X(get_account) \
    X(append) \
    X(clear) \
    X(info) \
    X(warning) \
    X(from_vorn) \
    X(set_state) \
    X(set_frozen_cash) \
    X(mark_rejected) \
    X(deepcopy) \
    X(get) \
    X(orig_time) \
    X(security_id) \
    X(market_type) \
    X(open_price) \
    X(close_price) \
    X(high_price) \
    X(low_price) \
    X(total_value_trade) \
    X(total_volume_trade) \
    X(pre_close_price) \
    X(ask_volume) \
    X(ask_price) \
    X(bid_volume) \
    X(bid_price) \
    X(high_limited) \
    X(last_price) \
    X(low_limited) \
    X(open_interest) \
    X(prev_settlement) \
    X(iopv) \
    X(trading_phase_code) \
    X(order_time) \
    X(side) \
    X(biz_index) \
    X(order_price) \
    X(order_volume) \
    X(order_type) \
    X(orig_order_no) \
    X(trade_time) \
    X(bid_appl_seq_num) \
    X(offer_appl_seq_num) \
    X(trade_price) \
    X(trade_volume) \
    X(value_trade) \
    X(trade_type) \
    X(end_time) \
    X(open) \
    X(close) \
    X(high) \
    X(low) \
    X(amount) \
    X(volume) \
    X(prev_close) \
    X(fund_account_id) \
    X(error_code) \
    X(client_seq_id) \
    X(error_msg) \
    X(available_t1) \
    X(frozen_all) \
    X(market_value) \
    X(total_asset) \
    X(leaves_value) \
    X(init_leaves_value) \
    X(market_id) \
    X(init_qty) \
    X(leaves_qty) \
    X(available_qty) \
    X(cost_price) \
    X(profit_loss) \
    X(client_order_id) \
    X(order_status) \
    X(order_qty) \
    X(trade_qty) \
    X(total_trade_value) \
    X(last_match_qty) \
    X(last_match_price) \
    X(counter_order_id) \
    X(frozen_trade_value) \
    X(trader_id) \
    X(sys_quote_id) \
    X(control_type) \
    X(algo_control_type) \
    X(market_code) \
    X(status) \
    X(order_id) \
    X(position_effect) \
    X(price) \
    X(filled_quantity) \
    X(secondary_order_id) \
    X(avg_price) \
    X(unfilled_quantity) \
    X(logged_in) \
    X(order_num) \
    X(bar_cnt) \
    X(current_trade_dt) \
    X(first_dt) \
    X(config) \
    X(context) \
    X(base) \
    X(md_type) \
    X(order_way) \
    X(accounts) \
    X(algo_account) \
    X(trading_calendar) \
    X(items) \
    X(split) \
    X(upper) \
    X(add_md_broker) \
    X(set_order_way) \
    X(add_td_broker) \
    X(add_algo_broker) \
    X(subscribe) \
    X(add_timer_interval) \
    X(set_timer) \
    X(create_time_listener) \
    X(send_day_event) \
    X(send_before_trading_event) \
    X(send_open_auction_event) \
    X(send_after_trading_event) \
    X(now) \
    X(date) \
    X(combine) \
    X(total_seconds) \
    X(replace) \
    X(datetime64) \
    X(total_turnover) \
    X(ask_vols) \
    X(asks) \
    X(bid_vols) \
    X(bids) \
    X(quantity) \
    X(daily_pnl) \
    X(vorn_md) \
    X(vorn_td) \
    X(vorn_context) \
    X(calendar_dt) \
    X(trading_dt) \
    X(tick) \
    X(l2_order) \
    X(l2_transaction) \
    X(rid) \
    X(account_id) \
    X(code) \
    X(msg) \
    X(asset) \
    X(positions) \
    X(account) \
    X(order) \
    X(trade) \
    X(frozen_price) \
    X(req_id) \
    X(parent_order_id) \
    X(algo_parent_order) \
    X(algo_child_order) \
    X(algo_child_trade) \
    X(capacity) \
    X(dtype) \
    X(maxlen) \
    X(hour) \
    X(minute) \
    X(second) \
    X(microsecond) \
    X(days) \
    S(dunder_init, "__init__") \
    S(dunder_contains, "__contains__") \
    S(dunder_getattribute, "__getattribute__") \
    S(dunder_from_create, "__from_create__") \
    S(dot, ".") \
    S(underscore, "_") \
    S(underscore_collections, "_collections") \
    S(one_minute, "1m") \
    S(today, "today") \
    S(day_unit, "D") \
    S(empty, "") \
    S(log_initialize, "VornStrategy initialize...") \
    S(log_login, "on_login fund_account_id:") \
    S(log_login_code, ", error_code:") \
    S(log_asset, "on_query_asset, ") \
    S(log_asset_leaves, ", leaves_value:") \
    S(log_asset_code, " code ") \
    S(log_asset_msg, "  ms ") \
    S(log_position, "on_query_position: code:") \
    S(log_position_msg, ", msg:") \
    S(log_position_skip, "on_query_position position do not add: ") \
    S(log_position_exception, "  exception: ") \
    S(log_order, "on_order:") \
    S(log_order_symbol, ", symbol: ") \
    S(log_order_price, ", price:") \
    S(log_order_status, ", status:") \
    S(log_order_qty, ", order_qty:") \
    S(log_order_trade_qty, ", trade_qty:") \
    S(log_order_value, ", total_trade_value: ") \
    S(log_order_error, ", error_msg:") \
    S(log_order_match, ", last_match_qty: ") \
    S(log_not_trade_day, " not trade day... ") \
    S(pyvorn_enums, "pyvorn.enums") \
    S(name_attr, "name") \
    S(module_name, "corvix.tarrow.utils.tessaline")
