"""Capture, replay and comparison of implementations (``tessaline_tools``).

A short simulated session (5 instruments, 11 + 11 minutes, two days) is
captured once per delivery mode; the replays must give the very events the
live host drained.  Changed copies of the module are made by patching a
same-length string in a copy of the installed extension (a log text, an event
keyword) and, for a changed counter, by a small Python implementation that
loads the extension and counts each bar time's first bar twice."""
import hashlib
import os
import shutil
import struct
import zlib

import pytest

from tessaline_sim import cli
from tessaline_sim.host import canonical
from tessaline_sim.session import Options, run_simulation
from tessaline_tools import _capture_file as cf
from tessaline_tools import replay as rp
from tessaline_tools.capture import CaptureReader, capturing

SHORT = dict(instruments=5, days=2, minutes_per_half=11, seed=7)


@pytest.fixture(scope="module")
def sessions(tmp_path_factory):
    """One captured session per delivery mode: (capture path, report, host, result, vorn_context ok)."""
    import corvix.tarrow.utils.tessaline as tl
    out = {}
    for mode in ("single", "threaded"):
        path = str(tmp_path_factory.mktemp(mode) / "session.tlcap")
        report, host, result = run_simulation(Options(**SHORT, threaded=mode == "threaded", capture_path=path))
        out[mode] = path, report, host, result, tl.vorn_params.get("vorn_context") is host.sim.context
    return out


def _digests(events):
    seq, content = hashlib.sha256(), 0
    for ev in events:
        h = hashlib.blake2b(repr(canonical(ev)).encode(), digest_size=8).digest()
        seq.update(h)
        content = (content + int.from_bytes(h, "big")) & 0xFFFF_FFFF_FFFF_FFFF
    return seq.hexdigest(), f"{content:016x}"


@pytest.mark.parametrize("mode", ["single", "threaded"])
def test_replay_gives_the_live_events(sessions, tl, mode):
    path, report, host, result, context_kept = sessions[mode]
    assert report["ok"] and context_kept            # the capture hid no host failure, vorn_params holds the SDK context
    events = []
    summary, reader = rp.replay_capture(tl, path, observe=lambda out: events.extend(out.events))
    assert reader.complete and not reader.damage
    # every SDK delivery, timers included, plus the construction
    assert summary["calls"] == result.total_calls + 1 == result.capture.calls
    assert summary["callbacks"]["set_timer"] == 3 and summary["callbacks"]["__init__"] == 1
    assert summary["events"] == {k: v for k, v in host.drained.items() if v}
    seq, content = _digests(events)
    assert content == host.content_digest
    if mode == "single":
        assert seq == host.sequence_digest
    assert not summary["raised_live"] and not summary["raised_replay"]


@pytest.mark.parametrize("mode", ["single", "threaded"])
def test_the_captured_strategy_never_has_its_attributes_moved_into_a_dict(sessions, mode):
    """The capture never takes the strategy's ``__dict__``: once an instance's ``__dict__`` is
    taken, every callback the SDK makes on it pays for a full method lookup (the interpreter
    stops specialising them).  Its own state is not among the strategy's attributes either (the
    module reads those on every callback: their keys stay as uncaptured), and no thread is left
    marked as inside a call (every later call on that thread would go unrecorded)."""
    import gc
    from tessaline_tools import capture
    strategy = sessions[mode][2].sim.context.strategy
    assert type(strategy).__name__ == "CapturedVornStrategy"
    assert not [r for r in gc.get_referents(strategy) if type(r) is dict and "config" in r]
    assert [k for k in vars(strategy) if k.startswith("_tsl_")] == []      # takes the dict: checked last
    assert capture._inside == {}


