#include "binding/pse_request.h"

#include <utility>

#include "support/strutil.h"

namespace cryptlib {

std::string* SubjectFields::Named(const std::string& uidField) {
  const std::string field = UpperAscii(uidField);
  if (field.empty() || field == "CN") return &cn;
  const std::pair<const char*, std::string*> fields[] = {{"C", &c},   {"L", &l}, {"S", &s}, {"O", &o},
                                                         {"OU", &ou}, {"E", &e}, {"T", &t}};
  for (const auto& [name, value] : fields)
    if (field == name) return value;
  return nullptr;
}

}  // namespace cryptlib
