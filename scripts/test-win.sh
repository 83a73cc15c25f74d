#!/usr/bin/env bash
# The Windows suite. Every machine: the 64-bit build (build-win64/) with its
# unit and window tests under 64-bit Wine, the tools cross-check between the
# Linux and the 64-bit Windows tools, and the static checks of the 32-bit
# qlmrupdate.exe as it ships (build-win/). Machines that start 32-bit programs
# (scripts/can-run-32bit.sh) also run the whole suite of the 32-bit build.
# The Linux tools it compares with come from build/ (built here if missing;
# scripts/test.sh has built them already).
#   test-win.sh [x86_64|i686|all]   (default: all that this machine runs)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

want=${1:-all}
can32=no
if bash scripts/can-run-32bit.sh >/dev/null; then can32=yes; fi
if [ "$want" = i686 ] && [ $can32 = no ]; then
  echo "test-win.sh: this machine cannot start 32-bit programs; the i686 suite cannot run here" >&2
  exit 1
fi
run64=yes run32=$can32
case "$want" in
  x86_64) run32=no ;;
  i686) run64=no ;;
  all) ;;
  *) echo "usage: test-win.sh [x86_64|i686|all]" >&2 && exit 2 ;;
esac
echo "Windows suite: x86_64 $([ $run64 = yes ] && echo "runs under wine64" || echo skipped)," \
  "i686 $([ $run32 = yes ] && echo "runs under 32-bit Wine" || echo "static checks only (this machine cannot start 32-bit programs)")"

# What Wine leaves running in the suite's prefixes ends with the suite.
trap 'for p in build-win64/wineprefix build-win/wineprefix; do
  [ -d "$p" ] && WINEPREFIX=$root/$p wineserver -k 2>/dev/null || true; done' EXIT

if [ ! -f build/build.ninja ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build build -j "$(nproc)" --target qlmr-pak qlmr-patchkit qlmr-update

offset_of() {  # offset_of BUILD: the carrier offset the build configured
  sed -n 's/^QLMR_CARRIER_OFFSET:STRING=//p' "$1/CMakeCache.txt"
}

# The 32-bit program as it ships, checked without running it; with its tests
# where they can run.
bash scripts/build-win.sh i686 -DQLMR_BUILD_TESTS=$([ $run32 = yes ] && echo ON || echo OFF)
bash scripts/check-win-program.sh build-win/bin/qlmrupdate.exe i686 "$(offset_of build-win)"
for tool in qlmr-pak qlmr-patchkit; do
  bash scripts/check-win-program.sh build-win/bin/$tool.exe i686
done

if [ $run64 = yes ]; then
  echo "== x86_64: build-win64/ under /usr/lib/wine/wine64"
  bash scripts/build-win.sh x86_64 -DQLMR_BUILD_TESTS=ON
  bash scripts/check-win-program.sh build-win64/bin/qlmrupdate.exe x86_64 "$(offset_of build-win64)"
  ctest --test-dir build-win64 --output-on-failure -j "$(nproc)"
  # The 64-bit tools also wrap the 32-bit program as it ships.
  bash scripts/test-win-tools.sh build/bin build-win64/bin /usr/lib/wine/wine64 \
    build-win64/wineprefix build-win/bin/qlmrupdate.exe
fi
if [ $run32 = yes ]; then
  echo "== i686: build-win/ under /usr/lib/wine/wine"
  ctest --test-dir build-win --output-on-failure -j "$(nproc)"
  bash scripts/test-win-tools.sh build/bin build-win/bin /usr/lib/wine/wine build-win/wineprefix
fi
echo "== Windows tests passed: x86_64 $([ $run64 = yes ] && echo ran || echo "did not run")," \
  "i686 $([ $run32 = yes ] && echo ran || echo "static checks only")"
