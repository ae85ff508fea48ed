#!/usr/bin/env bash
# Sets up vexilo in a venv and runs the main job: encode and decode the sample table.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
venv=${VENV:-.venv}
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q ".[pandas]"
"$venv/bin/python" examples/demo.py "$@"
