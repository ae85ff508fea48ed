#!/usr/bin/env bash
# Builds the state-reader fuzz target through CMake (VEXILO_BUILD_FUZZ: clang's libFuzzer with ASan
# and UBSan, linking the engine library built with the project's warning options), then runs it
# for a bounded time over fuzz/corpus. Exits non-zero when the fuzzer finds a crash, leak or
# timeout.
#   fuzz/run.sh [seconds] [extra libFuzzer flags...]
# Environment: CXX (default clang++), FUZZ_WORK (build and scratch folder, default
# build-fuzz under the repository root).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
shift || true
cxx="${CXX:-clang++}"
work="${FUZZ_WORK:-$root/build-fuzz}"
mkdir -p "$work/corpus" "$work/artifacts"

cmake -S "$root" -B "$work/build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXILO_BUILD_MODULE=OFF -DVEXILO_BUILD_FUZZ=ON \
    -DVEXILO_SANITIZE="address;undefined" >/dev/null
cmake --build "$work/build" --target state_codec_fuzz

# New inputs go to the scratch corpus; the checked-in seeds are only read.
"$work/build/state_codec_fuzz" \
    -max_total_time="$seconds" -rss_limit_mb=512 -malloc_limit_mb=64 -timeout=10 \
    -max_len=4096 -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
    "$@" "$work/corpus" "$root/fuzz/corpus"
