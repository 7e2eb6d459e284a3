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
# the HTML report's browser test needs a headless chromium; installed where missing when
# this runs as root with apt (the test is skipped, saying why, where it cannot be)
if ! command -v chromium >/dev/null 2>&1 && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium; } >/dev/null 2>&1 \
        || echo "note: chromium could not be installed; the browser test will be skipped" >&2
fi
exec "$venv/bin/python" -m pytest -q -p no:cacheprovider tests "$@"
