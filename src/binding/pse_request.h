// A certificate request for a PSE key container, as the module is asked for
// one on a private context: the subject of the request, the container and
// where the request goes.
#pragma once

#include <string>

namespace cryptlib {

// A certificate subject by field.
struct SubjectFields {
  std::string cn, c, s, l, o, ou, e, t;
  // The field the UID field names ("CN" or empty, "C", "S", "L", "O", "OU",
  // "E", "T"; letter case ignored); nullptr for any other.
  std::string* Named(const std::string& uidField);
};

struct PseRequest {
  // Vendor index 0; left unset when empty (keys that have no certificate).
  std::string ownCertificate;
  // Vendor index 2, and the container the module writes the keys into.
  std::string keyDirectory;
  // Vendor indexes 15 (CN), 10 (C), 11 (S), 12 (L), 13 (O), 14 (OU), 16 (E)
  // and 23 (T, only for a module of at least 24 parameters).
  SubjectFields subject;
  std::string requestFile;
  // Vendor index 20.
  std::string flag;
};

}  // namespace cryptlib
