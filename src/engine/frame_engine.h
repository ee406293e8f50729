// The engine the library hands out until the engines over the vendor module
// exist: the base behaviour of every slot, with a name of its own, and the
// key-transfer slots answering 0 as every engine over a vendor module does.
#pragma once

#include "core/cryptobj.h"

namespace cryptlib {

class TFrameCryptoEngine final : public TCryptoEngine {
 public:
  static constexpr const char* kName = "CryptLib engine frame";
  void GetEngineName(char* buffer) override;
  // Keys live in files: there is nothing to transfer to a token.
  int32_t TransPrivateKeyFromFileToTM() override { return 0; }
  int32_t TransSignatureFromFileToTM() override { return 0; }
};

}  // namespace cryptlib
