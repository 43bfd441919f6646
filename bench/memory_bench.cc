// ktsm_memory_bench: case 5, memory per version record.
//
//   ktsm_memory_bench [--records=N] [--release-records=N[,N...]] [--release-only]
//
// Each measurement runs in a child process of its own so that one does not
// reuse the heap another left behind: the child reads its resident size
// (/proc/self/statm) and its count of heap allocations, makes N records and
// keeps their handles, and reads both again.  Three children:
//   pool   - access::allocate_version() (the library's pool);
//   plain  - new ktsm_filegroup_version in a boost::shared_ptr;
//   blocks - a pool of records with a block allocator that counts the
//            blocks it takes from the heap.
// and four more at each size of --release-records (default 100,000): the
// release of every handle in the order they were made, for the pool and for
// plain new, and cleanup() of a set holding that many versions (what stop()
// does to every set), again with pool records and with plain new.  Each
// pair's row is printed as soon as it is measured.  --release-only leaves
// the three memory children out.
// The vector of handles is reserved before the first reading, so the figures
// are the records' own (with their reference-count blocks).
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "bench_support.h"
#include "internal.h"
#include "ktsm/ktfs_mem.h"
#include "ktsm/ktsm_filegroup_version_set.h"

namespace {

// Every heap allocation of this program, counted.
std::atomic<uint64_t> g_allocations{0};

void* counted_alloc(std::size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(n == 0 ? 1 : n);
}

// Out of line, so that the compiler does not pair a free() with the
// operator new it sees inlined beside it.
__attribute__((noinline)) void counted_free(void* p) { std::free(p); }

}  // namespace

