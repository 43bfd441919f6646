// Copyright (c) The ktsm authors.

#include "ktlib/KtProcess.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <optional>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Longest time one poll() blocks before the loop checks again whether the
// shell has ended. While pipes are open this only matters when background
// processes keep a pipe open after the shell has gone; once both pipes are
// closed the wait starts at 1 ms and doubles up to this value, so a shell
// that is just exiting is reaped at once without waking up often later.
constexpr int kMaxTickMs = 100;
constexpr size_t kReadChunk = 16 * 1024;

// Owns one descriptor and closes it on scope exit.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// One pipe from the child to us. The read end is non-blocking so buffered
// data can be drained without risk of blocking; the write end stays blocking
// because the child inherits its file status flags.
struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

// Moves fd to a number >= 3 (close-on-exec kept), so that placing the pipe on
// the child's standard descriptors can never clobber another one of them.
int MoveAboveStdio(int fd) {
  if (fd > STDERR_FILENO) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  ::close(fd);
  return moved;
}

bool OpenPipe(Pipe* pipe) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  pipe->read_end.Reset(MoveAboveStdio(fds[0]));
  pipe->write_end.Reset(MoveAboveStdio(fds[1]));
  if (!pipe->read_end.valid() || !pipe->write_end.valid()) return false;
  const int flags = ::fcntl(pipe->read_end.get(), F_GETFL);
  return flags >= 0 && ::fcntl(pipe->read_end.get(), F_SETFL, flags | O_NONBLOCK) == 0;
}

// posix_spawn attributes and file actions, destroyed on scope exit.
class SpawnSetup {
 public:
  SpawnSetup() {
    attr_ok_ = ::posix_spawnattr_init(&attr_) == 0;
    actions_ok_ = ::posix_spawn_file_actions_init(&actions_) == 0;
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    if (attr_ok_) ::posix_spawnattr_destroy(&attr_);
    if (actions_ok_) ::posix_spawn_file_actions_destroy(&actions_);
  }

  // Own process group, empty signal mask, every signal at its default
  // action (ignored signals would otherwise be inherited across exec).
  bool SetAttributes() {
    if (!attr_ok_) return false;
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    const short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    return ::posix_spawnattr_setflags(&attr_, flags) == 0 &&
           ::posix_spawnattr_setpgroup(&attr_, 0) == 0 &&
           ::posix_spawnattr_setsigmask(&attr_, &none) == 0 &&
           ::posix_spawnattr_setsigdefault(&attr_, &all) == 0;
  }

  // Standard input from /dev/null; standard output and error onto the given
  // descriptors, or /dev/null where the descriptor is -1; nothing else.
  bool SetDescriptors(int child_out, int child_err) {
    if (!actions_ok_) return false;
    if (::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0) !=
        0) {
      return false;
    }
    if (!Redirect(child_out, STDOUT_FILENO)) return false;
    if (!Redirect(child_err, STDERR_FILENO)) return false;
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Descriptors opened elsewhere in the process without close-on-exec
    // must not reach the command either.
    if (::posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1) != 0) {
      return false;
    }
#endif
    return true;
  }

  const posix_spawnattr_t* attr() const { return &attr_; }
  const posix_spawn_file_actions_t* actions() const { return &actions_; }

 private:
  bool Redirect(int fd, int target) {
    if (fd < 0) {
      return ::posix_spawn_file_actions_addopen(&actions_, target, "/dev/null", O_WRONLY, 0) == 0;
    }
    return ::posix_spawn_file_actions_adddup2(&actions_, fd, target) == 0;
  }

  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
  bool attr_ok_ = false;
  bool actions_ok_ = false;
};

// Starts /bin/sh -c command. Returns the child's pid, or -1.
pid_t SpawnShell(const char* command, int child_out, int child_err) {
  SpawnSetup setup;
  if (!setup.SetAttributes() || !setup.SetDescriptors(child_out, child_err)) {
    return -1;
  }
  char arg0[] = "sh";
  char arg1[] = "-c";
  char* argv[] = {arg0, arg1, const_cast<char*>(command), nullptr};
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, "/bin/sh", setup.actions(), setup.attr(), argv, environ);
  return rc == 0 ? pid : -1;
}

// A pipe being read into a string.
struct Stream {
  UniqueFd fd;
  std::string* sink = nullptr;
};

// Standard output and standard error of the child.
using Streams = std::array<Stream, 2>;

