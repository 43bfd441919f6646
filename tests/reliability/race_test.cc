// Two ktsmctl processes racing two changing operations on one group, on a
// local volume and on a GlusterFS volume (each process its own client).  The
// second starts at once, or once the first has reached a given state on the
// volume, so that each order happens.  Whatever order the operations end up
// in, both exit statuses must be true to what the volume holds afterwards, a
// fresh listing must show the volume as it is, and every version on it must
// be settled and hold every file of the group.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ktfs/ktfs_api.h"
#include "support/gluster_volume.h"
#include "support/ktsmctl_run.h"
#include "support/test_volumes.h"

extern char** environ;

namespace {

using ktsm_test::read_text;
using ktsm_test::tool_dir;

using ktsm_test::backend_kind;
typedef std::chrono::steady_clock steady;
typedef std::vector<std::string> words;
typedef std::map<std::string, std::string> version_states;

// Hang detection only: one ktsmctl run, and waiting for a state to show.
const std::chrono::seconds kRunLimit(120);
const std::chrono::seconds kReachLimit(60);
const char kStateAttribute[] = "trusted.norvafs.snapstate";

// The live files: f0, f1, ... of a few hundred bytes at most, each its own.
std::string file_content(int i) {
  return std::string(1 + i % 300, static_cast<char>('a' + i % 26)) + std::to_string(i);
}

// Starts ktsmctl in a process group of its own, its streams into dir/stdout
// and dir/stderr, with no KTSM_* of this process and the given PATH.  The
// child only makes async-signal-safe calls: everything is prepared first.
pid_t start_ktsmctl(const std::string& dir, const words& args, const std::string& path) {
  words env_words, argv_words{"ktsmctl"};
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e, name = entry.substr(0, entry.find('='));
    if (name.rfind("KTSM_", 0) != 0 && name != "PATH" && name != "STORHAUG_EXPORT_DIR") {
      env_words.push_back(entry);
    }
  }
  env_words.insert(env_words.end(), {"PATH=" + path, "KTSM_LOG=" + dir + "/ktsmctl.log",
                                     "STORHAUG_EXPORT_DIR=" + dir + "/../exports"});
  argv_words.insert(argv_words.end(), args.begin(), args.end());
  std::vector<char*> argv, envp;
  for (std::string& w : argv_words) argv.push_back(&w[0]);
  for (std::string& w : env_words) envp.push_back(&w[0]);
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  ::mkdir(dir.c_str(), 0755);
  int out = ::open((dir + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int err = ::open((dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_t pid = (out >= 0 && err >= 0) ? ::fork() : -1;
  if (pid == 0) {
    ::setpgid(0, 0);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    ::execve(KTSMCTL_BIN, argv.data(), envp.data());
    ::_exit(127);
  }
  if (pid > 0) ::setpgid(pid, pid);
  if (out >= 0) ::close(out);
  if (err >= 0) ::close(err);
  return pid;
}

// Waits for pid, killing its process group once the limit has passed; its
// exit status, or -1 when it did not exit by itself.
int finish(pid_t pid) {
  steady::time_point deadline = steady::now() + kRunLimit;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (steady::now() > deadline) {
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      ADD_FAILURE() << "ktsmctl hung and was killed";
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The volume read on this machine behind every client: a local volume's
// directory, or each brick of the GlusterFS volume (a directory is on every
// brick, a file on the one its name hashes to).
class volume_view {
 public:
  std::vector<std::string> roots;

  bool exists(const std::string& p) const { return !copy_of(p).empty(); }
  // The state attribute; "" when missing.
  std::string state(const std::string& p) const {
    char buf[64];
    ssize_t n = ::getxattr(copy_of(p).c_str(), kStateAttribute, buf, sizeof buf);
    return n > 0 ? std::string(buf, strnlen(buf, static_cast<size_t>(n))) : "";
  }
  std::set<std::string> names(const std::string& dir) const {
    std::set<std::string> found;
    for (const std::string& root : roots) {
      DIR* d = ::opendir((root + dir).c_str());
      if (d == nullptr) continue;
      while (dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != ".." && exists(dir + "/" + n)) found.insert(n);
      }
      ::closedir(d);
    }
    return found;
  }
  std::string content(const std::string& p) const { return read_text(copy_of(p)); }
  version_states versions(const std::string& g) const {
    version_states found;
    for (const std::string& v : names("/" + g + "/.snaps")) {
      struct stat st;
      std::string dir = "/" + g + "/.snaps/" + v;
      if (::lstat(copy_of(dir).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) found[v] = state(dir);
    }
    return found;
  }

 private:
  // The first real copy of p: DHT's link-to files (empty, mode 01000) only
  // point at the brick that holds the file.
  std::string copy_of(const std::string& p) const {
    for (const std::string& root : roots) {
      struct stat st;
      if (::lstat((root + p).c_str(), &st) != 0) continue;
      bool link_to = S_ISREG(st.st_mode) && (st.st_mode & 07777) == S_ISVTX && st.st_size == 0;
      if (!link_to) return root + p;
    }
    return "";
  }
};

words split(const std::string& text) {
  std::istringstream in(text);
  words out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

// One race on a group of many files (or an empty one), with at most one
// version made before it ("name state"): the two operations (without the
// group), and when the second starts: at once, or when the watched version
// has the watched state ("name state").
struct race_row {
  bool live_files;
  const char* before;
  const char* first;
  const char* second;
  const char* watch;
};

const race_row kRows[] = {
    {true, "", "snapshot race", "delete race", "race 1"},
    {true, "", "delete race", "snapshot race", ""},
    {true, "old 2", "snapshot race", "delete old", "race 1"},
    {true, "old 2", "delete old", "snapshot race", "old 5"},
    {true, "old 2", "snapshot race", "export old", "race 1"},
    {true, "old 2", "export old", "snapshot race", "old 7"},
    {true, "old 8", "snapshot race", "unexport old", "race 1"},
    {true, "old 8", "unexport old", "snapshot race", "old 10"},
    {false, "", "snapshot race", "delete-group", ""},
    {false, "", "delete-group", "snapshot race", ""},
    {true, "old 2", "delete old", "export old", "old 5"},
    {true, "old 2", "export old", "delete old", "old 7"},
};

// A row read: before and watch are empty or {version, state}.
struct plan {
  bool live_files;
  words before, first, second, watch;
};

struct ran {
  words op;
  int status = -1;
  std::string err;
};

class RaceTest : public ::testing::TestWithParam<backend_kind> {
 protected:
  void SetUp() override {
    const std::string local = m_dir.path() + "/volume";
    ktfs::iopx_tree_cfg cfg{"glusterfs", "local", "", local};
    if (GetParam() == backend_kind::local) {
      ::mkdir(local.c_str(), 0755);
      m_volume_args = {"--local", local};
      m_view.roots = {local};
      m_file_count = 2000;
    } else {
      std::string skip;
      ktsm_test::gluster_volume* v = ktsm_test::gluster_volume_for(GetParam(), &skip);
      if (!skip.empty()) GTEST_SKIP() << skip;
      ASSERT_NE(v, nullptr);
      cfg = ktfs::iopx_tree_cfg{"glusterfs", v->name(), v->server(), ""};
      m_volume_args = {"--server", v->server(), "--volume", v->name()};
      m_view.roots = v->bricks();
      m_file_count = 400;
    }
    // The export command takes a while, so that an export can be raced.
    std::string bin = m_dir.path() + "/bin";
    ::mkdir(bin.c_str(), 0755);
    std::ofstream(bin + "/storhaug")
        << "#!/bin/sh\nsleep 0.5\nexec '" << tool_dir() << "/storhaug' \"$@\"\n";
    ::chmod((bin + "/storhaug").c_str(), 0755);
    m_path = bin + ":/usr/sbin:/usr/bin:/sbin:/bin";
    // A new GlusterFS volume may answer a first client before every brick
    // does: wait until a ktsmctl can read its top.
    for (int i = 0; i < 60 && run("", {"list"}).status != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    m_io = m_api.init(cfg);
    ASSERT_TRUE(m_io) << "no client connection for the test";
  }

  pid_t start(const std::string& g, words op, int slot) {
    if (!g.empty()) op.insert(op.begin() + 1, g);
    op.insert(op.begin(), m_volume_args.begin(), m_volume_args.end());
    return start_ktsmctl(m_dir.path() + "/p" + std::to_string(slot), op, m_path);
  }
  ran run(const std::string& g, const words& op, int slot = 0) {
    ran r{op, finish(start(g, op, slot)), ""};
    r.err = read_text(m_dir.path() + "/p" + std::to_string(slot) + "/stderr");
    return r;
  }
  void ok(const std::string& g, const words& op) {
    ran r = run(g, op);
    ASSERT_EQ(r.status, 0) << op[0] << ": " << r.err;
  }

  void make_group(const std::string& g, const plan& p);
  void race(const std::string& g, const plan& p, ran* first, ran* second);
  std::string untrue(const std::string& g, const plan& p, const ran& r, const ran& other);
  void expect_versions_whole(const std::string& g);
  void expect_listing_matches(const std::string& g);

  ktsm_test::scratch_dir m_dir;
  words m_volume_args;
  std::string m_path;
  volume_view m_view;
  // Enough small files that a snapshot or a deletion lasts about a second,
  // well beyond a ktsmctl's start-up; fewer on GlusterFS, where each costs more.
  int m_file_count = 0;
  ktfs::ktfs_api m_api;
  ktfs::iopx_ptr m_io;
};

void RaceTest::make_group(const std::string& g, const plan& p) {
  ok(g, {"create-group"});
  for (int i = 0; p.live_files && i < m_file_count; ++i) {
    std::string path = "/" + g + "/f" + std::to_string(i), text = file_content(i);
    ktfs::file_ptr f = m_api.open(m_io, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644, {});
    ASSERT_TRUE(f) << "cannot write " << path;
    size_t done = 0;
    ASSERT_FALSE(m_api.write(f, text.data(), text.size(), 0, &done, {}));
    ASSERT_FALSE(m_api.close(f, {}));
  }
  if (p.before.empty()) return;
  ok(g, {"snapshot", p.before[0]});
  if (p.before[1] == "8") ok(g, {"export", p.before[0]});
}

void RaceTest::race(const std::string& g, const plan& p, ran* first, ran* second) {
  pid_t pid = start(g, p.first, 1);
  ASSERT_GT(pid, 0);
  int status = 0;
  bool ended = false;
  if (!p.watch.empty()) {
    std::string watched = "/" + g + "/.snaps/" + p.watch[0];
    steady::time_point deadline = steady::now() + kReachLimit;
    bool reached = false;
    while (!reached && !ended && steady::now() < deadline) {
      reached = m_view.state(watched) == p.watch[1];
      ended = !reached && ::waitpid(pid, &status, WNOHANG) == pid;
      if (!reached) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(reached) << "the first operation was not seen in state " << p.watch[1];
  }
  pid_t other = start(g, p.second, 2);
  int first_status = ended ? (WIFEXITED(status) ? WEXITSTATUS(status) : -1) : finish(pid);
  *first = ran{p.first, first_status, read_text(m_dir.path() + "/p1/stderr")};
  *second = ran{p.second, other > 0 ? finish(other) : -1, read_text(m_dir.path() + "/p2/stderr")};
}

// Why r's exit status is not true to what the volume holds; "" when it is.
std::string RaceTest::untrue(const std::string& g, const plan& p, const ran& r, const ran& other) {
  // The notice that a command waits for the other's group lock is no
  // failure message, nor is AddressSanitizer's note on the GlusterFS
  // client's context switches.
  std::string err = std::regex_replace(
      r.err, std::regex("(ktsmctl: warning: [^\n]*waiting|==[0-9]+==WARNING: ASan)[^\n]*\n"), "");
  if (r.status != 0 && (r.status != 1 || std::count(err.begin(), err.end(), '\n') != 1)) {
    return "not status 0, nor 1 with one message";
  }
  if (r.status == 0 && !err.empty()) return "status 0 with a message";
  const std::string& verb = r.op[0];
  std::string v = r.op.size() > 1 ? r.op[1] : "";
  std::string path = "/" + g + "/.snaps/" + v, state = m_view.state(path);
  bool present = m_view.exists(path), done = r.status == 0;
  bool deleted_by_other = other.op == words{"delete", v} && other.status == 0;
  bool before = !p.before.empty() && p.before[0] == v;
  bool made = before || (other.op == words{"snapshot", v} && other.status == 0);
  bool truthful = false;
  if (verb == "snapshot") {
    truthful = done ? (present && state == "2") || (!present && deleted_by_other) : !present;
  } else if (verb == "delete") {
    truthful = done ? !present : present || !made;
  } else if (verb == "export") {
    truthful = done ? state == "8" : !present || (before && state == p.before[1]);
  } else if (verb == "unexport") {
    truthful = done ? present && state == "2" : state == "8";
  } else if (verb == "delete-group") {
    truthful = done ? !m_view.exists("/" + g) : m_view.exists("/" + g + "/.snaps");
  }
  if (truthful) return "";
  return "status " + std::to_string(r.status) + " but the version is " +
         (present ? "in state \"" + state + "\"" : "absent");
}

// Every version on the volume is settled and holds every file of the group.
void RaceTest::expect_versions_whole(const std::string& g) {
  std::set<std::string> live = m_view.names("/" + g);
  live.erase(".snaps");
  for (const auto& v : m_view.versions(g)) {
    SCOPED_TRACE("version " + v.first);
    EXPECT_TRUE(v.second == "2" || v.second == "8") << "left in state " << v.second;
    std::string dir = "/" + g + "/.snaps/" + v.first;
    std::set<std::string> held;
    for (const std::string& n : m_view.names(dir)) {
      if (n != ".snaps") held.insert(n);  // the version's own list is in there
    }
    EXPECT_TRUE(held == live) << "it holds " << held.size() << " of " << live.size() << " files";
    std::vector<int> differ;
    for (int i = 0; i < static_cast<int>(live.size()); i += 97) {
      if (m_view.content(dir + "/f" + std::to_string(i)) != file_content(i)) differ.push_back(i);
    }
    EXPECT_EQ(differ, std::vector<int>{}) << "these files differ";
  }
}

// A fresh ktsmctl rebuilds from the volume exactly what it holds.
void RaceTest::expect_listing_matches(const std::string& g) {
  ran r = run("", {"list", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string out = read_text(m_dir.path() + "/p0/stdout");
  nlohmann::json all = nlohmann::json::parse(out, nullptr, false);
  ASSERT_TRUE(all.is_array()) << out;
  bool listed = false;
  version_states versions;
  for (const nlohmann::json& group : all) {
    if (group.value("name", "") != "//" + g) continue;
    listed = true;
    for (const nlohmann::json& v : group.at("versions")) {
      if (v.at("production") != true) versions[v.at("name")] = v.at("state");
    }
  }
  EXPECT_EQ(listed, m_view.exists("/" + g + "/.snaps"));
  EXPECT_EQ(versions, m_view.versions(g));
}

TEST_P(RaceTest, EveryPairEndsTrueToTheVolume) {
  int n = 0;
  for (const race_row& row : kRows) {
    SCOPED_TRACE(std::string(row.first) + ", then " + row.second +
                 (*row.watch ? std::string(" when ") + row.watch : " at once"));
    const plan p{row.live_files, split(row.before), split(row.first), split(row.second),
                 split(row.watch)};
    const std::string g = "race" + std::to_string(n++);
    make_group(g, p);
    if (HasFatalFailure()) return;
    ran first, second;
    race(g, p, &first, &second);
    EXPECT_EQ(untrue(g, p, first, second), "") << row.first << ": " << first.err;
    EXPECT_EQ(untrue(g, p, second, first), "") << row.second << ": " << second.err;
    expect_versions_whole(g);
    expect_listing_matches(g);
  }
}

// Ctrl-C during a snapshot and SIGTERM during a whole restore: each stops
// at its next entry, exits 128 + the signal, and leaves what it says: the
// version "create in progress", the group recorded as partly restored until
// a restore finishes.
TEST_P(RaceTest, InterruptedSnapshotAndRestoreLeaveWhatTheySay) {
  if (GetParam() == backend_kind::local) GTEST_SKIP() << "InterruptTest stops them locally";
  const std::string g = "stopped", v = "/stopped/.snaps/v";
  make_group(g, plan{true, {}, {}, {}, {}});
  if (HasFatalFailure()) return;
  const size_t files = static_cast<size_t>(m_file_count);
  auto partway = [this, files](const std::string& dir, size_t extra) {
    size_t n = m_view.names(dir).size();
    return n >= 10 + extra && n < files + extra;
  };
  // Sends signal to pid once reached is true; pid's exit status.
  auto stop_when = [](pid_t pid, const std::function<bool()>& reached, int signal) {
    steady::time_point deadline = steady::now() + kReachLimit;
    while (!reached() && steady::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(reached()) << "not caught under way";
    ::kill(pid, signal);
    return finish(pid);
  };
  pid_t pid = start(g, {"snapshot", "--full", "v"}, 1);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(stop_when(
                pid, [&] { return m_view.state(v) == "1" && partway(v, 0); }, SIGINT),
            130)
      << read_text(m_dir.path() + "/p1/stderr");
  EXPECT_EQ(m_view.state(v), "1");
  EXPECT_LT(m_view.names(v).size(), files);
  ok(g, {"delete", "v"});
  ok(g, {"snapshot", "v"});

  for (size_t i = 0; i < files; ++i) {
    ASSERT_FALSE(m_api.unlink(m_io, ("/stopped/f" + std::to_string(i)).c_str(), {}));
  }
  pid = start(g, {"restore", "v"}, 1);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(stop_when(
                pid, [&] { return partway("/stopped", 1); }, SIGTERM),
            143)
      << read_text(m_dir.path() + "/p1/stderr");
  auto partly = [this] {
    EXPECT_EQ(run("", {"list", "--json"}).status, 0);
    nlohmann::json all = nlohmann::json::parse(read_text(m_dir.path() + "/p0/stdout"));
    for (const nlohmann::json& group : all) {
      if (group.at("name") == "//stopped") return group.at("partly_restored");
    }
    return nlohmann::json("not listed");
  };
  nlohmann::json left = partly();
  ASSERT_TRUE(left.is_object()) << left;
  EXPECT_EQ(left.at("version"), "v");
  ok(g, {"restore", "v"});
  EXPECT_TRUE(partly().is_null());
  EXPECT_EQ(m_view.names("/stopped").size(), files + 1);
}

INSTANTIATE_TEST_SUITE_P(Backends, RaceTest,
                         ::testing::Values(backend_kind::local, backend_kind::gluster_distributed),
                         [](const ::testing::TestParamInfo<backend_kind>& info) {
                           return std::string(ktsm_test::backend_name(info.param));
                         });

}  // namespace
