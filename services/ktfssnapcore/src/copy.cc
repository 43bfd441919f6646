// Copying a live file group into a version directory.
//
// The calling thread walks the group depth first in directory order: it
// makes each directory (owner-only, so that it can be filled) and hands
// every other entry to a bounded pool of workers, which make it and give it
// its data, owner, attributes, mode and times.  Once the pool is idle, the
// further names of hard links are made, then the directories get their
// owner, attributes, mode and times, the deepest first, so that nothing made
// inside a directory changes its times afterwards.  The version's own
// directory, made closed (mode 0) by the caller, is opened last: once the
// caller has added to it what it adds, it takes the group directory's
// owner, POSIX ACLs, mode and times, so that a finished version reads like
// its group.
//
// The client works by path, and a GlusterFS client may follow a link met in
// a directory component, so the walk checks what it goes through: each
// directory's open handle against its lstat, the directory's path again
// before its entries are visited, and each file's open handle against the
// lstat that chose it (see snap_opcreate).
//
// With an older version to link from, a regular file unchanged since it was
// taken (see snap_opcreate) is given one more name of its file there
// instead of a copy; its owner, attributes, mode and times are already
// the ones the copy would give it.
//
// Every entry carries its number in the walk; when calls fail, the walk
// stops handing out work, the entries already being copied are finished,
// and the failure of the lowest-numbered entry is the one reported.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

#include "internal.h"

using ktfs::kNoAio;

namespace ktfssnapcore {

namespace {

const char kFunction[] = "ktfssnapcore::snap_opcreate()";
const char kSnapsDir[] = ".snaps";
// Bytes asked of one copy_range call: a whole extent of any usual file, so
// that a file system that shares extents makes one reflink of it (and a
// GlusterFS server-side copy can take the file in its one call).
const uint64_t kCopyBlock = 1ull << 30;
// Entries waiting for a worker at most; the walk waits beyond.
const size_t kMaxQueued = 1024;
const unsigned kMaxWorkers = 64;
// How often a listed name that is missing, or names another file than
// listed, is looked at again before it counts as removed (the pauses double
// from 10 ms: 310 ms in all).
const int kLooksAgain = 5;

std::atomic<unsigned> g_workers{0};  // 0: the environment, else the default

// Runs jobs on up to a fixed number of threads; with fewer than two, runs
// each in the submitting thread.  A thread is started when a job arrives
// and no worker waits for one, so a copy with little to do starts few
// threads (an empty group none: starting eight cost more than the rest of a
// snapshot of it).
class worker_pool {
 public:
  explicit worker_pool(unsigned workers) : m_limit(workers > 1 ? workers : 0) {}
  ~worker_pool() {
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_closing = true;
    }
    m_work.notify_all();
    for (std::thread& t : m_threads) t.join();
  }

  void submit(std::function<void()> job) {
    if (m_limit == 0) {
      job();
      return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_space.wait(lock, [this] { return m_queue.size() < kMaxQueued; });
    if (m_waiting == 0 && m_threads.size() < m_limit) start_thread();
    if (m_threads.empty()) {  // the system gives no thread: run it here
      lock.unlock();
      job();
      return;
    }
    m_queue.push_back(std::move(job));
    m_work.notify_one();
  }

  // Waits until every submitted job has run.
  void drain() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_idle.wait(lock, [this] { return m_queue.empty() && m_running == 0; });
  }

 private:
  // REQUIRES: m_mutex.
  void start_thread() {
    try {
      m_threads.emplace_back([this] { loop(); });
    } catch (const std::system_error&) {
      // As many as the system gives; the ones started take the work.
    }
  }

