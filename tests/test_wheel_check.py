"""scripts/check_wheel.py against small shared objects and wheels built here:
each fault it exists to catch must be reported, and a clean wheel must pass.
Needs a C and C++ compiler and pyelftools (both present where wheels are built)."""
import importlib.util
import shutil
import subprocess
import zipfile
from pathlib import Path

import pytest

pytest.importorskip("elftools")
CC, CXX = shutil.which("cc") or shutil.which("gcc"), shutil.which("c++") or shutil.which("g++")
pytestmark = pytest.mark.skipif(not (CC and CXX), reason="needs a C and a C++ compiler")

_spec = importlib.util.spec_from_file_location(
    "check_wheel", Path(__file__).resolve().parents[1] / "scripts" / "check_wheel.py")
check_wheel = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(check_wheel)

EXTENSION = "demo.cpython-311-x86_64-linux-gnu.so"
SOURCES = {
    # only the init function is visible
    "clean": ("c", "static int helper(void) { return 1; }\n"
                   "__attribute__((visibility(\"default\"))) void* PyInit_demo(void) { return (void*)helper; }\n"),
    # a helper left visible beside the init function
    "extra export": ("c", "int helper(void) { return 1; }\nvoid* PyInit_demo(void) { return (void*)helper; }\n"),
    # the C++ runtime dynamically linked, and its operator new exported
    "c++ runtime": ("c++", "#include <cstdlib>\n#include <new>\n#include <stdexcept>\n"
                           "void* operator new(std::size_t n) { return std::malloc(n ? n : 1); }\n"
                           "void operator delete(void* p) noexcept { std::free(p); }\n"
                           "extern \"C\" void* PyInit_demo(void* p) {\n"
                           "  if (!p) throw std::runtime_error(\"x\"); return new int(1); }\n"),
    # a thread started through a glibc symbol versioned after 2.17 on current glibc
    "new glibc": ("c", "#include <pthread.h>\nstatic void* run(void* a) { return a; }\n"
                       "__attribute__((visibility(\"default\"))) void* PyInit_demo(void) {\n"
                       "  pthread_t t; pthread_create(&t, 0, run, 0); return (void*)t; }\n"),
}


def build(tmp_path, kind, name=EXTENSION):
    lang, code = SOURCES[kind]
    src = tmp_path / f"src.{'c' if lang == 'c' else 'cpp'}"
    src.write_text(code)
    out = tmp_path / name
    flags = ["-fvisibility=hidden"] if kind in ("clean", "new glibc") else []
    subprocess.run([CC if lang == "c" else CXX, "-shared", "-fPIC", "-O1", *flags, str(src), "-o", str(out),
                    *(["-pthread"] if kind == "new glibc" else [])], check=True, capture_output=True, timeout=120)
    return out


def problems_of(path, baseline=(2, 17)):
    return check_wheel.check_shared_object(f"pkg/{path.name}", path.read_bytes(), baseline)


def test_a_clean_extension_passes(tmp_path):
    assert problems_of(build(tmp_path, "clean")) == []


@pytest.mark.parametrize("kind,name,expected", [
    ("extra export", EXTENSION, ["exports 1 symbol(s) besides its init function: helper"]),
    ("c++ runtime", EXTENSION, ["needs libstdc++.so.6", "besides its init function: _Zdl"]),
    ("c++ runtime", "libhelper.so", ["needs libstdc++.so.6", "exports C++ runtime symbols: _Zdl"]),
    ("clean", "other.cpython-311-x86_64-linux-gnu.so", ["does not export PyInit_other"]),
])
def test_each_fault_is_named(tmp_path, kind, name, expected):
    found = problems_of(build(tmp_path, kind, name))
    for text in expected:
        assert any(text in p for p in found), (text, found)


def test_glibc_symbol_versions_are_held_to_the_baseline(tmp_path):
    so = build(tmp_path, "new glibc")
    versions = subprocess.run(["objdump", "-T", str(so)], capture_output=True, text=True).stdout
    if "GLIBC_2.34" not in versions:
        pytest.skip("this glibc versions pthread_create before 2.34")
    assert any("asks for GLIBC_2.34, newer than glibc 2.17" in p for p in problems_of(so, (2, 17)))
    assert problems_of(so, (2, 34)) == []


def wheel_with(tmp_path, so, tag="manylinux_2_17_x86_64"):
    wheel = tmp_path / f"demo-0.1.0-cp311-cp311-{tag}.whl"
    with zipfile.ZipFile(wheel, "w") as zf:
        zf.write(so, f"demo/{so.name}")
    return wheel


def fake_auditwheel(tmp_path, tag):
    """Prints what auditwheel show prints; its line breaks move with the length of the wheel's name."""
    tool = tmp_path / "auditwheel"
    tool.write_text(f'#!/bin/sh\necho "$2 is consistent\nwith the following platform tag: \\"{tag}\\"."\n')
    tool.chmod(0o755)
    return str(tool)


@pytest.mark.parametrize("wheel_tag,audited,failure", [
    ("manylinux_2_17_x86_64", "manylinux_2_17_x86_64", None),
    ("manylinux2014_x86_64.manylinux_2_17_x86_64", "manylinux_2_17_x86_64", None),
    ("manylinux_2_28_x86_64", "manylinux_2_17_x86_64", None),          # a 2.17 wheel fits 2.28 too
    ("manylinux_2_17_x86_64", "manylinux_2_28_x86_64", "consistent with manylinux_2_28_x86_64, not with"),
    ("manylinux_2_17_x86_64", "linux_x86_64", "consistent with linux_x86_64, not with"),
    ("linux_x86_64", "manylinux_2_17_x86_64", "no manylinux_X_Y_x86_64 tag"),
])
def test_the_wheel_must_be_what_auditwheel_finds(tmp_path, wheel_tag, audited, failure):
    wheel = wheel_with(tmp_path, build(tmp_path, "clean"), wheel_tag)
    found = check_wheel.check_wheel(wheel, fake_auditwheel(tmp_path, audited))
    assert (found == []) if failure is None else any(failure in p for p in found), found


def test_unreadable_files_are_reported_not_raised(tmp_path):
    assert "not a readable ELF file" in check_wheel.check_shared_object("x.so", b"\x7fELF garbage", (2, 17))[0]
    broken = tmp_path / "demo-0.1.0-cp311-cp311-manylinux_2_17_x86_64.whl"
    broken.write_bytes(b"not a zip")
    assert "cannot be read as a wheel" in check_wheel.check_wheel(broken, "true")[0]
