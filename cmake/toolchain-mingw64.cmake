# Cross build for 64-bit Windows with the mingw-w64 compiler (posix threading model), linking
# everything statically so that pairwick.exe runs on a bare Windows or Wine installation.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PAIRWICK_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PAIRWICK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PAIRWICK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PAIRWICK_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PAIRWICK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No libstdc++, libgcc or winpthread DLLs to ship next to the executables.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Tests registered with CTest run under Wine in the Japanese setting that they check.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/windows-run.sh)
