# What both mingw-w64 cross builds share. The toolchain file of each target sets, then
# includes this file:
#   TARVIK_MINGW_ARCH     i686 or x86_64
#   TARVIK_MINGW_THREADS  the thread model of Debian's compilers: win32 (a runtime that
#                         needs nothing but the system DLLs) or posix (winpthreads)
#   TARVIK_MINGW_WINNT    optional: the oldest Windows release the build is for, which
#                         CMakeLists.txt defines as _WIN32_WINNT and WINVER
#   TARVIK_WINE_LOADER    the Wine loader its tests run under
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${TARVIK_MINGW_ARCH})
set(CMAKE_C_COMPILER ${TARVIK_MINGW_ARCH}-w64-mingw32-gcc-${TARVIK_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${TARVIK_MINGW_ARCH}-w64-mingw32-g++-${TARVIK_MINGW_THREADS})
set(CMAKE_RC_COMPILER ${TARVIK_MINGW_ARCH}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TARVIK_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The loader itself, not the wine wrapper script, which picks one by what is installed.
set(CMAKE_CROSSCOMPILING_EMULATOR ${TARVIK_WINE_LOADER})
