# Runs the reference table generator into the build tree and fails when its
# output differs from the committed file.
#
# cmake -DPYTHON=... -DGENERATOR=... -DLIST=... -DGENERATED=... -DCOMMITTED=... -P check_generated.cmake
execute_process(COMMAND ${PYTHON} ${GENERATOR} ${LIST} ${GENERATED} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${GENERATOR} failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${GENERATED} ${COMMITTED}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${COMMITTED} is not what ${GENERATOR} makes of ${LIST}; "
    "run: ${PYTHON} ${GENERATOR} ${LIST} ${COMMITTED}")
endif()
message(STATUS "${COMMITTED} matches ${LIST}")
