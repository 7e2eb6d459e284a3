"""The README's path, walked as a newcomer would: a fresh clone of this repository, then every
``$ `` command of the README in order, pasted into one shell, with small session sizes.

It clones what is committed (uncommitted edits are not part of a fresh clone) and builds the
module once more in the clone, so it takes a few minutes; the sanitized run, which builds
everything with the sanitizers already, leaves it to the release run."""
import json
import os
import re
import shlex
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
SMALL = "--instruments 2 --days 1 --minutes-per-half 11"
SKIPPED = ("bash scripts/test.sh",)          # the suite this test is part of

pytestmark = [
    pytest.mark.skipif("ASAN_OPTIONS" in os.environ,
                       reason="the README walk builds the module again; it runs in the release run only"),
    pytest.mark.skipif(bool(os.environ.get("TESSALINE_SKIP_README_WALK")),
                       reason="TESSALINE_SKIP_README_WALK is set"),
    pytest.mark.skipif(shutil.which("git") is None or not (ROOT / ".git").exists(),
                       reason="not a git checkout: nothing to clone"),
]


def readme_commands(text):
    """Every ``$ `` line inside a fenced block of the README, in order."""
    commands, fenced = [], False
    for line in text.splitlines():
        if line.startswith("```"):
            fenced = not fenced
        elif fenced and line.startswith("$ "):
            commands.append(line[2:])
    return commands


def small(command):
    """A session command with small sizes (later options win over the README's own)."""
    words = command.split()
    if words[:2] == ["bash", "scripts/simulate.sh"] or (words[0].endswith("/tessaline-sim") and "--help" not in words):
        return f"{command} {SMALL}"
    return command


def expected_status(command):
    return 1 if command.count("--impl ") >= 2 else 0    # the walkthrough's two implementations differ


def test_readme_commands_cover_the_newcomer_path():
    commands = readme_commands((ROOT / "README.md").read_text(encoding="utf-8"))
    assert commands[0] == "bash scripts/simulate.sh"
    for command in commands[1:]:
        if command in SKIPPED or not re.match(r"(\.venv/bin/|so=\$\(\.venv/bin/python|cp )", command):
            assert command in SKIPPED, f"a README command that names no environment: {command}"


def test_the_readme_walk_on_a_fresh_clone(tmp_path):
    clone = tmp_path / "tessaline"
    subprocess.run(["git", "clone", "--quiet", str(ROOT), str(clone)], check=True, timeout=300)
    commands = [small(c) for c in readme_commands((clone / "README.md").read_text(encoding="utf-8"))
                if c not in SKIPPED]
    status_file = tmp_path / "status"
    script = ["cd " + shlex.quote(str(clone))]
    for k, command in enumerate(commands):
        script += [f"echo '### {k}: {command.replace(chr(39), '')}'", command,
                   f"echo $? >> {shlex.quote(str(status_file))}"]
    env = {k: v for k, v in os.environ.items()
           if k not in ("TESSALINE_VENV", "VIRTUAL_ENV", "PYTHONPATH", "PYTHONHOME")}
    env["PATH"] = os.pathsep.join(p for p in env.get("PATH", "").split(os.pathsep)
                                  if not p.startswith(str(ROOT)))          # this checkout's own venv is not there
    proc = subprocess.run(["bash", "-c", "\n".join(script)], capture_output=True, text=True, env=env,
                          stdin=subprocess.DEVNULL, timeout=1500)
    log = proc.stdout + proc.stderr
    statuses = [int(x) for x in status_file.read_text().split()] if status_file.exists() else []
    assert statuses == [expected_status(c) for c in commands], log[-4000:]
    assert "Traceback" not in log, log[-4000:]
    outputs = proc.stdout.split("### ")
    assert "RESULT: OK" in outputs[1] and "(default 20)" in outputs[2]
    assert (clone / "session.html").stat().st_size > 1_000_000
    assert json.loads((clone / "report.json").read_text())["ok"]
    result = json.loads((clone / "result.json").read_text())
    assert result["agree"] is False and result["calls_differing"] > 0
