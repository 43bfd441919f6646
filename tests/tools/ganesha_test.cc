// The stand-in's export blocks loaded into a real NFS-Ganesha (FSAL GLUSTER),
// started here in the foreground on a loopback port of its own and read
// through a user-space NFSv4 client: a version's block exports that
// directory alone, read-only; a live group's block is writable with root
// squashed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "ktfs/ktfs_api.h"
#include "support/gluster_volume.h"
#include "support/test_volumes.h"

using ktfs::kNoAio;

extern char** environ;

namespace {

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

TEST(GaneshaTest, VersionBlockExportsOnlyTheVersionReadOnly) {
  std::string skip;
  auto volume = ktsm_test::test_volume::make(ktsm_test::backend_kind::gluster_distributed, &skip);
  if (!volume) {
    if (!skip.empty()) GTEST_SKIP() << skip;
    FAIL() << "no GlusterFS volume";
  }
  const std::string vol =
      ktsm_test::gluster_volume::get(ktsm_test::volume_layout::distributed).name();
  const std::string group = volume->prefix() + "/g", version = group + "/.snaps/v2";
  ktfs::ktfs_api api;
  ktfs::iopx_ptr io = api.init(volume->cfg());
  ASSERT_TRUE(io);
  for (const std::string& d : {group, group + "/.snaps", version}) {
    ASSERT_FALSE(api.mkdir(io, d.c_str(), 0777, kNoAio)) << d;
  }
  for (const std::string& f : {version + "/kept.txt", group + "/live.txt"}) {
    ktfs::file_ptr file = api.open(io, f.c_str(), O_WRONLY | O_CREAT, 0644, kNoAio);
    ASSERT_TRUE(file) << f;
    ASSERT_FALSE(api.close(file, kNoAio));
  }

  ktsm_test::scratch_dir tmp;
  std::string out;
  for (const std::string& d : {version, group}) {
    ASSERT_EQ(ktsm_test::run_command("STORHAUG_EXPORT_DIR=" + tmp.path() + "/exports " +
                                         KTSM_SOURCE_DIR + "/tools/storhaug exportdir /" + vol + d,
                                     &out),
              0)
        << out;
  }
  int port = free_port();
  ASSERT_GT(port, 0);
  std::ofstream(tmp.path() + "/ganesha.conf")
      << "NFS_CORE_PARAM {\n  NFS_Port = " << port << ";\n  Bind_Addr = 127.0.0.1;\n"
      << "  Protocols = 4;\n  Enable_NLM = false;\n  Enable_RQUOTA = false;\n"
      << "  Enable_UDP = false;\n  Dbus_Name_Prefix = \"ktsmtest" << ::getpid() << "\";\n}\n"
      << "NFSV4 {\n  RecoveryRoot = \"" << tmp.path() << "/recovery\";\n  Graceless = true;\n}\n"
      << "%include \"" << tmp.path() << "/exports/export-100.conf\"\n"
      << "%include \"" << tmp.path() << "/exports/export-101.conf\"\n";

  ganesha_server server(tmp.path());
  ASSERT_TRUE(server.started()) << "ganesha.nfsd cannot be started; run scripts/install-deps";
  std::string log;
  for (int i = 0;
       i < 600 && server.running() && log.find("SERVER INITIALIZED") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    log = ktsm_test::read_text(tmp.path() + "/ganesha.log");
  }
  ASSERT_TRUE(server.running()) << log;
  // Exactly the two directories, never the volume's root.
  EXPECT_NE(log.find("exported at : '" + version + "'"), std::string::npos) << log;
  EXPECT_NE(log.find("exported at : '" + group + "'"), std::string::npos) << log;
  size_t exports = 0;
  for (size_t at = log.find("exported at :"); at != std::string::npos;
       at = log.find("exported at :", at + 1)) {
    ++exports;
  }
  EXPECT_EQ(exports, 2u) << log;

  const std::string url = "nfs://127.0.0.1/" + vol,
                    opts = "?version=4&nfsport=" + std::to_string(port);
  const std::string data = tmp.path() + "/ganesha.conf";
  ASSERT_EQ(ktsm_test::run_command("nfs-ls '" + url + version + opts + "'", &out), 0) << out;
  EXPECT_NE(out.find("kept.txt"), std::string::npos) << out;
  EXPECT_EQ(out.find("live.txt"), std::string::npos) << out;
  EXPECT_NE(
      ktsm_test::run_command("nfs-cp " + data + " '" + url + version + "/new" + opts + "'", &out),
      0);
  EXPECT_NE(out.find("ROFS"), std::string::npos) << out;
  ASSERT_EQ(
      ktsm_test::run_command("nfs-cp " + data + " '" + url + group + "/new" + opts + "'", &out), 0)
      << out;
  struct stat st;
  EXPECT_TRUE(api.stat(io, (version + "/new").c_str(), &st, kNoAio)) << "written to a version";
  ASSERT_FALSE(api.stat(io, (group + "/new").c_str(), &st, kNoAio));
  EXPECT_NE(st.st_uid, 0u) << "root not squashed";
}

}  // namespace
