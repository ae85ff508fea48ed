#!/usr/bin/env bash
# Builds the state-reader fuzz target with clang's libFuzzer, ASan and UBSan, then runs it for a
# bounded time over fuzz/corpus. Exits non-zero when the fuzzer finds a crash, leak or timeout.
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

"$cxx" -std=c++20 -g -O1 -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I"$root/src" \
    "$root/fuzz/state_codec_fuzz.cpp" \
    "$root/src/engine/state_codec.cpp" \
    "$root/src/engine/encoding_info.cpp" \
    -o "$work/state_codec_fuzz"

# New inputs go to the scratch corpus; the checked-in seeds are only read.
"$work/state_codec_fuzz" \
    -max_total_time="$seconds" -rss_limit_mb=512 -malloc_limit_mb=64 -timeout=10 \
    -max_len=4096 -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
    "$@" "$work/corpus" "$root/fuzz/corpus"
