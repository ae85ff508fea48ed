#!/usr/bin/env bash
# Cross-builds the whole module for 32-bit ARM (armhf) against CPython 3.14 and NumPy from a Debian
# sid armhf root tree (made and cached by scripts/debian_root.sh), and runs the whole Python suite
# under qemu-arm with that tree's python3.14, pandas, pytest and Hypothesis. Fails unless the
# interpreter really is 32-bit. Installs the cross toolchain and qemu from Debian when missing.
# Usage: scripts/test_armhf_python.sh [BUILD_DIR] [pytest args ...]
#        (BUILD_DIR default build/armhf-python; a first argument starting with - is for pytest)
# Environment: VEXILO_SID_ARMHF (the root tree; default ~/.cache/vexilo/sid-armhf).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/armhf-python
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
    build=$1
    shift
fi
scripts/system_deps.sh crossbuild-essential-armhf qemu-user
tree=$(scripts/debian_root.sh armhf ${VEXILO_SID_ARMHF:+"$VEXILO_SID_ARMHF"} | tail -n 1)
python="$tree/usr/bin/python3.14-host"
"$python" - <<'PY'
import platform, struct, sys
import hypothesis, numpy, pandas, pytest
from importlib.metadata import version
print(f"interpreter: {sys.executable}: Python {sys.version.split()[0]} on {platform.machine()},"
      f" NumPy {numpy.__version__}, pandas {pandas.__version__}, pytest {pytest.__version__},"
      f" scikit-learn {version('scikit-learn')}, Hypothesis {hypothesis.__version__}")
pointer = struct.calcsize("P")
print(f"pointer size: {pointer} bytes; sys.maxsize: {sys.maxsize}")
if pointer != 4 or sys.maxsize != 2**31 - 1:
    sys.exit("not a 32-bit interpreter")
if sys.version_info[:2] != (3, 14):
    sys.exit(f"not CPython 3.14: {sys.version}")
PY

# The compiler's own armhf root supplies the C library; the tree, searched after it, supplies
# Python's headers (pyconfig.h includes its multiarch twin relative to the tree's /usr/include)
# and NumPy's, whose path the interpreter reports. -Wno-psabi: GCC notes that the argument passing
# of some types changed in GCC 7.1, which concerns no code built elsewhere.
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-armhf.cmake" \
    -DVEXILO_BUILD_TESTS=OFF -DVEXILO_WERROR=ON -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE="$python" -DPython_INCLUDE_DIR="$tree/usr/include/python3.14" \
    -DCMAKE_CXX_FLAGS="-idirafter $tree/usr/include -Wno-psabi" >/dev/null
cmake --build "$build" --target vexilo
build=$(cd "$build" && pwd)
module=$(find "$build" -maxdepth 2 -name 'vexilo*.so' | head -n 1)
case "$(readelf -h "$module")" in
    *ELF32*ARM*) ;;
    *)
        echo "not a 32-bit ARM module: $module" >&2
        exit 1
        ;;
esac

export PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}"
"$python" - "$build" <<'PY'
import os, sys
import vexilo
where = os.path.realpath(vexilo.__file__)
if not where.startswith(os.path.realpath(sys.argv[1]) + os.sep):
    sys.exit(f"vexilo was imported from {where}, not from {sys.argv[1]}")
print(f"module: {where}")
PY

# qemu-user aborts a child forked from a multi-threaded program as soon as the child starts a
# thread ("cpu_exec: assertion failed: (cpu == current_cpu)"; plain Python threads and os.fork do
# it too). These tests fork after the worker pool started, and the child starts a pool of its own.
qemu_cannot_run=(tests/python/test_processes.py)
deselect=()
for test in "${qemu_cannot_run[@]}"; do
    echo "not run under qemu-arm (qemu-user cannot fork a multi-threaded program): $test"
    deselect+=(--deselect "$test")
done
status=0
"$python" -m pytest -q -p no:cacheprovider "${deselect[@]}" "$@" || status=$?
[ "$status" -ne 5 ] || echo "pytest collected no tests" >&2
exit "$status"
