// TMProWinCryptoEngine: local key generation as a PSE certificate request.
// The module of this generation makes the key set and the request in one
// call on a private context that gets only the key directory and the subject.
#include <algorithm>
#include <vector>

#include "binding/param_numbers.h"
#include "cryptlib.h"
#include "engine/mpro_win.h"

namespace cryptlib {
// The signing key is the encryption key's pair: one generation serves both,
// through the most derived generation.
int32_t TMProWinCryptoEngine::GenerateNewSSK() {
  return GenerateNewSEK();
}

int32_t TMProWinCryptoEngine::GenerateNewSEK() {
  TMProDLL* binding = nullptr;
  if (const int32_t result = AcquireBinding(binding)) return result;
  return Guarded("TMProWinCryptoEngine.GenerateNewSEK: ", [&] { return RequestPSEKeys(*binding); });
}

std::string TMProWinCryptoEngine::ParamAsHostReads(int32_t number, int32_t capacity) {
  // At least the terminator's byte: a module that reports no length must
  // not make the read write outside the buffer.
  std::vector<char> value(static_cast<size_t>(std::max(capacity, 1)), '\0');
  GetCryptoParamValue(number, value.data());
  return value.data();
}

int32_t TMProWinCryptoEngine::RequestPSEKeys(TMProDLL& binding) {
  const int32_t capacity = GetMaxCryptoParamValueLength();
  const auto read = [&](int32_t number) { return ParamAsHostReads(number, capacity); };
  const std::string requestFile = ExpandRootPath(read(param::kRequestFile));
  const std::string keyDirectory = read(param::kKeyDirectory);
  const std::string cn = read(param::kCommonName);
  const std::string c = read(param::kCountry);
  const std::string s = read(param::kState);
  const std::string l = read(param::kLocality);
  const std::string o = read(param::kOrganisation);
  const std::string ou = read(param::kUnit);
  const std::string e = read(param::kEmail);
  // Only modules with a 24th parameter know the title.
  const bool hasTitle = binding.Functions().GetCryptoParamNumber() >= param::kTitle;
  const std::string t = hasTitle ? read(param::kTitle) : std::string();
  // Index 0 (the own certificate) stays unset: the request is for keys that
  // have no certificate yet. The flag of index 20 is cleared for the request.
  return binding.RequestForPSE(nullptr, keyDirectory.c_str(), cn.c_str(), c.c_str(), s.c_str(), l.c_str(), o.c_str(),
                               ou.c_str(), e.c_str(), t.c_str(), requestFile.c_str(), "");
}

}  // namespace cryptlib
