// The engine library's file version, read back like a module's (readelf -n
// shows it); the numbers are the project's version (CMakeLists.txt).
#include "platform/file_version.h"

#if !defined(CRYPTLIB_VERSION_MAJOR) || !defined(CRYPTLIB_VERSION_MINOR) || !defined(CRYPTLIB_VERSION_RELEASE) || \
    !defined(CRYPTLIB_VERSION_BUILD)
#error "the CRYPTLIB_VERSION_* numbers come from CMakeLists.txt"
#endif

CRYPTLIB_FILE_VERSION(CRYPTLIB_VERSION_MAJOR, CRYPTLIB_VERSION_MINOR, CRYPTLIB_VERSION_RELEASE, CRYPTLIB_VERSION_BUILD)
