"""A capture that stays on all day: records the SDK refills after the call, a
slow disk, a disk that hangs, a full disk, and a process that exits with its
capture still open."""
import os
import subprocess
import sys
import threading

import msgpack
import pytest

from conftest import make_config
from tessaline_tools import _capture_file as cf
from tessaline_tools.capture import CaptureReader, CaptureWriteError, capturing

TESTS = os.path.dirname(os.path.abspath(__file__))
R_CALL, R_GAP = 2, 9


def snapshot(t=20250110093000000, price=10.5):
    from pyvorn.enums import MarketType
    from pyvorn.records import Snapshot
    return Snapshot(security_id="000001", market_type=MarketType.SZSE, orig_time=t, last_price=price,
                    bid_price=[price - 0.01] * 5, bid_volume=[100] * 5, ask_price=[price + 0.01] * 5,
                    ask_volume=[200] * 5)


def deliver(strategy, name, record):
    try:
        getattr(strategy, name)(record)
    except Exception:                                  # the stand-in host may refuse a bare record
        pass


def raw_records(paths):
    """Every record of the capture files as msgpack reads it (extension values left packed)."""
    out = []
    for path in paths:
        with open(path, "rb") as f:
            cf.check_header(path, f)
            for _, raw, _ in cf.iter_chunks(path, f, lambda damage: None):
                unpacker = msgpack.Unpacker(raw=False, strict_map_key=False)
                unpacker.feed(raw)
                out.extend(unpacker)
    return out


# ---------------------------------------------------------------- values as the module saw them

class Trade:
    def __init__(self):
        self.client_order_id, self.price, self.fills = "C1", 10.5, [1, 2]


@pytest.mark.parametrize("callback", ["on_snapshot", "on_trade"])
def test_a_record_the_sdk_refills_after_the_call_is_captured_as_it_was(tl, tmp_path, callback):
    path = str(tmp_path / "refill.tlcap")
    Captured = capturing(tl.VornStrategy, path)
    strategy = Captured(make_config())
    record = snapshot() if callback == "on_snapshot" else Trade()
    seen = []
    for i in range(3):
        # the SDK refills one object, its list attributes in place, after each call
        if callback == "on_snapshot":
            record.last_price = 10.5 + i
            record.bid_price[0] = 20.0 + i
            seen.append((record.last_price, record.bid_price[0]))
        else:
            record.price = 10.5 + i
            record.fills[0] = 100 + i
            seen.append((record.price, record.fills[0]))
        deliver(strategy, callback, record)
    if callback == "on_snapshot":                        # and drops them afterwards
        record.bid_price = None
    else:
        record.fills = None
    Captured.capture.close()
    calls = [c for c in CaptureReader(path) if c.name == callback]
    if callback == "on_snapshot":
        got = [(c.args[0].last_price, c.args[0].bid_price[0]) for c in calls]
    else:
        got = [(c.args[0].price, c.args[0].fills[0]) for c in calls]
    assert got == seen


# ---------------------------------------------------------------- a disk that does not keep up

class Disk:
    """Stands between the writer and its file: slow, or hung until released."""

    def __init__(self, monkeypatch, delay=0.0, hang_after=None):
        self.delay, self.hang_after, self.writes = delay, hang_after, 0
        self.release = threading.Event()
        self.hung = threading.Event()
        real = cf.ChunkFile.write

        def write(chunk_file, raw, n):
            self.writes += 1
            if self.hang_after is not None and self.writes > self.hang_after:
                self.hung.set()
                self.release.wait(60)
            elif self.delay:
                self.release.wait(self.delay)
            return real(chunk_file, raw, n)
        monkeypatch.setattr(cf.ChunkFile, "write", write)


BUDGET = 64 << 10


