#include "bench_volume.h"

#include <cstring>
#include <vector>

#include "bench_support.h"
#include "ktfssnapcore/ktfssnapcore.h"
#include "support/gluster_volume.h"

using ktfs::kNoAio;

namespace ktsm_bench {

namespace {}  // namespace

glfs_t* connect_gfapi(const std::string& host, const std::string& volume) {
  glfs_t* fs = glfs_new(volume.c_str());
  if (fs == nullptr) return nullptr;
  const char* log = std::getenv("KTFS_GFAPI_LOG");
  const char* level = std::getenv("KTFS_GFAPI_LOG_LEVEL");
  if (glfs_set_volfile_server(fs, "tcp", host.c_str(), 24007) != 0 ||
      glfs_set_logging(fs, log, level != nullptr ? std::atoi(level) : 3) != 0 ||
      glfs_init(fs) != 0) {
    return nullptr;  // left unfinished: its teardown would block for seconds
  }
  return fs;
}

std::unique_ptr<bench_volume> bench_volume::make(backend_kind kind, const std::string& scratch,
                                                 std::string* error, bool distributed) {
  std::unique_ptr<bench_volume> v(new bench_volume());
  v->m_kind = kind;
  v->m_distributed = distributed && kind == backend_kind::gluster;
  std::error_code ec;
  std::shared_ptr<ktfs::backend> direct;
  if (kind == backend_kind::local) {
    v->m_local_root = scratch + "/volume";
    v->m_init_name = "local";
    direct = ktfs::make_local_backend(v->m_local_root, &ec);
  } else {
    ktsm_test::gluster_volume& g = ktsm_test::gluster_volume::get(
        distributed ? ktsm_test::volume_layout::distributed : ktsm_test::volume_layout::single);
    if (!g.ok()) {
      *error = g.skipped() ? g.skip_reason() : g.error();
      return nullptr;
    }
    v->m_server = g.server();
    v->m_init_name = g.name();
    v->m_raw_fs = connect_gfapi(g.host(), g.name());
    v->m_fill_fs = connect_gfapi(g.host(), g.name());
    v->m_control_fs = connect_gfapi(g.host(), g.name());
    if (v->m_raw_fs == nullptr || v->m_fill_fs == nullptr || v->m_control_fs == nullptr) {
      *error = "no raw libgfapi connection to " + g.name();
      return nullptr;
    }
    direct = ktfs::make_gluster_backend(v->m_server, g.name(), &ec);
  }
  if (!direct) {
    *error = "no client connection: " + ec.message();
    return nullptr;
  }
  v->m_io.reset(new ktfs::ktfs_iopx(direct));
  return v;
}

void bench_volume::point_library(bool count) {
  ktfs::client_defaults d;
  if (m_kind == backend_kind::local) {
    d.local_root = m_local_root;
  } else {
    d.volfile_server = m_server;
  }
  m_counter.reset();
  if (count) {
    d.wrap = [this](std::shared_ptr<ktfs::backend> base) {
      m_counter = std::make_shared<ktfs::fault_backend>(base);
      return m_counter;
    };
  }
  ktfs::set_client_defaults(d);
}

void bench_volume::remove(const std::string& vol_path) {
  if (m_kind == backend_kind::local) {
    remove_host_tree(m_local_root + vol_path);
    return;
  }
  struct stat st;
  if (m_api.lstat(m_io, vol_path.c_str(), &st, kNoAio)) return;  // nothing there
  ktfs::ktfs_debug quiet(std::make_shared<ktfs::null_sink>(), -100);
  ktfssnapcore::ktfssnaputils::rmdir_nonempty(&m_api, m_io, vol_path, quiet);
}

void bench_volume::clear() {
  std::vector<std::string> names;
  ktfs::file_ptr dir = m_api.opendir(m_io, "/", kNoAio);
  if (!dir) return;
  while (struct dirent* e = m_api.readdir(dir, kNoAio)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
      names.push_back(e->d_name);
    }
  }
  m_api.closedir(dir, kNoAio);
  for (const std::string& name : names) remove("/" + name);
}

}  // namespace ktsm_bench
