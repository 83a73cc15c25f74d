# Libraries from the distribution's packages (see scripts/install-deps.sh);
# for Windows, from the prefix that scripts/win-deps.sh builds.
if(WIN32)
  # Static archives only, never import libraries: the programs ship
  # without DLLs of their own. (The platform files reset this after the
  # toolchain file.)
  set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
endif()
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(ZLIB REQUIRED)
pkg_check_modules(LZMA REQUIRED IMPORTED_TARGET liblzma)
pkg_check_modules(LZO2 REQUIRED IMPORTED_TARGET lzo2)
pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip)
if(WIN32)
  # zziplib is not built for Windows: libzip reads patch containers there.
  # CLI11 is header-only; the prefix holds a copy of its headers.
  find_path(QLMR_CLI11_INCLUDE_DIR CLI/CLI.hpp REQUIRED)
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  target_include_directories(CLI11::CLI11 INTERFACE ${QLMR_CLI11_INCLUDE_DIR})
  # So is nlohmann-json, with its headers beside CLI11's.
  find_path(QLMR_NLOHMANN_JSON_DIR nlohmann/json.hpp REQUIRED)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  target_include_directories(nlohmann_json::nlohmann_json INTERFACE ${QLMR_NLOHMANN_JSON_DIR})
else()
  pkg_check_modules(ZZIP REQUIRED IMPORTED_TARGET zziplib)
  find_package(CLI11 CONFIG REQUIRED)
  find_package(nlohmann_json 3 CONFIG REQUIRED)
  # SHA-256 for release reports (Windows uses the system's provider).
  pkg_check_modules(NETTLE REQUIRED IMPORTED_TARGET nettle)
endif()
