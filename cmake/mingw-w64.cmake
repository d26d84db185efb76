# Cross toolchain for 64-bit Windows with Debian's mingw-w64.
# The -posix compiler is used because it carries std::thread and std::mutex;
# the win32 thread-model compiler does not.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VX40_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VX40_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VX40_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VX40_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VX40_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Self-contained executables: no libgcc, libstdc++ or winpthread DLLs needed.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
