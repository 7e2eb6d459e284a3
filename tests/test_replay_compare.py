"""Comparisons by digest: the module's state, several captures, local processes and a
Dask cluster giving the same report."""
import json

import pytest

from tessaline_sim.session import Options, run_simulation
from tessaline_tools import replay as rp
from tessaline_tools.capture import CaptureReader

SHORT = dict(instruments=4, days=1, minutes_per_half=11)

WRAPPED_IMPL = '''
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

COUNTER = '''
    def on_bar(self, bar):
        super().on_bar(bar)
        if self.bar_cnt == 1:
            self.bar_cnt = 2          # a bar time's first bar counted twice
'''
STRATEGY_ONLY = '''
    def on_snapshot(self, snapshot):
        super().on_snapshot(snapshot)
        if not getattr(self, "_bumped", False):
            self.__dict__["_bumped"] = True
            self.order_num += 1000    # no event shows it
'''
STORE_ONLY = '''
    def on_tick_trade(self, trade):
        super().on_tick_trade(trade)
        _real.vorn_params.setdefault("seen_trades", True)
'''


@pytest.fixture(scope="module")
def days(tmp_path_factory):
    """Two captures of two separate sessions (a day each)."""
    out = []
    for seed in (3, 4):
        path = str(tmp_path_factory.mktemp(f"day{seed}") / "day.tlcap")
        run_simulation(Options(**SHORT, seed=seed, capture_path=path))
        out.append(path)
    return out


def impl(tl, tmp_path, body, name="changed.py"):
    path = tmp_path / name
    path.write_text(WRAPPED_IMPL.format(so=tl.__file__, body=body))
    return str(path)


def run(capsys, *argv):
    code = rp.main(["--no-progress", *map(str, argv)])
    out = capsys.readouterr()
    return code, out.out, out.err


def first(path, name, nth=0):
    return [c.position for c in CaptureReader(path) if c.name == name][nth]


@pytest.mark.parametrize("body,callback,words", [
    (STRATEGY_ONLY, "on_snapshot", "strategy attribute order_num at strategy.order_num: 0  vs  1000"),
    (STORE_ONLY, "on_tick_trade", "store vorn_params at vorn_params.<keys>"),
], ids=["strategy-attribute", "module-store"])
def test_a_build_that_changes_only_state_is_reported_where_the_state_parts(days, tl, tmp_path, capsys, body,
                                                                          callback, words):
    code, out, err = run(capsys, days[0], "--impl", tl.__file__, "--impl", impl(tl, tmp_path, body),
                         "--json", tmp_path / "r.json")
    assert code == 1, out + err
    result = json.load(open(tmp_path / "r.json"))
    state = result["state_difference"]
    assert state["position"] == first(days[0], callback) and state["callback"] == callback
    assert words in out and f"state differs first after #{state['position']} {callback}" in out
    if body is STRATEGY_ONLY:
        assert result["calls_differing"] == 0 and "agree on all" in out


def test_a_changed_counter_shows_in_the_state_before_it_shows_in_an_event(days, tl, tmp_path, capsys):
    code, out, err = run(capsys, days[0], "--impl", tl.__file__, "--impl", impl(tl, tmp_path, COUNTER),
                         "--json", tmp_path / "r.json")
    assert code == 1
    result = json.load(open(tmp_path / "r.json"))
    assert result["state_difference"]["position"] == first(days[0], "on_bar")
    assert "strategy attribute bar_cnt at strategy.bar_cnt: 1  vs  2" in out
    d = result["differences"][0]
    # four instruments: the third bar of the first bar time now completes it
    assert d["callback"] == "on_bar" and d["position"] == first(days[0], "on_bar", 2)
    assert result["differences_at"][0] == d["position"] and "events: 0 (none)  vs  1 (BAR)" in out


def test_agreeing_implementations_agree_on_calls_and_state(days, tl, tmp_path, capsys):
    code, out, err = run(capsys, *days, "--impl", tl.__file__, "--impl", impl(tl, tmp_path, "    pass\n"),
                         "--jobs", "2", "--json", tmp_path / "r.json")
    assert code == 0, out + err
    result = json.load(open(tmp_path / "r.json"))
    calls = [sum(1 for _ in CaptureReader(p)) for p in days]
    assert result["calls_compared"] == result["calls"] == sum(calls) and result["agree"] is True
    assert [f["path"] for f in result["files"]] == days and [f["calls"] for f in result["files"]] == calls
    assert "the module's state agrees after every call" in out
    timeline = result["timelines"][tl.__file__]
    assert timeline["minutes"] == sorted(timeline["minutes"]) and timeline["events_per_minute"]
    assert all(len(v) == len(timeline["minutes"]) for v in timeline["events_per_minute"].values())
    assert set(timeline["latency_us_per_minute"]) == {"p50", "p90", "p99"}


def _essence(result):
    return {"calls_compared": result["calls_compared"], "calls_differing": result["calls_differing"],
            "differences": [(d["file"], d["position"], d["callback"], d["what"]) for d in result["differences"]],
            "state": [(s["file"], s["position"], s["what"]) for s in result["state_differences"]],
            "files": result["files"]}


def test_a_dask_cluster_gives_the_same_report_as_local_processes(days, tl, tmp_path, capsys):
    from distributed import LocalCluster
    changed = impl(tl, tmp_path, COUNTER)
    code, out, err = run(capsys, *days, "--impl", tl.__file__, "--impl", changed, "--jobs", "2",
                         "--json", tmp_path / "local.json")
    assert code == 1, err
    local = json.load(open(tmp_path / "local.json"))
    # a difference names its capture file and its call there
    assert {d["file"] for d in local["differences"]} == set(days)
    assert f"in {days[1]}" in out
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        code, out, err = run(capsys, *days, "--impl", tl.__file__, "--impl", changed,
                             "--scheduler", cluster.scheduler_address, "--json", tmp_path / "cluster.json")
    assert code == 1, err
    assert _essence(json.load(open(tmp_path / "cluster.json"))) == _essence(local)


def test_an_unreachable_scheduler_is_bad_input(days, capsys):
    code, out, err = run(capsys, days[0], "--scheduler", "tcp://127.0.0.1:9", "--connect-timeout", "2")
    assert code == 2 and "cannot reach the scheduler" in err


def test_a_plain_replay_reports_its_timeline(days, tmp_path, capsys):
    code, out, err = run(capsys, days[0], "--json", tmp_path / "r.json")
    assert code == 0, err
    result = json.load(open(tmp_path / "r.json"))
    timeline = result["timeline"]
    assert sum(sum(v) for v in timeline["events_per_minute"].values()) == sum(result["events"].values())
    assert len(timeline["latency_us_per_minute"]["p99"]) == len(timeline["minutes"])
    assert result["files"] == [{"path": days[0], "calls": result["calls"], "gaps": []}]
