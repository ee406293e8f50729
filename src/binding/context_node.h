// TMesProCashNode: one vendor context kept in the context cache.
#pragma once

#include <cstdint>

#include "binding/crypto_dll.h"
#include "mplug.h"

namespace cryptlib {

class TMesProCashNode : public TCrypto_DLL {
 public:
  // Loads the variant's module file when needed (no version check) and finds
  // "DoneCrypto", so that the node can close its context without a binding.
  explicit TMesProCashNode(int32_t variant);
  // Closes the context.
  ~TMesProCashNode() override;

  MPlugContext Context() const { return context_; }
  int32_t Lifetime() const { return lifetime_; }
  double Created() const { return created_; }

  void Open(MPlugContext context, int32_t lifetime, double created) {
    context_ = context;
    lifetime_ = lifetime;
    created_ = created;
  }

 private:
  MPlug_DoneCrypto_Fn doneCrypto_ = nullptr;
  int32_t lifetime_ = 0;
  double created_ = 0;
  MPlugContext context_ = 0;
};

}  // namespace cryptlib
