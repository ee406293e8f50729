# 32-bit Windows (PE32) with MinGW-w64: the exports and the vendor calls are
# __stdcall here, as the banking clients (32-bit programs) call them. The test
# programs run under the 32-bit Wine (Debian: dpkg --add-architecture i386,
# then wine32:i386), whose loader /usr/lib/wine/wine is called directly like
# wine64 for the 64-bit build. cmake 3.25 takes the emulator only from the
# toolchain or the cache, not from the environment.
set(CRYPTLIB_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_SYSTEM_PROCESSOR x86)
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR AND EXISTS /usr/lib/wine/wine)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine)
endif()
