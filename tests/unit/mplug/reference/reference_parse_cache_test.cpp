// The reference module's shared parses: what makes a file count as changed,
// the bound on entries, concurrent use; and through the module, that a
// context opened after a file changed works with the new content.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/test_dir.h"
#include "reference/module.h"
#include "reference/parse_cache.h"
#include "reference/testing/reference_harness.h"

namespace {

namespace fs = std::filesystem;
using cryptlib::test::TestDir;

// Sets the modification time of a file or directory to secondsAgo before now
// (and its access time with it), far enough back to count as settled.
void SetAge(const std::string& path, int secondsAgo) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto then = std::chrono::duration_cast<std::chrono::nanoseconds>(now) - std::chrono::seconds(secondsAgo);
  timespec times[2];
  times[0].tv_sec = static_cast<time_t>(then.count() / 1000000000);
  times[0].tv_nsec = static_cast<long>(then.count() % 1000000000);
  times[1] = times[0];
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// Every file and directory under root, root included.
void SetAgeOfTree(const std::string& root, int secondsAgo) {
  for (const auto& entry : fs::recursive_directory_iterator(root)) SetAge(entry.path().string(), secondsAgo);
  SetAge(root, secondsAgo);
}

// A cache of file contents that counts its reads.
struct CountingReads {
  ref::SharedParses<std::string> parses{8};
  std::atomic<int> reads{0};

  std::shared_ptr<const std::string> Get(const std::string& path) {
    ref::FileSet files;
    files.Add(path);
    return parses.Get(path, files, [&] {
      ++reads;
      return std::make_shared<const std::string>(reftest::ReadFile(path));
    });
  }
};

// ---------------------------------------------------------------------------

TEST(ReferenceParseCache, RewriteOfTheSameSizeWithAnotherTimeIsReadAgain) {
  TestDir dir;
  const std::string path = dir / "a.pem";
  dir.WriteFile("a.pem", "first");
  SetAge(path, 60);
  CountingReads cache;
  ASSERT_EQ(*cache.Get(path), "first");
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);

  dir.WriteFile("a.pem", "other");  // same file, same size
  SetAge(path, 59);
  struct stat after {};
  ASSERT_EQ(::stat(path.c_str(), &after), 0);
  ASSERT_EQ(after.st_ino, before.st_ino);
  ASSERT_EQ(after.st_size, before.st_size);

  EXPECT_EQ(*cache.Get(path), "other");
  EXPECT_EQ(*cache.Get(path), "other");
  EXPECT_EQ(cache.reads, 2);  // one read per version: the second look was kept
}

TEST(ReferenceParseCache, FileReplacedWithTheSameSizeAndTimeIsReadAgain) {
  TestDir dir;
  const std::string path = dir / "a.pem";
  dir.WriteFile("a.pem", "first");
  SetAge(path, 60);
  CountingReads cache;
  ASSERT_EQ(*cache.Get(path), "first");

  // Another file renamed over it: only the inode tells them apart.
  struct stat old {};
  ASSERT_EQ(::stat(path.c_str(), &old), 0);
  dir.WriteFile("b.pem", "other");
  timespec times[2] = {old.st_mtim, old.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "b.pem").c_str(), times, 0), 0);
  ASSERT_EQ(std::rename((dir / "b.pem").c_str(), path.c_str()), 0);

  EXPECT_EQ(*cache.Get(path), "other");
  EXPECT_EQ(cache.reads, 2);
}

TEST(ReferenceParseCache, RecentlyModifiedFileIsNotKept) {
  TestDir dir;
  dir.WriteFile("a.pem", "first");
  CountingReads cache;
  cache.Get(dir / "a.pem");
  cache.Get(dir / "a.pem");
  EXPECT_EQ(cache.reads, 2);
  EXPECT_EQ(cache.parses.Size(), 0u);
}

TEST(ReferenceParseCache, FailedParseKeepsNothing) {
  TestDir dir;
  dir.WriteFile("a.pem", "first");
  SetAge(dir / "a.pem", 60);
  ref::SharedParses<std::string> parses(4);
  ref::FileSet files;
  files.Add(dir / "a.pem");
  EXPECT_THROW(parses.Get("a", files, []() -> std::shared_ptr<const std::string> { throw std::runtime_error("bad"); }),
               std::runtime_error);
  EXPECT_EQ(parses.Get("a", files, [] { return std::shared_ptr<const std::string>(); }), nullptr);
  EXPECT_EQ(parses.Size(), 0u);
}

TEST(ReferenceParseCache, FullCachePushesOutTheEntryUsedLongestAgo) {
  TestDir dir;
  for (const char* name : {"a", "b", "c", "d"}) {
    dir.WriteFile(name, name);
    SetAge(dir / name, 60);
  }
  ref::SharedParses<std::string> small(2);
  int reads = 0;
  auto get = [&](const char* name) {
    ref::FileSet files;
    files.Add(dir / name);
    return *small.Get(name, files, [&] {
      ++reads;
      return std::make_shared<const std::string>(name);
    });
  };
  get("a");
  get("b");
  get("a");  // b is now the older one
  get("c");
  EXPECT_EQ(small.Size(), 2u);
  EXPECT_EQ(reads, 3);
  get("a");
  EXPECT_EQ(reads, 3);
  EXPECT_EQ(get("b"), "b");
  EXPECT_EQ(reads, 4);
  EXPECT_EQ(small.Size(), 2u);
}

