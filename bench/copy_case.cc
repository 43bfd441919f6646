// Case 4: taking a version of a group of large files and of a group of many
// small files in nested directories.  create_version is timed against a peer
// that copies the same tree: "cp -a --reflink=auto" on the local backend, a
// raw libgfapi copy on GlusterFS.  A raw copy that makes the library's own
// calls (the tree walk, modes, attributes; copy_file_range locally, 4 MiB
// reads and writes on GlusterFS) is reported beside it locally; on
// GlusterFS the raw copy is made a second time on another connection, as a
// control of the measurement's noise.
#include <sys/sendfile.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "bench_support.h"
#include "cases.h"
#include "ktfssnapcore/ktfssnapcore.h"
#include "ktsm/ktsm_filegroup_version_set.h"

namespace ktsm_bench {

namespace {

typedef ktsm_filegroup_version_set vs;
const size_t kBlock = 4 << 20;
const char kUuidName[] = "trusted.cloudsync.uuid";

// ---- Laying out the trees -------------------------------------------------

template <class Raw>
bool write_file(Raw& raw, const std::string& path, size_t bytes, std::vector<char>& data,
                uint64_t seed) {
  typename Raw::file_t f = raw.creat(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (!Raw::valid_file(f)) return false;
  size_t done = 0;
  bool ok = true;
  while (ok && done < bytes) {
    size_t n = std::min(bytes - done, data.size());
    std::memcpy(data.data(), &seed, sizeof seed);  // no two blocks alike
    ++seed;
    ok = raw.pwrite(f, data.data(), n, static_cast<off_t>(done)) == static_cast<ssize_t>(n);
    done += n;
  }
  std::string uuid = fmt("%08llx-0000-4000-8000-%012llx", static_cast<unsigned long long>(seed),
                         static_cast<unsigned long long>(bytes));
  ok = raw.close(f) == 0 && ok;
  return ok && raw.setxattr(path.c_str(), kUuidName, uuid.data(), uuid.size(), 0) == 0;
}

// "/large": files of 128 MiB (fewer bytes in the last) making total_mib.
template <class Raw>
bool lay_out_large(Raw raw, size_t total_mib) {
  std::vector<char> data(kBlock);
  fill_pseudo_random(&data, 1);
  std::string top = raw.at("/large");
  if (raw.mkdir(top.c_str(), 0755) != 0 || raw.mkdir((top + "/.snaps").c_str(), 0760) != 0) {
    return false;
  }
  size_t left = total_mib << 20;
  for (int i = 0; left > 0; ++i) {
    size_t bytes = std::min<size_t>(left, 128u << 20);
    if (!write_file(raw, top + fmt("/f%02d.bin", i), bytes, data, 1000u * i)) return false;
    left -= bytes;
  }
  return true;
}

// "/small": files of 512 to 4095 bytes, 200 to a directory, in directories
// two levels deep, ten to a level.
template <class Raw>
bool lay_out_small(Raw raw, size_t files) {
  std::vector<char> data(4096);
  fill_pseudo_random(&data, 2);
  std::string top = raw.at("/small");
  if (raw.mkdir(top.c_str(), 0755) != 0 || raw.mkdir((top + "/.snaps").c_str(), 0760) != 0) {
    return false;
  }
  for (size_t i = 0; i < files; ++i) {
    std::string d1 = top + fmt("/d%02zu", i / 2000), d2 = d1 + fmt("/e%02zu", i / 200 % 10);
    if (i % 2000 == 0 && raw.mkdir(d1.c_str(), 0755) != 0) return false;
    if (i % 200 == 0 && raw.mkdir(d2.c_str(), 0750) != 0) return false;
    size_t bytes = 512 + (i * 2654435761u) % 3584;
    if (!write_file(raw, d2 + fmt("/f%03zu.txt", i % 200), bytes, data, i)) return false;
  }
  return true;
}

// ---- The raw copy -------------------------------------------------------

bool volume_internal(const std::string& name) {
  static const char* const kPrefixes[] = {"trusted.glusterfs.", "trusted.gfid", "trusted.afr.",
                                          "trusted.ec.",        "trusted.dht",  "trusted.pgfid.",
                                          "glusterfs."};
  for (const char* p : kPrefixes) {
    if (name.compare(0, std::strlen(p), p) == 0) return true;
  }
  return false;
}

// The library's tree walk with raw calls: directories made owner-only,
// filled, given their attributes and mode; files created exclusively, their
// data copied, closed, given their attributes and mode.
template <class Raw>
class raw_copier {
 public:
  explicit raw_copier(Raw raw) : m_raw(raw), m_block(kBlock), m_value(256) {}

  bool copy_top(const std::string& src, const std::string& dst) {
    return copy_children(src, dst, true);
  }

 private:
  bool copy_children(const std::string& src, const std::string& dst, bool top) {
    std::vector<std::string> names;
    typename Raw::dir_t d = m_raw.opendir(src.c_str());
    if (!Raw::valid(d)) return false;
    while (struct dirent* e = m_raw.readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    if (m_raw.closedir(d) != 0) return false;
    for (const std::string& n : names) {
      if (top && n == ".snaps") continue;
      if (!copy_entry(src + "/" + n, dst + "/" + n)) return false;
    }
    return true;
  }

  bool copy_entry(const std::string& src, const std::string& dst) {
    struct stat st;
    if (m_raw.lstat(src.c_str(), &st) != 0) return false;
    mode_t mode = st.st_mode & 07777;
    if (S_ISDIR(st.st_mode)) {
      return m_raw.mkdir(dst.c_str(), 0700) == 0 && copy_children(src, dst, false) &&
             copy_attrs(src, dst) && m_raw.chmod(dst.c_str(), mode) == 0;
    }
    if (!S_ISREG(st.st_mode)) return true;
    typename Raw::file_t in = m_raw.open(src.c_str(), O_RDONLY, 0);
    if (!Raw::valid_file(in)) return false;
    typename Raw::file_t out = m_raw.creat(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (!Raw::valid_file(out)) return false;
    bool ok = copy_data(in, out);
    ok = m_raw.close(in) == 0 && ok;
    ok = m_raw.close(out) == 0 && ok;
    return ok && copy_attrs(src, dst) && m_raw.chmod(dst.c_str(), mode) == 0;
  }

  bool copy_data(int in, int out) {
    loff_t a = 0, b = 0;
    for (;;) {
      ssize_t n = ::copy_file_range(in, &a, out, &b, kBlock, 0);
      if (n < 0) return false;
      if (n == 0) return true;
    }
  }

  bool copy_data(glfs_fd_t* in, glfs_fd_t* out) {
    off_t at = 0;
    for (;;) {
      ssize_t n = m_raw.pread(in, m_block.data(), m_block.size(), at);
      if (n < 0) return false;
      if (n == 0) return true;
      if (m_raw.pwrite(out, m_block.data(), static_cast<size_t>(n), at) != n) return false;
      at += n;
    }
  }

  bool copy_attrs(const std::string& src, const std::string& dst) {
    ssize_t n = m_raw.llistxattr(src.c_str(), nullptr, 0);
    if (n < 0) return false;
    std::vector<char> list(static_cast<size_t>(n) + 1);
    n = m_raw.llistxattr(src.c_str(), list.data(), list.size());
    if (n < 0) return false;
    for (size_t at = 0; at < static_cast<size_t>(n);) {
      std::string name(list.data() + at);
      at += name.size() + 1;
      if (volume_internal(name)) continue;
      ssize_t len;
      while ((len = m_raw.getxattr(src.c_str(), name.c_str(), m_value.data(), m_value.size())) <
                 0 &&
             errno == ERANGE) {
        m_value.resize(m_value.size() * 4);
      }
      if (len < 0 ||
          m_raw.setxattr(dst.c_str(), name.c_str(), m_value.data(), static_cast<size_t>(len), 0)) {
        return false;
      }
    }
    return true;
  }

  Raw m_raw;
  std::vector<char> m_block;
  std::vector<char> m_value;
};

template <class Raw>
bool raw_copy(Raw raw, const std::string& group, const std::string& dest) {
  std::string d = raw.at(dest);
  if (raw.mkdir(d.c_str(), 0) != 0) return false;
  raw_copier<Raw> copier(raw);
  return copier.copy_top(raw.at(group), d);
}

// ---- One tree -------------------------------------------------------------

// "cp -a --reflink=auto --sparse=always" of the group's entries into a fresh
// directory: owners, times, links and holes kept, as the snapshot keeps them.
bool cp_copy(bench_volume& vol, const std::string& group, const std::string& dest) {
  std::string src = vol.local_root() + group, dst = vol.local_root() + dest;
  if (::mkdir(dst.c_str(), 0700) != 0) return false;
  std::vector<std::string> argv = {"cp", "-a", "--reflink=auto", "--sparse=always", "-t", dst};
  DIR* d = ::opendir(src.c_str());
  if (d == nullptr) return false;
  while (struct dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != ".." && n != ".snaps") argv.push_back(src + "/" + n);
  }
  ::closedir(d);
  return run_program(argv) == 0;
}

struct copy_times {
  std::vector<double> library, peer, raw;
};

// Times one copy, after writing back the dirty data of the ones before.
bool timed(const std::function<bool()>& work, std::vector<double>* samples) {
  run_program({"sync"});
  double start = now();
  if (!work()) return false;
  samples->push_back(now() - start);
  note("  copy %zu: %s", samples->size(), duration(samples->back()).c_str());
  return true;
}

// One copy each by the library, the peer and (locally) the raw calls.  The
// copies stay until every round is done: ext4 passes over the inodes freed
// in the last seconds when it allocates new ones, so a clean-up between
// copies would slow down whichever copy followed it.
bool one_round(bench_volume& vol, const vs::set_ptr& set, int round, copy_times* t) {
  const std::string group = set->get_name().substr(1);  // "//large" -> "/large"
  bool local = vol.kind() == backend_kind::local;
  std::string peer_dest = fmt("/peer-copy-%d", round), raw_dest = fmt("/raw-copy-%d", round);
  auto library = [&] {
    vs::version_ptr v;
    return set->create_version(fmt("c%d", round), v) == 0;
  };
  auto peer = [&] {
    return local ? cp_copy(vol, group, peer_dest) : raw_copy(vol.gluster_raw(), group, peer_dest);
  };
  // Locally the library's own calls made raw; on GlusterFS the peer again
  // on a second connection (a control: two copies that should take the
  // same time).
  auto third = [&] {
    return local ? raw_copy(vol.local_raw(), group, raw_dest)
                 : raw_copy(vol.gluster_control(), group, raw_dest);
  };
  // The order turns every round, so that none always goes first.
  std::vector<std::function<bool()>> order = {[&] { return timed(library, &t->library); },
                                              [&] { return timed(peer, &t->peer); },
                                              [&] { return timed(third, &t->raw); }};
  for (int i = 0; i < 3; ++i) {
    if (!order[static_cast<size_t>((i + round) % 3)]()) return false;
  }
  return true;
}

bool clean_up(bench_volume& vol, const vs::set_ptr& set, int rounds) {
  bool ok = true;
  for (int r = 0; r < rounds; ++r) {
    ok = set->delete_version(fmt("c%d", r)) == 0 && ok;
    vol.remove(fmt("/peer-copy-%d", r));
    vol.remove(fmt("/raw-copy-%d", r));
  }
  return ok;
}

bool copy_tree(bench_volume& vol, const options& opt, const std::string& name,
               const std::string& what) {
  vs::set_ptr set;
  if (vs::get_version_set("/" + name, set) != 0) return false;  // rebuilt by init
  copy_times t;
  for (int r = 0; r < opt.rounds; ++r) {
    if (!one_round(vol, set, r, &t)) {
      note("copy round %d of %s failed", r, name.c_str());
      return false;
    }
  }
  if (!clean_up(vol, set, opt.rounds)) return false;
  bool local = vol.kind() == backend_kind::local;
  double lib = median(t.library), peer = median(t.peer);
  ratio_stats to_peer = round_ratios(t.library, t.peer);
  print_row({"4 snapshot " + what, vol.label(), duration(lib),
             (local ? "cp -a " : "raw gfapi ") + duration(peer), ratio_text(to_peer), "<=1.10x",
             at_most(to_peer.median, 1.1)});
  ratio_stats to_raw = round_ratios(t.library, t.raw);
  ratio_stats control = round_ratios(t.raw, t.peer);
  if (local) {
    print_row({"4 snapshot " + what + ", same calls raw", vol.label(), duration(lib),
               "raw " + duration(median(t.raw)), ratio_text(to_raw), "-", "-"});
  } else {
    print_row({"4 snapshot " + what + ": control, raw gfapi on a second connection", vol.label(),
               duration(median(t.raw)), "raw gfapi " + duration(peer), ratio_text(control),
               "~1x (noise)", "-"});
  }
  print_data({"copy", vol.label(), name, fmt("%.6f", lib), fmt("%.6f", peer),
              fmt("%.6f", median(t.raw)), fmt("%.4f", to_peer.median),
              fmt("%.4f", local ? to_raw.median : control.median)});
  return true;
}

}  // namespace

bool run_copy(bench_volume& vol, const options& opt) {
  note("case 4: snapshot copy on %s", vol.label());
  vol.clear();
  // The source and three copies a round, all kept until the last round.
  uint64_t need =
      (static_cast<uint64_t>(opt.copy_large_mib) << 20) * (3 * opt.rounds + 1) + (1ull << 30);
  std::string where = vol.kind() == backend_kind::local ? vol.local_root() : "/tmp";
  if (free_bytes(where) < need) {
    note("not enough free space on %s for the copies (%llu MiB needed)", where.c_str(),
         static_cast<unsigned long long>(need >> 20));
    return false;
  }
  double start = now();
  bool laid = vol.kind() == backend_kind::local
                  ? lay_out_large(vol.local_filler(), opt.copy_large_mib) &&
                        lay_out_small(vol.local_filler(), opt.copy_small_files)
                  : lay_out_large(vol.gluster_filler(), opt.copy_large_mib) &&
                        lay_out_small(vol.gluster_filler(), opt.copy_small_files);
  if (!laid) {
    note("laying out the trees failed: %s", std::strerror(errno));
    return false;
  }
  note("laid out %zu MiB in large files and %zu small files (%.1f s)", opt.copy_large_mib,
       opt.copy_small_files, now() - start);
  vs::stop();
  vol.point_library(false);
  bool ok = vs::init(vol.init_name(), "") == 0 &&
            copy_tree(vol, opt, "/large", fmt("%zu MiB in large files", opt.copy_large_mib)) &&
            copy_tree(vol, opt, "/small", fmt("%zu small files", opt.copy_small_files));
  vs::stop();
  vol.clear();
  return ok;
}

}  // namespace ktsm_bench
