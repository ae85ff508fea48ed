#!/usr/bin/env bash
# Sets up everything and runs every test: the C++ engine tests and the Python suite.
# Usage: scripts/test.sh   (PYTHON and VENV override the interpreter and the venv directory)
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
venv=${VENV:-.venv}
scripts/system_deps.sh
scripts/venv.sh "$python" "$venv" "pyarrow>=16" "polars>=1.20" "duckdb>=1.1" \
    "dask[dataframe]>=2025.1" "distributed>=2025.1" "ray[data]>=2.40"
export PATH="$PWD/$venv/bin:$PATH"
echo "== engine tests (C++)"
scripts/test_engine.sh build/engine
echo "== Python tests ($("$venv/bin/python" --version))"
# Dask, Ray, pyarrow, polars and DuckDB are installed here: their tests must run, not skip.
VEXILO_REQUIRE_DASK=1 VEXILO_REQUIRE_RAY=1 VEXILO_REQUIRE_ARROW=1 VEXILO_REQUIRE_POLARS=1 \
    scripts/test_python.sh "$venv"
