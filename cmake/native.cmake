# Native build: the command-line tool, and the tests of the core and of the
# tool. The native preset builds them under AddressSanitizer and
# UndefinedBehaviorSanitizer; the release preset (TOBBLE_RELEASE) builds the
# tool and the benchmarks optimized and without them, and runs the release
# checks: the tool's tests with the 100 MiB run, `make install`,
# reproducible packages.
option(TOBBLE_RELEASE "Release build: the tool, the benchmarks and the release checks" OFF)

include(cmake/library.cmake)

add_executable(tobble ${TOBBLE_TOOL_SOURCES})
target_link_libraries(tobble tobble_static)
install(TARGETS tobble RUNTIME DESTINATION bin)
install(FILES ${CMAKE_SOURCE_DIR}/cli/tobble.1 DESTINATION share/man/man1)
if(TOBBLE_RELEASE)
  # Linked statically, the tool starts in a third of the time: no shared
  # libraries to find, load and relocate, which counts for small inputs.
  target_link_options(tobble PRIVATE -static)
endif()

# What `make install` builds ends here; the rest is tests and benchmarks.
if(NOT TOBBLE_BUILD_TESTS)
  return()
endif()
find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_package(benchmark REQUIRED)

# The shared library exports the API's functions and nothing else.
add_test(NAME library_exports
  COMMAND ${CMAKE_SOURCE_DIR}/tests/check_exports.sh $<TARGET_FILE:tobble_shared>
          ${CMAKE_SOURCE_DIR}/include/tobble.h)

# Benchmarks (make bench, from the release build): the corpus writer for the
# command-line benchmark and the core benchmark, which the native build also
# runs briefly as a smoke test.
add_library(tobble_bench_corpus STATIC
  bench/corpus.cpp bench/natural_texts.cpp bench/adversarial_texts.cpp)
target_link_libraries(tobble_bench_corpus PUBLIC tobble_core)
add_executable(core_bench bench/core_bench.cpp)
target_link_libraries(core_bench tobble_bench_corpus benchmark::benchmark)
add_executable(bench_corpus bench/write_corpora.cpp)
target_link_libraries(bench_corpus tobble_bench_corpus)

# The tool as a user meets it, against the library converting whole texts.
set(TOBBLE_CLI_TEST
  ${CMAKE_SOURCE_DIR}/tests/cli_test.py --tool $<TARGET_FILE:tobble>
  --library $<TARGET_FILE:tobble_shared> --version-file ${CMAKE_SOURCE_DIR}/VERSION)

if(TOBBLE_RELEASE)
  add_test(NAME cli_test COMMAND Python3::Interpreter ${TOBBLE_CLI_TEST} --large)
  add_test(NAME install_test
    COMMAND ${CMAKE_SOURCE_DIR}/tests/check_install.sh ${CMAKE_SOURCE_DIR})
  # The example built against the installed library with pkg-config alone,
  # and a CMake project that finds it, both compared with the tool.
  add_test(NAME example_test
    COMMAND ${CMAKE_SOURCE_DIR}/tests/check_example.sh ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR})
  add_test(NAME dist_reproducible
    COMMAND ${CMAKE_SOURCE_DIR}/tests/check_reproducible.sh ${CMAKE_SOURCE_DIR})
  return()
endif()

find_package(GTest REQUIRED)

# The support the tests share with the fuzzers (tests/support/), and the native
# tests' own conversion helpers on top of it.
add_library(tobble_testing STATIC ${TOBBLE_TESTING_SOURCES})
target_link_libraries(tobble_testing PUBLIC tobble_static)
add_library(tobble_test_support STATIC tests/support/gtest_convert.cpp)
target_link_libraries(tobble_test_support PUBLIC tobble_testing GTest::gtest)

add_executable(core_test
  tests/core_test.cpp
  tests/charref_test.cpp
  tests/dense_test.cpp
  tests/unit_class_test.cpp
  tests/url_test.cpp
  tests/entities.cpp
)
target_link_libraries(core_test tobble_test_support GTest::gtest_main)
target_compile_definitions(core_test PRIVATE
  TOBBLE_CASE_FILE="${TOBBLE_CASE_FILE}" TOBBLE_ENTITIES_FILE="${TOBBLE_ENTITIES_FILE}")
