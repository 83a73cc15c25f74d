#!/usr/bin/env bash
# Builds the Windows programs of one architecture, statically linked:
# qlmrupdate.exe, qlmr-pak.exe and qlmr-patchkit.exe, and the unit tests
# that ctest runs under Wine.
#   build-win.sh [i686|x86_64] [cmake options...]
# i686 (the default) is the players' program as it ships, in build-win/;
# x86_64 is the same sources for 64-bit Wine, in build-win64/. Extra
# arguments go to the cmake configuration (-DQLMR_BUILD_TESTS=OFF builds the
# programs alone).
set -euo pipefail
cd "$(dirname "$0")/.."

arch=i686
case "${1:-}" in
  i686 | x86_64) arch=$1 && shift ;;
esac
build=build-win
[ "$arch" = x86_64 ] && build=build-win64

bash scripts/install-deps.sh
prefix=$(bash scripts/win-deps.sh "$arch")
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" \
  -DQLMR_WIN_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
