# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (the posix thread
# model, whose C++ library has std::thread and friends).
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake ...
# Packages built for this target are looked for under the prefixes in
# CMAKE_PREFIX_PATH and the compiler's own.
#
# By default programs are linked statically, so that they run under Wine (or
# on Windows) without the compiler's DLLs beside them. -DK740_MINGW_SHARED_RUNTIME=ON
# links the compiler's runtime (libstdc++, libgcc, winpthread) as DLLs instead:
# Qt's DLLs use those, and a program that shares one copy with them is spared
# two heaps of C++ runtime state in one process.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${triple} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(NOT K740_MINGW_SHARED_RUNTIME)
    set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
endif()
