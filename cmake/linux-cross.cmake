# Cross-build for another Debian architecture with Debian's cross compilers:
#   cmake -S . -B build/cross/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/linux-cross.cmake -DSEGSPLICE_ARCH=armhf
# SEGSPLICE_ARCH is armhf, i386, arm64 or s390x (scripts/cross_test.sh builds
# and tests them all). Everything is linked statically, so the binaries run
# under qemu-user without the target's C library installed, and an i386 one
# runs on an x86-64 kernel as it is where that kernel runs 32-bit programs.
# CTest runs the test binaries under qemu-user, natively where the host runs
# them.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SEGSPLICE_ARCH SEGSPLICE_EMULATED)

# Debian architecture, CMake's processor name, GNU triple, qemu-user's name,
# multiarch directory.
set(segsplice_cross_targets
  "armhf arm arm-linux-gnueabihf arm arm-linux-gnueabihf"
  "i386 i686 i686-linux-gnu i386 i386-linux-gnu"
  "arm64 aarch64 aarch64-linux-gnu aarch64 aarch64-linux-gnu"
  "s390x s390x s390x-linux-gnu s390x s390x-linux-gnu")
set(segsplice_cross_found "")
foreach(target IN LISTS segsplice_cross_targets)
  string(REPLACE " " ";" fields "${target}")
  list(GET fields 0 deb_arch)
  if(deb_arch STREQUAL "${SEGSPLICE_ARCH}")
    set(segsplice_cross_found "${fields}")
  endif()
endforeach()
if(NOT segsplice_cross_found)
  message(FATAL_ERROR "linux-cross.cmake: SEGSPLICE_ARCH is '${SEGSPLICE_ARCH}', not one of armhf, i386, arm64, s390x")
endif()
list(GET segsplice_cross_found 1 processor)
list(GET segsplice_cross_found 2 triple)
list(GET segsplice_cross_found 3 qemu)
list(GET segsplice_cross_found 4 multiarch)
# Libraries of the target architecture that Debian installs beside the host's
# (nettle-dev:ARCH), not under the cross compiler's root.
set(SEGSPLICE_MULTIARCH_LIBDIR /usr/lib/${multiarch})

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${processor})
set(CMAKE_C_COMPILER ${triple}-gcc)
set(CMAKE_CXX_COMPILER ${triple}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# The hardening flags that dpkg-buildflags gives for this architecture.
set(SEGSPLICE_DEB_ARCH ${SEGSPLICE_ARCH})

# x86-64 runs i386 binaries itself, unless its kernel was told not to
# (SEGSPLICE_EMULATED, which scripts/cross_test.sh sets from a probe).
if(SEGSPLICE_EMULATED OR NOT (SEGSPLICE_ARCH STREQUAL "i386" AND CMAKE_HOST_SYSTEM_PROCESSOR MATCHES "^(x86_64|amd64|AMD64)$"))
  find_program(SEGSPLICE_QEMU NAMES qemu-${qemu} qemu-${qemu}-static)
  if(SEGSPLICE_QEMU)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${SEGSPLICE_QEMU})
  endif()
endif()
