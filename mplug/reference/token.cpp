#include "token.h"

#include <dlfcn.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <vector>

#include "errors.h"
#include "module.h"
#include "pin_source.h"
#include "token_session.h"

namespace ref {
namespace {

constexpr char kUriScheme[] = "pkcs11:";
constexpr size_t kIdBytes = 8;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(const std::string& text) {
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 && HexDigit(text[i + 2]) >= 0) {
      plain += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
      i += 2;
    } else {
      plain += text[i];
    }
  }
  return plain;
}

void ParseAttributes(const std::string& text, char separator, std::map<std::string, std::string>& into) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::string::npos) end = text.size();
    std::string pair = text.substr(start, end - start);
    size_t equals = pair.find('=');
    if (equals != std::string::npos) into[pair.substr(0, equals)] = PercentDecode(pair.substr(equals + 1));
    start = end + 1;
  }
}

// A fixed-width PKCS#11 text without its trailing blanks.
std::string Padded(const CK_UTF8CHAR* text, size_t size) {
  std::string value(reinterpret_cast<const char*>(text), size);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\0')) value.pop_back();
  return value;
}

std::string ResultName(CK_RV result) {
  switch (result) {
    case CKR_PIN_INCORRECT:
      return "CKR_PIN_INCORRECT";
    case CKR_PIN_LOCKED:
      return "CKR_PIN_LOCKED";
    case CKR_TOKEN_NOT_PRESENT:
      return "CKR_TOKEN_NOT_PRESENT";
    case CKR_DEVICE_REMOVED:
      return "CKR_DEVICE_REMOVED";
    case CKR_KEY_FUNCTION_NOT_PERMITTED:
      return "CKR_KEY_FUNCTION_NOT_PERMITTED";
    case CKR_MECHANISM_INVALID:
      return "CKR_MECHANISM_INVALID";
    default: {
      char hex[32];
      std::snprintf(hex, sizeof hex, "CKR 0x%08lX", static_cast<unsigned long>(result));
      return hex;
    }
  }
}

// Token state in static storage, never destroyed (a call arriving during exit
// still finds it) and emptied by ReleaseTokens: nothing of it is left on the
// heap once the module is released.
template <class T>
T& TokenState() {
  alignas(T) static unsigned char storage[sizeof(T)];
  static T* object = new (storage) T();
  return *object;
}

// Held while a token is connected and while the state is released.
std::mutex& ConnectLock() {
  static std::mutex mutex;
  return mutex;
}

using LoadedLibraries = std::map<std::string, CK_FUNCTION_LIST_PTR>;
using SessionTable = std::map<std::string, std::unique_ptr<TokenSession>>;
using ReplacedSessions = std::vector<std::unique_ptr<TokenSession>>;

// The PKCS#11 library of a file name, loaded and initialised once per
// process and never unloaded: keys handed to OpenSSL keep calling into it.
CK_FUNCTION_LIST_PTR LoadLibrary(const std::string& name) {
  LoadedLibraries* loaded = &TokenState<LoadedLibraries>();
  auto found = loaded->find(name);
  if (found != loaded->end()) return found->second;
  void* library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) Fail(kErrTokenLibrary, name + " (" + dlerror() + ")");
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"));
  CK_FUNCTION_LIST_PTR functions = nullptr;
  if (getList == nullptr || getList(&functions) != CKR_OK || functions == nullptr) {
    Fail(kErrTokenLibrary, name + " has no PKCS#11 function list");
  }
  CK_C_INITIALIZE_ARGS arguments{};
  arguments.flags = CKF_OS_LOCKING_OK;
  CK_RV result = functions->C_Initialize(&arguments);
  if (result != CKR_OK && result != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
    Fail(kErrTokenLibrary, name + ": C_Initialize answered " + ResultName(result));
  }
  (*loaded)[name] = functions;
  return functions;
}

bool TokenMatches(const TokenUri& uri, const CK_TOKEN_INFO& info) {
  const std::pair<const char*, std::string> fields[] = {
      {"token", Padded(info.label, sizeof info.label)},
      {"serial", Padded(info.serialNumber, sizeof info.serialNumber)},
      {"manufacturer", Padded(info.manufacturerID, sizeof info.manufacturerID)},
      {"model", Padded(info.model, sizeof info.model)},
  };
  for (const auto& [name, value] : fields) {
    auto wanted = uri.path.find(name);
    if (wanted != uri.path.end() && wanted->second != value) return false;
  }
  return true;
}