  void loop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
      ++m_waiting;
      m_work.wait(lock, [this] { return m_closing || !m_queue.empty(); });
      --m_waiting;
      if (m_queue.empty()) return;
      std::function<void()> job = std::move(m_queue.front());
      m_queue.pop_front();
      ++m_running;
      m_space.notify_one();
      lock.unlock();
      job();
      lock.lock();
      --m_running;
      if (m_queue.empty() && m_running == 0) m_idle.notify_all();
    }
  }

  const unsigned m_limit;  // 0: every job in the submitting thread
  std::mutex m_mutex;
  std::condition_variable m_work, m_space, m_idle;
  std::deque<std::function<void()>> m_queue;
  size_t m_running = 0;
  size_t m_waiting = 0;  // workers waiting for a job
  bool m_closing = false;
  std::vector<std::thread> m_threads;
};

// One entry of the group and where its copy goes.
struct entry {
  std::string src, dst;
  struct stat st;
  uint64_t seq;  // its number in the walk
  int depth;
  // The older version's file at the same path, as its listing gave it,
  // when there is one that may stand in for this entry.
  bool has_older = false;
  struct stat older = {};
  // Its name was looked at again and named another file than listed: what
  // a client tells of that file's size may be of the file it replaced.
  bool replaced = false;
};

// A listing's entries by name.
typedef std::unordered_map<std::string, struct stat> stat_map;

bool has_type(const struct stat& st) { return (st.st_mode & S_IFMT) != 0; }

typedef std::pair<dev_t, ino_t> inode_key;

class tree_copier {
 public:
  tree_copier(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, copy_progress& progress,
              unsigned workers, detail::link_source older = {})
      : m_api(api),
        m_io(io),
        m_progress(progress),
        m_older(std::move(older)),
        m_ctime_covers_attrs(api->attribute_changes_move_ctime(io)),
        m_pool(workers) {}

  // Copies the entries of the group directory src into dst, leaving out the
  // version tree ".snaps" (which holds the group's own deleted-file list);
  // dst itself is left to finish_top.
  std::error_code copy_top(const std::string& src, const std::string& dst, std::string* failed) {
    m_top = entry{src, dst, {}, m_next_seq++, 0};
    std::vector<detail::listed_entry> entries;
    std::error_code ec = m_api->lstat(m_io, src.c_str(), &m_top.st, kNoAio);
    if (ec || (ec = detail::list_dir_plus(m_api, m_io, src, m_top.st, &entries))) {
      *failed = src;
      return ec;
    }
    descend(m_top, entries, true);
    std::error_code ec2 = finish(dst, failed);
    report_refused_links();
    return ec2;
  }

  // Gives the version's directory the group directory's owner, mode and
  // times (as copy_top found them), as every directory inside it has its
  // counterpart's.  Of the attributes, only the POSIX ACLs, which the mode
  // alone would widen: the others on the version's directory are its own
  // records, and the group directory's are the live group's.
  std::error_code finish_top(std::string* failed) {
    return set_metadata(m_top, failed, detail::attr_scope::posix_acls);
  }

  // Copies each entry rel of src_root (a relative path) to the same path
  // under dst_root.  A directory above it that dst_root lacks is made as a
  // copy of its counterpart in src_root (its own metadata, none of its other
  // entries); one that dst_root has must be a real directory.
  std::error_code copy_paths(const std::string& src_root, const std::string& dst_root,
                             const std::vector<std::string>& rels, std::string* failed) {
    std::error_code ec = detail::same_dir(m_api, m_io, src_root, nullptr);
    if (ec) {
      *failed = src_root;
      return ec;
    }
    if ((ec = detail::same_dir(m_api, m_io, dst_root, nullptr))) {
      *failed = dst_root;
      return ec;
    }
    for (const std::string& rel : rels) {
      int depth = 1;
      for (size_t slash = rel.find('/'); slash != std::string::npos && !stopped();
           slash = rel.find('/', slash + 1)) {
        std::string part = "/" + rel.substr(0, slash);
        make_parent(src_root + part, dst_root + part, depth++);
      }
      if (stopped()) break;
      visit(src_root + "/" + rel, dst_root + "/" + rel, depth);
    }
    return finish(dst_root, failed);
  }

