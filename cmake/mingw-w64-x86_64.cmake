# Cross-compiles zentrova for 64-bit Windows with Debian's MinGW-w64 (the posix
# thread model, which thread_local objects with destructors and std::thread
# need) and runs the resulting programs under Wine, so ctest works unchanged.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZV_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZV_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZV_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZV_MINGW_PREFIX}-windres)

# Headers and libraries from the MinGW tree only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${ZV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# 64-bit Windows promises only 16-byte stack alignment, and GCC can still place
# 32- and 64-byte vector spills on the stack with aligned moves, which fault
# (GCC bug 54412); the assembler turns every aligned vector move into an
# unaligned one, which behaves the same on aligned data.
set(CMAKE_C_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")
set(CMAKE_CXX_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")

# Static runtime, so the programs need no MinGW DLLs beside them under Wine or
# on a bare Windows machine.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Wine runs the test programs. Its loader and a scratch prefix of our own can be
# passed in (scripts/test_windows.sh does); otherwise Debian's loader and a
# prefix inside the build tree, so a run never touches the user's ~/.wine.
if(NOT ZENTROVA_WINE)
  find_program(ZENTROVA_WINE_LOADER NAMES wine64 wine PATHS /usr/lib/wine)
  set(ZENTROVA_WINE "${ZENTROVA_WINE_LOADER}")
endif()
if(NOT ZENTROVA_WINEPREFIX)
  set(ZENTROVA_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
endif()
if(ZENTROVA_WINE)
  # Through a runner that reports a program Wine could not start with Wine's
  # own reason, instead of a failure without output.
  set(CMAKE_CROSSCOMPILING_EMULATOR
    bash "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine_run.sh" "${ZENTROVA_WINE}"
    "${ZENTROVA_WINEPREFIX}")
endif()
