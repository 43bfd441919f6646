// Versions as users meet them over NFS.  A file group that belongs to uid
// 1000 gets two real snapshots through the library on a GlusterFS volume;
// the first and the live group are exported through the library (with the
// stand-in export service), and the export blocks are loaded into a real
// NFS-Ganesha (FSAL GLUSTER), started here in the foreground on a loopback
// port of its own.  The user-space NFSv4 client then reads as each user
// would, by uid: the version reads as its group did, is never writable, and
// is reached at its own pseudo path; an unexported version stays out of
// reach through the group's export; root is squashed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "support/gluster_volume.h"
#include "support/library_fixture.h"

using ktfs::kNoAio;

extern char** environ;

namespace {

using ktsm_test::vs;

const int kOwner = 1000;  // the group's owner
const int kOther = 1001;  // another user
const int kRoot = 0;      // this process: root, squashed by every export

// A loopback TCP port that nothing listens on now.
int free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  ::close(fd);
  return port;
}

// ganesha.nfsd in the foreground, as this process's child; ended by its
// pid (TERM, then KILL) when the object goes.
class ganesha_server {
 public:
  explicit ganesha_server(const std::string& dir) {
    std::string log = dir + "/ganesha.log", conf = dir + "/ganesha.conf", pid = dir + "/pid";
    const char* argv[] = {"ganesha.nfsd", "-F", "-L",        log.c_str(), "-f",
                          conf.c_str(),   "-p", pid.c_str(), nullptr};
    if (::posix_spawnp(&m_pid, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ)) {
      m_pid = 0;
    }
  }
  ~ganesha_server() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    for (int i = 0; i < 300 && ::waitpid(m_pid, nullptr, WNOHANG) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (::kill(m_pid, SIGKILL) == 0) ::waitpid(m_pid, nullptr, 0);
  }
  bool started() const { return m_pid > 0; }
  bool running() const { return m_pid > 0 && ::kill(m_pid, 0) == 0; }

 private:
  pid_t m_pid = 0;
};

// Ganesha's configuration: NFSv4 only on the loopback port, no NLM, RQUOTA
// or UDP, recovery in dir, and every export block the stand-in wrote.
void write_config(const std::string& dir, int port, const std::string& exports) {
  std::set<std::string> blocks;
  for (const auto& e : std::filesystem::directory_iterator(exports)) {
    if (e.path().extension() == ".conf") blocks.insert(e.path().string());
  }
  std::ofstream conf(dir + "/ganesha.conf");
  conf << "NFS_CORE_PARAM {\n  NFS_Port = " << port << ";\n  Bind_Addr = 127.0.0.1;\n"
       << "  Protocols = 4;\n  Enable_NLM = false;\n  Enable_RQUOTA = false;\n"
       << "  Enable_UDP = false;\n  Dbus_Name_Prefix = \"ktsmtest" << ::getpid() << "\";\n}\n"
       << "NFSV4 {\n  RecoveryRoot = \"" << dir << "/recovery\";\n  Graceless = true;\n}\n";
  for (const std::string& b : blocks) conf << "%include \"" << b << "\"\n";
}

class GaneshaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string skip;
    if (!m_lib.set_up(ktsm_test::backend_kind::gluster_distributed, &skip)) {
      if (!skip.empty()) GTEST_SKIP() << skip;
      FAIL() << "volume set-up failed";
    }
    ASSERT_EQ(m_lib.init(), 0);
  }
  void TearDown() override { m_lib.tear_down(); }

  // The entry at path, owned by kOwner, with mode.
  void own(const std::string& path, unsigned int mode) {
    ASSERT_FALSE(m_lib.api().lchown(m_lib.io(), path.c_str(), kOwner, kOwner, kNoAio)) << path;
    ASSERT_FALSE(m_lib.api().chmod(m_lib.io(), path.c_str(), mode, kNoAio)) << path;
  }

  // The group g as its owner keeps it: a file everyone may read and a
  // directory only the owner may enter.  Registered, with the snapshots v1
  // (exported, with the live group) and v2 (not exported).
  void take_and_export_versions() {
    m_lib.make_dir("/g", 0755);
    m_lib.write_file("/g/report.txt", "figures\n");
    m_lib.make_dir("/g/private", 0700);
    m_lib.write_file("/g/private/secret.txt", "salary\n");
    own("/g/private/secret.txt", 0600);
    own("/g/private", 0700);
    own("/g/report.txt", 0644);
    own("/g", 0755);
    vs::set_ptr set;
    vs::version_ptr v1, v2;
    ASSERT_EQ(vs::create_version_set("//g", set), 0);
    ASSERT_EQ(set->create_version("v1", v1), 0);
    ASSERT_EQ(set->create_version("v2", v2), 0);
    ASSERT_EQ(set->export_version("v1"), 0);
    ASSERT_EQ(set->export_version("//g"), 0);
  }

  // Runs a libnfs tool on a path of the server's pseudo file system as uid
  // (with the group of the same number); root's calls carry no uid, as a
  // root user's do.  nfs-cp copies a local file to the path.
  int nfs(const std::string& tool, const std::string& pseudo, int uid, std::string* out) {
    std::string url = "'nfs://127.0.0.1" + pseudo + "?version=4&nfsport=" + std::to_string(m_port);
    if (uid != kRoot) url += "&uid=" + std::to_string(uid) + "&gid=" + std::to_string(uid);
    url += "'";
    std::string source = tool == "nfs-cp" ? m_tmp.path() + "/ganesha.conf " : "";
    return ktsm_test::run_command(tool + " " + source + url, out);
  }

  ktsm_test::library_fixture m_lib;
  ktsm_test::scratch_dir m_tmp;
  int m_port = 0;
};

