// Records of a C++ SDK bound with pybind11, for the benchmark's "pybind"
// record layout: plain structs with the fields of the SDK's records, every
// field bound with def_readwrite (a property whose getter and setter are
// pybind11 functions). Strings are std::string and lists std::vector, so
// every read builds a new str or list, as such a binding does; enumeration
// members (market type, side, status) are kept as Python objects.
// Instances are made with no arguments and filled by attribute assignment.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

struct Snapshot {
    std::string security_id;
    py::object market_type = py::none();
    std::int64_t orig_time = 0;
    std::string trading_phase_code = "T0";
    double pre_close_price = 0, open_price = 0, high_price = 0, low_price = 0, last_price = 0, close_price = 0;
    std::int64_t total_volume_trade = 0;
    double total_value_trade = 0;
    std::int64_t num_trades = 0;
    double high_limited = 0, low_limited = 0;
    std::vector<double> bid_price;
    std::vector<std::int64_t> bid_volume;
    std::vector<double> ask_price;
    std::vector<std::int64_t> ask_volume;
    std::int64_t open_interest = 0;
    double prev_settlement = 0, iopv = 0;
};

struct TickOrder {
    std::string security_id;
    py::object market_type = py::none();
    std::int64_t order_time = 0, side = 0, order_type = 0, biz_index = 0, channel_no = 0;
    double order_price = 0;
    std::int64_t order_volume = 0, orig_order_no = 0;
};

struct TickTrade {
    std::string security_id;
    py::object market_type = py::none();
    std::int64_t trade_time = 0, trade_type = 0, biz_index = 0, channel_no = 0, bid_appl_seq_num = 0,
                 offer_appl_seq_num = 0;
    double trade_price = 0;
    std::int64_t trade_volume = 0;
    double value_trade = 0;
};

struct Bar {
    std::string security_id;
    py::object market_type = py::none();
    std::int64_t end_time = 0, start_time = 0, orig_time = 0;
    std::string period = "1m";
    double open = 0, close = 0, high = 0, low = 0, amount = 0;
    std::int64_t volume = 0;
    double prev_close = 0;
};

struct PositionRecord {
    std::string security_id;
    py::object market_id = py::none();
    std::int64_t init_qty = 0, leaves_qty = 0, available_qty = 0;
    double cost_price = 0, last_price = 0, market_value = 0, profit_loss = 0;
};

struct OrderReport {
    std::int64_t client_order_id = 0;
    std::string security_id;
    py::object market_type = py::none();
    std::string fund_account_id;
    py::object side = py::none(), price_type = py::none();
    double order_price = 0;
    std::int64_t order_qty = 0;
    py::object order_status = py::none();
    std::int64_t trade_qty = 0;
    double total_trade_value = 0;
    std::int64_t last_match_qty = 0;
    double last_match_price = 0;
    std::int64_t counter_order_id = 0;
    double frozen_trade_value = 0;
    std::int64_t update_time = 0, error_code = 0;
    std::string error_msg;
};

}  // namespace

#define F(name) .def_readwrite(#name, &T::name)

PYBIND11_MODULE(_benchpybind, m) {
    {
        using T = Snapshot;
        py::class_<T>(m, "Snapshot").def(py::init<>())
            F(security_id) F(market_type) F(orig_time) F(trading_phase_code) F(pre_close_price) F(open_price)
            F(high_price) F(low_price) F(last_price) F(close_price) F(total_volume_trade) F(total_value_trade)
            F(num_trades) F(high_limited) F(low_limited) F(bid_price) F(bid_volume) F(ask_price) F(ask_volume)
            F(open_interest) F(prev_settlement) F(iopv);
    }
    {
        using T = TickOrder;
        py::class_<T>(m, "TickOrder").def(py::init<>())
            F(security_id) F(market_type) F(order_time) F(side) F(order_type) F(biz_index) F(channel_no)
            F(order_price) F(order_volume) F(orig_order_no);
    }
    {
        using T = TickTrade;
        py::class_<T>(m, "TickTrade").def(py::init<>())
            F(security_id) F(market_type) F(trade_time) F(trade_type) F(biz_index) F(channel_no)
            F(bid_appl_seq_num) F(offer_appl_seq_num) F(trade_price) F(trade_volume) F(value_trade);
    }
    {
        using T = Bar;
        py::class_<T>(m, "Bar").def(py::init<>())
            F(security_id) F(market_type) F(end_time) F(start_time) F(orig_time) F(period) F(open) F(close)
            F(high) F(low) F(amount) F(volume) F(prev_close);
    }
    {
        using T = PositionRecord;
        py::class_<T>(m, "PositionRecord").def(py::init<>())
            F(security_id) F(market_id) F(init_qty) F(leaves_qty) F(available_qty) F(cost_price) F(last_price)
            F(market_value) F(profit_loss);
    }
    {
        using T = OrderReport;
        py::class_<T>(m, "OrderReport").def(py::init<>())
            F(client_order_id) F(security_id) F(market_type) F(fund_account_id) F(side) F(price_type)
            F(order_price) F(order_qty) F(order_status) F(trade_qty) F(total_trade_value) F(last_match_qty)
            F(last_match_price) F(counter_order_id) F(frozen_trade_value) F(update_time) F(error_code)
            F(error_msg);
    }
}
