# 32-bit Windows: the product, tarvik.exe, which starts on Windows Server 2003 (NT 5.2)
# and later: built for NT 5.2 with the win32 thread model, whose runtime imports nothing
# newer (scripts/check-imports holds it there). Its tests run under the 32-bit Wine loader.
set(TARVIK_MINGW_ARCH i686)
set(TARVIK_MINGW_THREADS win32)
set(TARVIK_MINGW_WINNT 0x0502)
set(TARVIK_WINE_LOADER /usr/lib/wine/wine CACHE FILEPATH "Wine loader of the Windows tests")
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
