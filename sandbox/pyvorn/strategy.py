"""The strategy base class.

A strategy derives from ``VornStrategy`` and overrides the callbacks it serves;
the base versions do nothing.  ``__init__`` takes no arguments.  The SDK sets
``strategy.context`` and then calls ``initialize(config)`` followed by
``on_initialize()`` (see ``Context.start``); from then on it calls the record
callbacks and fires the strategy's timers.

Every class made by ``StrategyMeta`` (however it is made: a class statement or
``type(VornStrategy)(name, bases, namespace)``) is recorded together with the
SDK callbacks it overrides (``StrategyMeta.callbacks_of(cls)``), which is what a
driver consults to skip callbacks nobody serves.  Nothing is added to the
class itself.
"""
import weakref

CALLBACKS = (
    "initialize", "on_initialize", "on_switch_day", "on_login",
    "on_snapshot", "on_tick_order", "on_tick_trade", "on_bar",
    "on_query_asset", "on_query_position", "on_order", "on_trade", "on_order_action_error",
    "on_algo_login", "on_create_algo_parent_order_res", "on_cancel_algo_parent_order_res",
    "on_control_algo_parent_order_res", "on_algo_parent_order_update", "on_algo_child_order_update",
    "on_algo_child_order_trade",
)


class StrategyMeta(type):
    # every strategy class -> the SDK callbacks it overrides; weak, in creation order
    _registry = weakref.WeakKeyDictionary()

    def __new__(mcls, name, bases, namespace, **kwargs):
        cls = super().__new__(mcls, name, bases, namespace, **kwargs)
        overridden = set()
        for klass in cls.__mro__:
            if klass is object or klass.__dict__.get("_vorn_root"):
                continue
            overridden.update(cb for cb in CALLBACKS if cb in klass.__dict__)
        mcls._registry[cls] = frozenset(overridden)
        return cls

    @classmethod
    def strategy_classes(mcls):
        """Live strategy classes, oldest first (the root class included)."""
        return list(mcls._registry.keys())

    @classmethod
    def callbacks_of(mcls, cls):
        """SDK callbacks that ``cls`` or a base below the root overrides."""
        return mcls._registry[cls]


class VornStrategy(metaclass=StrategyMeta):
    _vorn_root = True

    def __init__(self):
        self.context = None

    def initialize(self, config):
        pass

    def on_initialize(self):
        pass

    def on_switch_day(self):
        pass

    def on_login(self, login_res):
        pass

    def on_snapshot(self, snapshot):
        pass

    def on_tick_order(self, tick_order):
        pass

    def on_tick_trade(self, tick_trade):
        pass

    def on_bar(self, bar):
        pass

    def on_query_asset(self, asset_res, request_id, code, msg):
        pass

    def on_query_position(self, query_position_res, request_id, code, msg):
        pass

    def on_order(self, order):
        pass

    def on_trade(self, trade):
        pass

    def on_order_action_error(self, order_action_error):
        pass

    def on_algo_login(self, algo_login_res):
        pass

    def on_create_algo_parent_order_res(self, create_parent_order_res):
        pass

    def on_cancel_algo_parent_order_res(self, cancel_parent_order_res):
        pass

    def on_control_algo_parent_order_res(self, control_parent_order_res):
        pass

    def on_algo_parent_order_update(self, parent_order):
        pass

    def on_algo_child_order_update(self, child_order):
        pass

    def on_algo_child_order_trade(self, child_trade):
        pass