def test_replay_is_deterministic_and_reads_captured_context_calls(sessions, tl):
    path = sessions["single"][0]
    runs = []
    for _ in range(2):
        seen = []
        rp.replay_capture(tl, path, observe=lambda out: seen.append(
            (out.call.name, [e.event_type.name for e in out.events], [c[0] for c in out.context_calls])))
        runs.append(seen)
    assert runs[0] == runs[1]
    init = next(s for s in runs[0] if s[0] == "initialize")
    assert init[2] == ["add_md_broker", "set_order_way", "add_td_broker", "add_algo_broker", "subscribe",
                       "add_timer_interval", "add_timer_interval", "add_timer_interval", "add_timer_interval"]
    reader = CaptureReader(path)
    calls = list(reader)
    # the live registrations are in the capture too, and fired timers name their registration
    assert reader.context_calls["add_timer_interval"] == 4 + 3 + 3
    fired = [c for c in calls if c.name.startswith("send_") or c.name == "set_timer"]
    assert fired and all(isinstance(c.pre.get("timer"), int) for c in fired)


# ---------------------------------------------------------------- comparing implementations

def _so(tl):
    return tl.__file__


def _patched_copy(tl, tmp_path, old, new, name):
    assert len(old) == len(new)
    data = bytearray(open(_so(tl), "rb").read())
    needle = b"\x00" + old + b"\x00"
    assert data.count(needle) == 1
    i = data.index(needle)
    data[i + 1:i + 1 + len(old)] = new
    path = tmp_path / name
    path.write_bytes(bytes(data))
    return str(path)


def _compare(capsys, *argv):
    code = rp.main(list(argv))
    out = capsys.readouterr()
    return code, out.out, out.err


def test_two_copies_of_the_module_agree(sessions, tl, tmp_path, capsys):
    a, b = tmp_path / "a.so", tmp_path / "other-name.so"
    shutil.copy(_so(tl), a)
    shutil.copy(_so(tl), b)
    code, out, err = _compare(capsys, sessions["single"][0], "--impl", str(a), "--impl", str(b),
                              "--json", str(tmp_path / "r.json"))
    assert code == 0, out + err
    assert "agree on all" in out
    import json
    result = json.load(open(tmp_path / "r.json"))
    assert result["agree"] is True and result["calls_compared"] == sessions["single"][3].capture.calls


def _first_position(path, name, nth=0):
    return [c.position for c in CaptureReader(path) if c.name == name][nth]


@pytest.mark.parametrize("old,new,callback,part", [
    (b"VornStrategy initialize...", b"VornStrategy initialise...", "initialize", "log lines"),
    (b"l2_transaction", b"l2_transactiom", "on_tick_trade", "fields"),
])
def test_a_changed_copy_is_reported_at_its_first_call(sessions, tl, tmp_path, capsys, old, new, callback, part):
    path = sessions["single"][0]
    changed = _patched_copy(tl, tmp_path, old, new, "changed.so")
    code, out, err = _compare(capsys, path, "--impl", _so(tl), "--impl", changed, "--json", str(tmp_path / "r.json"))
    assert code == 1, out + err
    import json
    first = json.load(open(tmp_path / "r.json"))["differences"][0]
    assert first["callback"] == callback and first["position"] == _first_position(path, callback)
    assert f"#{first['position']} {callback}" in out and part in out


WRAPPED_IMPL = '''
import copy
import sys
from importlib.machinery import ExtensionFileLoader
from importlib.util import module_from_spec, spec_from_file_location

_loader = ExtensionFileLoader(__name__, {so!r})
_real = module_from_spec(spec_from_file_location(__name__, {so!r}, loader=_loader))
sys.modules[__name__] = _real
_loader.exec_module(_real)


class VornStrategy(_real.VornStrategy):
{body}


_real.VornStrategy = VornStrategy
'''


def _wrapped_impl(tl, tmp_path, body, name="changed.py"):
    """A Python implementation: the installed extension with ``body`` overriding some methods."""
    path = tmp_path / name
    path.write_text(WRAPPED_IMPL.format(so=_so(tl), body=body))
    return str(path)


COUNTER = '''
    def on_bar(self, bar):
        super().on_bar(bar)
        if self.bar_cnt == 1:
            self.bar_cnt = 2          # a bar time's first bar counted twice
'''


def test_a_changed_counter_is_reported_at_the_bar_that_completes_early(sessions, tl, tmp_path, capsys):
    path = sessions["single"][0]
    impl = _wrapped_impl(tl, tmp_path, COUNTER)
    code, out, err = _compare(capsys, path, "--impl", _so(tl), "--impl", impl, "--json", str(tmp_path / "r.json"))
    assert code == 1, out + err
    import json
    first = json.load(open(tmp_path / "r.json"))["differences"][0]
    # five instruments: the fourth bar of the first bar time now completes it
    assert first["callback"] == "on_bar" and first["position"] == _first_position(path, "on_bar", 3)
    assert "events: 0 (none)  vs  1 (BAR)" in out


