# Cross toolchain for 32-bit ARM Linux with hardware floating point
# (Debian's armhf) with Debian's crossbuild-essential-armhf; see
# cmake/debian-cross.cmake.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(VX40_CROSS_TRIPLET arm-linux-gnueabihf)
set(VX40_DEB_ARCHITECTURE armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
# GCC notes every function whose argument passing changed on 32-bit ARM in
# GCC 7.1; everything here is built by one compiler, so that is no concern.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
