"""The replay's native reading and counting against the Python code they stand in for:
the same records, the same hook calls, the same errors, the same summary."""
import io

import hypothesis
import msgpack
import pytest
from hypothesis import strategies as st

from tessaline_tools import _capture_file as cf
from tessaline_tools import _capture_reader as cr
from tessaline_tools._capture_decode import Decoder
from tessaline_tools._replay_engine import Summary
from tessaline_tools._replay_native import Records, Tally

ENUM = msgpack.ExtType(1, msgpack.packb(["nowhere.enums", "Market", "SZSE"]))
EXTS = [ENUM, msgpack.ExtType(1, msgpack.packb(["nowhere.enums", "Market", "SSE"])),
        msgpack.ExtType(2, msgpack.packb([1, "x"])), msgpack.ExtType(9, msgpack.packb(["m", "Q", "text"])),
        msgpack.ExtType(1, b"\x01"), msgpack.ExtType(100, b"kept"), msgpack.Timestamp(5, 7)]

scalars = (st.none() | st.booleans() | st.integers(-(1 << 63), (1 << 64) - 1)
           | st.floats(allow_nan=False, width=32) | st.text(max_size=20) | st.binary(max_size=8) | st.sampled_from(EXTS))
values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=5)
                      | st.dictionaries(st.text(max_size=4) | st.integers(-5, 5), inner, max_size=3), max_leaves=25)


def _deep(n):
    v = 1
    for _ in range(n):
        v = [v]
    return v


def _damaged(raw, cut, junk):
    # a chunk cut short, or with bytes no writer writes (0xc1, text that is no UTF-8, a length
    # beyond the end) after its whole records
    return raw[:len(raw) - cut] + junk


def _read_native(raw, decoder, shapes=None, callbacks=frozenset()):
    seq_pos, ring = {}, [None] * 8
    records = Records(raw, decoder._ext, 1, decoder._enum_raw, callbacks, cr._Fallback(decoder, raw), seq_pos,
                      ring, lambda: None, cr.MAX_WALL_NS, 0, shapes)
    out = []
    try:
        for rec in records:
            out.append(rec)
    except Exception as exc:                                        # noqa: BLE001 - compared below
        return out, (type(exc), str(exc)), records.index
    return out, None, records.index


def _read_python(raw, decoder):
    u = decoder.unpacker()
    u.feed(raw)
    out = []
    try:
        for rec in u:
            out.append(rec)
    except Exception as exc:                                        # noqa: BLE001 - compared below
        return out, (type(exc), str(exc)), len(out)
    return out, None, len(out)


class _Hooked(Decoder):
    """A decoder that notes every call of its extension hook that does more than take an
    enumeration member from its cache (the native reading takes those itself)."""

    def __init__(self):
        super().__init__()
        self.calls = []

    def _ext(self, code, data):
        if not (code == 1 and self._enum_raw.get(data) is not None):
            self.calls.append((code, bytes(data)))
        return super()._ext(code, data)


@hypothesis.settings(max_examples=300, deadline=None)
@hypothesis.given(st.lists(values, max_size=6), st.booleans(), st.integers(0, 3),
                  st.sampled_from([b"", b"\xc1", b"\xa3\xff\xfe\xfd", b"\xdd\xff\xff\xff\xff", b"\x92\x01"]))
def test_records_read_as_msgpack_reads_them(recs, single_float, cut, junk):
    raw = b"".join(msgpack.packb(r, use_single_float=single_float) for r in recs)
    raw = _damaged(raw, cut if raw else 0, junk)
    native, python = _Hooked(), _Hooked()
    got, want = _read_native(raw, native), _read_python(raw, python)
    assert got == want or repr(got) == repr(want)                   # junk after a cut can read as a NaN
    assert native.calls == python.calls                             # each hook once, in the same order


@pytest.mark.parametrize("record", [
    _deep(31), _deep(40), b"\x91" * 2000 + b"\x01",                # past the native depth: msgpack's rules
    {"k": [1, {"n": ENUM}]}, {(1, 2): 3}, [ENUM, ENUM, ENUM],
    ["\u00e9\u4e2d\U0001f600", b"\x00", 2 ** 64 - 1, -2 ** 63],
])
def test_records_edge_values(record):
    raw = (record if type(record) is bytes else msgpack.packb(record)) * 2
    native, python = _Hooked(), _Hooked()
    assert _read_native(raw, native) == _read_python(raw, python)
    assert native.calls == python.calls


