// keys tokens / keys token-remove: the token keys a key container refers to
// (a reference in KEYS holds the PKCS#11 URI of the private key object), and
// the removal of one the current certificate no longer uses. A remote
// replacement keeps the old key object on the token (a later finish may fall
// back to it); only token-remove takes it away. The token and its PIN come
// from the profile's parameters 18 and 8 (--pin-source).
#include <string>

#include "command_io.h"
#include "commands.h"
#include "output.h"
#include "passphrase_text.h"
#include "session.h"
#include "token_keys.h"

namespace cryptlib::host {
namespace {

constexpr int32_t kOwnCertificateParameter = 1;
constexpr int32_t kKeyDirectoryParameter = 3;
constexpr int32_t kTokenLibraryParameter = 18;
constexpr int32_t kKeyMediaParameter = 23;

struct Container {
  std::string directory;
  std::string certificate;
  std::string library;
  std::string pinSource;
};

Container ContainerOf(const Options& options, const EngineClient& engine) {
  Container container;
  container.directory = options.Get("key-dir", engine.ParamValue(kKeyDirectoryParameter));
  if (container.directory.empty()) container.directory = engine.ParamValue(kKeyMediaParameter);
  container.certificate = engine.ParamValue(kOwnCertificateParameter);
  container.library = engine.ParamValue(kTokenLibraryParameter);
  container.pinSource = engine.ParamValue(kPinSourceParameter);
  return container;
}

std::string EntryJson(const ref::TokenKeyEntry& key) {
  std::string json = "{\"file\": " + JsonString(key.file) + ", \"uri\": " + JsonString(key.uri) +
                     ", \"current\": " + (key.current ? "true" : "false");
  if (key.code != 0)
    return json + ", \"code\": " + std::to_string(key.code) + ", \"error\": " + JsonString(key.message) + "}";
  return json + ", \"label\": " + JsonString(key.label) + ", \"sensitive\": " + (key.sensitive ? "true" : "false") +
         ", \"extractable\": " + (key.extractable ? "true" : "false") + "}";
}

std::string EntryText(const ref::TokenKeyEntry& key) {
  std::string text = key.uri + (key.current ? " (current)" : " (old)");
  if (key.code != 0) return text + ": " + key.message;
  return text + ": label \"" + key.label + "\", " + (key.sensitive ? "sensitive" : "NOT sensitive") + ", " +
         (key.extractable ? "EXTRACTABLE" : "not extractable");
}

void AddKeys(const ref::TokenKeyList& list, Output& out) {
  std::string json = "[", text;
  for (size_t i = 0; i < list.keys.size(); ++i) {
    json += (i > 0 ? ", " : "") + EntryJson(list.keys[i]);
    text += (i > 0 ? "\n" : "") + EntryText(list.keys[i]);
  }
  out.AddRaw("token_keys", json + "]", list.keys.empty() ? "none" : text);
}

int Failed(const ref::TokenKeyList& list, Output& out) {
  out.Add("code", list.code);
  out.Add("error", list.message);
  return kExitFailed;
}

bool OpenContainer(const Options& options, Session& session, Container& container, Output& out) {
  if (!session.Open(options, out)) return false;
  container = ContainerOf(options, session.engine());
  if (!container.directory.empty()) return true;
  session.exitCode = Session::Fail(out, "no key directory: --key-dir, or parameter 3 or 23 of the profile", kExitUsage);
  return false;
}

int ListTokens(const Options& options, Output& out) {
  Session session;
  Container container;
  if (!OpenContainer(options, session, container, out)) return session.exitCode;
  const ref::TokenKeyList list =
      ref::ListTokenKeys(container.directory, container.certificate, container.library, container.pinSource);
  out.Add("key_directory", container.directory);
  if (!list.ok()) return Failed(list, out);
  AddKeys(list, out);
  return kExitOk;
}

int RemoveToken(const Options& options, Output& out) {
  int exitCode = 0;
  if (!NeedArguments(options, 2, 1, "keys token-remove URI", out, exitCode)) return exitCode;
  Session session;
  Container container;
  if (!OpenContainer(options, session, container, out)) return session.exitCode;
  const ref::TokenKeyList list = ref::RemoveTokenKey(container.directory, container.certificate, options.Word(2),
                                                     container.library, container.pinSource);
  if (!list.ok()) return Failed(list, out);
  out.Add("removed", options.Word(2));
  out.Add("reference", list.keys.front().file);
  return kExitOk;
}

}  // namespace

std::vector<Command> TokenCommands() {
  const OptionSpec keyDirectory{"--key-dir", "DIR", "the key container (default: the profile's parameter 3, else 23)"};
  return {{"keys tokens",
           {},
           {keyDirectory},
           "the token keys the key container refers to: URI, label, whether the current certificate uses it, and that "
           "it is sensitive and not extractable",
           ListTokens},
          {"keys token-remove",
           {"URI"},
           {keyDirectory},
           "remove an old token key (its objects on the token, then its reference); never the current one",
           RemoveToken}};
}

}  // namespace cryptlib::host
