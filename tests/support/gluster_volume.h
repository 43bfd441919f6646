// Real GlusterFS volumes for the tests of one process.
//
// gluster_volume::get(layout) returns the process's volume of that layout,
// made on first use; a process makes at most one volume per layout.  The
// layouts, all bricks in temporary directories on this machine's host name
// ("force" lets gluster put bricks, and replicas, on one host and on the
// root file system; --mode=script answers the CLI's prompts):
//   single       one brick (the benchmarks' volume);
//   distributed  three bricks, plain DHT: a regular file (or symbolic link)
//                lives on the one brick its name hashes to, a directory on
//                every brick (the GlusterFS tests' volume);
//   replica      "replica 3" on three bricks: every brick holds a copy of
//                everything (the recovery tests' second volume).
//
// The first call starts glusterd when none runs.  Making a volume creates
// it under a unique name, starts it and waits until a client can connect.
// At process exit every volume made is stopped and deleted and its
// directory removed, then a glusterd that this process started is ended by
// its process id; nothing else is touched.
//
// Without root no volume can be made: ok() is false and skip_reason() says
// why, so that tests can GTEST_SKIP.  As root any failure is a test failure
// (error() tells what went wrong).
#ifndef KTSM_TESTS_SUPPORT_GLUSTER_VOLUME_H_
#define KTSM_TESTS_SUPPORT_GLUSTER_VOLUME_H_

#include <string>
#include <vector>

namespace ktsm_test {

enum class volume_layout { single, distributed, replica };
const char* layout_name(volume_layout layout);

class gluster_volume {
 public:
  static gluster_volume& get(volume_layout layout);

  bool ok() const { return m_ok; }
  bool skipped() const { return !m_skip_reason.empty(); }
  const std::string& skip_reason() const { return m_skip_reason; }
  const std::string& error() const { return m_error; }

  volume_layout layout() const { return m_layout; }
  const std::string& name() const { return m_name; }
  // "HOST:24007", the volfile server clients connect to.
  std::string server() const { return m_host + ":24007"; }
  const std::string& host() const { return m_host; }
  // The brick directories on this machine, in the volume's order.
  const std::vector<std::string>& bricks() const { return m_bricks; }
  // Where a volume path lives on this machine, for checks behind the
  // client's back: its path on the first brick that holds it (DHT's
  // link-to files, which only point at another brick, do not count), or on
  // the first brick when no brick holds it.  A directory is on every brick,
  // a regular file on one brick of a distributed volume, anything on every
  // brick of a replica.
  std::string host_path(const std::string& volume_path) const;

  // Brick i's process id as the volume's status gives it; 0 when the brick
  // is offline or the status cannot be read.
  int brick_pid(size_t i) const;
  // Ends brick i's process (SIGKILL, by the pid of the brick this fixture's
  // volume started) and waits until the volume's status shows it offline.
  bool kill_brick(size_t i);
  // Starts the volume's offline bricks again ("volume start force") and
  // waits until the status shows each online; error() says why not.
  bool restart_bricks();
  // Stops the whole volume ("volume stop force": every brick ends, clients
  // lose it), starts it again and waits until a client can connect.
  bool restart_volume();
  // A replica volume: asks its self-heal to run and waits (up to seconds)
  // until no brick lists more than in_flight entries to heal (the writes
  // under way while clients write).  True at once for the other layouts.
  bool wait_for_heal(int in_flight = 0, int seconds = 120);
  // "gluster volume VERB NAME REST": *out receives what it printed.
  bool volume_cli(const std::string& verb, const std::string& rest, std::string* out) const;

  ~gluster_volume();
  gluster_volume(const gluster_volume&) = delete;
  gluster_volume& operator=(const gluster_volume&) = delete;

 private:
  explicit gluster_volume(volume_layout layout);
  bool ensure_glusterd();
  bool create_volume();
  bool wait_for_clients();
  void teardown();

  volume_layout m_layout;
  bool m_ok = false;
  std::string m_skip_reason;
  std::string m_error;
  std::string m_name;
  std::string m_host;
  std::string m_dir;
  std::vector<std::string> m_bricks;
};

// Runs a shell command; returns its exit status and its output (both streams).
int run_command(const std::string& command, std::string* output);

}  // namespace ktsm_test

#endif  // KTSM_TESTS_SUPPORT_GLUSTER_VOLUME_H_
