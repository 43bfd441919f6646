// Tests for KtProcess::system(): status decoding, output capture, timeouts,
// and the process hygiene guarantees (descriptors, reaping, threads).

#include "ktlib/KtProcess.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

int CountOpenFds() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (dirent* e = readdir(dir)) count += e->d_name[0] != '.';
  closedir(dir);
  return count;
}

// True once pid no longer exists or is only a zombie waiting for its parent.
bool GoneOrZombie(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const size_t close_paren = line.rfind(')');
  return close_paren != std::string::npos && line.size() > close_paren + 2 &&
         line[close_paren + 2] == 'Z';
}

bool WaitGone(pid_t pid) {
  for (int i = 0; i < 1000 && !GoneOrZombie(pid); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return GoneOrZombie(pid);
}

class KtProcessTest : public ::testing::Test {
 protected:
  // Every call must reap its own child: none may be left behind.
  void TearDown() override {
    errno = 0;
    EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG));
    EXPECT_EQ(ECHILD, errno);
  }
};

TEST_F(KtProcessTest, ReturnsExitStatusOrSignal) {
  const struct {
    const char* command;
    int expected;
  } cases[] = {
      {"exit 0", 0},
      {"exit 3", 3},
      {"exit 255", 255},
      {"false", 1},
      {"kill -TERM $$", 128 + SIGTERM},
      {"kill -KILL $$", 128 + SIGKILL},
      {"exec >&- 2>&-; sleep 1; exit 5", 5},  // pipes closed long before exit
  };
  for (const auto& c : cases) {
    std::string out, err;
    EXPECT_EQ(c.expected, KtProcess::system(c.command, &out, &err, 60, false)) << c.command;
  }
}

TEST_F(KtProcessTest, CapturesStreams) {
  const struct {
    const char* command;
    bool merge;
    std::string out, err;
  } cases[] = {
      {"echo hello", false, "hello\n", ""},
      {"echo oops >&2", false, "", "oops\n"},
      {"printf a; printf b >&2; printf c", false, "ac", "b"},
      {"printf 'x\\000y'", false, std::string("x\0y", 3), ""},
      {"echo one; echo two >&2; echo three", true, "one\ntwo\nthree\n", ""},
  };
  for (const auto& c : cases) {
    std::string out = "stale", err = "stale";
    EXPECT_EQ(0, KtProcess::system(c.command, &out, &err, 0, c.merge)) << c.command;
    EXPECT_EQ(c.out, out) << c.command;
    EXPECT_EQ(c.err, err) << c.command;
  }
}

TEST_F(KtProcessTest, NullPointersDiscard) {
  const char* command = "echo to-out; echo to-err >&2; exit 4";
  std::string s = "stale";
  EXPECT_EQ(4, KtProcess::system(command, nullptr, &s, 0, false));
  EXPECT_EQ("to-err\n", s);
  EXPECT_EQ(4, KtProcess::system(command, &s, nullptr, 0, false));
  EXPECT_EQ("to-out\n", s);
  EXPECT_EQ(4, KtProcess::system(command, nullptr, &s, 0, true));
  EXPECT_EQ("", s);
  // A discarded stream must never fill up and block the command.
  EXPECT_EQ(0, KtProcess::system("head -c 8000000 /dev/zero; "
                                 "head -c 8000000 /dev/zero >&2",
                                 nullptr, nullptr, 60, false));
}

TEST_F(KtProcessTest, LargeOutputOnBothStreamsAtOnce) {
  const char* command =
      "head -c 6000000 /dev/zero | tr '\\0' a & "
      "head -c 5000000 /dev/zero | tr '\\0' b >&2; wait";
  std::string out, err;
  ASSERT_EQ(0, KtProcess::system(command, &out, &err, 60, false));
  EXPECT_EQ(std::string(6000000, 'a'), out);
  EXPECT_EQ(std::string(5000000, 'b'), err);
}

TEST_F(KtProcessTest, CommandNotFound) {
  std::string out, err;
  EXPECT_EQ(127, KtProcess::system("no_such_command_kt42", &out, &err, 0, false));
  EXPECT_EQ("", out);
  EXPECT_NE(std::string::npos, err.find("no_such_command_kt42")) << err;
}

TEST_F(KtProcessTest, NullCommandFails) {
  std::string out = "stale", err = "stale";
  EXPECT_EQ(-1, KtProcess::system(nullptr, &out, &err, 0, false));
  EXPECT_EQ("", out);
  EXPECT_EQ("", err);
}

TEST_F(KtProcessTest, ChildDoesNotReadCallersStdin) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  ASSERT_EQ(7, write(fds[1], "secret\n", 7));
  close(fds[1]);
  const int saved = dup(STDIN_FILENO);
  dup2(fds[0], STDIN_FILENO);
  close(fds[0]);
  std::string out, err;
  const int rc = KtProcess::system("cat", &out, &err, 60, false);
  if (saved >= 0) {
    dup2(saved, STDIN_FILENO);
    close(saved);
  } else {
    close(STDIN_FILENO);
  }
  EXPECT_EQ(0, rc);
  EXPECT_EQ("", out);
}

