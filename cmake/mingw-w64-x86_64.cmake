# Cross-build for 64-bit Windows with mingw-w64 (Debian: g++-mingw-w64-x86-64).
# The -posix compilers carry the winpthreads thread model, which std::thread
# and std::this_thread need.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZOLK_MINGW_PREFIX x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${ZOLK_MINGW_PREFIX}-gcc-posix ${ZOLK_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${ZOLK_MINGW_PREFIX}-g++-posix ${ZOLK_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${ZOLK_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZOLK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test executables run through wine (ctest and gtest discovery use this).
find_program(ZOLK_WINE NAMES wine wine64)
if(ZOLK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZOLK_WINE})
endif()
