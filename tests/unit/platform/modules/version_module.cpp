// A tiny shared module that carries a file version note (platform tests).
#include "platform/file_version.h"

CRYPTLIB_FILE_VERSION(1, 2, 513, 65535)

extern "C" __attribute__((visibility("default"))) int VersionModuleAnswer() {
  return 42;
}
