// TMPro1CryptoEngine: the property lists the host shows for certificates and
// requests. The module's structured records are preferred; otherwise its text
// dump (or a request's own text) goes through the report parser. Whatever the
// source, the host's buffer receives at most GetMaxReportSize bytes.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "cryptlib.h"
#include "engine/ce_mpro.h"
#include "engine/formats/cert_report.h"
#include "support/fileutil.h"
#include "support/host_file.h"

namespace cryptlib {
namespace {

constexpr const char* kRequestMarker = "-----BEGIN CERTIFICATE REQUEST-----";
// The report buffer's room beside the module's longest dump.
constexpr int32_t kReportRoom = 256;
constexpr const char* kReceivedCertificate = "Tmp_cert.pem";

// A zeroed buffer of size bytes (a negative size is empty); false when memory
// is short, which the operations report as -117.
bool Allocate(int32_t size, std::vector<char>& buffer) {
  try {
    buffer.assign(static_cast<size_t>(std::max(size, 0)), '\0');
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace

int32_t TMPro1CryptoEngine::GetMaxReportSize() {
  TMProDLL* binding = nullptr;
  if (AcquireBinding(binding) != CE_OK) return -1;
  return binding->MaxCertInfoSize() + kReportRoom;
}

int32_t TMPro1CryptoEngine::ReportFromFileText(TMProDLL& binding, const std::string& text, char* report) {
  const int32_t reportSize = binding.MaxCertInfoSize() + kReportRoom;
  if (reportSize < 1) return CE_EXCEPTION;
  const bool request = text.find(kRequestMarker) != std::string::npos;
  const ParamSnapshot snapshot = BuildSnapshot(binding);
  const auto length = static_cast<int32_t>(text.size());
  std::string lines;
  const int32_t structured = request ? binding.RequestInfoText(snapshot, text.data(), length, lines)
                                     : binding.CertInfoText(snapshot, text.data(), length, lines);
  if (structured == CE_OK) return CopyReport(lines, report, reportSize) ? CE_OK : CE_BAD_ARGUMENT;

  // The dump goes into a buffer of the engine's own, never into the host's:
  // only the bounded report reaches the host.
  std::vector<char> dump;
  if (!Allocate(reportSize, dump)) return CE_LOW_MEMORY;
  if (request) {
    if (length > reportSize - kReportRoom) return CE_TRANSFER_EXTRACT;
    std::memcpy(dump.data(), text.data(), text.size());
  } else if (const int32_t result = binding.GetCertInfo(snapshot, text.data(), length, dump.data())) {
    return result;
  }
  return GetReportByBuffer(dump.data(), reportSize, report, reportSize);
}

int32_t TMPro1CryptoEngine::GetReport(const char* uid, char* report) {
  if (report == nullptr) return CE_BAD_ARGUMENT;
  if (uid == nullptr || *uid == '\0') {
    // No UID: the certificate received by a remote key generation.
    const std::string directory = RemoteGeneratePath();
    if (directory.empty() || !DirectoryExists(directory)) return CE_REMOTE_PATH;
    const std::string file = IncludeBackslash(directory) + kReceivedCertificate;
    if (!FileExists(file)) return CE_NEW_KEY_NOT_FOUND;
    return GetReportByFile(file.c_str(), report);
  }
  return Guarded("TMProCryptoEngine.GetReport: ", [&]() -> int32_t {
    std::string subject;
    if (const int32_t result = ReadSubjectFromCert(uid, subject)) return result;
    TMProDLL* binding = nullptr;
    if (const int32_t result = AcquireBinding(binding)) return result;
    std::vector<char> certificate;
    if (!Allocate(binding->MaxCertificateSize(), certificate)) return CE_LOW_MEMORY;
    auto length = static_cast<int32_t>(certificate.size());
    if (const int32_t result =
            binding->GetCertificateByUID(BuildSnapshot(*binding), subject.c_str(), certificate.data(), &length))
      return result;
    length = std::clamp(length, 0, static_cast<int32_t>(certificate.size()));
    // A certificate, whatever its bytes say: the request marker must not
    // turn it into one.
    const int32_t reportSize = binding->MaxCertInfoSize() + kReportRoom;
    std::string lines;
    if (binding->CertInfoText(BuildSnapshot(*binding), certificate.data(), length, lines) == CE_OK)
      return CopyReport(lines, report, reportSize) ? CE_OK : CE_BAD_ARGUMENT;
    std::vector<char> dump;
    if (!Allocate(reportSize, dump)) return CE_LOW_MEMORY;
    if (const int32_t result = binding->GetCertInfo(BuildSnapshot(*binding), certificate.data(), length, dump.data()))
      return result;
    return GetReportByBuffer(dump.data(), reportSize, report, reportSize);
  });
}

int32_t TMPro1CryptoEngine::GetReportByFile(const char* path, char* report) {
  if (report == nullptr || path == nullptr) return CE_BAD_ARGUMENT;
  TMProDLL* binding = nullptr;
  if (const int32_t result = AcquireBinding(binding)) return result;
  return Guarded("TMProCryptoEngine.GetReportByFile: ", [&]() -> int32_t {
    const std::string file = ExpandRootPath(path);
    if (!IsRegularFileWithin(file, static_cast<uint64_t>(std::max(binding->MaxCertificateSize(), 0))))
      return CE_KEY_FILE_IO;
    std::vector<char> content;
    if (!Allocate(binding->MaxCertificateSize(), content)) return CE_LOW_MEMORY;
    auto length = static_cast<int32_t>(content.size());
    if (!ReadFileToBuffer(file.c_str(), content.data(), &length)) return CE_KEY_FILE_IO;
    return ReportFromFileText(*binding, std::string(content.data(), static_cast<size_t>(length)), report);
  });
}

int32_t TMPro1CryptoEngine::GetReportByTransfer(const char* transfer, char* report) {
  if (report == nullptr) return CE_BAD_ARGUMENT;
  TransferRecord record;
  if (const int32_t result = GetPublicKeyBlockByTransfer(transfer, record)) return result;
  TMProDLL* binding = nullptr;
  if (const int32_t result = AcquireBinding(binding)) return result;
  return Guarded("TMProCryptoEngine.GetReportByTransfer: ", [&]() -> int32_t {
    return ReportFromFileText(*binding, record.data, report);
  });
}

int32_t TMPro1CryptoEngine::GetUIDByPublicKeyTransfer(const char* transfer, char* uid) {
  if (uid == nullptr) return CE_BAD_ARGUMENT;
  TransferRecord record;
  if (const int32_t result = GetPublicKeyBlockByTransfer(transfer, record)) return result;
  // The record's UID field holds up to 256 characters, but the host's UID
  // buffer is GetMaxUIDLength (40) bytes like every other UID output: a peer's
  // transfer must never write past it.
  CopyHostUID(record.uid, uid);
  return CE_OK;
}

int32_t TMPro1CryptoEngine::GetPublicKeyTransferByFile(char* transfer, const char* path) {
  if (transfer == nullptr || path == nullptr) return CE_BAD_ARGUMENT;
  return Guarded("TMProCryptoEngine.GetPublicKeyTransferByFile: ", [&]() -> int32_t {
    const std::string file = ExpandRootPath(path);
    // Checked before the module reads the file for its UID.
    if (!IsRegularFileWithin(file, kTransferRecordSize)) return CE_KEY_FILE_IO;
    std::vector<char> content;
    if (!Allocate(kTransferRecordSize, content)) return CE_LOW_MEMORY;
    std::string uid;
    if (ReadCertFileField(file, UIDField(), uid) != CE_OK) uid = "Certificate Request";
    auto length = static_cast<int32_t>(content.size());
    if (!ReadFileToBuffer(file.c_str(), content.data(), &length)) return CE_KEY_FILE_IO;
    return MakePublicKeyTransfer(uid, content.data(), length, transfer);
  });
}

}  // namespace cryptlib
