// Key generation: a new key pair in the 2.x key container of a directory and
// a PKCS#10 request for it, and the checks that tie certificates, requests and
// key containers together.
#pragma once

#include <string>

#include "context.h"

namespace ref {

// Generates the key of parameter 5's kind into the container of keyDirectory
// and writes the request (PEM, subject from parameters 11-17 and 24) to
// requestFile. Answers the container's native directory. With parameter 21
// "1", a token URI in parameter 10 or a container of token references, the
// key pair is made on the token (parameter 10, else the token of the
// container's references) and the container gets a reference to it.
std::string GenerateKeyAndRequest(Context& context, const std::string& keyDirectory, const std::string& requestFile);

bool CertificateFitsRequest(const std::string& certificateFile, const std::string& requestFile);

// The native path of the container key file that fits the certificate, or
// empty when none does (the PIN source opens keys under a passphrase or logs
// in to the token of a reference, reached through tokenLibrary).
std::string ContainerKeyFor(const std::string& certificateFile, const std::string& keyDirectory,
                            const std::string& pinSource, const std::string& tokenLibrary);

}  // namespace ref
