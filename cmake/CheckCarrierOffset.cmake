# Fails when the updater executable does not end before the carrier offset.
# cmake -DEXECUTABLE=<file> -DOFFSET=<bytes> -P CheckCarrierOffset.cmake
file(SIZE "${EXECUTABLE}" size)
if(size GREATER OFFSET)
  file(REMOVE "${EXECUTABLE}")
  message(FATAL_ERROR
    "${EXECUTABLE} is ${size} bytes, longer than the carrier offset ${OFFSET}: "
    "the carried patch would overwrite the program. Make the program smaller "
    "or configure a larger offset with -DQLMR_CARRIER_OFFSET=<bytes>.")
endif()
message(STATUS "updater: ${size} of ${OFFSET} bytes before the carrier block")