LIVE_ORDER = '''
    def on_order(self, order):
        n = len(_real.event_queue)
        super().on_order(order)
        for ev in list(_real.event_queue)[n:]:
            ev.order = _real.orders_dict[order.client_order_id]      # the live order, not a copy
'''
RAISES = '''
    def on_trade(self, trade):
        raise RuntimeError("trade feed closed")
'''
EXTRA_CALL = '''
    def initialize(self, config):
        super().initialize(config)
        self.context.set_order_way("direct")
'''
COPIED_DATE = '''
    def send_before_trading_event(self):
        super().send_before_trading_event()
        ev = _real.event_queue[-1]
        ev.trading_dt = copy.copy(ev.trading_dt)                    # equal, but no longer the same object
'''


@pytest.mark.parametrize("body,callback,words", [
    (LIVE_ORDER, "on_order", "order <shared with>: nothing: an object of its own  vs  orders_dict["),
    (RAISES, "on_trade", "exception: no exception  vs  RuntimeError: trade feed closed"),
    (EXTRA_CALL, "initialize", "context calls:"),
    (COPIED_DATE, "send_before_trading_event", "trading_dt: <same object as event[0].calendar_dt>  vs  "),
], ids=["live-order-for-a-copy", "raises", "extra-context-call", "copy-for-the-same-object"])
def test_what_a_comparison_tells_apart(sessions, tl, tmp_path, capsys, body, callback, words):
    path = sessions["single"][0]
    first = {}

    def note(out):
        if out.call.name == callback and callback not in first and (out.events or callback != "on_order"):
            first[callback] = out.call.position
    rp.replay_capture(tl, path, observe=note)
    code, out, err = _compare(capsys, path, "--impl", _so(tl), "--impl", _wrapped_impl(tl, tmp_path, body),
                              "--show", "1")
    assert code == 1, out + err
    assert f"#{first[callback]} {callback}" in out and words in out, out


def test_an_implementation_that_does_not_import_is_reported(sessions, tl, tmp_path, capsys):
    broken = tmp_path / "broken.py"
    broken.write_text("raise ImportError('no such host name: Environment')\n")
    garbage = tmp_path / "garbage.so"
    garbage.write_bytes(b"\x7fELF not really")
    for impl, words in ((broken, "no such host name: Environment"), (garbage, "does not import")):
        code, out, err = _compare(capsys, sessions["single"][0], "--impl", _so(tl), "--impl", str(impl))
        assert code == 2 and "failed to import" in err and words in err and "Traceback" not in err


# ---------------------------------------------------------------- damaged and foreign files

def _chunk_offsets(path):
    with open(path, "rb") as f:
        cf.check_header(path, f)
        return [off for off, _, _ in cf.iter_chunks(path, f, lambda d: None)]


def test_torn_and_corrupted_captures_are_reported_and_read_up_to_the_damage(sessions, tmp_path, capsys):
    src = sessions["single"][0]
    offsets = _chunk_offsets(src)
    assert len(offsets) >= 3
    size = os.path.getsize(src)

    torn = tmp_path / "torn.tlcap"
    torn.write_bytes(open(src, "rb").read()[:size - 7])
    reader = CaptureReader(str(torn))
    n = sum(1 for _ in reader)
    assert [(d.kind, d.offset) for d in reader.damage] == [("torn", offsets[-1])]
    assert 0 < n and not reader.complete

    corrupt = tmp_path / "corrupt.tlcap"
    data = bytearray(open(src, "rb").read())
    data[offsets[2] + cf.CHUNK_HEADER_SIZE + 5] ^= 0xFF
    corrupt.write_bytes(bytes(data))
    reader = CaptureReader(str(corrupt))
    calls = list(reader)
    assert [(d.kind, d.offset) for d in reader.damage] == [("corrupted", offsets[2])]
    assert calls and calls[-1].position == len(calls) - 1

    for path, word in ((torn, f"torn chunk at offset {offsets[-1]}"), (corrupt, f"corrupted chunk at offset {offsets[2]}")):
        code, out, err = _compare(capsys, str(path))
        assert code == 2 and word in err and "Traceback" not in err


