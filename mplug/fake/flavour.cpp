// What makes this build one flavour: its file version note and parameter
// count, from the compile definitions of mplug/fake/CMakeLists.txt.
#include "fake_module.h"
#include "platform/file_version.h"

#ifndef FAKE_PARAM_COUNT
#define FAKE_PARAM_COUNT 26
#endif

#if defined(FAKE_VERSION_MAJOR)
CRYPTLIB_FILE_VERSION(FAKE_VERSION_MAJOR, FAKE_VERSION_MINOR, FAKE_VERSION_RELEASE, FAKE_VERSION_BUILD)
// The engine lets calls run side by side only for a version above 1.0.0.0.
constexpr bool kThreadSafe = ((FAKE_VERSION_MAJOR << 16) | FAKE_VERSION_MINOR) > 0x00010000 ||
                             (FAKE_VERSION_MAJOR == 1 && FAKE_VERSION_MINOR == 0 &&
                              ((FAKE_VERSION_RELEASE << 16) | FAKE_VERSION_BUILD) != 0);
#else
constexpr bool kThreadSafe = false;
#endif

namespace fake {

const Flavour& ThisFlavour() {
  static constexpr Flavour flavour{FAKE_PARAM_COUNT, kThreadSafe};
  return flavour;
}

}  // namespace fake
