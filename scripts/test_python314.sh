#!/usr/bin/env bash
# Builds the module against CPython 3.14 and NumPy from a Debian sid root tree (made and cached by
# scripts/debian_root.sh) and runs the whole Python suite with that tree's python3.14, pandas,
# pytest and Hypothesis. The module is compiled with this machine's compiler; it needs no newer C
# or C++ runtime than the tree has.
# Usage: scripts/test_python314.sh [BUILD_DIR] [pytest args ...]
#        (BUILD_DIR default build/py314; a first argument starting with - is for pytest)
# Environment: VEXILO_SID_AMD64 (the root tree; default ~/.cache/vexilo/sid-amd64).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/py314
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
    build=$1
    shift
fi
tree=$(scripts/debian_root.sh amd64 ${VEXILO_SID_AMD64:+"$VEXILO_SID_AMD64"} | tail -n 1)
python="$tree/usr/bin/python3.14-host"
"$python" - <<'PY'
import sys
import hypothesis, numpy, pandas, pytest
from importlib.metadata import version
print(f"interpreter: {sys.executable}: Python {sys.version.split()[0]}, NumPy {numpy.__version__},"
      f" pandas {pandas.__version__}, pytest {pytest.__version__},"
      f" scikit-learn {version('scikit-learn')}, Hypothesis {hypothesis.__version__}")
if sys.version_info[:2] != (3, 14):
    sys.exit(f"not CPython 3.14: {sys.version}")
PY

# The tree's pyconfig.h includes its multiarch twin by a path relative to the tree's /usr/include,
# which is searched after this machine's own headers so that the C library stays this machine's.
cmake -S . -B "$build" -G Ninja -DVEXILO_BUILD_TESTS=OFF -DVEXILO_WERROR=ON \
    -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$python" \
    -DCMAKE_CXX_FLAGS="-idirafter $tree/usr/include" >/dev/null
cmake --build "$build" --target vexilo
build=$(cd "$build" && pwd)

export PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}"
"$python" - "$build" <<'PY'
import os, sys
import vexilo
where = os.path.realpath(vexilo.__file__)
if not where.startswith(os.path.realpath(sys.argv[1]) + os.sep):
    sys.exit(f"vexilo was imported from {where}, not from {sys.argv[1]}")
print(f"module: {where}")
PY
status=0
"$python" -m pytest -q -p no:cacheprovider "$@" || status=$?
[ "$status" -ne 5 ] || echo "pytest collected no tests" >&2
exit "$status"
