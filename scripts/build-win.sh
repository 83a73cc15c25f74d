#!/usr/bin/env bash
# Builds the Windows programs (32-bit, statically linked) into build-win/bin:
# qlmrupdate.exe, qlmr-pak.exe and qlmr-patchkit.exe, and the unit tests that
# ctest runs under Wine. Extra arguments go to the cmake configuration.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
prefix=$(bash scripts/win-deps.sh)
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DQLMR_WIN_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" "$@" >/dev/null
cmake --build build-win -j "$(nproc)"
