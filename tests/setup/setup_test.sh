#!/usr/bin/env bash
# Rehearses scripts/setup's decisions with the stand-ins of standin/ first on PATH: an
# apt-get whose update fails for one index and that refuses 32-bit Wine, a dpkg-query
# that reports chosen packages as not installed, a kernel that runs i386 programs or
# refuses them (STANDIN_I386). No real package is installed or removed, and the machine's
# own setup outcomes (CACHE/setup) are left alone; so the verdicts are the same on any host.
# It builds and runs the demo on the way, in build/linux.
# usage: tests/setup/setup_test.sh
set -uo pipefail
cd "$(dirname "$0")/../.."
if [ "$(id -u)" != 0 ]; then
  echo "setup rehearsal skipped: it needs root (sudo would reset PATH past the stand-ins)"
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PATH=$PWD/tests/setup/standin:$PATH STANDIN_LOG=$work/apt.log
real_cache=${TARVIK_CACHE:-$HOME/.cache/tarvik}
export TARVIK_CACHE=$work/cache
mkdir -p "$TARVIK_CACHE"
# The libcurl builds are the machine's own; the rehearsal only reads them.
for d in curl-linux curl-win32 curl-win64 src; do
  [ -e "$real_cache/$d" ] && ln -s "$real_cache/$d" "$TARVIK_CACHE/$d"
done

failures=0 passes=0
check() {  # check WHAT COMMAND...: a step whose failure is named and counted
  local what=$1
  shift
  if "$@"; then
    echo "ok: $what"
    passes=$((passes + 1))
  else
    echo "FAILED: $what"
    failures=$((failures + 1))
  fi
}
has() { grep -qF -- "$2" "$1" || { echo "  expected in $1: $2"; sed 's/^/  | /' "$1"; return 1; }; }

# 1. A Linux package missing and one index unreachable: a warning names the index, the
#    Linux group installs from the lists apt has, and the demo builds and runs.
: >"$STANDIN_LOG"
STANDIN_MISSING="libcpp-httplib-dev wine32:i386" scripts/demo >"$work/demo.out" 2>"$work/demo.err"
check "the demo completes after a failed index update" [ $? = 0 ]
check "the failed index is named in one warning" has "$work/demo.err" \
  "setup: warning: apt-get update could not fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz (File has unexpected size (374820 != 376004). Mirror sync in progress?); going on with the lists apt has"
check "the Linux group is installed by an install of its own" \
  has "$STANDIN_LOG" "apt-get install -y -q --no-install-recommends libcpp-httplib-dev"
check "the demo touches nothing of 32-bit Wine" \
  bash -c "! grep -q i386 '$STANDIN_LOG'"
check "the demo runs the first boot" has "$work/demo.out" "The first-boot service, removed by itself:"
guest=$(sed -n 's/^The guest stays in //p' "$work/demo.out")
[ -n "$guest" ] && rm -rf "$guest"

# 2. A kernel that runs i386 programs and an apt that refuses 32-bit Wine: setup goes on,
#    adds the architecture, and records apt's reason, which the Wine suite's skip line gives.
: >"$STANDIN_LOG"
STANDIN_I386=runs scripts/setup wine32 2>"$work/wine32.err"
check "32-bit Wine refused is not a failure of setup" [ $? = 0 ]
check "setup says why 32-bit Wine is missing" has "$work/wine32.err" \
  "setup: 32-bit Wine could not be installed (wine32:i386): Unable to correct problems, you have held broken packages."
check "setup adds the i386 architecture for it" has "$STANDIN_LOG" "dpkg --add-architecture i386"
STANDIN_I386=runs scripts/wine32-status >"$work/status.out"
check "the skip names apt's reason" has "$work/status.out" \
  "32-bit Wine could not be installed (wine32:i386): Unable to correct problems, you have held broken packages."

