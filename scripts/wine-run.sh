#!/usr/bin/env bash
# Runs a Windows program under Wine, headless, in a private Wine prefix that
# is made on first use: wine-run.sh PREFIX PROGRAM [ARGS...]. The Windows
# build's tests run through this (CMAKE_CROSSCOMPILING_EMULATOR).
set -euo pipefail
prefix=$1
shift
export WINEPREFIX=$prefix
export WINEDEBUG=-all
# No installers for .NET or HTML support: nothing here needs them.
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
      wineboot -i >/dev/null 2>&1
      wineserver -w
    fi
  ) 9>"$prefix.lock"
fi
exec wine "$@"
