"""Gateway SDK stand-in.

``pyvorn.strategy``  the strategy base class the SDK drives through callbacks
``pyvorn.enums``     the SDK's enumerations (star-importable; ``__all__`` lists them)
``pyvorn.records``   the records handed to the callbacks
``pyvorn.context``   the context a strategy registers brokers, subscriptions and timers on
``pyvorn.timer``     timer services: real threads or virtual (simulated) time
``pyvorn.gateway``   the interface a gateway implementation offers the context
``pyvorn.simulator`` a simulated gateway session: drives a strategy through trading days
``pyvorn.sim_market`` / ``pyvorn.sim_gateway``  its seeded market data, trading counter and algo engine
"""
__version__ = "0.1.0"
