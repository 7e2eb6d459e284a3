"""The HTML session and replay reports: self-contained, safe against hostile capture text, drawn
from whatever part of a result is there, and rendered by a real browser without an error."""
import copy
import json
import os
import re
import shutil
import subprocess

import pytest

from tessaline_sim.session import Options, run_simulation
from tessaline_tools.html_report import write_replay_report, write_session_report

HOSTILE = "</script><script>document.title='pwned'</script><img src=x onerror=alert(1)>"


@pytest.fixture(scope="module")
def session_report():
    report, _, _ = run_simulation(Options(instruments=3, days=2, minutes_per_half=11))
    return json.loads(json.dumps(report, default=str))          # as tessaline-sim --json writes it


def replay_timeline(report):
    """The replay's timeline shape, made from a simulated session's."""
    tl = copy.deepcopy(report["timeline"])
    lat = report["timing"]["latency_us_per_minute"]
    at = dict(zip(lat["minutes"], zip(lat["p50"], lat["p90"], lat["p99"])))
    tl["latency_us_per_minute"] = {q: [at.get(m, (None,) * 3)[k] for m in tl["minutes"]]
                                   for k, q in enumerate(("p50", "p90", "p99"))}
    for key in ("positions", "cash"):
        del tl[key]
    return tl


@pytest.fixture(scope="module")
def comparison(session_report):
    timeline = replay_timeline(session_report)
    timeline["orders"][0]["order_id"] = HOSTILE
    summary = {"calls": 5008, "seconds": 0.5, "events": {"TICK": 2646}, "raised_replay": {}}
    return {
        "capture": [f"{HOSTILE}.tlcap"], "implementations": ["current.so", "changed.so"],
        "replays": [{"impl": "current.so", "ok": True, "summary": summary},
                    {"impl": "changed.so", "ok": True, "summary": summary}],
        "calls": 5008, "calls_compared": 5008, "calls_differing": 3, "agree": False,
        "files": [{"path": "a.tlcap", "calls": 2504, "gaps": 0}, {"path": "b.tlcap", "calls": 2504, "gaps": 0}],
        "differences": [{"position": 7, "callback": "on_query_position", "implementation": "changed.so",
                         "what": [f"event 0 fields: positions vs {HOSTILE}"]}],
        "differences_at": [7, 2600, 5000],
        "timelines": {"current.so": timeline, "changed.so": copy.deepcopy(timeline)},
    }


def charts(page):
    return len(re.findall(r'<div class="chart" id="chart-\d+">', page))


def test_session_page_is_self_contained_with_every_chart(session_report, tmp_path):
    path = tmp_path / "session.html"
    write_session_report(path, session_report)
    page = path.read_text(encoding="utf-8")
    assert charts(page) == 4
    assert not re.search(r"<(script|img|iframe)[^>]*\ssrc=|<link\b|@import", page)   # nothing fetched
    data = json.loads(re.search(r'<script type="application/json" id="chart-data">(.*?)</script>', page, re.S)[1])
    events = data["chart-1"]["data"]
    assert {t["name"] for t in events} == set(session_report["timeline"]["events_per_minute"])
    orders = data["chart-3"]["data"]
    assert sum(len([y for y in t["y"] if y]) for t in orders) >= len(session_report["timeline"]["orders"])


def test_capture_text_cannot_break_out_of_the_page(comparison, tmp_path):
    path = tmp_path / "compare.html"
    write_replay_report(path, comparison)
    page = path.read_text(encoding="utf-8")
    assert "<img src=x" not in page and "document.title='pwned'</script>" not in page
    assert page.count("</script>") == page.count("<script")
    assert "&lt;/script&gt;" in page                             # shown as text in the title and differences
    # differences along the capture, then events, latency and orders for each implementation
    assert charts(page) == 1 + 2 * 3


@pytest.mark.parametrize("result, expected_charts", [
    ({}, 0),
    ({"calls": 10, "callbacks": {"on_snapshot": 10}, "events": {"TICK": 10}}, 0),
    ({"calls": 3, "timeline": {"minutes": ["2025-01-10 09:31"], "events_per_minute": {"TICK": [3]}}}, 1),
    ({"calls": 3, "timeline": {"minutes": "garbage", "events_per_minute": [1, 2],
                               "orders": [None, {"sent": 5}, {"sent": "2025-01-10 09:31:00", "final": "x"}]}}, 1),
    ({"timeline": {"minutes": ["2025-01-10 09:31", "2025-01-10 09:32"], "events_per_minute": {"TICK": [1, 2]},
                   "latency_us_per_minute": {"p50": [float("nan"), 1e308 * 10], "p99": [2.0, 3.0]},
                   "orders": [{"order_id": "1", "quantity": float("nan"), "sent": "2025-01-10 09:31:00"}]}}, 3),
    ({"replays": [{"impl": "a.so", "ok": False, "error": "no module"}], "agree": None}, 0),
    ({"implementations": ["a", "b"], "agree": True, "calls_compared": 9, "differences_at": []}, 0),
    ({"implementations": ["a", "b"], "agree": False, "calls_compared": 9, "differences_at": [1, "x", True]}, 1),
])
def test_replay_page_draws_whatever_part_of_the_result_is_there(result, expected_charts, tmp_path):
    path = tmp_path / "replay.html"
    write_replay_report(str(path), result)
    page = path.read_text(encoding="utf-8")
    assert page.startswith("<!DOCTYPE html>") and charts(page) == expected_charts


def _browser_env():
    """The sanitized run preloads its runtimes into every process it starts; the browser is not ours."""
    return {k: v for k, v in os.environ.items()
            if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}


def _browser():
    return shutil.which("chromium") or shutil.which("chromium-browser")


@pytest.mark.skipif(_browser() is None, reason="no headless chromium here (scripts/test.sh installs Debian's "
                                               "chromium when it runs as root with apt)")
@pytest.mark.parametrize("kind", ["session", "comparison"])
def test_a_browser_renders_every_chart_without_an_error(kind, session_report, comparison, tmp_path):
    path = tmp_path / f"{kind}.html"
    if kind == "session":
        write_session_report(path, session_report)
    else:
        write_replay_report(path, comparison)
    proc = subprocess.run([_browser(), "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                           f"--user-data-dir={tmp_path / 'profile'}", "--enable-logging=stderr", "--v=0",
                           "--virtual-time-budget=15000", "--dump-dom", path.as_uri()],
                          capture_output=True, text=True, timeout=300, env=_browser_env())
    body = re.search(r"<body[^>]*>", proc.stdout)
    assert body, proc.stderr[-2000:]
    attrs = dict(re.findall(r'data-(\w+)="(\d+)"', body[0]))
    assert int(attrs["charts"]) == charts(path.read_text(encoding="utf-8")) > 0
    assert attrs["rendered"] == attrs["charts"] and attrs["errors"] == "0"
    assert proc.stdout.count('class="main-svg"') >= int(attrs["charts"])
    console = [line for line in proc.stderr.splitlines() if "CONSOLE" in line]
    assert console == []
    assert re.search(r"<title>(.*?)</title>", proc.stdout, re.S)[1].startswith("tessaline")   # no script of ours ran
