// The name of a key made by remote generation: it becomes the UID of the new
// certificate request, so that the new certificate of a holder named by a
// subject field differs from the old one by the time of its generation.
#pragma once

#include <string>

#include "platform/date_time.h"

namespace cryptlib {

// uid followed by " (DD-MM-YYYY hh-mm-ss)" for now. A suffix of that shape
// already at the end of uid (its last 21 characters start with "(" and it
// ends with ")") is replaced, not repeated.
std::string WithGenerationDateSuffix(const std::string& uid, const platform::CivilDateTime& now);

// The key name of a remote generation: the host's name when it gave one;
// otherwise uid with the date suffix of the local time now, or uid itself
// when holders are named by serial number (uidField "SN").
std::string RemoteKeyName(const char* hostKeyName, const std::string& uid, const std::string& uidField);

}  // namespace cryptlib
