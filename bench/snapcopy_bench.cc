// The snapshot copy (issue 14) against raw copies, one measurement per run;
// bench/snapcopy.sh makes the volumes and runs the cases.
//
//   ktsm_snapcopy_bench VOLUME lay-small GROUP FILES
//   ktsm_snapcopy_bench VOLUME lay-large GROUP MIB
//   ktsm_snapcopy_bench VOLUME snap GROUP VERSION WORKERS
//   ktsm_snapcopy_bench VOLUME raw GROUP DEST THREADS [OLDER]  (GlusterFS only)
//   ktsm_snapcopy_bench VOLUME change GROUP PERCENT
//
// VOLUME is "local:DIR" or "gluster:HOST:VOLNAME".  snap runs snap_opcreate
// (KTFS_GFAPI_COPY_FILE_RANGE chooses the GlusterFS data path); raw copies
// the tree with bare libgfapi calls: the directories walked and made, each
// file opened, created, read and written in 4 MiB blocks, closed and given
// its mode, by THREADS threads (1: in the walking thread); with OLDER, the
// calls of a linked snapshot instead of the file copies: each of OLDER's
// directories read once (readdirplus, as the group's), and per file the
// attribute lists of both files, each attribute's value of both, and a
// link to OLDER's file.  Each prints one line "RESULT <seconds> <files> <bytes>".  change
// rewrites PERCENT of the small files laid by lay-small (every
// 100/PERCENT-th, the same size, other bytes).
#include <fcntl.h>
#include <glusterfs/api/glfs.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ktfs/ktfs_api.h"
#include "ktfssnapcore/ktfssnapcore.h"

using ktfs::kNoAio;

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "snapcopy_bench: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

ktfs::iopx_tree_cfg config(const std::string& volume) {
  ktfs::iopx_tree_cfg cfg;
  cfg.fs_type = "glusterfs";
  if (volume.compare(0, 6, "local:") == 0) {
    cfg.local_root = volume.substr(6);
  } else {
    std::string rest = volume.substr(8);  // "gluster:HOST:VOL"
    cfg.volfile_server = rest.substr(0, rest.find(':'));
    cfg.volume_name = rest.substr(rest.find(':') + 1);
  }
  return cfg;
}

void write_file(ktfs::ktfs_api& api, ktfs::iopx_ptr io, const std::string& path, size_t bytes,
                std::vector<char>& block, uint64_t seed) {
  ktfs::file_ptr f = api.open(io, path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644, kNoAio);
  if (!f) die("create " + path);
  for (size_t at = 0; at < bytes;) {
    size_t n = std::min(bytes - at, block.size()), done = 0;
    std::memcpy(block.data(), &seed, sizeof seed);  // no two blocks alike
    ++seed;
    if (api.write(f, block.data(), n, at, &done, kNoAio)) die("write " + path);
    at += n;
  }
  std::string uuid = std::to_string(seed);
  struct iovec iov = {&uuid[0], uuid.size()};
  if (api.close(f, kNoAio) ||
      api.setxattr(io, path.c_str(), "trusted.cloudsync.uuid", &iov, 0, kNoAio)) {
    die("finish " + path);
  }
}

// The small-file tree of the existing copy case: 512 to 4095 bytes a file,
// 200 to a directory, directories two levels deep, ten to a level.
void lay_small(ktfs::ktfs_api& api, ktfs::iopx_ptr io, const std::string& top, size_t files) {
  std::vector<char> block(4096, 'x');
  if (api.mkdir(io, top.c_str(), 0755, kNoAio)) die("mkdir " + top);
  api.mkdir(io, (top + "/.snaps").c_str(), 0755, kNoAio);
  for (size_t i = 0; i < files; ++i) {
    std::string d1 = top + "/d" + std::to_string(i / 2000),
                d2 = d1 + "/e" + std::to_string(i / 200 % 10);
    if (i % 2000 == 0 && api.mkdir(io, d1.c_str(), 0755, kNoAio)) die("mkdir " + d1);
    if (i % 200 == 0 && api.mkdir(io, d2.c_str(), 0750, kNoAio)) die("mkdir " + d2);
    write_file(api, io, d2 + "/f" + std::to_string(i % 200), 512 + (i * 2654435761u) % 3584, block,
               i);
  }
}

