// Exports under the address space a 32-bit host has left: the process is
// limited with RLIMIT_AS in a child, so an export that needs memory in
// proportion to its input fails here as it fails inside a 32-bit host.
// POSIX only (the Windows builds leave posix_*_test.cpp out).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

#include "host/support/fake_root.h"

namespace cryptlib::test {

const char* const kFakeFlavour = "v2";

namespace {

constexpr uint64_t kMiB = 1024 * 1024;

// The sanitizers reserve shadow memory of their own and abort on a refused
// allocation instead of answering nil: an address space limit says nothing
// under them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kUnderSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
constexpr bool kUnderSanitizer = true;
#else
constexpr bool kUnderSanitizer = false;
#endif
#else
constexpr bool kUnderSanitizer = false;
#endif

// The address space the process has mapped now (VmSize), in bytes.
uint64_t MappedBytes() {
  std::ifstream status("/proc/self/status");
  std::string key;
  uint64_t kib = 0;
  while (status >> key) {
    if (key == "VmSize:") {
      status >> kib;
      return kib * 1024;
    }
  }
  return 0;
}

// The answer of call in a child process whose address space may grow by
// headroom bytes only. The child also proves the limit bites: a block of
// eight times the headroom must be refused, else it reports INT32_MIN.
int32_t AnswerWithinHeadroom(uint64_t headroom, const std::function<int32_t()>& call) {
  int channel[2];
  if (pipe(channel) != 0) return INT32_MIN;
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    const uint64_t limit = MappedBytes() + headroom;
    const rlimit bound{limit, limit};
    int32_t answer = INT32_MIN;
    if (setrlimit(RLIMIT_AS, &bound) == 0) {
      void* probe = std::malloc(8 * headroom);
      if (probe == nullptr) answer = call();
      std::free(probe);
    }
    const bool sent = write(channel[1], &answer, sizeof(answer)) == static_cast<ssize_t>(sizeof(answer));
    _exit(sent ? 0 : 1);
  }
  close(channel[1]);
  int32_t answer = INT32_MIN;
  if (read(channel[0], &answer, sizeof(answer)) != static_cast<ssize_t>(sizeof(answer))) answer = INT32_MIN;
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return answer;
}

class AddressLimit : public FakeEngineTest {
 protected:
  void SetUp() override {
    if (kUnderSanitizer) GTEST_SKIP() << "a sanitizer's shadow memory makes an address space limit meaningless";
    FakeEngineTest::SetUp();
  }
};

// Twenty million recipients (a 20 MB list) under 64 MiB of headroom: the
// size saturates instead of failing for want of memory.
TEST_F(AddressLimit, MaxAdditionOfAHugeListNeedsNoMemoryPerEntry) {
  const int32_t one = api().GetMaxEncodeAddition(engine());  // binds the module before the limit
  ASSERT_GT(one, 0);
  const std::string huge(20'000'000, ';');
  EXPECT_EQ(AnswerWithinHeadroom(64 * kMiB, [&] { return api().GetMaxAdditionEx(engine(), huge.c_str()); }), INT32_MAX);
  // A list that does not saturate is counted exactly under the same limit.
  const std::string thousand(999, ';');
  EXPECT_EQ(AnswerWithinHeadroom(64 * kMiB, [&] { return api().GetMaxAdditionEx(engine(), thousand.c_str()); }),
            1000 * one);
}

}  // namespace

}  // namespace cryptlib::test
