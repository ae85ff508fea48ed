#!/usr/bin/env bash
# Runs the Python test suite in a venv; fails when pytest fails or collects nothing.
# Usage: scripts/test_python.sh VENV_DIR [pytest args ...]
set -euo pipefail
venv=${1:?venv directory}
shift
status=0
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=$?
if [ "$status" -eq 5 ]; then
    echo "pytest collected no tests" >&2
fi
exit "$status"
