#include "support/test_volumes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <vector>

#include "support/gluster_volume.h"

namespace ktsm_test {

scratch_dir::scratch_dir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base != nullptr && *base ? base : "/tmp") + "/ktsm-test-XXXXXX";
  if (::mkdtemp(&tmpl[0]) != nullptr) m_path = tmpl;
}

scratch_dir::~scratch_dir() {
  if (m_path.empty()) return;
  std::string out;
  // Version directories have mode 0: make everything writable first.
  run_command("chmod -R u+rwx '" + m_path + "' ; rm -rf '" + m_path + "'", &out);
}

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool read_volume_file(ktfs::ktfs_api& api, const ktfs::iopx_ptr& io, const std::string& path,
                      std::string* data) {
  data->clear();
  ktfs::file_ptr f = api.open(io, path.c_str(), O_RDONLY, ktfs::kNoAio);
  if (!f) return false;
  std::vector<char> block(1 << 20);
  size_t done = 1;
  bool ok = true;
  while (ok && done != 0) {
    ok = !api.read(f, block.data(), block.size(), data->size(), &done, ktfs::kNoAio);
    if (ok) data->append(block.data(), done);
  }
  return !api.close(f, ktfs::kNoAio) && ok;
}

std::error_code write_volume_file(ktfs::ktfs_api& api, const ktfs::iopx_ptr& io,
                                  const std::string& path, const std::string& data) {
  ktfs::file_ptr f = api.open(io, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644, ktfs::kNoAio);
  if (!f) return ktfs::errno_code(errno);
  size_t done = 0;
  std::error_code written = api.write(f, data.data(), data.size(), 0, &done, ktfs::kNoAio);
  std::error_code closed = api.close(f, ktfs::kNoAio);
  return written ? written : closed;
}

const char* backend_name(backend_kind kind) {
  switch (kind) {
    case backend_kind::local:
      return "local";
    case backend_kind::gluster_distributed:
      return "gluster_distributed";
    case backend_kind::gluster_replica:
      return "gluster_replica";
  }
  return "?";
}

gluster_volume* gluster_volume_for(backend_kind kind, std::string* skip) {
  skip->clear();
  gluster_volume& v = gluster_volume::get(
      kind == backend_kind::gluster_replica ? volume_layout::replica : volume_layout::distributed);
  if (v.skipped()) {
    *skip = v.skip_reason();
    return nullptr;
  }
  if (!v.ok()) {
    ADD_FAILURE() << "GlusterFS test volume (" << layout_name(v.layout())
                  << ") unavailable: " << v.error();
    return nullptr;
  }
  return &v;
}

namespace {

class local_volume : public test_volume {
 public:
  ktfs::iopx_tree_cfg cfg() const override {
    return ktfs::iopx_tree_cfg{"glusterfs", "local", "", m_dir.path()};
  }
  std::string prefix() const override { return ""; }
  std::string host_path(const std::string& p) const override { return m_dir.path() + p; }

 private:
  scratch_dir m_dir;
};

class gluster_test_volume : public test_volume {
 public:
  explicit gluster_test_volume(gluster_volume& v) : m_volume(v) {
    static std::atomic<int> next{0};
    m_prefix = "/case-" + std::to_string(next++);
    ktfs::ktfs_api api;
    ktfs::iopx_ptr io = api.init(cfg());
    EXPECT_FALSE(api.mkdir(io, m_prefix.c_str(), 0755, ktfs::aio_ptr()))
        << "cannot make " << m_prefix << " on volume " << v.name();
  }
  ktfs::iopx_tree_cfg cfg() const override {
    return ktfs::iopx_tree_cfg{"glusterfs", m_volume.name(), m_volume.server(), ""};
  }
  std::string prefix() const override { return m_prefix; }
  std::string host_path(const std::string& p) const override { return m_volume.host_path(p); }

 private:
  gluster_volume& m_volume;
  std::string m_prefix;
};

}  // namespace

std::unique_ptr<test_volume> test_volume::make(backend_kind kind, std::string* skip) {
  skip->clear();
  if (kind == backend_kind::local) return std::unique_ptr<test_volume>(new local_volume());
  gluster_volume* v = gluster_volume_for(kind, skip);
  if (v == nullptr) return nullptr;
  return std::unique_ptr<test_volume>(new gluster_test_volume(*v));
}

}  // namespace ktsm_test
