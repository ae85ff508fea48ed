# Cross-compiles for 32-bit ARM Linux (armhf) with Debian's arm-linux-gnueabihf toolchain, and runs
# the resulting executables (test discovery, ctest) under qemu-arm.
# VEXILO_ARMHF_SYSROOT names an extra root holding armhf libraries built here (GoogleTest).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# try_compile projects re-read this file; hand them the extra root too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VEXILO_ARMHF_SYSROOT)

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf ${VEXILO_ARMHF_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The ARM dynamic loader and libraries live under the cross root, not under /.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf)
