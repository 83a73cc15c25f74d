#!/usr/bin/env bash
# Runs a Windows program under Wine, headless, in a private Wine prefix that
# is made on first use: wine-run.sh PREFIX PROGRAM [ARGS...]. The Windows
# build's tests run through this (CMAKE_CROSSCOMPILING_EMULATOR).
set -euo pipefail
prefix=$1
shift
export WINEPREFIX=$prefix
export WINEDEBUG=-all
# Headless even inside a desktop session: only the window tests show windows,
# each in an X server of its own.
unset DISPLAY WAYLAND_DISPLAY
# No installers for .NET or HTML support: nothing here needs them, and their
# prompts would wait for a click that never comes.
export WINEDLLOVERRIDES="mscoree,mshtml="
# The prefix counts as made only once wineboot has finished and the Wine
# server has written everything: its registry files appear earlier.
ready=$prefix/.qlmr-ready
if [ ! -f "$ready" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$ready" ]; then
      rm -rf "$prefix"
      log=$prefix.log
      if ! { wineboot -i && wineserver -w; } >"$log" 2>&1; then
        echo "wine-run.sh: cannot make the Wine prefix $prefix:" >&2
        cat "$log" >&2
        exit 1
      fi
      touch "$ready"
    fi
  ) 9>"$prefix.lock"
fi
# Wine's background processes (its server and services, the console host of
# a program started with a console of its own) inherit the program's output
# and may outlive it; ctest would wait for them to close it. They get files
# instead, which are copied out once the program has ended.
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
status=0
wine "$@" >"$out" 2>"$err" || status=$?
cat "$out"
cat "$err" >&2
exit "$status"
