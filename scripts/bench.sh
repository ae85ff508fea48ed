#!/usr/bin/env bash
# Installs vexilo and the peers it is compared with into a venv and runs the benchmark suite.
# Usage: scripts/bench.sh [--quick] [benchmarks/run.py options ...]
#   PYTHON and VENV pick the interpreter and the venv (default .venv-bench); BENCH_INSTALL=0 reuses
#   what the venv already holds. Results go to benchmarks/results/ (--quick: results/quick.tmp/).
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
venv=${VENV:-.venv-bench}
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
if [ "${BENCH_INSTALL:-1}" != 0 ]; then
    "$venv/bin/python" -m pip install -q --upgrade pip
    echo "== installing vexilo from $(pwd)" >&2
    "$venv/bin/python" -m pip install -q ".[pandas]"  # a local tree is always rebuilt and reinstalled
    while read -r requirement; do
        case "$requirement" in "" | "#"*) continue ;; esac
        echo "== installing $requirement" >&2
        "$venv/bin/python" -m pip install -q "$requirement" ||
            echo "could not install $requirement: that peer is left out of the run" >&2
    done <benchmarks/requirements.txt
fi
exec "$venv/bin/python" benchmarks/run.py "$@"
