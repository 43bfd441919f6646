#include "reliability/sweep_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>

#include "ktfs/ktfs_fault.h"
#include "ktfssnapcore/ktfssnapcore.h"

using ktfs::kNoAio;
using ktsm_internal::access;

namespace ktsm_sweep {

namespace {

// No operation of these tests makes anywhere near this many calls: a sweep
// that gets here does not end.
const uint64_t kMaxPoints = 5000;
uint64_t g_total = 0;

// Sends the snapshot core's messages to the run's capture, so that its
// error lines can be counted with the library's.
class core_log_route {
 public:
  explicit core_log_route(ktfs::capture_sink& sink)
      : m_logger(std::shared_ptr<ktfs::log_sink>(&sink, [](ktfs::log_sink*) {}), 1) {
    ktfssnapcore::set_logger(&m_logger);
  }
  ~core_log_route() { ktfssnapcore::set_logger(nullptr); }
  core_log_route(const core_log_route&) = delete;
  core_log_route& operator=(const core_log_route&) = delete;

 private:
  ktfs::ktfs_debug m_logger;
};

// One run's volume, torn down however the run ends.
struct run_volume {
  library_fixture lib;
  bool up = false;
  ~run_volume() {
    if (up) lib.tear_down();
  }
};

fault_point point_at(const std::vector<std::string>& trace, uint64_t n, bool persistent) {
  fault_point p;
  p.n = n;
  p.persistent = persistent;
  p.calls.assign(trace.begin(), trace.begin() + static_cast<std::ptrdiff_t>(n));
  const std::string& call = p.calls.back();
  size_t space = call.find(' ');
  p.kind = call.substr(0, space);
  p.path = space == std::string::npos ? std::string() : call.substr(space + 1);
  return p;
}

// "name:state" of each version of set in list order; "*" marks the
// production version.
std::vector<std::string> picture(const vs::set_ptr& set) {
  std::vector<std::string> out;
  for (const version_ptr& v : access::versions(*set)) {
    out.push_back((v->is_production_version() ? "*" : "") + v->get_name() + ":" + v->get_state());
    EXPECT_EQ(v->get_fg_versionset(), set) << v->get_name();
  }
  expect_chain(set);
  return out;
}

// The picture the volume holds for the top-level entry e, its versions in
// creation order; false when the entry cannot be rebuilt as a group (no
// directory, no ".snaps").  *unreadable is set for a version without a state.
bool volume_picture(library_fixture& lib, const std::string& e, std::vector<std::string>* out,
                    bool* unreadable) {
  std::string dir = "/" + e;
  if (!is_dir(lib, dir) || !is_dir(lib, dir + "/.snaps")) return false;
  std::vector<std::pair<created, std::string>> versions;
  for (const std::string& v : lib.entries(dir + "/.snaps")) {
    std::string path = dir + "/.snaps/" + v;
    std::string raw = lib.raw_state(path);
    if (raw.empty()) *unreadable = true;
    created c;
    c.name = v;
    if (!read_record(lib, path, &c)) c.time_ns = mtime_ns(lib, path);
    versions.emplace_back(c, v + ":" + state_text(raw));
  }
  std::sort(versions.begin(), versions.end());
  out->push_back("*//" + e + ":");
  for (const auto& v : versions) out->push_back(v.second);
  return true;
}

// Runs c once with call n failing; *done when c ended before call n, with
// its calls in *all_calls.
void run_once(sweep_case& c, uint64_t n, bool persistent, bool* done,
              std::vector<std::string>* all_calls) {
  *done = false;
  run_volume volume;
  std::string skip;
  ASSERT_TRUE(volume.lib.set_up(ktsm_test::backend_kind::local, &skip)) << skip;
  volume.up = true;
  library_fixture& lib = volume.lib;
  core_log_route route(lib.capture());
  c.prepare(lib);
  ASSERT_FALSE(::testing::Test::HasFatalFailure()) << "the starting state could not be made";
  lib.capture().clear();
  auto arm = [n, persistent](ktfs::fault_backend& f) { f.fail_nth(n, EIO, persistent); };
  if (c.arms_init()) {
    vs::stop();
    lib.arm_next_init(arm);
  } else {
    ASSERT_TRUE(lib.faults());
    arm(*lib.faults());
  }
  int32_t status = c.run(lib);
  std::shared_ptr<ktfs::fault_backend> faults = lib.faults();
  ASSERT_TRUE(faults);
  uint64_t calls = faults->calls_since_armed();
  uint64_t fired = faults->fired();
  std::vector<std::string> trace = faults->trace();
  faults->clear();
  std::vector<ktfs::log_record> records = lib.capture().records();

  *done = calls < n;
  fault_point point;
  const fault_point* failed = nullptr;
  if (*done) {
    EXPECT_EQ(fired, 0u);
    *all_calls = trace;
  } else {
    EXPECT_GE(fired, 1u) << "the armed call did not fail";
    ASSERT_GE(trace.size(), n);
    point = point_at(trace, n, persistent);
    failed = &point;
  }
  SCOPED_TRACE(failed != nullptr ? "failing call: " + failed->call() : "no call failed");
  outcome want = c.expect(failed);
  EXPECT_EQ(status, want.status);
  EXPECT_EQ(c.count_failures(records), want.failures) << dump(records);
  EXPECT_EQ(core_errors(records), want.core_errors) << dump(records);
  c.check_left(lib, failed);
  restart_and_check(lib);
  c.complete(lib, failed);
}

}  // namespace

size_t fault_point::occurrence() const { return count_before(call()) + 1; }

size_t fault_point::count_before(const std::string& c) const {
  if (calls.empty()) return 0;
  return static_cast<size_t>(std::count(calls.begin(), calls.end() - 1, c));
}

sweep_count sweep(sweep_case& c) {
  sweep_count count;
  for (bool persistent : {false, true}) {
    uint64_t& points = persistent ? count.persistent : count.transient;
    for (uint64_t n = 1;; ++n) {
      if (n > kMaxPoints) {
        ADD_FAILURE() << c.name() << ": the sweep does not end";
        break;
      }
      SCOPED_TRACE(c.name() + (persistent ? ", persistent" : ", transient") + " fault at call " +
                   std::to_string(n));
      bool done = false;
      run_once(c, n, persistent, &done, &count.calls);
      if (::testing::Test::HasFatalFailure()) return count;
      if (done) break;
      ++points;
    }
  }
  std::printf("fault sweep: %s: %llu fault points (%llu transient, %llu persistent)\n",
              c.name().c_str(), static_cast<unsigned long long>(count.total()),
              static_cast<unsigned long long>(count.transient),
              static_cast<unsigned long long>(count.persistent));
  std::fflush(stdout);
  g_total += count.total();
  return count;
}

uint64_t total_points() { return g_total; }

std::string state_bytes(const std::string& text) {
  std::string bytes(16, '\0');
  bytes.replace(0, text.size(), text);
  return bytes;
}

std::string state_text(const std::string& raw) { return raw.substr(0, raw.find('\0')); }

void restart_and_check(library_fixture& lib) {
  vs::stop();
  int32_t status = lib.init();
  std::map<std::string, std::vector<std::string>> expected;
  bool complete = true;
  for (const std::string& e : lib.entries("/")) {
    std::vector<std::string> versions;
    bool unreadable = false;
    if (volume_picture(lib, e, &versions, &unreadable)) {
      expected["//" + e] = versions;
    } else {
      complete = false;
    }
    if (unreadable) complete = false;
  }
  EXPECT_EQ(status, complete ? 0 : 1) << "init after the restart";
  std::map<std::string, std::vector<std::string>> actual;
  for (const vs::set_ptr& set : vs::m_version_sets) {
    EXPECT_EQ(actual.count(set->get_name()), 0u) << set->get_name() << " registered twice";
    actual[set->get_name()] = picture(set);
  }
  EXPECT_EQ(actual, expected) << "the rebuilt registry against the volume";
}

lock_step lock_step_of(const fault_point& p, const std::string& group) {
  const std::string file = group + "/.snaps/.ktsm-lock";
  if (p.path == file) {
    if (p.kind == "open") return lock_step::open;
    if (p.kind == "lock") return p.occurrence() == 1 ? lock_step::take : lock_step::release;
    if (p.kind == "fstat" || p.kind == "lstat") return lock_step::take;  // still the lock file?
    if (p.kind == "close") return lock_step::release;
  }
  if (p.kind == "lstat" && p.count_before("open " + file) == 0) return lock_step::check;
  return lock_step::other;
}

size_t count_lock_failures(const std::vector<ktfs::log_record>& records, const std::string& group) {
  // Only these lines begin with "path [".
  return count_prefix(records, "path [") +
         count_prefix(records, "file group [" + group + "] lock failed: ") +
         count_texts(records, {"file group [" + group + "] is locked by another process"});
}

void expect_lock_calls(const sweep_count& n, const std::string& group, bool locked) {
  const std::string file = " " + group + "/.snaps/.ktsm-lock";
  const struct {
    const char* kind;
    std::ptrdiff_t times;
  } calls[] = {{"open", 1}, {"lock", 2}, {"fstat", 1}, {"lstat", 1}, {"close", 1}};
  for (const auto& call : calls) {
    EXPECT_EQ(std::count(n.calls.begin(), n.calls.end(), call.kind + file), locked ? call.times : 0)
        << call.kind << file;
  }
}

void expect_lock_line(library_fixture& lib, const fault_point* p, const std::string& group) {
  lock_step s = p != nullptr ? lock_step_of(*p, group) : lock_step::other;
  if (s == lock_step::other || s == lock_step::release) return;
  std::string line = s == lock_step::check
                         ? "path [" + p->path + "] is not a directory"
                         : "file group [" + group + "] lock failed: " + std::strerror(EIO);
  EXPECT_EQ(lib.capture().count(line), 1u) << dump(lib.capture().records());
}

const char kCreatedAttribute[] = "trusted.norvafs.snapcreated";

bool read_record(library_fixture& lib, const std::string& path, created* c) {
  std::istringstream in(xattr(lib, path, kCreatedAttribute));
  long long seconds = 0, nanoseconds = 0;
  unsigned long long sequence = 0;
  char dot = 0;
  if (!(in >> seconds >> dot >> nanoseconds >> sequence) || dot != '.') return false;
  c->time_ns = seconds * 1000000000 + nanoseconds;
  c->sequence = sequence;
  return true;
}

int64_t mtime_ns(library_fixture& lib, const std::string& path) {
  struct stat st = {};
  EXPECT_FALSE(lib.api().stat(lib.io(), path.c_str(), &st, kNoAio)) << path;
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

void set_mtime(library_fixture& lib, const std::string& path, int64_t seconds) {
  struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (lib.local_root() + path).c_str(), times, 0), 0) << path;
}

