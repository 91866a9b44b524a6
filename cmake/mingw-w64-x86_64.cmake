# Cross build for 64-bit Windows with MinGW-w64 (posix threads), for
# scripts/build-windows:
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# Only the MinGW sysroot is searched for libraries and headers: the host's
# /usr/include holds glibc headers that must never reach a Windows build.
# The header-only libraries the project uses from the host (Asio, CLI11,
# nlohmann/json) and GoogleTest's sources are wired in by
# cmake/TavexWindows.cmake, each through a folder of its own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TAVEX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TAVEX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAVEX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TAVEX_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TAVEX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every .exe runs alone: the C and C++ runtimes, winpthreads and zlib are
# linked in, no DLL from the toolchain has to travel with it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(ZLIB_USE_STATIC_LIBS ON)
