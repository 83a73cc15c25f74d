# Libraries from the distribution's packages (see scripts/install-deps.sh).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(ZLIB REQUIRED)
pkg_check_modules(LZMA REQUIRED IMPORTED_TARGET liblzma)
pkg_check_modules(LZO2 REQUIRED IMPORTED_TARGET lzo2)
pkg_check_modules(ZZIP REQUIRED IMPORTED_TARGET zziplib)
pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip)
find_package(CLI11 CONFIG REQUIRED)
