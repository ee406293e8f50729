#include "data_ops.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fake_module.h"
#include "identities.h"

namespace fake {
namespace {

constexpr std::string_view kEnvelopeTitle = "FAKE ENVELOPE\n";

std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> entries;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    if (end > start) entries.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return entries;
}

void Mask(unsigned char* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) bytes[i] ^= kMask;
}

// The value of "Key: " in the header, empty when absent.
std::string HeaderValue(std::string_view header, std::string_view key) {
  std::string tag = "\n" + std::string(key) + ": ";
  size_t pos = header.find(tag);
  if (pos == std::string_view::npos) return {};
  size_t start = pos + tag.size();
  return std::string(header.substr(start, header.find('\n', start) - start));
}

// An empty list stands for the context's own holder.
int32_t ResolveRecipients(Context& context, const char* list, std::string& joined) {
  std::vector<std::string> entries = SplitList(list != nullptr ? list : "");
  if (entries.empty()) {
    std::optional<Certificate> own = OwnCertificate(context);
    if (!own) return context.Fail(kErrNoOwnCertificate, context.Param(kParamOwnCertificate));
    entries.push_back(IdentityOf(context, *own));
  }
  for (const std::string& entry : entries) {
    if (!FindCertificate(context, entry)) return context.Fail(kErrCertificateNotFound, entry);
    joined += (joined.empty() ? "" : ";") + entry;
  }
  return 0;
}

bool IsDigits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// Splits signed data into the data and the signature record.
bool SplitAttached(std::string_view total, std::string_view& content, std::string_view& record) {
  if (total.size() < kTrailerLength) return false;
  std::string_view trailer = total.substr(total.size() - kTrailerLength);
  if (!trailer.starts_with("FAKESIG:") || trailer.back() != '\n' || !IsDigits(trailer.substr(8, 7))) return false;
  size_t recordLength = std::stoul(std::string(trailer.substr(8, 7)));
  if (recordLength > total.size() - kTrailerLength) return false;
  content = total.substr(0, total.size() - kTrailerLength - recordLength);
  record = total.substr(content.size(), recordLength);
  return true;
}

int32_t FindSigner(Context& context, const char* signer, Certificate& found) {
  if (signer == nullptr || *signer == '\0') {
    std::optional<Certificate> own = OwnCertificate(context);
    if (!own) return context.Fail(kErrNoOwnCertificate, context.Param(kParamOwnCertificate));
    found = *own;
    return 0;
  }
  std::optional<FoundCertificate> certificate = FindCertificate(context, signer);
  if (!certificate) return context.Fail(kErrCertificateNotFound, signer);
  found = certificate->certificate;
  return 0;
}

}  // namespace

int32_t Encode(Context& context, void* data, int32_t* length, const char* recipients) {
  if (data == nullptr || length == nullptr || *length < 0) return context.Fail(kErrBadArguments);
  std::string joined;
  if (int32_t result = ResolveRecipients(context, recipients, joined)) return result;
  auto* bytes = static_cast<unsigned char*>(data);
  size_t plainLength = static_cast<size_t>(*length);
  std::string_view plain(reinterpret_cast<const char*>(bytes), plainLength);
  std::string header = std::string(kEnvelopeTitle) + "To: " + joined + "\nLength: " + std::to_string(plainLength) +
                       "\nSum: " + Checksum(plain) + "\n\n";
  if (header.size() > static_cast<size_t>(kMaxEncodeAddition)) return context.Fail(kErrTooManyRecipients);
  std::memmove(bytes + header.size(), bytes, plainLength);
  std::memcpy(bytes, header.data(), header.size());
  Mask(bytes + header.size(), plainLength);
  *length += static_cast<int32_t>(header.size());
  return 0;
}