// Rewrites every (100 / percent)-th file laid by lay_small with other bytes
// of the same size.
void change_small(ktfs::ktfs_api& api, ktfs::iopx_ptr io, const std::string& top, size_t percent) {
  if (percent == 0) return;
  std::vector<char> block(4096, 'y');
  size_t step = 100 / percent;
  for (size_t i = 0;; i += step) {
    std::string path = top + "/d" + std::to_string(i / 2000) + "/e" + std::to_string(i / 200 % 10) +
                       "/f" + std::to_string(i % 200);
    struct stat st;
    if (api.lstat(io, path.c_str(), &st, kNoAio)) return;  // past the last file
    ktfs::file_ptr f = api.open(io, path.c_str(), O_WRONLY, kNoAio);
    size_t done = 0;
    std::memcpy(block.data(), &i, sizeof i);
    if (!f || api.write(f, block.data(), static_cast<size_t>(st.st_size), 0, &done, kNoAio) ||
        api.close(f, kNoAio)) {
      die("change " + path);
    }
  }
}

void lay_large(ktfs::ktfs_api& api, ktfs::iopx_ptr io, const std::string& top, size_t mib) {
  std::vector<char> block(4 << 20);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131 + 7);
  if (api.mkdir(io, top.c_str(), 0755, kNoAio)) die("mkdir " + top);
  api.mkdir(io, (top + "/.snaps").c_str(), 0755, kNoAio);
  for (size_t i = 0, left = mib << 20; left > 0; ++i) {
    size_t bytes = std::min<size_t>(left, 128u << 20);
    write_file(api, io, top + "/f" + std::to_string(i) + ".bin", bytes, block, 1000 * i);
    left -= bytes;
  }
}

// ---- the raw libgfapi copy ------------------------------------------------

struct raw_copy {
  glfs_t* fs;
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<std::pair<std::string, std::string>> queue;
  bool done = false;
  size_t files = 0, bytes = 0;

  std::string src_root, older;  // older: link from there (a linked snapshot's calls)

  void link_file(const std::string& src, const std::string& dst) {
    std::string from = older + src.substr(src_root.size());
    char names[4096], other[4096], a[4096], b[4096];
    ssize_t len = glfs_llistxattr(fs, src.c_str(), names, sizeof names);
    if (len < 0 || glfs_llistxattr(fs, from.c_str(), other, sizeof other) < 0) die("list " + from);
    for (ssize_t at = 0; at < len; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
      if (glfs_lgetxattr(fs, src.c_str(), names + at, a, sizeof a) < 0 ||
          glfs_lgetxattr(fs, from.c_str(), names + at, b, sizeof b) < 0) {
        die("value " + from);
      }
    }
    if (glfs_link(fs, from.c_str(), dst.c_str())) die("link " + from);
    std::lock_guard<std::mutex> guard(mutex);
    files++;
  }

  void copy_file(const std::string& src, const std::string& dst, std::vector<char>& block) {
    if (!older.empty()) {
      link_file(src, dst);
      return;
    }
    glfs_fd_t* in = glfs_open(fs, src.c_str(), O_RDONLY);
    glfs_fd_t* out = glfs_creat(fs, dst.c_str(), O_WRONLY | O_EXCL, 0600);
    if (in == nullptr || out == nullptr) die("open " + src);
    size_t copied = 0;
    for (off_t at = 0;;) {
      ssize_t n = glfs_pread(in, block.data(), block.size(), at, 0, nullptr);
      if (n < 0) die("read " + src);
      if (n == 0) break;
      if (glfs_pwrite(out, block.data(), static_cast<size_t>(n), at, 0, nullptr, nullptr) != n) {
        die("write " + dst);
      }
      at += n;
      copied += static_cast<size_t>(n);
    }
    struct stat st;
    if (glfs_fstat(in, &st) || glfs_close(in) || glfs_fchmod(out, st.st_mode & 07777) ||
        glfs_close(out)) {
      die("finish " + dst);
    }
    std::lock_guard<std::mutex> guard(mutex);
    files++;
    bytes += copied;
  }

  void walk(const std::string& src, const std::string& dst, bool top, unsigned threads,
            std::vector<char>& block) {
    std::vector<std::pair<std::string, struct stat>> entries;
    list(src, top, &entries);
    if (!older.empty()) {
      std::vector<std::pair<std::string, struct stat>> older_entries;
      list(older + src.substr(src_root.size()), false, &older_entries);
    }
    for (const auto& [n, st] : entries) {
      std::string s = src + "/" + n, t = dst + "/" + n;
      if (S_ISDIR(st.st_mode)) {
        if (glfs_mkdir(fs, t.c_str(), 0700)) die("mkdir " + t);
        walk(s, t, false, threads, block);
        glfs_chmod(fs, t.c_str(), st.st_mode & 07777);
      } else if (threads <= 1) {
        copy_file(s, t, block);
      } else {
        std::lock_guard<std::mutex> guard(mutex);
        queue.emplace_back(s, t);
        cv.notify_one();
      }
    }
  }

