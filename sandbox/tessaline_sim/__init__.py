"""A simulated trading session through the tessaline module.

``tessaline-sim`` (``tessaline_sim.cli``) runs the module's strategy class
against the simulated gateway of ``pyvorn.simulator`` with a stand-in host
(``tessaline_sim.host``) that drains the module's events, keeps its order and
position model, runs a demo strategy and checks invariants, then prints a
report (``tessaline_sim.report``).
"""
