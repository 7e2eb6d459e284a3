"""What the tessaline module needs from the host framework and the gateway SDK, as data.

Every check the doctor makes is derived from these tables: the import
statements the module body runs, the enumeration members the callbacks read,
the exact calls the module makes into the host, the SDK names it uses, the
configuration fields ``initialize`` and the clock read, and the attributes each
callback reads from the SDK's records.  Nothing here imports the host or the
SDK; the probes do that, in processes of their own.
"""
from collections import namedtuple

MODULE_NAME = "corvix.tarrow.utils.tessaline"
MODULE_PACKAGE = "corvix.tarrow.utils"
REQUIRED_PYTHON = (3, 11)
STUB_PACKAGE = "corvix-stubs"
STUB_FILE = ("corvix-stubs", "tarrow", "utils", "tessaline.pyi")

# ---------------------------------------------------------------- the module body's imports

# number, source module, ((name in the source, name bound in the module), ...), kind
#   kind "from":  from MODULE import NAME [as ALIAS]
#   kind "import": import MODULE [as ALIAS]   (one pair: (None, alias))
#   kind "star":  from MODULE import *        (pairs: the names the module then uses)
Import = namedtuple("Import", "number module names kind")


def _from(number, module, *names):
    return Import(number, module, tuple((n, n) if isinstance(n, str) else n for n in names), "from")


IMPORTS = (
    _from(1, "corvix.tarrow.environment", "Environment"),
    _from(2, "corvix.tarrow.core.events", "EVENT", "Event"),
    _from(3, "corvix.tarrow.model.tick", "TickObject"),
    _from(4, "corvix.tarrow.model.trade", "Trade"),
    _from(5, "corvix.tarrow.model.l2_order", "L2Order"),
    _from(6, "corvix.tarrow.model.l2_transaction", "L2Transaction"),
    _from(7, "corvix.tarrow.utils.datetime_func", "convert_int_to_whole_date", "convert_int_to_datetime"),
    _from(8, "corvix.tarrow.utils.trade_func", "get_exchane_from_vorn_mdtype", "get_vorn_tdtype",
          "get_side_from_vorn_l2_order", "get_order_type_from_vorn_l2_order", "get_trade_type_from_vorn",
          "get_l2order_type_from_vorn"),
    # the user log comes from the same module as the system log
    _from(9, "corvix.tarrow.utils.logger", "system_log", "user_system_log"),
    _from(10, "corvix.tarrow.model.algo_parent_order", "AlgoParentOrder"),
    _from(11, "corvix.tarrow.model.algo_child_order", "AlgoChildOrder"),
    _from(12, "corvix.tarrow.model.algo_child_trade", "AlgoChildTrade"),
    _from(13, "corvix.tarrow.const", "ORDER_STATUS", "POSITION_DIRECTION", "SIDE"),
    _from(14, "corvix.tarrow.portfolio.account", "Asset"),
    _from(15, "corvix.tarrow.portfolio.position", "Position"),
    _from(16, "numpy_ringbuffer", ("RingBuffer", "RB")),
    Import(17, "numpy", ((None, "np"),), "import"),
    _from(18, "collections", "deque"),
    Import(19, "copy", ((None, "copy"),), "import"),
    _from(20, "datetime", "datetime", "time", "timedelta"),
    Import(21, "pyvorn.strategy", ((None, "strategy"),), "import"),
    Import(22, "pyvorn.enums", tuple((n, n) for n in
                                     ("MDType", "MarketType", "SubscribeDataType", "AlgoType", "OrderStatusType")),
           "star"),
)

HOST_IMPORTS = tuple(i for i in IMPORTS if i.module.startswith("corvix."))
SDK_STRATEGY_MODULE = "pyvorn.strategy"
SDK_ENUMS_MODULE = "pyvorn.enums"
SDK_BASE_CLASS = "VornStrategy"


def statement_text(imp):
    """The import statement as Python source."""
    if imp.kind == "import":
        alias = imp.names[0][1]
        return f"import {imp.module}" + ("" if alias == imp.module else f" as {alias}")
    if imp.kind == "star":
        return f"from {imp.module} import *"
    names = ", ".join(src if src == bound else f"{src} as {bound}" for src, bound in imp.names)
    return f"from {imp.module} import {names}"


