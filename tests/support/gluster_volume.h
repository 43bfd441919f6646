// A real one-brick GlusterFS volume for the tests of one process.
//
// The first call of gluster_volume::get() starts glusterd when none runs,
// creates a volume with a unique name whose brick lies in a temporary
// directory (on this machine's host name, "force"), starts it and waits
// until a client can connect.  At process exit the volume is stopped and
// deleted, its directory removed, and a glusterd that this process started
// is ended by its process id; nothing else is touched.
//
// Without root the volume cannot be made: ok() is false and skip_reason()
// says why, so that tests can GTEST_SKIP.  As root any failure is a test
// failure (error() tells what went wrong).
#ifndef KTSM_TESTS_SUPPORT_GLUSTER_VOLUME_H_
#define KTSM_TESTS_SUPPORT_GLUSTER_VOLUME_H_

#include <string>

namespace ktsm_test {

class gluster_volume {
 public:
  static gluster_volume& get();

  bool ok() const { return m_ok; }
  bool skipped() const { return !m_skip_reason.empty(); }
  const std::string& skip_reason() const { return m_skip_reason; }
  const std::string& error() const { return m_error; }

  const std::string& name() const { return m_name; }
  // "HOST:24007", the volfile server clients connect to.
  std::string server() const { return m_host + ":24007"; }
  const std::string& host() const { return m_host; }
  // The brick directory on this machine (for checks behind the client's back).
  const std::string& brick() const { return m_brick; }

  ~gluster_volume();

 private:
  gluster_volume();
  bool ensure_glusterd();
  bool create_volume();
  bool wait_for_clients();
  void teardown();

  bool m_ok = false;
  std::string m_skip_reason;
  std::string m_error;
  std::string m_name;
  std::string m_host;
  std::string m_dir;
  std::string m_brick;
  int m_glusterd_pid = 0;  // non-zero only when this process started it
};

// Runs a shell command; returns its exit status and its output (both streams).
int run_command(const std::string& command, std::string* output);

}  // namespace ktsm_test

#endif  // KTSM_TESTS_SUPPORT_GLUSTER_VOLUME_H_
