# Native build with clang, which the libFuzzer targets need (the fuzz
# preset). The compiler is a cache variable, so another clang is one -D away:
# cmake --preset fuzz -DTOBBLE_CLANG_CXX=clang++-16
set(TOBBLE_CLANG_CXX clang++-14 CACHE STRING "The clang C++ compiler of the fuzz build")
set(CMAKE_CXX_COMPILER ${TOBBLE_CLANG_CXX})
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TOBBLE_CLANG_CXX)
