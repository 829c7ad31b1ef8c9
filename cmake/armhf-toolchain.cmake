# Cross build for 32-bit ARMv7-A hard-float boards (VFPv3-D16, no NEON assumed).
# Binaries run here through qemu-arm; binfmt is not relied upon.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# -Wno-psabi: GCC notes that the passing of some std::pair<double, ...> arguments changed
# in GCC 7.1; every object here is built by one compiler, so the note is noise.
set(CMAKE_C_FLAGS_INIT "-march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard -ffp-contract=off -Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "-march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard -ffp-contract=off -Wno-psabi")

# Debian multiarch puts armhf libraries beside the host's; search there, never in
# the host's own library directories.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf /usr/lib/arm-linux-gnueabihf)
set(CMAKE_PREFIX_PATH /usr/lib/arm-linux-gnueabihf/cmake)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

set(TOVIK_ARMHF_SYSROOT "/usr/arm-linux-gnueabihf" CACHE PATH "armhf runtime root for qemu-arm -L")
# The cross loader must pair with the cross libc; without the library path it would
# pick the multiarch libc through the host's loader cache, and threads would crash.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${TOVIK_ARMHF_SYSROOT} -E LD_LIBRARY_PATH=${TOVIK_ARMHF_SYSROOT}/lib
    -E TOVIK_UNDER_QEMU=1)
