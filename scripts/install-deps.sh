#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need,
# including the Windows cross builds and Wine to run their tests.
# Idempotent and non-interactive: does nothing when all are present.
#   install-deps.sh [--linux-only]   (--linux-only: what the demo needs)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

linux_packages=(
  build-essential cmake ninja-build pkg-config ccache
  zlib1g-dev liblzma-dev liblzo2-dev libzzip-dev libzip-dev libcli11-dev nlohmann-json3-dev
  nettle-dev
)
test_packages=(
  clang-tidy googletest libgtest-dev libgmock-dev libbenchmark-dev
  # The Windows program's icon, and its window tests: an X server, input,
  # screenshots, a font with Chinese characters.
  imagemagick xvfb xdotool fonts-wqy-zenhei
  unzip zip
  # Fuzz targets (libFuzzer with the sanitizers), and python3 for the
  # scripts that write fuzz seeds.
  clang libclang-rt-14-dev python3
  # Windows builds (scripts/win-deps.sh fetches the library sources): the
  # 32-bit product and the 64-bit build that every machine can run.
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix libz-mingw-w64-dev dpkg-dev
  # Windows tests: 64-bit Wine runs everywhere.
  wine wine64
)

packages=("${linux_packages[@]}")
if [ "${1:-}" != "--linux-only" ]; then
  packages+=("${test_packages[@]}")
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
need_update=0

# 32-bit Wine only where the machine starts 32-bit programs at all; it is an
# i386 package.
if [ "${1:-}" != "--linux-only" ] && bash "$here/can-run-32bit.sh" >/dev/null; then
  packages+=(wine32:i386)
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    need_update=1
  fi
fi

# `apt-get source` needs source entries for the suites the binaries come
# from. They are derived from the machine's own configured sources: every
# enabled binary entry of this release's suites, the same addresses, as
# type deb-src.
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
derive_source_entries() {
  local file
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    # One stanza per paragraph; keep those with binaries of this release.
    awk -v codename="$codename" '
      function flush() {
        if (types ~ /(^|[ \t])deb([ \t]|$)/ && suites_ok && enabled) {
          gsub(/(^|[ \t])deb([ \t]|$)/, " ", types)
          print "Types: deb-src"
          printf "%s", rest
          print ""
        }
        types = ""; rest = ""; suites_ok = 0; enabled = 1
      }
      BEGIN { enabled = 1 }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { flush(); next }
      /^Types:/ { types = $0; sub(/^Types:/, "", types); next }
      /^Enabled:/ { if ($2 ~ /^(no|false)$/) enabled = 0 }
      /^Suites:/ {
        for (i = 2; i <= NF; i++) if ($i == codename || index($i, codename "-") == 1) suites_ok = 1
      }
      { rest = rest $0 "\n" }
      END { flush() }
    ' "$file"
  done
}
derive_source_lines() {
  local file
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$file" ] || continue
    # deb [options] URI SUITE COMPONENTS...: the suite is the third field
    # without options, later with them.
    awk -v codename="$codename" '
      $1 == "deb" {
        i = 2
        if ($2 ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
        suite = $(i + 1)
        if (suite == codename || index(suite, codename "-") == 1) { $1 = "deb-src"; print }
      }
    ' "$file"
  done
}
if [ "${1:-}" != "--linux-only" ] &&
  ! grep -rqs '^\(deb-src\|Types:.*deb-src\)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  stanzas=$(derive_source_entries)
  lines=$(derive_source_lines)
  if [ -z "$stanzas$lines" ]; then
    echo "install-deps.sh: no package source of this release ($codename) is configured;" \
      "add one to /etc/apt/sources.list.d/ so that apt-get source can fetch library sources" >&2
    exit 1
  fi
  if [ -n "$stanzas" ]; then
    printf '%s\n' "$stanzas" | $SUDO tee /etc/apt/sources.list.d/qlmr-deb-src.sources >/dev/null
  fi
  if [ -n "$lines" ]; then
    printf '%s\n' "$lines" | $SUDO tee /etc/apt/sources.list.d/qlmr-deb-src.list >/dev/null
  fi
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ] && [ $need_update -eq 0 ]; then
  exit 0
fi
$SUDO apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
