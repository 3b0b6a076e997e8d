# Where the Windows tests run under Wine: one prefix per build tree, made (or reused) by
# the ctest fixture "wine_prefix" of tests/wine. Included by tests/contract and tests/wine.
# Every Wine start goes through TARVIK_WINE_LOADER (set by the toolchain file), and the
# prefix has the build's own bitness.
set(TARVIK_WINEPREFIX ${CMAKE_BINARY_DIR}/wine/prefix)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_tarvik_winearch win64)
else()
  set(_tarvik_winearch win32)
endif()
# No debug noise; no offer to install Mono or Gecko while the prefix is made.
set(TARVIK_WINE_ENV
    "WINEPREFIX=${TARVIK_WINEPREFIX}" "WINEARCH=${_tarvik_winearch}"
    "WINELOADER=${TARVIK_WINE_LOADER}" "TARVIK_WINE=${TARVIK_WINE_LOADER}"
    "WINEDEBUG=-all" "WINEDLLOVERRIDES=mscoree,mshtml=")
