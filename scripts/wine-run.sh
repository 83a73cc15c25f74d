#!/usr/bin/env bash
# Runs a Windows program under Wine, headless, in a private Wine prefix that
# is made on first use:
#   wine-run.sh LOADER PREFIX PROGRAM [ARGS...]
# LOADER is the Wine of the program's architecture: /usr/lib/wine/wine64 for
# x86_64 programs (every machine), /usr/lib/wine/wine for i686 ones (machines
# that start 32-bit programs). The Windows builds' tests run through this
# (CMAKE_CROSSCOMPILING_EMULATOR).
set -euo pipefail
loader=$1
prefix=$2
shift 2
if [ ! -x "$loader" ]; then
  echo "wine-run.sh: no Wine at $loader (install the packages: bash scripts/install-deps.sh)" >&2
  exit 1
fi
export WINEPREFIX=$prefix
export WINELOADER=$loader
export WINEDEBUG=-all
case "$loader" in
  *wine64) export WINEARCH=win64 ;;
  *) export WINEARCH=win32 ;;
esac
# Headless even inside a desktop session: only the window tests show windows,
# each in an X server of its own.
unset DISPLAY WAYLAND_DISPLAY
# No installers for .NET or HTML support: nothing here needs them, and their
# prompts would wait for a click that never comes.
export WINEDLLOVERRIDES="mscoree,mshtml="
# The prefix counts as made only once wineboot has finished and the Wine
# server has written everything: its registry files appear earlier. Its
# windows go to Wine's null display driver: tests may make windows (the main
# dialog's test drives one by messages) where there is no X server.
ready=$prefix/.qlmr-ready-headless
if [ ! -f "$ready" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$ready" ]; then
      rm -rf "$prefix"
      log=$prefix.log
      if ! { "$loader" wineboot -i && wineserver -w &&
        "$loader" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f &&
        wineserver -w; } >"$log" 2>&1; then
        echo "wine-run.sh: cannot make the Wine prefix $prefix with $loader:" >&2
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
"$loader" "$@" >"$out" 2>"$err" || status=$?
cat "$out"
cat "$err" >&2
exit "$status"
