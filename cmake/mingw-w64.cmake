# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (posix threads:
# the g++-mingw-w64-x86-64-posix package, whose libstdc++ has std::thread
# and std::mutex). Executables it builds run under wine.
#
#   cmake -S . -B build-win -DIXARKIT_TOOLS=ON -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(IXARKIT_MINGW_PREFIX x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${IXARKIT_MINGW_PREFIX}-gcc-posix ${IXARKIT_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${IXARKIT_MINGW_PREFIX}-g++-posix ${IXARKIT_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${IXARKIT_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${IXARKIT_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# No Python to build against unless one is named: the core and its tools.
if(NOT DEFINED IXARKIT_EXTENSION)
  set(IXARKIT_EXTENSION OFF CACHE BOOL "Build the Python extension module")
endif()
