# The WebAssembly build (the wasm preset, with emscripten's toolchain): the
# library's conversions and streams as one standalone module, tobble.wasm,
# with no JavaScript glue of emscripten's; js/index.js instantiates it. The
# build lays out the npm package in build/wasm/package/ and the offline page
# in build/wasm/web/ (make copies it to dist/web/).
#
# The core's vector layer (filters/common/simd.h) is written with SSE2 intrinsics;
# emscripten's SSE2 headers map them onto 128-bit wasm SIMD, so the module
# runs the same vector code as the native build. Of the byte transcoders it
# takes the plain and the SSE2 one (lib/transcode/select_wasm.cpp): the
# others and the conversions' AVX-512 paths are x86 only.
set(TOBBLE_WASM_SIMD_OPTIONS -msimd128 -msse2)

set(TOBBLE_WASM_SOURCES ${TOBBLE_FILTER_SOURCES} ${TOBBLE_LIB_SOURCES})
list(FILTER TOBBLE_WASM_SOURCES EXCLUDE REGEX
  "(transcode/(sse41|avx2|avx512|select)|common/encode_avx512|escape/decode_avx512)\\.cpp$")
list(APPEND TOBBLE_WASM_SOURCES lib/transcode/select_wasm.cpp js/wasm/exports.cpp)

# What the JavaScript side calls: the C interface and the heap (and the
# functions of js/wasm/exports.cpp, which name themselves).
set(TOBBLE_WASM_EXPORTS
  malloc free tobble_version tobble_status_message
  tobble_filter_count tobble_filter_at tobble_filter_name tobble_filter_name_en
  tobble_filter_key tobble_filter_example tobble_output_bound tobble_convert
  tobble_output_bytes_bound tobble_convert_bytes
  tobble_encoding_parse tobble_stream_feed tobble_stream_flush tobble_stream_finish
  tobble_stream_reset tobble_stream_destroy tobble_stream_error_offset
  tobble_stream_bytes_in tobble_stream_bytes_out tobble_stream_replaced_input
  tobble_stream_replaced_surrogates)
list(TRANSFORM TOBBLE_WASM_EXPORTS PREPEND _)
string(JOIN "," TOBBLE_WASM_EXPORT_LIST ${TOBBLE_WASM_EXPORTS})

# tobble.wasm, or another module from the same sources with other options.
function(tobble_wasm_module target output)
  add_executable(${target} ${TOBBLE_WASM_SOURCES})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
  target_compile_definitions(${target} PRIVATE TOBBLE_STATIC TOBBLE_VERSION="${PROJECT_VERSION}")
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti ${ARGN})
  # Standalone: the module imports env.tobble_write and the memory-growth
  # notice, nothing else. The heap grows as streams are made; the stack is
  # small, since nothing in the library keeps much on it.
  target_link_options(${target} PRIVATE
    --no-entry -sSTANDALONE_WASM=1 -sALLOW_MEMORY_GROWTH=1 -sTOTAL_STACK=262144
    -sINITIAL_MEMORY=4194304 -sEXPORTED_FUNCTIONS=${TOBBLE_WASM_EXPORT_LIST}
    --js-library ${CMAKE_SOURCE_DIR}/js/wasm/imports.js)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${output} SUFFIX .wasm
    LINK_DEPENDS ${CMAKE_SOURCE_DIR}/js/wasm/imports.js)
endfunction()

tobble_wasm_module(tobble_wasm tobble ${TOBBLE_WASM_SIMD_OPTIONS})

# For make bench only: the same module with every filter's plain unit-by-unit
# conversion and the plain transcoder, and no loop vectorized by the
# compiler, so that it holds no SIMD instruction. The core cannot be
# compiled without the SIMD headers, which need -msimd128; what it measures
# is what the vector code is worth.
tobble_wasm_module(tobble_wasm_scalar tobble-scalar ${TOBBLE_WASM_SIMD_OPTIONS}
  -fno-vectorize -fno-slp-vectorize)
target_compile_definitions(tobble_wasm_scalar PRIVATE TOBBLE_SCALAR_ONLY)
set_target_properties(tobble_wasm_scalar PROPERTIES EXCLUDE_FROM_ALL ON)

# The npm package: the JavaScript, its types, the module and the licence,
# with package.json's version from the VERSION file.
set(TOBBLE_JS_PACKAGE ${CMAKE_BINARY_DIR}/package)
set(TOBBLE_JS_FILES index.js index.d.ts README.md)
file(READ ${CMAKE_SOURCE_DIR}/js/package.json tobble_package_json)
string(REGEX REPLACE "\"version\": \"[^\"]*\"" "\"version\": \"${PROJECT_VERSION}\""
  tobble_package_json "${tobble_package_json}")
file(GENERATE OUTPUT ${TOBBLE_JS_PACKAGE}/package.json CONTENT "${tobble_package_json}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/js/package.json)

# The offline page: web/ as it is, with the package beside it in tobble/.
file(GLOB TOBBLE_WEB_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/web/*)
set(TOBBLE_WEB ${CMAKE_BINARY_DIR}/web)

set(copies "")
foreach(file IN LISTS TOBBLE_JS_FILES)
  list(APPEND copies COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/js/${file} ${TOBBLE_JS_PACKAGE}/)
endforeach()
list(TRANSFORM TOBBLE_JS_FILES PREPEND ${CMAKE_SOURCE_DIR}/js/ OUTPUT_VARIABLE js_sources)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/layout.stamp
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${TOBBLE_WEB}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${TOBBLE_WEB}/tobble
  ${copies}
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/LICENSE $<TARGET_FILE:tobble_wasm>
          ${TOBBLE_JS_PACKAGE}/
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/js/index.js $<TARGET_FILE:tobble_wasm>
          ${TOBBLE_WEB}/tobble/
  COMMAND ${CMAKE_COMMAND} -E copy ${TOBBLE_WEB_FILES} ${TOBBLE_WEB}/
  COMMAND ${CMAKE_COMMAND} -E touch ${CMAKE_BINARY_DIR}/layout.stamp
  DEPENDS tobble_wasm ${js_sources} ${TOBBLE_WEB_FILES} ${CMAKE_SOURCE_DIR}/LICENSE
  COMMENT "Laying out the npm package and the offline page")
add_custom_target(tobble_js_layout ALL DEPENDS ${CMAKE_BINARY_DIR}/layout.stamp)
