#include "engine/mpro_2x.h"

#include <cstring>

namespace cryptlib {
namespace {

constexpr const char* kEngineName = "M-Pro v2.x";
constexpr int32_t k2xVariant = 2;

}  // namespace

TMPro2xCryptoEngine::TMPro2xCryptoEngine() {
  SetLibVariant(k2xVariant);
  ParamValues().emplace_back();
}

void TMPro2xCryptoEngine::GetEngineName(char* buffer) {
  if (buffer != nullptr) std::memcpy(buffer, kEngineName, std::strlen(kEngineName) + 1);
}

}  // namespace cryptlib