@pytest.mark.parametrize("raw", [
    b"\xed\xa0\x80", b"\xa3\xed\xa0\x80", b"\xa2\xc0\xaf", b"\xa4\xf4\x90\x80\x80", b"\xa1\x80",  # not UTF-8
    b"\xc7\x05\x01ab", b"\xd4\xff", b"\xd6\xff\x00\x00\x00\x01",   # an extension cut short; timestamps
    b"\xdf\x00\x00\x00\x01\x91\x01\x02",                            # a list as a map key
])
def test_records_bytes_that_do_not_hold(raw):
    native, python = _Hooked(), _Hooked()
    assert _read_native(raw, native) == _read_python(raw, python)
    assert native.calls == python.calls


# ---------------------------------------------------------------- calls, through the reader

CALLBACKS = ("on_snapshot", "on_bar")


def _capture(tmp_path, records):
    path = tmp_path / "c.tlcap"
    with open(path, "wb") as f:
        f.write(cf.file_header())
        raw = b"".join(msgpack.packb(r) for r in records)
        f.write(cf.chunk_bytes(raw, len(records), __import__("zstandard").ZstdCompressor()))
    return path


def _as_seen(item):
    if type(item) is tuple:
        position, name, wall, record, seq, mono, tid = item
    else:
        position, name, wall, record, seq, mono, tid = (item.position, item.name, item.wall_ns, item.args[0],
                                                        item.seq, item.mono_ns, item.thread)
    # a record with attributes that were missing live is an object of its own: seen by its text
    seen = tuple(record) if isinstance(record, tuple) else (repr(record), sorted(vars(record).get("_missing", {})))
    return position, name, wall, type(record).__qualname__, seen, seq, mono, tid


def _reference(path):
    """Every record through the reader's checks for any record, one by one."""
    reader = cr.CaptureReader(path)
    state = cr._FileState(reader, str(path))
    out, bad = [], None
    with open(path, "rb") as f:
        cf.check_header(path, f)
        for offset, raw, _ in cf.iter_chunks(path, f, lambda d: None):
            u = state.decoder.unpacker()
            u.feed(raw)
            for index, rec in enumerate(u):
                try:
                    call = state.take(rec, len(out), offset)
                except Exception as exc:                           # noqa: BLE001 - as the reader reports it
                    return out, (index, str(exc))
                state.decoder.missing_seen = False
                if call is not None:
                    out.append(_as_seen(call))
    return out, bad


VALUE = (st.integers(-(1 << 63), (1 << 63) - 1) | st.floats(allow_nan=False) | st.text(max_size=3)
         | st.sampled_from(EXTS[:2]) | st.just(msgpack.ExtType(10, msgpack.packb(["builtins", "AttributeError", "x"]))))
# one field of a call made wrong, or none
WRONG = {0: [3, 5, 2.0], 1: [-1, "7", None, 2 ** 64 - 1], 2: ["on_nothing", 5, b"on_bar"],
         3: [-5, -(1 << 63), 2 ** 64 - 1, 1.5, None], 4: [None, 1.0, -3], 5: ["t", None], 6: [7, "0", -1, 2 ** 63]}


@st.composite
def call_fields(draw):
    sid = draw(st.sampled_from([0, 1]))
    fields = [2, draw(st.integers(0, 50)), draw(st.sampled_from(CALLBACKS)), draw(st.integers(0, 2 * 10 ** 18)),
              draw(st.integers(0, 10 ** 12)), draw(st.integers(0, 9)), sid,
              draw(st.lists(VALUE, min_size=(3, 1)[sid], max_size=(3, 1)[sid]))]
    wrong = draw(st.sampled_from([None, None, None] + list(WRONG) + [7]))
    if wrong == 7:
        fields[7] = draw(st.lists(VALUE, max_size=4) | st.sampled_from([None, {"a": 1}, "abc"]))
    elif wrong is not None:
        fields[wrong] = draw(st.sampled_from(WRONG[wrong]))
    return fields


@hypothesis.settings(max_examples=150, deadline=None, suppress_health_check=[hypothesis.HealthCheck.function_scoped_fixture])
@hypothesis.given(st.lists(call_fields(), max_size=12))
def test_calls_as_the_reader_checks_them(tmp_path, calls):
    head = [[cr.R_META, {"format": 2}], [cr.R_SCHEMA, 0, "nowhere.records", "Tick", ["a", "b", "c"]],
            [cr.R_SCHEMA, 1, "nowhere.records", "Bar", ["x"]]]
    records = head + calls
    path = _capture(tmp_path, records)
    reader = cr.CaptureReader(path)
    got = [_as_seen(item) for item in reader.items()]
    want, bad = _reference(path)
    assert got == want
    if bad is None:
        assert not reader.damage
    else:
        assert [d.detail.split(":", 1)[1].strip() for d in reader.damage] == [bad[1]]
        assert reader.damage[0].detail.startswith(f"record {bad[0]} ")
    path.unlink()


