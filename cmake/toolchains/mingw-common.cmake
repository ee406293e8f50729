# Shared by the MinGW-w64 toolchain files: a Windows target built on Linux
# with the "-posix" compilers (their thread model has std::thread and
# std::mutex, which GoogleTest and the engine's locks need) and the runtime
# linked statically, so the DLLs and programs need no MinGW runtime DLLs.
#
# The including file sets CRYPTLIB_MINGW_TRIPLE first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${CRYPTLIB_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CRYPTLIB_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${CRYPTLIB_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${CRYPTLIB_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -static also takes winpthread in statically (the posix thread model's
# runtime); -static-libgcc/-static-libstdc++ cover the compiler's own.
set(CRYPTLIB_MINGW_STATIC_RUNTIME "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${CRYPTLIB_MINGW_STATIC_RUNTIME}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${CRYPTLIB_MINGW_STATIC_RUNTIME}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${CRYPTLIB_MINGW_STATIC_RUNTIME}")
