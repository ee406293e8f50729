# 64-bit Windows (PE32+) with MinGW-w64. The test programs run under Wine:
# wine64 is called directly (the "wine" launcher script does not work on
# every kernel). cmake 3.25 takes the emulator only from the toolchain or the
# cache, not from the environment.
set(CRYPTLIB_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR AND EXISTS /usr/lib/wine/wine64)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
endif()
