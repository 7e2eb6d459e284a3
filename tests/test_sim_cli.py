"""``tessaline-sim`` as a user meets it: every bad value or output is one line and exit 2 before
anything runs, Ctrl-C is exit 130 and one line, ``-`` is standard output, and a capture that
fails on a full disk still leaves the whole report and a non-zero exit."""
import json
import os
import resource
import signal
import subprocess
import sys
import time

import pytest

from tessaline_sim import cli, limits
from tessaline_sim.session import Options

SMALL = ["--instruments", "2", "--days", "1", "--minutes-per-half", "11", "--quiet"]
SIM = [sys.executable, "-c", "import sys; from tessaline_sim.cli import main; sys.exit(main())"]


def one_line_error(capsys):
    out, err = capsys.readouterr()
    assert out == ""
    lines = err.splitlines()
    assert len(lines) == 1 and lines[0].startswith("tessaline-sim: "), err
    assert "Traceback" not in err
    return lines[0]


@pytest.mark.parametrize("argv, option, allowed", [
    (["--instruments", "0"], "--instruments", "1..999999"),
    (["--instruments", "1.5"], "--instruments", "1..999999"),
    (["--l2-rate", "-1"], "--l2-rate", "0..50"),
    (["--l2-rate", "nan"], "--l2-rate", "0..50"),
    (["--l2-rate", "inf"], "--l2-rate", "0..50"),
    (["--l2-rate", "1e9"], "--l2-rate", "0..50"),
    (["--days", "0"], "--days", "1..250"),
    (["--days", "251"], "--days", "1..250"),
    (["--seed", "-1"], "--seed", "0.."),
    (["--seed", str(2**64)], "--seed", "0.."),
    (["--step-ms", "0"], "--step-ms", "1..60000"),
    (["--step-ms", "7"], "--step-ms", "divide one minute"),
    (["--snapshot-interval-ms", "99"], "--snapshot-interval-ms", "100..60000"),
    (["--minutes-per-half", "121"], "--minutes-per-half", "11..120"),
    (["--start", "2025-13-01"], "--start", "1990-01-01..2099-12-31"),
    (["--start", "9999-12-31"], "--start", "1990-01-01..2099-12-31"),
])
def test_an_out_of_range_option_names_itself_its_range_and_the_value(argv, option, allowed, capsys):
    assert cli.main(argv + ["--quiet"]) == 2
    line = one_line_error(capsys)
    assert option in line and allowed in line and argv[1].strip("'") in line


@pytest.mark.parametrize("flag", ["--json", "--html", "--log", "--capture"])
def test_outputs_are_checked_before_the_run(flag, tmp_path, capsys):
    missing = tmp_path / "no" / "such" / "out.file"
    assert cli.main(SMALL + [flag, str(missing)]) == 2
    assert "does not exist" in one_line_error(capsys)
    assert not (tmp_path / "no").exists()               # a capture never creates directories
    assert cli.main(SMALL + [flag, str(tmp_path)]) == 2
    assert "is a directory" in one_line_error(capsys)
    (tmp_path / "file").touch()
    assert cli.main(SMALL + [flag, str(tmp_path / "file" / "out.file")]) == 2
    assert "is not a directory" in one_line_error(capsys)


def test_usage_errors_are_one_line(capsys):
    for argv in (["--bogus"], ["--json", "-", "--html", "-"], ["--capture", "-"], ["--json", ""],
                 ["--json", "same.out", "--log", "./same.out"]):
        assert cli.main(argv) == 2, argv
        one_line_error(capsys)


def test_a_session_the_memory_cannot_hold_is_refused_with_the_reason(monkeypatch, capsys):
    monkeypatch.setattr(limits, "available_bytes", lambda: 8 * 2**30)
    assert cli.main(["--instruments", "100000"]) == 2
    line = one_line_error(capsys)
    assert "--instruments 100000" in line and "GiB of memory" in line and "8.0 GiB is available" in line
    # the default session fits easily, and its estimate stays above what it really takes
    assert limits.check_memory(Options()) is None
    assert 200 * 2**20 < limits.estimated_bytes(Options()) < 2**30


