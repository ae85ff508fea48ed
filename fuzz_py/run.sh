#!/usr/bin/env bash
# Builds the module with clang for coverage-guided fuzzing (libFuzzer's coverage, ASan, UBSan) and
# runs each atheris harness of fuzz_py/ against it for a bounded time, with atheris' ASan+libFuzzer
# runtime preloaded. New inputs go to a scratch corpus; the checked-in seeds are only read.
# Fails on the first crash, sanitizer report, failed check or timeout (the input is saved under
# the scratch folder's artifacts/).
# Usage: fuzz_py/run.sh VENV_DIR [seconds per harness] [extra libFuzzer flags ...]
# Environment: CXX (default clang++), FUZZ_PY_WORK (scratch folder, default build/fuzz_py).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv=$(cd "${1:?venv directory}" && pwd)
seconds=${2:-30}
shift $(($# < 2 ? $# : 2))
python="$venv/bin/python"
work="${FUZZ_PY_WORK:-$root/build/fuzz_py}"

"$python" -c 'import atheris' 2>/dev/null || "$python" -m pip install -q 'atheris==3.0.0'
runtime="$("$python" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so"
[ -f "$runtime" ] || { echo "atheris ships no $runtime" >&2; exit 1; }

# The preloaded runtime supplies ASan, UBSan and the coverage callbacks. Its UBSan lacks the
# handlers of clang 14's vptr and function checks, so those two are left out.
CXX=${CXX:-clang++} cmake -S "$root" -B "$work/module" -G Ninja -DVEXILO_BUILD_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$python" \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize=vptr,function -fno-sanitize-recover=all -fno-omit-frame-pointer" \
    >/dev/null
cmake --build "$work/module"

export LD_PRELOAD="$runtime"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1"
export PYTHONPATH="$work/module"
"$python" - "$work/module" <<'PY'
import os, sys
import vexilo
where = os.path.realpath(vexilo.__file__)
if not where.startswith(os.path.realpath(sys.argv[1]) + os.sep):
    sys.exit(f"vexilo was imported from {where}, not from the fuzzing build")
PY

for harness in tables setstate; do
    mkdir -p "$work/$harness/corpus" "$work/$harness/artifacts"
    echo "== fuzz_$harness for $seconds s"
    "$python" "$root/fuzz_py/fuzz_$harness.py" -max_total_time="$seconds" -timeout=30 \
        -rss_limit_mb=4096 -max_len=2048 -print_final_stats=1 \
        -artifact_prefix="$work/$harness/artifacts/" "$@" \
        "$work/$harness/corpus" "$root/fuzz_py/corpus/$harness"
done
