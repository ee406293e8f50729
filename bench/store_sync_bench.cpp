// The cost of making a certificate inclusion durable: the file work of one
// inclusion (the holder's certificate copied to its backup, the new one
// renamed in) through the support routines, with the syncs of a file and of
// its directory as the platform makes them, against the same work on a
// platform whose syncs do nothing. Wall time: a sync waits for the disk, not
// the processor. Names: Store/inclusion_files/<synced|unsynced>.
#include <benchmark/benchmark.h>

#include <fstream>
#include <string>

#include "bench_dir.h"
#include "platform/platform.h"
#include "support/fileutil.h"

namespace cryptlib::bench {
namespace {

// The system's platform but for the syncs.
class NoSyncPlatform : public platform::PlatformWrapper {
 public:
  NoSyncPlatform() : PlatformWrapper(platform::SystemPlatform()) {}
  bool SyncFile(const std::string&) override { return true; }
  bool SyncDirectory(const std::string&) override { return true; }
};

const std::string kCertificate(1800, 'c');  // the size of a 2048-bit certificate in PEM

void InclusionFiles(benchmark::State& state, bool synced) {
  BenchDir dir;
  dir.WriteFile("certs/Bob.pem", kCertificate);
  dir.MakeDir("in");
  NoSyncPlatform noSync;
  if (!synced) platform::SetPlatformForTesting(&noSync);
  const std::string certificate = dir / "certs/Bob.pem";
  const std::string backup = dir / "certs/Bob.001";
  const std::string source = dir / "in/bob.pem";
  for (auto _ : state) {
    std::ofstream(source, std::ios::binary) << kCertificate;
    if (!CopyFileContents(certificate, backup) || !RenameDurably(source, certificate)) {
      state.SkipWithError("the inclusion's file work failed");
      break;
    }
    platform::Os().DeleteFile(backup);
  }
  platform::SetPlatformForTesting(nullptr);
}

BENCHMARK_CAPTURE(InclusionFiles, synced, true)->Name("Store/inclusion_files/synced")->UseRealTime();
BENCHMARK_CAPTURE(InclusionFiles, unsynced, false)->Name("Store/inclusion_files/unsynced")->UseRealTime();

}  // namespace
}  // namespace cryptlib::bench
