// The volume one backend's cases run on: a local directory, or a one-brick
// GlusterFS volume made by the test fixture (tests/support/gluster_volume.h)
// and removed when the process ends.  Beside the library's connection the
// benchmark keeps two of its own: a client connection without any wrapper
// (to fill and empty the volume) and a raw one for the floors.
#ifndef KTSM_BENCH_BENCH_VOLUME_H_
#define KTSM_BENCH_BENCH_VOLUME_H_

#include <memory>
#include <string>

#include "ktfs/ktfs_api.h"
#include "ktfs/ktfs_fault.h"
#include "raw_client.h"

namespace ktsm_bench {

enum class backend_kind { local, gluster };

class bench_volume {
 public:
  // Null with *error set when the volume cannot be had (GlusterFS without
  // root, or a failing glusterd).  scratch is a host directory of this run.
  // GlusterFS: one brick, or with distributed three (plain DHT).
  static std::unique_ptr<bench_volume> make(backend_kind kind, const std::string& scratch,
                                            std::string* error, bool distributed = false);

  backend_kind kind() const { return m_kind; }
  // "local", "glusterfs" or "glusterfs-3" (three bricks), the backend
  // column of the table.
  const char* label() const {
    return m_kind == backend_kind::local ? "local" : m_distributed ? "glusterfs-3" : "glusterfs";
  }
  // The volume name the library's init takes.
  const std::string& init_name() const { return m_init_name; }

  // Points the library's client at this volume.  With count, every
  // connection init makes goes through a counting wrapper, the last of
  // which counter() returns.
  void point_library(bool count);
  std::shared_ptr<ktfs::fault_backend> counter() const { return m_counter; }

  // The benchmark's own client connection, without a wrapper.
  ktfs::ktfs_api& api() { return m_api; }
  const ktfs::iopx_ptr& io() const { return m_io; }

  // Removes the volume path and everything under it (untimed clean-up).
  void remove(const std::string& vol_path);
  // Removes every top-level entry.
  void clear();

  // The raw clients of the floors (only the one of this volume's kind).
  posix_raw local_raw() const { return posix_raw(m_local_root); }
  gfapi_raw gluster_raw() const { return gfapi_raw(m_raw_fs); }
  // A second floor connection, to measure the same floor twice.
  gfapi_raw gluster_control() const { return gfapi_raw(m_control_fs); }
  // The raw client that lays out the trees the cases read.  On GlusterFS
  // a connection of its own: a client that made a file knows it without a
  // lookup, and neither the floor's nor the library's connection should
  // start with that advantage over the other.
  posix_raw local_filler() const { return posix_raw(m_local_root); }
  gfapi_raw gluster_filler() const { return gfapi_raw(m_fill_fs); }
  // The host directory of a local volume (empty for GlusterFS).
  const std::string& local_root() const { return m_local_root; }

 private:
  backend_kind m_kind = backend_kind::local;
  bool m_distributed = false;
  std::string m_init_name;
  std::string m_local_root;
  std::string m_server;
  glfs_t* m_raw_fs = nullptr;
  glfs_t* m_fill_fs = nullptr;
  glfs_t* m_control_fs = nullptr;
  ktfs::ktfs_api m_api;
  ktfs::iopx_ptr m_io;
  std::shared_ptr<ktfs::fault_backend> m_counter;
};

}  // namespace ktsm_bench

#endif  // KTSM_BENCH_BENCH_VOLUME_H_
