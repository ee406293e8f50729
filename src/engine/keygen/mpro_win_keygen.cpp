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
  PseRequest request;
  request.requestFile = ExpandRootPath(read(param::kRequestFile));
  request.keyDirectory = read(param::kKeyDirectory);
  request.subject = GetSubjectParams();
  // Only modules with a 24th parameter know the title.
  if (binding.Functions().GetCryptoParamNumber() < param::kTitle) request.subject.t.clear();
  // The own certificate stays unset: the request is for keys that have no
  // certificate yet. The flag of index 20 is cleared for the request.
  return binding.RequestForPSE(request);
}

}  // namespace cryptlib