void expect_chain(const vs::set_ptr& set) {
  version_ptr previous;
  for (const version_ptr& v : access::versions(*set)) {
    EXPECT_EQ(v->get_older_version(), previous) << "the older version of " << v->get_name();
    previous = v;
  }
}

std::vector<std::string> names_of(const vs::set_ptr& set) {
  std::vector<std::string> out;
  for (const version_ptr& v : access::versions(*set)) out.push_back(v->get_name());
  return out;
}

std::vector<std::string> registry_names() {
  std::vector<std::string> names;
  for (const vs::set_ptr& set : vs::m_version_sets) names.push_back(set->get_name());
  std::sort(names.begin(), names.end());
  return names;
}

vs::set_ptr registered(const std::string& name) {
  vs::set_ptr set;
  vs::get_version_set(name, set);
  return set;
}

size_t count_texts(const std::vector<ktfs::log_record>& records,
                   const std::set<std::string>& texts) {
  return static_cast<size_t>(
      std::count_if(records.begin(), records.end(),
                    [&](const ktfs::log_record& r) { return texts.count(r.text) != 0; }));
}

size_t count_prefix(const std::vector<ktfs::log_record>& records, const std::string& prefix) {
  return static_cast<size_t>(std::count_if(
      records.begin(), records.end(),
      [&](const ktfs::log_record& r) { return r.text.compare(0, prefix.size(), prefix) == 0; }));
}