def test_files_that_are_not_captures_are_refused_clearly(tmp_path, capsys):
    text = tmp_path / "notes.txt"
    text.write_text("hello\n")
    short = tmp_path / "short.tlcap"
    short.write_bytes(cf.MAGIC[:5])
    future = tmp_path / "future.tlcap"
    head = struct.pack("<8sHH", cf.MAGIC, 9, 0)
    future.write_bytes(head + struct.pack("<I", zlib.crc32(head)))
    for path, words in ((text, "not a capture file"), (short, "truncated capture"),
                        (future, "format version 9 is not supported"),
                        (tmp_path / "absent.tlcap", "cannot read")):
        code, out, err = _compare(capsys, str(path))
        assert code == 2 and words in err and "Traceback" not in err


# ---------------------------------------------------------------- capture by itself

class Snap:
    """A snapshot record without ``iopv``: the module raises on reading it."""

    def __init__(self, t):
        from pyvorn.enums import MarketType
        self.orig_time, self.security_id, self.market_type = t, "000001", MarketType.SZSE
        for name in ("open_price", "close_price", "high_price", "low_price", "total_value_trade",
                     "total_volume_trade", "pre_close_price", "high_limited", "last_price", "low_limited",
                     "open_interest", "prev_settlement", "trading_phase_code"):
            setattr(self, name, 1.5)
        self.ask_volume, self.ask_price, self.bid_volume, self.bid_price = [1], [2.0], [3], [4.0]


def test_a_callback_that_raises_is_captured_and_raises_again_in_the_replay(tl, tmp_path):
    from conftest import make_config
    path = str(tmp_path / "raise.tlcap")
    Captured = capturing(tl.VornStrategy, path)
    strategy = Captured(make_config())
    for t in (20250110093000000, 20250110093003000):
        with pytest.raises(AttributeError) as live:
            strategy.on_snapshot(Snap(t))
    strategy.on_trade(object())
    Captured.capture.close()
    summary, reader = rp.replay_capture(tl, path)
    assert summary["raised_live"] == summary["raised_replay"] == {
        "1": ["on_snapshot", "AttributeError", str(live.value)], "2": ["on_snapshot", "AttributeError", str(live.value)]}
    assert summary["raised_differently"] == []


def test_values_keep_their_kind(tmp_path):
    import datetime as dt

    import numpy as np

    from corvix.tarrow.const import SIDE
    from tessaline_tools._capture_values import Decoder, Encoder, Missing, freeze

    class Slotted:
        __slots__ = ("a", "b")

    s = Slotted()
    s.a, s.b = [1, 2], SIDE.BUY
    value = [SIDE.SELL, (1, "x"), 2 ** 70, -(2 ** 65), dt.datetime(2025, 1, 10, 9, 30, 0, 5), dt.date(2025, 1, 10),
             {1: "int key", "k": [1.5, None, True]}, np.float64(2.5), frozenset({3}), Missing("builtins",
             "AttributeError", "no"), b"\x00\x01", freeze(s)]
    raw = Encoder().pack(freeze(value))
    unpacker = Decoder().unpacker()
    unpacker.feed(raw)
    (back,) = list(unpacker)
    assert back[0] is SIDE.SELL and back[1] == (1, "x") and type(back[1]) is tuple
    assert back[2:9] == value[2:9] and type(back[7]) is np.float64
    assert back[9] == value[9] and back[10] == b"\x00\x01"
    assert type(back[11]).__qualname__.endswith("Slotted") and back[11].a == [1, 2] and back[11].b is SIDE.BUY


