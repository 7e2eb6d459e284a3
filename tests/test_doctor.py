"""tessaline-doctor against the stand-ins, and against copies of them broken one way at a time.

Each run is the real command in a process of its own; a broken copy of the
host and SDK stand-ins (with the installed extension beside it) goes first on
PYTHONPATH, so the doctor sees it instead of the installed stand-ins.
"""
import json
import os
import signal
import shutil
import subprocess
import sys
import textwrap
import time

import pytest

import corvix.tarrow.utils.tessaline as installed_module

SANDBOX = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "sandbox")


def run_doctor(*args, cwd, pythonpath=None):
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    if pythonpath:
        env["PYTHONPATH"] = os.pathsep.join(str(p) for p in pythonpath)
    out = os.path.join(str(cwd), "doctor.json")
    proc = subprocess.run([sys.executable, "-m", "tessaline_tools.doctor", "--json", out, *args],
                          cwd=cwd, env=env, capture_output=True, text=True, timeout=300)
    report = None
    if os.path.exists(out):
        with open(out, encoding="utf-8") as f:
            report = json.load(f)
        os.remove(out)
    return proc, report


def failed(report):
    return [c for c in report["checks"] if c["status"] == "fail"]


@pytest.fixture
def broken_copy(tmp_path):
    """A copy of the stand-in host and SDK with the installed extension in it; edit(path, old, new) breaks it."""
    root = tmp_path / "site"
    shutil.copytree(os.path.join(SANDBOX, "corvix"), root / "corvix",
                    ignore=shutil.ignore_patterns("__pycache__", "tessaline*"))
    shutil.copytree(os.path.join(SANDBOX, "pyvorn"), root / "pyvorn", ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copy(installed_module.__file__, root / "corvix" / "tarrow" / "utils")

    def edit(relpath, old, new):
        path = root / relpath
        text = path.read_text()
        assert old in text, f"{relpath} no longer contains {old!r}"
        path.write_text(text.replace(old, new, 1))
    edit.root = root
    return edit


def test_stand_ins_pass_every_check(tmp_path):
    proc, report = run_doctor("--records", cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert report["ok"] and failed(report) == []
    areas = {c["area"] for c in report["checks"]}
    assert {"Interpreter and build", "Module import (fresh process)", "Host framework (corvix.tarrow)",
            "Gateway SDK (pyvorn)", "SDK records"} <= areas
    # the text output has one line per check, with the same counts
    counts = report["summary"]
    assert f"{counts['passed']} passed, 0 failed" in proc.stdout
    assert proc.stdout.count("✔") == counts["passed"]
    assert "✔ Trade.__from_create__(order_id=…" in proc.stdout


def test_copy_of_the_stand_ins_passes(broken_copy, tmp_path):
    proc, report = run_doctor(cwd=tmp_path, pythonpath=[broken_copy.root])
    assert proc.returncode == 0, proc.stdout
    assert str(broken_copy.root) in proc.stdout      # the module file found is the copy's


BREAKS = {
    "EVENT member missing": (
        "corvix/tarrow/core/events.py", '    ORDER_CANCELLATION_REJECT = "order_cancellation_reject"\n', "",
        "EVENT members the callbacks read", "EVENT.ORDER_CANCELLATION_REJECT"),
    "SDK enumeration member missing": (
        "pyvorn/enums.py", "    VoMD = 1\n", "",
        "MDType members", "MDType.VoMD"),
    "enumeration missing from __all__": (
        "pyvorn/enums.py", '    "MDType",\n', "",
        "from pyvorn.enums import * binds", "MDType not exported through __all__"),
    "factory keyword renamed": (
        "corvix/tarrow/model/trade.py", "frozen_price=None, commission", "freeze_price=None, commission",
        "Trade.__from_create__(order_id=…", "unexpected keyword argument 'frozen_price'"),
    "factory with an argument fewer": (
        "corvix/tarrow/model/l2_order.py", "order_type, orig_order_no, l2_order_type):",
        "order_type, orig_order_no):",
        "L2Order.__from_create__(9 positional)", "too many positional arguments"),
    "converter with a keyword-only argument": (
        "corvix/tarrow/model/_from_vorn.py", "def from_vorn(cls, record, existing):",
        "def from_vorn(cls, record, *, existing):",
        "AlgoParentOrder.from_vorn(record, existing)", "too many positional arguments"),
    "conversion function missing": (
        "corvix/tarrow/utils/trade_func.py", "def get_trade_type_from_vorn(", "def get_trade_kind_from_vorn(",
        "from corvix.tarrow.utils.trade_func import", "has no name 'get_trade_type_from_vorn'"),
    "set_state missing": (
        "corvix/tarrow/portfolio/position.py", "def set_state(", "def apply_state(",
        "position.set_state(state_dict)", "no attribute 'set_state'"),
    "logger without warning": (
        "corvix/tarrow/utils/logger.py", "del _logger\n",
        "del _logger\n\nclass _InfoOnly:\n    def info(self, msg):\n        pass\n\n"
        "user_system_log = _InfoOnly()\n",
        "user_system_log.warning(text)", "no attribute 'warning'"),
    "SDK base initialiser wants an argument": (
        "pyvorn/strategy.py", "    def __init__(self):\n", "    def __init__(self, engine):\n",
        "base initialiser takes no arguments", "missing a required argument: 'engine'"),
    "SDK callback with another parameter count": (
        "pyvorn/strategy.py", "    def on_order(self, order):", "    def on_order(self, order, account):",
        "SDK callbacks (20)", "the SDK declares on_order(self, order, account)"),
    "SDK base with a read-only strategy attribute": (
        "pyvorn/strategy.py", "    _vorn_root = True\n", "    _vorn_root = True\n    bar_cnt = property(lambda self: 0)\n",
        "VornStrategy(config) constructs", "setting the strategy's attributes raised AttributeError"),
}


@pytest.mark.parametrize("relpath, old, new, check, detail", BREAKS.values(), ids=BREAKS.keys())
def test_each_break_fails_naming_the_fault(broken_copy, tmp_path, relpath, old, new, check, detail):
    broken_copy(relpath, old, new)
    proc, report = run_doctor(cwd=tmp_path, pythonpath=[broken_copy.root])
    assert proc.returncode == 1, proc.stdout
    assert any(c["check"].startswith(check) and detail in c["detail"] for c in failed(report)), \
        "\n".join(f"{c['check']}: {c['detail']}" for c in failed(report))
    line = next(line for line in proc.stdout.splitlines() if line.startswith(f"  ✗ {check}") and detail in line)
    assert line
    assert "Traceback" not in proc.stdout + proc.stderr


def test_missing_conversion_function_is_located_in_the_module_import(broken_copy, tmp_path):
    broken_copy("corvix/tarrow/utils/trade_func.py", "def get_vorn_tdtype(", "def get_vorn_td_type(")
    proc, report = run_doctor(cwd=tmp_path, pythonpath=[broken_copy.root])
    module_failures = {c["check"]: c["detail"] for c in failed(report)
                       if c["area"] == "Module import (fresh process)"}
    assert "cannot import name 'get_vorn_tdtype'" in module_failures["import corvix.tarrow.utils.tessaline"]
    statement = next(k for k in module_failures if k.startswith("failing statement 8:"))
    assert module_failures[statement] == "corvix.tarrow.utils.trade_func has no name 'get_vorn_tdtype'"
    # the host checks still run: the call shape of the missing function cannot be checked, the rest pass
    unknown = {c["check"] for c in report["checks"] if c["status"] == "unknown"}
    assert "get_vorn_tdtype(gateway_name)" in unknown


def test_missing_from_all_lets_the_module_import_but_is_reported_twice(broken_copy, tmp_path):
    broken_copy("pyvorn/enums.py", '    "OrderStatusType",\n', "")
    proc, report = run_doctor(cwd=tmp_path, pythonpath=[broken_copy.root])
    by_check = {c["check"]: c for c in report["checks"]}
    assert by_check["import corvix.tarrow.utils.tessaline"]["status"] == "ok"
    star = by_check["names bound by from pyvorn.enums import *"]
    assert star["status"] == "fail" and "OrderStatusType not bound" in star["detail"]


@pytest.mark.parametrize("tail, expected", [
    ('raise RuntimeError("licence server unreachable")\n',
     "RuntimeError: licence server unreachable (raised at {path}:"),
    ("import sys\nsys.exit(3)\n", "SystemExit: 3 (raised at {path}:"),
], ids=["raises", "exits"])
def test_host_module_failing_on_import_is_reported_with_its_place(broken_copy, tmp_path, tail, expected):
    path = broken_copy.root / "corvix" / "tarrow" / "model" / "tick.py"
    path.write_text(path.read_text() + tail)
    proc, report = run_doctor(cwd=tmp_path, pythonpath=[broken_copy.root])
    assert proc.returncode == 1
    details = {c["check"]: c["detail"] for c in failed(report)}
    expected = expected.format(path=path)
    assert expected in details["from corvix.tarrow.model.tick import TickObject"]
    assert expected in details["import corvix.tarrow.utils.tessaline"]
    assert expected in details["failing statement 3: from corvix.tarrow.model.tick import TickObject"]
    assert "Traceback" not in proc.stdout + proc.stderr


def test_host_module_killing_its_process_is_reported(broken_copy, tmp_path):
    path = broken_copy.root / "corvix" / "tarrow" / "model" / "trade.py"
    path.write_text(path.read_text() + "import os, signal\nos.kill(os.getpid(), signal.SIGKILL)\n")
    proc, report = run_doctor(cwd=tmp_path, pythonpath=[broken_copy.root])
    assert proc.returncode == 1
    crashes = [c for c in failed(report) if c["check"] == "check process"]
    assert {c["area"] for c in crashes} == {"Module import (fresh process)", "Host framework (corvix.tarrow)"}
    assert all("killed by signal 9 (SIGKILL)" in c["detail"] for c in crashes)
    host = next(c for c in crashes if c["area"].startswith("Host"))
    assert "while checking from corvix.tarrow.model.trade import Trade" in host["detail"]
    # checks made before the crash are kept
    assert any(c["check"] == "from corvix.tarrow.model.tick import TickObject" and c["status"] == "ok"
               for c in report["checks"])


CONFIG_MODULE = textwrap.dedent("""
    from corvix.tarrow.config import BaseConfig, Config, TradingCalendar

    good = Config(base=BaseConfig(accounts={"STOCK": "1001_xtp"}, md_type="VoMD", algo_account="2001_xta"))
    bad = Config(base=BaseConfig(accounts={"STOCK": "1001_XTP_2", "FUTURE": "1002_NOPE"},
                                 algo_account="2001", trading_calendar=object()))

    class Bare:
        pass

    class Holder:
        base = Bare()
""")


def test_config_checks(tmp_path):
    (tmp_path / "hostcfg.py").write_text(CONFIG_MODULE)
    proc, report = run_doctor("--config", "hostcfg:good", cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout
    config = {c["check"]: c["detail"] for c in report["checks"] if c["area"] == "Host configuration"}
    assert config["config.base.md_type"] == "'VoMD': MDType.VoMD is registered"
    assert config["config.base.accounts"] == "'STOCK' → TDType.XTP"
    assert config["config.base.algo_account"] == "'2001_xta': AlgoType.XTA is registered"
    assert "answers 'in' for a numpy day" in config["config.base.trading_calendar"]

    proc, report = run_doctor("--config", "hostcfg:bad", cwd=tmp_path)
    assert proc.returncode == 1
    bad = {c["check"]: c["detail"] for c in failed(report)}
    assert "'STOCK': '1001_XTP_2' splits into 3 fields on '_', not exactly 2" in bad["config.base.accounts"]
    assert "'FUTURE': get_vorn_tdtype('NOPE') raised ValueError" in bad["config.base.accounts"]
    assert bad["config.base.algo_account"] == "'2001' splits into 1 fields on '_', not exactly 2"
    assert "TypeError" in bad["config.base.trading_calendar"]

    proc, report = run_doctor("--config", "hostcfg:Holder", cwd=tmp_path)
    bad = {c["check"]: c["detail"] for c in failed(report)}
    assert set(bad) == {"config.base.accounts", "config.base.trading_calendar"}
    assert "has no attribute 'accounts': initialize needs it" in bad["config.base.accounts"]


RECORDS_MODULE = textwrap.dedent("""
    from dataclasses import dataclass

    @dataclass(slots=True)
    class Snap:
        security_id: str
        orig_time: int

    class Plain:
        def __init__(self):
            self.fund_account_id = "1"
""")


def test_record_checks(tmp_path):
    (tmp_path / "vendor_records.py").write_text(RECORDS_MODULE)
    proc, report = run_doctor("--record", "snapshot=vendor_records:Snap", "--record", "login_res=vendor_records:Plain",
                              "--record", "order=Missing", cwd=tmp_path)
    assert proc.returncode == 1
    records = {c["check"]: c for c in report["checks"] if c["area"] == "SDK records"}
    snap = records["on_snapshot(snapshot): vendor_records.Snap"]
    assert snap["status"] == "fail" and snap["detail"].startswith("no attribute market_type, open_price")
    assert records["on_login(login_res): vendor_records.Plain"]["status"] == "unknown"
    assert records["on_order(order): pyvorn.records.Missing"]["status"] == "fail"
    assert records["on_bar(bar): pyvorn.records.Bar"]["status"] == "ok"


TIMEOUT_RANGE = "a number of seconds greater than 0 and at most 86400"


@pytest.mark.parametrize("args, message", [
    (["--config", "no_colon"], "--config 'no_colon': expected MODULE:ATTRIBUTE"),
    (["--record", "nonsense=X"], "'nonsense' is not a record parameter"),
    (["--timeout", "0"], f"--timeout: expected {TIMEOUT_RANGE}, got '0'"),
    (["--timeout", "-5"], f"--timeout: expected {TIMEOUT_RANGE}, got '-5'"),
    (["--timeout", "inf"], f"--timeout: expected {TIMEOUT_RANGE}, got 'inf'"),
    (["--timeout", "1e300"], f"--timeout: expected {TIMEOUT_RANGE}, got '1e300'"),
    (["--timeout", "nan"], f"--timeout: expected {TIMEOUT_RANGE}, got 'nan'"),
    (["--timeout", "soon"], f"--timeout: expected {TIMEOUT_RANGE}, got 'soon'"),
    (["--json", "{missing}/out.json"], "--json {missing}/out.json: the directory {missing} does not exist"),
    (["--json", "{tmp}"], "--json {tmp}: is a directory"),
    (["--frobnicate"], "unrecognized arguments: --frobnicate"),
], ids=["config", "record", "timeout 0", "timeout negative", "timeout inf", "timeout 1e300", "timeout nan",
        "timeout not a number", "json into a missing directory", "json onto a directory", "unknown option"])
def test_bad_usage_is_one_line_before_anything_runs(tmp_path, args, message):
    places = {"tmp": str(tmp_path), "missing": str(tmp_path / "missing-dir")}
    args = [a.format(**places) for a in args]
    proc = subprocess.run([sys.executable, "-m", "tessaline_tools.doctor", *args], cwd=tmp_path,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 2
    assert proc.stdout == ""                          # nothing was checked
    assert proc.stderr.count("\n") == 1, proc.stderr
    assert proc.stderr.startswith("tessaline-doctor: ") and message.format(**places) in proc.stderr
    assert os.listdir(tmp_path) == []


def test_json_dash_writes_the_report_to_standard_output(tmp_path):
    proc = subprocess.run([sys.executable, "-m", "tessaline_tools.doctor", "--json", "-"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    report = json.loads(proc.stdout)
    assert report["ok"] and report["summary"]["failed"] == 0
    assert "0 failed" in proc.stderr                   # the text report moves out of the way
    assert os.listdir(tmp_path) == []


def test_host_thread_left_running_does_not_hold_the_check_up(broken_copy, tmp_path):
    path = broken_copy.root / "corvix" / "tarrow" / "model" / "tick.py"
    path.write_text(path.read_text() + "import threading, time\nthreading.Thread(target=time.sleep, args=(600,)).start()\n")
    proc, report = run_doctor("--timeout", "60", cwd=tmp_path, pythonpath=[broken_copy.root])
    assert proc.returncode == 0, proc.stdout


def test_module_installed_outside_the_hosts_package(broken_copy, tmp_path):
    os.remove(broken_copy.root / "corvix" / "tarrow" / "utils" / os.path.basename(installed_module.__file__))
    proc, report = run_doctor(cwd=tmp_path, pythonpath=[broken_copy.root])
    details = {c["check"]: c["detail"] for c in failed(report)}
    assert f"corvix.tarrow.utils is {broken_copy.root / 'corvix' / 'tarrow' / 'utils'}, which holds no tessaline" \
        in details["module file"]
    assert f"installed it at {installed_module.__file__}, outside the host's package" in details["module file"]
    assert details["import corvix.tarrow.utils.tessaline"].startswith("ModuleNotFoundError: No module named")
    assert not any(check.startswith("failing statement") for check in details)


# ---------------------------------------------------------------- missing host framework or SDK

def _empty_package(path):
    shutil.rmtree(path)
    path.mkdir()
    (path / "__init__.py").write_text("")


def _host_removed(root):
    """Only the package skeleton the extension is installed in stays of the host framework."""
    for entry in (root / "corvix" / "tarrow").iterdir():
        if entry.name != "utils":
            shutil.rmtree(entry) if entry.is_dir() else entry.unlink()
    (root / "corvix" / "tarrow" / "__init__.py").write_text("")
    for entry in (root / "corvix" / "tarrow" / "utils").iterdir():
        if not entry.name.startswith("tessaline"):
            shutil.rmtree(entry) if entry.is_dir() else entry.unlink()
    (root / "corvix" / "tarrow" / "utils" / "__init__.py").write_text("")


HOST_HEADLINE = "the host framework corvix.tarrow cannot be imported"
SDK_HEADLINE = "the gateway SDK pyvorn cannot be imported"


@pytest.mark.parametrize("remove, named, not_named", [
    ("host", [HOST_HEADLINE], [SDK_HEADLINE]),
    ("sdk", [SDK_HEADLINE], [HOST_HEADLINE]),
    ("both", [HOST_HEADLINE, SDK_HEADLINE], []),
])
def test_missing_host_or_sdk_is_said_first_and_its_failures_grouped(broken_copy, tmp_path, remove, named,
                                                                     not_named):
    if remove in ("host", "both"):
        _host_removed(broken_copy.root)
    if remove in ("sdk", "both"):
        _empty_package(broken_copy.root / "pyvorn")
    proc, report = run_doctor("--records", cwd=tmp_path, pythonpath=[broken_copy.root])
    assert proc.returncode == 1
    first, *rest = proc.stdout.splitlines()
    assert all(text in first for text in named) and not any(text in first for text in not_named), first
    assert "install" in first
    # one line per area for what fails because of it, instead of one per check
    lines = proc.stdout.splitlines()
    for area in ("Host framework (corvix.tarrow)", "Gateway SDK (pyvorn)"):
        body = lines[lines.index(area) + 1:]
        body = body[:body.index("")] if "" in body else body
        if remove == "both" or area.startswith({"host": "Host", "sdk": "Gateway"}[remove]):
            assert len(body) == 1 and body[0].startswith("  ✗ ") and "cannot be imported" in body[0], body
    not_passed = [line for line in lines if line.startswith(("  ✗", "  ?"))]
    assert len(not_passed) <= 6, proc.stdout
    # the JSON report keeps every check, each one blamed on what is missing
    assert len(report["checks"]) > 60
    blamed = {c["cause"] for c in report["checks"] if c.get("cause")}
    assert blamed == {"host": {"host"}, "sdk": {"sdk"}, "both": {"host", "sdk"}}[remove]
    assert {m["what"] for m in report["cannot_import"]} == \
        {"host": {"host"}, "sdk": {"sdk"}, "both": {"host", "sdk"}}[remove]


def test_a_host_module_missing_is_not_a_missing_host(broken_copy, tmp_path):
    os.remove(broken_copy.root / "corvix" / "tarrow" / "model" / "l2_order.py")
    proc, report = run_doctor(cwd=tmp_path, pythonpath=[broken_copy.root])
    assert proc.returncode == 1
    assert proc.stdout.startswith("tessaline-doctor: corvix.tarrow.utils.tessaline with ")
    assert report["cannot_import"] == []
    assert "  ✗ from corvix.tarrow.model.l2_order import L2Order — ModuleNotFoundError" in proc.stdout


# ---------------------------------------------------------------- a host that tries to fool the doctor

def _append(broken_copy, relpath, code):
    path = broken_copy.root / relpath
    path.write_text(path.read_text() + textwrap.dedent(code))
    return path


def test_a_check_process_ending_early_with_status_0_is_a_failure(broken_copy, tmp_path):
    _append(broken_copy, "corvix/tarrow/model/tick.py", "import os\nos._exit(0)\n")
    proc, report = run_doctor(cwd=tmp_path, pythonpath=[broken_copy.root])
    assert proc.returncode == 1, proc.stdout
    crashes = {c["area"]: c["detail"] for c in failed(report) if c["check"] == "check process"}
    assert set(crashes) == {"Module import (fresh process)", "Host framework (corvix.tarrow)"}
    assert all("ended with status 0 before its checks were done" in d for d in crashes.values())
    assert "while checking from corvix.tarrow.model.tick import TickObject" in crashes["Host framework (corvix.tarrow)"]


HELPER = """
import os, subprocess, sys
helper = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(600)"])
with open({pids!r}, "a") as f:
    f.write(f"{{helper.pid}}\\n")
"""

DAEMON = """
import os, sys, time
if os.fork() == 0:
    os.setsid()
    if os.fork() == 0:
        with open({pids!r}, "a") as f:
            f.write(f"{{os.getpid()}}\\n")
        time.sleep(600)             # holding the doctor's standard output and error open
        os._exit(0)
    os._exit(0)
time.sleep(0.5)
"""

HANG = """
import time
time.sleep(600)
"""


def _gone(pid, wait=60):
    deadline = time.monotonic() + wait
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/stat") as f:
                if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                    return True
        except FileNotFoundError:
            return True
        time.sleep(0.1)
    return False


@pytest.mark.parametrize("codes, timeout, timed_out", [
    ([HELPER], "60", False),
    ([DAEMON], "60", False),
    ([HELPER, HANG], "20", True),
], ids=["helper process", "daemon", "helper process, then a hang"])
def test_timeout_holds_whatever_the_host_starts(broken_copy, tmp_path, codes, timeout, timed_out):
    pids = tmp_path / "pids"
    for code in codes:
        _append(broken_copy, "corvix/tarrow/model/tick.py", code.format(pids=str(pids)))
    try:
        proc, report = run_doctor("--timeout", timeout, cwd=tmp_path, pythonpath=[broken_copy.root])
        late = [c for c in failed(report) if "did not finish within" in c["detail"]]
        if timed_out:
            assert {"Module import (fresh process)", "Host framework (corvix.tarrow)"} <= {c["area"] for c in late}
            assert all(f"did not finish within {timeout} s" in c["detail"] for c in late)
        else:
            assert proc.returncode == 0 and late == [], proc.stdout
        if codes[0] is HELPER:
            # the probe's whole process group goes, helpers included
            assert all(_gone(int(pid)) for pid in pids.read_text().split())
    finally:
        for pid in pids.read_text().split() if pids.exists() else []:
            try:
                os.kill(int(pid), signal.SIGKILL)
            except ProcessLookupError:
                pass


ODD_EXCEPTIONS = {
    "str raises": "class Odd(Exception):\n    def __str__(self):\n        raise ValueError('no text')\n",
    "str is not text": "class Odd(Exception):\n    def __str__(self):\n        return 42\n",
    "name raises": ("class Meta(type):\n    @property\n    def __name__(cls):\n        raise KeyError('x')\n"
                    "class Odd(Exception, metaclass=Meta):\n    pass\n"),
    "endless text": "class Odd(Exception):\n    def __str__(self):\n        return 'x' * 50_000_000\n",
}


@pytest.mark.parametrize("definition", ODD_EXCEPTIONS.values(), ids=ODD_EXCEPTIONS.keys())
def test_a_host_exception_that_misbehaves_is_reported(broken_copy, tmp_path, definition):
    _append(broken_copy, "corvix/tarrow/model/tick.py", definition + "raise Odd()\n")
    proc, report = run_doctor(cwd=tmp_path, pythonpath=[broken_copy.root])
    assert proc.returncode == 1
    by_check = {c["check"]: c for c in report["checks"]}
    tick = by_check["from corvix.tarrow.model.tick import TickObject"]
    assert tick["status"] == "fail" and "Odd" in tick["detail"] and len(tick["detail"]) < 2000
    assert not any(c["check"] == "check process" for c in report["checks"]), proc.stdout
    # the area's other checks are still made
    assert by_check["from corvix.tarrow.model.trade import Trade"]["status"] == "ok"


SHADOWS = ("platform", "json", "inspect", "argparse", "tempfile", "subprocess", "dataclasses", "traceback")


def test_the_hosts_files_cannot_shadow_the_doctors_imports(tmp_path):
    for name in SHADOWS:
        (tmp_path / f"{name}.py").write_text(f"raise RuntimeError('the host directory\\'s {name}.py ran')\n")
    proc, report = run_doctor(cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert failed(report) == [] and "Traceback" not in proc.stderr


def test_the_host_directory_is_still_on_the_module_path(tmp_path):
    (tmp_path / "hostcfg.py").write_text(CONFIG_MODULE)
    (tmp_path / "platform.py").write_text("raise RuntimeError('shadowed')\n")
    proc, report = run_doctor("--config", "hostcfg:good", cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout


@pytest.mark.parametrize("signum, status, line", [
    (signal.SIGINT, 130, "tessaline-doctor: interrupted\n"),
    (signal.SIGTERM, 143, "tessaline-doctor: stopped by SIGTERM\n"),
], ids=["ctrl-c", "sigterm"])
def test_stopping_the_doctor_stops_its_check_processes(broken_copy, tmp_path, signum, status, line):
    started = tmp_path / "started"
    _append(broken_copy, "corvix/tarrow/model/tick.py",
            f"import os, time\nopen({str(started)!r}, 'a').write(f'{{os.getpid()}}\\n')\ntime.sleep(600)\n")
    env = dict(os.environ, PYTHONPATH=str(broken_copy.root))
    doctor = subprocess.Popen([sys.executable, "-m", "tessaline_tools.doctor"], cwd=tmp_path, env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 120
        while len(started.read_text().split() if started.exists() else []) < 2 and time.monotonic() < deadline:
            time.sleep(0.1)
        doctor.send_signal(signum)
        out, err = doctor.communicate(timeout=120)
    finally:
        doctor.kill()
    assert doctor.returncode == status
    assert err == line
    assert all(_gone(int(pid)) for pid in started.read_text().split())