size_t core_errors(const std::vector<ktfs::log_record>& records) {
  return static_cast<size_t>(
      std::count_if(records.begin(), records.end(), [](const ktfs::log_record& r) {
        return r.is_error && r.function.compare(0, 14, "ktfssnapcore::") == 0;
      }));
}

std::string dump(const std::vector<ktfs::log_record>& records) {
  std::string out = "records:\n";
  for (const ktfs::log_record& r : records) out += "  " + r.function + ": " + r.text + "\n";
  return out;
}

bool is_dir(library_fixture& lib, const std::string& path) {
  struct stat st;
  return !lib.api().stat(lib.io(), path.c_str(), &st, kNoAio) && S_ISDIR(st.st_mode);
}

std::string xattr(library_fixture& lib, const std::string& path, const std::string& name) {
  char buf[512] = {0};
  struct iovec iov = {buf, sizeof buf};
  int64_t n = lib.api().getxattr(lib.io(), path.c_str(), name.c_str(), &iov, kNoAio);
  return n < 0 ? std::string("<none>") : std::string(buf, static_cast<size_t>(n));
}

std::string link_target(library_fixture& lib, const std::string& path) {
  std::string target;
  if (lib.api().readlink(lib.io(), path.c_str(), &target, kNoAio)) return "<none>";
  return target;
}

}  // namespace ktsm_sweep