def test_rotation_by_size_keeps_every_call_and_each_file_stands_alone(tl, tmp_path):
    from conftest import make_config
    base = str(tmp_path / "rot.tlcap")
    Captured = capturing(tl.VornStrategy, base, max_bytes=600, chunk_records=4, flush_interval=0.01)
    strategy = Captured(make_config())
    for i in range(60):
        strategy.on_trade(object())
        if i % 8 == 0:
            Captured.capture.flush()
    Captured.capture.close()
    paths = Captured.capture.paths
    assert len(paths) >= 3 and paths[0] == base and paths[1].endswith("rot.0001.tlcap")
    reader = CaptureReader(paths)
    assert sum(1 for _ in reader) == 61 and reader.complete and len(reader.meta) == len(paths)
    alone = CaptureReader(paths[-1])
    list(alone)
    assert alone.carry is not None and "config" in alone.carry
    # a later file replays by itself: a strategy is built for it from the carried configuration
    middle = CaptureReader(paths[1])
    list(middle)
    summary, _ = rp.replay_capture(tl, paths[1])
    assert summary["constructed_for_replay"] and summary["calls"] == middle.calls > 0
    assert set(summary["callbacks"]) == {"on_trade"}


def test_a_plain_replay_writes_its_summary_as_json(sessions, tmp_path, capsys):
    import json
    path = sessions["single"][0]
    code, out, err = _compare(capsys, path, "--json", str(tmp_path / "s.json"))
    assert code == 0 and f"replayed {sessions['single'][3].capture.calls} calls" in out
    summary = json.load(open(tmp_path / "s.json"))
    assert summary["calls"] == sessions["single"][3].capture.calls and summary["capture_complete"]
    assert summary["events"]["TICK"] == summary["callbacks"]["on_snapshot"]


def test_the_simulator_writes_a_capture_and_refuses_to_overwrite_one(tmp_path, capsys):
    path = str(tmp_path / "sim.tlcap")
    argv = ["--instruments", "3", "--days", "1", "--minutes-per-half", "11", "--quiet", "--capture", path]
    assert cli.main(argv) == 0
    assert "tessaline-replay " + path in capsys.readouterr().err
    assert cli.main(argv) == 2
    assert "exists already" in capsys.readouterr().err


def test_one_file_per_day_is_named_by_the_local_date_and_never_overwritten(tl, tmp_path):
    import time as _time

    from conftest import make_config
    template = str(tmp_path / "cap-{date}.tlcap")
    names = []
    for _ in range(2):
        Captured = capturing(tl.VornStrategy, template)
        Captured(make_config()).on_trade(object())
        Captured.capture.close()
        names.append(os.path.basename(Captured.capture.paths[0]))
    today = _time.strftime("%Y%m%d")
    assert names == [f"cap-{today}.tlcap", f"cap-{today}.0001.tlcap"]
    with pytest.raises(FileExistsError):
        capturing(tl.VornStrategy, str(tmp_path / names[0]))


class Side(__import__("enum").IntEnum):
    BUY = 49


class TickOrder:
    """A level-2 order whose codes are an IntEnum member and whose price comes as a tuple."""

    def __init__(self):
        from pyvorn.enums import MarketType
        self.order_time, self.security_id, self.market_type = 20250110093000000, "000001", MarketType.SZSE
        self.side, self.order_type, self.biz_index = Side.BUY, 50, 7
        self.order_price, self.order_volume, self.orig_order_no = (10.5, "CNY"), 2 ** 70, 0


def test_market_data_values_that_a_plain_array_would_lose_are_kept(tl, tmp_path):
    from conftest import make_config
    path = str(tmp_path / "kinds.tlcap")
    Captured = capturing(tl.VornStrategy, path)
    strategy = Captured(make_config())
    try:
        strategy.on_tick_order(TickOrder())
    except Exception:                                  # the stand-in host may refuse the odd values
        pass
    Captured.capture.close()
    (call,) = [c for c in CaptureReader(path) if c.name == "on_tick_order"]
    record = call.args[0]
    assert record.side is Side.BUY and record.order_price == (10.5, "CNY") and type(record.order_price) is tuple
    assert record.order_volume == 2 ** 70 and record.biz_index == 7


