"""A capture file is untrusted input: crafted files with intact checksums.

Each file here is built record by record (msgpack and the capture's chunk
framing) the way an attacker would, and replayed by the command in a process of
its own: whatever the file holds, the tool ends with one line and exit 2, never
a crash, a traceback, code run on the file's say, or memory beyond a chunk's
bound."""
import os
import subprocess
import sys
import zlib

import msgpack
import pytest
import zstandard

from tessaline_tools import _capture_file as cf
from tessaline_tools import _capture_values as cv
from tessaline_tools._capture_decode import MAX_NESTING, CaptureValueError, Decoder
from tessaline_tools._capture_reader import R_CALL, R_GCALL, R_META, R_RAISED, R_SCHEMA, CaptureReader

WALL = 1736472600_000_000_000          # 2025-01-10, a plausible wall time
META = [R_META, {"format": 1, "module": "corvix.tarrow.utils.tessaline", "host": "h", "pid": 1, "file_index": 0,
                 "created_ns": WALL}]


def ext(code, value):
    return msgpack.ExtType(code, msgpack.packb(value, use_bin_type=True))


def gcall(name, args, kwargs=None, pre=None, seq=1):
    return [R_GCALL, seq, name, WALL + seq, seq, 1, args, kwargs or {}, pre or {}]


def chunk(records, declared=None):
    raw = b"".join(msgpack.packb(r, use_bin_type=True) for r in records)
    return cf.chunk_bytes(raw, len(records) if declared is None else declared, zstandard.ZstdCompressor())


def write_capture(path, *chunks):
    with open(path, "wb") as f:
        f.write(cf.file_header())
        for c in chunks:
            f.write(c)
    return str(path)


PEAK = """
import resource, sys
from tessaline_tools.replay import main
code = main(sys.argv[1:])
peak = max(resource.getrusage(who).ru_maxrss for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN))
print(f"peak {peak}", file=sys.stderr)
sys.exit(code)
"""


def replay_cli(*argv):
    """Runs the command in a child process: (exit status, stderr, peak memory of it and its replay
    processes in MB, or None when it did not get to tell)."""
    p = subprocess.run([sys.executable, "-c", PEAK, "--no-progress", *map(str, argv)],
                       capture_output=True, text=True, timeout=600)
    lines = p.stderr.splitlines()
    peak = int(lines.pop()[5:]) / 1024 if lines and lines[-1].startswith("peak ") else None
    return p.returncode, "\n".join(lines), peak


def assert_refused(code, err, *words):
    assert code == 2, err
    assert "Traceback" not in err and err.strip(), err
    for w in words:
        assert w in err, err


def nested_tuples(depth):
    v = 1
    for _ in range(depth):
        v = ext(cv.EXT_TUPLE, [v])
    return v


# ---------------------------------------------------------------- faults found by a review

def test_deeply_nested_values_are_refused_not_a_crash(tmp_path):
    path = write_capture(tmp_path / "nested.tlcap", chunk([META, gcall("on_trade", [nested_tuples(400)])]))
    assert os.path.getsize(path) < 2048
    code, err, _ = replay_cli(path)
    assert_refused(code, err, "malformed chunk at offset 16", "nested more than")


def test_values_nest_as_deep_as_the_bound_allows(tmp_path):
    unpacker = Decoder().unpacker()
    unpacker.feed(msgpack.packb(nested_tuples(MAX_NESTING), use_bin_type=True))
    v = next(unpacker)
    for _ in range(MAX_NESTING - 1):
        v = v[0]
    assert v == (1,)


class Recorder(dict):
    """A dict subclass whose constructor would tell it was called."""

    calls = []

    def __init__(self, *args, **kwargs):
        Recorder.calls.append(args)
        super().__init__(*args, **kwargs)


@pytest.mark.parametrize("value,expect", [
    (ext(cv.EXT_SUBCLASS, ["builtins", "bytearray", 1 << 30]), 1 << 30),       # would allocate 1 GB
    (ext(cv.EXT_SUBCLASS, ["builtins", "int", 5]), 5),
    (ext(cv.EXT_DICTSUB, [__name__, "Recorder", [[1, 2]]]), {1: 2}),
    (ext(cv.EXT_NPSCALAR, ["V1000000000", 1]), 1),                              # a void scalar of 1 GB
    (ext(cv.EXT_NPSCALAR, ["O", 3]), 3),
], ids=["bytearray", "int", "dict-subclass-constructor", "numpy-void", "numpy-object"])
def test_a_value_never_calls_the_class_it_names(value, expect):
    Recorder.calls.clear()
    unpacker = Decoder().unpacker()
    unpacker.feed(msgpack.packb([value], use_bin_type=True))
    (back,) = next(unpacker)
    assert back == expect and type(back) in (int, dict) and not Recorder.calls


