// A volume for the library's tests, on either client backend.
//
// SetUp points the client library's process defaults at a fresh volume (a
// local directory, or the process's GlusterFS volume of the test's layout,
// distributed or replica 3, emptied first), puts a
// fault-injecting wrapper in front of every connection the library makes,
// and captures every log record at every level.  TearDown stops the library
// and restores the defaults.
#ifndef KTSM_TESTS_SUPPORT_LIBRARY_FIXTURE_H_
#define KTSM_TESTS_SUPPORT_LIBRARY_FIXTURE_H_

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "internal.h"
#include "ktfs/ktfs_api.h"
#include "ktfs/ktfs_fault.h"
#include "ktsm/ktsm_filegroup_version_set.h"
#include "support/test_volumes.h"

namespace ktsm_test {

typedef ktsm_filegroup_version_set vs;

class library_fixture {
 public:
  // Returns false (with *skip set when the backend cannot be had here).
  bool set_up(backend_kind kind, std::string* skip);
  void tear_down();

  // Runs the library's init on the volume.
  int32_t init();
  // Arms the wrapper of the connection that the next init makes, before
  // init uses it (to fail calls of the start-up itself).
  void arm_next_init(std::function<void(ktfs::fault_backend&)> arm) { m_pending = std::move(arm); }

  // The wrapper in front of the library's current connection (made by the
  // last init); null before init.
  std::shared_ptr<ktfs::fault_backend> faults() const { return m_faults; }
  ktfs::capture_sink& capture() { return *m_capture; }
  std::vector<std::string> texts() const { return m_capture->texts(); }

  // Direct access to the volume, around the library and its faults.
  ktfs::ktfs_api& api() { return m_api; }
  ktfs::iopx_ptr io() const { return m_io; }
  bool exists(const std::string& path);
  mode_t mode_of(const std::string& path);
  void make_dir(const std::string& path, unsigned int mode = 0760);
  void write_file(const std::string& path, const std::string& data);
  // Returns once an entry made now gets a later change time than path has:
  // the volume's clock, which can tick coarsely, has moved past the file's
  // last change, so a snapshot taken next counts it unchanged.
  void pass_change_time(const std::string& path);
  std::string read_file(const std::string& path);
  void put_state(const std::string& path, const std::string& state);
  // The 16 raw bytes of the state attribute; empty when it cannot be read.
  std::string raw_state(const std::string& path);
  // Sorted, without ".", ".." and the group lock's file.
  std::vector<std::string> entries(const std::string& dir);
  void set_xattr(const std::string& path, const std::string& name, const std::string& value);

  backend_kind kind() const { return m_kind; }
  const std::string& volume_name() const { return m_volume_name; }
  // Where the export command's stand-in writes its export blocks.
  std::string exports_dir() const { return m_exports->path(); }
  // The export blocks the stand-in holds there.
  size_t export_blocks() const;
  // The host directory behind the local volume (empty for GlusterFS).
  std::string local_root() const { return m_dir ? m_dir->path() + "/volume" : std::string(); }

 private:
  backend_kind m_kind = backend_kind::local;
  std::unique_ptr<scratch_dir> m_dir;
  std::unique_ptr<scratch_dir> m_exports;
  std::string m_volume_name;
  std::shared_ptr<ktfs::capture_sink> m_capture;
  std::shared_ptr<ktfs::fault_backend> m_faults;
  std::function<void(ktfs::fault_backend&)> m_pending;
  ktfs::ktfs_api m_api;
  ktfs::iopx_ptr m_io;
};

// A test parameterised over backend kinds, with a library_fixture.
class LibraryTest : public ::testing::TestWithParam<backend_kind> {
 protected:
  void SetUp() override {
    std::string skip;
    if (!m_lib.set_up(GetParam(), &skip)) {
      if (!skip.empty()) GTEST_SKIP() << skip;
      FAIL() << "volume set-up failed";
    }
  }
  void TearDown() override { m_lib.tear_down(); }
  library_fixture m_lib;
};

// A test on the local backend only.
class LocalLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string skip;
    ASSERT_TRUE(m_lib.set_up(backend_kind::local, &skip));
  }
  void TearDown() override { m_lib.tear_down(); }
  library_fixture m_lib;
};

std::string backend_param_name(const ::testing::TestParamInfo<backend_kind>& info);

// Ends the process with a failure when a watched piece of work did not
// finish in time: the future's destructor would otherwise wait for ever on
// a deadlocked thread.
void end_if_hung(bool finished, const char* what);

// The 16 bytes a state is stored as: the text, then zero bytes.
std::string state_bytes(const std::string& text);

}  // namespace ktsm_test

#endif  // KTSM_TESTS_SUPPORT_LIBRARY_FIXTURE_H_