def test_a_value_that_cannot_be_packed_costs_only_itself(tl, tmp_path):
    from conftest import make_config
    deep = []
    for _ in range(2000):
        deep = [deep]
    odd = TickOrder()
    odd.orig_order_no = deep
    path = str(tmp_path / "odd.tlcap")
    Captured = capturing(tl.VornStrategy, path)
    strategy = Captured(make_config())
    for record in (odd, TickOrder()):
        try:
            strategy.on_tick_order(record)
        except Exception:                              # the stand-in host may refuse the odd values
            pass
    Captured.capture.close()
    assert Captured.capture.salvaged == 1 and Captured.capture.error is None
    calls = [c for c in CaptureReader(path) if c.name == "on_tick_order"]
    assert len(calls) == 2 and calls[1].args[0].orig_order_no == 0


values = __import__("hypothesis").strategies


@__import__("hypothesis").given(values.recursive(
    values.none() | values.booleans() | values.integers() | values.floats(allow_nan=False) | values.text()
    | values.binary() | values.datetimes() | values.sampled_from(list(Side)),
    lambda inner: values.lists(inner) | values.tuples(inner, inner)
    | values.dictionaries(values.integers() | values.text(), inner) | values.frozensets(values.integers()),
    max_leaves=20))
def test_any_plain_value_comes_back_as_itself(value):
    from tessaline_tools._capture_values import Decoder, Encoder, freeze

    def shape(v):
        if isinstance(v, (list, tuple)):
            return (type(v).__name__, [shape(x) for x in v])
        if isinstance(v, dict):
            return ("dict", [(shape(k), shape(x)) for k, x in v.items()])
        return (type(v).__name__, v)
    unpacker = Decoder().unpacker()
    unpacker.feed(Encoder().pack(freeze(value)))
    (back,) = list(unpacker)
    assert shape(back) == shape(value)


@pytest.mark.parametrize("level", [-30, -1, 3])
@pytest.mark.parametrize("short_writes", [False, True])
def test_written_chunks_read_back_whole(tmp_path, monkeypatch, level, short_writes):
    """Chunks of every size the writer meets (a lone record, a few kilobytes, more than a
    segment of data that does not compress) come back byte for byte, their checksums
    holding for the reader's own CRC-32, also when the system writes only part of a chunk."""
    if short_writes:
        real = os.writev
        monkeypatch.setattr(cf.os, "writev", lambda fd, parts: real(fd, [b"".join(parts)[:13]]))
    rng = __import__("random").Random(7)
    raws = [b"\x93\x02\x01\xa4name", bytes(range(256)) * 30, rng.randbytes(3 << 20)]
    path = str(tmp_path / "chunks.tlcap")
    f = cf.ChunkFile(path, level)
    for i, raw in enumerate(raws):
        f.write(raw, i + 1)
    f.close()
    assert f.size == os.path.getsize(path)
    damage = []
    with open(path, "rb") as r:
        cf.check_header(path, r)
        back = [(raw, n) for _, raw, n in cf.iter_chunks(path, r, damage.append)]
    assert damage == [] and back == [(raw, i + 1) for i, raw in enumerate(raws)]


@pytest.mark.parametrize("advice_fails", [False, True])
def test_written_chunks_are_sent_on_and_leave_the_cache(tmp_path, monkeypatch, advice_fails):
    """Each time the file is sent on to the disk, the advice covers what was sent on the
    time before (written back by now, so it leaves the cache) as well as what is new;
    closing covers the rest.  A system that refuses the advice changes nothing."""
    calls = []

    def advise(fd, offset, length, advice):
        calls.append((offset, length, advice))
        if advice_fails:
            raise OSError(22, "Invalid argument")

    monkeypatch.setattr(cf, "_fadvise", advise)
    monkeypatch.setattr(cf, "SEND_ON_BYTES", 1)
    path = str(tmp_path / "sent.tlcap")
    f = cf.ChunkFile(path, 3)
    raws, ends = [b"\x91\x01" * n for n in (10, 2000, 30)], []
    for raw in raws:
        f.write(raw, 1)
        ends.append(f.size)
    f.close()
    dontneed = os.POSIX_FADV_DONTNEED
    assert calls == [(0, 0, dontneed), (0, 0, dontneed), (ends[0], 0, dontneed), (ends[1], 0, dontneed)]
    with open(path, "rb") as r:
        cf.check_header(path, r)
        assert [raw for _, raw, _ in cf.iter_chunks(path, r, pytest.fail)] == raws
