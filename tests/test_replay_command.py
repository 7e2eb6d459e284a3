"""``tessaline-replay`` as a command: exit statuses, outputs, interruptions, file order."""
import json
import os
import signal
import subprocess
import sys
import time

import pytest

from tessaline_sim.session import Options, run_simulation
from tessaline_tools.capture import CaptureReader, capturing

SHORT = dict(instruments=3, days=1, minutes_per_half=11, seed=11)


@pytest.fixture(scope="module")
def capture(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("cmd") / "day.tlcap")
    run_simulation(Options(**SHORT, capture_path=path))
    return path


def cli(*argv, **kwargs):
    return subprocess.run([sys.executable, "-m", "tessaline_tools.replay", "--no-progress", *map(str, argv)],
                          capture_output=True, text=True, timeout=900, **kwargs)


def one_line(err):
    lines = [line for line in err.splitlines() if line.strip()]
    assert len(lines) == 1 and "Traceback" not in err, err
    return lines[0]


IMPORT_FAILURES = {
    "exits": "import os\nos._exit(3)\n",
    "system-exit": "raise SystemExit(0)\n",
    "crashes": "import ctypes\nctypes.string_at(0)\n",
    "raises": "raise ImportError('no such host name: Environment')\n",
}


@pytest.mark.parametrize("how", sorted(IMPORT_FAILURES))
@pytest.mark.parametrize("mode", ["replay", "compare"])
def test_an_implementation_that_fails_at_import_exits_2_in_every_mode(capture, tl, tmp_path, how, mode):
    broken = tmp_path / "broken.py"
    broken.write_text(IMPORT_FAILURES[how])
    impls = ["--impl", str(broken)] if mode == "replay" else ["--impl", tl.__file__, "--impl", str(broken)]
    p = cli(capture, *impls, "--json", tmp_path / "r.json")
    assert p.returncode == 2, p.stdout + p.stderr
    assert "failed to import" in one_line(p.stderr) and "broken.py" in p.stderr
    assert json.load(open(tmp_path / "r.json"))["agree"] is None


@pytest.mark.parametrize("option", ["--json", "--html"])
def test_outputs_are_checked_before_any_work(capture, tmp_path, option):
    slow = tmp_path / "slow.py"
    slow.write_text("import time\ntime.sleep(600)\n")            # never reached
    start = time.monotonic()
    p = cli(capture, "--impl", slow, option, tmp_path / "absent" / "r.out")
    assert p.returncode == 2 and "no such directory" in one_line(p.stderr)
    assert time.monotonic() - start < 300 and not (tmp_path / "absent").exists()


