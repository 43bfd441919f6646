// ktsmctl run as separate processes, so that every step goes through a
// fresh start-up recovery; on a local volume and on a real GlusterFS volume.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ktfs/ktfs_api.h"
#include "support/gluster_volume.h"
#include "support/ktsmctl_run.h"
#include "support/test_volumes.h"

namespace {

using ktsm_test::read_text;
using ktsm_test::tool_dir;

using ktsm_test::backend_kind;

// Environment changes for one run: a value, or unset when absent.
typedef std::map<std::string, const char*> env_changes;

struct result {
  int status = -1;
  std::string out;
  std::string err;
};

// Starts ktsmctl with args; standard output and error go to files in dir.
// The child sees no KTSM_* variable but KTSM_LOG (into dir), the build's
// storhaug first on PATH, and then the changes.
pid_t start_ktsmctl(const std::string& dir, const std::vector<std::string>& args,
                    const env_changes& changes = {}) {
  std::string out_path = dir + "/stdout", err_path = dir + "/stderr";
  pid_t pid = ::fork();
  if (pid == 0) {
    for (const char* name : {"KTSM_LOCAL", "KTSM_SERVER", "KTSM_VOLUME", "KTSM_HOME"}) {
      ::unsetenv(name);
    }
    ::setenv("KTSM_LOG", (dir + "/ktsmctl.log").c_str(), 1);
    ::setenv("STORHAUG_EXPORT_DIR", (dir + "/exports").c_str(), 1);
    ::setenv("PATH", (tool_dir() + ":/usr/sbin:/usr/bin:/sbin:/bin").c_str(), 1);
    for (const auto& change : changes) {
      change.second ? ::setenv(change.first.c_str(), change.second, 1)
                    : ::unsetenv(change.first.c_str());
    }
    ::dup2(::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
    ::dup2(::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
    std::vector<char*> argv{const_cast<char*>("ktsmctl")};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(KTSMCTL_BIN, argv.data());
    ::_exit(127);
  }
  return pid;
}

// Waits for the ktsmctl started in dir and collects what it said.
result finish_ktsmctl(const std::string& dir, pid_t pid) {
  std::string out_path = dir + "/stdout", err_path = dir + "/stderr";
  result r;
  int status = 0;
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
    r.status = WEXITSTATUS(status);
  }
  r.out = read_text(out_path);
  r.err = read_text(err_path);
  return r;
}

// Runs ktsmctl with args, as start_ktsmctl starts it.
result run_ktsmctl(const std::string& dir, const std::vector<std::string>& args,
                   const env_changes& changes = {}) {
  return finish_ktsmctl(dir, start_ktsmctl(dir, args, changes));
}

std::string describe(const std::vector<std::string>& args, const result& r) {
  std::string line = "ktsmctl";
  for (const std::string& a : args) line += " '" + a + "'";
  return line + " -> " + std::to_string(r.status) + "\nstdout: " + r.out + "\nstderr: " + r.err;
}

// The 16 bytes of a snapshot state: the text, then zero bytes.
std::string state_bytes(const std::string& text) {
  std::string bytes(16, '\0');
  bytes.replace(0, text.size(), text);
  return bytes;
}

// A client connection of the test's own, to change the volume behind the
// tool's back.
class volume_access {
 public:
  void connect(std::shared_ptr<ktfs::backend> backend) {
    ASSERT_TRUE(backend) << "no client connection for the test";
    m_io.reset(new ktfs::ktfs_iopx(backend));
  }
  void write_file(const std::string& path, const std::string& content) {
    ktfs::file_ptr f = m_api.open(m_io, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644, m_aio);
    ASSERT_TRUE(f) << "cannot open " << path;
    size_t done = 0;
    ASSERT_FALSE(m_api.write(f, content.data(), content.size(), 0, &done, m_aio));
    ASSERT_FALSE(m_api.close(f, m_aio));
  }
  void set_xattr(const std::string& path, const std::string& name, const std::string& value) {
    std::string bytes = value;
    struct iovec iov = {&bytes[0], bytes.size()};
    ASSERT_FALSE(m_api.setxattr(m_io, path.c_str(), name.c_str(), &iov, 0, m_aio))
        << "setxattr " << name << " on " << path;
  }
  void mkdir(const std::string& path) {
    ASSERT_FALSE(m_api.mkdir(m_io, path.c_str(), 0755, m_aio));
  }
  void rmdir(const std::string& path) { ASSERT_FALSE(m_api.rmdir(m_io, path.c_str(), m_aio)); }
  void unlink(const std::string& path) { ASSERT_FALSE(m_api.unlink(m_io, path.c_str(), m_aio)); }
  void symlink(const std::string& target, const std::string& path) {
    ASSERT_FALSE(m_api.symlink(m_io, target.c_str(), path.c_str(), m_aio)) << path;
  }
  // The file's content, or "<missing>".
  std::string read_file(const std::string& path) {
    ktfs::file_ptr f = m_api.open(m_io, path.c_str(), O_RDONLY, m_aio);
    if (!f) return "<missing>";
    std::string content(4096, '\0');
    size_t done = 0;
    m_api.read(f, &content[0], content.size(), 0, &done, m_aio);
    m_api.close(f, m_aio);
    return content.substr(0, done);
  }
  std::string xattr(const std::string& path, const std::string& name) {
    char buffer[256] = {};
    struct iovec iov = {buffer, sizeof buffer};
    int64_t n = m_api.lgetxattr(m_io, path.c_str(), name.c_str(), &iov, m_aio);
    return n < 0 ? "<none>" : std::string(buffer, static_cast<size_t>(n));
  }
  ino_t inode(const std::string& path) {
    struct stat st = {};
    return m_api.lstat(m_io, path.c_str(), &st, m_aio) ? 0 : st.st_ino;
  }
  // Holds the lock of the group's lock file as another process would.
  ktfs::file_ptr lock_group(const std::string& group) {
    std::string path = "/" + group + "/.snaps/.ktsm-lock";
    ktfs::file_ptr f = m_api.open(m_io, path.c_str(), O_RDWR | O_CREAT, 0600, m_aio);
    EXPECT_TRUE(f && !m_api.lock(f, true, m_aio)) << "cannot lock " << path;
    return f;
  }
  void unlock(ktfs::file_ptr f) { m_api.close(f, m_aio); }
  // For the calls the helpers above do not make.
  ktfs::ktfs_api& api() { return m_api; }
  const ktfs::iopx_ptr& io() const { return m_io; }

 private:
  ktfs::ktfs_api m_api;
  ktfs::iopx_ptr m_io;
  ktfs::aio_ptr m_aio;
};

// The volume name that ktsmctl starts the library with on the local volume
// dir, read back from the export block that exporting a snapshot writes:
// "local-" and 16 hexadecimal digits.  Empty when it cannot be had.
std::string local_volume_name(const std::string& dir) {
  ktsm_test::scratch_dir scratch;
  std::string out;
  ktsm_test::run_command("mkdir -p '" + dir + "'", &out);
  for (const auto& step : std::vector<std::vector<std::string>>{
           {"create-group", "probe"}, {"snapshot", "probe", "p"}, {"export", "probe", "p"}}) {
    std::vector<std::string> args = {"--local", dir};
    args.insert(args.end(), step.begin(), step.end());
    if (run_ktsmctl(scratch.path(), args).status != 0) return "";
  }
  std::string block;
  ktsm_test::run_command("cat '" + scratch.path() + "'/exports/export-*.conf", &block);
  const std::string key = "Volume = \"";
  size_t at = block.find(key);
  std::string name =
      at == std::string::npos
          ? ""
          : block.substr(at + key.size(), block.find('"', at + key.size()) - at - key.size());
  run_ktsmctl(scratch.path(), {"--local", dir, "unexport", "probe", "p"});
  run_ktsmctl(scratch.path(), {"--local", dir, "delete", "probe", "p"});
  run_ktsmctl(scratch.path(), {"--local", dir, "delete-group", "probe"});
  return name;
}

class KtsmctlTest : public ::testing::TestWithParam<backend_kind> {
 protected:
  void SetUp() override {
    std::error_code ec;
    if (GetParam() == backend_kind::local) {
      m_volume_args = {"--local", m_dir.path() + "/volume"};
      m_init_name = local_volume_name(m_dir.path() + "/volume");
      m_volume.connect(ktfs::make_local_backend(m_dir.path() + "/volume", &ec));
      return;
    }
    std::string skip;
    m_gluster = ktsm_test::gluster_volume_for(GetParam(), &skip);
    if (!skip.empty()) GTEST_SKIP() << skip;
    ASSERT_NE(m_gluster, nullptr);
    m_volume_args = {"--server", m_gluster->server(), "--volume", m_gluster->name()};
    m_init_name = m_gluster->name();
    m_volume.connect(ktfs::make_gluster_backend(m_gluster->server(), m_gluster->name(), &ec));
  }

  // Whether path exists on the volume, looked up on this machine (on any
  // brick for GlusterFS), where no client cache can answer.
  bool exists(const std::string& path) const {
    std::string host =
        m_gluster != nullptr ? m_gluster->host_path(path) : m_dir.path() + "/volume" + path;
    struct stat st;
    return ::stat(host.c_str(), &st) == 0;
  }

  // A group name of this test's own: cases share the GlusterFS volume.
  std::string group(const std::string& base) const {
    std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    return base + "_" + test.substr(0, test.find('/'));
  }

  result ktsmctl(std::vector<std::string> args, const env_changes& changes = {}) {
    args.insert(args.begin(), m_volume_args.begin(), m_volume_args.end());
    return run_ktsmctl(m_dir.path(), args, changes);
  }

  // Runs a step that must succeed, with nothing on standard error.
  std::string ok(const std::vector<std::string>& args) {
    result r = ktsmctl(args);
    EXPECT_EQ(r.status, 0) << describe(args, r);
    EXPECT_EQ(r.err, "") << describe(args, r);
    return r.out;
  }

  // The group's object from "list --json".
  nlohmann::json listed_group(const std::string& name) {
    result r = ktsmctl({"list", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    nlohmann::json all = nlohmann::json::parse(r.out);
    EXPECT_TRUE(all.is_array());
    for (const nlohmann::json& g : all) {
      if (g.at("name") == "//" + name) return g;
    }
    return nlohmann::json();
  }

  ktsm_test::scratch_dir m_dir;
  std::vector<std::string> m_volume_args;
  std::string m_init_name;
  ktsm_test::gluster_volume* m_gluster = nullptr;  // null on the local backend
  volume_access m_volume;
};

}  // namespace

namespace {

// The versions of a listed group, checked field by field: the production
// version first, every snapshot linked to the version before it.
void expect_versions(const nlohmann::json& g, const std::map<std::string, std::string>& states) {
  ASSERT_TRUE(g.is_object()) << "group not listed";
  const nlohmann::json& versions = g.at("versions");
  ASSERT_EQ(versions.size(), states.size() + 1) << versions.dump();
  const nlohmann::json& production = versions[0];
  EXPECT_EQ(production.at("name"), g.at("name"));
  EXPECT_EQ(production.at("state"), "");
  EXPECT_EQ(production.at("state_name"), "live");
  EXPECT_EQ(production.at("production"), true);
  EXPECT_TRUE(production.at("older").is_null());
  for (size_t i = 1; i < versions.size(); ++i) {
    const nlohmann::json& v = versions[i];
    std::string name = v.at("name");
    ASSERT_EQ(states.count(name), 1u) << "unexpected version " << name;
    EXPECT_EQ(v.at("state"), states.at(name)) << name;
    EXPECT_EQ(v.at("state_name"), states.at(name) == "2" ? "active" : "exported") << name;
    EXPECT_EQ(v.at("production"), false) << name;
    EXPECT_EQ(v.at("older"), versions[i - 1].at("name")) << name;
  }
}

TEST_P(KtsmctlTest, GroupLifecycleThroughSeparateProcesses) {
  const std::string g = group("life");
  EXPECT_EQ(ok({"create-group", "/" + g}), "group " + g + " created\n");
  EXPECT_TRUE(exists("/" + g + "/.snaps"));
  m_volume.write_file("/" + g + "/kept.txt", "kept");
  m_volume.set_xattr("/" + g + "/kept.txt", "trusted.cloudsync.uuid", "kept-1");
  m_volume.write_file("/" + g + "/draft.txt", "one");
  m_volume.set_xattr("/" + g + "/draft.txt", "trusted.cloudsync.uuid", "draft-1");
  EXPECT_NE(ok({"snapshot", "//" + g, "v1"}).find("snapshot v1 of group " + g + " taken: 2 files"),
            std::string::npos);
  m_volume.write_file("/" + g + "/draft.txt", "two");
  m_volume.set_xattr("/" + g + "/draft.txt", "trusted.cloudsync.uuid", "draft-2");
  ok({"snapshot", g, "v2"});
  EXPECT_TRUE(exists("/" + g + "/.snaps/v2/draft.txt"));
  // Live changes again, so v2's draft differs from whichever version v2 is
  // linked to after a restart (the list follows the volume's order).
  m_volume.set_xattr("/" + g + "/draft.txt", "trusted.cloudsync.uuid", "draft-3");

  EXPECT_EQ(ok({"needed", g, "v2", "kept.txt"}).rfind("needed: kept.txt is the same file", 0), 0u);
  result not_needed = ktsmctl({"needed", g, "v2", "draft.txt"});
  EXPECT_EQ(not_needed.status, 1);
  EXPECT_EQ(not_needed.out.rfind("not needed: draft.txt differs", 0), 0u) << not_needed.out;
  EXPECT_EQ(not_needed.err, "");

  EXPECT_EQ(ok({"export", g, "v2"}), "version v2 of group " + g + " exported\n");
  std::string out;
  ktsm_test::run_command("cat '" + m_dir.path() + "'/exports/export-*.conf", &out);
  EXPECT_NE(out.find("Path = \"/" + g + "/.snaps/v2\";"), std::string::npos) << out;
  EXPECT_NE(out.find("Pseudo = \"/" + m_init_name + "/.snapshots/" + g + "/v2\";"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Volume = \"" + m_init_name + "\";"), std::string::npos) << out;
  expect_versions(listed_group(g), {{"v1", "2"}, {"v2", "8"}});
  std::string text = ok({"list", g});
  EXPECT_NE(text.find("  //" + g + " "), std::string::npos) << text;
  EXPECT_NE(text.find("production"), std::string::npos) << text;
  EXPECT_NE(text.find("exported"), std::string::npos) << text;

  EXPECT_EQ(ok({"unexport", g, "v2"}), "version v2 of group " + g + " unexported\n");
  expect_versions(listed_group(g), {{"v1", "2"}, {"v2", "2"}});
  EXPECT_EQ(ok({"delete", g, "v1"}), "version v1 of group " + g + " deleted\n");
  EXPECT_FALSE(exists("/" + g + "/.snaps/v1"));
  expect_versions(listed_group(g), {{"v2", "2"}});
  EXPECT_EQ(ok({"link", g, "v2"}),
            "version v2 of group " + g + " is linked to the production version //" + g + "\n");
  // The live group: exported as its own directory, then withdrawn.
  EXPECT_EQ(ok({"export", g, "--live"}), "live group " + g + " exported\n");
  ktsm_test::run_command("cat '" + m_dir.path() + "'/exports/export-*.conf", &out);
  EXPECT_NE(out.find("Pseudo = \"/" + m_init_name + "/" + g + "\";"), std::string::npos) << out;
  EXPECT_NE(out.find("Access_Type = RW;"), std::string::npos) << out;
  EXPECT_EQ(ok({"export", g, "--live"}), "live group \"" + g + "\" is already exported\n");
  EXPECT_EQ(ok({"unexport", g, "--live"}), "live group " + g + " unexported\n");
  EXPECT_EQ(ok({"unexport", g, "--live"}),
            "live group \"" + g + "\" is not exported; nothing to do\n");
  EXPECT_NE(ktsm_test::run_command("cat '" + m_dir.path() + "'/exports/export-*.conf", &out), 0)
      << "an export left: " << out;

  ok({"delete", g, "v2"});
  m_volume.unlink("/" + g + "/kept.txt");
  m_volume.unlink("/" + g + "/draft.txt");
  EXPECT_EQ(ok({"delete-group", g}), "group " + g + " deleted\n");
  EXPECT_FALSE(exists("/" + g));
  EXPECT_TRUE(listed_group(g).is_null());
}

TEST_P(KtsmctlTest, DoctorExplainsInterruptedVersionsAndTheirRemedy) {
  const std::string g = group("doc");
  ok({"create-group", g});
  for (const char* v : {"s1", "s2", "s3", "s4"}) ok({"snapshot", g, v});
  const std::string snaps = "/" + g + "/.snaps/";
  m_volume.set_xattr(snaps + "s1", "trusted.norvafs.snapstate", state_bytes("1"));
  m_volume.set_xattr(snaps + "s2", "trusted.norvafs.snapstate", state_bytes("7"));
  m_volume.set_xattr(snaps + "s3", "trusted.norvafs.snapstate", state_bytes("xyz"));

  result r = ktsmctl({"doctor"});
  EXPECT_EQ(r.status, 1) << r.out;
  struct expected {
    std::string version, state, remedy;
  };
  for (const expected& e :
       {expected{"s1", "create in progress", "resolve: ktsmctl delete " + g + " s1"},
        expected{"s2", "export in progress", "resolve: ktsmctl unexport " + g + " s2"},
        expected{"s3", "unknown (xyz)", "resolve: ktsmctl delete " + g + " s3"}}) {
    EXPECT_NE(r.out.find("group " + g + ", version " + e.version + ": " + e.state + "\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(e.remedy), std::string::npos) << r.out;
  }
  EXPECT_EQ(r.out.find("version s4"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("3 problems found"), std::string::npos) << r.out;
  EXPECT_NE(ok({"list", g}).find("create in progress"), std::string::npos);

  ok({"unexport", g, "s2"});
  for (const char* v : {"s1", "s2", "s3"}) ok({"delete", g, v});
  result healthy = ktsmctl({"doctor"});
  EXPECT_EQ(healthy.status, 0) << healthy.out;
  EXPECT_EQ(healthy.out.rfind("no problems found", 0), 0u) << healthy.out;
  ok({"delete", g, "s4"});
  ok({"delete-group", g});
}

TEST_P(KtsmctlTest, DoctorReportsEntriesStartUpCouldNotRebuild) {
  const std::string plain = group("plain"), broken = group("broken");
  m_volume.mkdir("/" + plain);
  m_volume.mkdir("/" + broken);
  m_volume.mkdir("/" + broken + "/.snaps");
  m_volume.mkdir("/" + broken + "/.snaps/x");

  // A plain directory is no file group and no problem: doctor notes it
  // once, other commands say nothing.
  result listed = ktsmctl({"list"});
  EXPECT_EQ(listed.status, 0);
  EXPECT_EQ(listed.err, "");
  result r = ktsmctl({"doctor"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("top-level entry " + plain + ": not a file group"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("to make it one: ktsmctl create-group " + plain), std::string::npos)
      << r.out;
  // A version without a state keeps its group visible, and can be deleted.
  EXPECT_NE(r.out.find("group " + broken + ", version x: unknown ()"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("resolve: ktsmctl delete " + broken + " x"), std::string::npos) << r.out;

  ok({"delete", broken, "x"});
  ok({"delete-group", broken});
  EXPECT_EQ(ktsmctl({"doctor"}).status, 0) << "a plain directory is no problem";
  m_volume.rmdir("/" + plain);
}

// Checks a failed run: the status, nothing on standard output, and exactly
// one line on standard error that holds the expected words.
void expect_one_error_line(const std::vector<std::string>& args, const result& r, int status,
                           const std::string& words) {
  EXPECT_EQ(r.status, status) << describe(args, r);
  EXPECT_EQ(r.out, "") << describe(args, r);
  EXPECT_EQ(r.err.rfind("ktsmctl: ", 0), 0u) << describe(args, r);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << describe(args, r);
  EXPECT_NE(r.err.find(words), std::string::npos) << describe(args, r);
}

TEST_P(KtsmctlTest, FailuresSayWhatFailedAndWhatToDo) {
  const std::string g = group("f"), live = group("live");
  ok({"create-group", g});
  ok({"snapshot", g, "v1"});
  ok({"snapshot", g, "e1"});
  ok({"export", g, "e1"});
  ok({"snapshot", g, "--", "-d"});
  ok({"create-group", live});
  m_volume.write_file("/" + live + "/data", "x");
  m_volume.set_xattr("/" + g + "/.snaps/v1", "trusted.norvafs.snapstate", state_bytes("4"));

  const std::string no_group = "group \"nosuch\" not found (see \"ktsmctl list\")";
  const std::string no_version =
      "version \"v9\" not found in group \"" + g + "\" (see \"ktsmctl list " + g + "\")";
  struct failure_case {
    std::vector<std::string> args;
    std::string words;
  };
  const std::vector<failure_case> cases = {
      {{"list", "nosuch"}, no_group},
      {{"delete-group", "nosuch"}, no_group},
      {{"snapshot", "nosuch", "v"}, no_group},
      {{"delete", "nosuch", "v"}, no_group},
      {{"export", "/nosuch", "v"}, no_group},
      {{"unexport", "//nosuch", "v"}, no_group},
      {{"export", "nosuch", "--live"}, no_group},
      {{"link", "nosuch", "v"}, no_group},
      {{"needed", "nosuch", "v", "f"}, no_group},
      {{"delete", g, "v9"}, no_version},
      {{"export", g, "v9"}, no_version},
      {{"unexport", g, "v9"}, no_version},
      {{"link", g, "v9"}, no_version},
      {{"needed", g, "v9", "f"}, no_version},
      {{"create-group", g}, "group \"" + g + "\" already exists"},
      {{"snapshot", g, "e1"}, "version \"e1\" already exists in group \"" + g + "\""},
      {{"snapshot", "--", g, "-d"}, "or \"ktsmctl delete -- " + g + " -d\" first"},
      {{"delete-group", g}, "still has snapshots; delete them first"},
      {{"delete-group", live}, "still holds 1 live entry"},
      {{"delete", g, "e1"}, "unexport it first (\"ktsmctl unexport " + g + " e1\")"},
      {{"export", g, "v1"}, "exporting version \"v1\" of group \"" + g + "\" failed"},
      {{"needed", g, "e1", "missing.txt"}, "cannot compare \"missing.txt\""},
  };
  for (const failure_case& c : cases) {
    expect_one_error_line(c.args, ktsmctl(c.args), 1, c.words);
  }
  std::vector<std::string> args = {"export", g, "e1"};
  EXPECT_EQ(ktsmctl(args).out, "version \"e1\" of group \"" + g + "\" is already exported\n");
  ok({"unexport", g, "e1"});
  for (const std::vector<std::string>& without : {args, {"export", g, "--live"}}) {
    expect_one_error_line(without, ktsmctl(without, {{"PATH", "/nonexistent"}}), 1,
                          "the export command \"storhaug\" is not on PATH");
  }
  for (const char* v : {"v1", "e1", "-d"}) ok({"delete", g, "--", v});
  ok({"delete-group", g});
  m_volume.unlink("/" + live + "/data");
  ok({"delete-group", live});
}

// The version names of a listed group, snapshots only, in list order.
std::vector<std::string> snapshot_names(const nlohmann::json& g) {
  std::vector<std::string> names;
  for (const nlohmann::json& v : g.at("versions")) {
    if (!v.at("production")) names.push_back(v.at("name"));
  }
  return names;
}

TEST_P(KtsmctlTest, RestoreAndDiffPutBackAndShowWhatTheSnapshotKept) {
  const std::string g = group("rst"), live = "/" + group("rst");
  const char uuid[] = "trusted.cloudsync.uuid";
  ok({"create-group", g});
  m_volume.write_file(live + "/a.txt", "alpha");
  m_volume.set_xattr(live + "/a.txt", uuid, "a-1");
  m_volume.mkdir(live + "/dir");
  m_volume.write_file(live + "/dir/b.txt", "beta");
  m_volume.write_file(live + "/same.txt", "same");
  ok({"snapshot", g, "v1"});
  m_volume.write_file(live + "/a.txt", "alpha, changed");
  m_volume.set_xattr(live + "/a.txt", uuid, "a-2");
  m_volume.unlink(live + "/dir/b.txt");
  m_volume.write_file(live + "/new.txt", "new");

  nlohmann::json d = nlohmann::json::parse(ok({"diff", g, "v1", "--json"}));
  EXPECT_EQ(d.at("added"), nlohmann::json({"new.txt"}));
  EXPECT_EQ(d.at("removed"), nlohmann::json({"dir/b.txt"}));
  EXPECT_EQ(d.at("changed"), nlohmann::json({"a.txt"})) << "same.txt is unchanged";
  EXPECT_NE(ok({"diff", g, "v1"}).find("1 added, 1 removed, 1 changed"), std::string::npos);

  // A dry run changes nothing; one path comes back alone.
  std::string preview = ok({"restore", g, "v1", "--dry-run"});
  EXPECT_NE(preview.find("- new.txt"), std::string::npos) << preview;
  EXPECT_EQ(m_volume.read_file(live + "/a.txt"), "alpha, changed");
  ok({"restore", g, "v1", "a.txt"});
  EXPECT_EQ(m_volume.read_file(live + "/a.txt"), "alpha");
  EXPECT_EQ(m_volume.xattr(live + "/a.txt", uuid), "a-1");
  EXPECT_EQ(m_volume.read_file(live + "/new.txt"), "new");
  EXPECT_EQ(m_volume.read_file(live + "/dir/b.txt"), "<missing>");

  // Elsewhere: the live group is left alone, and nothing there is replaced.
  const std::string out = "/" + group("out");
  ok({"restore", g, "v1", "dir/b.txt", "--to", out});
  EXPECT_EQ(m_volume.read_file(out + "/dir/b.txt"), "beta");
  EXPECT_EQ(m_volume.read_file(live + "/dir/b.txt"), "<missing>");
  EXPECT_EQ(ktsmctl({"restore", g, "v1", "dir/b.txt", "--to", out}).status, 1);
  // A host's directory is not taken for one of the volume: refused, with
  // how to copy there, and no top-level directory made.
  result host = ktsmctl({"restore", g, "v1", "a.txt", "--to", "/tmp/restored"});
  EXPECT_EQ(host.status, 2);
  EXPECT_NE(host.err.find("--to takes a directory of the volume: volume path /tmp/restored"),
            std::string::npos)
      << host.err;
  EXPECT_NE(host.err.find(GetParam() == backend_kind::local ? "cp -a " : "mount the volume"),
            std::string::npos)
      << host.err;
  EXPECT_FALSE(exists("/tmp"));
  result dry = ktsmctl({"restore", g, "v1", "dir/b.txt", "--to", out, "--dry-run"});
  EXPECT_EQ(dry.status, 1) << "a dry run is refused as the restore is";
  EXPECT_NE(dry.err.find("would be refused (cause: path " + out + "/dir/b.txt exists already)"),
            std::string::npos)
      << dry.err;

  // A directory merged back: work made since stays, and is counted, unless
  // --delete, which keeps it in a safety snapshot first.
  m_volume.write_file(live + "/dir/work.txt", "important new work");
  std::string merged = ok({"restore", g, "v1", "dir"});
  EXPECT_NE(merged.find("1 copied, 0 replaced, 0 removed and 1 kept"), std::string::npos) << merged;
  EXPECT_EQ(m_volume.read_file(live + "/dir/b.txt"), "beta");
  EXPECT_EQ(m_volume.read_file(live + "/dir/work.txt"), "important new work");
  std::string removed = ok({"restore", g, "v1", "dir", "--delete"});
  EXPECT_NE(removed.find("0 replaced, 1 removed"), std::string::npos) << removed;
  EXPECT_EQ(m_volume.read_file(live + "/dir/work.txt"), "<missing>");
  std::vector<std::string> names = snapshot_names(listed_group(g));
  ASSERT_EQ(names.size(), 2u);
  EXPECT_NE(removed.find("safety snapshot " + names[1]), std::string::npos) << removed;
  EXPECT_EQ(m_volume.read_file(live + "/.snaps/" + names[1] + "/dir/work.txt"),
            "important new work");

  // The whole group: a safety snapshot first, then exactly v1's files.
  m_volume.write_file(live + "/a.txt", "alpha, again");
  ok({"restore", g, "v1"});
  EXPECT_EQ(m_volume.read_file(live + "/a.txt"), "alpha");
  EXPECT_EQ(m_volume.read_file(live + "/dir/b.txt"), "beta");
  EXPECT_EQ(m_volume.read_file(live + "/new.txt"), "<missing>");
  EXPECT_TRUE(exists(live + "/.snaps/v1/a.txt")) << "the live group's .snaps is left alone";
  names = snapshot_names(listed_group(g));
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names[2].rfind("pre-restore-", 0), 0u) << names[2];
  EXPECT_EQ(m_volume.read_file(live + "/.snaps/" + names[2] + "/new.txt"), "new");
  EXPECT_EQ(m_volume.read_file(live + "/.snaps/" + names[2] + "/a.txt"), "alpha, again");
  EXPECT_NE(ok({"diff", g, "v1"}).find("0 added, 0 removed, 0 changed, 0 with other metadata"),
            std::string::npos);
}

// diff names changes of metadata with what changed, and --checksum finds
// an edit that kept its size and had its old time put back.
TEST_P(KtsmctlTest, DiffShowsMetadataChangesAndChecksumFindsHiddenEdits) {
  const std::string g = group("meta"), live = "/" + group("meta");
  ok({"create-group", g});
  for (const char* f : {"/mode", "/owner", "/attr", "/time", "/linked", "/edited"}) {
    m_volume.write_file(live + f, "same");
  }
  ktfs::ktfs_api& api = m_volume.api();
  const struct timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_FALSE(api.lutimens(m_volume.io(), (live + "/edited").c_str(), old_times, {}));
  ok({"snapshot", g, "v1"});
  ASSERT_FALSE(api.chmod(m_volume.io(), (live + "/mode").c_str(), 0600, {}));
  ASSERT_FALSE(api.lchown(m_volume.io(), (live + "/owner").c_str(), 1000, 1000, {}));
  m_volume.set_xattr(live + "/attr", "user.note", "added");
  const struct timespec new_times[2] = {{2000000000, 0}, {2000000000, 0}};
  ASSERT_FALSE(api.lutimens(m_volume.io(), (live + "/time").c_str(), new_times, {}));
  ASSERT_FALSE(api.link(m_volume.io(), (live + "/linked").c_str(), (live + "/name2").c_str(), {}));
  m_volume.write_file(live + "/edited", "diff");
  ASSERT_FALSE(api.lutimens(m_volume.io(), (live + "/edited").c_str(), old_times, {}));

  nlohmann::json changes = nlohmann::json::parse(ok({"diff", g, "v1", "--json"})).at("changes");
  EXPECT_EQ(changes, nlohmann::json::parse(R"([
    {"path": "attr", "kind": "metadata", "what": ["attributes"]},
    {"path": "linked", "kind": "metadata", "what": ["hard links"]},
    {"path": "mode", "kind": "metadata", "what": ["mode"]},
    {"path": "name2", "kind": "added"},
    {"path": "owner", "kind": "metadata", "what": ["owner"]},
    {"path": "time", "kind": "metadata", "what": ["times"]}])"));
  std::string text = ok({"diff", g, "v1", "--checksum"});
  EXPECT_NE(text.find("M edited\n"), std::string::npos) << text;
  EXPECT_NE(text.find("m mode\t(mode)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("1 added, 0 removed, 1 changed, 5 with other metadata"), std::string::npos)
      << text;
}

TEST_P(KtsmctlTest, HoldsKeepSnapshotsFromDeleteAndPrune) {
  const std::string g = group("hold");
  ok({"create-group", g});
  m_volume.write_file("/" + g + "/f", "12345");
  for (const char* v : {"s1", "s2", "s3", "s4"}) ok({"snapshot", g, v});
  ok({"hold", g, "s1"});
  ok({"hold", g, "s1", "legal"});
  result refused = ktsmctl({"delete", g, "s1"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("is held"), std::string::npos) << refused.err;
  EXPECT_TRUE(exists("/" + g + "/.snaps/s1"));

  std::string plan = ok({"prune", g, "--keep-last", "1", "--dry-run"});
  EXPECT_NE(plan.find("would delete 2 of 4"), std::string::npos) << plan;
  EXPECT_TRUE(exists("/" + g + "/.snaps/s2")) << "a dry run deletes nothing";
  ok({"prune", g, "--keep-last", "1"});
  EXPECT_EQ(snapshot_names(listed_group(g)), (std::vector<std::string>{"s1", "s4"}));
  EXPECT_FALSE(exists("/" + g + "/.snaps/s2"));

  // list: holds, sizes, creation times and state numbers, in JSON and tabs.
  nlohmann::json s1 = listed_group(g).at("versions")[1];
  EXPECT_EQ(s1.at("holds"), nlohmann::json({"keep", "legal"}));
  EXPECT_EQ(s1.at("size"), 5);
  EXPECT_EQ(s1.at("state_number"), 2);
  EXPECT_TRUE(s1.at("created_ns").is_number());
  std::string tabs = ok({"list", g, "-H", "-p"});
  EXPECT_NE(tabs.find(g + "\ts1\tactive\t"), std::string::npos) << tabs;
  EXPECT_NE(tabs.find("\t5\tkeep,legal\t"), std::string::npos) << tabs;
  EXPECT_NE(ok({"holds", g}).find("s1\tlegal"), std::string::npos);

  ok({"release", g, "s1"});
  EXPECT_EQ(ktsmctl({"release", g, "s1"}).status, 1) << "no such hold any more";
  EXPECT_EQ(ktsmctl({"delete", g, "s1"}).status, 1) << "still held by legal";
  ok({"release", g, "s1", "legal"});
  ok({"delete", g, "s1"});
  EXPECT_FALSE(exists("/" + g + "/.snaps/s1"));
}

TEST_P(KtsmctlTest, AnOperationRunningElsewhereIsNoCrashLeftover) {
  const std::string g = group("busy");
  ok({"create-group", g});
  ok({"snapshot", g, "v1"});
  m_volume.set_xattr("/" + g + "/.snaps/v1", "trusted.norvafs.snapstate", state_bytes("1"));
  ktfs::file_ptr held = m_volume.lock_group(g);
  result doctor = ktsmctl({"doctor"});
  EXPECT_EQ(doctor.status, 0) << doctor.out;
  EXPECT_NE(doctor.out.find("locked by another host"), std::string::npos) << doctor.out;
  EXPECT_EQ(listed_group(g).at("versions")[1].at("busy"), true);
  result waited = ktsmctl({"--wait", "1", "delete", g, "v1"});
  EXPECT_EQ(waited.status, 1);
  EXPECT_NE(waited.err.find("waiting up to 1 second"), std::string::npos) << waited.err;
  EXPECT_TRUE(exists("/" + g + "/.snaps/v1"));
  m_volume.unlock(held);
  EXPECT_EQ(ktsmctl({"doctor"}).status, 1) << "without the lock, a crash left it";
  ok({"delete", g, "v1"});
}

// The bytes a name in ktsmctl's JSON maps back to.
std::string json_name_bytes(const nlohmann::json& name) {
  if (name.is_string()) return name;
  std::string bytes;
  for (int b : name.at("bytes")) bytes += static_cast<char>(b);
  return bytes;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A snapshot shares what did not change, says how much; list shows what
// each snapshot alone holds (what deleting it frees), and --full shares
// nothing.
TEST_P(KtsmctlTest, SnapshotsShareUnchangedFilesAndListWhatDeletingFrees) {
  const std::string g = group("linked"), live = "/" + g;
  ::setenv("KTSM_LINK_CLOCK_MARGIN_MS", "0", 1);
  ok({"create-group", g});
  m_volume.write_file(live + "/a", "12345");
  m_volume.write_file(live + "/b", "1234567");
  EXPECT_NE(ok({"snapshot", g, "s1"}).find("2 files (0 unchanged"), std::string::npos);
  m_volume.write_file(live + "/b", "changed");
  EXPECT_NE(ok({"snapshot", g, "s2"}).find("2 files (1 unchanged"), std::string::npos);
  EXPECT_NE(ok({"snapshot", g, "s3", "--full"}).find("2 files (0 unchanged"), std::string::npos);
  auto frees = [&] {
    std::vector<nlohmann::json> out;
    nlohmann::json listed = listed_group(g);
    for (const nlohmann::json& v : listed.at("versions")) out.push_back(v.at("frees"));
    return out;
  };
  // s1 and s2 share a; each alone holds its b; s3 holds both of its own.
  EXPECT_EQ(frees(), (std::vector<nlohmann::json>{nullptr, 7, 7, 12}));
  std::vector<std::string> tabs = lines_of(ok({"list", g, "-H", "-p"}));
  ASSERT_EQ(tabs.size(), 4u);
  EXPECT_EQ(tabs[1].substr(tabs[1].rfind('\t')), "\t7") << "what deleting frees comes last";
  ok({"delete", g, "s1"});
  EXPECT_EQ(frees(), (std::vector<nlohmann::json>{nullptr, 12, 12}));
  ::unsetenv("KTSM_LINK_CLOCK_MARGIN_MS");
  for (const char* v : {"s2", "s3"}) ok({"delete", g, v});
}

TEST_P(KtsmctlTest, HostileNamesAreShownEscapedOneEntryPerLine) {
  const std::string g = group("esc"), live = "/" + group("esc");
  const std::vector<std::string> files = {"\x1b[2Jred", "bad\xff", "evil\nM fake-changed-file"};
  const std::vector<std::string> shown = {"\\x1b[2Jred", "bad\\xff", "evil\\nM fake-changed-file"};
  const std::string v = "v\\\xff", v_shown = "v\\\\\\xff", tag = "x\\y,z\xff";
  ok({"create-group", g});
  for (const std::string& f : files) m_volume.write_file(live + "/" + f, "x");
  ok({"snapshot", g, v});
  for (const std::string& f : files) m_volume.unlink(live + "/" + f);
  m_volume.write_file(live + "/plain", "p");

  EXPECT_EQ(ok({"diff", g, v}),
            "- " + shown[0] + "\n- " + shown[1] + "\n- " + shown[2] + "\n+ plain\n" + v_shown +
                " -> live: 1 added, 3 removed, 0 changed, 0 with other metadata\n");
  std::vector<std::string> preview = lines_of(ok({"restore", g, v, "--dry-run"}));
  ASSERT_EQ(preview.size(), 6u);
  EXPECT_EQ(preview[1], "- plain\t(not in " + v_shown + ": removed)");
  for (size_t i = 0; i < shown.size(); ++i)
    EXPECT_EQ(preview[2 + i], "+ " + shown[i] + "\t(brought back)");
  nlohmann::json d = nlohmann::json::parse(ok({"diff", g, v, "--json"}));
  EXPECT_EQ(json_name_bytes(d.at("from")), v);
  EXPECT_EQ(d.at("from").at("display"), v_shown);
  ASSERT_EQ(d.at("removed").size(), files.size());
  for (size_t i = 0; i < files.size(); ++i)
    EXPECT_EQ(json_name_bytes(d.at("removed")[i]), files[i]);
  std::vector<std::string> to = {"restore", g, v, "--to", "out\x1b[2J"};
  expect_one_error_line(to, ktsmctl(to), 2,
                        "the directory \"out\\x1b[2J\" contains a control character (byte 0x1b)");

  // -H: a hold tag and a group name (a directory made a group as create-group
  // makes one) that hold separators add no field and no line.
  const std::string odd = group("tab\tnl\n");
  m_volume.mkdir("/" + odd);
  m_volume.mkdir("/" + odd + "/.snaps");
  const std::string tag_shown = "x\\\\y,z\\xff";
  EXPECT_EQ(ok({"hold", g, v, tag}),
            "version " + v_shown + " of group " + g + " held (tag " + tag_shown + ")\n");
  EXPECT_EQ(lines_of(ok({"holds", g}))[1], g + "\t" + v_shown + "\t" + tag_shown);
  nlohmann::json holds = nlohmann::json::parse(ok({"holds", g, "--json"}));
  EXPECT_EQ(json_name_bytes(holds[0].at("version")), v);
  EXPECT_EQ(json_name_bytes(holds[0].at("tags")[0]), tag);
  EXPECT_EQ(lines_of(ok({"prune", g, "--keep-last", "1", "--dry-run"}))[0].rfind(
                "keep    " + v_shown + "\t", 0),
            0u);
  std::vector<std::string> held = lines_of(ok({"list", "-H", "-p"}));
  for (const std::string& line : held)
    EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 7) << line;
  EXPECT_EQ(
      std::count(held.begin(), held.end(),
                 group("tab\\tnl\\n") + "\t//" + group("tab\\tnl\\n") + "\tlive\t-\t0\t-\t-\t-"),
      1);
  EXPECT_NE(std::find_if(held.begin(), held.end(),
                         [&](const std::string& l) {
                           return l.rfind(g + "\t" + v_shown + "\tactive\t", 0) == 0 &&
                                  l.find("\tx\\\\y\\x2cz\\xff\t//" + g) != std::string::npos;
                         }),
            held.end());
  nlohmann::json version = listed_group(g).at("versions")[1];
  EXPECT_EQ(json_name_bytes(version.at("name")), v);
  EXPECT_EQ(json_name_bytes(version.at("holds")[0]), tag);
  EXPECT_TRUE(listed_group(odd).is_object()) << "the group's JSON name is its exact name";

  // doctor: a top-level entry and a version left in progress, each finding
  // on its own lines, its remedy a command that pastes back to the name.
  const std::string entry = group(files[2]);
  m_volume.mkdir("/" + entry);
  m_volume.set_xattr(live + "/.snaps/" + v, "trusted.norvafs.snapstate", state_bytes("1"));
  std::vector<std::string> doctor = lines_of(ktsmctl({"doctor"}).out);
  for (const std::string& line :
       {"top-level entry " + group(shown[2]) + ": not a file group (no .snaps directory in it)",
        "  ktsmctl leaves it alone; to make it one: ktsmctl create-group $'" + group(shown[2]) +
            "'",
        "group " + g + ", version " + v_shown + ": create in progress",
        "  resolve: ktsmctl delete " + g + " $'" + v_shown + "', then take the snapshot again"}) {
    EXPECT_EQ(std::count(doctor.begin(), doctor.end(), line), 1) << line;
  }

  ok({"release", g, v, tag});
  ok({"delete", g, v});
  m_volume.unlink(live + "/plain");
  ok({"delete-group", g});
  m_volume.rmdir("/" + odd + "/.snaps");
  m_volume.rmdir("/" + odd);
  m_volume.rmdir("/" + entry);
}

// Presses Tab in a real bash that sourced ktsmctl's completion, after words
// (the last one is being completed), in the empty directory dir/shell with
// no ktsmctl variable set but KTSM_HOME=dir/shell/volume.  Returns each
// candidate with the word bash reads back from it.
std::vector<std::pair<std::string, std::string>> press_tab(const std::string& dir,
                                                           const std::vector<std::string>& words) {
  std::ofstream list(dir + "/words", std::ios::binary);
  for (const std::string& w : words) list << w << '\0';
  list.close();
  std::string err;
  ktsm_test::run_command("cd '" + dir +
                             "/shell' && env -u KTSM_LOG -u KTSM_LOCAL -u KTSM_SERVER -u "
                             "KTSM_VOLUME HOME=\"$PWD\" KTSM_HOME=\"$PWD/volume\" PATH='" +
                             tool_dir() + "':\"$PATH\" bash ../tab.sh > ../offered",
                         &err);
  EXPECT_EQ(err, "");
  std::vector<std::string> parts;
  std::string offered = read_text(dir + "/offered");
  for (size_t start = 0, end; (end = offered.find('\0', start)) != std::string::npos;
       start = end + 1)
    parts.push_back(offered.substr(start, end - start));
  std::vector<std::pair<std::string, std::string>> candidates;
  for (size_t i = 0; i + 1 < parts.size(); i += 2) candidates.push_back({parts[i], parts[i + 1]});
  return candidates;
}

TEST_P(KtsmctlTest, CompletionOffersHostileNamesQuotedAndRunsNothing) {
  const std::string g = group("$(touch${IFS}PWNED3)");
  const std::vector<std::string> versions = {"it's a b", "x$(touch${IFS}PWNED1)"};
  ok({"create-group", g});
  for (const std::string& v : versions) ok({"snapshot", g, v});
  const std::string dir = m_dir.path();
  ASSERT_EQ(::mkdir((dir + "/shell").c_str(), 0755), 0);
  std::ofstream(dir + "/completion.bash") << ok({"--bash-completion"});
  std::ofstream(dir + "/tab.sh")
      << "source ../completion.bash\n"
         "mapfile -d '' -t COMP_WORDS < ../words\n"
         "COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMP_LINE=\"${COMP_WORDS[*]}\"\n"
         "COMP_POINT=${#COMP_LINE}\n"
         "_ktsmctl\n"
         "for c in \"${COMPREPLY[@]}\"; do eval \"w=$c\"; printf '%s\\0%s\\0' \"$c\" \"$w\"; "
         "done\n";
  ::unlink((dir + "/ktsmctl.log").c_str());  // where the log of --local DIR goes
  auto tab = [&](const std::vector<std::string>& words) {
    std::vector<std::string> line = {"ktsmctl"};
    line.insert(line.end(), m_volume_args.begin(), m_volume_args.end());
    line.insert(line.end(), words.begin(), words.end());
    return press_tab(dir, line);
  };
  auto names = [](const std::vector<std::pair<std::string, std::string>>& candidates) {
    std::vector<std::string> read_back;
    for (const auto& c : candidates) read_back.push_back(c.second);
    return read_back;
  };

  std::string quoted_group;
  for (const auto& [candidate, name] : tab({"delete", ""})) {
    if (name == g) quoted_group = candidate;
  }
  ASSERT_NE(quoted_group, "") << "the group is not offered as itself";
  EXPECT_EQ(names(tab({"delete", quoted_group.substr(0, 5)})), std::vector<std::string>{g})
      << "a quoted prefix";
  EXPECT_EQ(names(tab({"delete", quoted_group, ""})), versions);
  EXPECT_EQ(names(tab({"delete", quoted_group, "'x$("})), std::vector<std::string>{versions[1]});
  EXPECT_EQ(names(tab({"delete", quoted_group, "it\\'s"})), std::vector<std::string>{versions[0]});
  EXPECT_TRUE(press_tab(dir, {"ktsmctl", "delete", ""}).empty()) << "no volume, no names";
  std::string made;
  for (const auto& e : std::filesystem::directory_iterator(dir + "/shell"))
    made += e.path().filename().string() + " ";
  EXPECT_EQ(made, "") << "ran or made by the completion";
  EXPECT_NE(::access((dir + "/ktsmctl.log").c_str(), F_OK), 0) << "the completion wrote a log";

  for (const std::string& v : versions) ok({"delete", g, v});
  ok({"delete-group", g});
}

// Whether the file path came to hold text within a minute (read again every
// 10 ms): the sign that a process started elsewhere got that far.
bool came_to_hold(const std::string& path, const std::string& text) {
  for (int i = 0; i < 6000; ++i) {
    if (read_text(path).find(text) != std::string::npos) return true;
    ::usleep(10000);
  }
  return false;
}

TEST_P(KtsmctlTest, PrunePlansUnderTheLockFromWhatIsThereThen) {
  const std::string g = group("plan"), snaps = "/" + group("plan") + "/.snaps/";
  ok({"create-group", g});
  m_volume.write_file("/" + g + "/f", "data");
  for (const char* v : {"a", "b", "c", "d", "e"}) ok({"snapshot", g, v});
  ok({"hold", g, "b"});
  // prune lists the group, then waits for its lock while another host,
  // holding it, deletes e (the newest) and exports c.
  ktfs::file_ptr held = m_volume.lock_group(g);
  ktsm_test::scratch_dir side;
  std::vector<std::string> args = m_volume_args;
  args.insert(args.end(), {"--wait", "120", "prune", g, "--keep-last", "1"});
  pid_t prune = start_ktsmctl(side.path(), args);
  bool waiting = came_to_hold(side.path() + "/stderr", "waiting up to");
  for (const char* entry : {"f", ".snaps/.ktsm-deleted-files"})
    m_volume.unlink(snaps + "e/" + entry);
  m_volume.rmdir(snaps + "e/.snaps");
  m_volume.rmdir(snaps + "e");
  m_volume.set_xattr(snaps + "c", "trusted.norvafs.snapstate", state_bytes("8"));
  m_volume.unlock(held);
  result r = finish_ktsmctl(side.path(), prune);
  ASSERT_TRUE(waiting) << describe(args, r);
  EXPECT_EQ(r.status, 0) << describe(args, r);
  // e is reported, never kept; the rule keeps d, the newest still there.
  for (const char* line : {"gone    e\t", "changed c\twas active", "deleted a\t", "keep    b\t",
                           "keep    d\t", "deleted 1 of 4 snapshots"}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << describe(args, r);
  }
  EXPECT_EQ(r.out.find("keep    e"), std::string::npos) << r.out;
  EXPECT_EQ(snapshot_names(listed_group(g)), (std::vector<std::string>{"b", "c", "d"}));
}

TEST_P(KtsmctlTest, PathsInsideAVersionStayInsideIt) {
  const std::string g = group("in"), other = group("other");
  ok({"create-group", g});
  m_volume.mkdir("/" + other);
  m_volume.write_file("/" + other + "/secret", "s");
  m_volume.set_xattr("/" + other + "/secret", "trusted.cloudsync.uuid", "s-1");
  // Links out of the group, kept as links by both snapshots: followed, each
  // would reach the same outside file from v2 and from v1.
  m_volume.symlink("../../../" + other + "/secret", "/" + g + "/escape");
  m_volume.symlink("../../../" + other, "/" + g + "/dir");
  ok({"snapshot", g, "v1"});
  ok({"snapshot", g, "v2"});
  struct confined_case {
    std::vector<std::string> args;
    int status;
    std::string words;
  };
  const std::vector<confined_case> cases = {
      {{"needed", g, "v2", "../../../" + other + "/secret"}, 2, "is not a path inside the version"},
      {{"needed", g, "v2", "/" + other + "/secret"}, 2, "is not a path inside the version"},
      {{"needed", g, "v2", "escape"}, 1, "carries no trusted.cloudsync.uuid (no identity) in v2"},
      {{"needed", g, "v2", "dir/secret"}, 1, "its path goes through a symbolic link"},
      {{"restore", g, "v2", "dir/secret", "--to", "/" + group("out")}, 1, "is not a directory"},
      {{"restore", g, "v2", "dir/secret"}, 1, "is not a directory"},
  };
  for (const confined_case& c : cases)
    expect_one_error_line(c.args, ktsmctl(c.args), c.status, c.words);
  EXPECT_FALSE(exists("/" + group("out") + "/dir")) << "nothing was copied from outside";
  EXPECT_EQ(m_volume.xattr("/" + other + "/secret", "trusted.cloudsync.uuid"), "s-1")
      << "the outside file was not replaced";
}

// The timeline on an injected clock (KTSM_NOW, UTC): a snapshot when one is
// due and not before, one after downtime, pruning by the rules that never
// takes a held snapshot nor one of another name, and two runs that overlap
// (both waiting for the group's lock) taking one snapshot between them.
TEST_P(KtsmctlTest, TimelineTakesWhatIsDueAndPrunesOnlyItsOwn) {
  const std::string g = group("tl");
  const std::string policy = m_dir.path() + "/policy.conf";
  ok({"create-group", g});
  m_volume.write_file("/" + g + "/f", "data");
  ok({"snapshot", g, "manual"});
  {
    std::ofstream out(policy);
    out << "[template.often]\nevery = \"hourly\"\nkeep_hourly = 2\n\n[group." << g
        << "]\ntemplate = \"often\"\n";
  }
  auto at = [&](const char* time, std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"timeline", "--policy", policy});
    result r = ktsmctl(args, {{"KTSM_NOW", time}, {"TZ", "UTC"}});
    EXPECT_EQ(r.status, 0) << time << ": " << describe(args, r);
    return r.out;
  };
  const std::string took = "group " + g + ": took ";
  EXPECT_NE(at("2026-12-09T08:15:00Z").find(took + "auto-20261209T081500Z (hourly)"),
            std::string::npos);
  EXPECT_NE(at("2026-12-09T08:40:00Z").find("no snapshot due"), std::string::npos);
  at("2026-12-09T09:05:00Z");
  ok({"hold", g, "auto-20261209T081500Z"});
  std::string out = at("2026-12-09T10:05:00Z");
  EXPECT_EQ(out.find("deleted"), std::string::npos) << "the third is held: " << out;
  ok({"release", g, "auto-20261209T081500Z"});
  // Down for six hours: one snapshot, then the rules keep the newest two.
  out = at("2026-12-09T16:30:00Z");
  EXPECT_NE(out.find("deleted auto-20261209T081500Z"), std::string::npos) << out;
  EXPECT_EQ(snapshot_names(listed_group(g)),
            (std::vector<std::string>{"manual", "auto-20261209T100500Z", "auto-20261209T163000Z"}));

  ktfs::file_ptr held = m_volume.lock_group(g);
  ktsm_test::scratch_dir one, two;
  std::vector<std::string> args = m_volume_args;
  args.insert(args.end(), {"--wait", "120", "timeline", "--policy", policy, g});
  env_changes env = {{"KTSM_NOW", "2026-12-09T17:10:00Z"}, {"TZ", "UTC"}};
  pid_t first = start_ktsmctl(one.path(), args, env), second = start_ktsmctl(two.path(), args, env);
  bool waiting = came_to_hold(one.path() + "/stderr", "waiting up to") &&
                 came_to_hold(two.path() + "/stderr", "waiting up to");
  m_volume.unlock(held);
  result a = finish_ktsmctl(one.path(), first), b = finish_ktsmctl(two.path(), second);
  EXPECT_TRUE(waiting);
  EXPECT_EQ(a.status + b.status, 0) << describe(args, a) << describe(args, b);
  EXPECT_NE((a.out + b.out).find("no snapshot due"), std::string::npos) << a.out << b.out;
  // A snapshot named by the time in the same second takes the next suffix.
  EXPECT_NE(ktsmctl({"snapshot", g}, env).out.find("snapshot auto-20261209T171000Z-2 of"),
            std::string::npos);
  EXPECT_EQ(snapshot_names(listed_group(g)),
            (std::vector<std::string>{"manual", "auto-20261209T163000Z", "auto-20261209T171000Z",
                                      "auto-20261209T171000Z-2"}));
}

INSTANTIATE_TEST_SUITE_P(Backends, KtsmctlTest,
                         ::testing::Values(backend_kind::local, backend_kind::gluster_distributed),
                         [](const ::testing::TestParamInfo<backend_kind>& info) {
                           return std::string(ktsm_test::backend_name(info.param));
                         });

// Runs that need no volume of their own.
class KtsmctlLocalTest : public ::testing::Test {
 protected:
  result ktsmctl(const std::vector<std::string>& args, const env_changes& changes = {}) {
    return run_ktsmctl(m_dir.path(), args, changes);
  }
  std::string path(const std::string& rest) const { return m_dir.path() + rest; }

  ktsm_test::scratch_dir m_dir;
};

// Each local volume exports under a name of its own, the same on every run:
// the same snapshot name exported on two volumes makes two blocks, and
// withdrawing it on one leaves the other's.
TEST_F(KtsmctlLocalTest, LocalVolumesNeverShareAnExportBlock) {
  std::string first = local_volume_name(path("/one")), second = local_volume_name(path("/two"));
  EXPECT_EQ(first.size(), 22u) << first;
  EXPECT_EQ(first.rfind("local-", 0), 0u) << first;
  EXPECT_NE(first, second);
  EXPECT_EQ(local_volume_name(path("/one/")), first) << "the same directory, the same name";
  for (const char* volume : {"/one", "/two"}) {
    for (const std::vector<std::string>& step : std::vector<std::vector<std::string>>{
             {"create-group", "g"}, {"snapshot", "g", "c"}, {"export", "g", "c"}}) {
      std::vector<std::string> args = {"--local", path(volume)};
      args.insert(args.end(), step.begin(), step.end());
      result r = ktsmctl(args);
      EXPECT_EQ(r.status, 0) << describe(args, r);
    }
  }
  std::string blocks;
  ktsm_test::run_command("cat '" + path("/exports") + "'/export-*.conf", &blocks);
  EXPECT_NE(blocks.find("Pseudo = \"/" + first + "/.snapshots/g/c\";"), std::string::npos)
      << blocks;
  EXPECT_NE(blocks.find("Pseudo = \"/" + second + "/.snapshots/g/c\";"), std::string::npos)
      << blocks;
  EXPECT_EQ(ktsmctl({"--local", path("/two"), "unexport", "g", "c"}).status, 0);
  ktsm_test::run_command("cat '" + path("/exports") + "'/export-*.conf", &blocks);
  EXPECT_NE(blocks.find("/" + first + "/.snapshots/g/c"), std::string::npos) << blocks;
  EXPECT_EQ(blocks.find("/" + second + "/"), std::string::npos) << blocks;
}

// Each fault of a policy file is named with its line and reason, before
// any volume is touched; a good file is described group by group.
TEST_F(KtsmctlLocalTest, PolicyErrorsNameTheirLineAndReason) {
  const struct {
    const char* text;
    const char* said;
  } kBad[] = {
      {"[group.a]\nevery = \"5x\"\n", ":2: every must be"},
      {"[group.a]\ntemplate = \"nope\"\n", ":2: no template \"nope\""},
      {"[template.t]\ntemplate = \"t\"\n", ":2: unknown setting \"template\" in a template"},
      {"[groups.a]\n", ":1: unknown table or setting \"groups\""},
      {"[group.a]\nkeep_dayly = 3\n", ":2: unknown setting \"keep_dayly\""},
      {"[group.a]\nkeep_daily = -1\n", ":2: keep_daily must be a whole number"},
      {"[group.a]\nkeep_within = \"3q\"\n", ":2: keep_within must be a duration"},
      {"[group.a]\nprune_foreign = \"yes\"\n", ":2: prune_foreign must be true or false"},
      {"[group.\"a/b\"]\n", ":1: \"a/b\" is not a group name"},
      {"[default]\nevery = \"daily\"\nevery = \"hourly\"\n", ":3: "},
      {"[group.a\n", ":1: "},
  };
  const std::string file = path("/policy.conf");
  for (const auto& bad : kBad) {
    std::ofstream(file) << bad.text;
    for (const char* command : {"policy", "timeline"}) {
      std::vector<std::string> args = {"--local", path("/volume"), command, "--policy", file};
      if (std::string(command) == "policy") args.push_back("check");
      result r = ktsmctl(args);
      EXPECT_EQ(r.status, 1) << describe(args, r);
      EXPECT_EQ(r.err.rfind("ktsmctl: " + file + bad.said, 0), 0u) << describe(args, r);
      EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
    }
  }
  EXPECT_FALSE(std::filesystem::exists(path("/volume/a"))) << "nothing made on the volume";
  std::ofstream(file) << "[default]\nevery = \"6h\"\nkeep_last = 3\n[group.b]\nkeep_last = 0\n";
  result r = ktsmctl({"policy", "check", "--policy", file});
  EXPECT_EQ(r.out, "policy " + file +
                       " is valid\n  every other group: every 6h; keep last 3\n"
                       "  group b: every 6h; no keep rule: never prunes\n");
}

TEST_F(KtsmctlLocalTest, UsageErrorsExitTwoBeforeTouchingAVolume) {
  struct usage_case {
    std::vector<std::string> args;
    std::string words;
  };
  const std::vector<usage_case> cases = {
      {{"bogus"}, "unknown command \"bogus\""},
      {{"snapshot", "a", "v", "x"},
       "snapshot takes GROUP [VERSION] (see \"ktsmctl help snapshot\")"},
      {{"timeline", "a", "b/c"}, "\"b/c\" is not a group name"},
      {{"policy", "go"}, "policy takes \"check\""},
      {{"policy"}, "policy takes check"},
      {{"list", "a", "b"}, "list takes [GROUP]"},
      {{"doctor", "x"}, "doctor takes no arguments"},
      {{"needed", "a", "v"}, "needed takes GROUP VERSION FILE"},
      {{"--local", "x", "--server", "s", "--volume", "v", "list"}, "not both"},
      {{"--server", "s", "list"}, "--server needs --volume NAME"},
      {{"--volume", "v", "list"}, "--volume needs --server"},
      {{"--local", "", "list"}, "--local needs a value"},
      {{"list", "--bogus"}, "unrecognised option '--bogus'"},
      {{"--local"}, "--local"},
      {{"create-group", "a", "--json"}, "--json applies to list, diff, timeline, holds only"},
      {{"list", "--dry-run"}, "--dry-run applies to restore, prune, timeline only"},
      {{"snapshot", "a", "x\ny"}, "the version name \"x\\ny\" contains a control character"},
      {{"create-group", "a\tb"}, "contains a control character (byte 0x09)"},
      {{"hold", "a", "v", std::string(65, 't')}, "is not a hold tag"},
      {{"prune", "a"}, "prune needs at least one --keep rule"},
      {{"prune", "a", "--keep-daily", "0"}, "--keep-daily \"0\" is not a count of 1 or more"},
      {{"prune", "a", "--keep-within", "3x"}, "is not a duration"},
      {{"restore", "a", "v", "x/../y"}, "is not a path inside the snapshot"},
      {{"--wait", "soon", "list"}, "--wait"},
      {{"create-group", "a/b"}, "\"a/b\" is not a group name"},
      {{"create-group", "//"}, "\"//\" is not a group name"},
      {{"delete-group", ".."}, "\"..\" is not a group name"},
      {{"snapshot", "a", "x/y"}, "\"x/y\" is not a version name"},
      {{"delete", "a", "."}, "\".\" is not a version name"},
      {{"needed", "a", "v", ""}, "the file name is empty"},
      {{"export", "a"}, "export needs a VERSION, or --live for the live group"},
      {{"unexport", "a", "v", "--live"}, "unexport takes a VERSION or --live, not both"},
      {{"list", "--live"}, "--live applies to export, unexport only"},
      {{"help", "bogus"}, "help takes one of the commands"},
  };
  env_changes home = {{"HOME", m_dir.path().c_str()}};
  for (const usage_case& c : cases)
    expect_one_error_line(c.args, ktsmctl(c.args, home), 2, c.words);
  std::vector<std::string> args = {"list"};
  expect_one_error_line(args, ktsmctl(args, {{"KTSM_SERVER", "h"}}), 2,
                        "KTSM_SERVER is set but KTSM_VOLUME is not");
  EXPECT_FALSE(::access(path("/.local").c_str(), F_OK) == 0) << "a usage error touched a volume";
}

TEST_F(KtsmctlLocalTest, VolumeAndLogFollowOptionsThenEnvironmentThenDefault) {
  ASSERT_EQ(::mkdir(path("/opt").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(path("/env").c_str(), 0755), 0);
  struct selection_case {
    std::vector<std::string> options;
    env_changes env;
    std::string volume;  // where the group must appear
  };
  const std::string home = path("/home"), data = path("/data"), ktsm_home = path("/kh");
  const std::string env_volume = path("/env");
  const std::vector<selection_case> cases = {
      {{"--local", path("/opt")}, {{"KTSM_LOCAL", "/nonexistent"}}, path("/opt")},
      {{}, {{"KTSM_LOCAL", env_volume.c_str()}, {"KTSM_HOME", ktsm_home.c_str()}}, path("/env")},
      {{}, {{"KTSM_HOME", ktsm_home.c_str()}, {"XDG_DATA_HOME", data.c_str()}}, ktsm_home},
      {{}, {{"XDG_DATA_HOME", data.c_str()}, {"HOME", home.c_str()}}, data + "/ktsm/volume"},
      {{},
       {{"XDG_DATA_HOME", nullptr}, {"HOME", home.c_str()}},
       home + "/.local/share/ktsm/volume"},
  };
  int n = 0;
  for (const selection_case& c : cases) {
    std::string name = "sel" + std::to_string(n++);
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"create-group", name});
    result r = ktsmctl(args, c.env);
    EXPECT_EQ(r.status, 0) << describe(args, r);
    struct stat st;
    EXPECT_EQ(::stat((c.volume + "/" + name + "/.snaps").c_str(), &st), 0) << describe(args, r);
  }
  // The log: beside the default volume unless KTSM_LOG names it, no error
  // record that is no error, and nothing from a command that only reads;
  // -v sends every record to standard error.  A log grown past 4 MiB is
  // moved aside (3 kept) before a command writes.
  const std::string log = home + "/.local/share/ktsm/ktsmctl.log";
  const env_changes default_log{{"HOME", home.c_str()}, {"KTSM_LOG", nullptr}};
  result r = ktsmctl({"snapshot", "sel4", "s"}, default_log);
  EXPECT_EQ(r.status, 0) << r.err;
  std::string written = read_text(log);
  EXPECT_NE(written.find("sel4"), std::string::npos) << written;
  EXPECT_EQ(written.find("[error]"), std::string::npos) << written;
  r = ktsmctl({"list"}, default_log);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_text(log), written) << "list wrote to the log";
  std::ofstream(log, std::ios::app) << std::string(4u << 20, 'x') << "\n";
  ktsmctl({"delete", "sel4", "s"}, default_log);
  EXPECT_GT(read_text(log + ".1").size(), 4u << 20);
  EXPECT_EQ(read_text(log).find("xxxx"), std::string::npos);
  result verbose = ktsmctl({"-v", "list"}, {{"HOME", home.c_str()}});
  EXPECT_NE(verbose.err.find("ktsm_filegroup_versionset_init()"), std::string::npos);
  EXPECT_NE(verbose.out.find("group sel4"), std::string::npos) << verbose.out;
  result missing = ktsmctl({"--local", path("/nonexistent"), "list"});
  expect_one_error_line({"--local", "list"}, missing, 1, "does not exist");
}

TEST_F(KtsmctlLocalTest, HelpForTheToolAndForEachCommand) {
  result help = ktsmctl({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("$HOME/.local/share/ktsm/volume"), std::string::npos);
  EXPECT_NE(help.out.find("KTSM_LOG"), std::string::npos);
  for (const char* command : {"list", "create-group", "delete-group", "snapshot", "delete",
                              "export", "unexport", "link", "needed", "doctor", "demo"}) {
    EXPECT_NE(help.out.find("\n  " + std::string(command) + " "), std::string::npos) << command;
    result by_help = ktsmctl({"help", command});
    result by_option = ktsmctl({command, "--help"});
    EXPECT_EQ(by_help.status, 0) << command;
    EXPECT_EQ(by_help.out.rfind("usage: ktsmctl [OPTIONS] " + std::string(command), 0), 0u)
        << by_help.out;
    EXPECT_EQ(by_help.out, by_option.out) << command;
  }
  EXPECT_EQ(ktsmctl({"help"}).out, help.out);
  result bare = ktsmctl({});
  EXPECT_EQ(bare.status, 2) << "a bare ktsmctl did nothing";
  EXPECT_EQ(bare.out, help.out);
  EXPECT_EQ(ktsmctl({"--version"}).out.rfind("ktsmctl ", 0), 0u);
  // The man page and the completion come from the same table as --help.
  std::string man = ktsmctl({"--man-page"}).out, completion = ktsmctl({"--bash-completion"}).out;
  for (const char* command : {"restore", "diff", "prune", "hold", "release", "holds"}) {
    EXPECT_NE(help.out.find("\n  " + std::string(command) + " "), std::string::npos) << command;
    EXPECT_NE(man.find(".B " + std::string(command)), std::string::npos) << command;
    EXPECT_NE(completion.find(" " + std::string(command) + " "), std::string::npos) << command;
  }
}

TEST_F(KtsmctlLocalTest, PruneKeepsWhatEachRuleNames) {
  std::string volume = path("/v");
  std::vector<std::string> on = {"--local", volume};
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), on.begin(), on.end());
    return ktsmctl(args, {{"TZ", "UTC"}});
  };
  ASSERT_EQ(::mkdir(volume.c_str(), 0755), 0);
  ASSERT_EQ(run({"create-group", "g"}).status, 0);
  std::error_code ec;
  volume_access access;
  access.connect(ktfs::make_local_backend(volume, &ec));
  // Each snapshot's creation record set to a time of its own (UTC).
  const std::vector<std::pair<std::string, std::string>> made = {
      {"d1a", "2024-01-01 10:00"}, {"d1b", "2024-01-01 18:00"}, {"d2", "2024-01-02 09:00"},
      {"d3", "2024-01-03 09:00"},  {"w", "2024-01-10 09:00"},   {"m", "2024-02-15 09:00"}};
  uint64_t sequence = 0;
  for (const auto& [name, when] : made) {
    ASSERT_EQ(run({"snapshot", "g", name}).status, 0);
    struct tm t = {};
    ASSERT_NE(::strptime(when.c_str(), "%Y-%m-%d %H:%M", &t), nullptr);
    access.set_xattr("/g/.snaps/" + name, "trusted.norvafs.snapcreated",
                     std::to_string(::timegm(&t)) + ".000000000 " + std::to_string(++sequence));
  }
  struct rule_case {
    std::vector<std::string> rules;
    std::set<std::string> removed;
  };
  const std::vector<rule_case> cases = {
      {{"--keep-last", "2"}, {"d1a", "d1b", "d2", "d3"}},
      {{"--keep-hourly", "1"}, {"d1a", "d1b", "d2", "d3", "w"}},
      {{"--keep-daily", "3"}, {"d1a", "d1b", "d2"}},
      {{"--keep-daily", "10"}, {"d1a"}},
      {{"--keep-weekly", "2"}, {"d1a", "d1b", "d2", "d3"}},
      {{"--keep-monthly", "2"}, {"d1a", "d1b", "d2", "d3"}},
      {{"--keep-within", "6w"}, {"d1a", "d1b", "d2", "d3"}},
      {{"--keep-within", "6w1d"}, {"d1a", "d1b", "d2"}},
      {{"--keep-within", "1m2w"}, {}},
      {{"--keep-last", "1", "--keep-daily", "4"}, {"d1a", "d1b"}},
  };
  for (const rule_case& c : cases) {
    std::vector<std::string> args = {"prune", "g", "--dry-run"};
    args.insert(args.end(), c.rules.begin(), c.rules.end());
    result r = run(args);
    ASSERT_EQ(r.status, 0) << describe(args, r);
    std::set<std::string> removed;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("remove", 0) == 0) removed.insert(line.substr(8, line.find('\t') - 8));
    }
    EXPECT_EQ(removed, c.removed) << describe(args, r);
  }
}

TEST_F(KtsmctlLocalTest, AFailedWriteToStandardOutputFails) {
  std::string volume = path("/v");
  ASSERT_EQ(::mkdir(volume.c_str(), 0755), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(::open("/dev/full", O_WRONLY), STDOUT_FILENO);
    ::dup2(::open("/dev/null", O_WRONLY), STDERR_FILENO);
    ::setenv("KTSM_LOG", path("/log").c_str(), 1);
    ::execl(KTSMCTL_BIN, "ktsmctl", "--local", volume.c_str(), "list", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;

  // A reader that stopped reading (ktsmctl list | head): SIGPIPE is ignored
  // (the GlusterFS client needs it so), and the run ends as a writer the
  // signal ended would, 141, without a word.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], STDOUT_FILENO);
    ::dup2(::open(path("/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
    ::setenv("KTSM_LOG", path("/log").c_str(), 1);
    ::execl(KTSMCTL_BIN, "ktsmctl", "--local", volume.c_str(), "list", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 141) << status;
  EXPECT_EQ(ktsm_test::read_text(path("/stderr")), "");
}

TEST_F(KtsmctlLocalTest, DemoRunsAndCleansUp) {
  result r = ktsmctl({"demo"}, {{"TMPDIR", m_dir.path().c_str()}});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Same picture"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("storhaug wrote export-"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("restored 1 path of version v1"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("v2 -> live: 0 added, 0 removed, 1 changed"), std::string::npos) << r.out;
  std::string left;
  ktsm_test::run_command("ls '" + m_dir.path() + "' | grep ktsmctl-demo", &left);
  EXPECT_EQ(left, "") << "the demo left its directory behind";
}

}  // namespace