add_test(NAME core_test COMMAND core_test)

# The committed reference tables are what the generator makes of the list.
add_test(NAME reference_tables_generated
  COMMAND ${CMAKE_COMMAND}
    -DPYTHON=${Python3_EXECUTABLE}
    -DGENERATOR=${CMAKE_SOURCE_DIR}/filters/charref/generate_tables.py
    -DLIST=${TOBBLE_ENTITIES_FILE}
    -DGENERATED=${CMAKE_BINARY_DIR}/reference_tables.cpp
    -DCOMMITTED=${CMAKE_SOURCE_DIR}/filters/charref/reference_tables.cpp
    -P ${CMAKE_SOURCE_DIR}/cmake/check_generated.cmake)

add_test(NAME python_check
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/python_check.py $<TARGET_FILE:tobble_shared>
          ${TOBBLE_ENTITIES_FILE})

# The plug-in's exports against a native double of the Windows functions.
add_executable(boundary_test
  tests/boundary_test.cpp
  tests/win32_double.cpp
  plugin/exports.cpp
)
target_link_libraries(boundary_test tobble_testing GTest::gtest GTest::gtest_main ${CMAKE_DL_LIBS})
target_compile_definitions(boundary_test PRIVATE TOBBLE_CASE_FILE="${TOBBLE_CASE_FILE}")
set_target_properties(boundary_test PROPERTIES ENABLE_EXPORTS ON)
add_test(NAME boundary_test COMMAND boundary_test)

add_executable(stream_test tests/stream_test.cpp tests/transcode_test.cpp)
target_link_libraries(stream_test tobble_test_support GTest::gtest_main)
add_test(NAME stream_test COMMAND stream_test)

# Every error path of the C interface, and its streams against plain
# references.
add_executable(api_test tests/api_test.cpp)
target_link_libraries(api_test tobble_test_support GTest::gtest GTest::gtest_main)
target_compile_definitions(api_test PRIVATE TOBBLE_EXPECTED_VERSION="${PROJECT_VERSION}"
  TOBBLE_VERSION_FILE="${CMAKE_SOURCE_DIR}/VERSION")
add_test(NAME api_test COMMAND api_test)

add_test(NAME cli_test COMMAND Python3::Interpreter ${TOBBLE_CLI_TEST})

# The quoting of file names in the tool's messages.
add_executable(quote_test tests/quote_test.cpp cli/quote.cpp)
target_include_directories(quote_test PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(quote_test GTest::gtest GTest::gtest_main)
add_test(NAME quote_test COMMAND quote_test)

add_test(NAME core_bench_smoke
  COMMAND core_bench --sizes=64K --benchmark_min_time=0.001 --benchmark_format=console)
add_executable(corpus_test tests/corpus_test.cpp)
target_link_libraries(corpus_test tobble_bench_corpus GTest::gtest GTest::gtest_main)
add_test(NAME corpus_test COMMAND corpus_test)

# The fuzzers' property checks: every input left under fuzz/regressions/
# replayed, and broken conversions that each check must catch.
add_executable(fuzz_properties_test tests/fuzz_properties_test.cpp)
target_link_libraries(fuzz_properties_test tobble_testing GTest::gtest GTest::gtest_main)
string(JOIN "," fuzz_target_names ${TOBBLE_FUZZ_TARGETS})
target_compile_definitions(fuzz_properties_test PRIVATE
  TOBBLE_CASE_FILE="${TOBBLE_CASE_FILE}"
  TOBBLE_REGRESSIONS_DIR="${CMAKE_SOURCE_DIR}/fuzz/regressions"
  TOBBLE_FUZZ_TARGET_NAMES="${fuzz_target_names}")
add_test(NAME fuzz_properties_test COMMAND fuzz_properties_test)
