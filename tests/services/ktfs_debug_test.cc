// The logger: threshold, sinks and concurrent writers.
#include "ktfs/ktfs_debug.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <thread>

#include "support/test_volumes.h"

namespace {

const char kFn[] = "ktsm_filegroup_versionset::create_version_internal()";

TEST(DebugTest, ThresholdFiltersDebugLinesButNeverErrors) {
  struct {
    int threshold;
    std::vector<std::string> expected;
  } cases[] = {
      {-2, {"failed"}},
      {-1, {"progress -1", "failed"}},
      {0, {"progress -1", "detail 0", "failed"}},
      {1, {"progress -1", "detail 0", "detail 1", "failed"}},
  };
  for (const auto& c : cases) {
    auto capture = std::make_shared<ktfs::capture_sink>();
    ktfs::ktfs_debug log(capture, c.threshold);
    log.debug(kFn, -1, "progress %d", -1);
    log.debug(kFn, 0, "detail %d", 0);
    log.debug(kFn, 1, "detail %d", 1);
    log.error(kFn, "%s", "failed");
    EXPECT_EQ(capture->texts(), c.expected) << "threshold " << c.threshold;
  }
}

TEST(DebugTest, CaptureKeepsFunctionLevelAndErrorMark) {
  auto capture = std::make_shared<ktfs::capture_sink>();
  ktfs::ktfs_debug log(capture, 1);
  log.debug(kFn, -1, "file group version [%s] setxattr [%s:%s]", "v1", "trusted.norvafs.snapstate",
            "1");
  log.error("ktsm_filegroup_versionset_init()", "&version_set=[%p] name=[%s]",
            static_cast<void*>(nullptr), "//a");
  std::vector<ktfs::log_record> records = capture->records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].function, kFn);
  EXPECT_EQ(records[0].level, -1);
  EXPECT_FALSE(records[0].is_error);
  EXPECT_EQ(records[0].text, "file group version [v1] setxattr [trusted.norvafs.snapstate:1]");
  EXPECT_TRUE(records[1].is_error);
  EXPECT_EQ(records[1].function, "ktsm_filegroup_versionset_init()");
  EXPECT_EQ(capture->count("file group version [v1] setxattr [trusted.norvafs.snapstate:1]"), 1u);
  capture->clear();
  EXPECT_TRUE(capture->records().empty());

  // Long texts are kept whole.
  std::string long_name(5000, 'n');
  log.debug(kFn, 0, "[%s]", long_name.c_str());
  EXPECT_EQ(capture->texts().at(0), "[" + long_name + "]");
}

TEST(DebugTest, FilteredMessageIsNeverFormatted) {
  // An argument that would fault if it were ever formatted.
  void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(page, MAP_FAILED);
  auto capture = std::make_shared<ktfs::capture_sink>();
  ktfs::ktfs_debug log(capture, -1);
  log.debug(kFn, 1, "%s", static_cast<const char*>(page));
  log.debug(kFn, 0, "%s", static_cast<const char*>(page));
  EXPECT_TRUE(capture->records().empty());
  EXPECT_FALSE(log.enabled(0));
  EXPECT_TRUE(log.enabled(-1));
  ::munmap(page, 4096);
}

TEST(DebugTest, DefaultsReachLoggersConstructedLater) {
  auto capture = std::make_shared<ktfs::capture_sink>();
  ktfs::ktfs_debug::set_default_sink(capture);
  ktfs::ktfs_debug::set_default_level(1);
  ktfs::ktfs_debug log;
  log.debug(kFn, 1, "Stat directory [%s]", "//a/.snaps");
  EXPECT_EQ(capture->texts(), std::vector<std::string>{"Stat directory [//a/.snaps]"});
  ktfs::ktfs_debug::set_default_sink(nullptr);
  ktfs::ktfs_debug::set_default_level(0);
}

TEST(DebugTest, ConcurrentWritersProduceWholeRecordsAndLines) {
  ktsm_test::scratch_dir dir;
  std::string file = dir.path() + "/log";
  auto capture = std::make_shared<ktfs::capture_sink>();
  auto stream = std::make_shared<ktfs::stream_sink>(file);
  ASSERT_TRUE(stream->good());
  ktfs::ktfs_debug to_capture(capture, 1), to_file(stream, 1);
  const int kThreads = 6, kEach = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        to_capture.debug(kFn, -1, "thread %d message %d", t, i);
        to_file.debug(kFn, -1, "thread %d message %d", t, i);
        if (i % 100 == 0) to_capture.set_level(1);  // racing a reader of the level
      }
    });
  }
  for (auto& t : threads) t.join();

  std::vector<std::vector<int>> seen(kThreads);
  for (const ktfs::log_record& r : capture->records()) {
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(r.text.c_str(), "thread %d message %d", &t, &i), 2) << r.text;
    seen.at(t).push_back(i);
  }
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), static_cast<size_t>(kEach));
    for (int i = 0; i < kEach; ++i) EXPECT_EQ(seen[t][i], i) << "order within a thread";
  }

  to_file.flush();
  std::ifstream in(file);
  std::regex line_form(std::string("ktsm_filegroup_versionset::create_version_internal\\(\\) ") +
                       "\\[-1\\] thread [0-9]+ message [0-9]+");
  std::string line;
  int lines = 0;
  while (std::getline(in, line)) {
    EXPECT_TRUE(std::regex_match(line, line_form)) << line;
    ++lines;
  }
  EXPECT_EQ(lines, kThreads * kEach);
}

// A file sink holds records back, yet none is lost however the process ends
// after writing them, short of SIGKILL before a flush.
TEST(DebugTest, FileSinkLosesNoRecordWhateverEndsTheProcess) {
  enum ending { by_exit, by_abort, by_fault, by_sigkill, by_flush_then_sigkill };
  struct {
    ending how;
    bool error_last;  // the last record is an error
  } cases[] = {{by_exit, false},
               {by_abort, false},
               {by_fault, false},
               {by_sigkill, true},
               {by_flush_then_sigkill, false}};
  ktsm_test::scratch_dir dir;
  for (const auto& c : cases) {
    std::string file = dir.path() + "/log" + std::to_string(c.how);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ktfs::ktfs_debug log(std::make_shared<ktfs::stream_sink>(file), 0);
      for (int i = 0; i < 99; ++i) log.debug(kFn, -1, "record %d", i);
      if (c.error_last) log.error(kFn, "record %d", 99);
      if (!c.error_last) log.debug(kFn, -1, "record %d", 99);
      if (c.how == by_exit) std::exit(0);
      if (c.how == by_abort) std::abort();
      if (c.how == by_fault) {
        void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        *static_cast<volatile int*>(page) = 1;
      }
      if (c.how == by_flush_then_sigkill) log.flush();
      ::kill(::getpid(), SIGKILL);
    }
    ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    EXPECT_EQ(lines.size(), 100u) << "ending " << c.how;
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_NE(lines[i].find("record " + std::to_string(i)), std::string::npos) << c.how;
    }
  }
}

}  // namespace
