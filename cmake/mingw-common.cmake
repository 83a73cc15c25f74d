# What both Windows cross builds share (MinGW-w64, posix thread model: the
# code uses std::thread). Included by mingw-i686.cmake and mingw-x86_64.cmake
# after they set QLMR_MINGW_TRIPLE and QLMR_WINE_LOADER.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${QLMR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QLMR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QLMR_MINGW_TRIPLE}-windres)

# The libraries built by scripts/win-deps.sh live in their own prefix; the
# compiler's own sysroot holds zlib.
set(QLMR_WIN_PREFIX "$ENV{QLMR_WIN_PREFIX}" CACHE PATH "Prefix of the Windows libraries")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QLMR_WIN_PREFIX)
set(CMAKE_FIND_ROOT_PATH ${QLMR_WIN_PREFIX} /usr/${QLMR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ZLIB_USE_STATIC_LIBS ON)

# pkg-config sees the prefix's .pc files only, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} "${QLMR_WIN_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Every function and object in a section of its own, so that the linker
# drops what a program does not use: the updater must fit below its carrier
# offset.
set(CMAKE_C_FLAGS_INIT "-ffunction-sections -fdata-sections")
set(CMAKE_CXX_FLAGS_INIT "-ffunction-sections -fdata-sections")
# One self-contained executable each (C++ and thread runtimes included).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--gc-sections")
# Tests run under Wine, headless, in a Wine prefix of the build's own, with
# the Wine of the build's architecture. Only ctest runs them: test discovery
# waits for ctest too, so that building never needs Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh
    ${QLMR_WINE_LOADER} ${CMAKE_BINARY_DIR}/wineprefix)
