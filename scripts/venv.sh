#!/usr/bin/env bash
# Creates (or reuses) a virtual environment and installs vexilo into it with the test tools.
# Usage: scripts/venv.sh PYTHON VENV_DIR [pip-extra ...]
set -euo pipefail
python=${1:?python interpreter}
venv=${2:?venv directory}
shift 2
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q cmake ninja
"$venv/bin/python" -m pip install -q ".[test]" "$@"