void* operator new(std::size_t n) {
  void* p = counted_alloc(n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return counted_alloc(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return counted_alloc(n); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { counted_free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { counted_free(p); }

namespace {

using ktsm_bench::fmt;
using ktsm_internal::access;
typedef boost::shared_ptr<ktsm_filegroup_version> version_ptr;

// A block allocator that counts the blocks and bytes a pool takes.
struct counting_allocator {
  typedef std::size_t size_type;
  typedef std::ptrdiff_t difference_type;
  static uint64_t blocks;
  static uint64_t bytes;
  static char* malloc(size_type n) {
    ++blocks;
    bytes += n;
    return new (std::nothrow) char[n];
  }
  static void free(char* block) { delete[] block; }
};
uint64_t counting_allocator::blocks = 0;
uint64_t counting_allocator::bytes = 0;

struct reading {
  uint64_t resident = 0;     // bytes
  uint64_t allocations = 0;  // heap allocations
  uint64_t blocks = 0;       // pool blocks (the "blocks" child)
  uint64_t block_bytes = 0;
  double release_seconds = 0;
};

// A set of records versions (the pool's, or plain new with plain), timed
// while cleanup() empties it.
double time_cleanup(size_t records, bool plain) {
  typedef ktsm_filegroup_version_set vs;
  vs::set_ptr set = access::allocate_set();
  access::set_name(*set, "//bench");
  for (size_t i = 0; i < records; ++i) {
    version_ptr v = plain ? version_ptr(new ktsm_filegroup_version) : access::allocate_version();
    access::set_name(*v, fmt("v%06zu", i));
    access::set_fg_versionset(*v, set);
    access::add_version(*set, v);
  }
  double start = ktsm_bench::now();
  set->cleanup();
  double seconds = ktsm_bench::now() - start;
  if (!access::versions(*set).empty() || set.use_count() != 1) std::abort();
  return seconds;
}

reading measure(const std::string& kind, size_t records) {
  if (kind == "pool-cleanup" || kind == "plain-cleanup") {
    reading r;
    r.release_seconds = time_cleanup(records, kind == "plain-cleanup");
    return r;
  }
  // Never destroyed (the child ends with _exit), unless the release is what
  // is measured.
  std::vector<version_ptr>& handles = *new std::vector<version_ptr>();
  handles.reserve(records);
  reading r;
  uint64_t rss0 = ktsm_bench::resident_bytes(), a0 = g_allocations.load();
  bool pool_kind = kind == "pool" || kind == "pool-release";
  if (pool_kind) {
    for (size_t i = 0; i < records; ++i) handles.push_back(access::allocate_version());
  } else if (kind == "plain" || kind == "plain-release") {
    for (size_t i = 0; i < records; ++i) handles.push_back(version_ptr(new ktsm_filegroup_version));
  } else {
    // Never destroyed: the child ends with _exit.
    auto* pool = new ktfs::ktfs_mem::mempool<ktsm_filegroup_version, counting_allocator>();
    for (size_t i = 0; i < records; ++i) handles.push_back(pool->make_shared());
    r.blocks = counting_allocator::blocks;
    r.block_bytes = counting_allocator::bytes;
  }
  r.resident = ktsm_bench::resident_bytes() - rss0;
  r.allocations = g_allocations.load() - a0;
  for (const version_ptr& h : handles) {
    if (!h) std::abort();  // every record must have been made
  }
  if (kind == "pool-release" || kind == "plain-release") {
    uint64_t released = access::version_pool().release_count();
    double start = ktsm_bench::now();
    handles.clear();
    r.release_seconds = ktsm_bench::now() - start;
    if (kind == "pool-release" && access::version_pool().release_count() != released + records) {
      std::abort();
    }
  }
  return r;
}

// Runs measure(kind) in a child and returns its reading.
bool in_child(const std::string& kind, size_t records, reading* out) {
  int fds[2];
  if (::pipe(fds) != 0) return false;
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    ::close(fds[0]);
    reading r = measure(kind, records);
    ssize_t n = ::write(fds[1], &r, sizeof r);
    ::_exit(n == static_cast<ssize_t>(sizeof r) ? 0 : 1);
  }
  ::close(fds[1]);
  ssize_t n = ::read(fds[0], out, sizeof *out);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return n == static_cast<ssize_t>(sizeof *out) && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The three memory children at records records, and their rows.
bool memory_rows(size_t records) {
  reading pool, plain, blocks;
  if (!in_child("pool", records, &pool) || !in_child("plain", records, &plain) ||
      !in_child("blocks", records, &blocks)) {
    return false;
  }
  double n = static_cast<double>(records);
  double pool_per = pool.resident / n, plain_per = plain.resident / n;
  ktsm_bench::note("sizeof(ktsm_filegroup_version) = %zu bytes", sizeof(ktsm_filegroup_version));
  ktsm_bench::print_row({fmt("5 memory: resident bytes per record, %zu alive", records), "memory",
                         fmt("pool %.1f B", pool_per), fmt("new+shared_ptr %.1f B", plain_per),
                         ktsm_bench::times(pool_per / plain_per), "-", "-"});
  ktsm_bench::print_row(
      {fmt("5 memory: heap allocations for %zu records", records), "memory",
       fmt("pool %llu", static_cast<unsigned long long>(pool.allocations)),
       fmt("new+shared_ptr %llu", static_cast<unsigned long long>(plain.allocations)),
       ktsm_bench::times(static_cast<double>(pool.allocations) /
                         static_cast<double>(plain.allocations)),
       "-", "-"});
  ktsm_bench::print_row(
      {fmt("5 memory: pool blocks for %zu records", records), "memory",
       fmt("%llu blocks, %.1f MiB", static_cast<unsigned long long>(blocks.blocks),
           blocks.block_bytes / 1048576.0),
       fmt("%zu records of %zu B = %.1f MiB", records, sizeof(ktsm_filegroup_version),
           n * sizeof(ktsm_filegroup_version) / 1048576.0),
       ktsm_bench::times(blocks.block_bytes / (n * sizeof(ktsm_filegroup_version))), "-", "-"});
  ktsm_bench::print_data({"memory", fmt("%zu", records), fmt("%.2f", pool_per),
                          fmt("%.2f", plain_per),
                          fmt("%llu", static_cast<unsigned long long>(pool.allocations)),
                          fmt("%llu", static_cast<unsigned long long>(plain.allocations)),
                          fmt("%llu", static_cast<unsigned long long>(blocks.blocks))});
  return true;
}

// One pool/plain pair of release children (kind "release" or "cleanup") and
// its row, printed as soon as both are measured.
bool release_row(const std::string& kind, size_t records, double* pool_s, double* plain_s) {
  reading pool, plain;
  if (!in_child("pool-" + kind, records, &pool) || !in_child("plain-" + kind, records, &plain)) {
    return false;
  }
  *pool_s = pool.release_seconds;
  *plain_s = plain.release_seconds;
  std::string what = kind == "release"
                         ? fmt("5 memory: release of %zu records in making order", records)
                         : fmt("5 memory: cleanup() of a set of %zu versions", records);
  ktsm_bench::print_row({what, "memory", "pool " + ktsm_bench::duration(*pool_s),
                         "new+shared_ptr " + ktsm_bench::duration(*plain_s),
                         ktsm_bench::times(*pool_s / *plain_s), "-", "-"});
  std::fflush(stdout);
  return true;
}

bool release_rows(size_t records) {
  double pool_release, plain_release, pool_cleanup, plain_cleanup;
  if (!release_row("release", records, &pool_release, &plain_release) ||
      !release_row("cleanup", records, &pool_cleanup, &plain_cleanup)) {
    return false;
  }
  ktsm_bench::print_data({"release", fmt("%zu", records), fmt("%.6f", pool_release),
                          fmt("%.6f", plain_release), fmt("%.6f", pool_cleanup),
                          fmt("%.6f", plain_cleanup)});
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  size_t records = 1000000;
  std::vector<size_t> release_records = {100000};
  bool release_only = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--records=", 10) == 0) {
      records = std::strtoul(argv[i] + 10, nullptr, 10);
    } else if (std::strncmp(argv[i], "--release-records=", 18) == 0) {
      release_records.clear();
      for (const char* p = argv[i] + 18; *p != '\0'; p += *p == ',') {
        char* end = nullptr;
        release_records.push_back(std::strtoul(p, &end, 10));
        if (end == p || release_records.back() == 0) return 2;
        p = end;
      }
    } else if (std::strcmp(argv[i], "--release-only") == 0) {
      release_only = true;
    } else {
      std::fprintf(stderr,
                   "usage: ktsm_memory_bench [--records=N] [--release-records=N[,N...]] "
                   "[--release-only]\n");
      return 2;
    }
  }
  if (records == 0 || release_records.empty()) return 2;
  bool ok = release_only || memory_rows(records);
  for (size_t n : release_records) ok = ok && release_rows(n);
  if (!ok) {
    ktsm_bench::print_row({"5 memory", "memory", "FAILED", "-", "-", "-", "no"});
    return 1;
  }
  return 0;
}
