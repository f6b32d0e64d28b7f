# Cross build for the target platform, Linux on AArch64; tests run under qemu-user.
#
# The arm64 sysroot (scripts/install-deps.sh aarch64) holds Debian's arm64 Mono libraries and
# HTTP parser beside a whole arm64 run-time, so that it can be both a place to link against
# and the library prefix qemu-aarch64 runs every program with. Without it only the system
# library and its unit tests can be built (-DVRNS_CORE_ONLY=ON), and they run with the cross
# compiler's own libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

if(DEFINED ENV{VRNS_AARCH64_SYSROOT})
  set(VRNS_SYSROOT $ENV{VRNS_AARCH64_SYSROOT})
else()
  set(VRNS_SYSROOT /opt/vrns/aarch64-sysroot)
endif()
if(EXISTS ${VRNS_SYSROOT}/lib/ld-linux-aarch64.so.1)
  set(VRNS_EMULATOR_PREFIX ${VRNS_SYSROOT})
else()
  set(VRNS_EMULATOR_PREFIX /usr/aarch64-linux-gnu)
endif()

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu ${VRNS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The linker looks for the libraries that shared libraries need (the Mono runtime behind the
# host library, zlib and GSS-API behind the Mono support libraries) in the sysroot's
# library folders, which are not the compiler's.
set(VRNS_SYSROOT_LINK_FLAGS "-Wl,-rpath-link,${VRNS_SYSROOT}/usr/lib:${VRNS_SYSROOT}/lib/aarch64-linux-gnu:${VRNS_SYSROOT}/usr/lib/aarch64-linux-gnu")
set(CMAKE_EXE_LINKER_FLAGS_INIT ${VRNS_SYSROOT_LINK_FLAGS})
set(CMAKE_SHARED_LINKER_FLAGS_INIT ${VRNS_SYSROOT_LINK_FLAGS})
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${VRNS_EMULATOR_PREFIX})