// The slot holding the token the URI names, with its description.
CK_SLOT_ID FindSlot(CK_FUNCTION_LIST_PTR functions, const TokenUri& uri, CK_TOKEN_INFO& info) {
  CK_ULONG count = 0;
  CK_RV result = functions->C_GetSlotList(CK_TRUE, nullptr, &count);
  std::vector<CK_SLOT_ID> slots(count);
  if (result == CKR_OK && count > 0) result = functions->C_GetSlotList(CK_TRUE, slots.data(), &count);
  if (result != CKR_OK) FailToken(result, "C_GetSlotList");
  slots.resize(count);
  for (CK_SLOT_ID slot : slots) {
    if (functions->C_GetTokenInfo(slot, &info) == CKR_OK && TokenMatches(uri, info)) return slot;
  }
  std::string wanted = uri.Get("token").empty() ? "any token" : "token \"" + uri.Get("token") + "\"";
  if (!uri.Get("serial").empty()) wanted += " with serial " + uri.Get("serial");
  Fail(kErrTokenAbsent, wanted + " (" + std::to_string(slots.size()) + " token(s) present)");
}

bool LoggedIn(const TokenSession& session) {
  CK_SESSION_INFO info{};
  if (session.functions->C_GetSessionInfo(session.handle, &info) != CKR_OK) return false;
  return info.state == CKS_RW_USER_FUNCTIONS || info.state == CKS_RO_USER_FUNCTIONS;
}

void LogIn(TokenSession& session, const CK_TOKEN_INFO& info, const TokenAccess& access) {
  if (LoggedIn(session)) return;
  if ((info.flags & CKF_USER_PIN_LOCKED) != 0) Fail(kErrPinLocked, "token \"" + session.label + "\"");
  if (access.pinSource.empty()) {
    Fail(kErrPassphraseUnavailable, "no PIN source (parameter 8) for token \"" + session.label + "\"");
  }
  PinRequest request{access.keyDirectory, "The PIN of the token \"" + session.label + "\".", false};
  Secret pin = ReadPassphrase(access.pinSource, request);
  CK_RV result = session.functions->C_Login(session.handle, CKU_USER,
                                            reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin.value().data())),
                                            pin.value().size());
  if (result != CKR_OK && result != CKR_USER_ALREADY_LOGGED_IN) FailToken(result, "token \"" + session.label + "\"");
}

// Sessions by library and token; never closed, so that a token stays logged
// in for the process and keys handed out keep a valid session.
SessionTable& Sessions() {
  return TokenState<SessionTable>();
}

TokenSession& OpenSession(CK_FUNCTION_LIST_PTR functions, CK_SLOT_ID slot, const CK_TOKEN_INFO& info,
                          const std::string& key) {
  std::unique_ptr<TokenSession>& session = Sessions()[key];
  if (session && session->slot == slot) {
    CK_SESSION_INFO state{};
    if (functions->C_GetSessionInfo(session->handle, &state) == CKR_OK) return *session;
  }
  auto fresh = std::make_unique<TokenSession>();
  fresh->functions = functions;
  fresh->slot = slot;
  fresh->label = Padded(info.label, sizeof info.label);
  fresh->serial = Padded(info.serialNumber, sizeof info.serialNumber);
  CK_RV result = functions->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &fresh->handle);
  if (result != CKR_OK) FailToken(result, "C_OpenSession on token \"" + fresh->label + "\"");
  // Keys opened on a session that is gone (a token pulled and put back)
  // still point at it: it is kept, and their operations fail as "absent".
  if (session) TokenState<ReplacedSessions>().push_back(std::move(session));
  session = std::move(fresh);
  return *session;
}

std::string RandomId() {
  unsigned char bytes[kIdBytes];
  if (RAND_bytes(bytes, sizeof bytes) != 1) FailCrypto(kErrKeyGeneration, "random key id");
  return std::string(reinterpret_cast<char*>(bytes), sizeof bytes);
}

std::string HexOf(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) text += std::string{kDigits[c >> 4], kDigits[c & 0x0F]};
  return text;
}

std::string PercentAll(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned char c : bytes) text += std::string{'%', kDigits[c >> 4], kDigits[c & 0x0F]};
  return text;
}

struct KeyPairTemplates {
  CK_MECHANISM mechanism{};
  std::vector<CK_ATTRIBUTE> publicKey;
  std::vector<CK_ATTRIBUTE> privateKey;
};

