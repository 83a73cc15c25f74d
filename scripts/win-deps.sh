#!/usr/bin/env bash
# Builds the Windows libraries of one architecture once into a cached prefix
# and prints its path: lzo2, liblzma and libzip from Debian's source
# packages, GoogleTest from /usr/src/googletest, CLI11's headers and
# nlohmann's JSON header, all static, cross-compiled with
# cmake/mingw-ARCH.cmake. zlib comes from libz-mingw-w64-dev. The prefix is
# rebuilt when this script, the toolchain files or the cross compiler change.
#   win-deps.sh ARCH   (i686 or x86_64)
#   QLMR_WIN_PREFIX  where the prefixes live, one folder per architecture
#                    (default: ~/.cache/qlmr/win-deps)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch=${1:?usage: win-deps.sh i686|x86_64}
case "$arch" in
  i686 | x86_64) ;;
  *) echo "win-deps.sh: unknown architecture $arch (i686 or x86_64)" >&2 && exit 2 ;;
esac
toolchain="$root/cmake/mingw-$arch.cmake"
prefix=${QLMR_WIN_PREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/qlmr/win-deps}/$arch
key=$( (cat "$0" "$toolchain" "$root/cmake/mingw-common.cmake" &&
  "$arch-w64-mingw32-g++-posix" --version) | sha256sum | cut -c1-16)
stamp="$prefix/.built-$key"
if [ -f "$stamp" ]; then
  echo "$prefix"
  exit 0
fi

log() { echo "win-deps ($arch): $*" >&2; }
rm -rf "$prefix"
mkdir -p "$prefix/lib/pkgconfig" "$prefix/include"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

cross() {  # cross <source> <build> <cmake options...>
  local src=$1 build=$2
  shift 2
  cmake -S "$src" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DQLMR_WIN_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF "$@" >"$build.log" 2>&1 ||
    { cat "$build.log" >&2; return 1; }
  cmake --build "$build" -j "$(nproc)" >>"$build.log" 2>&1 || { cat "$build.log" >&2; return 1; }
  cmake --install "$build" >>"$build.log" 2>&1 || { cat "$build.log" >&2; return 1; }
}

# The sources as Debian ships them (needs a deb-src entry, see install-deps.sh).
log "fetching sources"
apt-get source -qq lzo2 xz-utils libzip >apt-source.log 2>&1 || { cat apt-source.log >&2; exit 1; }
src_of() { find "$work" -maxdepth 1 -type d -name "$1-*" | head -n1; }

log "lzo2"
cross "$(src_of lzo2)" lzo -DENABLE_STATIC=ON -DENABLE_SHARED=OFF

log "liblzma"
cross "$(src_of xz-utils)" xz -DCMAKE_POSITION_INDEPENDENT_CODE=OFF

log "libzip"
cross "$(src_of libzip)" libzip -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF \
  -DENABLE_COMMONCRYPTO=OFF -DENABLE_GNUTLS=OFF -DENABLE_MBEDTLS=OFF -DENABLE_OPENSSL=OFF \
  -DENABLE_WINDOWS_CRYPTO=OFF -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF \
  -DBUILD_DOC=OFF

log "googletest"
cross /usr/src/googletest gtest -Dgtest_disable_pthreads=OFF

# CLI11 and nlohmann's JSON are header-only: their headers are the same on
# every target.
cp -r /usr/include/CLI "$prefix/include/"
cp -r /usr/include/nlohmann "$prefix/include/"

# pkg-config files of our own, so the static defines and link order are
# right whatever each package's build installed.
pc() {  # pc <name> <cflags> <libs>
  printf 'prefix=%s\nName: %s\nDescription: %s for Windows\nVersion: 0\nCflags: -I${prefix}/include %s\nLibs: -L${prefix}/lib %s\n' \
    "$prefix" "$1" "$1" "$2" "$3" >"$prefix/lib/pkgconfig/$1.pc"
}
pc lzo2 "-I\${prefix}/include/lzo" "-llzo2"
pc liblzma "-DLZMA_API_STATIC" "-llzma"
pc libzip "-DZIP_STATIC" "-lzip -lz -ladvapi32"

touch "$stamp"
log "done: $prefix"
echo "$prefix"
