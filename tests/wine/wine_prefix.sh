#!/bin/sh
# Makes the Wine prefix of this build tree's Windows tests, or reuses it when present.
# Usage: wine_prefix.sh PREFIX   (WINEDEBUG and WINEDLLOVERRIDES come from ctest)
set -eu
prefix=$1
export WINEPREFIX="$prefix"
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  wineboot -i >/dev/null 2>&1
fi
# Wait until the prefix's registry has reached its files.
wineserver -w
test -f "$prefix/system.reg"
