#include "info_ops.h"

#include "identities.h"

namespace fake {

int32_t LoadCertificateFile(Context& context, const char* fileName) {
  if (fileName == nullptr) return context.Fail(kErrBadArguments);
  std::optional<Certificate> certificate = ReadCertificateFile(fileName);
  if (!certificate) return context.Fail(kErrBadCertificate, fileName);
  context.LoadCertificate(*certificate);
  return 0;
}

}  // namespace fake