@pytest.mark.parametrize("value", [
    ext(cv.EXT_OBJECT, ["this", "Zen", [["a", 1]]]),
    ext(cv.EXT_ENUM, ["this", "Color", "RED"]),
    ext(cv.EXT_SUBCLASS, ["this", "Thing", 1]),
    ext(cv.EXT_MISSING, ["this", "Error", "boom"]),
], ids=["object", "enum", "subclass", "missing"])
def test_reading_never_imports_a_module_a_file_names(value):
    assert "this" not in sys.modules
    unpacker = Decoder().unpacker()
    unpacker.feed(msgpack.packb([value], use_bin_type=True))
    (back,) = next(unpacker)
    if isinstance(back, cv.Missing):
        back.exception()
    assert "this" not in sys.modules


def test_a_missing_attribute_cannot_make_the_tool_exit():
    for name in ("SystemExit", "KeyboardInterrupt", "GeneratorExit"):
        exc = cv.Missing("builtins", name, "bye").exception()
        assert isinstance(exc, Exception) and type(exc).__name__ == name


def test_host_classes_are_rebuilt_without_running_their_code():
    from pyvorn.records import LoginRes
    names = [f for f in LoginRes.__dataclass_fields__]
    unpacker = Decoder().unpacker()
    unpacker.feed(msgpack.packb([ext(cv.EXT_RECORD, ["pyvorn.records", "LoginRes", [[n, 1] for n in names]]),
                                 ext(cv.EXT_OBJECT, ["builtins", "bytearray", [["x", 1]]])], use_bin_type=True))
    record, other = next(unpacker)
    assert type(record) is LoginRes and all(getattr(record, n) == 1 for n in names)
    assert type(other) is not bytearray and other.x == 1


def test_a_compression_bomb_costs_only_a_chunks_bound(tmp_path):
    # 400 MB of zeros in a frame that does not state its size, in a chunk that claims 100 bytes
    z = zstandard.ZstdCompressor(level=3, write_content_size=False).compressobj()
    block = bytes(1 << 20)
    payload = b"".join(z.compress(block) for _ in range(400)) + z.flush()
    head = cf._CHUNK_HEAD.pack(cf.CHUNK_MAGIC, len(payload), 100, 1, zlib.crc32(payload))
    bomb = head + cf._CHUNK_CRC.pack(zlib.crc32(head)) + payload
    # and the same frame in a chunk that claims all of it
    head = cf._CHUNK_HEAD.pack(cf.CHUNK_MAGIC, len(payload), 400 << 20, 1, zlib.crc32(payload))
    claim = head + cf._CHUNK_CRC.pack(zlib.crc32(head)) + payload
    first = chunk([META])
    _, _, baseline_mb = replay_cli(write_capture(tmp_path / "plain.tlcap", first, chunk([gcall("on_trade", [None])])))
    for name, bad in (("bomb", bomb), ("claim", claim)):
        path = write_capture(tmp_path / f"{name}.tlcap", first, bad)
        assert os.path.getsize(path) < 64 * 1024
        code, err, peak_mb = replay_cli(path)
        assert_refused(code, err, f"corrupted chunk at offset {cf.FILE_HEADER_SIZE + len(first)}")
        assert peak_mb < baseline_mb + 150, (peak_mb, baseline_mb)


SCHEMA = [R_SCHEMA, 0, "pyvorn.records", "TickTrade", ["a", "b"]]