 private:
  // Whether the walk stops here: a failure, or a stop the process asked
  // for (see request_stop), which is noted so that the copy reports it.
  bool stopped() const {
    if (m_stop.load(std::memory_order_acquire)) return true;
    if (!stop_requested()) return false;
    m_interrupted.store(true, std::memory_order_relaxed);
    return true;
  }

  // Waits for the pool, then makes the further names of hard links and
  // gives the directories their metadata; the failure reported, if any
  // (ECANCELED at dst when a requested stop cut the copy short).
  std::error_code finish(const std::string& dst, std::string* failed) {
    m_pool.drain();
    if (!stopped()) make_further_links();
    if (!stopped()) finish_dirs();
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_failed) {
      *failed = m_failure_path;
      return m_failure;
    }
    if (!m_interrupted.load(std::memory_order_relaxed)) return {};
    *failed = dst;
    return ktfs::errno_code(ECANCELED);
  }

  // A directory above an entry of copy_paths: the source must be a real
  // directory; the destination is made (and later given the source's
  // metadata) when missing, and must be a real directory when present.
  void make_parent(const std::string& src, const std::string& dst, int depth) {
    entry e{src, dst, {}, m_next_seq++, depth};
    std::error_code ec = m_api->lstat(m_io, src.c_str(), &e.st, kNoAio);
    if (!ec && !S_ISDIR(e.st.st_mode)) ec = detail::errno_code(ENOTDIR);
    if (ec) {
      fail(e.seq, ec, src);
      return;
    }
    struct stat there;
    ec = m_api->lstat(m_io, dst.c_str(), &there, kNoAio);
    if (ec.value() == ENOENT) {
      if ((ec = m_api->mkdir(m_io, dst.c_str(), 0700, kNoAio))) {
        fail(e.seq, ec, dst);
      } else {
        m_dirs.push_back(e);
      }
      return;
    }
    if (ec || (ec = detail::same_dir(m_api, m_io, dst, nullptr))) fail(e.seq, ec, dst);
  }

  // Keeps the failure of the lowest-numbered entry and stops the walk.
  void fail(uint64_t seq, std::error_code ec, const std::string& path) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_failed || seq < m_failure_seq) {
      m_failed = true;
      m_failure_seq = seq;
      m_failure = ec;
      m_failure_path = path;
    }
    m_stop.store(true, std::memory_order_release);
  }

  static void vanished(const std::string& path) {
    detail::logger().debug(
        kFunction, -1, "[%s] disappeared during the copy: left out of the version", path.c_str());
  }

  // The walk: directories are made here, everything else by the pool.
  // listed: the entry's lstat from its directory's listing, if it told one;
  // older: the older version's file at the same path, from its listing.
  void visit(const std::string& src, const std::string& dst, int depth,
             const struct stat* listed = nullptr, const struct stat* older = nullptr) {
    entry e{src, dst, {}, m_next_seq++, depth};
    if (listed != nullptr && has_type(*listed)) {
      e.st = *listed;
    } else if (std::error_code ec = m_api->lstat(m_io, src.c_str(), &e.st, kNoAio)) {
      if (ec.value() == ENOENT) {
        vanished(src);
      } else {
        fail(e.seq, ec, src);
      }
      return;
    }
    if (older != nullptr && S_ISREG(older->st_mode)) {
      e.has_older = true;
      e.older = *older;
    }
    if (S_ISDIR(e.st.st_mode)) {
      visit_dir(e);
      return;
    }
    if (e.st.st_nlink > 1) {
      std::lock_guard<std::mutex> guard(m_mutex);
      inode_key key(e.st.st_dev, e.st.st_ino);
      if (m_first_names.count(key)) {
        m_further_names.push_back(e);  // linked once the pool is idle
        return;
      }
      m_first_names[key] = dst;
    }
    m_pool.submit([this, e] { run_entry(e); });
  }

  void visit_dir(const entry& e) {
    if (std::error_code ec = m_api->mkdir(m_io, e.dst.c_str(), 0700, kNoAio)) {
      fail(e.seq, ec, e.dst);
      return;
    }
    std::vector<detail::listed_entry> entries;
    if (std::error_code ec = detail::list_dir_plus(m_api, m_io, e.src, e.st, &entries)) {
      if (ec.value() != ENOENT) {
        fail(e.seq, ec, e.src);
      } else if ((ec = m_api->rmdir(m_io, e.dst.c_str(), kNoAio))) {
        fail(e.seq, ec, e.dst);
      } else {
        vanished(e.src);
      }
      return;
    }
    m_dirs.push_back(e);
    descend(e, entries, false);
  }

  // The regular files of the older version's directory that stands for the
  // group's directory e, read in one listing; none when there is no older
  // version, no such directory, or it cannot be read (its files are then
  // copied, as changed ones are).
  stat_map older_files(const entry& e) {
    stat_map files;
    if (m_older.dir.empty()) return files;
    std::string dir = m_older.dir + e.src.substr(m_top.src.size());
    struct stat st;
    std::vector<detail::listed_entry> entries;
    if (m_api->lstat(m_io, dir.c_str(), &st, kNoAio) ||
        detail::list_dir_plus(m_api, m_io, dir, st, &entries)) {
      return files;
    }
    for (const detail::listed_entry& o : entries) {
      if (S_ISREG(o.st.st_mode)) files.emplace(o.name, o.st);
    }
    return files;
  }

  // Visits the listed entries of the directory e, leaving out at the top
  // the version tree ".snaps".  The walk goes
  // on by path: first the source must still be the directory listed and
  // the destination a real directory, so that neither a directory of the
  // group nor one of the version swapped for a link leads it elsewhere.
  void descend(const entry& e, const std::vector<detail::listed_entry>& entries, bool top) {
    std::error_code ec = detail::same_dir(m_api, m_io, e.src, &e.st);
    if (ec) {
      fail(e.seq, ec, e.src);
      return;
    }
    if ((ec = detail::same_dir(m_api, m_io, e.dst, nullptr))) {
      fail(e.seq, ec, e.dst);
      return;
    }
    const stat_map older = older_files(e);
    for (const detail::listed_entry& child : entries) {
      if (stopped()) return;
      const std::string& name = child.name;
      if (top && name == kSnapsDir) continue;
      auto found = older.find(name);
      visit(e.src + "/" + name, e.dst + "/" + name, e.depth + 1, &child.st,
            found != older.end() ? &found->second : nullptr);
    }
  }

  // A job of the pool: one entry other than a directory, whole.
  //
  // A name whose file was replaced since the listing (renamed over: an
  // editor's save, an atomic write) is copied as what it names now: the
  // open found another file than listed (ELOOP), or, on a distributed
  // GlusterFS volume, the name was missing for the moment the rename takes
  // to settle there (ENOENT).  The name is looked at again, never through a
  // link (lstat; the open is checked against it), up to kLooksAgain times;
  // only a name still missing then was removed, and is left out.
  void run_entry(const entry& listed) {
    entry e = listed;
    for (int look = 0;; ++look) {
      if (stopped()) return;
      std::string failed;
      std::error_code ec = copy_entry(e, &failed);
      if (!ec) return;
      bool moved = failed == e.src && (ec.value() == ENOENT || ec.value() == ELOOP);
      if (!moved) return fail(e.seq, ec, failed);
      std::error_code undo = m_api->unlink(m_io, e.dst.c_str(), kNoAio);
      if (undo && undo.value() != ENOENT) return fail(e.seq, undo, e.dst);
      if (!look_again(&e, look, &ec)) {
        if (ec.value() == ENOENT) return vanished(e.src);
        return fail(e.seq, ec, e.src);
      }
    }
  }

  // Takes the lstat of e's name again, after a pause when it was missing;
  // false with *ec set when the name is still missing after the last look
  // (ENOENT), now names a directory (the walk has passed it: the first
  // error stands), or cannot be looked at.
  bool look_again(entry* e, int look, std::error_code* ec) {
    if (look >= kLooksAgain) return false;
    std::error_code first = *ec;
    for (; look < kLooksAgain; ++look) {
      if (ec->value() == ENOENT) std::this_thread::sleep_for(std::chrono::milliseconds(10 << look));
      *ec = m_api->lstat(m_io, e->src.c_str(), &e->st, kNoAio);
      if (!*ec) break;
      if (ec->value() != ENOENT) return false;
    }
    if (*ec) return false;
    if (S_ISDIR(e->st.st_mode)) {
      *ec = first;
      return false;
    }
    e->has_older = false;  // another file than the older version's listing knew
    e->replaced = true;
    return true;
  }

  std::error_code copy_entry(const entry& e, std::string* failed) {
    *failed = e.dst;
    std::error_code ec;
    switch (e.st.st_mode & S_IFMT) {
      case S_IFREG: {
        if (link_unchanged(e)) return {};
        // The version's file takes the metadata of the file as it was
        // opened, which another client may have changed since the listing.
        entry opened = e;
        if ((ec = copy_file(e, &opened.st, failed))) return ec;
        return set_metadata(opened, failed);
      }
      case S_IFLNK: {
        // The link itself, never what it points to.
        std::string target;
        if ((ec = m_api->readlink(m_io, e.src.c_str(), &target, kNoAio))) {
          *failed = e.src;
          return ec;
        }
        ec = m_api->symlink(m_io, target.c_str(), e.dst.c_str(), kNoAio);
        break;
      }
      case S_IFIFO:
      case S_IFCHR:
      case S_IFBLK:
      case S_IFSOCK:
        ec =
            m_api->mknod(m_io, e.dst.c_str(), (e.st.st_mode & S_IFMT) | 0600, e.st.st_rdev, kNoAio);
        break;
      default:  // a kind of entry this copy cannot make
        *failed = e.src;
        return ktfs::errno_code(EOPNOTSUPP);
    }
    if (ec) return ec;
    return set_metadata(e, failed);
  }

  // A file unchanged since the older version was taken: one more name of
  // the older version's file.  False when it changed, when the older
  // version lacks it, or when the volume refuses the link (noted; the
  // caller copies it).
  bool link_unchanged(const entry& e) {
    if (!e.has_older) return false;
    std::string from = m_older.dir + e.src.substr(m_top.src.size());
    if (!detail::unchanged_since(e.st, e.older, m_older.unchanged_before_ns) ||
        (!m_ctime_covers_attrs && !detail::same_attrs(m_api, m_io, e.src, from))) {
      return false;
    }
    if (std::error_code ec = m_api->link(m_io, from.c_str(), e.dst.c_str(), kNoAio)) {
      // A distributed volume may leave a pointer to the file under the new
      // name when a brick refuses the name itself: the copy needs the name.
      struct stat left;
      if (!m_api->lstat(m_io, e.dst.c_str(), &left, kNoAio))
        m_api->unlink(m_io, e.dst.c_str(), kNoAio);
      std::lock_guard<std::mutex> guard(m_mutex);
      if (m_refused++ == 0) m_first_refusal = "[" + e.src + "]: " + std::strerror(ec.value());
      return false;
    }
    m_progress.files.fetch_add(1, std::memory_order_relaxed);
    m_progress.linked.fetch_add(1, std::memory_order_relaxed);
    return true;
  }

  // One message for every link the volume refused in this copy.
  void report_refused_links() {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_refused == 0) return;
    detail::logger().debug(kFunction, -1,
                           "%llu unchanged files copied: the volume refused a link to the older "
                           "version's file (first %s)",
                           static_cast<unsigned long long>(m_refused), m_first_refusal.c_str());
  }

  // Copies e's data into a new file at e.dst; *opened is what fstat told
  // of the source once it was open.
  std::error_code copy_file(const entry& e, struct stat* opened, std::string* failed) {
    *failed = e.src;
    ktfs::file_ptr in = m_api->open(m_io, e.src.c_str(), O_RDONLY, kNoAio);
    if (!in) return ktfs::errno_code(errno);
    // A file swapped for a link since the walk saw it: another file's data
    // never enters the version.
    if (std::error_code ec = detail::opened_as_seen(in, e.st, opened)) return ec;
    *failed = e.dst;
    ktfs::file_ptr out =
        m_api->open(m_io, e.dst.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600, kNoAio);
    if (!out) return ktfs::errno_code(errno);
    if (std::error_code ec = copy_data(in, out, *opened, e.replaced, failed)) return ec;
    // A file written while it was copied: the version holds a mix.
    struct stat after;
    std::memset(&after, 0, sizeof after);
    *failed = e.src;
    if (std::error_code ec = in->impl().fstat(&after)) return ec;
    bool changed = after.st_size != opened->st_size ||
                   after.st_mtim.tv_sec != opened->st_mtim.tv_sec ||
                   after.st_mtim.tv_nsec != opened->st_mtim.tv_nsec;
    if (std::error_code ec = m_api->close(in, kNoAio)) return ec;
    *failed = e.dst;
    if (std::error_code ec = m_api->close(out, kNoAio)) return ec;
    m_progress.files.fetch_add(1, std::memory_order_relaxed);
    if (changed) {
      detail::logger().debug(kFunction, -1,
                             "[%s] changed while it was copied (size or modification time): "
                             "its copy in the version may mix old and new data",
                             e.src.c_str());
    }
    return {};
  }

  // Copies the data up to the size st gives, the file's as the copy opened
  // it (the listing's may be older: another host may have written the file
  // since).  With to_the_end, on to the end the reads find: a GlusterFS
  // client may answer a stat of a name another client renamed a file over
  // from what it kept of the file replaced, or of the new file as it was
  // listed, for about a second; whatever size it tells, the reads reach the
  // bricks.  A file with fewer blocks than its size may hold holes: only its
  // data extents are copied, found with SEEK_DATA and SEEK_HOLE, and a hole
  // at the end is made by the size.
  std::error_code copy_data(const ktfs::file_ptr& in, const ktfs::file_ptr& out,
                            const struct stat& st, bool to_the_end, std::string* failed) {
    uint64_t size = static_cast<uint64_t>(st.st_size), end = 0;
    if (static_cast<uint64_t>(st.st_blocks) * 512 >= size) {
      if (std::error_code ec = copy_extent(in, out, 0, size, &end, failed)) return ec;
    } else {
      for (uint64_t at = 0; at < size;) {
        uint64_t data = 0, hole = 0;
        *failed = in->path();
        std::error_code ec = m_api->seek(in, at, SEEK_DATA, &data, kNoAio);
        if (ec.value() == ENXIO || (!ec && data >= size)) break;  // only a hole follows
        if (ec || (ec = m_api->seek(in, data, SEEK_HOLE, &hole, kNoAio))) return ec;
        hole = std::min(std::max(hole, data + 1), size);
        if ((ec = copy_extent(in, out, data, hole, &end, failed))) return ec;
        at = hole;
      }
    }
    if (to_the_end) {
      if (std::error_code ec = copy_extent(in, out, size, UINT64_MAX, &end, failed)) return ec;
    }
    if (end < size) {
      *failed = out->path();
      return m_api->truncate(out, size, kNoAio);
    }
    return {};
  }

  std::error_code copy_extent(const ktfs::file_ptr& in, const ktfs::file_ptr& out, uint64_t from,
                              uint64_t to, uint64_t* end, std::string* failed) {
    uint64_t in_offset = from, out_offset = from;
    while (in_offset < to) {
      size_t done = 0;
      size_t ask = static_cast<size_t>(std::min(to - in_offset, kCopyBlock));
      std::error_code ec = m_api->copy_range(in, &in_offset, out, &out_offset, ask, &done, kNoAio);
      if (ec) {
        *failed = in->path();
        return ec;
      }
      if (done == 0) break;  // the end of the file's data
      m_progress.bytes.fetch_add(done, std::memory_order_relaxed);
    }
    if (out_offset > from) *end = std::max(*end, out_offset);
    return {};
  }

  // Owner first, without following links (a change of owner clears the
  // set-id bits and file capabilities), then the extended attributes in
  // scope (POSIX ACLs among them), the mode (never of a link: chmod would
  // follow it) and the times.
  std::error_code set_metadata(const entry& e, std::string* failed,
                               detail::attr_scope scope = detail::attr_scope::all) {
    const char* dst = e.dst.c_str();
    bool is_link = S_ISLNK(e.st.st_mode);
    unsigned int mode = e.st.st_mode & 07777;
    *failed = e.dst;
    std::error_code ec = m_api->lchown(m_io, dst, e.st.st_uid, e.st.st_gid, kNoAio);
    if (ec.value() == EPERM || ec.value() == EINVAL) {
      bool set_id = !is_link && (mode & (S_ISUID | S_ISGID)) != 0;
      mode &= ~static_cast<unsigned int>(S_ISUID | S_ISGID);
      detail::logger().debug(kFunction, -1, "owner %u:%u of [%s] not kept (%s)%s",
                             static_cast<unsigned>(e.st.st_uid), static_cast<unsigned>(e.st.st_gid),
                             e.src.c_str(), std::strerror(ec.value()),
                             set_id ? ": its set-user-id and set-group-id bits are dropped" : "");
    } else if (ec) {
      return ec;
    }
    if ((ec = detail::copy_attrs(m_api, m_io, e.src, e.dst, failed, scope))) return ec;
    *failed = e.dst;
    if (!is_link && (ec = m_api->lchmod(m_io, dst, mode, kNoAio))) return ec;
    const struct timespec times[2] = {e.st.st_atim, e.st.st_mtim};
    return m_api->lutimens(m_io, dst, times, kNoAio);
  }

  // The further names of files with several links in the group.  A first
  // name left out (it disappeared) hands its place to the next one.
  void make_further_links() {
    for (const entry& e : m_further_names) {
      if (stopped()) return;
      inode_key key(e.st.st_dev, e.st.st_ino);
      std::error_code ec = m_api->link(m_io, m_first_names[key].c_str(), e.dst.c_str(), kNoAio);
      if (ec.value() == ENOENT) {
        m_first_names[key] = e.dst;
        run_entry(e);
        continue;
      }
      if (ec) {
        fail(e.seq, ec, e.dst);
        return;
      }
      if (S_ISREG(e.st.st_mode)) m_progress.files.fetch_add(1, std::memory_order_relaxed);
    }
  }

  // The directories' own metadata, a level at a time from the deepest.
  void finish_dirs() {
    std::stable_sort(m_dirs.begin(), m_dirs.end(),
                     [](const entry& a, const entry& b) { return a.depth > b.depth; });
    for (size_t i = 0; i < m_dirs.size() && !stopped();) {
      int depth = m_dirs[i].depth;
      for (; i < m_dirs.size() && m_dirs[i].depth == depth; ++i) {
        const entry* e = &m_dirs[i];
        m_pool.submit([this, e] { finish_dir(*e); });
      }
      m_pool.drain();
    }
  }

  void finish_dir(const entry& e) {
    if (stopped()) return;
    std::string failed;
    std::error_code ec = set_metadata(e, &failed);
    if (!ec) return;
    if (ec.value() == ENOENT && failed == e.src) {
      std::string undo_failed;
      if (std::error_code undo = detail::remove_tree(m_api, m_io, e.dst, &undo_failed)) {
        fail(e.seq, undo, undo_failed);
      } else {
        vanished(e.src);
      }
      return;
    }
    fail(e.seq, ec, failed);
  }

  ktfs::ktfs_api* m_api;
  const ktfs::iopx_ptr& m_io;
  copy_progress& m_progress;
  const detail::link_source m_older;  // dir empty: every file copied
  // Whether a file's change time tells an attribute change (else the
  // attributes of a file and the older version's are compared).
  const bool m_ctime_covers_attrs;
  uint64_t m_next_seq = 0;    // the walk's only
  entry m_top{};              // the group and the version's directory
  std::vector<entry> m_dirs;  // the walk's only, until the pool is idle
  std::atomic<bool> m_stop{false};
  mutable std::atomic<bool> m_interrupted{false};  // a requested stop cut the walk short
  std::mutex m_mutex;                              // guards what follows
  std::map<inode_key, std::string> m_first_names;
  std::vector<entry> m_further_names;
  bool m_failed = false;
  uint64_t m_failure_seq = 0;
  std::error_code m_failure;
  std::string m_failure_path;
  uint64_t m_refused = 0;  // links the volume refused
  std::string m_first_refusal;
  worker_pool m_pool;  // last: its threads end before the members they use
};

}  // namespace

