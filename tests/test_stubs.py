"""The stub-only distribution: stubtest keeps stub and module in step, and a type checker
sees the module's types although the host's package carries no py.typed."""
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

MODULE = "corvix.tarrow.utils.tessaline"

USER_CODE = textwrap.dedent("""
    import corvix.tarrow.utils.tessaline as tl
    from corvix.tarrow.utils.tessaline import VornStrategy

    tick = tl.get_current_tick("000001.XSHE")
    if tick is not None:
        price = tick["last_price"]
    ticks = tl.history_ticks("000001.XSHE")          # line 8: count is missing
    strategy = VornStrategy(config=None)
    strategy.on_bar(1, 2)                             # line 10: one record, not two
    counter: str = strategy.bar_cnt                   # line 11: an int
""")


def run(cmd, cwd):
    return subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, timeout=600)


def test_stubtest_finds_no_difference_between_stub_and_module(tmp_path):
    # the stand-ins carry no py.typed: follow them so the SDK base class and its metaclass are known
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\nfollow_untyped_imports = True\n")
    proc = run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(config), MODULE], tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "Success: no issues found in 1 module" in proc.stdout


def error_lines(output, marker):
    return sorted(int(line.split(":")[1]) for line in output.splitlines() if marker in line)


def test_mypy_sees_the_module_types(tmp_path):
    # the case the stub distribution is for: a host package that is not marked typed
    import corvix
    assert not os.path.exists(os.path.join(os.path.dirname(corvix.__file__), "py.typed"))
    (tmp_path / "user.py").write_text(USER_CODE)
    proc = run([sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache"), "user.py"], tmp_path)
    assert error_lines(proc.stdout, ": error:") == [8, 10, 11], proc.stdout
    assert 'Missing positional argument "count"' in proc.stdout


@pytest.mark.skipif(not (shutil.which("pyright") or shutil.which("basedpyright")
                         or os.path.exists(os.path.join(os.path.dirname(sys.executable), "basedpyright"))),
                    reason="no pyright in this environment")
def test_pyright_sees_the_module_types(tmp_path):
    (tmp_path / "user.py").write_text(USER_CODE)
    local = os.path.join(os.path.dirname(sys.executable), "basedpyright")
    exe = local if os.path.exists(local) else shutil.which("pyright") or shutil.which("basedpyright")
    proc = run([exe, "--pythonpath", sys.executable, "user.py"], tmp_path)
    assert error_lines(proc.stdout, " - error:") == [8, 10, 11], proc.stdout