// The attributes of a new pair. The values live in static storage or in the
// strings passed in, which outlive the call.
KeyPairTemplates PairTemplates(KeyKind kind, const std::string& id, const std::string& label) {
  static CK_BBOOL yes = CK_TRUE;
  static CK_BBOOL no = CK_FALSE;
  static CK_ULONG rsaBits = 2048;
  static CK_BYTE rsaExponent[] = {0x01, 0x00, 0x01};
  static CK_BYTE p256[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
  KeyPairTemplates pair;
  auto bytes = [](const std::string& s) { return const_cast<char*>(s.data()); };
  pair.publicKey = {{CKA_TOKEN, &yes, sizeof yes},
                    {CKA_VERIFY, &yes, sizeof yes},
                    {CKA_ID, bytes(id), id.size()},
                    {CKA_LABEL, bytes(label), label.size()}};
  pair.privateKey = {{CKA_TOKEN, &yes, sizeof yes},          {CKA_PRIVATE, &yes, sizeof yes},
                     {CKA_SENSITIVE, &yes, sizeof yes},      {CKA_EXTRACTABLE, &no, sizeof no},
                     {CKA_SIGN, &yes, sizeof yes},           {CKA_ID, bytes(id), id.size()},
                     {CKA_LABEL, bytes(label), label.size()}};
  if (kind == KeyKind::kRsa) {
    pair.mechanism.mechanism = CKM_RSA_PKCS_KEY_PAIR_GEN;
    pair.publicKey.push_back({CKA_MODULUS_BITS, &rsaBits, sizeof rsaBits});
    pair.publicKey.push_back({CKA_PUBLIC_EXPONENT, rsaExponent, sizeof rsaExponent});
    pair.publicKey.push_back({CKA_ENCRYPT, &yes, sizeof yes});
    pair.privateKey.push_back({CKA_DECRYPT, &yes, sizeof yes});
  } else {
    // Without CKA_DERIVE the token refuses the ECDH of CMS key agreement.
    pair.mechanism.mechanism = CKM_EC_KEY_PAIR_GEN;
    pair.publicKey.push_back({CKA_EC_PARAMS, p256, sizeof p256});
    pair.privateKey.push_back({CKA_DERIVE, &yes, sizeof yes});
  }
  return pair;
}

std::string KeyUri(const TokenSession& session, const std::string& id, const std::string& label) {
  return std::string(kUriScheme) + "token=" + UriValue(session.label) + ";serial=" + UriValue(session.serial) +
         (id.empty() ? "" : ";id=" + PercentAll(id)) + (label.empty() ? "" : ";object=" + UriValue(label)) +
         ";type=private";
}

CK_OBJECT_HANDLE RequirePrivateKey(TokenSession& session, const TokenUri& uri, const std::string& text) {
  CK_OBJECT_HANDLE key = FindTokenObject(session, uri, CKO_PRIVATE_KEY);
  if (key == CK_INVALID_HANDLE) Fail(kErrTokenKeyMissing, text);
  return key;
}

// Parameter 18, else the URI's module-path, else p11-kit's proxy.
std::string LibraryOf(const TokenUri& uri, const TokenAccess& access) {
  if (!access.library.empty()) return access.library;
  auto named = uri.query.find("module-path");
  return named != uri.query.end() ? named->second : kDefaultTokenLibrary;
}

thread_local std::unique_ptr<Failure> pendingFailure;

}  // namespace

std::string TokenUri::Get(const std::string& name) const {
  auto found = path.find(name);
  return found != path.end() ? found->second : std::string();
}

TokenUri ParseTokenUri(const std::string& uri) {
  if (uri.compare(0, sizeof kUriScheme - 1, kUriScheme) != 0) Fail(kErrBadArguments, "not a PKCS#11 URI: " + uri);
  TokenUri parsed;
  std::string rest = uri.substr(sizeof kUriScheme - 1);
  size_t question = rest.find('?');
  ParseAttributes(rest.substr(0, question), ';', parsed.path);
  if (question != std::string::npos) ParseAttributes(rest.substr(question + 1), '&', parsed.query);
  return parsed;
}

std::string UriValue(const std::string& value) {
  std::string text;
  for (unsigned char c : value) {
    if (std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
      text += static_cast<char>(c);
    } else {
      text += PercentAll(std::string(1, static_cast<char>(c)));
    }
  }
  return text;
}

