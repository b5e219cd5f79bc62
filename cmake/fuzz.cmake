# Fuzz build (clang): one libFuzzer program per target of tests/support/properties.h,
# over the core and the tool's pipeline with coverage instrumentation,
# AddressSanitizer and UndefinedBehaviorSanitizer. tools/fuzz.py runs them
# (make fuzz, make check).
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "The fuzz build needs clang (libFuzzer): use the fuzz preset, "
    "and -DTOBBLE_CLANG_CXX=... for a clang other than clang++-14.")
endif()
add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
add_link_options(-fsanitize=address,undefined)

# The core, the tool's pipeline and the shared test support, instrumented so
# libFuzzer sees their paths.
add_library(tobble_fuzz_support STATIC
  ${TOBBLE_FILTER_SOURCES} ${TOBBLE_LIB_SOURCES} ${TOBBLE_TESTING_SOURCES})
target_include_directories(tobble_fuzz_support PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
target_compile_definitions(tobble_fuzz_support PRIVATE TOBBLE_VERSION="${PROJECT_VERSION}")
target_compile_options(tobble_fuzz_support PRIVATE -fsanitize=fuzzer-no-link)

# tools/fuzz.py reads this list: a target's name and its program, one a line.
# The programs are fuzzer_TARGET, clear of the helper fuzz_helper below.
set(targets_list "")
foreach(name IN LISTS TOBBLE_FUZZ_TARGETS)
  add_executable(fuzzer_${name} fuzz/fuzzer.cpp)
  target_compile_definitions(fuzzer_${name} PRIVATE TOBBLE_FUZZ_TARGET="${name}")
  target_compile_options(fuzzer_${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(fuzzer_${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(fuzzer_${name} tobble_fuzz_support)
  string(APPEND targets_list "${name} $<TARGET_FILE:fuzzer_${name}>\n")
endforeach()
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/fuzz_targets.txt CONTENT "${targets_list}")

# The seed corpora, made again whenever the case file changes.
add_executable(fuzz_helper fuzz/fuzz_helper.cpp)
target_link_libraries(fuzz_helper tobble_fuzz_support)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/seeds.stamp
  COMMAND fuzz_helper seeds ${CMAKE_BINARY_DIR}/seeds ${TOBBLE_CASE_FILE}
  COMMAND ${CMAKE_COMMAND} -E touch ${CMAKE_BINARY_DIR}/seeds.stamp
  DEPENDS fuzz_helper ${TOBBLE_CASE_FILE})
add_custom_target(fuzz_seeds ALL DEPENDS ${CMAKE_BINARY_DIR}/seeds.stamp)
