# Cross-compiling for 64-bit Arm Linux with Debian's aarch64-linux-gnu toolchain.
# VELK_AARCH64_SYSROOT names an arm64 root holding the target's Python headers
# (scripts/arm64-sysroot.sh makes one); it is read from the environment so that
# CMake's own test projects see it too.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

if(NOT DEFINED ENV{VELK_AARCH64_SYSROOT})
  message(FATAL_ERROR "VELK_AARCH64_SYSROOT is not set: it must name the arm64 root")
endif()
set(VELK_AARCH64_SYSROOT "$ENV{VELK_AARCH64_SYSROOT}")

# The toolchain's own C library headers and libraries come first: what the
# modules link against is the cross toolchain's C library, older than the
# root's, so the built modules run on older robots too. The root's headers are
# searched last, for Python's (its pyconfig.h includes a multiarch header).
set(CMAKE_C_FLAGS_INIT "-idirafter ${VELK_AARCH64_SYSROOT}/usr/include")
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${VELK_AARCH64_SYSROOT}/usr/include")
# The C++ runtime goes into each module, so a wheel needs nothing of the
# robot's libstdc++; its symbols stay private to the module, and the parts of
# it a module never calls are dropped (with them a reference to a C library
# function newer than the robots' C library).
set(VELK_STATIC_RUNTIME "-static-libstdc++ -static-libgcc -Wl,--gc-sections -Wl,--exclude-libs,ALL")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${VELK_STATIC_RUNTIME}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${VELK_STATIC_RUNTIME}")

# Programs for the target (the interpreter, when CMake asks it for its
# settings) run under the user-mode emulator; branch protection stays off, as
# the emulator runs it about 20 times slower.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-aarch64-static -L "${VELK_AARCH64_SYSROOT}" -cpu max,pauth=off)

set(CMAKE_FIND_ROOT_PATH "${VELK_AARCH64_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
