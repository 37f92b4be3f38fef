# Cross toolchain: 64-bit Windows with mingw-w64's posix thread model (the
# tests use std::thread), run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VX_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VX_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP ${VX_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${VX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest runs every Windows test program through this wrapper (Wine with a
# private prefix under the build tree).
get_filename_component(_vx_repo "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_vx_repo}/scripts/wine-run.sh")
