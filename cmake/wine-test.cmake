# Where the Windows tests run under Wine: one prefix per build tree, made (or reused) by
# the ctest fixture "wine_prefix" of tests/wine. Included by tests/contract and tests/wine.
set(TARVIK_WINEPREFIX ${CMAKE_BINARY_DIR}/wine/prefix)
# No debug noise; no offer to install Mono or Gecko while the prefix is made.
set(TARVIK_WINE_ENV
    "WINEPREFIX=${TARVIK_WINEPREFIX}" "WINEDEBUG=-all" "WINEDLLOVERRIDES=mscoree,mshtml=")
