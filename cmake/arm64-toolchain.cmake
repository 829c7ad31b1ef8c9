# Cross build for 64-bit ARMv8-A boards (aarch64: Raspberry Pi 3, 4 and 5 on a 64-bit
# system). Binaries run here through qemu-aarch64; binfmt is not relied upon.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# AArch64 GCC fuses a multiply and an add into one instruction by default; scores must
# round both, as on every other target.
set(CMAKE_C_FLAGS_INIT "-march=armv8-a -ffp-contract=off")
set(CMAKE_CXX_FLAGS_INIT "-march=armv8-a -ffp-contract=off")

# Debian multiarch puts arm64 libraries beside the host's; search there, never in the
# host's own library directories.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /usr/lib/aarch64-linux-gnu)
set(CMAKE_PREFIX_PATH /usr/lib/aarch64-linux-gnu/cmake)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

set(TOVIK_ARM64_SYSROOT "/usr/aarch64-linux-gnu" CACHE PATH "arm64 runtime root for qemu-aarch64 -L")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${TOVIK_ARM64_SYSROOT}
    -E LD_LIBRARY_PATH=${TOVIK_ARM64_SYSROOT}/lib -E TOVIK_UNDER_QEMU=1)