def test_a_slow_disk_drops_calls_within_the_budget_and_marks_each_gap(tl, tmp_path, monkeypatch, logs):
    disk = Disk(monkeypatch, delay=0.05)
    path = str(tmp_path / "slow.tlcap")
    Captured = capturing(tl.VornStrategy, path, memory_budget=BUDGET, chunk_records=16, flush_interval=0.01)
    writer = Captured.capture
    strategy = Captured(make_config())
    total = 3000
    for i in range(total):
        deliver(strategy, "on_snapshot", snapshot(20250110093000000 + i))
    disk.release.set()
    with pytest.raises(CaptureWriteError, match="dropped"):
        writer.close()
    # the budget held (one record past it at most), the callbacks never waited for the disk
    assert writer.dropped > 0 and writer.peak_bytes <= BUDGET + 4096
    records = raw_records(writer.paths)
    gaps = [r for r in records if r[0] == R_GAP]
    calls = [r for r in records if r[0] == R_CALL]
    assert len(calls) + writer.dropped == total and writer.calls == len(calls) + 1       # + the construction
    assert sum(g[1] for g in gaps) == writer.dropped and len(gaps) == writer.gaps
    for _, dropped, first_ns, last_ns, before, after in gaps:
        assert dropped > 0 and first_ns <= last_ns and after == before + 1
    # the gap sits where the calls went missing: between the calls it names (the last may end the capture)
    at = {r[1]: i for i, r in enumerate(records) if r[0] == R_CALL}
    assert all(at.get(g[5], len(records)) > records.index(g) > at.get(g[4], -1) for g in gaps)
    warnings = [w for w in logs.user.warnings if "dropped" in w]
    assert len(warnings) == 1 and "memory budget" in warnings[0]
    reader = CaptureReader(writer.paths)
    assert sum(1 for _ in reader) == len(calls) + 1 and reader.complete


def test_a_hung_disk_neither_blocks_nor_grows_and_close_gives_up_in_time(tl, tmp_path, monkeypatch, logs):
    disk = Disk(monkeypatch, hang_after=1)
    path = str(tmp_path / "hung.tlcap")
    Captured = capturing(tl.VornStrategy, path, memory_budget=BUDGET, chunk_records=16, flush_interval=0.01,
                         close_timeout=0.5)
    writer = Captured.capture
    strategy = Captured(make_config())
    for i in range(5000):
        deliver(strategy, "on_snapshot", snapshot(20250110093000000 + i))
        if i == 100:
            assert disk.hung.wait(30)
    try:
        assert writer.peak_bytes <= BUDGET + 4096 and writer.dropped > 4000
        with pytest.raises(CaptureWriteError, match="did not answer within 0.5 s"):
            writer.close()
        assert isinstance(writer.error, TimeoutError)
        held = writer.pending_bytes                     # the chunk the stuck write holds, nothing more
        for i in range(100):
            deliver(strategy, "on_snapshot", snapshot(20250110093100000 + i))
        assert writer.pending_bytes == held <= BUDGET + 4096
        assert any("did not answer" in w for w in logs.user.warnings)
        writer.close()                                  # once given up, closing again is quiet
    finally:
        disk.release.set()


# ---------------------------------------------------------------- a full disk, and the process's exit

@pytest.fixture(params=["tmpfs", "rlimit"])
def full_disk(request, tmp_path):
    """(directory, limit): a directory on a tiny tmpfs (as root, where mounting works), or
    a file size limit for the child process (RLIMIT_FSIZE, SIGXFSZ ignored)."""
    if request.param == "rlimit":
        yield str(tmp_path), 96 << 10
        return
    if os.geteuid() != 0:
        pytest.skip("mounting a tmpfs needs root")
    mnt = tmp_path / "mnt"
    mnt.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=96k", "tmpfs", str(mnt)],
                      capture_output=True).returncode != 0:
        pytest.skip("no tmpfs mount here")
    try:
        yield str(mnt), None
    finally:
        subprocess.run(["umount", "-l", str(mnt)], capture_output=True)


CHILD = """
import os, resource, signal, sys, time
limit, path, mode = int(sys.argv[1]), sys.argv[2], sys.argv[3]
if limit:
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
import corvix.tarrow.utils.tessaline as tl
from conftest import make_config
from pyvorn.enums import MarketType
from pyvorn.records import Snapshot
from tessaline_tools import _capture_file as cf
from tessaline_tools.capture import CaptureWriteError, capturing

if mode == "hung":
    import threading
    real = cf.ChunkFile.write
    def write(f, raw, n, _hang=threading.Event()):
        if f.chunks >= 1:
            _hang.wait()
        return real(f, raw, n)
    cf.ChunkFile.write = write
Captured = capturing(tl.VornStrategy, path, chunk_records=64, flush_interval=0.01, close_timeout=1.0)
strategy = Captured(make_config())
for i in range(int(sys.argv[4])):
    snap = Snapshot(security_id="000001", market_type=MarketType.SZSE, orig_time=20250110093000000 + i,
                    last_price=10.0 + i, bid_price=[float(i)] * 10, ask_price=[float(i)] * 10)
    try:
        strategy.on_snapshot(snap)
    except Exception:
        pass
    if i % 500 == 0:
        time.sleep(0.01)
if mode == "closed":
    try:
        Captured.capture.close()
    except CaptureWriteError as exc:
        print("close:", exc)
w = Captured.capture
print("error:", type(w.error).__name__ if w.error else None, "dropped:", w.dropped, "calls:", w.calls)
"""


