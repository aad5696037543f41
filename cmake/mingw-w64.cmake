# The part of the cross toolchains that both bitnesses share: Debian's MinGW-w64 with POSIX
# threads, for the TOOLCHAIN_PREFIX that the including toolchain file has set.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
# The message compiler of the event messages (resources/event_messages.mc).
set(QV_MESSAGE_COMPILER ${TOOLCHAIN_PREFIX}-windmc)
set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The static zlib, so that the executables need no zlib1.dll.
set(ZLIB_LIBRARY /usr/${TOOLCHAIN_PREFIX}/lib/libz.a CACHE FILEPATH "")
set(ZLIB_INCLUDE_DIR /usr/${TOOLCHAIN_PREFIX}/include CACHE PATH "")
# Test programs run under Wine, with a prefix kept inside the build folder.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/wine-run.sh)
