#!/usr/bin/env bash
# The tessaline benchmark suite, from a fresh checkout:
#
#     bash bench/run.sh [--quick] [--no-callgrind] [--no-memory]
#
# Creates (or reuses) its own virtual environment outside the repository
# (BENCH_VENV, default /tmp/venv-tessaline-bench), installs numpy,
# numpy-ringbuffer, Cython and the build backend, the host/SDK stand-ins
# (sandbox/) and the module built from this work tree (unstripped, so that
# profiles name its functions), builds the C driver and the Cython twin into
# bench/_build, then runs bench/run.py, which prints the tables and writes
# bench/results.md. Not part of the tests; CI does not run it.
# Needs python3.11 with its headers, g++, cmake; valgrind for the instruction
# counts (skipped when absent).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
venv="${BENCH_VENV:-/tmp/venv-tessaline-bench}"
build="$root/bench/_build"
python="${PYTHON:-python3.11}"
command -v "$python" >/dev/null || python=python3

[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
py="$venv/bin/python"
"$py" -m pip install -q --disable-pip-version-check numpy numpy-ringbuffer cython scikit-build-core setuptools
"$py" -m pip install -q --disable-pip-version-check "$root/sandbox"
"$py" -m pip install -q --disable-pip-version-check --no-build-isolation --force-reinstall --no-deps \
    -Cbuild-dir="${BENCH_SKBUILD:-/tmp/skbuild-tessaline-bench}" -Cinstall.strip=false "$root"

mkdir -p "$build"
inc="$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
suffix="$("$py" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')"
cc="${CC:-gcc}"
"$cc" -O2 -g -shared -fPIC -I"$inc" "$root/bench/_benchloop.c" -o "$build/_benchloop$suffix"
# the Cython twin: the very source of the interpreted twin, under its own module name
cp "$root/bench/tessaline_twin.py" "$build/tessaline_twin_cy.py"
(cd "$build" && "$venv/bin/cythonize" -q -i -3 tessaline_twin_cy.py >/dev/null)

exec "$py" "$root/bench/run.py" "$@"
