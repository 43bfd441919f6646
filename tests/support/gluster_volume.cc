#include "support/gluster_volume.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <system_error>
#include <thread>

#include "ktfs/ktfs_api.h"

namespace ktsm_test {

namespace {

const char kGluster[] = "gluster --mode=script ";

bool process_alive(int pid) { return pid > 0 && ::kill(pid, 0) == 0; }

// True when a glusterd answers the CLI (a defunct one does not).
bool glusterd_answers() {
  std::string out;
  return run_command(std::string(kGluster) + "pool list", &out) == 0;
}

// Runs a gluster CLI command, retrying while glusterd is busy with another
// transaction (other test processes share it).
bool gluster_cli(const std::string& args, std::string* output) {
  for (int attempt = 0; attempt < 60; ++attempt) {
    if (run_command(kGluster + args, output) == 0) return true;
    if (output->find("nother transaction") == std::string::npos &&
        output->find("locking failed") == std::string::npos) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  return false;
}

// The glusterd this process started, ended at exit after every volume: it
// is made before the first volume is complete, so it is destroyed after.
struct started_glusterd {
  int pid = 0;
  ~started_glusterd() {
    if (pid == 0) return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 100 && process_alive(pid); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
};

started_glusterd& our_glusterd() {
  static started_glusterd started;
  return started;
}

std::string unique_suffix() {
  std::random_device rd;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d_%06x", static_cast<int>(::getpid()), rd() & 0xffffff);
  return buf;
}

}  // namespace

int run_command(const std::string& command, std::string* output) {
  output->clear();
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) output->append(buf, n);
  int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

const char* layout_name(volume_layout layout) {
  switch (layout) {
    case volume_layout::single:
      return "single";
    case volume_layout::distributed:
      return "distributed";
    case volume_layout::replica:
      return "replica";
  }
  return "?";
}

gluster_volume& gluster_volume::get(volume_layout layout) {
  // One lazily made volume per layout; all are torn down at exit.
  switch (layout) {
    case volume_layout::single: {
      static gluster_volume single(volume_layout::single);
      return single;
    }
    case volume_layout::distributed: {
      static gluster_volume distributed(volume_layout::distributed);
      return distributed;
    }
    case volume_layout::replica:
      break;
  }
  static gluster_volume replica(volume_layout::replica);
  return replica;
}

gluster_volume::gluster_volume(volume_layout layout) : m_layout(layout) {
  if (::geteuid() != 0) {
    m_skip_reason = "GlusterFS tests need root (glusterd, bricks and trusted attributes)";
    return;
  }
  char host[256] = {0};
  ::gethostname(host, sizeof host - 1);
  m_host = host;
  m_ok = ensure_glusterd() && create_volume() && wait_for_clients();
}

gluster_volume::~gluster_volume() { teardown(); }

std::string gluster_volume::host_path(const std::string& volume_path) const {
  for (const std::string& brick : m_bricks) {
    std::string path = brick + volume_path;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) continue;
    if (S_ISREG(st.st_mode) &&
        ::lgetxattr(path.c_str(), "trusted.glusterfs.dht.linkto", nullptr, 0) >= 0) {
      continue;  // DHT's pointer to the brick that holds the file
    }
    return path;
  }
  return (m_bricks.empty() ? std::string() : m_bricks.front()) + volume_path;
}

int gluster_volume::brick_pid(size_t i) const {
  std::string out;
  if (i >= m_bricks.size() || !gluster_cli("volume status " + m_name + " --xml", &out)) return 0;
  // <node><hostname>H</hostname><path>BRICK</path>...<status>1</status>
  // <pid>N</pid>...</node>, one node per brick and daemon.
  size_t at = out.find("<path>" + m_bricks[i] + "</path>");
  if (at == std::string::npos) return 0;
  size_t end = out.find("</node>", at);
  auto field = [&](const std::string& tag) {
    size_t from = out.find("<" + tag + ">", at);
    if (from == std::string::npos || from > end) return -1;
    return std::atoi(out.c_str() + from + tag.size() + 2);
  };
  return field("status") == 1 ? std::max(field("pid"), 0) : 0;
}

bool gluster_volume::kill_brick(size_t i) {
  int pid = brick_pid(i);
  if (pid <= 0 || ::kill(pid, SIGKILL) != 0) return false;
  for (int n = 0; n < 100 && brick_pid(i) != 0; ++n) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (brick_pid(i) == 0) return true;
  m_error = "glusterd still lists brick " + std::to_string(i) + " online after its kill";
  return false;
}

bool gluster_volume::restart_bricks() {
  // glusterd takes a brick ended a moment ago for a running one until it
  // has reaped it ("discovered already-running brick"): start again until
  // every brick is online.
  std::string out;
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (!gluster_cli("volume start " + m_name + " force", &out)) {
      m_error = "volume start force failed: " + out;
      return false;
    }
    for (int n = 0; n < 10; ++n) {
      bool all = true;
      for (size_t i = 0; i < m_bricks.size() && all; ++i) all = brick_pid(i) != 0;
      if (all) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }
  m_error = "bricks still offline after volume start force";
  return false;
}

bool gluster_volume::restart_volume() {
  std::string out;
  if (!gluster_cli("volume stop " + m_name + " force", &out)) {
    m_error = "volume stop failed: " + out;
    return false;
  }
  if (!gluster_cli("volume start " + m_name, &out)) {
    m_error = "volume start failed: " + out;
    return false;
  }
  return wait_for_clients();
}

bool gluster_volume::volume_cli(const std::string& verb, const std::string& rest,
                                std::string* out) const {
  return gluster_cli("volume " + verb + " " + m_name + (rest.empty() ? "" : " " + rest), out);
}

bool gluster_volume::wait_for_heal(int in_flight, int seconds) {
  if (m_layout != volume_layout::replica) return true;
  std::string out;
  gluster_cli("volume heal " + m_name, &out);
  for (int i = 0; i < seconds; ++i) {
    // "Number of entries: N" per brick.
    if (gluster_cli("volume heal " + m_name + " info", &out)) {
      bool pending = false;
      for (size_t at = out.find("Number of entries: "); at != std::string::npos;
           at = out.find("Number of entries: ", at + 1)) {
        pending = pending || std::atoi(out.c_str() + at + 19) > in_flight;
      }
      if (!pending && out.find("Number of entries: ") != std::string::npos) return true;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  m_error = "entries still to heal after " + std::to_string(seconds) + " seconds: " + out;
  return false;
}

bool gluster_volume::ensure_glusterd() {
  // One process at a time decides whether glusterd must be started.
  int lock = ::open("/tmp/ktsm-glusterd.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock >= 0) ::flock(lock, LOCK_EX);
  started_glusterd& started = our_glusterd();
  bool ok = glusterd_answers();
  if (!ok) {
    std::string out;
    std::string pid_file = "/tmp/ktsm-glusterd-" + unique_suffix() + ".pid";
    if (run_command("glusterd -p " + pid_file, &out) != 0) {
      m_error = "glusterd did not start: " + out;
    } else {
      for (int i = 0; i < 100 && started.pid == 0; ++i) {
        std::ifstream in(pid_file);
        in >> started.pid;
        if (started.pid == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      ::unlink(pid_file.c_str());
      for (int i = 0; i < 150 && !ok; ++i) {
        ok = run_command(std::string(kGluster) + "pool list", &out) == 0;
        if (!ok) std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
      if (!ok) m_error = "glusterd does not answer: " + out;
    }
  }
  if (lock >= 0) ::close(lock);  // releases the lock
  return ok;
}

bool gluster_volume::create_volume() {
  char tmpl[] = "/tmp/ktsm-gluster-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) {
    m_error = "cannot make the bricks' directory";
    return false;
  }
  m_dir = tmpl;
  std::string args = m_layout == volume_layout::replica ? " replica 3" : "";
  int count = m_layout == volume_layout::single ? 1 : 3;
  for (int i = 0; i < count; ++i) m_bricks.push_back(m_dir + "/brick" + std::to_string(i));
  for (const std::string& brick : m_bricks) args += " " + m_host + ":" + brick;
  m_name = std::string("ktsmt_") + layout_name(m_layout) + "_" + unique_suffix();
  std::string out;
  if (!gluster_cli("volume create " + m_name + args + " force", &out)) {
    m_error = "volume create failed: " + out;
    m_name.clear();
    return false;
  }
  if (!gluster_cli("volume start " + m_name, &out)) {
    m_error = "volume start failed: " + out;
    return false;
  }
  return true;
}

bool gluster_volume::wait_for_clients() {
  std::error_code ec;
  // A client connects before every brick answers it; a distributed volume
  // is usable once its root can be looked up on all of them.
  for (int i = 0; i < 60; ++i) {
    std::shared_ptr<ktfs::backend> client = ktfs::make_gluster_backend(server(), m_name, &ec);
    struct stat st;
    if (client && !(ec = client->stat("/", &st))) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  m_error = "no client could connect to volume " + m_name + ": " + ec.message();
  return false;
}

void gluster_volume::teardown() {
  std::string out;
  if (!m_name.empty()) {
    gluster_cli("volume stop " + m_name + " force", &out);
    gluster_cli("volume delete " + m_name, &out);
    m_name.clear();
  }
  if (!m_dir.empty()) {
    run_command("rm -rf '" + m_dir + "'", &out);
    m_dir.clear();
  }
}

}  // namespace ktsm_test
