// The bank's certificate authority, for the flows where the tool plays the
// bank: a self-signed RSA authority kept in a directory (ca.pem, ca.key, the
// next serial number), which issues certificates from PKCS#10 requests and
// writes revocation lists. The bank's own client side (signing transfers)
// is an engine like any abonent's.
#pragma once

#include <string>
#include <vector>

namespace cryptlib::host {

class BankCa {
 public:
  BankCa() = default;
  ~BankCa();
  BankCa(const BankCa&) = delete;
  BankCa& operator=(const BankCa&) = delete;

  // Makes a new authority in directory (created when missing) with the
  // subject /C=RU/O=<organisation>/CN=<commonName>.
  bool Create(const std::string& directory, const std::string& organisation, const std::string& commonName);
  // Opens the authority kept in directory.
  bool Open(const std::string& directory);

  const std::string& error() const { return error_; }
  std::string CertificatePath() const { return directory_ + "/ca.pem"; }

  // Issues a certificate for the request (PEM or DER) valid for days from a
  // day ago, with the next serial number. The request's signature must
  // verify. serial receives the number given.
  bool Issue(const std::string& requestPath, const std::string& certificatePath, int days, long& serial);
  // A revocation list of this authority naming the serials, valid from a
  // day ago for thirty days.
  bool WriteCrl(const std::string& path, const std::vector<long>& revokedSerials);

 private:
  bool Fail(const std::string& what);
  long NextSerial();

  std::string directory_;
  std::string error_;
  void* key_ = nullptr;          // EVP_PKEY
  void* certificate_ = nullptr;  // X509
};

// Makes the gost engine's algorithms known to this process's libcrypto, so
// that requests with GOST keys can be read; false when it cannot be loaded.
bool LoadGostAlgorithms();

}  // namespace cryptlib::host
