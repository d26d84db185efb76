# Cross toolchain for 64-bit ARM Linux (Debian's arm64) with Debian's
# crossbuild-essential-arm64; see cmake/debian-cross.cmake.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VX40_CROSS_TRIPLET aarch64-linux-gnu)
set(VX40_DEB_ARCHITECTURE arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
