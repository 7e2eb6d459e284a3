"""Gateway SDK stand-in.

``pyvorn.strategy``  the strategy base class the SDK drives through callbacks
``pyvorn.enums``     the SDK's enumerations (star-importable; ``__all__`` lists them)
``pyvorn.records``   the records handed to the callbacks
``pyvorn.context``   the context a strategy registers brokers, subscriptions and timers on
``pyvorn.timer``     timer services: real threads or virtual (simulated) time
``pyvorn.gateway``   the interface a gateway implementation offers the context
"""
__version__ = "0.1.0"
