# Cross build for the console (64-bit Arm Linux) with Debian's cross compiler
# and the arm64 libraries of Debian's multiarch packages:
#   cmake -S . -B build-device -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DZE_RADIO_STATIC=ON
# Header-only libraries (nlohmann-json, fmt) come from /usr/include, which the
# cross compiler searches after its own folders; no amd64 library is linked.
# Test programs run under qemu-aarch64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ZE_CROSS_TRIPLET aarch64-linux-gnu)

set(CMAKE_C_COMPILER ${ZE_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ZE_CROSS_TRIPLET}-g++)
set(CMAKE_ASM_COMPILER ${ZE_CROSS_TRIPLET}-gcc)
set(CMAKE_LIBRARY_ARCHITECTURE ${ZE_CROSS_TRIPLET})

# Libraries and package configurations only from the arm64 folders (and the
# architecture-independent /usr/share); programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${ZE_CROSS_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_IGNORE_PREFIX_PATH /usr/lib/x86_64-linux-gnu)

# pkg-config answers for arm64.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${ZE_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# The emulator runs test programs (and gtest_discover_tests) on the build
# machine; -L finds the dynamic loader for builds that are not static.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/${ZE_CROSS_TRIPLET})