def test_a_capture_the_disk_cannot_hold_is_refused_with_the_reason(monkeypatch, tmp_path, capsys):
    monkeypatch.setattr(limits, "_free_bytes", lambda directory: 10 * 2**20)
    path = tmp_path / "session.tlcap"
    assert cli.main(["--capture", str(path)]) == 2
    line = one_line_error(capsys)
    assert f"--capture {path}: the capture of this session takes at least" in line and "10.0 MiB is free" in line
    assert not path.exists()
    # the estimate stays below what the default session's capture really takes (355,769 calls, 17.0 MB)
    assert 340_000 < limits.estimated_calls(Options()) < 370_000
    assert limits.estimated_calls(Options()) * limits.CAPTURE_BYTES_PER_CALL < 16_959_389


def test_help_shows_every_option_with_its_range_and_default():
    parser = cli.build_parser()
    text = parser.format_help().replace("\n", " ")
    text = " ".join(text.split())
    for action in parser._actions:
        if action.dest == "help":
            continue
        assert action.help and "default" in action.help, action.dest
        name = action.option_strings[0][2:]
        if name in limits.LIMITS and name != "start":
            assert limits.describe_range(name) in " ".join(action.help.split()), name


def test_dash_is_standard_output_and_the_text_report_moves_to_stderr(capsys):
    assert cli.main(SMALL + ["--json", "-"]) == 0
    out, err = capsys.readouterr()
    report = json.loads(out)
    assert report["ok"] and err.rstrip().endswith("RESULT: OK")
    assert set(report["timeline"]) >= {"minutes", "events_per_minute", "orders", "positions", "cash"}


def test_the_html_report_is_written_and_self_contained(tmp_path, capsys):
    path = tmp_path / "session.html"
    assert cli.main(SMALL + ["--html", str(path)]) == 0
    page = path.read_text(encoding="utf-8")
    assert page.startswith("<!DOCTYPE html>") and page.count('class="chart"') == 4
    assert "<script src" not in page and "<link" not in page


def _wait_for(path, timeout=60):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(path) and os.path.getsize(path) > 0:
            return
        time.sleep(0.05)
    raise AssertionError(f"{path} never written")


@pytest.mark.parametrize("threads", [False, True])
def test_ctrl_c_is_exit_130_and_one_line(threads, tmp_path):
    log, cap = tmp_path / "host.log", tmp_path / "session.tlcap"
    argv = SIM + ["--instruments", "20", "--days", "20", "--quiet", "--log", str(log), "--capture", str(cap)]
    proc = subprocess.Popen(argv + (["--threads"] if threads else []), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        _wait_for(log)                                  # the module logged: the session is under way
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=120)
    finally:
        proc.kill()
    assert proc.returncode == 130
    assert err.strip().splitlines() == ["tessaline-sim: interrupted"] and out == ""
    assert cap.exists()                                 # closed on the way out


def _limit_file_size(limit):
    def preexec():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)   # a write past the limit fails with EFBIG instead
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return preexec


@pytest.mark.parametrize("flag, limit, complaint", [
    ("--capture", 64 * 1024, "tessaline-sim: capture FAILED: {path}: File too large;"),
    ("--log", 512, "tessaline-sim: --log {path}: could not be written completely: File too large"),
])
def test_an_output_onto_a_full_disk_still_reports_the_session_and_fails(flag, limit, complaint, tmp_path):
    path = tmp_path / "out.file"
    proc = subprocess.run(SIM + ["--instruments", "3", "--days", "1", "--minutes-per-half", "11", "--quiet",
                                 flag, str(path)],
                          preexec_fn=_limit_file_size(limit), capture_output=True, text=True, timeout=300)
    assert proc.returncode == 1
    assert proc.stdout.rstrip().endswith("RESULT: OK") and "Invariants: 15 of 15 held" in proc.stdout
    lines = proc.stderr.strip().splitlines()
    # the capture's own warning through the host's log comes first, when the write fails
    warnings = [line for line in lines[:-1] if flag == "--capture" and line.startswith(f"capture {path}: ")]
    assert lines[:-1] == warnings and len(warnings) <= 1 and "Traceback" not in proc.stderr, proc.stderr
    assert lines[-1].startswith(complaint.format(path=path))
