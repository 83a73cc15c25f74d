# Cross build for 32-bit Windows, the players' program as it ships:
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
#         -DQLMR_WIN_PREFIX=<prefix from scripts/win-deps.sh i686>
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QLMR_MINGW_TRIPLE i686-w64-mingw32)
# 32-bit Wine; only some machines can start it (scripts/can-run-32bit.sh).
set(QLMR_WINE_LOADER /usr/lib/wine/wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# Able to use 4 GiB of address space on 64-bit Windows.
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,--large-address-aware")
