// The GOST algorithms come from the gost engine (Debian's
// libengine-gost-openssl), which OpenSSL 3 still loads as an ENGINE, not as a
// provider. It is loaded once per process and kept until the process ends.
#pragma once

#include <openssl/types.h>

namespace ref {

// The initialised engine with its algorithms registered as defaults, or
// nullptr when it cannot be loaded (the first attempt decides).
ENGINE* GostEngine();

// GostEngine(), or a Failure with kErrGostUnavailable naming the reason.
ENGINE* RequireGostEngine();

}  // namespace ref