// Reads everything currently available on s; closes it at end of file or on
// a read error.
void ReadAvailable(Stream* s) {
  char buf[kReadChunk];
  while (s->fd.valid()) {
    const ssize_t n = ::read(s->fd.get(), buf, sizeof(buf));
    if (n > 0) {
      s->sink->append(buf, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      return;
    } else {
      s->fd.Reset();
    }
  }
}

// Waits up to timeout_ms for data on the open streams and reads what came.
// With no stream open this just sleeps for timeout_ms.
void PumpOnce(Streams* streams, int timeout_ms) {
  std::array<pollfd, 2> fds{};
  std::array<Stream*, 2> polled{};
  nfds_t n = 0;
  for (Stream& s : *streams) {
    if (!s.fd.valid()) continue;
    fds[n] = pollfd{s.fd.get(), POLLIN, 0};
    polled[n++] = &s;
  }
  const int rc = ::poll(fds.data(), n, timeout_ms);
  if (rc < 0 && errno != EINTR) {
    // Cannot watch the pipes any more: stop collecting rather than spin.
    for (nfds_t i = 0; i < n; ++i) polled[i]->fd.Reset();
    return;
  }
  for (nfds_t i = 0; rc > 0 && i < n; ++i) {
    if (fds[i].revents != 0) ReadAvailable(polled[i]);
  }
}

void DrainAll(Streams* streams) {
  for (Stream& s : *streams) ReadAvailable(&s);
}

bool AnyOpen(const Streams& streams) {
  for (const Stream& s : streams) {
    if (s.fd.valid()) return true;
  }
  return false;
}

enum class ChildState { kRunning, kReaped, kLost };

// waitpid() on our own child. kLost means its status can no longer be
// collected, e.g. because the process ignores SIGCHLD and the kernel already
// discarded it.
ChildState Reap(pid_t pid, int options, int* status) {
  pid_t r;
  do {
    r = ::waitpid(pid, status, options);
  } while (r < 0 && errno == EINTR);
  if (r == pid) return ChildState::kReaped;
  return r == 0 ? ChildState::kRunning : ChildState::kLost;
}

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Milliseconds to block in the next poll(), bounded by the tick and by the
// time left until the deadline.
int NextWaitMs(const std::optional<Clock::time_point>& deadline, int tick) {
  if (!deadline) return tick;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
  if (left.count() <= 0) return 0;
  return left.count() < tick ? static_cast<int>(left.count()) : tick;
}

std::optional<Clock::time_point> DeadlineFor(int timeout_seconds) {
  if (timeout_seconds <= 0) return std::nullopt;
  return Clock::now() + std::chrono::seconds(timeout_seconds);
}

// Collects the child's output until it ends or the deadline passes, then
// reaps it. Returns the value KtProcess::system() reports.
int Supervise(pid_t pid, Streams* streams, const std::optional<Clock::time_point>& deadline) {
  int status = 0;
  ChildState state = ChildState::kRunning;
  bool killed = false;
  int idle_tick = 1;
  while (state == ChildState::kRunning) {
    int tick = kMaxTickMs;
    if (!AnyOpen(*streams)) {
      // Nothing left to read: without a deadline simply wait for the exit.
      if (!deadline) {
        state = Reap(pid, 0, &status);
        break;
      }
      tick = idle_tick;
      idle_tick = std::min(2 * idle_tick, kMaxTickMs);
    }
    PumpOnce(streams, NextWaitMs(deadline, tick));
    state = Reap(pid, WNOHANG, &status);
    if (state == ChildState::kRunning && deadline && Clock::now() >= *deadline) {
      // The child is not reaped yet, so its pid cannot have been reused as
      // a group id by anyone else.
      ::kill(-pid, SIGKILL);
      state = Reap(pid, 0, &status);
      killed = true;
    }
  }
  // Whatever the shell wrote before it ended is in the pipe buffers now.
  DrainAll(streams);
  if (state == ChildState::kLost) return -1;
  return killed ? 128 + SIGKILL : DecodeStatus(status);
}

}  // namespace

int KtProcess::system(const char* command, std::string* out, std::string* err, int timeout_seconds,
                      bool merge_stderr) {
  if (out != nullptr) out->clear();
  if (err != nullptr) err->clear();
  if (command == nullptr) return -1;

  Pipe out_pipe;
  Pipe err_pipe;
  if (out != nullptr && !OpenPipe(&out_pipe)) return -1;
  if (err != nullptr && !merge_stderr && !OpenPipe(&err_pipe)) return -1;

  const int child_out = out_pipe.write_end.get();
  const int child_err = merge_stderr ? child_out : err_pipe.write_end.get();
  const pid_t pid = SpawnShell(command, child_out, child_err);
  // Only the child may hold the write ends, or end of file never comes.
  out_pipe.write_end.Reset();
  err_pipe.write_end.Reset();
  if (pid < 0) return -1;

  Streams streams;
  streams[0].fd.Reset(out_pipe.read_end.Release());
  streams[0].sink = out;
  streams[1].fd.Reset(err_pipe.read_end.Release());
  streams[1].sink = err;
  return Supervise(pid, &streams, DeadlineFor(timeout_seconds));
}
