#include "engine/formats/remote_key_name.h"

#include <cstdio>

#include "engine/formats/cert_names.h"
#include "platform/platform.h"
#include "support/strutil.h"

namespace cryptlib {

std::string WithGenerationDateSuffix(const std::string& uid, const platform::CivilDateTime& now) {
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, " (%02d-%02d-%04d %02d-%02d-%02d)", now.day % 100, now.month % 100,
                now.year % 10000, now.hour % 100, now.minute % 100, now.second % 100);
  return StripParenthesizedSuffix(uid) + suffix;
}

std::string RemoteKeyName(const char* hostKeyName, const std::string& uid, const std::string& uidField) {
  if (hostKeyName != nullptr && hostKeyName[0] != '\0') return hostKeyName;
  if (UidIsWholeLine(uidField)) return uid;
  return WithGenerationDateSuffix(uid, platform::DecodeDateTime(platform::Os().LocalDateTime()));
}

}  // namespace cryptlib
