# 64-bit Windows: a test build of the same sources, for hosts that cannot run 32-bit
# programs. Its tests run under the 64-bit Wine loader.
set(TARVIK_MINGW_ARCH x86_64)
set(TARVIK_MINGW_THREADS posix)
set(TARVIK_WINE_LOADER /usr/lib/wine/wine64 CACHE FILEPATH "Wine loader of the Windows tests")
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
