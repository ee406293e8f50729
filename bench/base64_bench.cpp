// Base64 of the support library against OpenSSL's EVP block functions, both
// writing into freshly allocated output as the library's functions do.
// Names: Base64/<encode|decode>/<bytes>/<mimecode|openssl>.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <vector>

#include "support/mimecode.h"

namespace cryptlib::bench {
namespace {

std::vector<uint8_t> Binary(size_t size) {
  std::vector<uint8_t> data(size);
  uint32_t state = 12345;
  for (auto& byte : data) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(state >> 16);
  }
  return data;
}

std::vector<char> Encoded(size_t size) {
  const std::vector<uint8_t> data = Binary(size);
  std::vector<char> text(4 * ((size + 2) / 3) + 1);
  const int length =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), data.data(), static_cast<int>(size));
  text.resize(static_cast<size_t>(length));
  return text;
}

void EncodeMimecode(benchmark::State& state) {
  const std::vector<uint8_t> data = Binary(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    char* output = nullptr;
    int32_t length = 0;
    Base64Encode(data.data(), static_cast<int32_t>(data.size()), output, length);
    benchmark::DoNotOptimize(output);
    delete[] output;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void EncodeOpenSsl(benchmark::State& state) {
  const std::vector<uint8_t> data = Binary(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    auto* output = new unsigned char[4 * ((data.size() + 2) / 3) + 1];
    benchmark::DoNotOptimize(EVP_EncodeBlock(output, data.data(), static_cast<int>(data.size())));
    delete[] output;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void DecodeMimecode(benchmark::State& state) {
  const std::vector<char> text = Encoded(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    uint8_t* output = nullptr;
    int32_t length = 0;
    Base64Decode(text.data(), static_cast<int32_t>(text.size()), output, length);
    benchmark::DoNotOptimize(output);
    delete[] output;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void DecodeOpenSsl(benchmark::State& state) {
  const std::vector<char> text = Encoded(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    auto* output = new unsigned char[text.size() / 4 * 3];
    benchmark::DoNotOptimize(
        EVP_DecodeBlock(output, reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size())));
    delete[] output;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

constexpr int64_t k16K = 16 * 1024;
constexpr int64_t k1M = 1024 * 1024;

BENCHMARK(EncodeMimecode)->Name("Base64/encode/mimecode")->Arg(k16K)->Arg(k1M);
BENCHMARK(EncodeOpenSsl)->Name("Base64/encode/openssl")->Arg(k16K)->Arg(k1M);
BENCHMARK(DecodeMimecode)->Name("Base64/decode/mimecode")->Arg(k16K)->Arg(k1M);
BENCHMARK(DecodeOpenSsl)->Name("Base64/decode/openssl")->Arg(k16K)->Arg(k1M);

}  // namespace
}  // namespace cryptlib::bench

BENCHMARK_MAIN();
