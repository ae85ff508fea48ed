#!/usr/bin/env bash
# Builds and runs the C++ engine tests (no interpreter involved).
# Usage: scripts/test_engine.sh BUILD_DIR [cmake -D options ...]
set -euo pipefail
build=${1:?build directory}
shift
cmake -S . -B "$build" -G Ninja -DVEXILO_BUILD_MODULE=OFF -DVEXILO_BUILD_TESTS=ON \
    -DVEXILO_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure --timeout 300
