#!/usr/bin/env bash
# Cross-builds the engine and its C++ tests for 32-bit ARM (armhf, where size_t is 32 bits) and
# runs them under qemu-arm. Installs the cross toolchain and qemu from Debian when missing, and
# builds GoogleTest for armhf from Debian's googletest sources (no multiarch needed).
# Usage: scripts/test_armhf.sh [BUILD_DIR] [cmake -D options ...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/armhf}
shift || true
scripts/system_deps.sh crossbuild-essential-armhf qemu-user googletest

toolchain="$PWD/cmake/toolchain-armhf.cmake"
sysroot="$PWD/$build/sysroot"
if [ ! -f "$sysroot/usr/lib/cmake/GTest/GTestConfig.cmake" ]; then
    echo "== GoogleTest for armhf (from /usr/src/googletest)"
    cmake -S /usr/src/googletest -B "$build/googletest" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_GMOCK=ON >/dev/null
    cmake --build "$build/googletest"
    DESTDIR="$sysroot" cmake --install "$build/googletest" >/dev/null
fi

echo "== engine and tests for armhf"
cmake -S . -B "$build/engine" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DVEXILO_ARMHF_SYSROOT="$sysroot" -DVEXILO_BUILD_MODULE=OFF -DVEXILO_BUILD_TESTS=ON \
    -DVEXILO_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build/engine"

# Prove the binaries really are 32-bit ARM before trusting their results.
test_binary=$(find "$build/engine/tests" -maxdepth 2 -type f -name '*_test' | head -n 1)
if [ -z "$test_binary" ]; then
    echo "no engine test executable was built" >&2
    exit 1
fi
file_info=$(file -b "$test_binary" 2>/dev/null || readelf -h "$test_binary")
case "$file_info" in
    *"ELF 32-bit"*ARM* | *ELF32*ARM*) ;;
    *)
        echo "not a 32-bit ARM binary: $test_binary: $file_info" >&2
        exit 1
        ;;
esac

echo "== engine tests under qemu-arm"
# qemu-user cannot run a child forked from a multi-threaded program (the emulator itself fails an
# assertion, "cpu == current_cpu", with or without our code), so the fork test runs natively only.
echo "left out under qemu-arm: the pool's fork test (qemu-user cannot fork a threaded process)"
ctest --test-dir "$build/engine" --output-on-failure --timeout 600 -E 'ForkedChild'
