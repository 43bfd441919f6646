// Volumes for tests that run the same case on every client backend.
#ifndef KTSM_TESTS_SUPPORT_TEST_VOLUMES_H_
#define KTSM_TESTS_SUPPORT_TEST_VOLUMES_H_

#include <memory>
#include <string>

#include "ktfs/ktfs_api.h"

namespace ktsm_test {

// A temporary directory, removed with everything in it on destruction.
class scratch_dir {
 public:
  scratch_dir();
  ~scratch_dir();
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

// The whole text of a host file; empty when it cannot be read.
std::string read_text(const std::string& path);

// Reads the whole volume file path through the client into *data; false
// when it cannot be opened or a read fails (*data holds what was read).
bool read_volume_file(ktfs::ktfs_api& api, const ktfs::iopx_ptr& io, const std::string& path,
                      std::string* data);
// Makes (or empties) the volume file path through the client and writes
// data as all of it; the first failure of the open, write or close.
std::error_code write_volume_file(ktfs::ktfs_api& api, const ktfs::iopx_ptr& io,
                                  const std::string& path, const std::string& data);

// Where a test's volume is: a local directory, or the process's GlusterFS
// volume of three bricks, distributed (DHT) or "replica 3" (see
// gluster_volume.h).  backend_name() names the parameter in test names.
enum class backend_kind { local, gluster_distributed, gluster_replica };
const char* backend_name(backend_kind kind);

class gluster_volume;
// The process's GlusterFS volume for a GlusterFS kind.  Returns null and
// sets *skip when it cannot be had here (without root); ADD_FAILUREs and
// returns null when it should but fails.
gluster_volume* gluster_volume_for(backend_kind kind, std::string* skip);

// One test's volume: a fresh local directory, or a fresh top-level directory
// on the shared GlusterFS volume.  Test paths are formed as prefix() + "/x".
class test_volume {
 public:
  // Returns null and sets *skip when the backend cannot be had here (the
  // GlusterFS volume without root); ADD_FAILUREs when it should but fails.
  static std::unique_ptr<test_volume> make(backend_kind kind, std::string* skip);

  virtual ~test_volume() = default;
  // The configuration ktfs_api::init() connects with.
  virtual ktfs::iopx_tree_cfg cfg() const = 0;
  // The volume path this test owns ("" for a local volume of its own).
  virtual std::string prefix() const = 0;
  // The host path of a volume path, to look behind the client's back (on
  // GlusterFS the copy on the first brick that holds it: see
  // gluster_volume::host_path).
  virtual std::string host_path(const std::string& volume_path) const = 0;
};

}  // namespace ktsm_test

#endif  // KTSM_TESTS_SUPPORT_TEST_VOLUMES_H_