def run_child(tmp_path, limit, path, mode, calls):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([TESTS, os.environ.get("PYTHONPATH", "")]))
    return subprocess.run([sys.executable, "-c", CHILD, str(limit or 0), path, mode, str(calls)], env=env,
                          capture_output=True, text=True, timeout=300, cwd=str(tmp_path))


@pytest.mark.parametrize("mode", ["closed", "left open"])
def test_a_full_disk_is_reported_whether_closed_or_left_open_at_exit(tmp_path, full_disk, mode):
    directory, limit = full_disk
    path = os.path.join(directory, "full.tlcap")
    child = run_child(tmp_path, limit, path, "closed" if mode == "closed" else "open", 20000)
    assert child.returncode == 0 and "Traceback" not in child.stderr, child.stderr
    why = "File too large" if limit else "No space left on device"
    status = next(line for line in child.stdout.splitlines() if line.startswith("error:"))
    assert status.split()[1] == "OSError" and int(status.split()[3]) > 0
    # the host's log heard it once, when it happened
    assert child.stderr.count(f"cannot write: {why}") == 1
    lines = [line for line in child.stderr.splitlines() if line.startswith("tessaline-capture:")]
    if mode == "closed":
        assert f"could not be written completely: {why}" in child.stdout and lines == []
    else:
        # nobody closed it: the exit says so, once, on stderr
        assert len(lines) == 1 and why in lines[0] and "dropped" in lines[0]
    reader = CaptureReader(path)
    kept = sum(1 for _ in reader)
    assert 0 < kept < 20001 and not reader.complete


@pytest.mark.parametrize("mode", ["open", "hung"])
def test_a_process_exits_with_its_capture_open(tmp_path, mode):
    path = str(tmp_path / "exit.tlcap")
    child = run_child(tmp_path, None, path, mode, 3000)
    assert child.returncode == 0 and "Traceback" not in child.stderr, child.stderr
    if mode == "open":
        # closed at exit: complete, and nothing to say
        assert child.stderr == ""
        reader = CaptureReader(path)
        assert sum(1 for _ in reader) == 3001 and reader.complete
    else:
        lines = [line for line in child.stderr.splitlines() if line.startswith("tessaline-capture:")]
        assert len(lines) == 1 and "did not answer within 1 s" in lines[0]


def test_the_first_call_of_a_new_local_day_opens_that_day_s_file(tl, tmp_path):
    Captured = capturing(tl.VornStrategy, str(tmp_path / "day-{date}.tlcap"))
    strategy = Captured(make_config())
    deliver(strategy, "on_snapshot", snapshot())
    Captured.capture._rec.day_end_ns = 0                # noqa: SLF001 - the local day ends now
    deliver(strategy, "on_snapshot", snapshot(price=11.0))
    Captured.capture.close()
    first, second = (list(CaptureReader(p)) for p in Captured.capture.paths)
    assert [c.name for c in first] == ["__init__", "on_snapshot"] and [c.name for c in second] == ["on_snapshot"]
    assert second[0].args[0].last_price == 11.0


@pytest.mark.parametrize("mode", ["replay", "compare"])
def test_the_replay_reports_a_gap_and_a_comparison_distrusts_what_follows(tl, tmp_path, monkeypatch, mode):
    disk = Disk(monkeypatch, delay=0.05)
    path = str(tmp_path / "gap.tlcap")
    Captured = capturing(tl.VornStrategy, path, memory_budget=BUDGET, chunk_records=16, flush_interval=0.01)
    strategy = Captured(make_config())
    for i in range(2000):
        deliver(strategy, "on_snapshot", snapshot(20250110093000000 + i))
    disk.release.set()
    with pytest.raises(CaptureWriteError):
        Captured.capture.close()
    assert Captured.capture.dropped > 0
    impls = ["--impl", tl.__file__] * (2 if mode == "compare" else 1)
    p = subprocess.run([sys.executable, "-m", "tessaline_tools.replay", "--no-progress", path, *impls],
                       capture_output=True, text=True, timeout=600)
    assert "Traceback" not in p.stderr and p.returncode in (0, 1), p.stdout + p.stderr
    assert "the capture dropped" in p.stderr
    assert ("cannot be trusted" in p.stderr) == (mode == "compare")
