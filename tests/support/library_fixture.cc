#include "support/library_fixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "ktfssnapcore/ktfssnapcore.h"
#include "support/gluster_volume.h"

using ktfs::kNoAio;

namespace ktsm_test {

namespace {}

std::string backend_param_name(const ::testing::TestParamInfo<backend_kind>& info) {
  return backend_name(info.param);
}

void end_if_hung(bool finished, const char* what) {
  if (finished) return;
  std::fprintf(stderr, "deadlock: %s did not finish in time\n", what);
  std::fflush(nullptr);
  std::_Exit(1);
}

std::string state_bytes(const std::string& text) {
  std::string bytes(16, '\0');
  bytes.replace(0, text.size(), text);
  return bytes;
}

bool library_fixture::set_up(backend_kind kind, std::string* skip) {
  m_kind = kind;
  // The export command's stand-in comes first on PATH, writing here.
  static bool path_set = false;
  if (!path_set) {
    const char* path = std::getenv("PATH");
    std::string tools = std::string(KTSM_SOURCE_DIR) + "/tools";
    ::setenv("PATH", (tools + ":" + (path != nullptr ? path : "/usr/bin:/bin")).c_str(), 1);
    path_set = true;
  }
  m_exports.reset(new scratch_dir());
  ::setenv("STORHAUG_EXPORT_DIR", m_exports->path().c_str(), 1);
  ktfs::client_defaults d;
  std::error_code ec;
  std::shared_ptr<ktfs::backend> direct;
  if (kind == backend_kind::local) {
    m_dir.reset(new scratch_dir());
    d.local_root = m_dir->path() + "/volume";
    m_volume_name = "localvol";
    direct = ktfs::make_local_backend(d.local_root, &ec);
  } else {
    gluster_volume* v = gluster_volume_for(kind, skip);
    if (v == nullptr) return false;
    d.volfile_server = v->server();
    m_volume_name = v->name();
    direct = ktfs::make_gluster_backend(v->server(), v->name(), &ec);
  }
  if (!direct) {
    ADD_FAILURE() << "cannot reach the test volume: " << ec.message();
    return false;
  }
  m_io.reset(new ktfs::ktfs_iopx(direct));
  if (kind != backend_kind::local) {
    ktfs::ktfs_debug quiet(std::make_shared<ktfs::null_sink>(), -100);
    for (const std::string& e : entries("/")) {
      ktfssnapcore::ktfssnaputils::rmdir_nonempty(&m_api, m_io, "/" + e, quiet);
    }
  }
  d.wrap = [this](std::shared_ptr<ktfs::backend> base) {
    m_faults = std::make_shared<ktfs::fault_backend>(base);
    if (m_pending) {
      m_pending(*m_faults);
      m_pending = nullptr;
    }
    return m_faults;
  };
  ktfs::set_client_defaults(d);
  m_capture = std::make_shared<ktfs::capture_sink>();
  ktfs::ktfs_debug::set_default_sink(m_capture);
  ktfs::ktfs_debug::set_default_level(1);
  return true;
}

void library_fixture::tear_down() {
  vs::stop();
  ktfs::set_client_defaults(ktfs::client_defaults());
  ktfs::ktfs_debug::set_default_sink(nullptr);
  ktfs::ktfs_debug::set_default_level(0);
}

int32_t library_fixture::init() { return vs::init(m_volume_name, "unused"); }

bool library_fixture::exists(const std::string& path) {
  struct stat st;
  return !m_api.lstat(m_io, path.c_str(), &st, kNoAio);
}

mode_t library_fixture::mode_of(const std::string& path) {
  struct stat st;
  std::memset(&st, 0, sizeof st);
  EXPECT_FALSE(m_api.lstat(m_io, path.c_str(), &st, kNoAio)) << path;
  return st.st_mode & 07777;
}

void library_fixture::make_dir(const std::string& path, unsigned int mode) {
  ASSERT_FALSE(m_api.mkdir(m_io, path.c_str(), mode, kNoAio)) << path;
}

void library_fixture::write_file(const std::string& path, const std::string& data) {
  ktfs::file_ptr f = m_api.open(m_io, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644, kNoAio);
  ASSERT_TRUE(f) << path << ": " << std::strerror(errno);
  size_t done = 0;
  ASSERT_FALSE(m_api.write(f, data.data(), data.size(), 0, &done, kNoAio));
  ASSERT_FALSE(m_api.close(f, kNoAio));
}

void library_fixture::pass_change_time(const std::string& path) {
  struct stat changed, probe;
  ASSERT_FALSE(m_api.lstat(m_io, path.c_str(), &changed, kNoAio)) << path;
  auto ns = [](const struct stat& st) {
    return static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  };
  const char* const kProbe = "/.ktsm-clock-probe";
  for (int tries = 0; tries < 100000; ++tries) {
    ASSERT_FALSE(m_api.mkdir(m_io, kProbe, 0700, kNoAio));
    ASSERT_FALSE(m_api.lstat(m_io, kProbe, &probe, kNoAio));
    ASSERT_FALSE(m_api.rmdir(m_io, kProbe, kNoAio));
    if (ns(probe) > ns(changed)) return;
  }
  FAIL() << "the volume's clock did not move past the change of " << path;
}

std::string library_fixture::read_file(const std::string& path) {
  std::string data;
  return ktsm_test::read_volume_file(m_api, m_io, path, &data) ? data : "<missing>";
}

void library_fixture::put_state(const std::string& path, const std::string& state) {
  char buf[16] = {0};
  std::memcpy(buf, state.data(), std::min<size_t>(state.size(), 16));
  struct iovec iov = {buf, sizeof buf};
  ASSERT_FALSE(m_api.setxattr(m_io, path.c_str(), vs::SNAP_STATE_NAME.c_str(), &iov, 0, kNoAio))
      << path;
}

std::string library_fixture::raw_state(const std::string& path) {
  char buf[64] = {0};
  struct iovec iov = {buf, sizeof buf};
  int64_t n = m_api.getxattr(m_io, path.c_str(), vs::SNAP_STATE_NAME.c_str(), &iov, kNoAio);
  return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

std::vector<std::string> library_fixture::entries(const std::string& dir) {
  std::vector<std::string> names;
  ktfs::file_ptr d = m_api.opendir(m_io, dir.c_str(), kNoAio);
  if (!d) return names;
  while (struct dirent* e = m_api.readdir(d, kNoAio)) {
    // The group lock's file is the library's bookkeeping, not an entry a
    // test made or expects.
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0 &&
        std::strcmp(e->d_name, ".ktsm-lock") != 0) {
      names.push_back(e->d_name);
    }
  }
  m_api.closedir(d, kNoAio);
  std::sort(names.begin(), names.end());
  return names;
}

void library_fixture::set_xattr(const std::string& path, const std::string& name,
                                const std::string& value) {
  std::string copy = value;
  struct iovec iov = {&copy[0], copy.size()};
  ASSERT_FALSE(m_api.setxattr(m_io, path.c_str(), name.c_str(), &iov, 0, kNoAio)) << path;
}

size_t library_fixture::export_blocks() const {
  size_t n = 0;
  DIR* dir = ::opendir(exports_dir().c_str());
  if (dir == nullptr) return 0;
  while (struct dirent* e = ::readdir(dir)) {
    if (e->d_name[0] != '.') ++n;
  }
  ::closedir(dir);
  return n;
}

}  // namespace ktsm_test
