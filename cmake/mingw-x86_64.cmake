# Cross build for 64-bit Windows: the same sources as the 32-bit program, so
# that the whole Windows suite runs under 64-bit Wine on every machine,
# including those that cannot start 32-bit programs.
#   cmake -S . -B build-win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
#         -DQLMR_WIN_PREFIX=<prefix from scripts/win-deps.sh x86_64>
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(QLMR_MINGW_TRIPLE x86_64-w64-mingw32)
set(QLMR_WINE_LOADER /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