TEST_F(KtProcessTest, ChildGetsDefaultSignalStateWhateverTheCaller) {
  struct sigaction ignore = {};
  struct sigaction saved_pipe = {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(0, sigaction(SIGPIPE, &ignore, &saved_pipe));
  sigset_t term, saved_mask;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  ASSERT_EQ(0, pthread_sigmask(SIG_BLOCK, &term, &saved_mask));
  const int by_pipe = KtProcess::system("kill -PIPE $$", nullptr, nullptr, 60, false);
  const int by_term = KtProcess::system("kill -TERM $$", nullptr, nullptr, 60, false);
  pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);
  sigaction(SIGPIPE, &saved_pipe, nullptr);
  EXPECT_EQ(128 + SIGPIPE, by_pipe);
  EXPECT_EQ(128 + SIGTERM, by_term);
}

TEST_F(KtProcessTest, IgnoredSigchldLosesStatusButDoesNotHang) {
  struct sigaction ignore = {};
  struct sigaction saved = {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(0, sigaction(SIGCHLD, &ignore, &saved));
  std::string out;
  const int rc = KtProcess::system("echo still-read; exit 3", &out, nullptr, 30, false);
  sigaction(SIGCHLD, &saved, nullptr);
  EXPECT_EQ(-1, rc);
  EXPECT_EQ("still-read\n", out);
}

TEST_F(KtProcessTest, TimeoutKillsTheWholeGroup) {
  std::string out, err;
  EXPECT_EQ(128 + SIGKILL, KtProcess::system("sleep 300 & echo $!; wait", &out, &err, 1, false));
  const pid_t grandchild = static_cast<pid_t>(std::atol(out.c_str()));
  ASSERT_GT(grandchild, 0) << out;  // output read before the kill is kept
  EXPECT_TRUE(WaitGone(grandchild));
  // The limit holds even once the command has closed its pipes.
  EXPECT_EQ(128 + SIGKILL, KtProcess::system("exec >&- 2>&-; sleep 300", &out, &err, 1, false));
  // Zero means no limit; a command that ends in time keeps its own status.
  EXPECT_EQ(4, KtProcess::system("sleep 1; exit 4", &out, &err, 0, false));
  EXPECT_EQ(2, KtProcess::system("exit 2", &out, &err, 30, false));
}

TEST_F(KtProcessTest, ReturnsWhenShellEndsEvenIfBackgroundHoldsPipe) {
  std::string out, err;
  // The timeout only bounds a wrong implementation that waits for the pipe.
  const int rc = KtProcess::system("sleep 300 & echo $!", &out, &err, 20, false);
  const pid_t background = static_cast<pid_t>(std::atol(out.c_str()));
  if (background > 0) kill(background, SIGKILL);
  EXPECT_EQ(0, rc);
  EXPECT_GT(background, 0) << out;
}

TEST_F(KtProcessTest, NoDescriptorLeaks) {
  // A descriptor the caller forgot to mark close-on-exec stays with us.
  const int stray = fcntl(STDERR_FILENO, F_DUPFD, 40);
  ASSERT_GE(stray, 40);
  std::string out, err;
  ASSERT_EQ(0, KtProcess::system("cd /proc/$$/fd && echo *", &out, &err, 0, false));
  EXPECT_EQ(std::string::npos, out.find(std::to_string(stray))) << out;
  EXPECT_EQ(0u, out.find("0 1 2")) << out;
  close(stray);

  const int before = CountOpenFds();
  for (int i = 0; i < 40; ++i) {
    KtProcess::system("echo x; echo y >&2", &out, &err, i % 2, i % 3 == 0);
    KtProcess::system("exit 1", i % 2 ? &out : nullptr, nullptr, 0, false);
  }
  KtProcess::system("sleep 300", &out, &err, 1, false);
  EXPECT_EQ(before, CountOpenFds());
}

TEST_F(KtProcessTest, ConcurrentCallersGetTheirOwnResults) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 15;
  std::vector<std::string> failures(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      for (int r = 0; r < kRounds; ++r) {
        const std::string tag = std::to_string(t) + "-" + std::to_string(r);
        const std::string command =
            "echo out" + tag + "; echo err" + tag + " >&2; exit " + std::to_string((t + r) % 7);
        std::string out, err;
        const int rc = KtProcess::system(command.c_str(), &out, &err, 60, false);
        if (rc != (t + r) % 7 || out != "out" + tag + "\n" || err != "err" + tag + "\n") {
          failures[t] += tag + " rc=" + std::to_string(rc) + " out=" + out + " err=" + err + "\n";
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ("", failures[t]);
}

}  // namespace