# 3. A kernel that refuses i386 programs: setup adds no architecture and asks apt nothing,
#    in one line; the kernel is the reason recorded and given.
kernel="this host's kernel refuses 32-bit programs (a static i386 program does not start)"
: >"$STANDIN_LOG"
STANDIN_I386=refused scripts/setup wine32 2>"$work/wine32.err"
check "a kernel refusing i386 programs is not a failure of setup" [ $? = 0 ]
check "setup says so in one line" \
  [ "$(cat "$work/wine32.err")" = "setup: 32-bit Wine is not installed: $kernel" ]
check "setup fetches and adds nothing for it" [ ! -s "$STANDIN_LOG" ]
check "the kernel's reason is setup's outcome" \
  [ "$(cat "$TARVIK_CACHE/setup/wine32")" = "is not installed: $kernel" ]

# 4. Each reason of wine32-status, with the other sources held fixed: a loader that starts
#    (or not), setup's outcome, the kernel's answer and TARVIK_NO_32BIT.
printf '#!/bin/sh\necho wine-8.0\n' >"$work/wine-ok"
printf '#!/bin/sh\necho "wine: could not load kernel32.dll, status c0000135" >&2\nexit 1\n' \
  >"$work/wine-broken"
chmod +x "$work/wine-ok" "$work/wine-broken"
refused_by_apt="could not be installed (wine32:i386): Unable to correct problems, you have held broken packages."
status() {  # status NO_32BIT KERNEL OUTCOME LOADER: wine32-status's line, "(runs)" for none
  echo "$3" >"$TARVIK_CACHE/setup/wine32"
  local line
  line=$(TARVIK_NO_32BIT=$1 STANDIN_I386=$2 scripts/wine32-status "$work/$4") && line="(runs)"
  echo "$line"
}
says() {  # says EXPECTED NO_32BIT KERNEL OUTCOME LOADER
  local got
  got=$(status "$2" "$3" "$4" "$5")
  [ "$got" = "$1" ] || { echo "  expected: $1"; echo "  got:      $got"; return 1; }
}
check "all sources good: the suite runs" says "(runs)" 0 runs installed wine-ok
check "TARVIK_NO_32BIT=1 is its own reason" \
  says "TARVIK_NO_32BIT=1 stands for a host that cannot run 32-bit programs" 1 runs installed wine-ok
check "the kernel is its own reason" says "$kernel" 0 refused installed wine-ok
check "apt's refusal is its own reason" says "32-bit Wine $refused_by_apt" 0 runs "$refused_by_apt" wine-ok
check "a loader that does not start is its own reason" \
  says "the 32-bit Wine loader $work/wine-broken does not start: wine: could not load kernel32.dll, status c0000135" \
  0 runs installed wine-broken
check "TARVIK_NO_32BIT=1 comes before the kernel" \
  says "TARVIK_NO_32BIT=1 stands for a host that cannot run 32-bit programs" 1 refused installed wine-ok
check "the kernel comes before setup's outcome" says "$kernel" 0 refused "$refused_by_apt" wine-broken

# 5. The Linux group refused: setup stops with the missing packages and apt's reason.
STANDIN_MISSING="libhivex-dev" STANDIN_REFUSE="libhivex-dev" scripts/setup linux 2>"$work/linux.err"
check "a Linux group that cannot be installed fails setup" [ $? != 0 ]
check "the failure names the packages and apt's reason" has "$work/linux.err" \
  "setup: the Linux build could not be installed (libhivex-dev): Unable to locate package libhivex-dev"

# 6. Everything installed: setup asks apt nothing.
: >"$STANDIN_LOG"
STANDIN_MISSING="" scripts/setup linux windows >/dev/null 2>&1
check "with every package installed, setup succeeds" [ $? = 0 ]
check "with every package installed, setup never calls apt" [ ! -s "$STANDIN_LOG" ]

echo "setup rehearsal: $passes passed, $failures failed"
[ $failures = 0 ]