void FailToken(CK_RV result, const std::string& call) {
  switch (result) {
    case CKR_PIN_INCORRECT:
    case CKR_PIN_LEN_RANGE:
      Fail(kErrWrongPin, call);
    case CKR_PIN_LOCKED:
      Fail(kErrPinLocked, call);
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_TOKEN_NOT_RECOGNIZED:
    case CKR_DEVICE_REMOVED:
    case CKR_SLOT_ID_INVALID:
    case CKR_SESSION_HANDLE_INVALID:
    case CKR_SESSION_CLOSED:
      Fail(kErrTokenAbsent, call + ": " + ResultName(result));
    default:
      Fail(kErrCrypto, call + ": " + ResultName(result));
  }
}

TokenSession& ConnectToken(const TokenUri& uri, const TokenAccess& access) {
  const std::string library = LibraryOf(uri, access);
  std::lock_guard lock(ConnectLock());
  CK_FUNCTION_LIST_PTR functions = LoadLibrary(library);
  CK_TOKEN_INFO info{};
  CK_SLOT_ID slot = FindSlot(functions, uri, info);
  TokenSession& session = OpenSession(functions, slot, info,
                                      library + '\0' + Padded(info.label, sizeof info.label) + '\0' +
                                          Padded(info.serialNumber, sizeof info.serialNumber));
  std::lock_guard sessionLock(session.mutex);
  LogIn(session, info, access);
  return session;
}

CK_OBJECT_HANDLE FindTokenObject(TokenSession& session, const TokenUri& uri, CK_OBJECT_CLASS objectClass) {
  std::vector<CK_ATTRIBUTE> wanted = {{CKA_CLASS, &objectClass, sizeof objectClass}};
  const std::string id = uri.Get("id");
  const std::string label = uri.Get("object");
  if (uri.path.count("id") != 0) wanted.push_back({CKA_ID, const_cast<char*>(id.data()), id.size()});
  if (uri.path.count("object") != 0) wanted.push_back({CKA_LABEL, const_cast<char*>(label.data()), label.size()});
  CK_FUNCTION_LIST_PTR f = session.functions;
  CK_RV result = f->C_FindObjectsInit(session.handle, wanted.data(), wanted.size());
  if (result != CKR_OK) FailToken(result, "C_FindObjectsInit");
  CK_OBJECT_HANDLE found = CK_INVALID_HANDLE;
  CK_ULONG count = 0;
  result = f->C_FindObjects(session.handle, &found, 1, &count);
  f->C_FindObjectsFinal(session.handle);
  if (result != CKR_OK) FailToken(result, "C_FindObjects");
  return count == 1 ? found : CK_INVALID_HANDLE;
}

bool IsTokenReference(const std::string& keyFileText) {
  return keyFileText.compare(0, sizeof kUriScheme - 1, kUriScheme) == 0;
}

std::string ReferenceUri(const std::string& keyFileText) {
  std::string uri = keyFileText.substr(0, keyFileText.find('\n'));
  while (!uri.empty() && (uri.back() == '\r' || uri.back() == ' ')) uri.pop_back();
  return uri;
}

PkeyPtr OpenTokenKey(const std::string& uri, const TokenAccess& access) {
  TokenUri parsed = ParseTokenUri(uri);
  TokenSession& session = ConnectToken(parsed, access);
  std::lock_guard lock(session.mutex);
  return WrapTokenKey(session, RequirePrivateKey(session, parsed, uri), uri, access);
}

std::string TokenOf(const std::string& keyUri) {
  TokenUri parsed = ParseTokenUri(keyUri);
  std::string uri = kUriScheme;
  for (const char* name : {"token", "serial", "manufacturer", "model"}) {
    if (parsed.path.count(name) == 0) continue;
    uri += (uri.size() > sizeof kUriScheme - 1 ? ";" : "") + std::string(name) + "=" + UriValue(parsed.path[name]);
  }
  return uri;
}

bool NamesKeyObject(const std::string& uri) {
  TokenUri parsed = ParseTokenUri(uri);
  return parsed.path.count("id") != 0 || parsed.path.count("object") != 0;
}

