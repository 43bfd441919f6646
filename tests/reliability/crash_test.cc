// ktsmctl killed with SIGKILL in the middle of an operation: while a
// snapshot is being copied, at the instant between making a version's
// directory and writing its state, and while the export command runs.  A
// fresh ktsmctl must show what the killed one left, doctor must name it with
// the command that resolves it, and once that command has run the volume
// must be clean, the live files untouched and no process left behind.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/ktsmctl_run.h"
#include "support/test_volumes.h"

extern char** environ;

namespace {

using ktsm_test::read_text;
using ktsm_test::tool_dir;

typedef std::chrono::steady_clock steady;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Hang detection only: one ktsmctl command (the sanitizer build is slow),
// and waiting for a point inside an operation.
const seconds kRunLimit(120);
const seconds kReachLimit(30);
const milliseconds kPollInterval(1);

const char kStateAttribute[] = "trusted.norvafs.snapstate";
const size_t kChunk = 1 << 20;
// Every complete version holds its deleted-file list, made after the copy
// in the version's own ".snaps".
const char kDeletedList[] = ".snaps/.ktsm-deleted-files";

std::string system_path(const std::string& first) {
  return first + ":/usr/sbin:/usr/bin:/sbin:/bin";
}

// ---- processes ----------------------------------------------------------

// Kills a process group with SIGKILL when the limit passes before the
// watchdog is destroyed, so that a blocking wait on the group always ends.
class watchdog {
 public:
  watchdog(pid_t group, steady::duration limit) : m_group(group) {
    m_thread = std::thread([this, limit] { watch(limit); });
  }
  ~watchdog() {
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_done = true;
    }
    m_wake.notify_one();
    m_thread.join();
  }
  bool fired() const { return m_fired; }

 private:
  void watch(steady::duration limit) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_wake.wait_for(lock, limit, [this] { return m_done; })) return;
    m_fired = true;
    ::kill(-m_group, SIGKILL);
  }

  pid_t m_group;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_done = false;
  bool m_fired = false;
  std::thread m_thread;
};

// How to start one ktsmctl: its arguments, its PATH and, when traced, under
// ptrace from its first instruction.
struct launch {
  std::vector<std::string> args;
  std::string path;
  bool traced = false;
};

// The environment of a run: this process's, without any KTSM_* (but the
// link clock's margin, which a test sets), HOME or XDG_DATA_HOME, with the
// log, the exports directory and PATH of the test.
std::vector<std::string> run_environment(const std::string& dir, const std::string& path) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e, name = entry.substr(0, entry.find('='));
    if ((name.rfind("KTSM_", 0) == 0 && name != "KTSM_LINK_CLOCK_MARGIN_MS") || name == "PATH" ||
        name == "HOME" || name == "XDG_DATA_HOME" || name == "STORHAUG_EXPORT_DIR") {
      continue;
    }
    env.push_back(entry);
  }
  env.push_back("PATH=" + path);
  env.push_back("HOME=" + dir);
  env.push_back("KTSM_LOG=" + dir + "/ktsmctl.log");
  env.push_back("STORHAUG_EXPORT_DIR=" + dir + "/exports");
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& words) {
  std::vector<char*> out;
  for (std::string& w : words) out.push_back(&w[0]);
  out.push_back(nullptr);
  return out;
}