TEST(ReferenceParseCache, ConcurrentReadersEndWithTheLastVersion) {
  TestDir dir;
  const std::string path = dir / "a.pem";
  auto version = [](int n) { return "version " + std::to_string(n); };
  reftest::WriteFile(path, version(0));
  SetAge(path, 600);
  CountingReads cache;
  std::atomic<bool> writing{true};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      // Reads that overlap a rewrite may see any part of it; only what is
      // kept for the final state matters.
      while (writing) cache.Get(path);
    });
  }
  for (int n = 1; n <= 50; ++n) {
    reftest::WriteFile(path, version(n));
    SetAge(path, 600 - n);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  writing = false;
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(*cache.Get(path), version(50));
  EXPECT_EQ(*cache.Get(path), version(50));
  EXPECT_EQ(cache.parses.Size(), 1u);
}

// ---------------------------------------------------------------------------
// Through the module: contexts opened after a change work with the new files.

using namespace reftest;

// The same certificate text padded with newlines to size bytes (PEM readers
// stop after the first block).
std::string Padded(std::string pem, size_t size) {
  if (pem.size() < size) pem.append(size - pem.size(), '\n');
  return pem;
}

TEST(ReferenceParseCacheModule, FreshContextReadsARewrittenOwnCertificate) {
  TestDir dir;
  TestCa first("Holder One");
  TestCa second("Holder Two");
  first.WriteCertificate(dir / "first.pem");
  second.WriteCertificate(dir / "second.pem");
  std::string firstText = ReadFile(dir / "first.pem");
  std::string secondText = ReadFile(dir / "second.pem");
  const size_t size = std::max(firstText.size(), secondText.size());

  const std::string own = dir / "own.pem";
  WriteFile(own, Padded(firstText, size));
  SetAge(own, 60);
  {
    Session session;
    session.Set(kOwnCertificate, own);
    ASSERT_EQ(session.CurrentUid(), "/C=RU/O=Bank/CN=Holder One");
  }
  {
    Session again;  // from the shared parse
    again.Set(kOwnCertificate, own);
    ASSERT_EQ(again.CurrentUid(), "/C=RU/O=Bank/CN=Holder One");
  }

  WriteFile(own, Padded(secondText, size));
  SetAge(own, 59);
  Session after;
  after.Set(kOwnCertificate, own);
  EXPECT_EQ(after.CurrentUid(), "/C=RU/O=Bank/CN=Holder Two");
}

TEST(ReferenceParseCacheModule, FilesNamedWithBackslashesOrInAnotherCaseAreFound) {
  TestDir dir;
  TestCa holder("Holder Three");
  fs::create_directories(dir / "Certs");
  holder.WriteCertificate(dir / "Certs/Own.pem");
  std::string backslashed = dir.path() + "\\Certs\\\\Own.pem\\";
  for (const std::string& name : {dir / "Certs/Own.pem", backslashed, dir / "certs/OWN.PEM", dir / "CERTS//own.pem"}) {
    Session session;
    session.Set(kOwnCertificate, name);
    EXPECT_EQ(session.CurrentUid(), "/C=RU/O=Bank/CN=Holder Three") << name;
  }
  Session missing;
  missing.Set(kOwnCertificate, dir / "Certs/Other.pem");
  EXPECT_EQ(missing.CurrentUid().rfind("error ", 0), 0u);
}

class ReferenceParseCacheBank : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(bank_.Enroll(anna_, "Anna", 11), 0);
    ASSERT_EQ(bank_.Enroll(olga_, "Olga", 12), 0);
    SetAgeOfTree(dir_.path(), 120);
  }

  int32_t Sign(const Session& session, const std::string& data, std::vector<char>& signature) const {
    signature.assign(static_cast<size_t>(session.module().GetMaxSignatureLength()), '\0');
    int32_t length = static_cast<int32_t>(signature.size());
    const int32_t code = session.module().SignData(session.handle(), data.data(), static_cast<int32_t>(data.size()),
                                                   signature.data(), &length, "");
    signature.resize(code == 0 ? static_cast<size_t>(length) : 0);
    return code;
  }

  int32_t Verify(const Session& session, const std::string& data, const std::vector<char>& signature) const {
    int32_t length = static_cast<int32_t>(data.size());
    std::vector<char> uid(static_cast<size_t>(session.module().GetMaxUIDLength()), '\0');
    return session.module().VerifyData(session.handle(), data.data(), &length, signature.data(),
                                       static_cast<int32_t>(signature.size()), uid.data());
  }

  TestDir dir_;
  Bank bank_{dir_.path()};
  Abonent anna_, olga_;
};

TEST_F(ReferenceParseCacheBank, FreshContextReadsAReplacedKeyContainer) {
  std::vector<char> signature;
  {
    Session session;
    bank_.Configure(session, anna_);
    ASSERT_EQ(Sign(session, "before", signature), 0) << session.LastError();
  }

  // Anna's container now holds Olga's key alone.
  fs::remove_all(anna_.keyDirectory);
  fs::copy(olga_.keyDirectory, anna_.keyDirectory, fs::copy_options::recursive);
  SetAgeOfTree(anna_.keyDirectory, 60);

  Session after;
  bank_.Configure(after, anna_);
  EXPECT_EQ(Sign(after, "after", signature), ref::kErrPrivateKeyNotFound);
}

TEST_F(ReferenceParseCacheBank, ConcurrentContextsShareParsesSafely) {
  Session shared;
  bank_.Configure(shared, anna_);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const Abonent& abonent = t % 2 == 0 ? anna_ : olga_;
      for (int i = 0; i < 4; ++i) {
        const std::string data = "thread " + std::to_string(t) + " round " + std::to_string(i);
        std::vector<char> signature;
        Session own;  // a context per call, as an engine without caching opens them
        bank_.Configure(own, abonent);
        if (Sign(own, data, signature) != 0 || Verify(shared, data, signature) != 0) ++failures;
        if (Sign(shared, data, signature) != 0 || Verify(own, data, signature) != 0) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