GeneratedTokenKey AdoptTokenKey(const std::string& uri, const TokenAccess& access) {
  TokenUri parsed = ParseTokenUri(uri);
  TokenSession& session = ConnectToken(parsed, access);
  std::lock_guard lock(session.mutex);
  CK_OBJECT_HANDLE key = RequirePrivateKey(session, parsed, uri);
  GeneratedTokenKey adopted;
  adopted.uri = KeyUri(session, TokenAttribute(session, key, CKA_ID), TokenAttribute(session, key, CKA_LABEL));
  adopted.key = WrapTokenKey(session, key, adopted.uri, access);
  return adopted;
}

GeneratedTokenKey GenerateTokenKey(const std::string& tokenUri, KeyKind kind, const TokenAccess& access) {
  if (kind == KeyKind::kGost) Fail(kErrAlgorithmMismatch, "GOST keys cannot be made on a token");
  TokenSession& session = ConnectToken(ParseTokenUri(tokenUri), access);
  const std::string id = RandomId();
  const std::string label = "CryptLib " + HexOf(id);
  KeyPairTemplates pair = PairTemplates(kind, id, label);
  std::lock_guard lock(session.mutex);
  CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE;
  CK_RV result = session.functions->C_GenerateKeyPair(session.handle, &pair.mechanism, pair.publicKey.data(),
                                                      pair.publicKey.size(), pair.privateKey.data(),
                                                      pair.privateKey.size(), &publicKey, &privateKey);
  if (result != CKR_OK) FailToken(result, "C_GenerateKeyPair on token \"" + session.label + "\"");
  GeneratedTokenKey generated;
  generated.uri = KeyUri(session, id, label);
  try {
    generated.key = WrapTokenKey(session, privateKey, generated.uri, access);
  } catch (const Failure&) {
    session.functions->C_DestroyObject(session.handle, privateKey);
    session.functions->C_DestroyObject(session.handle, publicKey);
    throw;
  }
  return generated;
}

TokenKeyFacts DescribeTokenKey(const std::string& uri, const TokenAccess& access) {
  TokenUri parsed = ParseTokenUri(uri);
  TokenSession& session = ConnectToken(parsed, access);
  std::lock_guard lock(session.mutex);
  CK_OBJECT_HANDLE key = RequirePrivateKey(session, parsed, uri);
  CK_BBOOL sensitive = CK_FALSE;
  CK_BBOOL extractable = CK_TRUE;
  char label[256] = {};
  CK_ATTRIBUTE attributes[] = {{CKA_SENSITIVE, &sensitive, sizeof sensitive},
                               {CKA_EXTRACTABLE, &extractable, sizeof extractable},
                               {CKA_LABEL, label, sizeof label - 1}};
  CK_RV result = session.functions->C_GetAttributeValue(session.handle, key, attributes, 3);
  if (result != CKR_OK) FailToken(result, "C_GetAttributeValue");
  TokenKeyFacts facts;
  facts.label.assign(label, attributes[2].ulValueLen);
  facts.sensitive = sensitive == CK_TRUE;
  facts.extractable = extractable == CK_TRUE;
  return facts;
}

void DestroyTokenKey(const std::string& uri, const TokenAccess& access) {
  TokenUri parsed = ParseTokenUri(uri);
  TokenSession& session = ConnectToken(parsed, access);
  std::lock_guard lock(session.mutex);
  CK_OBJECT_HANDLE key = RequirePrivateKey(session, parsed, uri);
  CK_RV result = session.functions->C_DestroyObject(session.handle, key);
  if (result != CKR_OK) FailToken(result, "C_DestroyObject");
  // The public half goes with it when the token holds one of that name.
  CK_OBJECT_HANDLE publicKey = FindTokenObject(session, parsed, CKO_PUBLIC_KEY);
  if (publicKey != CK_INVALID_HANDLE) session.functions->C_DestroyObject(session.handle, publicKey);
}

void RememberTokenFailure(const Failure& failure) {
  pendingFailure = std::make_unique<Failure>(failure);
}

void RethrowTokenFailure() {
  if (!pendingFailure) return;
  Failure failure = *pendingFailure;
  pendingFailure.reset();
  throw failure;
}

void ReleaseTokens() {
  std::lock_guard lock(ConnectLock());
  // Nothing is called in the PKCS#11 library: at exit it may have torn down
  // its own state already (SoftHSM crashed in C_CloseSession there). Its
  // sessions end with the process, or stay with the library, which stays.
  Sessions().clear();
  TokenState<ReplacedSessions>().clear();
  TokenState<LoadedLibraries>().clear();
  ReleaseTokenMethods();
}

}  // namespace ref
