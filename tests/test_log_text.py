"""The order report's log line renders every field as the f-string
`f"...{order.field}..."` renders it: str() for an exact float without going
through its bound __format__, the value's own __format__ for anything else."""
import math
import types

import pytest

import corvix.tarrow.utils.tessaline as tl
from corvix.tarrow.environment import Environment
from reliability_support import install_real_host


class Shown(float):
    def __format__(self, fmt):
        return f"shown({fmt!r})"


class Printed(float):
    def __str__(self):
        return "printed"

    def __repr__(self):
        return "printed repr"


FIELDS = ("client_order_id", "security_id", "order_price", "order_status", "order_qty", "trade_qty",
          "total_trade_value", "error_msg", "last_match_qty")


@pytest.fixture
def lines(monkeypatch):
    install_real_host(monkeypatch)
    got = []
    monkeypatch.setattr(tl, "system_log", types.SimpleNamespace(info=got.append))
    monkeypatch.setattr(tl, "orders_dict", {})
    yield got
    Environment.reset()


@pytest.mark.parametrize("value", [10.0, 0.1, -0.0, 1e16, 1e22, 123456789.125, 5e-324, math.inf, -math.inf,
                                   math.nan, 1.7976931348623157e308, Shown(2.5), Printed(2.5), True, 10**30])
def test_report_fields_render_as_an_f_string_renders_them(lines, value):
    report = types.SimpleNamespace(**{name: value for name in FIELDS})
    strategy = tl.VornStrategy(types.SimpleNamespace(base=types.SimpleNamespace(accounts={})))
    strategy.on_order(report)
    (line,) = lines
    expected = (f"on_order:{value}, symbol: {value}, price:{value}, status:{value}, order_qty:{value}, "
                f"trade_qty:{value}, total_trade_value: {value}, error_msg:{value}, last_match_qty: {value}")
    assert line == expected
