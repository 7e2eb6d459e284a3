"""Shared fixtures: the installed module, recording stand-ins for the host
objects a test wants to observe, and a clean module state around each test."""
import types

import pytest

import corvix.tarrow.utils.tessaline as tessaline_module

STORES = ("history_bar", "history_tick", "orders_dict",
          "algo_parent_orders", "algo_child_orders", "algo_child_trades")


class Recorder:
    """Records every method call made on it as (name, args, kwargs)."""

    def __init__(self, returns=None):
        self.calls = []
        self._returns = returns or {}

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)

        def method(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            value = self._returns.get(name)
            return value(*args, **kwargs) if callable(value) else value
        return method

    def names(self):
        return [c[0] for c in self.calls]


class Logger:
    """A logger stand-in that keeps the messages it is given."""

    def __init__(self):
        self.infos, self.warnings = [], []

    def info(self, msg):
        self.infos.append(msg)

    def warning(self, msg):
        self.warnings.append(msg)


@pytest.fixture
def tl():
    return tessaline_module


@pytest.fixture(autouse=True)
def clean_state():
    for name in STORES:
        getattr(tessaline_module, name).clear()
    yield
    for name in STORES:
        getattr(tessaline_module, name).clear()


@pytest.fixture
def events(monkeypatch):
    """Replaces event_queue with a plain list, so a test sees exactly what was posted."""
    queue = []
    monkeypatch.setattr(tessaline_module, "event_queue", queue)
    return queue


@pytest.fixture
def logs(monkeypatch):
    system, user = Logger(), Logger()
    monkeypatch.setattr(tessaline_module, "system_log", system)
    monkeypatch.setattr(tessaline_module, "user_system_log", user)
    return types.SimpleNamespace(system=system, user=user)


def make_config(**base):
    base.setdefault("accounts", {})
    return types.SimpleNamespace(base=types.SimpleNamespace(**base))


@pytest.fixture
def strategy():
    """A constructed strategy with a recording SDK context."""
    s = tessaline_module.VornStrategy(make_config())
    s.context = Recorder()
    return s
