#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer into
# its own virtual environment and runs the whole test suite against it.
# Python itself is not instrumented: the sanitizer runtimes are preloaded and
# Python's allocator is switched to malloc so ASan sees every allocation.
set -euo pipefail
cd "$(dirname "$0")/.."
venv="${TESSALINE_ASAN_VENV:-.venv-asan}"
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q pytest hypothesis mypy
"$venv/bin/python" -m pip install -q ./sandbox "./tools[cluster]" ./stubs
TESSALINE_SANITIZE=ON "$venv/bin/python" -m pip install -q --force-reinstall --no-deps .
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export PYTHONMALLOC=malloc
# Leak checking is off: the interpreter keeps its own objects alive until exit.
# Reference leaks are tested by the suite itself.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=0:exitcode=86"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=87"
exec "$venv/bin/python" -m pytest -q -p no:cacheprovider tests "$@"