TEST_F(GaneshaTest, UsersReadAnExportedVersionAsTheirGroupAllowsAndNeverWriteIt) {
  take_and_export_versions();
  const std::string vol = m_lib.volume_name();
  m_port = free_port();
  ASSERT_GT(m_port, 0);
  write_config(m_tmp.path(), m_port, m_lib.exports_dir());
  ganesha_server server(m_tmp.path());
  ASSERT_TRUE(server.started()) << "ganesha.nfsd cannot be started; run scripts/install-deps";
  std::string log;
  for (int i = 0;
       i < 600 && server.running() && log.find("SERVER INITIALIZED") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    log = ktsm_test::read_text(m_tmp.path() + "/ganesha.log");
  }
  ASSERT_TRUE(server.running()) << log;
  // Exactly the version's and the live group's directories, never the
  // volume's root.
  EXPECT_NE(log.find("exported at : '/g/.snaps/v1'"), std::string::npos) << log;
  EXPECT_NE(log.find("exported at : '/g'"), std::string::npos) << log;
  size_t exports = 0;
  for (size_t at = log.find("exported at :"); at != std::string::npos;
       at = log.find("exported at :", at + 1)) {
    ++exports;
  }
  EXPECT_EQ(exports, 2u) << log;

  const std::string version = "/" + vol + "/.snapshots/g/v1", live = "/" + vol + "/g";
  const std::string denied = "NFS4ERR_ACCESS", read_only = "NFS4ERR_ROFS";
  struct {
    const char* what;
    std::string tool, path;
    int uid;
    bool works;
    std::string said;  // in the output: what was read or listed, or the error
  } steps[] = {
      {"the owner reads its file", "nfs-cat", version + "/report.txt", kOwner, true, "figures\n"},
      {"the owner lists the version", "nfs-ls", version, kOwner, true, "private"},
      {"the owner reads in its own directory", "nfs-cat", version + "/private/secret.txt", kOwner,
       true, "salary\n"},
      {"another user reads the open file", "nfs-cat", version + "/report.txt", kOther, true,
       "figures\n"},
      {"another user lists the closed directory", "nfs-ls", version + "/private", kOther, false,
       denied},
      {"another user reads in it", "nfs-cat", version + "/private/secret.txt", kOther, false,
       denied},
      {"the owner writes into the version", "nfs-cp", version + "/new.txt", kOwner, false,
       read_only},
      {"root writes into the version", "nfs-cp", version + "/new.txt", kRoot, false, read_only},
      {"the owner walks into an unexported version", "nfs-ls", live + "/.snaps/v2", kOwner, false,
       denied},
      {"the owner reads in it", "nfs-cat", live + "/.snaps/v2/report.txt", kOwner, false, denied},
      {"root walks into it", "nfs-ls", live + "/.snaps/v2", kRoot, false, denied},
      {"the owner writes into the live group", "nfs-cp", live + "/from-owner", kOwner, true, ""},
      {"root, squashed, writes into it", "nfs-cp", live + "/from-root", kRoot, false, denied},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(std::string(s.what) + ": " + s.tool + " " + s.path + " as uid " +
                 std::to_string(s.uid));
    std::string out;
    EXPECT_EQ(nfs(s.tool, s.path, s.uid, &out) == 0, s.works) << out;
    if (s.tool == "nfs-cat" && s.works) {
      EXPECT_EQ(out, s.said);
    } else {
      EXPECT_NE(out.find(s.said), std::string::npos) << out;
    }
  }
  struct stat st;
  ASSERT_FALSE(m_lib.api().lstat(m_lib.io(), "/g/from-owner", &st, kNoAio));
  EXPECT_EQ(st.st_uid, static_cast<uid_t>(kOwner));
  EXPECT_FALSE(m_lib.exists("/g/from-root"));
  EXPECT_FALSE(m_lib.exists("/g/.snaps/v1/new.txt"));
}

}  // namespace