# ---------------------------------------------------------------- counting calls

class _Event:
    def __init__(self, event_type, order=None):
        self.event_type, self.order = event_type, order


class _Type:
    def __init__(self, name):
        self.name = name


class _Order:
    def __init__(self, oid, status):
        self.order_id, self.status = oid, _Type(status)


TICK, ORDER = _Type("TICK"), _Type("ORDER_CREATION_PASS")


@pytest.mark.parametrize("every", [None, 3])
def test_tally_counts_as_summary_add(every):
    calls = []
    for i in range(40):
        events = [_Event(TICK)] * (i % 3) + ([_Event(ORDER, _Order(i % 4, "FILLED" if i % 5 else "NEW"))]
                                             if i % 7 == 0 else []) + ([object()] if i == 11 else [])
        error = ValueError(f"bad {i}") if i % 9 == 4 else None
        wall = 60_000_000_000 * (1_000 + i // 6) + i
        calls.append((("on_snapshot", "on_bar")[i % 2], i, wall, events, error, 1000 + i))
    told = {id(s): [] for s in ()}
    plain, native = Summary(), Summary()
    for s in (plain, native):
        told[id(s)] = []
        if every:
            s.on_calls(every, told[id(s)].append)
    tally = Tally(native)
    for c in calls:
        plain.add(*c)
        tally(*c)
    plain.finish()
    native.finish()
    assert native.calls == plain.calls == len(calls)
    for name in ("callbacks", "events", "minutes", "orders", "raised_replay"):
        got, want = getattr(native, name), getattr(plain, name)
        if name == "raised_replay":
            got, want = sorted(got.items()), sorted(want.items())
        assert got == want, name
    assert told[id(native)] == told[id(plain)]


@pytest.mark.parametrize("record", [
    msgpack.ExtType(2, msgpack.packb([0, "__init__", 5, [1], 0, 0, 0])),   # a tuple of a call's shape
    msgpack.ExtType(2, msgpack.packb([2, 0, "on_bar", 5, 0, 0, 1, [1]])),
])
def test_a_value_of_a_calls_shape_is_no_call(tmp_path, record):
    # only calls the reading makes itself reach the replay as calls; a file's own tuple is a
    # malformed record
    head = [[cr.R_META, {"format": 2}], [cr.R_SCHEMA, 1, "nowhere.records", "Bar", ["x"]]]
    path = _capture(tmp_path, head + [[2, 0, "on_bar", 5, 0, 0, 1, [1]], record, [2, 1, "on_bar", 6, 0, 0, 1, [2]]])
    reader = cr.CaptureReader(path)
    got = [_as_seen(item) for item in reader.items()]
    assert [g[:2] for g in got] == [(0, "on_bar")]
    assert [d.kind for d in reader.damage] == ["malformed"]
    assert reader.damage[0].detail.startswith("record 3 ")


def test_a_chunks_reading_is_freed_with_it(tmp_path):
    # nothing but the reading in progress holds a chunk's records (and its bytes): with the
    # collector off, no earlier chunk's reading is left behind
    import gc
    import zstandard
    path = tmp_path / "c.tlcap"
    zc = zstandard.ZstdCompressor()
    with open(path, "wb") as f:
        f.write(cf.file_header())
        head = [[cr.R_META, {"format": 2}], [cr.R_SCHEMA, 1, "nowhere.records", "Bar", ["x"]]]
        f.write(cf.chunk_bytes(b"".join(msgpack.packb(r) for r in head), len(head), zc))
        for chunk in range(20):
            calls = [[2, chunk * 10 + i, "on_bar", 5, 0, 0, 1, [i]] for i in range(10)]
            f.write(cf.chunk_bytes(b"".join(msgpack.packb(r) for r in calls), len(calls), zc))
    gc.collect()
    gc.disable()
    try:
        most = 0
        for _ in cr.CaptureReader(path).items():
            most = max(most, sum(type(o) is Records for o in gc.get_objects()))
    finally:
        gc.enable()
    assert most == 1
