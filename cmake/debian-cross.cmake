# Shared part of the toolchains for Debian's cross compilers to Linux on
# another processor (cmake/arm64.cmake, cmake/armhf.cmake), which set
# CMAKE_SYSTEM_PROCESSOR, VX40_CROSS_TRIPLET (the GNU triplet, also the
# multiarch folder) and VX40_DEB_ARCHITECTURE (the package's architecture).
#
# The libraries come from Debian's multiarch packages (libssl-dev:arm64 and
# so on) in /usr/lib/TRIPLET, which the cross compiler searches by itself;
# pkg-config is pointed at that architecture's files so that no hint leads
# find_package to the build machine's own libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VX40_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VX40_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${VX40_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${VX40_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
