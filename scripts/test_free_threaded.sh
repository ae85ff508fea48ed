#!/usr/bin/env bash
# Runs the Python suite on a free-threaded CPython 3.13 or 3.14 (built from Debian's source
# package by scripts/free_threaded_python.sh and cached), with the module installed in a venv of
# it. Fails unless the interpreter really runs without the GIL after importing vexilo.
# Usage: scripts/test_free_threaded.sh [VENV_DIR] [VERSION]   (defaults .venv-3.13t, 3.13)
# Environment: VEXILO_FT_PREFIX (where the interpreter is built or found; default
# ~/.cache/vexilo/pythonVERSIONt, so that later runs on the same machine reuse it).
set -euo pipefail
cd "$(dirname "$0")/.."
version=${2:-3.13}
venv=${1:-.venv-${version}t}
prefix=${VEXILO_FT_PREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/vexilo/python${version}t}
python=$(scripts/free_threaded_python.sh "$prefix" "$version" | tail -n 1)
echo "free-threaded interpreter: $python ($("$python" --version))"
# NumPy, pandas, Hypothesis, scikit-learn and SciPy publish wheels usable here; never fall back to
# building them (building the newest Hypothesis from source needs packages from outside the
# reachable registries, and a scikit-learn release may come without free-threaded wheels at first:
# the newest one that has them is taken instead).
export PIP_ONLY_BINARY=numpy,pandas,hypothesis,scikit-learn,scipy
scripts/venv.sh "$python" "$venv"
VEXILO_EXPECT_FREE_THREADED=1 scripts/test_python.sh "$venv" -rs