@pytest.mark.parametrize("records,words", [
    ([META, [R_CALL, 1, "on_tick_trade", WALL, 1, 1, 0]], "record 1 (byte "),
    ([META, SCHEMA, [R_CALL, 1, "on_tick_trade", WALL, 1, 1, 0, [1]]], "2 attributes with 1 values"),
    ([META, [R_CALL, 1, "on_tick_trade", WALL, 1, 1, 7, [1]]], "unknown record shape 7"),
    ([META, gcall("on_trade", "not a list")], "arguments are not a list"),
    ([META, gcall("__class__", [])], "no strategy callback"),
    ([META, gcall("on_trade", [], {1: 2})], "keywords are not a map of names"),
    ([META, [R_SCHEMA, 0, "m", "Q", "names"]], "record attribute names are not a list"),
    ([META, [R_RAISED, 1, "builtins", "ValueError", 5]], "an exception's text is not text"),
    ([META, 12], "not a list starting with its kind"),
    ([META, [R_GCALL, 1, "on_trade", -5, 1, 1, [], {}, {}]], "wall time"),
    ([META, gcall("on_trade", [ext(cv.EXT_DATETIME, [1, 2])])], "wrong shape"),
    ([META, gcall("on_trade", [ext(cv.EXT_DATETIME, [2025, 13, 1, 0, 0, 0, 0, None, 0])])], "month must be"),
    ([META, gcall("on_order", [None], pre={"config": 5})], "its recorded state does not fit"),
], ids=["call-fields", "values", "shape", "args", "callback-name", "kwargs", "schema", "raised", "not-a-list",
        "wall", "datetime-shape", "datetime-range", "pre-state"])
def test_records_of_the_wrong_shape_are_reported_with_their_offset(tmp_path, records, words):
    path = write_capture(tmp_path / "bad.tlcap", chunk(records))
    code, err, _ = replay_cli(path)
    assert_refused(code, err, "offset 16", words)


def test_a_malformed_record_ends_reading_after_the_records_before_it(tmp_path):
    good = gcall("on_trade", [None], seq=1)
    path = write_capture(tmp_path / "mixed.tlcap", chunk([META, good, good]), chunk([good, gcall("on_trade", 3)]))
    reader = CaptureReader(path)
    calls = list(reader)
    assert len(calls) == 3 and [(d.kind, d.offset) for d in reader.damage] == [
        ("malformed", cf.FILE_HEADER_SIZE + len(chunk([META, good, good])))]
    assert "record 1 (byte " in reader.damage[0].detail


def test_a_chunk_that_holds_fewer_records_than_it_says_is_corrupted(tmp_path):
    path = write_capture(tmp_path / "count.tlcap", chunk([META, gcall("on_trade", [None])], declared=3))
    code, err, _ = replay_cli(path)
    assert_refused(code, err, "2 records where the chunk says 3")


def test_limits_are_checked_on_values_not_only_on_records():
    d = Decoder()
    for value in (ext(cv.EXT_ARRAY, ["q", b"\0" * 7]), ext(cv.EXT_NDARRAY, ["<f8", [3], b"\0" * 16]),
                  ext(cv.EXT_NDARRAY, ["|O", [1], b"\0" * 8])):
        unpacker = d.unpacker()
        unpacker.feed(msgpack.packb(value, use_bin_type=True))
        with pytest.raises(CaptureValueError):
            next(unpacker)


def test_the_value_kinds_of_arrays_and_decimals_come_back_as_themselves():
    import array
    import decimal

    import numpy as np
    a = array.array("d", [1.5, -2.0])
    if sys.byteorder == "big":                       # the format keeps items little-endian
        a.byteswap()
    n = np.arange(6, dtype="<i4").reshape(2, 3)
    t = np.array(["2025-01-10T09:30"], dtype="datetime64[m]")
    values = [ext(cv.EXT_ARRAY, ["d", a.tobytes()]),
              ext(cv.EXT_NDARRAY, [n.dtype.str, [2, 3], n.tobytes()]),
              ext(cv.EXT_NDARRAY, [t.dtype.str, [1], t.tobytes()]),
              msgpack.ExtType(cv.EXT_DECIMAL, b"-1.250"), ext(cv.EXT_DECIMAL, "3E+2")]
    unpacker = Decoder().unpacker()
    unpacker.feed(msgpack.packb(values, use_bin_type=True))
    back = next(unpacker)
    assert back[0] == array.array("d", [1.5, -2.0])
    assert back[1].dtype == n.dtype and (back[1] == n).all() and back[1].flags.writeable
    assert back[2].dtype == t.dtype and back[2][0] == t[0]
    assert back[3] == decimal.Decimal("-1.250") and str(back[3]) == "-1.250" and back[4] == decimal.Decimal(300)
