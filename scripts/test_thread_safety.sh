#!/usr/bin/env bash
# Builds the pool, the engine and the engine tests with clang, whose -Wthread-safety (made an
# error) proves that every VX_GUARDED_BY member is touched only under its mutex. The analysis
# needs no optimiser and the tests run elsewhere, so this is a quick unoptimised build only. First
# it checks that the analysis is live: an unguarded access must fail to compile.
# Usage: scripts/test_thread_safety.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/thread-safety}
scripts/system_deps.sh clang

# Compiles a counter read through the given body with the analysis on; succeeds when clang accepts.
compiles() {
    clang++ -std=c++20 -fsyntax-only -Wthread-safety -Werror -I src -x c++ - <<CPP
#include "pool/mutex.h"
struct Counter {
    vexilo::pool::Mutex mutex;
    int value VX_GUARDED_BY(mutex) = 0;
};
int read(Counter& counter) { $1 }
CPP
}
if ! compiles 'vexilo::pool::MutexLock lock(counter.mutex); return counter.value;'; then
    echo "clang rejected a guarded access" >&2
    exit 1
fi
if compiles 'return counter.value;' 2>/dev/null; then
    echo "clang accepted an unguarded access: the thread-safety annotations are not in effect" >&2
    exit 1
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
    -DVEXILO_BUILD_MODULE=OFF -DVEXILO_BUILD_TESTS=ON -DVEXILO_WERROR=ON >/dev/null
cmake --build "$build"
