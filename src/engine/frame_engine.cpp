#include "engine/frame_engine.h"

#include <cstring>

namespace cryptlib {

void TFrameCryptoEngine::GetEngineName(char* buffer) {
  if (buffer != nullptr) std::memcpy(buffer, kName, std::strlen(kName) + 1);
}

}  // namespace cryptlib