def test_a_closed_pipe_ends_the_output_quietly(capture):
    p = subprocess.Popen([sys.executable, "-m", "tessaline_tools.replay", "--no-progress", capture],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    p.stdout.close()
    _, err = p.communicate(timeout=900)
    assert p.returncode == 0 and b"BrokenPipe" not in err and b"Traceback" not in err, err


def test_ctrl_c_exits_130_with_one_line_and_leaves_nothing_behind(capture, tl, tmp_path):
    slow = tmp_path / "slow.py"
    slow.write_text("import time\ntime.sleep(600)\n")
    out = tmp_path / "out"
    out.mkdir()
    p = subprocess.Popen([sys.executable, "-m", "tessaline_tools.replay", "--no-progress", capture,
                          "--impl", tl.__file__, "--impl", str(slow), "--json", str(out / "r.json")],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(3)
    p.send_signal(signal.SIGINT)
    _, err = p.communicate(timeout=120)
    assert p.returncode == 130 and one_line(err) == "tessaline-replay: interrupted"
    assert os.listdir(out) == []
    # the replay processes went with it
    assert not [cmd for cmd in _command_lines() if str(slow) in cmd]


def _command_lines():
    """Every process's command line, read from /proc (no external tool: under the sanitizer
    run a preloaded runtime can hang one)."""
    out = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                out.append(f.read().replace(b"\0", b" ").decode(errors="replace"))
        except OSError:                                # the process ended meanwhile
            pass
    return out


def test_a_plain_replay_never_exits_1(tmp_path, capture):
    other = tmp_path / "notes.txt"
    other.write_text("not a capture")
    assert cli(capture).returncode == 0
    p = cli(capture, other)
    assert p.returncode == 2 and "not a capture file" in p.stderr


# ---------------------------------------------------------------- the files of a rotated capture

@pytest.fixture(scope="module")
def rotated(tmp_path_factory):
    import corvix.tarrow.utils.tessaline as tl
    from conftest import make_config
    base = str(tmp_path_factory.mktemp("rot") / "rot.tlcap")
    Captured = capturing(tl.VornStrategy, base, max_bytes=600, chunk_records=4, flush_interval=0.01)
    strategy = Captured(make_config())
    for i in range(60):
        strategy.on_trade(object())
        if i % 8 == 0:
            Captured.capture.flush()
    Captured.capture.close()
    assert len(Captured.capture.paths) >= 4
    return Captured.capture.paths


def test_rotated_files_are_replayed_in_their_recorded_order(rotated, tmp_path):
    p = cli(*reversed(rotated), "--json", tmp_path / "r.json")
    assert p.returncode == 0, p.stderr
    assert "out of their recorded order" in p.stderr and "replayed as recorded" in p.stderr
    result = json.load(open(tmp_path / "r.json"))
    assert result["calls"] == 61 and [f["path"] for f in result["files"]] == rotated
    assert result["captures"] == [{"capture": rotated, "calls": 61, "seconds": result["captures"][0]["seconds"]}]


@pytest.mark.parametrize("pick,words", [
    (lambda paths: [paths[0], paths[2], paths[3]], "1 file(s) missing"),
    (lambda paths: [paths[0], paths[1], paths[1]], "given twice"),
], ids=["missing", "repeated"])
def test_a_missing_or_repeated_file_is_reported(rotated, tmp_path, pick, words):
    files = pick(rotated)
    p = cli(*files, "--json", tmp_path / "r.json")
    assert p.returncode == 2 and words in p.stderr and "Traceback" not in p.stderr
    result = json.load(open(tmp_path / "r.json"))
    # everything given is replayed once; a file after a missing one starts from the state it carries
    expected = sum(sum(1 for _ in CaptureReader(f)) for f in dict.fromkeys(files))
    assert result["calls"] == expected


def test_the_same_file_under_two_names_is_replayed_once(rotated, tmp_path):
    link = tmp_path / "again.tlcap"
    os.symlink(rotated[0], link)
    p = cli(rotated[0], link)
    assert p.returncode == 2 and "given twice" in p.stderr


def test_a_terminal_gets_a_progress_bar(capture):
    import fcntl
    import pty
    import select
    import struct
    import termios
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    p = subprocess.Popen([sys.executable, "-m", "tessaline_tools.replay", capture], stdout=subprocess.DEVNULL,
                         stderr=slave)
    seen = b""
    while p.poll() is None or select.select([master], [], [], 0)[0]:
        if select.select([master], [], [], 0.2)[0]:
            seen += os.read(master, 65536)
    os.close(slave)
    os.close(master)
    assert p.returncode == 0
    assert b" calls/s]" in seen and b"<" in seen          # calls, their rate and the time left


def _meta_capture(path, index, created, pid=7):
    from test_replay_hostile import META, chunk, write_capture
    meta = [META[0], dict(META[1], pid=pid, file_index=index, created_ns=created)]
    return write_capture(path, chunk([meta]))


@pytest.mark.parametrize("files,captures,bad", [
    # (file index, created) of each file as given; the captures as replayed, by position given
    ([(0, 1), (0, 2)], [[0], [1]], False),                 # two captures of one process, one after the other
    ([(1, 2), (0, 1), (2, 3)], [[1, 0, 2]], False),        # a rotated capture given out of order
    ([(0, 1), (2, 3)], [[0], [1]], True),                  # file 1 missing: the rest from its carried state
    ([(1, 2)], [[0]], False),                              # a later file by itself
], ids=["two-captures", "reordered", "missing", "later-file-alone"])
def test_files_are_sorted_into_captures(tmp_path, files, captures, bad):
    from tessaline_tools._capture_reader import arrange
    paths = [_meta_capture(tmp_path / f"f{k}.tlcap", index, created) for k, (index, created) in enumerate(files)]
    got, notes, got_bad = arrange(paths)
    assert got == [[paths[k] for k in run] for run in captures] and got_bad is bad
    assert bool(notes) is (bad or files != sorted(files, key=lambda f: f[1]))
