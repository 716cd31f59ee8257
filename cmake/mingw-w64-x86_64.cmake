# Cross build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix):
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The programs link their C++ runtime (libgcc, libstdc++, winpthread) statically, so an
# .exe runs by itself on Windows. Tests run under Wine (see scripts/build-windows.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(P_UPDATE_MINGW_PREFIX x86_64-w64-mingw32)
# The "posix" variant of the compiler: its std::thread and std::mutex are complete.
set(CMAKE_C_COMPILER ${P_UPDATE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${P_UPDATE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${P_UPDATE_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${P_UPDATE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# BOTH: the GoogleTest built for this target lies outside the mingw root.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# The link line also ends in static mode, so that the runtime libraries the compiler adds
# last (libstdc++, winpthread) are not taken as DLLs after a library CMake linked statically.
set(CMAKE_LINK_SEARCH_START_STATIC ON)
set(CMAKE_LINK_SEARCH_END_STATIC ON)

