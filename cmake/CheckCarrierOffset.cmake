# Fails when the updater executable does not end ROOM bytes before the
# carrier offset.
# cmake -DEXECUTABLE=<file> -DOFFSET=<bytes> [-DROOM=<bytes>] -P CheckCarrierOffset.cmake
if(NOT DEFINED ROOM)
  set(ROOM 0)
endif()
file(SIZE "${EXECUTABLE}" size)
math(EXPR room "${OFFSET} - ${size}")
if(size GREATER OFFSET)
  file(REMOVE "${EXECUTABLE}")
  message(FATAL_ERROR
    "${EXECUTABLE} is ${size} bytes, longer than the carrier offset ${OFFSET}: "
    "the carried patch would overwrite the program. Make the program smaller "
    "or configure a larger offset with -DQLMR_CARRIER_OFFSET=<bytes>.")
endif()
if(room LESS ROOM)
  file(REMOVE "${EXECUTABLE}")
  message(FATAL_ERROR
    "${EXECUTABLE} is ${size} bytes: it leaves ${room} bytes below the carrier "
    "offset ${OFFSET}, less than the ${ROOM} bytes it must keep free for "
    "growth. Make the program smaller (keep test-only code and unused "
    "functions out of it).")
endif()
message(STATUS "updater: ${size} of ${OFFSET} bytes before the carrier block, ${room} free")
