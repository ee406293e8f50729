// POSIX path resolution: the attributes of an upper-cased path under a root
// (as root expansion hands it over) through the platform layer, against a
// native stat of the real name. Names: Path/<depth>/<platform|stat>.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "bench_dir.h"
#include "platform/platform.h"

namespace cryptlib::bench {
namespace {

BenchDir& PathRoot() {
  static BenchDir* root = [] {
    auto* made = new BenchDir();
    made->WriteFile("Client/Db/Certs/Alice.pem", "certificate");
    // Neighbours, so that a directory scan would have something to read.
    for (int i = 0; i < 50; ++i) made->WriteFile("Client/Db/Certs/holder" + std::to_string(i) + ".pem", "x");
    return made;
  }();
  return *root;
}

const std::string kRelative = "Client/Db/Certs/Alice.pem";

std::string UpperCased(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  std::replace(text.begin(), text.end(), '/', '\\');
  return text;
}

void PlatformUpperCased(benchmark::State& state) {
  // The root itself as the host gave it; the part below it upper-cased.
  const std::string path = PathRoot().path() + "\\" + UpperCased(kRelative);
  platform::Platform& os = platform::Os();
  if (os.GetAttributes(path) == platform::kInvalidAttributes) {
    state.SkipWithError("the upper-cased path did not resolve");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(os.GetAttributes(path));
}

void NativeStat(benchmark::State& state) {
  const std::string path = PathRoot() / kRelative;
  for (auto _ : state) {
    struct stat st;
    benchmark::DoNotOptimize(stat(path.c_str(), &st));
  }
}

BENCHMARK(PlatformUpperCased)->Name("Path/upper_cased/platform");
BENCHMARK(NativeStat)->Name("Path/upper_cased/stat");

}  // namespace
}  // namespace cryptlib::bench
