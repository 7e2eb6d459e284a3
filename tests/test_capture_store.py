"""The capture's store: market-data calls packed in place and streamed into the
current segment, and the segments' memory used again once the writer is done with it."""
import decimal
import enum
import time

import hypothesis
import msgpack
import pytest
from hypothesis import strategies as st

from conftest import make_config
from tessaline_tools import _capture_native as native
from tessaline_tools._capture_values import Encoder
from tessaline_tools.capture import CaptureReader, capturing


class Level(enum.Enum):
    HIGH = "h"
    LOW = "l"


class Unseen(enum.Enum):
    ONLY = 1


def recorder(budget=1 << 30, segment_bytes=4096):
    return native.Recorder(budget=budget, segment_bytes=segment_bytes, segment_records=1 << 20,
                           fallback=Encoder().pack_value, missing_hook=lambda exc: None,
                           thread_hook=lambda tid: None, gap_hook=lambda: None, raised_hook=lambda seq, exc: None,
                           enum_base=enum.Enum)


_packer = recorder()
for _member in Level:
    _packer.pack(_member)                       # members are packed in place once they have been met


deep = [[[[1.0]]]]
values = (st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text() | st.binary()
          | st.sampled_from([Level.HIGH, Level.LOW]))


@hypothesis.given(st.recursive(values, lambda inner: st.lists(inner) | st.tuples(inner, inner), max_leaves=30))
@hypothesis.settings(deadline=None)
def test_a_value_packed_in_place_reads_as_the_careful_packing_writes_it(value):
    quick = _packer.pack_in_place(value)
    assert quick is None or quick == _packer.pack(value)


@pytest.mark.parametrize("value, in_place", [
    ([1.5, -3, 2 ** 40, None, True], True),
    ((-(2 ** 63), 2 ** 63 - 1, "é" * 40, b"\x00" * 300, "x" * 300), True),
    ([[Level.HIGH, (1.0,)], []], True),
    (2 ** 64 - 1, False),                       # unsigned 64 bits: the careful way
    (2 ** 70, False),
    ("\ud800", False),                          # text that has no UTF-8 form
    (Unseen.ONLY, False),                       # a member met for the first time
    (decimal.Decimal("1.5"), False),
    (deep, False),                              # nested deeper than a record's lists
    ([1.0, object()], False),
])
def test_what_is_packed_in_place_and_what_is_left_to_the_careful_way(value, in_place):
    quick = _packer.pack_in_place(value)
    assert (quick is not None) == in_place
    if in_place:
        assert quick == _packer.pack(value)


def _cycles():
    twice = []
    twice += [twice, twice]                     # walked as a tree: 2**32 visits
    shared = []
    pair = (shared, shared)
    shared += [pair, pair, 1.0]
    return [twice, pair, [1.5, [twice]]]


@pytest.mark.parametrize("value", _cycles())
def test_a_list_that_holds_itself_is_packed_once_and_kept_apart(value):
    from tessaline_tools._capture_values import Decoder, Opaque
    unpacker = Decoder().unpacker()
    unpacker.feed(_packer.pack(value))
    back = next(unpacker)

    def opaques(v):
        return 1 if type(v) is Opaque else sum(map(opaques, v)) if type(v) in (list, tuple) else 0
    assert 0 < opaques(back) < 100                 # finite, and small


class Tick:
    """A level-2 order record in slots, as the gateway's own are."""

    __slots__ = ("order_time", "security_id", "market_type", "side", "order_type", "biz_index", "order_price",
                 "order_volume", "orig_order_no")

    def __init__(self, n, value=0):
        from pyvorn.enums import MarketType
        self.order_time, self.security_id, self.market_type = 20250110093000000 + n, "000001", MarketType.SZSE
        self.side, self.order_type, self.biz_index = 49, 50, n
        self.order_price, self.order_volume, self.orig_order_no = 10.5, 100, value


def test_a_call_made_while_another_is_being_packed_keeps_both_records_whole(tl, tmp_path):
    path = str(tmp_path / "reentrant.tlcap")
    Captured = capturing(tl.VornStrategy, path)
    strategy = Captured(make_config())

    class CallsBack:
        """Its repr runs while the outer call is packed: it makes a market-data call of its own."""
        __slots__ = ()

        def __repr__(self):
            strategy.on_tick_order(Tick(2, [2.5, "inner"]))
            return "calls back"

    for record in (Tick(1, CallsBack()), Tick(3, [3.5])):
        try:
            strategy.on_tick_order(record)
        except Exception:                               # the stand-in host may refuse the odd values
            pass
    Captured.capture.close()
    calls = [c for c in CaptureReader(path) if c.name == "on_tick_order"]
    by_index = {c.args[0].biz_index: c.args[0] for c in calls}
    assert sorted(by_index) == [1, 2, 3] and len(calls) == 3
    assert by_index[1].orig_order_no.text == "calls back"
    assert by_index[2].orig_order_no == [2.5, "inner"] and by_index[3].orig_order_no == [3.5]
    assert all(r.order_price == 10.5 and r.security_id == "000001" for r in by_index.values())


