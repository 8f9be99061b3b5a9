# Cross-compiling for macOS with zig's clang and libc++ (PyPI's ziglang),
# to prove here that the core and its tools build there. The target is
# IXARKIT_ZIG_TARGET (x86_64-macos or aarch64-macos) at deployment target
# macOS 11.0, where preadv first exists.
#
#   cmake -S . -B build-mac -DIXARKIT_TOOLS=ON -DIXARKIT_ZIG_TARGET=aarch64-macos \
#         -DIXARKIT_ZIG_PYTHON=/path/to/python-with-ziglang -DCMAKE_TOOLCHAIN_FILE=cmake/zig-macos.cmake
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_OSX_DEPLOYMENT_TARGET 11.0 CACHE STRING "")
set(CMAKE_OSX_SYSROOT "" CACHE STRING "")
if(NOT IXARKIT_ZIG_TARGET)
  set(IXARKIT_ZIG_TARGET aarch64-macos)
endif()
if(NOT IXARKIT_ZIG_PYTHON)
  find_program(IXARKIT_ZIG_PYTHON NAMES python3 python REQUIRED)
endif()
if(IXARKIT_ZIG_TARGET MATCHES "^aarch64")
  set(CMAKE_SYSTEM_PROCESSOR arm64)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
endif()
# CMake takes a compiler as one program: small scripts that call zig.
set(_zig_dir "${CMAKE_BINARY_DIR}/zig-${IXARKIT_ZIG_TARGET}")
foreach(_tool c++ cc ar ranlib)
  set(_args "")
  if(_tool STREQUAL "c++" OR _tool STREQUAL "cc")
    set(_args "-target ${IXARKIT_ZIG_TARGET}.11.0")
  endif()
  file(WRITE "${_zig_dir}/zig-${_tool}" "#!/bin/sh\nexec \"${IXARKIT_ZIG_PYTHON}\" -m ziglang ${_tool} ${_args} \"$@\"\n")
  file(CHMOD "${_zig_dir}/zig-${_tool}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER "${_zig_dir}/zig-cc")
set(CMAKE_CXX_COMPILER "${_zig_dir}/zig-c++")
set(CMAKE_AR "${_zig_dir}/zig-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${_zig_dir}/zig-ranlib" CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
if(NOT DEFINED IXARKIT_EXTENSION)
  set(IXARKIT_EXTENSION OFF CACHE BOOL "Build the Python extension module")
endif()
