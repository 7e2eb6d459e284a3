"""Each kind of value a callback is given comes back from the capture as the
same kind of value, at any depth, through the market-data callbacks (packed in
native code) and the rarely called ones (packed in Python) alike."""
import array
import datetime as dt
import decimal
import enum

import hypothesis
import msgpack
import numpy as np
import pytest
from hypothesis import strategies as st

from conftest import make_config
from tessaline_tools._capture_values import (EXT_ARRAY, EXT_DECIMAL, EXT_NDARRAY, Decoder, Encoder, Opaque,
                                             freeze)
from tessaline_tools.capture import CaptureReader, CaptureWriter, capturing


class Level(enum.Enum):
    HIGH = "h"


class Code(enum.IntEnum):
    FILL = 70


def agreed(value):
    """The array, numpy array and Decimal forms, read as the format lays them out (for a
    reader that leaves them packed)."""
    if isinstance(value, msgpack.ExtType):
        inner = msgpack.unpackb(value.data, raw=False)
        if value.code == EXT_ARRAY:
            out = array.array(inner[0])
            out.frombytes(inner[1])
            return out
        if value.code == EXT_NDARRAY:
            return np.frombuffer(inner[2], dtype=np.dtype(inner[0])).reshape(inner[1])
        if value.code == EXT_DECIMAL:
            return decimal.Decimal(inner)
    if type(value) in (list, tuple):
        return type(value)(agreed(v) for v in value)
    return value


def same(a, b):
    """Equal and of the same kind, all the way down."""
    if type(a) is not type(b):
        return False
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a, b)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


KINDS = {
    "int": -(2 ** 63),
    "uint64": 2 ** 64 - 1,
    "big int": 2 ** 70,
    "float": 1e-300,
    "bool": True,
    "str": "é" * 40,
    "long str": "x" * 70000,
    "bytes": b"\x00\xff" * 200,
    "None": None,
    "list": [1, [2.5, ["deep", [None]]]],
    "tuple": (1, ("x", (2.0,))),
    "enum": Level.HIGH,
    "int enum": Code.FILL,
    "array of doubles": array.array("d", [1.5, -2.25]),
    "array of ints": array.array("i", [1, -2, 3]),
    "array of bytes": array.array("B", b"\x01\x02"),
    "numpy floats": np.arange(6, dtype=np.float64).reshape(2, 3),
    "numpy big-endian ints": np.array([1, 2, 3], dtype=">i4"),
    "numpy bools": np.array([True, False]),
    "numpy complex": np.array([1 + 2j]),
    "numpy datetimes": np.array(["2025-01-10T09:30:00.000000001"], dtype="datetime64[ns]"),
    "numpy durations": np.array([5], dtype="timedelta64[ms]"),
    "numpy column of a matrix": np.arange(9, dtype=np.int16).reshape(3, 3)[:, 1],
    "numpy scalar": np.float32(2.5),
    "numpy int scalar": np.int64(-7),
    "decimal": decimal.Decimal("10.2500"),
    "datetime": dt.datetime(2025, 1, 10, 9, 30, 0, 5),
    "date": dt.date(2025, 1, 10),
    "time": dt.time(9, 30, 1, 7),
    "timedelta": dt.timedelta(days=-1, microseconds=3),
    "nested kinds": [(array.array("q", [1]), decimal.Decimal("1.5")), [np.array([1.0]), Code.FILL]],
}


class Order:
    """A level-2 order record; the value under test goes into ``orig_order_no``."""

    def __init__(self, value):
        from pyvorn.enums import MarketType
        self.order_time, self.security_id, self.market_type = 20250110093000000, "000001", MarketType.SZSE
        self.side, self.order_type, self.biz_index = 49, 50, 7
        self.order_price, self.order_volume, self.orig_order_no = 10.5, 100, value


class SlottedOrder(Order):
    """The same record kept in slots, as the gateway's own records are: read from the slots in place."""

    __slots__ = ("order_time", "security_id", "market_type", "side", "order_type", "biz_index", "order_price",
                 "order_volume", "orig_order_no")


class Fill:
    def __init__(self, value):
        self.client_order_id, self.value = "C1", value


def capture_values(tl, tmp_path, values, order=Order):
    path = str(tmp_path / "values.tlcap")
    Captured = capturing(tl.VornStrategy, path)
    strategy = Captured(make_config())
    for value in values:
        for callback, record in (("on_tick_order", order(value)), ("on_trade", Fill(value))):
            try:
                getattr(strategy, callback)(record)
            except Exception:                          # the stand-in host may refuse the odd values
                pass
    Captured.capture.close()
    calls = list(CaptureReader(path))
    hot = [agreed(c.args[0].orig_order_no) for c in calls if c.name == "on_tick_order"]
    generic = [agreed(c.args[0].value) for c in calls if c.name == "on_trade"]
    return Captured.capture, hot, generic