  // The entries of the directory dir with their lstat, in one listing.
  void list(const std::string& dir, bool top,
            std::vector<std::pair<std::string, struct stat>>* out) {
    glfs_fd_t* d = glfs_opendir(fs, dir.c_str());
    if (d == nullptr) die("opendir " + dir);
    struct stat st;
    while (struct dirent* e = glfs_readdirplus(d, &st)) {
      std::string n = e->d_name;
      if (n != "." && n != ".." && !(top && n == ".snaps")) {
        out->emplace_back(n, st);
      }
    }
    glfs_closedir(d);
  }

  void worker() {
    std::vector<char> block(4 << 20);
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      cv.wait(lock, [this] { return done || !queue.empty(); });
      if (queue.empty()) return;
      auto job = queue.front();
      queue.pop_front();
      lock.unlock();
      copy_file(job.first, job.second, block);
      lock.lock();
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: see bench/snapcopy_bench.cc\n");
    return 2;
  }
  std::string volume = argv[1], what = argv[2], group = argv[3];
  ktfs::ktfs_api api;
  ktfs::iopx_ptr io = api.init(config(volume));
  if (!io) die("connect to " + volume);
  if (what == "lay-small") {
    lay_small(api, io, group, std::strtoul(argv[4], nullptr, 10));
    return 0;
  }
  if (what == "lay-large") {
    lay_large(api, io, group, std::strtoul(argv[4], nullptr, 10));
    return 0;
  }
  if (what == "snap" && argc == 6) {
    std::string version = argv[4];
    ktfssnapcore::set_copy_workers(static_cast<unsigned>(std::strtoul(argv[5], nullptr, 10)));
    if (api.mkdir(io, version.c_str(), 0700, kNoAio)) die("mkdir " + version);
    ktfssnapcore::ktfssnapcore_opinfo info;
    info.nvme_api = &api;
    info.nvme_iopx = io;
    info.fg_name = group;
    info.fgver_name = version;
    double start = now();
    if (ktfssnapcore::snap_opcreate(&info)) die("snap_opcreate");
    double took = now() - start;
    std::printf("RESULT %.6f %llu %llu\n", took,
                static_cast<unsigned long long>(ktfssnapcore::snap_progress().files.load()),
                static_cast<unsigned long long>(ktfssnapcore::snap_progress().bytes.load()));
    return 0;
  }
  if (what == "change" && argc == 5) {
    change_small(api, io, group, std::strtoul(argv[4], nullptr, 10));
    return 0;
  }
  if (what == "raw" && (argc == 6 || argc == 7) && volume.compare(0, 8, "gluster:") == 0) {
    std::string dest = argv[4];
    unsigned threads = static_cast<unsigned>(std::strtoul(argv[5], nullptr, 10));
    std::string rest = volume.substr(8);
    raw_copy raw;
    raw.src_root = group;
    if (argc == 7) raw.older = argv[6];
    raw.fs = glfs_new(rest.substr(rest.find(':') + 1).c_str());
    glfs_set_volfile_server(raw.fs, "tcp", rest.substr(0, rest.find(':')).c_str(), 24007);
    glfs_set_logging(raw.fs, "/dev/null", 3);
    if (glfs_init(raw.fs)) die("glfs_init");
    std::vector<char> block(4 << 20);
    double start = now();
    std::vector<std::thread> pool;
    for (unsigned i = 0; threads > 1 && i < threads; ++i)
      pool.emplace_back([&raw] { raw.worker(); });
    if (glfs_mkdir(raw.fs, dest.c_str(), 0700)) die("mkdir " + dest);
    raw.walk(group, dest, true, threads, block);
    {
      std::lock_guard<std::mutex> guard(raw.mutex);
      raw.done = true;
    }
    raw.cv.notify_all();
    for (std::thread& t : pool) t.join();
    std::printf("RESULT %.6f %zu %zu\n", now() - start, raw.files, raw.bytes);
    std::fflush(stdout);
    std::_Exit(0);  // glfs_fini blocks for seconds
  }
  std::fprintf(stderr, "usage: see bench/snapcopy_bench.cc\n");
  return 2;
}
