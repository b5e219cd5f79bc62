# Windows build: the freestanding plug-in DLL, the tobble.exe console program
# (64-bit only), and the programs that test them under Wine.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(TOBBLE_PLUGIN_FILE tobble.qnf64)
  set(TOBBLE_ENTRY DllMain)
else()
  set(TOBBLE_PLUGIN_FILE tobble.qnf)
  set(TOBBLE_ENTRY _DllMain@12)
  # SSE2 is the baseline; Windows keeps the 32-bit stack only 4-byte aligned.
  add_compile_options(-msse2 -mstackrealign)
endif()

# The .def file names every filter of the list as an export.
list(JOIN TOBBLE_FILTER_NAMES "\n    " TOBBLE_FILTER_EXPORTS)
set(TOBBLE_FILTER_EXPORTS "    ${TOBBLE_FILTER_EXPORTS}")
configure_file(plugin/tobble.def.in ${CMAKE_BINARY_DIR}/tobble.def @ONLY)

# Adds a version resource to a target: the version of the VERSION file, the
# file's name, what it is and whether it is a DLL or a program. windres
# writes no timestamp into the resource directory.
function(tobble_version_resource target file_name description file_type)
  set(TOBBLE_RC_FILE_NAME ${file_name})
  set(TOBBLE_RC_DESCRIPTION ${description})
  set(TOBBLE_RC_FILE_TYPE ${file_type})
  set(rc ${CMAKE_BINARY_DIR}/${target}.rc)
  set(object ${CMAKE_BINARY_DIR}/${target}.res.o)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  add_custom_command(OUTPUT ${object}
    COMMAND ${CMAKE_RC_COMPILER} -O coff -i ${rc} -o ${object}
    DEPENDS ${rc} VERBATIM)
  set_source_files_properties(${object} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
  target_sources(${target} PRIVATE ${object})
endfunction()

# No C runtime, no exceptions, no unwinding tables, no stack protector: the
# DLL imports from KERNEL32.dll and USER32.dll and nothing else.
set(TOBBLE_FREESTANDING_FLAGS
  -ffreestanding -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
  -fno-stack-protector -fno-tree-loop-distribute-patterns -fno-threadsafe-statics)

add_library(tobble_plugin SHARED ${TOBBLE_FILTER_SOURCES} plugin/exports.cpp)
target_include_directories(tobble_plugin PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(tobble_plugin PRIVATE ${TOBBLE_FREESTANDING_FLAGS})
# The plug-ins convert UTF-16 alone: no UTF-8 instantiation of the conversions.
target_compile_definitions(tobble_plugin PRIVATE TOBBLE_UTF16_ONLY)
target_link_options(tobble_plugin PRIVATE
  -nostdlib -nostartfiles -Wl,--entry,${TOBBLE_ENTRY} -Wl,--no-insert-timestamp
  -Wl,--enable-stdcall-fixup -s ${CMAKE_BINARY_DIR}/tobble.def)
target_link_libraries(tobble_plugin PRIVATE kernel32 user32 gcc)
set_target_properties(tobble_plugin PROPERTIES
  PREFIX "" SUFFIX "" OUTPUT_NAME ${TOBBLE_PLUGIN_FILE} LINK_DEPENDS ${CMAKE_BINARY_DIR}/tobble.def)
math(EXPR TOBBLE_BITS "${CMAKE_SIZEOF_VOID_P} * 8")
tobble_version_resource(tobble_plugin ${TOBBLE_PLUGIN_FILE}
  "tobble text-conversion filters (${TOBBLE_BITS}-bit plug-in)" VFT_DLL)

# tobble.exe: the command-line tool as a 64-bit console program, statically
# linked, with a wide-character command line so that any file name opens.
# It links the library statically, as libtobble.a.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  include(cmake/library.cmake)
  add_executable(tobble_tool ${TOBBLE_TOOL_SOURCES})
  target_link_libraries(tobble_tool tobble_static)
  target_link_options(tobble_tool PRIVATE -static -municode -Wl,--no-insert-timestamp -s)
  set_target_properties(tobble_tool PROPERTIES OUTPUT_NAME tobble)
  tobble_version_resource(tobble_tool tobble.exe "tobble text-conversion tool" VFT_APP)
endif()

# What `make` builds ends here; the rest is tests and the benchmark.
if(NOT TOBBLE_BUILD_TESTS)
  return()
endif()

# GoogleTest from its sources (Debian's googletest package), built by the
# same cross compiler.
set(TOBBLE_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
  "GoogleTest's source folder, built for the Windows tests")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${TOBBLE_GTEST_SOURCE_DIR}/googletest ${CMAKE_BINARY_DIR}/googletest
  EXCLUDE_FROM_ALL)
target_compile_options(gtest PRIVATE -w)

add_executable(plugin_test
  tests/plugin_test.cpp tests/plugin_host.cpp tests/win32_hooks.cpp tests/support/case_file.cpp
  tests/support/utf.cpp
  tests/entities.cpp)
target_include_directories(plugin_test PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(plugin_test gtest)
target_link_options(plugin_test PRIVATE -static)
add_dependencies(plugin_test tobble_plugin)
add_test(NAME plugin_test
  COMMAND plugin_test $<TARGET_FILE:tobble_plugin> ${TOBBLE_CASE_FILE} ${TOBBLE_ENTITIES_FILE})

# Memory over many calls, the longest texts, reads at the end of a text.
add_executable(plugin_reliability_test
  tests/plugin_reliability_test.cpp tests/plugin_host.cpp tests/win32_hooks.cpp)
target_include_directories(plugin_reliability_test PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(plugin_reliability_test gtest)
target_link_options(plugin_reliability_test PRIVATE -static)
add_dependencies(plugin_reliability_test tobble_plugin)
add_test(NAME plugin_reliability_test
  COMMAND plugin_reliability_test $<TARGET_FILE:tobble_plugin>)

# The Python scripts run natively: a path, not the imported target, which
# would be run under the emulator.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME plugin_version
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/check_version_resource.py
          $<TARGET_FILE:tobble_plugin> ${TOBBLE_PLUGIN_FILE} ${CMAKE_SOURCE_DIR}/VERSION)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  # The transcoders tobble.exe runs, built by the Windows compiler (whose
  # 32-byte values on the stack need care) and checked under Wine, which
  # passes the processor's own instructions through.
  add_executable(transcode_test
    tests/transcode_test.cpp tests/support/gtest_convert.cpp tests/support/case_file.cpp
    tests/support/convert.cpp tests/support/random_text.cpp tests/support/utf.cpp)
  target_link_libraries(transcode_test tobble_static gtest gtest_main)
  target_link_options(transcode_test PRIVATE -static)
  add_test(NAME transcode_test COMMAND transcode_test)

  # tobble.exe against the Linux tool, byte for byte. This build makes its
  # own Linux tool from the same sources with the native compiler, configured
  # as the release preset makes dist/tobble, so the test needs no other
  # preset's build. BUILD_ALWAYS: the step is the inner build's own
  # incremental make, which notices changed sources.
  include(ExternalProject)
  ExternalProject_Add(linux_tool
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/linux-tool
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DTOBBLE_RELEASE=ON
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target tobble
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON)
  add_test(NAME cli_wine
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/cli_wine_test.py
            --wine ${CMAKE_SOURCE_DIR}/tools/wine-run --exe $<TARGET_FILE:tobble_tool>
            --tool ${CMAKE_BINARY_DIR}/linux-tool/tobble)
  add_test(NAME tool_version
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/check_version_resource.py
            $<TARGET_FILE:tobble_tool> tobble.exe ${CMAKE_SOURCE_DIR}/VERSION)
endif()

find_program(TOBBLE_OBJDUMP NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-objdump REQUIRED)
add_test(NAME plugin_binary
  COMMAND ${CMAKE_SOURCE_DIR}/tests/check_plugin_binary.sh ${TOBBLE_OBJDUMP}
          $<TARGET_FILE:tobble_plugin> ${TOBBLE_PLUGIN_FILE} ${TOBBLE_FILTER_NAMES})
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  add_test(NAME tool_vector_moves
    COMMAND ${CMAKE_SOURCE_DIR}/tests/check_vector_moves.sh ${TOBBLE_OBJDUMP}
            $<TARGET_FILE:tobble_tool>)
  # The 64-bit plug-in carries the escape decoders' AVX-512 windows.
  add_test(NAME plugin_vector_moves
    COMMAND ${CMAKE_SOURCE_DIR}/tests/check_vector_moves.sh ${TOBBLE_OBJDUMP}
            $<TARGET_FILE:tobble_plugin>)
endif()

# The plug-in benchmark (make bench), which also runs once briefly as a smoke
# test. It carries the core to make the corpora, check the plug-in's output
# and count a text's units as the plug-in does for its stand-in that counts.
add_executable(plugin_bench bench/plugin_bench.cpp bench/corpus.cpp bench/natural_texts.cpp
  bench/adversarial_texts.cpp ${TOBBLE_FILTER_SOURCES})
target_include_directories(plugin_bench PRIVATE ${CMAKE_SOURCE_DIR})
target_link_options(plugin_bench PRIVATE -static)
add_dependencies(plugin_bench tobble_plugin)
add_test(NAME plugin_bench_smoke
  COMMAND plugin_bench $<TARGET_FILE:tobble_plugin> --sizes=64K --rounds=1 --min-time=0)

# The test programs run under Wine through tests/run_under_wine.sh, which
# passes one only on its own success line (Wine may end with status 0 having
# run nothing) and skips it, with the reason, when the Wine side it needs is
# missing: 32-bit Wine when wine32:i386 could not be installed.
set(TOBBLE_WINE_TESTS plugin_test plugin_reliability_test plugin_bench_smoke)
set(TOBBLE_WINE_GTEST_PROGRAMS plugin_test plugin_reliability_test)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  list(APPEND TOBBLE_WINE_TESTS transcode_test)
  list(APPEND TOBBLE_WINE_GTEST_PROGRAMS transcode_test)
endif()
set(TOBBLE_RUN_UNDER_WINE ${CMAKE_SOURCE_DIR}/tests/run_under_wine.sh)
set_target_properties(${TOBBLE_WINE_GTEST_PROGRAMS} PROPERTIES
  CROSSCOMPILING_EMULATOR "${TOBBLE_RUN_UNDER_WINE};gtest")
set_target_properties(plugin_bench PROPERTIES
  CROSSCOMPILING_EMULATOR "${TOBBLE_RUN_UNDER_WINE};bench")
set_tests_properties(${TOBBLE_WINE_TESTS} PROPERTIES SKIP_RETURN_CODE 77)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  list(GET TOBBLE_FILTER_NAMES 0 tobble_first_filter)
  add_test(NAME run_under_wine
    COMMAND ${CMAKE_SOURCE_DIR}/tests/check_run_under_wine.sh ${CMAKE_SOURCE_DIR}
            $<TARGET_FILE:tobble_tool> $<TARGET_FILE:plugin_test> $<TARGET_FILE:plugin_bench>
            $<TARGET_FILE:tobble_plugin> ${TOBBLE_CASE_FILE} ${TOBBLE_ENTITIES_FILE}
            ${tobble_first_filter})
endif()