@pytest.mark.parametrize("order", [Order, SlottedOrder])
def test_each_kind_of_value_comes_back_as_itself(tl, tmp_path, order):
    writer, hot, generic = capture_values(tl, tmp_path, list(KINDS.values()), order)
    for name, value, a, b in zip(KINDS, KINDS.values(), hot, generic):
        assert same(a, value), f"{name} through a market-data callback: {a!r}"
        assert same(b, value), f"{name} through a rarely called callback: {b!r}"
    assert writer.salvaged == 0 and writer.error is None


def test_an_unset_slot_between_plain_values_is_kept_as_missing(tl, tmp_path):
    path = str(tmp_path / "unset.tlcap")
    Captured = capturing(tl.VornStrategy, path)
    strategy = Captured(make_config())
    texts = ["x" * n for n in (0, 31, 32, 300)]               # the short forms and the longer ones
    for text in texts:
        order = SlottedOrder(text)
        del order.side                                          # a slot left unset mid-record
        try:
            strategy.on_tick_order(order)
        except Exception:                                       # the module meets the unset slot too
            pass
    Captured.capture.close()
    records = [c.args[0] for c in CaptureReader(path) if c.name == "on_tick_order"]
    assert [r.orig_order_no for r in records] == texts
    for r in records:
        assert (r.order_time, r.order_price, r.order_volume, r.order_type) == (20250110093000000, 10.5, 100, 50)
        with pytest.raises(AttributeError):
            r.side


class Odd:
    __slots__ = ()

    def __repr__(self):
        return "Odd()"


def test_what_cannot_be_kept_is_kept_by_class_and_repr_and_counted(tl, tmp_path, logs):
    odd = [Odd(), np.array([Odd()], dtype=object), np.array([(1, 2.0)], dtype="i4,f8")]
    writer, hot, generic = capture_values(tl, tmp_path, odd)
    for back in (hot, generic):
        assert [type(v) for v in back] == [Opaque] * 3
        assert back[0].qualname.endswith("Odd") and back[0].text == "Odd()"
        assert back[1].qualname == "ndarray" and "Odd()" in back[1].text
    assert writer.salvaged == 6
    assert dict(writer.salvaged_classes) == {f"{__name__}.Odd": 2, "numpy.ndarray": 4}
    # one warning per class, when it first happens
    assert sorted(w.split("class ")[1].split(" ")[0] for w in logs.user.warnings) == sorted([
        f"{__name__}.Odd", "numpy.ndarray"])


@pytest.mark.parametrize("change, rest", [
    (lambda items: items.clear(), [None, None]),
    # grown far enough that the list's storage moves: the items are read from where they are now
    (lambda items: items.extend([3.0] * 10_000), [1.0, 2.0]),
], ids=["shrunk", "grown"])
def test_a_list_changed_while_it_is_packed_is_never_read_past_its_end(tl, tmp_path, change, rest):
    items = []

    class Changes(Odd):
        __slots__ = ()

        def __repr__(self):
            change(items)
            return "changed"

    items.extend([Changes(), 1.0, 2.0])
    writer, hot, _ = capture_values(tl, tmp_path, [items])
    assert hot[0][0].text == "changed" and hot[0][1:] == rest


values = (st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text() | st.binary()
          | st.sampled_from([Level.HIGH, Code.FILL]))


@hypothesis.given(st.recursive(values, lambda inner: st.lists(inner) | st.tuples(inner, inner), max_leaves=30))
@hypothesis.settings(deadline=None)
def test_the_native_packer_and_the_python_packer_agree(tmp_path_factory, value):
    writer = _writer(tmp_path_factory)
    unpacker = Decoder().unpacker()
    unpacker.feed(writer._rec.pack(value))              # noqa: SLF001 - the native packer by itself
    unpacker.feed(Encoder().pack(freeze(value)))
    native, python = list(unpacker)
    assert same(native, python)


_writers = {}


def _writer(factory):
    if "w" not in _writers:
        _writers["w"] = CaptureWriter(str(factory.mktemp("pack") / "pack.tlcap"))
    return _writers["w"]


@pytest.fixture(scope="module", autouse=True)
def _close_writers():
    yield
    for w in _writers.values():
        w.close()
