#!/usr/bin/env bash
# Builds the fuzz targets through CMake (VEXILO_BUILD_FUZZ: clang's libFuzzer with ASan and UBSan,
# linking the engine library built with the project's warning options) and runs each for its share
# of a bounded time: the state reader over fuzz/corpus, the Arrow table reader over
# fuzz/corpus-arrow. Exits non-zero when a fuzzer finds a crash, leak or timeout.
#   fuzz/run.sh [seconds] [extra libFuzzer flags...]
# seconds (default 60) is the total, split evenly between the targets (each gets 1 at least).
# Environment: CXX (default clang++), FUZZ_WORK (build and scratch folder, default
# build-fuzz under the repository root).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
shift || true
cxx="${CXX:-clang++}"
work="${FUZZ_WORK:-$root/build-fuzz}"

cmake -S "$root" -B "$work/build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXILO_BUILD_MODULE=OFF -DVEXILO_BUILD_FUZZ=ON \
    -DVEXILO_SANITIZE="address;undefined" >/dev/null
cmake --build "$work/build" --target state_codec_fuzz arrow_table_fuzz

# Runs target for the given seconds. New inputs go to its scratch corpus; the checked-in seeds are only
# read.
run() {
    local target="$1" seeds="$2" max_len="$3" share="$4"
    shift 4
    ((share > 0)) || share=1  # 0 would tell libFuzzer to run without end
    mkdir -p "$work/corpus/$target" "$work/artifacts/$target"
    echo "fuzzing $target for ${share}s"
    "$work/build/$target" \
        -max_total_time="$share" -rss_limit_mb=512 -malloc_limit_mb=64 -timeout=10 \
        -max_len="$max_len" -print_final_stats=1 -artifact_prefix="$work/artifacts/$target/" \
        "$@" "$work/corpus/$target" "$seeds"
}

run state_codec_fuzz "$root/fuzz/corpus" 4096 $((seconds / 2)) "$@"
run arrow_table_fuzz "$root/fuzz/corpus-arrow" 2048 $((seconds - seconds / 2)) "$@"
