# 32-bit Windows: the product, tarvik.exe. Its tests run under the 32-bit Wine loader.
set(TARVIK_MINGW_ARCH i686)
set(TARVIK_WINE_LOADER /usr/lib/wine/wine CACHE FILEPATH "Wine loader of the Windows tests")
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
