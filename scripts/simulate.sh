#!/usr/bin/env bash
# Builds the module into its own virtual environment, with the stand-in host
# framework and SDK and the user tools (capture, replay, the HTML report)
# beside it, and runs a simulated trading session through it: two trading days
# (a Friday and the Monday after) of 20 instruments, the demo host strategy,
# and the report.  Arguments go to tessaline-sim, e.g.
#   bash scripts/simulate.sh --threads
#   bash scripts/simulate.sh --instruments 50 --days 5 --seed 11 --json report.json
# Afterwards every command is in the environment: .venv/bin/tessaline-sim,
# .venv/bin/tessaline-replay, .venv/bin/python.
set -euo pipefail
cd "$(dirname "$0")/.."
venv="${TESSALINE_VENV:-.venv}"
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q numpy numpy-ringbuffer
"$venv/bin/python" -m pip install -q ./sandbox ./tools
"$venv/bin/python" -m pip install -q --force-reinstall --no-deps .
exec "$venv/bin/tessaline-sim" "$@"