# ---------------------------------------------------------------- module state, functions, class

STATE_DICTS = ("vorn_params", "history_bar", "history_tick", "orders_dict",
               "algo_parent_orders", "algo_child_orders", "algo_child_trades")
EVENT_QUEUE_CAPACITY = 1000000
UNBOUND_NAMES = ("RingBuffer",)           # bound under its alias only

FUNCTIONS = (
    ("get_current_bar", ("market_code",)),
    ("get_current_tick", ("market_code",)),
    ("history_ticks", ("market_code", "count")),
    ("history_bars", ("market_code", "count")),
)

METHODS = (
    ("__init__", ("self", "config")),
    ("initialize", ("self", "config")),
    ("on_initialize", ("self",)),
    ("on_switch_day", ("self",)),
    ("on_snapshot", ("self", "snapshot")),
    ("on_tick_order", ("self", "tick_order")),
    ("on_tick_trade", ("self", "tick_trade")),
    ("on_bar", ("self", "bar")),
    ("on_login", ("self", "login_res")),
    ("on_query_asset", ("self", "asset_res", "request_id", "code", "msg")),
    ("on_query_position", ("self", "query_position_res", "request_id", "code", "msg")),
    ("on_order", ("self", "order")),
    ("on_trade", ("self", "trade")),
    ("on_order_action_error", ("self", "order_action_error")),
    ("on_algo_login", ("self", "algo_login_res")),
    ("on_create_algo_parent_order_res", ("self", "create_parent_order_res")),
    ("on_cancel_algo_parent_order_res", ("self", "cancel_parent_order_res")),
    ("on_control_algo_parent_order_res", ("self", "control_parent_order_res")),
    ("on_algo_parent_order_update", ("self", "parent_order")),
    ("on_algo_child_order_update", ("self", "child_order")),
    ("on_algo_child_order_trade", ("self", "child_trade")),
    ("create_time_listener", ("self",)),
    ("send_day_event", ("self", "event_type", "dt")),
    ("send_before_trading_event", ("self",)),
    ("send_after_trading_event", ("self",)),
    ("send_open_auction_event", ("self",)),
    ("set_timer", ("self",)),
)

# the methods the SDK calls (the rest are the module's own or timer call-backs)
SDK_CALLBACKS = tuple(m for m in METHODS if m[0] == "initialize" or m[0].startswith("on_"))

# ---------------------------------------------------------------- host enumerations and events

# (EVENT members, keyword fields in the order the module passes them)
EVENT_FORMS = (
    (("TICK",), ("calendar_dt", "trading_dt", "tick")),
    (("BAR", "BEFORE_TRADING", "OPEN_AUCTION", "AFTER_TRADING"), ("calendar_dt", "trading_dt")),
    (("L2_ORDER",), ("calendar_dt", "trading_dt", "l2_order")),
    (("L2_TRANSACTION",), ("calendar_dt", "trading_dt", "l2_transaction")),
    (("LOGIN", "QUERY_ACCOUNT"), ("rid", "account_id", "code", "msg")),
    (("QUERY_ACCOUNT",), ("rid", "account_id", "asset")),
    (("QUERY_ACCOUNT",), ("rid", "code", "msg")),
    (("QUERY_POSITION",), ("rid", "positions")),
    (("ORDER_CREATION_PASS", "ORDER_CANCELLATION_PASS", "ORDER_PENDING_CANCEL",
      "ORDER_UNSOLICITED_UPDATE", "ORDER_CANCELLATION_REJECT"), ("account", "order")),
    (("TRADE",), ("account", "trade", "order")),
    (("ALGO_LOGIN",), ("req_id", "algo_account", "code", "msg")),
    (("PARENT_ORDER_CREATE",), ("req_id", "parent_order_id", "code", "msg")),
    (("PARENT_ORDER_CANCEL", "PARENT_ORDER_PAUSE", "PARENT_ORDER_RESUME"), ("parent_order_id", "code", "msg")),
    (("PARENT_ORDER_UPDATE",), ("algo_parent_order",)),
    (("CHILD_ORDER_UPDATE",), ("algo_child_order",)),
    (("CHILD_ORDER_TRADE",), ("algo_child_trade",)),
)


