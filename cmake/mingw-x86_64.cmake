# Cross build for x86_64 Windows with mingw-w64; programs run under Wine.
# The compilers are cache variables, so another mingw-w64 installation is
# one -D away: cmake --preset win64 -DTOBBLE_MINGW_CXX=x86_64-w64-mingw32-g++
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOBBLE_MINGW_CC x86_64-w64-mingw32-gcc-posix CACHE STRING "The C compiler for Windows")
set(TOBBLE_MINGW_CXX x86_64-w64-mingw32-g++-posix CACHE STRING "The C++ compiler for Windows")
set(TOBBLE_MINGW_WINDRES x86_64-w64-mingw32-windres CACHE STRING "The resource compiler for Windows")
# try_compile projects read this file again: they get the same choice.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TOBBLE_MINGW_CC TOBBLE_MINGW_CXX TOBBLE_MINGW_WINDRES)
set(CMAKE_C_COMPILER ${TOBBLE_MINGW_CC})
set(CMAKE_CXX_COMPILER ${TOBBLE_MINGW_CXX})
set(CMAKE_RC_COMPILER ${TOBBLE_MINGW_WINDRES})
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run)
