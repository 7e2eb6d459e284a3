#!/usr/bin/env bash
# The tessaline benchmark suite, from a fresh checkout:
#
#     bash bench/run.sh [run.py options]        (bash bench/run.sh --help lists them)
#
# Creates (or reuses) its own virtual environment outside the repository
# (BENCH_VENV, default /tmp/venv-tessaline-bench), installs numpy,
# numpy-ringbuffer, Cython, pybind11 and the build backend, the host/SDK
# stand-ins (sandbox/) and the module built from a work tree (unstripped, so
# that profiles name its functions), builds the C driver, the record types
# (compiled extension and pybind11) and the Cython twin into bench/_build, then
# runs bench/run.py, which prints the tables and writes bench/results.md.
# Not part of the tests; CI does not run it.
#
# BENCH_SRC=/path/to/worktree  measure the module (and stand-ins) of that work
#                              tree instead of this one; its own venv
#                              (/tmp/venv-tessaline-bench-<dir name>), build
#                              directory and output directory
#                              (bench/_build/out-<dir name>), so that runs of
#                              two trees never mix
# BENCH_REV=<commit or branch>  measure that revision of this repository:
#                              exported clean (git archive) to
#                              /tmp/tessaline-bench-src-<commit>, so that
#                              uncommitted edits in any work tree never enter
#                              the figures; then as BENCH_SRC (its own venv and
#                              output directory, bench/_build/out-rev-<commit>)
# BENCH_NO_INSTALL=1           measure the module already installed in the venv
#
# Needs python3.11 with its headers, gcc/g++ and cmake; valgrind for the
# instruction counts (skipped when absent).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
if [ -n "${BENCH_REV:-}" ]; then
    rev="$(git -C "$root" rev-parse --short "${BENCH_REV}^{commit}")"
    export BENCH_REV_COMMIT="$rev"
    BENCH_SRC="/tmp/tessaline-bench-src-$rev"
    if [ ! -d "$BENCH_SRC" ]; then
        rm -rf "$BENCH_SRC.$$"
        mkdir -p "$BENCH_SRC.$$"
        git -C "$root" archive "$rev" | tar -x -C "$BENCH_SRC.$$"
        mv "$BENCH_SRC.$$" "$BENCH_SRC"
    fi
    tag="rev-$rev"
    # one venv for every revision: each run reinstalls the module of its own
    export BENCH_VENV="${BENCH_VENV:-/tmp/venv-tessaline-bench-rev}"
fi
src="$(cd "${BENCH_SRC:-$root}" && pwd)"
if [ -z "${BENCH_REV:-}" ]; then
    tag=""
    [ "$src" = "$root" ] || tag="$(basename "$src" | tr -c 'A-Za-z0-9_.\n-' '_')"
fi
export BENCH_SRC="$src" BENCH_TAG="$tag"
venv="${BENCH_VENV:-/tmp/venv-tessaline-bench${tag:+-$tag}}"
build="$root/bench/_build"
python="${PYTHON:-python3.11}"
command -v "$python" >/dev/null || python=python3
pip() { "$venv/bin/python" -m pip -q --disable-pip-version-check "$@"; }

[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
py="$venv/bin/python"
# the benchmark's own dependencies, installed once per venv
deps="numpy numpy-ringbuffer cython pybind11 scikit-build-core setuptools"
if [ "$(cat "$venv/.bench-deps" 2>/dev/null)" != "$deps" ]; then
    pip install $deps
    echo "$deps" >"$venv/.bench-deps"
fi
# the stand-ins, again whenever one of their files changed
stamp="$venv/.bench-sandbox-$(echo "$src" | md5sum | cut -c1-12)"
if [ ! -e "$stamp" ] || [ -n "$(find "$src/sandbox" -name '*.py' -newer "$stamp" -print -quit)" ] \
        || [ -n "$(find "$src/sandbox" -name pyproject.toml -newer "$stamp" -print -quit)" ]; then
    pip install "$src/sandbox"
    touch "$stamp"
fi
if [ "${BENCH_NO_INSTALL:-0}" != 1 ]; then
    echo "+ building the module from $src"
    pip install --no-build-isolation --force-reinstall --no-deps \
        -Cbuild-dir="${BENCH_SKBUILD:-/tmp/skbuild-tessaline-bench${tag:+-$tag}}" -Cinstall.strip=false "$src"
fi

mkdir -p "$build"
inc="$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
suffix="$("$py" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')"
cc="${CC:-gcc}"
cxx="${CXX:-g++}"
# stale OUTPUT SOURCE...: true when the output is missing or older than a source
stale() { local out="$1"; shift; [ ! -e "$out" ] || [ -n "$(find "$@" -newer "$out" -print -quit)" ]; }
# built under a temporary name and renamed, so that a run from another tree
# at the same time never loads a half-written file
if stale "$build/_benchloop$suffix" bench/_benchloop.c; then
    "$cc" -O2 -g -shared -fPIC -I"$inc" bench/_benchloop.c -o "$build/_benchloop.$$.tmp"
    mv "$build/_benchloop.$$.tmp" "$build/_benchloop$suffix"
fi
if stale "$build/_benchrecords$suffix" bench/_benchrecords.c; then
    "$cc" -O2 -g -Wall -Wextra -shared -fPIC -I"$inc" bench/_benchrecords.c -o "$build/_benchrecords.$$.tmp"
    mv "$build/_benchrecords.$$.tmp" "$build/_benchrecords$suffix"
fi
if stale "$build/_benchpybind$suffix" bench/_benchpybind.cpp; then
    echo "+ building the pybind11 records"
    "$cxx" -O2 -g -std=c++17 -Wall -Wextra -shared -fPIC $("$py" -m pybind11 --includes) bench/_benchpybind.cpp \
        -o "$build/_benchpybind.$$.tmp"
    mv "$build/_benchpybind.$$.tmp" "$build/_benchpybind$suffix"
fi
# the Cython twin: the very source of the interpreted twin, under its own module name
if stale "$build/tessaline_twin_cy$suffix" bench/tessaline_twin.py; then
    echo "+ building the Cython twin"
    tmp="$build/cy.$$"
    mkdir -p "$tmp"
    cp bench/tessaline_twin.py "$tmp/tessaline_twin_cy.py"
    (cd "$tmp" && "$venv/bin/cythonize" -q -i -3 tessaline_twin_cy.py >/dev/null)
    mv "$tmp"/tessaline_twin_cy*.so "$build/tessaline_twin_cy$suffix"
    rm -rf "$tmp"
fi

exec "$py" "$root/bench/run.py" "$@"
