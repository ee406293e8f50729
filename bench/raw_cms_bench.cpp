// Default parameters (parameter 22 empty: fresh vendor contexts on every
// call, one more for the recipient's subject line) against the raw OpenSSL
// CMS operation on already-parsed objects of the same kind (RSA 2048,
// AES-256-CBC, SHA-256), at 1 KiB. Names: Default/<operation>/<engine|openssl>.
#include <benchmark/benchmark.h>
#include <openssl/cms.h>
#include <openssl/pem.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "reference_harness.h"

namespace cryptlib::bench {
namespace {

constexpr size_t kDefaultSize = 1024;

template <class Read>
auto ReadPem(const std::string& path, Read read) {
  const std::string text = reftest::ReadFile(path);
  BIO* in = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
  auto object = read(in);
  BIO_free(in);
  return object;
}

// A parsed RSA key and certificate, made once.
struct ParsedIdentity {
  ParsedIdentity() {
    const BenchDir& root = Installation::Get().root();
    reftest::TestCa identity("Raw Signer");
    identity.WriteCertificate(root / "raw-cert.pem");
    identity.WriteKey(root / "raw-key.pem");
    certificate =
        ReadPem(root / "raw-cert.pem", [](BIO* in) { return PEM_read_bio_X509(in, nullptr, nullptr, nullptr); });
    key = ReadPem(root / "raw-key.pem", [](BIO* in) { return PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr); });
    if (certificate == nullptr || key == nullptr) throw std::runtime_error("cannot parse the raw identity");
    recipients = sk_X509_new_null();
    sk_X509_push(recipients, certificate);
  }
  X509* certificate = nullptr;
  EVP_PKEY* key = nullptr;
  STACK_OF(X509) * recipients = nullptr;
};

const ParsedIdentity& Identity() {
  static const ParsedIdentity* identity = new ParsedIdentity();
  return *identity;
}

// DER of the content info, as the module hands its output back.
size_t Serialise(CMS_ContentInfo* cms) {
  unsigned char* der = nullptr;
  const int size = i2d_CMS_ContentInfo(cms, &der);
  OPENSSL_free(der);
  CMS_ContentInfo_free(cms);
  return size > 0 ? static_cast<size_t>(size) : 0;
}

void OpenSslEncrypt(benchmark::State& state) {
  const ParsedIdentity& identity = Identity();
  const std::vector<char> plain = Payload(kDefaultSize);
  for (auto _ : state) {
    BIO* in = BIO_new_mem_buf(plain.data(), static_cast<int>(plain.size()));
    benchmark::DoNotOptimize(Serialise(CMS_encrypt(identity.recipients, in, EVP_aes_256_cbc(), CMS_BINARY)));
    BIO_free(in);
  }
}

void OpenSslSign(benchmark::State& state) {
  const ParsedIdentity& identity = Identity();
  const std::vector<char> plain = Payload(kDefaultSize);
  for (auto _ : state) {
    BIO* in = BIO_new_mem_buf(plain.data(), static_cast<int>(plain.size()));
    benchmark::DoNotOptimize(
        Serialise(CMS_sign(identity.certificate, identity.key, nullptr, in, CMS_BINARY | CMS_DETACHED)));
    BIO_free(in);
  }
}

void EngineEncrypt(benchmark::State& state) {
  Engine engine("");
  EncryptThroughEngine(state, engine, kDefaultSize, "Alice");
}

void EngineSign(benchmark::State& state) {
  Engine engine("");
  SignThroughEngine(state, engine, kDefaultSize);
}

// The machine's and libcrypto's own scaling, as a control for the engine's:
// the raw signature and encryption on one and two threads (each thread its
// own data; the parsed objects are only read).
void OpenSslSignThreads(benchmark::State& state) {
  OpenSslSign(state);
  state.SetItemsProcessed(state.iterations());
}

void OpenSslEncryptThreads(benchmark::State& state) {
  OpenSslEncrypt(state);
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(OpenSslSignThreads)->Name("Scaling/openssl_sign")->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(OpenSslEncryptThreads)->Name("Scaling/openssl_encrypt")->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(EngineEncrypt)->Name("Default/EncodeData/1024/engine");
BENCHMARK(OpenSslEncrypt)->Name("Default/EncodeData/1024/openssl");
BENCHMARK(EngineSign)->Name("Default/SignData/1024/engine");
BENCHMARK(OpenSslSign)->Name("Default/SignData/1024/openssl");

}  // namespace
}  // namespace cryptlib::bench
