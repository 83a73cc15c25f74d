#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need,
# including the Windows cross build and Wine to run its tests.
# Idempotent and non-interactive: does nothing when all are present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang-tidy
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  zlib1g-dev liblzma-dev liblzo2-dev libzzip-dev libzip-dev libcli11-dev nettle-dev
  # The Windows program's icon, and its window tests: an X server, input,
  # screenshots, a font with Chinese characters.
  imagemagick xvfb xdotool fonts-wqy-zenhei
  unzip zip
  # Fuzz targets (libFuzzer with the sanitizers), and python3 for the
  # scripts that write fuzz seeds.
  clang libclang-rt-14-dev python3
  # Windows build (scripts/win-deps.sh fetches the library sources)
  g++-mingw-w64-i686-posix libz-mingw-w64-dev dpkg-dev
  # Windows tests
  wine wine32:i386 xvfb
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
need_update=0

# wine32 is an i386 package.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  need_update=1
fi
# `apt-get source` needs the source lists of the same suites as the binaries.
src_list=/etc/apt/sources.list.d/qlmr-deb-src.sources
if [ ! -f "$src_list" ] && ! grep -rqs '^\(deb-src\|Types:.*deb-src\)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  $SUDO tee "$src_list" >/dev/null <<'SOURCES'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
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
