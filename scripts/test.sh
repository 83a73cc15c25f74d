#!/usr/bin/env bash
# All tests. Installs what is needed, checks in its first minute that this
# machine can run every stage, then builds and runs, stage by stage:
#   linux     the normal build (build/) and its ctest suite
#   naming    clang-tidy's naming check over the sources
#   asan      the build under AddressSanitizer and UndefinedBehaviorSanitizer
#             (build-asan/) and its ctest suite
#   fuzz      every fuzz target for 30 s (scripts/fuzz.sh, build-fuzz/)
#   windows   the Windows suite (scripts/test-win.sh): the 64-bit build under
#             wine64 everywhere, the 32-bit build where the machine starts
#             32-bit programs, the static checks of the 32-bit program always
# Each stage prints its time; the times are summed up at the end. Failures
# are printed in full.
#   test.sh [STAGE...]   (default: all stages, in this order)
set -euo pipefail
cd "$(dirname "$0")/.."

all_stages=(linux naming asan fuzz windows)
stages=("$@")
if [ ${#stages[@]} -eq 0 ]; then stages=("${all_stages[@]}"); fi
for stage in "${stages[@]}"; do
  [[ " ${all_stages[*]} " == *" $stage "* ]] ||
    { echo "test.sh: unknown stage '$stage' (stages: ${all_stages[*]})" >&2 && exit 2; }
done
wants() { [[ " ${stages[*]} " == *" $1 "* ]]; }

jobs=$(nproc)
started=$SECONDS
times=()
stage_start=0
begin() {
  stage_start=$SECONDS
  echo "== $1 ($(date +%H:%M:%S))"
}
finish() {
  local took=$((SECONDS - stage_start))
  times+=("$(printf '%-10s %3d min %02d s' "$1" $((took / 60)) $((took % 60)))")
  echo "== $1 done in $((took / 60)) min $((took % 60)) s"
}
summary() {
  local status=$?
  echo "== stage times"
  for line in "${times[@]}"; do echo "   $line"; done
  local total=$((SECONDS - started))
  echo "   total      $((total / 60)) min $((total % 60)) s"
  [ $status -eq 0 ] || echo "== FAILED (exit $status)"
}
trap summary EXIT

begin setup
bash scripts/install-deps.sh
# What the stages need, checked now rather than when a stage gets there.
problems=()
for tool in cmake ninja g++ clang++-14 run-clang-tidy x86_64-w64-mingw32-g++-posix \
  i686-w64-mingw32-g++-posix Xvfb xdotool import; do
  command -v "$tool" >/dev/null || problems+=("$tool is missing")
done
if wants windows; then
  can32=$(bash scripts/can-run-32bit.sh || true)
  echo "32-bit programs on this machine: $can32 (the i686 Windows suite $([ "$can32" = yes ] &&
    echo runs || echo "is built and checked, not run"); the x86_64 one runs under wine64)"
  # 64-bit Wine must start a program: a console program of a few lines, in
  # the prefix that the 64-bit suite then uses.
  probe=$(mktemp -d)
  printf '#include <stdio.h>\nint main(void) { puts("wine64 runs"); return 0; }\n' >"$probe/probe.c"
  if ! x86_64-w64-mingw32-gcc-posix -o "$probe/probe.exe" "$probe/probe.c" 2>"$probe/log"; then
    problems+=("the x86_64 cross compiler cannot build a program: $(cat "$probe/log")")
  # A Windows console ends its lines with CR LF; the CR is not part of the answer.
  elif ! out=$(bash scripts/wine-run.sh /usr/lib/wine/wine64 "$PWD/build-win64/wineprefix" \
    "$probe/probe.exe" 2>"$probe/log" | tr -d '\r') || [ "$out" != "wine64 runs" ]; then
    problems+=("wine64 cannot run a Windows program: $out $(cat "$probe/log")")
  else
    echo "wine64 runs Windows programs"
  fi
  rm -rf "$probe"
  # The window tests need an X server of their own.
  (
    . scripts/xvfb.sh
    start_xvfb 640x480 && kill "$xvfb_pid"
  ) && echo "Xvfb starts" || problems+=("Xvfb does not start")
fi
if [ ${#problems[@]} -gt 0 ]; then
  printf 'this machine cannot run the tests:\n' >&2
  printf '  - %s\n' "${problems[@]}" >&2
  exit 1
fi
finish setup

if wants linux; then
  begin linux
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQLMR_BUILD_TESTS=ON >/dev/null
  cmake --build build -j "$jobs"
  ctest --test-dir build --output-on-failure -j "$jobs"
  finish linux
fi

if wants naming; then
  begin naming
  [ -f build/compile_commands.json ] ||
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQLMR_BUILD_TESTS=ON >/dev/null
  # The CRC tables are computed at compile time, past clang's default limit.
  run-clang-tidy -p build -j "$jobs" -quiet -extra-arg=-fconstexpr-steps=100000000 \
    "$PWD/(app|base|bench|fuzz|pack|patch|res|tests|tools|update)/.*\.cpp$" >build/naming.log 2>&1 ||
    { sed 's/\x1b\[[0-9;]*m//g' build/naming.log | grep -E '(error|warning):' | sort -u
      echo "naming check failed"; exit 1; }
  finish naming
fi

if wants asan; then
  begin asan
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQLMR_SANITIZE=ON >/dev/null
  cmake --build build-asan -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs"
  finish asan
fi

if wants fuzz; then
  begin fuzz
  bash scripts/fuzz.sh 30
  finish fuzz
fi

if wants windows; then
  begin windows
  bash scripts/test-win.sh
  finish windows
fi

echo "== all tests passed"
