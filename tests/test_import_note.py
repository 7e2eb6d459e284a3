"""Importing the module where the host framework, the SDK or a library is missing.

The import fails with the interpreter's own exception, unchanged, carrying one
note that names the missing piece and how to install it. Each case runs in a
fresh interpreter: the module body runs once per process.
"""
import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import corvix.tarrow.utils.tessaline as installed_module

REPORT_FAILURE = textwrap.dedent("""
    import json, sys
    {prelude}
    try:
        import corvix.tarrow.utils.tessaline
    except BaseException as exc:
        print(json.dumps({{"type": type(exc).__name__, "text": str(exc), "name": getattr(exc, "name", None),
                          "notes": getattr(exc, "__notes__", None),
                          "context": type(exc.__context__).__name__ if exc.__context__ else None}}))
    else:
        print(json.dumps(None))
""")


def import_failure(prelude="", pythonpath=None):
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    if pythonpath:
        env["PYTHONPATH"] = str(pythonpath)
    proc = subprocess.run([sys.executable, "-c", REPORT_FAILURE.format(prelude=prelude)], env=env,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


@pytest.fixture
def without_host(tmp_path):
    """The module installed on its own: the corvix package holds the extension and nothing of the host."""
    utils = tmp_path / "corvix" / "tarrow" / "utils"
    utils.mkdir(parents=True)
    for package in (tmp_path / "corvix", tmp_path / "corvix" / "tarrow", utils):
        (package / "__init__.py").write_text("")
    shutil.copy(installed_module.__file__, utils)
    return tmp_path


def test_without_the_host_framework_the_note_names_it(without_host):
    failure = import_failure(pythonpath=without_host)
    assert failure["type"] == "ModuleNotFoundError"
    assert failure["text"] == "No module named 'corvix.tarrow.environment'"
    assert failure["name"] == "corvix.tarrow.environment"
    [note] = failure["notes"]
    assert note.startswith("corvix.tarrow.environment is missing: tessaline needs the host framework corvix.tarrow "
                           f"installed for this interpreter ({sys.executable}).")
    assert "python -m pip install" in note


@pytest.mark.parametrize("hidden, missing, what, remedy", [
    # the stand-in host imports the SDK's enumerations itself: the note follows what is missing
    ("pyvorn", "pyvorn.enums", "the gateway SDK pyvorn", "Install the gateway SDK's Python package"),
    ("pyvorn.strategy", "pyvorn.strategy", "the gateway SDK pyvorn", "Install the gateway SDK's Python package"),
    ("corvix.tarrow.portfolio.position", "corvix.tarrow.portfolio.position", "the host framework corvix.tarrow",
     "Install the host framework's package"),
    ("numpy_ringbuffer", "numpy_ringbuffer", "numpy_ringbuffer", "python -m pip install numpy-ringbuffer"),
], ids=["sdk", "sdk module", "host module", "ring buffer library"])
def test_each_missing_piece_is_named_with_its_remedy(hidden, missing, what, remedy):
    failure = import_failure(f"sys.modules[{hidden!r}] = None")
    assert failure["type"] == "ModuleNotFoundError" and failure["name"] == missing
    assert repr(hidden) in failure["text"] or f"import of {hidden} halted" in failure["text"]
    [note] = failure["notes"]
    assert note.startswith(f"{missing} is missing: tessaline needs {what} installed")
    assert remedy in note


FINDER_RAISING = """
import importlib.abc
class Finder(importlib.abc.MetaPathFinder):
    def find_spec(self, fullname, path=None, target=None):
        if fullname == "corvix.tarrow.model.trade":
            raise {exception}
        return None
sys.meta_path.insert(0, Finder())
"""


@pytest.mark.parametrize("exception, expected_type", [
    # the host's trade module needs a library that is not installed: the host's fault, not a missing host
    ("ModuleNotFoundError(\"No module named 'vendorlib'\", name='vendorlib')", "ModuleNotFoundError"),
    ("ImportError('licence check failed')", "ImportError"),
    ("RuntimeError('boom')", "RuntimeError"),
], ids=["host lacks its own dependency", "import error", "other error"])
def test_other_import_failures_are_left_as_they_are(exception, expected_type):
    failure = import_failure(FINDER_RAISING.format(exception=exception))
    assert failure["type"] == expected_type and failure["notes"] is None


def test_an_error_while_writing_the_note_propagates_with_the_original_as_context():
    prelude = textwrap.dedent("""
        class NoNotes(ModuleNotFoundError):
            def add_note(self, note):
                raise ValueError("notes refused")
        import importlib.abc
        class Finder(importlib.abc.MetaPathFinder):
            def find_spec(self, fullname, path=None, target=None):
                if fullname == "pyvorn.strategy":
                    raise NoNotes("No module named 'pyvorn.strategy'", name="pyvorn.strategy")
        sys.meta_path.insert(0, Finder())
    """)
    failure = import_failure(prelude)
    assert failure == {"type": "ValueError", "text": "notes refused", "name": None, "notes": None,
                       "context": "NoNotes"}