def _unique(items):
    return tuple(dict.fromkeys(items))


HOST_ENUMS = (
    ("EVENT", _unique(m for members, _ in EVENT_FORMS for m in members)),
    ("ORDER_STATUS", ("ACTIVE", "PARTIALLY_FILLED", "FILLED", "CANCELLED")),
    ("POSITION_DIRECTION", ("LONG",)),
    ("SIDE", ("BUY", "SELL")),
)

# ---------------------------------------------------------------- host calls

# target: a name the module binds, then attributes; on: "class" (called as written),
# "instance" (called on an instance of the class: an instance method gets a placeholder self).
# args: positional argument count; kwargs: keyword names in the module's order.
Call = namedtuple("Call", "target args kwargs on shown")


def _call(target, args=0, kwargs=(), on="class", shown=None):
    return Call(target, args, tuple(kwargs), on, shown)


HOST_CALLS = (
    _call("Environment.get_instance", shown="Environment.get_instance()"),
    _call("TickObject", 2, shown="TickObject(instrument, tick_dict)"),
    _call("Trade.__from_create__", kwargs=("order_id", "price", "amount", "side", "position_effect",
                                           "market_code", "frozen_price")),
    _call("L2Order.__from_create__", 9),
    _call("L2Transaction.__from_create__", 10),
    _call("AlgoParentOrder.from_vorn", 2, shown="AlgoParentOrder.from_vorn(record, existing)"),
    _call("AlgoChildOrder.from_vorn", 2, shown="AlgoChildOrder.from_vorn(record, existing)"),
    _call("AlgoChildTrade.from_vorn", 2, shown="AlgoChildTrade.from_vorn(record, existing)"),
    _call("Asset", 7),
    _call("Position", 3, shown="Position(market_code, POSITION_DIRECTION.LONG, init_qty)"),
    _call("Position.set_state", 1, on="instance", shown="position.set_state(state_dict)"),
    _call("convert_int_to_datetime", 1),
    _call("convert_int_to_whole_date", 1),
    _call("get_exchane_from_vorn_mdtype", 1, shown="get_exchane_from_vorn_mdtype(market_type)"),
    _call("get_vorn_tdtype", 1, shown="get_vorn_tdtype(gateway_name)"),
    _call("get_side_from_vorn_l2_order", 2, shown="get_side_from_vorn_l2_order(side_char, market_type)"),
    _call("get_order_type_from_vorn_l2_order", 2,
          shown="get_order_type_from_vorn_l2_order(type_char, market_type)"),
    _call("get_l2order_type_from_vorn", 2, shown="get_l2order_type_from_vorn(type_char, market_type)"),
    _call("get_trade_type_from_vorn", 1, shown="get_trade_type_from_vorn(type_char)"),
    _call("system_log.info", 1, shown="system_log.info(text)"),
    _call("user_system_log.warning", 1, shown="user_system_log.warning(text)"),
)

# calls made on the result of Environment.get_instance()
ENVIRONMENT_CALLS = (
    _call("get_account", 1, on="instance", shown="environment.get_account(market_code)"),
    _call("get_universe", 0, on="instance", shown="len(environment.get_universe())"),
    _call("data_proxy.instruments", 1, on="instance", shown="environment.data_proxy.instruments(market_code)"),
)

# ---------------------------------------------------------------- the SDK

# enumeration, members read by name, whether the module reaches it through the star import
SDK_ENUMS = (
    ("MDType", ("VoMD", "XMD"), True),
    ("MarketType", ("SZSE",), True),
    ("SubscribeDataType", ("Bar",), True),
    ("AlgoType", ("XTA",), True),
    ("OrderStatusType", ("UnSend", "Sended", "PartiallyFilled", "Filled", "PartiallyFilledPartiallyCancelled",
                         "WaitCancelled", "PartiallyFilledWaitCancelled", "Cancelled", "Reject"), True),
    # imported by name inside on_control_algo_parent_order_res
    ("AlgoControlType", ("Pause", "Resume"), False),
)

