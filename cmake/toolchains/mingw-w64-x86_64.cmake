# Cross-building the Windows programs on Linux with mingw-w64. The "-posix"
# compilers are the ones with the POSIX thread model: the "-win32" ones (which
# the unversioned names point at) have no std::mutex or std::thread.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime: the programs run on a bare Windows without the compiler's
# DLLs (without it they exit with status 53 for want of them).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests and build-time tools run under Wine. /usr/bin/wine is not there with
# wine64 alone.
find_program(READERTOOL_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT READERTOOL_WINE)
  find_program(READERTOOL_WINE NAMES wine64 wine)
endif()
if(READERTOOL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${READERTOOL_WINE})
endif()
