# QLMR_SANITIZE=ON builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer; any report aborts the process.
option(QLMR_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(QLMR_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# QLMR_BUILD_FUZZ=ON (clang only) instruments every library for libFuzzer's
# coverage and checks them with AddressSanitizer and UndefinedBehaviorSanitizer;
# the fuzz targets themselves link the fuzzer's driver (fuzz/).
if(QLMR_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "QLMR_BUILD_FUZZ needs clang (CC=clang-14 CXX=clang++-14)")
  endif()
  # The CRC tables are computed at compile time, beyond clang's default step
  # limit for constant evaluation.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer -g -fconstexpr-steps=100000000)
  add_link_options(-fsanitize=address,undefined)
endif()