CONTEXT_OPERATIONS = ("add_md_broker", "set_order_way", "add_td_broker", "add_algo_broker", "subscribe",
                      "add_timer_interval")

# ---------------------------------------------------------------- configuration

# field of config.base, required, who reads it
CONFIG_FIELDS = (
    ("md_type", False, "initialize"),
    ("order_way", False, "initialize"),
    ("accounts", True, "initialize"),
    ("algo_account", False, "initialize"),
    ("trading_calendar", True, "the clock"),
)
MD_TYPE_SELECTOR = "VoMD"                 # exactly this str selects MDType.VoMD, anything else MDType.XMD
ALGO_GATEWAY = "XTA"                      # an algo_account gateway that upper-cases to this registers AlgoType.XTA

# ---------------------------------------------------------------- SDK records

DEFAULT_RECORDS_MODULE = "pyvorn.records"

# callback, its record parameter, the class name an SDK is likely to use, attributes the module reads
Record = namedtuple("Record", "callback param default_class attributes")

RECORDS = (
    Record("on_login", "login_res", "LoginRes", ("fund_account_id", "error_code", "client_seq_id", "error_msg")),
    Record("on_snapshot", "snapshot", "Snapshot",
           ("orig_time", "security_id", "market_type", "open_price", "close_price", "high_price", "low_price",
            "total_value_trade", "total_volume_trade", "pre_close_price", "ask_volume", "ask_price",
            "bid_volume", "bid_price", "high_limited", "last_price", "low_limited", "open_interest",
            "prev_settlement", "iopv", "trading_phase_code")),
    Record("on_tick_order", "tick_order", "TickOrder",
           ("order_time", "security_id", "market_type", "side", "biz_index", "order_price", "order_volume",
            "order_type", "orig_order_no")),
    Record("on_tick_trade", "tick_trade", "TickTrade",
           ("trade_time", "security_id", "market_type", "bid_appl_seq_num", "offer_appl_seq_num", "biz_index",
            "trade_price", "trade_volume", "value_trade", "trade_type")),
    Record("on_bar", "bar", "Bar",
           ("security_id", "market_type", "end_time", "open", "close", "high", "low", "amount", "volume",
            "prev_close")),
    Record("on_query_asset", "asset_res", "AssetRes",
           ("fund_account_id", "available_t1", "frozen_all", "market_value", "total_asset", "leaves_value",
            "init_leaves_value")),
    Record("on_query_position", "query_position_res", "PositionRecord",
           ("security_id", "market_id", "init_qty", "leaves_qty", "available_qty", "cost_price", "last_price",
            "market_value", "profit_loss")),
    Record("on_order", "order", "OrderReport",
           ("client_order_id", "security_id", "order_price", "order_status", "order_qty", "trade_qty",
            "total_trade_value", "error_msg", "error_code", "last_match_qty", "last_match_price",
            "counter_order_id", "frozen_trade_value")),
    Record("on_order_action_error", "order_action_error", "OrderActionError", ("client_order_id",)),
    Record("on_algo_login", "algo_login_res", "AlgoLoginRes", ("client_seq_id", "trader_id", "error_code",
                                                               "error_msg")),
    Record("on_create_algo_parent_order_res", "create_parent_order_res", "CreateParentOrderRes",
           ("client_seq_id", "sys_quote_id", "error_code", "error_msg")),
    Record("on_cancel_algo_parent_order_res", "cancel_parent_order_res", "CancelParentOrderRes",
           ("sys_quote_id", "error_code", "error_msg")),
    Record("on_control_algo_parent_order_res", "control_parent_order_res", "ControlParentOrderRes",
           ("control_type", "algo_control_type", "sys_quote_id", "error_code", "error_msg")),
    Record("on_algo_parent_order_update", "parent_order", "ParentOrder", ("sys_quote_id",)),
    Record("on_algo_child_order_update", "child_order", "ChildOrder", ("sys_quote_id",)),
    Record("on_algo_child_order_trade", "child_trade", "ChildTrade", ("sys_quote_id",)),
)
