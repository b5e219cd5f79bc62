# Native build: the core and its tests, under AddressSanitizer and
# UndefinedBehaviorSanitizer (set by the preset).
find_package(GTest REQUIRED)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

add_library(tobble_core STATIC ${TOBBLE_CORE_SOURCES})
target_include_directories(tobble_core PUBLIC ${CMAKE_SOURCE_DIR})

add_executable(core_test
  tests/core_test.cpp
  tests/charref_test.cpp
  tests/url_test.cpp
  tests/case_file.cpp
  tests/convert.cpp
  tests/entities.cpp
)
target_link_libraries(core_test tobble_core GTest::gtest GTest::gtest_main)
target_compile_definitions(core_test PRIVATE
  TOBBLE_CASE_FILE="${TOBBLE_CASE_FILE}" TOBBLE_ENTITIES_FILE="${TOBBLE_ENTITIES_FILE}")
add_test(NAME core_test COMMAND core_test)

# The committed reference tables are what the generator makes of the list.
add_test(NAME reference_tables_generated
  COMMAND ${CMAKE_COMMAND}
    -DPYTHON=${Python3_EXECUTABLE}
    -DGENERATOR=${CMAKE_SOURCE_DIR}/charref/generate_tables.py
    -DLIST=${TOBBLE_ENTITIES_FILE}
    -DGENERATED=${CMAKE_BINARY_DIR}/reference_tables.cpp
    -DCOMMITTED=${CMAKE_SOURCE_DIR}/charref/reference_tables.cpp
    -P ${CMAKE_SOURCE_DIR}/cmake/check_generated.cmake)

# The core as a plain shared library without sanitizers, for the checks
# against Python's own codecs, which load it with ctypes.
add_library(tobble_pycore SHARED ${TOBBLE_CORE_SOURCES} tests/pycore.cpp)
target_include_directories(tobble_pycore PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(tobble_pycore PRIVATE -fno-sanitize=all)
target_link_options(tobble_pycore PRIVATE -fno-sanitize=all)
add_test(NAME python_check
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/python_check.py $<TARGET_FILE:tobble_pycore>
          ${TOBBLE_ENTITIES_FILE})

# The plug-in's exports against a native double of the Windows functions.
add_executable(boundary_test
  tests/boundary_test.cpp
  tests/win32_double.cpp
  tests/case_file.cpp
  plugin/exports.cpp
)
target_link_libraries(boundary_test tobble_core GTest::gtest GTest::gtest_main ${CMAKE_DL_LIBS})
target_compile_definitions(boundary_test PRIVATE TOBBLE_CASE_FILE="${TOBBLE_CASE_FILE}")
set_target_properties(boundary_test PROPERTIES ENABLE_EXPORTS ON)
add_test(NAME boundary_test COMMAND boundary_test)

# The fuzzers' property checks: every input left under fuzz/regressions/
# replayed, and broken conversions that each check must catch.
add_executable(fuzz_properties_test
  tests/fuzz_properties_test.cpp
  fuzz/properties.cpp
  fuzz/fuzz_text.cpp
  tests/case_file.cpp
)
target_link_libraries(fuzz_properties_test tobble_core GTest::gtest GTest::gtest_main)
string(JOIN "," fuzz_target_names ${TOBBLE_FUZZ_TARGETS})
target_compile_definitions(fuzz_properties_test PRIVATE
  TOBBLE_CASE_FILE="${TOBBLE_CASE_FILE}"
  TOBBLE_REGRESSIONS_DIR="${CMAKE_SOURCE_DIR}/fuzz/regressions"
  TOBBLE_FUZZ_TARGET_NAMES="${fuzz_target_names}")
add_test(NAME fuzz_properties_test COMMAND fuzz_properties_test)