def test_a_segment_used_again_holds_only_its_own_records_within_the_budget():
    rec = recorder(budget=40_000, segment_bytes=4096)
    written, expected = [], []
    held = None
    for i in range(60):
        for j in range(40):
            record = msgpack.packb([i, j, "x" * (j % 50)])
            assert rec.admit(0)
            rec.append(record, 1)
            expected.append(record)
        while (item := rec.take(False)) is not None:
            data = item[0]
            written.append(bytes(data))
            if held is None:
                held = (memoryview(data), bytes(data))      # memory still in use is never handed out again
            rec.release(len(data))
            del data, item
    item = rec.take(True)
    written.append(bytes(item[0]))
    rec.release(len(item[0]))
    del item
    assert b"".join(written) == b"".join(expected)
    assert bytes(held[0]) == held[1]
    # the memory kept for the next segment is not counted, and does not stretch the budget
    kept, record = 0, msgpack.packb([0, 0, "x" * 40])
    while rec.admit(0):
        rec.append(record, 1)
        kept += 1
        if kept % 50 == 0 and (item := rec.take(False)) is not None:
            del item                                        # taken, not yet written: still counted
    assert rec.dropped == 1 and rec.gaps == 1
    assert rec.budget <= rec.pending + rec.in_flight < rec.budget + len(record)
    assert rec.peak < rec.budget + len(record)


def test_a_captured_method_needs_a_recorder_that_was_set_up():
    # refused when made, rather than a crash at its first call
    with pytest.raises(RuntimeError, match="not initialised"):
        native.HotMethod(recorder=native.Recorder.__new__(native.Recorder), name="on_tick", attrs=("price",),
                         base=lambda self, tick: None, generic=lambda *a, **k: None, schema_hook=lambda t: 1)


def _tick_of_another_type(k):
    """A record of a type not seen before (each one a new entry in the method's table)."""
    kind = type(f"Tick{k}", (Tick,), {"__slots__": ()})
    return kind(10 + k)


def test_a_thread_whose_registration_makes_captured_calls_of_its_own_is_recorded_whole(tl, tmp_path):
    import threading
    path = str(tmp_path / "registering.tlcap")
    Captured = capturing(tl.VornStrategy, path)
    strategy = Captured(make_config())
    inner = []

    class Named(threading.Thread):
        """Its name is found by code that makes calls with records of new types, while
        the thread's first call waits for the thread to be registered."""

        @property
        def name(self):
            if not inner:
                inner.append(True)
                for k in range(16):
                    strategy.on_tick_order(_tick_of_another_type(k))
            return "named"

        @name.setter
        def name(self, value):
            pass

    def first_call():
        try:
            strategy.on_tick_order(Tick(1, [1.5]))
        except Exception:                               # the stand-in host may refuse the odd values
            pass

    thread = Named(target=first_call)
    thread.start()
    thread.join()
    Captured.capture.close()
    records = {c.args[0].biz_index: c.args[0] for c in CaptureReader(path) if c.name == "on_tick_order"}
    assert sorted(records) == [1] + list(range(10, 26))
    assert records[1].orig_order_no == [1.5] and records[1].order_price == 10.5


_member = __import__("pyvorn.enums", fromlist=["MarketType"]).MarketType.SZSE
_edges = [0, 0x7f, 0x80, 0xff, 0x100, 0xffff, 0x10000, 2 ** 30 - 1, 2 ** 30, 2 ** 32 - 1, 2 ** 32, 2 ** 60 - 1,
          -1, -32, -33, -(2 ** 30) + 1, -(2 ** 30), -(2 ** 60) + 1]


@pytest.mark.parametrize("value", [
    *_edges,
    [float(i) / 3 for i in range(15)],                   # the longest list written with the record's own cursor
    [float(i) / 3 for i in range(16)],
    [], [None, True, False, 1.5],
    _edges[:15], _edges[-15:],
    [1.5, 2, "text"], ["text", 1.5], [1.5, _member], [[1.0, 2.0], 3],    # items that are not numbers
    [1.5, 2.5, 3, 4, 5.5, None], [1, 2, 2.5], [0.5, 1, 2 ** 62],          # runs of floats and ints, then others
    (1.0, 2),
], ids=repr)
def test_a_slotted_record_keeps_each_value_as_it_was(tl, tmp_path, value):
    path = str(tmp_path / "values.tlcap")
    Captured = capturing(tl.VornStrategy, path)
    strategy = Captured(make_config())
    for n in range(3):                                    # the member met once: later calls pack it in place
        try:
            strategy.on_tick_order(Tick(n, value))
        except Exception:                                 # the stand-in host may refuse the odd values
            pass
    Captured.capture.close()
    calls = [c for c in CaptureReader(path) if c.name == "on_tick_order"]
    assert len(calls) == 3
    for c in calls:
        back = c.args[0].orig_order_no
        assert back == value and type(back) is type(value)
        assert c.args[0].order_time == 20250110093000000 + c.args[0].biz_index


