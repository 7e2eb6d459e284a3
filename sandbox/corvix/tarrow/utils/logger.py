"""Host loggers.

Plain ``logging.Logger`` objects at INFO level with no handler of their own:
records propagate to the root logger, so an application (or pytest's caplog)
decides where they go.
"""
import logging

system_log = logging.getLogger("system_log")
user_system_log = logging.getLogger("user_system_log")

for _logger in (system_log, user_system_log):
    _logger.setLevel(logging.INFO)
del _logger