// Starts ktsmctl in a process group of its own (the group's id is its pid),
// standard output and error into dir/stdout and dir/stderr.  Everything the
// child needs is prepared before fork: it only makes async-signal-safe calls.
pid_t start_ktsmctl(const std::string& dir, const launch& l) {
  std::vector<std::string> argv_words{"ktsmctl"};
  argv_words.insert(argv_words.end(), l.args.begin(), l.args.end());
  std::vector<std::string> env_words = run_environment(dir, l.path);
  std::vector<char*> argv = pointers(argv_words), envp = pointers(env_words);
  int out = ::open((dir + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int err = ::open((dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_t pid = (out >= 0 && err >= 0) ? ::fork() : -1;
  if (pid == 0) {
    ::setpgid(0, 0);
    if (l.traced) ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    ::execve(KTSMCTL_BIN, argv.data(), envp.data());
    ::_exit(127);
  }
  if (pid > 0) ::setpgid(pid, pid);  // either side may be first
  if (out >= 0) ::close(out);
  if (err >= 0) ::close(err);
  return pid;
}

// Waits for pid to end, killing its group when it takes longer than limit;
// the wait status, or -1 when pid cannot be waited for.
int wait_bounded(pid_t pid, steady::duration limit, bool* hung = nullptr) {
  watchdog guard(pid, limit);
  int status = 0;
  pid_t got;
  do {
    got = ::waitpid(pid, &status, 0);
  } while (got < 0 && errno == EINTR);
  if (hung != nullptr) *hung = guard.fired();
  return got == pid ? status : -1;
}

// Whether pid has ended; reaps it then, with its wait status in *status.
bool has_ended(pid_t pid, int* status) { return ::waitpid(pid, status, WNOHANG) == pid; }

bool killed_by_sigkill(int status) {
  return status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

// Calls reached() every millisecond until it returns true, pid ends or the
// limit passes.  True only when reached; *ended tells whether pid ended.
bool poll_until(pid_t pid, const std::function<bool()>& reached, bool* ended) {
  steady::time_point deadline = steady::now() + kReachLimit;
  int status = 0;
  *ended = false;
  while (steady::now() < deadline) {
    if (reached()) return true;
    if (has_ended(pid, &status)) {
      *ended = true;
      return false;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  return false;
}

// This process is the subreaper of everything it starts, so a process a
// killed ktsmctl leaves behind becomes this process's child.  Reaps every
// child that has ended or ends before the limit; true when none is left.
bool reap_all_children(steady::duration limit) {
  steady::time_point deadline = steady::now() + limit;
  for (;;) {
    int status = 0;
    pid_t got = ::waitpid(-1, &status, WNOHANG);
    if (got < 0 && errno == ECHILD) return true;
    if (got > 0) continue;
    if (steady::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
}

// Whether any process, zombies included, is still in process group group.
bool group_exists(pid_t group) { return ::kill(-group, 0) == 0 || errno != ESRCH; }

// ---- stopping at the first state write ----------------------------------

// Whether the traced pid, stopped at a system call, is entering setxattr.
bool entering_setxattr(pid_t pid) {
  struct __ptrace_syscall_info info;
  long size = ::ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info);
  if (size <= 0 || info.op != PTRACE_SYSCALL_INFO_ENTRY) return false;
  return info.entry.nr == SYS_setxattr || info.entry.nr == SYS_lsetxattr;
}

bool path_exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// Runs the traced pid, which stopped at its exec, until it enters a setxattr
// call while host_dir exists: the state write that follows the making of a
// version's directory.  Leaves it stopped there, the call not yet made;
// false when it stops being traceable first.
bool run_until_state_write(pid_t pid, const std::string& host_dir) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status)) return false;
  long options = PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL | PTRACE_O_TRACEEXEC;
  if (::ptrace(PTRACE_SETOPTIONS, pid, nullptr, options) != 0) return false;
  int pass_on = 0;
  for (;;) {
    if (::ptrace(PTRACE_SYSCALL, pid, nullptr, pass_on) != 0) return false;
    if (::waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status)) return false;
    pass_on = 0;
    if (WSTOPSIG(status) == (SIGTRAP | 0x80)) {
      if (entering_setxattr(pid) && path_exists(host_dir)) return true;
    } else if (status >> 16 == 0) {
      pass_on = WSTOPSIG(status);  // a signal meant for the tool
    }
  }
}

// ---- the volume, seen on this machine -----------------------------------

// The state attribute of a directory, as the local backend stores it (in the
// user namespace where the trusted one cannot be written); false when the
// directory carries none.
bool read_state(const std::string& host_dir, std::string* state) {
  for (std::string name : {std::string(kStateAttribute), "user." + std::string(kStateAttribute)}) {
    char buf[64];
    ssize_t n = ::getxattr(host_dir.c_str(), name.c_str(), buf, sizeof buf);
    if (n < 0) continue;
    state->assign(buf, static_cast<size_t>(n));
    state->erase(std::find(state->begin(), state->end(), '\0'), state->end());
    return true;
  }
  return false;
}

// The sorted names in a host directory, without the group lock's file;
// empty when it cannot be read.
std::vector<std::string> names_in(const std::string& host_dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(host_dir.c_str());
  if (d == nullptr) return names;
  while (struct dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    // The group lock's file stays; a killed holder's lock went with it.
    if (name != "." && name != ".." && name != ".ktsm-lock") names.push_back(name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

off_t size_of(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// A live file of generated content: a different byte stream per name.
struct live_file {
  std::string name;
  size_t size;
};

std::string chunk_of(const live_file& f, size_t index) {
  size_t length = std::min(kChunk, f.size - index * kChunk);
  uint64_t x = (std::hash<std::string>()(f.name) ^ (index * 0x9E3779B97F4A7C15ull)) | 1;
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::memcpy(&bytes[i], &x, std::min<size_t>(8, length - i));
  }
  return bytes;
}

size_t chunk_count(const live_file& f) { return (f.size + kChunk - 1) / kChunk; }

void write_file(const std::string& host_dir, const live_file& f) {
  std::ofstream out(host_dir + "/" + f.name, std::ios::binary | std::ios::trunc);
  for (size_t i = 0; i < chunk_count(f); ++i) out << chunk_of(f, i);
  ASSERT_TRUE(out.flush()) << "cannot write " << f.name;
}

// Whether the file at path holds exactly f's content.
bool holds(const std::string& path, const live_file& f) {
  if (size_of(path) != static_cast<off_t>(f.size)) return false;
  std::ifstream in(path, std::ios::binary);
  std::string read(kChunk, '\0');
  for (size_t i = 0; i < chunk_count(f); ++i) {
    std::string expected = chunk_of(f, i);
    if (!in.read(&read[0], expected.size()) || read.compare(0, expected.size(), expected) != 0) {
      return false;
    }
  }
  return true;
}

// ---- the fixture ----------------------------------------------------------

// Snapshot versions by name: {state, state name}.
typedef std::map<std::string, std::pair<std::string, std::string>> version_states;

class CrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0) << "cannot collect orphaned processes";
    m_volume = m_dir.path() + "/volume";
    ASSERT_EQ(::mkdir(m_volume.c_str(), 0755), 0);
  }

  void TearDown() override {
    EXPECT_TRUE(reap_all_children(seconds(5))) << "a process the test started is still running";
  }

  std::string host(const std::string& volume_path) const { return m_volume + volume_path; }
  std::string snaps(const std::string& g) const { return host("/" + g + "/.snaps"); }

  launch command(std::vector<std::string> args, const std::string& path = "") {
    args.insert(args.begin(), {"--local", m_volume});
    return launch{args, path.empty() ? system_path(tool_dir()) : path, false};
  }

  pid_t start(const launch& l) {
    pid_t pid = start_ktsmctl(m_dir.path(), l);
    EXPECT_GT(pid, 0) << "cannot start " << KTSMCTL_BIN;
    return pid;
  }

  // After prepare(), runs args, and once caught is true sends signal to it:
  // its exit status, or kKilledBy + the signal that ended it (-1: it was
  // not caught in time); *err receives its stderr.  A run that ends before
  // it is caught (its work fitted between two polls, as on a fast machine
  // or with this process held off the processor) is prepared and run again,
  // up to kTries runs.
  int interrupt(const std::vector<std::string>& args, const std::function<void()>& prepare,
                const std::function<bool()>& caught, int signal, std::string* err) {
    for (int run = 1;; ++run) {
      prepare();
      pid_t pid = start(command(args));
      if (pid <= 0) return -1;
      bool ended = false;
      bool reached = poll_until(pid, caught, &ended);
      if (ended && run < kTries) continue;
      if (!ended) ::kill(signal == SIGKILL ? -pid : pid, signal);
      int status = ended ? -1 : wait_bounded(pid, kRunLimit);
      *err = read_text(m_dir.path() + "/stderr");
      EXPECT_TRUE(reached) << args[0] << (ended ? " ended before it was caught" : " not caught");
      if (status == -1 || !reached) return -1;
      if (WIFSIGNALED(status)) return kKilledBy + WTERMSIG(status);
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
  }
  // A prepare() for interrupt(): version v of group g deleted when a run
  // before finished it.
  std::function<void()> without_version(const std::string& g, const std::string& v) {
    return [this, g, v] {
      if (path_exists(snaps(g) + "/" + v)) ok({"delete", g, v});
    };
  }
  static const int kTries = 5;
  static const int kKilledBy = 1000;

  struct result {
    int status = -1;
    std::string out, err;
  };

  // Runs one command to its end.
  result ktsmctl(const std::vector<std::string>& args) {
    result r;
    pid_t pid = start(command(args));
    if (pid <= 0) return r;
    bool hung = false;
    int status = wait_bounded(pid, kRunLimit, &hung);
    EXPECT_FALSE(hung) << "ktsmctl " << args[0] << " hung and was killed";
    if (status != -1 && WIFEXITED(status)) r.status = WEXITSTATUS(status);
    r.out = read_text(m_dir.path() + "/stdout");
    r.err = read_text(m_dir.path() + "/stderr");
    return r;
  }

  // Runs a command that must succeed without a word on standard error.
  std::string ok(const std::vector<std::string>& args) {
    result r = ktsmctl(args);
    EXPECT_EQ(r.status, 0) << args[0] << ": " << r.out << r.err;
    EXPECT_EQ(r.err, "") << args[0];
    return r.out;
  }

  // The snapshot versions of group g from "list --json"; *absent when the
  // group is not listed.  *err receives standard error.
  version_states listed(const std::string& g, bool* absent, std::string* err) {
    version_states versions;
    result r = ktsmctl({"list", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    *err = r.err;
    *absent = true;
    nlohmann::json all = nlohmann::json::parse(r.out, nullptr, false);
    EXPECT_TRUE(all.is_array()) << r.out;
    if (!all.is_array()) return versions;
    for (const nlohmann::json& group : all) {
      if (group.value("name", "") != "//" + g) continue;
      *absent = false;
      for (const nlohmann::json& v : group.at("versions")) {
        if (v.at("production") == true) continue;
        versions[v.at("name").get<std::string>()] = {v.at("state").get<std::string>(),
                                                     v.at("state_name").get<std::string>()};
      }
    }
    return versions;
  }

  // A group of the given live files, with a snapshot v0 of its first file
  // only (taken before the others are written).
  void make_group(const std::string& g, const std::vector<live_file>& files) {
    ok({"create-group", g});
    write_file(host("/" + g), files[0]);
    ok({"snapshot", g, "v0"});
    for (size_t i = 1; i < files.size(); ++i) write_file(host("/" + g), files[i]);
  }

  void expect_live_untouched(const std::string& g, const std::vector<live_file>& files) {
    std::vector<std::string> expected{".snaps"};
    for (const live_file& f : files) {
      expected.push_back(f.name);
      EXPECT_TRUE(holds(host("/" + g + "/" + f.name), f)) << f.name << " changed";
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names_in(host("/" + g)), expected);
  }

  // withdraw: the remedy unexports before the version is deleted.
  void resolve_in_progress(const std::string& g, const std::string& v, const std::string& state,
                           const std::string& state_name, const std::string& remedy,
                           bool withdraw = false);
  void resolve_killed_snapshot(const std::string& g, const std::string& v, bool* had_state);
  void expect_clean_after_v0(const std::string& g, const std::vector<live_file>& files);

  ktsm_test::scratch_dir m_dir;
  std::string m_volume;
};

// The killed operation left v in an in-progress state: the listing shows
// it beside v0, doctor names it with its remedy, and delete removes it.
void CrashTest::resolve_in_progress(const std::string& g, const std::string& v,
                                    const std::string& state, const std::string& state_name,
                                    const std::string& remedy, bool withdraw) {
  bool absent = true;
  std::string err;
  version_states versions = listed(g, &absent, &err);
  ASSERT_FALSE(absent) << "group " << g << " is not listed: " << err;
  EXPECT_EQ(err, "");
  EXPECT_EQ(versions, (version_states{{"v0", {"2", "active"}}, {v, {state, state_name}}}));

  result doctor = ktsmctl({"doctor"});
  EXPECT_EQ(doctor.status, 1) << doctor.out;
  EXPECT_NE(doctor.out.find("group " + g + ", version " + v + ": " + state_name + "\n"),
            std::string::npos)
      << doctor.out;
  EXPECT_NE(doctor.out.find("\n  resolve: " + remedy + "\n"), std::string::npos) << doctor.out;
  EXPECT_NE(doctor.out.find("\n1 problem found on the local volume"), std::string::npos)
      << doctor.out;

  if (withdraw) ok({"unexport", g, v});
  if (state == "1") {
    // What an unfinished snapshot left loses nothing by going: doctor
    // --fix deletes it, and says so.
    result fixed = ktsmctl({"doctor", "--fix"});
    EXPECT_EQ(fixed.status, 0) << fixed.out << fixed.err;
    EXPECT_NE(fixed.out.find("\n  fixed: ktsmctl delete " + g + " " + v + "\n"), std::string::npos)
        << fixed.out;
  } else {
    EXPECT_EQ(ok({"delete", g, v}), "version " + v + " of group " + g + " deleted\n");
  }
  EXPECT_EQ(names_in(snaps(g)), std::vector<std::string>{"v0"});
}

// Resolves what a snapshot v killed before it finished left, on whichever
// side of its first state write the kill came.
void CrashTest::resolve_killed_snapshot(const std::string& g, const std::string& v,
                                        bool* had_state) {
  std::string state;
  *had_state = read_state(snaps(g) + "/" + v, &state);
  // Killed before its first state write, the version is listed without one.
  if (*had_state) {
    ASSERT_EQ(state, "1") << "the killed snapshot left another state";
  }
  resolve_in_progress(g, v, *had_state ? "1" : "", *had_state ? "create in progress" : "unknown ()",
                      "ktsmctl delete " + g + " " + v + ", then take the snapshot again");
}

// v0 is intact and healthy; deleting it leaves an empty .snaps, a doctor
// with nothing to say, and the live files as they were.
void CrashTest::expect_clean_after_v0(const std::string& g, const std::vector<live_file>& files) {
  EXPECT_TRUE(holds(snaps(g) + "/v0/" + files[0].name, files[0])) << "v0 changed";
  EXPECT_EQ(names_in(snaps(g) + "/v0"), (std::vector<std::string>{".snaps", files[0].name}));
  EXPECT_TRUE(path_exists(snaps(g) + "/v0/" + kDeletedList));
  result doctor = ktsmctl({"doctor"});
  EXPECT_EQ(doctor.status, 0) << doctor.out;
  ok({"delete", g, "v0"});
  EXPECT_EQ(names_in(snaps(g)), std::vector<std::string>{});
  doctor = ktsmctl({"doctor"});
  EXPECT_EQ(doctor.status, 0) << doctor.out;
  EXPECT_EQ(doctor.out.rfind("no problems found", 0), 0u) << doctor.out;
  expect_live_untouched(g, files);
}

// ---- the crashes ----------------------------------------------------------

// A small first file (the one v0 holds) and big ones, so that copying them
// all takes long enough to be caught while it runs.
std::vector<live_file> big_group_files() {
  std::vector<live_file> files{{"notes.txt", 5000}};
  for (int i = 0; i < 16; ++i) files.push_back({"data" + std::to_string(i) + ".bin", 16 * kChunk});
  return files;
}

// How many of the files have a complete copy in the version directory.
size_t complete_copies(const std::string& version_dir, const std::vector<live_file>& files) {
  size_t n = 0;
  for (const live_file& f : files) {
    if (size_of(version_dir + "/" + f.name) == static_cast<off_t>(f.size)) ++n;
  }
  return n;
}

// Files in the version directory when the copy is killed: the first few
// complete, one under way.
const size_t kCopiedAtKill = 4;

TEST_F(CrashTest, SnapshotKilledWhileCopying) {
  const std::vector<live_file> files = big_group_files();
  make_group("g", files);
  const std::string version_dir = snaps("g") + "/v1";
  // Two files copied at once: at the kill at most two are incomplete.
  ::setenv("KTFS_COPY_WORKERS", "2", 1);
  // Files count as unchanged since v1 began (see below).
  ::setenv("KTSM_LINK_CLOCK_MARGIN_MS", "0", 1);
  // Well into the copy: the state says "create in progress" and the version
  // holds several of the files, but not all of them.
  auto mid_copy = [&] {
    std::string state;
    size_t copied = names_in(version_dir).size();
    return read_state(version_dir, &state) && state == "1" && copied >= kCopiedAtKill &&
           copied < files.size();
  };
  std::string err;
  int killed =
      interrupt({"snapshot", "g", "v1"}, without_version("g", "v1"), mid_copy, SIGKILL, &err);
  ::unsetenv("KTFS_COPY_WORKERS");
  ASSERT_EQ(killed, kKilledBy + SIGKILL);
  size_t complete = complete_copies(version_dir, files);
  EXPECT_GE(complete, kCopiedAtKill - 2);
  EXPECT_LT(complete, files.size());
  EXPECT_FALSE(path_exists(version_dir + "/" + kDeletedList));

  // The next snapshot shares nothing with the interrupted one, though its
  // files are unchanged since it began: every file is whole, and each of
  // v1's keeps its one name.
  ok({"snapshot", "g", "v2"});
  ::unsetenv("KTSM_LINK_CLOCK_MARGIN_MS");
  EXPECT_EQ(complete_copies(snaps("g") + "/v2", files), files.size());
  for (const std::string& name : names_in(version_dir)) {
    struct stat st;
    ASSERT_EQ(::lstat((version_dir + "/" + name).c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_nlink, 1u) << name;
  }
  ok({"delete", "g", "v2"});

  bool had_state = false;  // it was: the state read "1" before the kill
  resolve_killed_snapshot("g", "v1", &had_state);
  expect_clean_after_v0("g", files);
}

TEST_F(CrashTest, SnapshotKilledBeforeItsStateIsWritten) {
  const std::vector<live_file> files{{"notes.txt", 300}, {"more.txt", 2 * kChunk + 7}};
  make_group("g", files);
  const std::string version_dir = snaps("g") + "/v1";
  launch l = command({"snapshot", "g", "v1"});
  l.traced = true;
  pid_t pid = start(l);
  ASSERT_GT(pid, 0);
  bool stopped;
  {
    watchdog guard(pid, kReachLimit);
    stopped = run_until_state_write(pid, version_dir);
  }
  ::kill(-pid, SIGKILL);
  int status = wait_bounded(pid, kRunLimit);
  ASSERT_TRUE(stopped) << "ktsmctl was not seen writing the new version's state";
  ASSERT_TRUE(killed_by_sigkill(status)) << "wait status " << status;
  EXPECT_TRUE(path_exists(version_dir));

  bool had_state = true;
  resolve_killed_snapshot("g", "v1", &had_state);
  EXPECT_FALSE(had_state) << "the kill came after the state write";
  expect_clean_after_v0("g", files);
}

// Writes a stand-in export command into dir that records its process id
// and arguments in the file started, then waits without end of its own.
void write_waiting_storhaug(const std::string& dir, const std::string& started) {
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  std::ofstream script(dir + "/storhaug");
  script << "#!/bin/sh\n"
         << "printf '%s\\n%s\\n' \"$$\" \"$*\" > '" << started << ".tmp'\n"
         << "mv '" << started << ".tmp' '" << started << "'\n"
         << "exec sleep 60\n";
  ASSERT_TRUE(script.flush());
  script.close();
  ASSERT_EQ(::chmod((dir + "/storhaug").c_str(), 0755), 0);
}

// Kills ktsmctl's process group (unless it has ended) and then the export
// command's, and reaps them all (the command's processes are this process's
// children once ktsmctl is gone); returns ktsmctl's wait status.
int kill_export(pid_t pid, bool ended, pid_t command_group) {
  int status = 0;
  if (!ended) {
    ::kill(-pid, SIGKILL);
    status = wait_bounded(pid, kRunLimit);
  }
  if (command_group > 0) ::kill(-command_group, SIGKILL);
  EXPECT_TRUE(reap_all_children(seconds(10))) << "processes of the export command are left";
  EXPECT_FALSE(command_group > 0 && group_exists(command_group)) << "the export command is left";
  EXPECT_FALSE(group_exists(pid)) << "a process of ktsmctl is left";
  return status;
}

TEST_F(CrashTest, ExportKilledWhileTheCommandRuns) {
  const std::vector<live_file> files{{"notes.txt", 300}, {"report.txt", kChunk + 11}};
  make_group("g", files);
  ok({"snapshot", "g", "v1"});
  const std::string fake_dir = m_dir.path() + "/fake-bin", started = m_dir.path() + "/started";
  write_waiting_storhaug(fake_dir, started);
  // The waiting stand-in comes first on PATH, where ktsmctl looks for it.
  pid_t pid = start(command({"export", "g", "v1"}, system_path(fake_dir)));
  ASSERT_GT(pid, 0);
  auto command_started = [&] { return path_exists(started); };
  bool ended = false;
  bool reached = poll_until(pid, command_started, &ended);
  std::istringstream record(read_text(started));
  pid_t command_pid = 0;
  std::string arguments;
  record >> command_pid;
  std::getline(record >> std::ws, arguments);
  pid_t command_group = command_pid > 0 ? ::getpgid(command_pid) : -1;
  std::string state;
  bool had_state = read_state(snaps("g") + "/v1", &state);
  int status = kill_export(pid, ended, command_group);
  ASSERT_TRUE(reached) << (ended ? "ktsmctl ended before the export command started"
                                 : "the export command did not start in time");
  ASSERT_TRUE(killed_by_sigkill(status)) << "wait status " << status;
  // A local volume exports under "local-" and a hash of its directory.
  EXPECT_TRUE(
      std::regex_match(arguments, std::regex("exportdir /local-[0-9a-f]{16}///g/\\.snaps/v1")))
      << arguments;
  EXPECT_TRUE(had_state && state == "7") << "state while exporting: " << state;

  resolve_in_progress("g", "v1", "7", "export in progress",
                      "ktsmctl unexport g v1, then export it again if it should be exported", true);
  expect_clean_after_v0("g", files);
}

// ---- interrupts ----------------------------------------------------------

// ktsmctl asked to stop (SIGINT, SIGTERM) while it copies, or killed: it
// stops at its next entry, says what it left and the command that finishes
// or undoes it, and exits 128 + the signal; a restore left half done is
// recorded on the volume before its first change, so that list and doctor
// name it, from any process, until a restore finishes.
class InterruptTest : public CrashTest {
 protected:
  // The live group's files when a restore has brought some back, not all.
  std::function<bool()> mid_restore(const std::string& g, size_t files) {
    return [this, g, files] {
      size_t back = names_in(host("/" + g)).size() - 1;  // but .snaps
      return names_in(snaps(g)).size() > 2 && back >= kCopiedAtKill && back < files;
    };
  }
  nlohmann::json partly_restored(const std::string& g) {
    nlohmann::json all = nlohmann::json::parse(ok({"list", "--json"}), nullptr, false);
    for (const nlohmann::json& group : all) {
      if (group.value("name", "") == "//" + g) return group.at("partly_restored");
    }
    return "not listed";
  }
};

TEST_F(InterruptTest, StoppedCommandsSayWhatIsLeftAndDoctorNamesIt) {
  const std::vector<live_file> files = big_group_files();
  make_group("g", files);
  ::setenv("KTFS_COPY_WORKERS", "2", 1);
  std::string err;
  const std::string v1 = snaps("g") + "/v1";
  auto mid_copy = [&] {
    size_t copied = names_in(v1).size();
    return copied >= kCopiedAtKill && copied < files.size();
  };
  EXPECT_EQ(interrupt({"snapshot", "--full", "g", "v1"}, without_version("g", "v1"), mid_copy,
                      SIGINT, &err),
            130);
  EXPECT_NE(err.find("interrupted (SIGINT)"), std::string::npos) << err;
  EXPECT_NE(err.find("remove it with \"ktsmctl delete g v1\""), std::string::npos) << err;
  EXPECT_LT(complete_copies(v1, files), files.size()) << "the copy stopped";
  std::string state;
  EXPECT_TRUE(read_state(v1, &state) && state == "1") << state;
  result dry = ktsmctl({"restore", "g", "v1", "--dry-run"});
  EXPECT_EQ(dry.status, 1) << "an unfinished snapshot is refused, dry run or not";
  EXPECT_NE(dry.err.find("would be refused"), std::string::npos) << dry.err;
  // What it left goes with prune --leftovers; finished snapshots stay.
  std::string plan = ok({"prune", "g", "--leftovers", "--dry-run"});
  EXPECT_NE(plan.find("remove  v1\t"), std::string::npos) << plan;
  EXPECT_NE(plan.find("\tleft create in progress\n"), std::string::npos) << plan;
  EXPECT_NE(plan.find("keep    v0\t"), std::string::npos) << plan;
  ok({"prune", "g", "--leftovers"});
  EXPECT_EQ(names_in(snaps("g")), std::vector<std::string>{"v0"});

  // A whole restore stopped while it copies back, then one killed: each
  // time the group is named as partly restored with both remedies.
  ok({"snapshot", "g", "v1"});
  for (int signal : {SIGTERM, SIGKILL}) {
    SCOPED_TRACE(signal == SIGTERM ? "SIGTERM" : "SIGKILL");
    auto all_but_one_gone = [&] {
      for (size_t i = 1; i < files.size(); ++i) ::unlink(host("/g/" + files[i].name).c_str());
    };
    EXPECT_EQ(interrupt({"restore", "g", "v1"}, all_but_one_gone, mid_restore("g", files.size()),
                        signal, &err),
              signal == SIGKILL ? kKilledBy + SIGKILL : 128 + signal);
    if (signal == SIGTERM) {
      EXPECT_NE(err.find("interrupted (SIGTERM)"), std::string::npos) << err;
      EXPECT_NE(err.find("finish with \"ktsmctl restore g v1\", or undo with \"ktsmctl restore g "
                         "pre-restore-"),
                std::string::npos)
          << err;
    }
    nlohmann::json partly = partly_restored("g");
    ASSERT_TRUE(partly.is_object()) << partly;
    EXPECT_EQ(partly.at("version"), "v1");
    std::string safety = partly.at("safety");
    EXPECT_TRUE(holds(snaps("g") + "/" + safety + "/" + files[0].name, files[0]));
    EXPECT_EQ(names_in(snaps("g") + "/" + safety).size(), 2u) << "the live group as it was";
    result doctor = ktsmctl({"doctor"});
    EXPECT_EQ(doctor.status, 1);
    EXPECT_NE(doctor.out.find("group g: partly restored from v1\n"), std::string::npos)
        << doctor.out;
    EXPECT_NE(doctor.out.find("resolve: finish with \"ktsmctl restore g v1\", or undo with "
                              "\"ktsmctl restore g " +
                              safety + "\"\n"),
              std::string::npos)
        << doctor.out;
    ok({"restore", "g", "v1"});
    EXPECT_TRUE(partly_restored("g").is_null());
    for (const live_file& f : files) EXPECT_TRUE(holds(host("/g/" + f.name), f)) << f.name;
  }
  ::unsetenv("KTFS_COPY_WORKERS");
  result doctor = ktsmctl({"doctor"});
  EXPECT_EQ(doctor.status, 0) << doctor.out;
}

}  // namespace
