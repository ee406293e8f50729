#include "key_files.h"

#include <utility>

#include "fake_module.h"
#include "paths.h"

namespace fake {
namespace {

constexpr const char* kOtherKeyFiles[] = {"gk.db3",     "num",       "DB\\CRYPT\\ckd.key",    "DB\\SIGN\\sec_sgn.key",
                                          "sc_pub.key", "masks.db3", "DB\\CRYPT\\net_ks.key", "DB\\SIGN\\pub_sgn.key",
                                          "kek.opq",    "rand.opq"};

}  // namespace

int32_t GenerateKeys(const std::string& directory, const std::string& subject, const std::string& requestFile) {
  if (directory.empty() || !NativePath(directory)) return kErrNoKeyDirectory;
  if (subject.empty()) return kErrBadRequest;
  KeyContainer container{subject, NewPublicKey()};
  std::string base = WithBackslash(directory);
  std::string record = FormatKeyContainer(container);
  bool written = WriteKeyFile(base + "mk.db3", record) && WriteKeyFile(base + "uz.db3", record) &&
                 WriteKeyFile(base + "KEYS\\" + container.publicKey.substr(0, 8) + ".key", record);
  for (const char* name : kOtherKeyFiles) {
    written = written && WriteKeyFile(base + name, std::string("FAKE KEY FILE ") + name +
                                                       "\nPublicKey: " + container.publicKey + "\n");
  }
  if (written && !requestFile.empty()) {
    written = WriteWholeFile(requestFile, FormatRequest(Request{subject, container.publicKey}));
  }
  return written ? 0 : kErrWriteFailed;
}

std::optional<KeyContainer> ReadKeyContainer(const std::string& directory) {
  std::string base = WithBackslash(directory);
  for (const char* name : {"mk.db3", "uz.db3"}) {
    std::string text;
    if (ReadWholeFile(base + name, text)) {
      if (std::optional<KeyContainer> container = ParseKeyContainer(text)) return container;
    }
  }
  return std::nullopt;
}

std::string RequestSubject(const Context& context) {
  const std::pair<const char*, int32_t> fields[] = {
      {"C", kParamSubjectC},   {"ST", kParamSubjectS},  {"L", kParamSubjectL}, {"O", kParamSubjectO},
      {"OU", kParamSubjectOU}, {"CN", kParamSubjectCN}, {"E", kParamSubjectE}, {"T", kParamSubjectT}};
  std::string subject;
  for (const auto& [tag, index] : fields) {
    std::string value = context.Param(index);
    if (!value.empty()) subject += "/" + std::string(tag) + "=" + value;
  }
  return subject;
}

std::string SigningKeyFile(const std::string& directory) {
  return WithBackslash(directory) + "DB\\SIGN\\sec_sgn.key";
}

}  // namespace fake