int32_t Decode(Context& context, void* data, int32_t* length, char* uid) {
  if (data == nullptr || length == nullptr || *length < 0) return context.Fail(kErrBadArguments);
  auto* bytes = static_cast<unsigned char*>(data);
  std::string_view total(reinterpret_cast<const char*>(bytes), static_cast<size_t>(*length));
  size_t headerEnd = total.find("\n\n");
  if (!total.starts_with(kEnvelopeTitle) || headerEnd == std::string_view::npos) return context.Fail(kErrNotEncrypted);
  std::string_view header = total.substr(kEnvelopeTitle.size() - 1, headerEnd + 1 - (kEnvelopeTitle.size() - 1));
  std::string lengthText = HeaderValue(header, "Length");
  size_t bodyStart = headerEnd + 2;
  if (!IsDigits(lengthText) || std::stoul(lengthText) != total.size() - bodyStart) {
    return context.Fail(kErrNotEncrypted);
  }
  std::string plain(total.substr(bodyStart));
  Mask(reinterpret_cast<unsigned char*>(plain.data()), plain.size());
  if (Checksum(plain) != HeaderValue(header, "Sum")) return context.Fail(kErrNotEncrypted);
  std::optional<Certificate> own = OwnCertificate(context);
  if (!own) return context.Fail(kErrNoOwnCertificate, context.Param(kParamOwnCertificate));
  bool addressed = false;
  for (const std::string& recipient : SplitList(HeaderValue(header, "To"))) addressed |= Names(*own, recipient);
  if (!addressed) return context.Fail(kErrNotARecipient, own->subject);
  std::memcpy(bytes, plain.data(), plain.size());
  *length = static_cast<int32_t>(plain.size());
  CopyText(uid, kMaxUidLength, IdentityOf(context, *own));
  return 0;
}

int32_t Sign(Context& context, const void* data, int32_t length, void* signature, int32_t* signatureLength,
             const char* signer) {
  if ((data == nullptr && (length > 0 || signature == nullptr)) || length < 0 || signatureLength == nullptr) {
    return context.Fail(kErrBadArguments);
  }
  Certificate certificate;
  if (int32_t result = FindSigner(context, signer, certificate)) return result;
  std::string_view content(static_cast<const char*>(data), static_cast<size_t>(length));
  std::string record = FormatSignature(SignatureFor(certificate, content));
  if (record.size() + kTrailerLength > static_cast<size_t>(kMaxSignatureLength)) {
    return context.Fail(kErrBadCertificate, "subject too long to sign with");
  }
  if (signature != nullptr) {
    // A cell of 0 or less gives no capacity: the buffer is trusted to hold
    // GetMaxSignatureLength bytes.
    bool fits = *signatureLength <= 0 || static_cast<size_t>(*signatureLength) >= record.size();
    *signatureLength = static_cast<int32_t>(record.size());
    if (!fits) return context.Fail(kErrBufferTooSmall);
    std::memcpy(signature, record.data(), record.size());
    return 0;
  }
  char trailer[kTrailerLength + 1];
  std::snprintf(trailer, sizeof trailer, "FAKESIG:%07zu\n", record.size());
  record += trailer;
  size_t total = static_cast<size_t>(length) + record.size();
  bool fits = *signatureLength >= 0 && static_cast<size_t>(*signatureLength) >= total;
  *signatureLength = static_cast<int32_t>(total);
  if (!fits) return context.Fail(kErrBufferTooSmall);
  // Attached mode: the data buffer is the caller's writable buffer, sized for
  // the data and the signature.
  std::memcpy(const_cast<char*>(content.data()) + length, record.data(), record.size());
  return 0;
}

int32_t Verify(Context& context, const void* data, int32_t* length, const void* signature, int32_t signatureLength,
               char* uid, bool checkTime) {
  if (data == nullptr || length == nullptr || *length < 0 || (signature != nullptr && signatureLength < 0)) {
    return context.Fail(kErrBadArguments);
  }
  std::string_view content(static_cast<const char*>(data), static_cast<size_t>(*length));
  std::string_view record;
  if (signature != nullptr) {
    record = std::string_view(static_cast<const char*>(signature), static_cast<size_t>(signatureLength));
  } else if (!SplitAttached(content, content, record)) {
    return context.Fail(kErrNoSignature);
  }
  std::optional<Signature> parsed = ParseSignature(record);
  if (!parsed) return context.Fail(kErrNoSignature);
  if (ExpectedSum(*parsed, content) != parsed->sum) return context.Fail(kErrBadSignature, parsed->signer);
  std::string now = SortableDate(DateText(0));
  if (checkTime && (now < SortableDate(parsed->notBefore) || now > SortableDate(parsed->notAfter))) {
    return context.Fail(kErrCertificateExpired, parsed->signer);
  }
  CopyText(uid, kMaxUidLength, context.UsesSn() ? parsed->signerSn : parsed->signer);
  if (signature == nullptr) *length = static_cast<int32_t>(content.size());
  return 0;
}

}  // namespace fake
