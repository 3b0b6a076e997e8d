#!/bin/sh
# Makes the Wine prefix of this build tree's Windows tests, or reuses it when present.
# Usage: wine_prefix.sh PREFIX   (TARVIK_WINE, WINEARCH, WINEDEBUG and WINEDLLOVERRIDES
# come from ctest; TARVIK_WINE is the loader of the build's bitness)
set -eu
prefix=$1
export WINEPREFIX="$prefix"
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  "$TARVIK_WINE" wineboot -i >/dev/null 2>&1
fi
# Wait until the prefix's registry has reached its files.
wineserver -w
test -f "$prefix/system.reg"