void set_copy_workers(unsigned workers) {
  g_workers.store(std::min(workers, kMaxWorkers), std::memory_order_relaxed);
}

unsigned copy_workers() {
  unsigned chosen = g_workers.load(std::memory_order_relaxed);
  if (chosen != 0) return chosen;
  if (const char* text = std::getenv("KTFS_COPY_WORKERS")) {
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    if (end != text && *end == '\0' && value > 0) {
      return static_cast<unsigned>(std::min<unsigned long>(value, kMaxWorkers));
    }
  }
  return kDefaultCopyWorkers;
}

namespace detail {

bool unchanged_since(const struct stat& live, const struct stat& older,
                     int64_t unchanged_before_ns) {
  int64_t changed = static_cast<int64_t>(live.st_ctim.tv_sec) * 1000000000 + live.st_ctim.tv_nsec;
  return S_ISREG(live.st_mode) && S_ISREG(older.st_mode) && changed < unchanged_before_ns &&
         live.st_size == older.st_size && live.st_mtim.tv_sec == older.st_mtim.tv_sec &&
         live.st_mtim.tv_nsec == older.st_mtim.tv_nsec &&
         (live.st_mode & 07777) == (older.st_mode & 07777) && live.st_uid == older.st_uid &&
         live.st_gid == older.st_gid;
}

std::error_code copy_group(ktfs::ktfs_api* api, const ktfs::iopx_ptr& io, const std::string& fg,
                           const std::string& ver, const link_source& older,
                           const version_filler& fill, std::string* failed) {
  tree_copier copier(api, io, progress(), copy_workers(), older);
  std::error_code ec = copier.copy_top(fg, ver, failed);
  if (!ec) ec = fill(failed);
  if (!ec) ec = copier.finish_top(failed);
  return ec;
}

}  // namespace detail

std::error_code copy_entries(ktfs::ktfs_api* api, ktfs::iopx_ptr io, const std::string& src_root,
                             const std::string& dst_root, const std::vector<std::string>& rels,
                             std::string* failed) {
  if (api == nullptr || !io) return detail::errno_code(EBADF);
  copy_progress& counters = detail::progress();
  counters.files.store(0, std::memory_order_relaxed);
  counters.bytes.store(0, std::memory_order_relaxed);
  counters.running.store(true, std::memory_order_relaxed);
  std::error_code ec;
  {
    tree_copier copier(api, io, counters, copy_workers());
    ec = copier.copy_paths(src_root, dst_root, rels, failed);
  }
  counters.running.store(false, std::memory_order_relaxed);
  if (ec) {
    detail::logger().error("ktfssnapcore::copy_entries()", "copy of [%s] failed: %s",
                           failed->c_str(), std::strerror(ec.value()));
  }
  return ec;
}

}  // namespace ktfssnapcore
