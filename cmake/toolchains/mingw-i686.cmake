# 32-bit Windows (PE32) with MinGW-w64: the exports and the vendor calls are
# __stdcall here. Built only; its test programs are not run (a 32-bit Wine
# is not available on every machine), the export table is checked instead.
set(CRYPTLIB_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_SYSTEM_PROCESSOR x86)
