#!/usr/bin/env bash
# Builds the module into its own virtual environment, with the stand-in host
# framework and SDK beside it, and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
venv="${TESSALINE_VENV:-.venv}"
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q pytest hypothesis mypy
"$venv/bin/python" -m pip install -q ./sandbox "./tools[cluster]" ./stubs
"$venv/bin/python" -m pip install -q --force-reinstall --no-deps .
"$venv/bin/python" -m pip install -q .
exec "$venv/bin/python" -m pytest -q -p no:cacheprovider tests "$@"
