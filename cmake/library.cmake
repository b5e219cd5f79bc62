# The library behind include/tobble.h: libtobble.a (target tobble_static)
# everywhere, and on Linux libtobble.so (tobble_shared) with a versioned
# soname and only the tobble_* functions exported, tobble.pc and a CMake
# package (find_package(tobble): tobble::tobble, tobble::tobble_static), all
# installed by `cmake --install`.
#
# The library neither throws nor catches: built without exceptions, its one
# allocation reports failure as TOBBLE_ERROR_NO_MEMORY.
set(TOBBLE_LIBRARY_OPTIONS -fno-exceptions)

# The core once for every static user: the tests link tobble_core, the
# library's archive carries the same objects.
add_library(tobble_core_objects OBJECT ${TOBBLE_FILTER_SOURCES})
target_include_directories(tobble_core_objects PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(tobble_core_objects PRIVATE ${TOBBLE_LIBRARY_OPTIONS})
if(NOT WIN32)
  add_library(tobble_core STATIC $<TARGET_OBJECTS:tobble_core_objects>)
  target_include_directories(tobble_core PUBLIC ${CMAKE_SOURCE_DIR})
endif()

# Sets up a target built from the library's sources.
function(tobble_library target)
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
    $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}>
    $<INSTALL_INTERFACE:include>)
  target_compile_definitions(${target} PRIVATE TOBBLE_VERSION="${PROJECT_VERSION}")
  target_compile_options(${target} PRIVATE ${TOBBLE_LIBRARY_OPTIONS})
endfunction()

add_library(tobble_static STATIC ${TOBBLE_LIB_SOURCES} $<TARGET_OBJECTS:tobble_core_objects>)
tobble_library(tobble_static)
target_compile_definitions(tobble_static INTERFACE TOBBLE_STATIC)
# Installed, the archive brings the C++ runtime it needs, so that a C program
# links it too.
target_link_libraries(tobble_static INTERFACE $<INSTALL_INTERFACE:stdc++>)
set_target_properties(tobble_static PROPERTIES OUTPUT_NAME tobble EXPORT_NAME tobble_static)

if(WIN32)
  return()
endif()

# The shared library exports the API and nothing else, and is built without
# the native preset's sanitizers so that any program (Python through ctypes
# too) can load it.
add_library(tobble_shared SHARED ${TOBBLE_FILTER_SOURCES} ${TOBBLE_LIB_SOURCES})
tobble_library(tobble_shared)
target_compile_options(tobble_shared PRIVATE -fno-sanitize=all)
target_link_options(tobble_shared PRIVATE -fno-sanitize=all -Wl,--no-undefined)
set_target_properties(tobble_shared PROPERTIES
  OUTPUT_NAME tobble EXPORT_NAME tobble
  VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
  CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

# Installed: `cmake --install build/release --prefix PREFIX`, below DESTDIR
# when that is set (the top Makefile's `make install`).
include(CMakePackageConfigHelpers)
install(TARGETS tobble_shared tobble_static EXPORT tobbleTargets
  ARCHIVE DESTINATION lib LIBRARY DESTINATION lib INCLUDES DESTINATION include)
install(FILES ${CMAKE_SOURCE_DIR}/include/tobble.h DESTINATION include)
install(EXPORT tobbleTargets NAMESPACE tobble:: DESTINATION lib/cmake/tobble)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/tobbleConfig.cmake.in
  ${CMAKE_BINARY_DIR}/tobbleConfig.cmake INSTALL_DESTINATION lib/cmake/tobble)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/tobbleConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/tobbleConfig.cmake ${CMAKE_BINARY_DIR}/tobbleConfigVersion.cmake
  DESTINATION lib/cmake/tobble)
# tobble.pc names the prefix given at install time, which may differ from the
# one configured.
set(TOBBLE_PC_PREFIX "@prefix@")
configure_file(${CMAKE_SOURCE_DIR}/cmake/tobble.pc.in ${CMAKE_BINARY_DIR}/tobble.pc.in @ONLY)
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${CMAKE_BINARY_DIR}/tobble.pc.in\" \"${CMAKE_BINARY_DIR}/tobble.pc\" @ONLY)")
install(FILES ${CMAKE_BINARY_DIR}/tobble.pc DESTINATION lib/pkgconfig)