def test_records_of_several_slotted_types_and_a_type_changed_between_calls_keep_their_values(tl, tmp_path):
    # the record type packed in place is remembered between calls: another
    # type, or the same one changed, must be read afresh
    class Wider(Tick):
        __slots__ = ("extra",)

    path = str(tmp_path / "types.tlcap")
    Captured = capturing(tl.VornStrategy, path)
    strategy = Captured(make_config())
    sent = []
    slot = Tick.__dict__["order_price"]
    try:
        for n in range(12):
            if n == 9:    # the slot still set, but read through a property now
                Tick.order_price = property(lambda self: 99.25, slot.__set__)
            record = (Wider if n in (1, 3, 5) else Tick)(n, value=n * 10)
            sent.append((n, record.order_price, n * 10))
            strategy.on_tick_order(record)
    finally:
        Tick.order_price = slot
    Captured.capture.close()
    back = [(c.args[0].biz_index, c.args[0].order_price, c.args[0].orig_order_no)
            for c in CaptureReader(path) if c.name == "on_tick_order"]
    assert back == sent
    assert sent[8][1] == 10.5 and sent[9][1] == 99.25


def test_calls_packed_in_place_and_the_careful_way_interleaved_across_segments_keep_order_and_values(
        tl, tmp_path, monkeypatch):
    # in-place records reach a segment in whole 64-byte lines, the rest carried
    # in front of the next one; a careful record, a flush and a sealed segment
    # each put the carried bytes in first
    from tessaline_tools import capture as tc
    monkeypatch.setattr(tc, "SEGMENT_BYTES", 4 << 10)
    path = str(tmp_path / "interleaved.tlcap")
    Captured = capturing(tl.VornStrategy, path, flush_interval=0.005)
    strategy = Captured(make_config())
    sent = []
    for n in range(400):
        value = decimal.Decimal(n) if n % 7 == 3 else "x" * (n % 97)   # every size of carry, and careful calls
        sent.append((n, value))
        strategy.on_tick_order(Tick(n, value))
        if n % 50 == 0:
            time.sleep(0.01)                                  # the writer takes the segment being filled
    Captured.capture.close()
    back = [(c.args[0].biz_index, c.args[0].orig_order_no) for c in CaptureReader(path) if c.name == "on_tick_order"]
    assert back == sent
    assert len(_chunk_sizes(path)) > 10


def test_the_moments_of_a_call_follow_both_clocks(tl, tmp_path):
    path = str(tmp_path / "clock.tlcap")
    Captured = capturing(tl.VornStrategy, path)
    strategy = Captured(make_config())
    brackets = []
    for n in range(6):                                    # across several re-reads of the wall clock
        before = time.time_ns(), time.monotonic_ns()
        strategy.on_tick_order(Tick(n))
        brackets.append((before, (time.time_ns(), time.monotonic_ns())))
        time.sleep(0.002)
    Captured.capture.close()
    calls = [c for c in CaptureReader(path) if c.name == "on_tick_order"]
    for c, ((wall0, mono0), (wall1, mono1)) in zip(calls, brackets, strict=True):
        assert mono0 <= c.mono_ns <= mono1
        assert wall0 - 50_000 <= c.wall_ns <= wall1 + 50_000     # the wall clock may be slewed meanwhile


def _chunk_sizes(path):
    from tessaline_tools import _capture_file as cf
    with open(path, "rb") as f:
        cf.check_header(path, f)
        return [len(raw) for _, raw, _ in cf.iter_chunks(path, f, lambda damage: None)]


def test_the_writer_takes_full_segments_when_they_fill_and_the_one_being_filled_once_a_round(tl, tmp_path,
                                                                                               monkeypatch):
    from tessaline_tools import capture as tc
    monkeypatch.setattr(tc, "SEGMENT_BYTES", 64 << 10)
    path = str(tmp_path / "rounds.tlcap")
    Captured = capturing(tl.VornStrategy, path, flush_interval=60.0)
    strategy = Captured(make_config())
    writer = Captured.capture
    record, n = Tick(0), 0
    deadline = time.monotonic() + 10
    while writer.calls < 1000 and time.monotonic() < deadline:   # full segments: written long before a round ends
        for _ in range(200):
            n += 1
            strategy.on_tick_order(record)
        time.sleep(0.001)
    assert writer.calls >= 1000
    Captured.capture.close()
    sizes = _chunk_sizes(path)
    # the callbacks never ran dry, yet no chunk is a sliver taken while they were adding to it:
    # every chunk but the header's and the one closing the capture is a full segment
    assert sum(size >= (64 << 10) for size in sizes) >= len(sizes) - 3
    assert sum(1 for c in CaptureReader(path) if c.name == "on_tick_order") == n
