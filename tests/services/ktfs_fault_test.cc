// The fault-injecting wrapper: which call fails, with what, and for how long;
// and the counters that tests rely on to assert the calls an operation makes.
#include "ktfs/ktfs_fault.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "ktfs/ktfs_api.h"
#include "support/test_volumes.h"

using ktfs::kNoAio;

namespace {

class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::error_code ec;
    std::shared_ptr<ktfs::backend> base = ktfs::make_local_backend(m_dir.path(), &ec);
    ASSERT_TRUE(base) << ec.message();
    m_faults = std::make_shared<ktfs::fault_backend>(base);
    m_io.reset(new ktfs::ktfs_iopx(m_faults));
  }

  std::error_code mkdir(const std::string& path) {
    return m_api.mkdir(m_io, path.c_str(), 0760, kNoAio);
  }
  bool exists(const std::string& path) {
    struct stat st;
    return ::stat((m_dir.path() + path).c_str(), &st) == 0;
  }

  ktsm_test::scratch_dir m_dir;
  std::shared_ptr<ktfs::fault_backend> m_faults;
  ktfs::ktfs_api m_api;
  ktfs::iopx_ptr m_io;
};

TEST_F(FaultTest, NthCallFailsOnceOrFromThenOn) {
  struct {
    uint64_t nth;
    bool persistent;
    std::vector<bool> fails;  // outcome of calls 1..5
  } cases[] = {
      {1, false, {true, false, false, false, false}},
      {3, false, {false, false, true, false, false}},
      {3, true, {false, false, true, true, true}},
      {6, true, {false, false, false, false, false}},
  };
  int round = 0;
  for (const auto& c : cases) {
    m_faults->fail_nth(c.nth, ENOSPC, c.persistent);
    for (size_t i = 0; i < c.fails.size(); ++i) {
      std::string path = "/r" + std::to_string(round) + "-" + std::to_string(i);
      std::error_code ec = mkdir(path);
      SCOPED_TRACE("nth=" + std::to_string(c.nth) + " call=" + std::to_string(i + 1));
      EXPECT_EQ(ec.value(), c.fails[i] ? ENOSPC : 0);
      // A failed call never reaches the volume.
      EXPECT_EQ(exists(path), !c.fails[i]);
    }
    uint64_t expected_fired = std::count(c.fails.begin(), c.fails.end(), true);
    EXPECT_EQ(m_faults->fired(), expected_fired);
    EXPECT_EQ(m_faults->calls_since_armed(), c.fails.size());
    ++round;
  }
}

TEST_F(FaultTest, KindAndPathPatternSelectCalls) {
  ASSERT_FALSE(mkdir("/g"));
  ASSERT_FALSE(mkdir("/g/.snaps"));
  m_faults->fail_calls(ktfs::op::setxattr, "*/.snaps/*", EIO);
  ASSERT_FALSE(mkdir("/g/.snaps/v1"));  // another kind passes

  char value[16] = "2";
  struct iovec iov = {value, sizeof value};
  EXPECT_FALSE(m_api.setxattr(m_io, "/g", "trusted.x", &iov, 0, kNoAio)) << "path does not match";
  EXPECT_EQ(m_api.setxattr(m_io, "/g/.snaps/v1", "trusted.x", &iov, 0, kNoAio).value(), EIO);
  EXPECT_EQ(m_api.setxattr(m_io, "//g/.snaps/v1", "trusted.x", &iov, 0, kNoAio).value(), EIO)
      << "persistent rule";
  EXPECT_EQ(m_faults->fired(), 2u);

  // A getxattr failure answers -1 with the chosen errno.
  m_faults->fail_calls(ktfs::op::getxattr, "", EACCES, false);
  errno = 0;
  EXPECT_EQ(m_api.getxattr(m_io, "/g", "trusted.x", &iov, kNoAio), -1);
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(m_api.getxattr(m_io, "/g", "trusted.x", &iov, kNoAio), 16) << "transient rule";

  m_faults->clear();
  EXPECT_FALSE(m_api.setxattr(m_io, "/g/.snaps/v1", "trusted.x", &iov, 0, kNoAio));
}

TEST_F(FaultTest, CallsOnOpenFilesAreCountedAndCanFail) {
  ASSERT_FALSE(mkdir("/d"));
  ASSERT_FALSE(mkdir("/d/a"));
  m_faults->reset_counts();

  ktfs::file_ptr dir = m_api.opendir(m_io, "/d", kNoAio);
  ASSERT_TRUE(dir);
  int entries = 0;
  while (m_api.readdir(dir, kNoAio) != nullptr) ++entries;
  EXPECT_EQ(entries, 3);
  // A failing close still releases the directory.
  m_faults->fail_calls(ktfs::op::closedir, "/d", EBADF, false);
  EXPECT_EQ(m_api.closedir(dir, kNoAio).value(), EBADF);
  EXPECT_EQ(m_api.closedir(dir, kNoAio).value(), EBADF) << "handle is closed";

  EXPECT_EQ(m_faults->count(ktfs::op::opendir), 1u);
  EXPECT_EQ(m_faults->count(ktfs::op::readdir), 4u);  // three entries and the end
  EXPECT_EQ(m_faults->count(ktfs::op::closedir), 1u);

  m_faults->fail_calls(ktfs::op::write, "/f", EDQUOT);
  ktfs::file_ptr f = m_api.open(m_io, "/f", O_WRONLY | O_CREAT, 0600, kNoAio);
  ASSERT_TRUE(f);
  size_t done = 7;
  EXPECT_EQ(m_api.write(f, "abc", 3, 0, &done, kNoAio).value(), EDQUOT);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(f->get_file_size(), 0u);
  EXPECT_FALSE(m_api.close(f, kNoAio));

  std::vector<std::string> trace = m_faults->trace();
  ASSERT_EQ(trace.size(), 4u);
  EXPECT_EQ(trace[0], "open /f");
  EXPECT_EQ(trace[1], "write /f");
  EXPECT_EQ(trace[2], "fstat /f");
  EXPECT_EQ(trace[3], "close /f");
  EXPECT_EQ(m_faults->total(), 10u);
}

TEST_F(FaultTest, CountersAreExactUnderConcurrentCallers) {
  m_faults->reset_counts();
  m_faults->fail_nth(1000, EIO, true);
  std::vector<std::thread> threads;
  std::atomic<int> failed{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      struct stat st;
      for (int i = 0; i < 500; ++i) {
        if (m_api.stat(m_io, t % 2 ? "/" : "/nothing", &st, kNoAio).value() == EIO) ++failed;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(m_faults->count(ktfs::op::stat), 2000u);
  EXPECT_EQ(failed.load(), 1001);  // calls 1000 to 2000
  EXPECT_EQ(m_faults->fired(), 1001u);
}

}  // namespace
