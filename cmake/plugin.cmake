# Windows build: the freestanding plug-in DLL, and the programs that test it
# under Wine.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(TOBBLE_PLUGIN_FILE tobble.qnf64)
  set(TOBBLE_ENTRY DllMain)
else()
  set(TOBBLE_PLUGIN_FILE tobble.qnf)
  set(TOBBLE_ENTRY _DllMain@12)
  # SSE2 is the baseline; Windows keeps the 32-bit stack only 4-byte aligned.
  add_compile_options(-msse2 -mstackrealign)
endif()

configure_file(plugin/tobble.def.in ${CMAKE_BINARY_DIR}/tobble.def @ONLY)

# No C runtime, no exceptions, no unwinding tables, no stack protector: the
# DLL imports from KERNEL32.dll and USER32.dll and nothing else.
set(TOBBLE_FREESTANDING_FLAGS
  -ffreestanding -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
  -fno-stack-protector -fno-tree-loop-distribute-patterns -fno-threadsafe-statics)

add_library(tobble_plugin SHARED ${TOBBLE_CORE_SOURCES} plugin/exports.cpp)
target_include_directories(tobble_plugin PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(tobble_plugin PRIVATE ${TOBBLE_FREESTANDING_FLAGS})
target_link_options(tobble_plugin PRIVATE
  -nostdlib -nostartfiles -Wl,--entry,${TOBBLE_ENTRY} -Wl,--no-insert-timestamp
  -Wl,--enable-stdcall-fixup -s ${CMAKE_BINARY_DIR}/tobble.def)
target_link_libraries(tobble_plugin PRIVATE kernel32 user32 gcc)
set_target_properties(tobble_plugin PROPERTIES
  PREFIX "" SUFFIX "" OUTPUT_NAME ${TOBBLE_PLUGIN_FILE} LINK_DEPENDS ${CMAKE_BINARY_DIR}/tobble.def)

# GoogleTest from Debian's sources, built by the same cross compiler.
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
target_compile_options(gtest PRIVATE -w)

add_executable(plugin_test
  tests/plugin_test.cpp tests/plugin_host.cpp tests/win32_hooks.cpp tests/case_file.cpp
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

find_program(TOBBLE_OBJDUMP NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-objdump REQUIRED)
add_test(NAME plugin_binary
  COMMAND ${CMAKE_SOURCE_DIR}/tests/check_plugin_binary.sh ${TOBBLE_OBJDUMP}
          $<TARGET_FILE:tobble_plugin> ${TOBBLE_PLUGIN_FILE})
