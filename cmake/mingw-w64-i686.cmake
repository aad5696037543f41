# Cross toolchain: Debian's MinGW-w64 for i686 (32-bit Windows) with POSIX threads.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOOLCHAIN_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
