// A concurrency stress run of the library on the local backend.
//
// Six workers on three file groups create, link, export, unexport, look up
// and delete versions of their own; two hosts look every set and version up,
// hold the handles for a while, ask is_file_needed and append deleted-file
// lists through them, and drop them after the records were deleted; one
// thread makes and removes extra groups; one thread restarts the library
// (stop, then init) while all this runs.  Each status is checked against
// what the concurrency allows.  At the end a fresh start-up must find exactly
// what the threads left on the volume, and every record must be back in its
// pool.  A watchdog turns a deadlock into a failure that names what each
// thread was doing.
//
// What a restart allows.  stop() empties the list of every registered set,
// so a version looked for in a set that a stop emptied is "not found" (1,
// nothing touched), and until the next init a group may be unregistered.
// After a restart the same version directory can be listed by two set
// objects (the one a worker still holds and the one init rebuilt), each with
// its own lock; deleting a version then merges its deleted-file list into
// the older version of the set it is deleted from, which another thread may
// be removing through the other set object, or still creating: such a
// delete fails at the merge (ENOENT) and leaves state "4".  Nothing else may
// fail.
#include <gtest/gtest.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "ktfssnapcore/ktfssnapcore.h"
#include "support/library_fixture.h"

namespace {

using ktsm_internal::access;
using ktsm_test::vs;
typedef vs::set_ptr set_ptr;
typedef vs::version_ptr version_ptr;

#if defined(__SANITIZE_THREAD__)
constexpr bool kUnderTsan = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kUnderTsan = true;
#else
constexpr bool kUnderTsan = false;
#endif
#else
constexpr bool kUnderTsan = false;
#endif

// How much work a run does: each worker stops at its round count or at the
// budget, whichever comes first; the others stop with the workers.
struct sizing {
  int rounds;                   // versions each worker creates
  int restarts;                 // most stop/init cycles
  int extra_groups;             // most extra groups made and removed
  std::chrono::seconds budget;  // no new round starts after this
};
const sizing kSize = kUnderTsan ? sizing{100, 30, 60, std::chrono::seconds(40)}
                                : sizing{300, 60, 200, std::chrono::seconds(12)};

const int kGroups = 3;
const int kWorkers = 6;
const int kHosts = 2;
const int kExtrasThread = kWorkers + kHosts;
const int kRestartThread = kExtrasThread + 1;
const int kThreads = kRestartThread + 1;
const std::chrono::seconds kWatchdog(120);
// Versions a worker keeps before it deletes its oldest; handles a host keeps.
const size_t kKeptVersions = 3;
const size_t kHeldVersions = 48;
const size_t kHeldSets = 8;

const char* const kFiles[] = {"f0", "f1", "d/f2"};
const char kUuid[] = "trusted.cloudsync.uuid";
const char kSourceList[] = "//lists/source";
const char kMergeFailed[] = "Failed to update metadata file [";
const char kRecoverFailed[] = "failed to recover version set filegroup [";

// A version whose state could not be read at start-up (one being made has
// none yet): its group is rebuilt, and init answers 1.
bool unreadable_state(const std::string& text) {
  static const std::string head = "snap dir [", tail = "] getattr failed";
  return text.size() > head.size() + tail.size() && text.compare(0, head.size(), head) == 0 &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string group_name(int group) { return "//g" + std::to_string(group); }

// The list of deleted files of the version directory path.
std::string list_of(const std::string& path) {
  return path + ktfssnapcore::ktfssnaputils::sdelfilelist;
}

// Counts the records the library writes, remembers the merge failures and
// failed recoveries, and keeps the last few records for a failure report.
class tally_sink : public ktfs::log_sink {
 public:
  void write(const ktfs::log_record& record) override {
    std::lock_guard<std::mutex> guard(m_mutex);
    ++m_total;
    if (record.text.compare(0, sizeof kRecoverFailed - 1, kRecoverFailed) == 0 ||
        unreadable_state(record.text)) {
      ++m_recover_failures;
    }
    if (record.is_error && record.text.compare(0, sizeof kMergeFailed - 1, kMergeFailed) == 0) {
      m_merge_failures.insert(record.text);
    }
    m_last.push_back(record.function + ": " + record.text);
    if (m_last.size() > 40) m_last.pop_front();
  }
  uint64_t recover_failures() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_recover_failures;
  }
  // How often deleting the version at path failed at the merge into its
  // older version.
  uint64_t merge_failures(const std::string& path) const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_merge_failures.count(kMergeFailed + list_of(path) + "]");
  }
  uint64_t total() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_total;
  }
  std::string last() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    std::string out = "last records:\n";
    for (const std::string& line : m_last) out += "  " + line + "\n";
    return out;
  }

 private:
  mutable std::mutex m_mutex;
  uint64_t m_total = 0;
  uint64_t m_recover_failures = 0;
  std::multiset<std::string> m_merge_failures;
  std::deque<std::string> m_last;
};

// Stops are counted as they begin and as they end: an interval that starts
// at mark() and after which quiet_since(mark) holds saw no stop at all, so
// no set's list was emptied during it.
class restart_clock {
 public:
  uint64_t mark() const { return m_ended.load(); }
  bool quiet_since(uint64_t mark) const { return m_begun.load() == mark; }
  void begin() { ++m_begun; }
  void end() { ++m_ended; }

 private:
  std::atomic<uint64_t> m_begun{0};
  std::atomic<uint64_t> m_ended{0};
};

// What each thread is doing, for the watchdog's report.
struct activity {
  std::string name;
  std::atomic<const char*> doing{"starting"};
};

// Unexpected outcomes, reported by the main thread at the end.
class findings {
 public:
  void add(const activity& who, const std::string& what) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_list.size() < 50) m_list.push_back(who.name + ": " + what);
    ++m_count;
  }
  size_t count() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_count;
  }
  std::string report() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    std::string out;
    for (const std::string& line : m_list) out += line + "\n";
    return out;
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_list;
  size_t m_count = 0;
};

// A version that could not be deleted yet: the state it stays in, and the
// number of restarts done at the last attempt.
struct pending_delete {
  std::string name;
  std::string path;
  std::string state;
  uint64_t restarts;
};

// A version a worker created, with the set it was created in.
struct own_version {
  std::string name;
  std::string path;
  set_ptr set;
  version_ptr record;
  uint64_t mark = 0;  // the restart clock before its creation began
};

class stress_run {
 public:
  stress_run(ktsm_test::library_fixture& lib, std::vector<set_ptr> groups,
             std::shared_ptr<tally_sink> sink)
      : m_lib(lib), m_groups(std::move(groups)), m_sink(std::move(sink)) {
    for (int t = 0; t < kThreads; ++t) m_board[t].name = thread_name(t);
  }

  // Runs every thread to its end.
  void execute();
  // The threads' state, one line each.
  std::string describe() const;

  const findings& found() const { return m_findings; }
  // Versions left on the volume on purpose, with the state each must have.
  const std::map<std::string, std::string>& leftovers() const { return m_leftovers; }
  std::string summary() const;
  uint64_t creates() const { return m_creates; }
  uint64_t deletes() const { return m_deletes; }
  uint64_t restarts() const { return m_restarts; }

 private:
  static std::string thread_name(int t);
  bool out_of_time() const { return std::chrono::steady_clock::now() >= m_deadline; }

  void worker(int id);
  void refresh(activity& me, const std::string& group, set_ptr* current);
  bool create_own(activity& me, const set_ptr& set, const std::string& name, own_version* v);
  void link_own(activity& me, const own_version& v);
  void export_own(activity& me, const own_version& v);
  void check_state_step(activity& me, const char* op, const own_version& v, int32_t rc,
                        const std::string& before, const std::string& want);
  bool delete_own(activity& me, const std::string& group, const own_version& v,
                  pending_delete* left);
  int32_t delete_withdrawn(activity& me, const set_ptr& set, pending_delete* left);
  bool deleted(activity& me, const set_ptr& set, const pending_delete& gone);
  bool failed_at_merge(const std::string& path, uint64_t merges_before, pending_delete* left);
  bool unlisted_and_untouched(activity& me, const set_ptr& set, const pending_delete& left);
  bool delete_through_registry(activity& me, const std::string& group, pending_delete* left);
  void retry_pending(activity& me, const std::string& group, std::deque<pending_delete>* pending);

  void host(int id);
  void look_into(activity& me, const set_ptr& set, std::deque<version_ptr>* held);
  void use_held(activity& me, const version_ptr& v, int turn);
  void probe_file(activity& me, const version_ptr& v, const std::string& file);
  void drop_oldest(std::deque<version_ptr>* held);

  void extras();
  void extra_group(activity& me, int k, std::deque<set_ptr>* held);
  void restarter();

  // The volume, read directly.
  std::string disk_state(const std::string& path);
  bool has_uuid(const std::string& path);
  void leave(const std::string& path, const std::string& state);

  ktsm_test::library_fixture& m_lib;
  std::vector<set_ptr> m_groups;
  std::shared_ptr<tally_sink> m_sink;
  std::array<activity, kThreads> m_board;
  findings m_findings;
  restart_clock m_clock;
  std::chrono::steady_clock::time_point m_deadline;
  std::atomic<bool> m_workers_done{false};
  std::atomic<uint64_t> m_creates{0}, m_deletes{0}, m_exports{0}, m_restarts{0};
  std::atomic<uint64_t> m_extra_groups{0}, m_probes{0}, m_checked_probes{0};
  std::atomic<uint64_t> m_released_deleted{0};
  std::mutex m_leftovers_mutex;
  std::map<std::string, std::string> m_leftovers;
};

std::string stress_run::thread_name(int t) {
  if (t < kWorkers) return "worker " + std::to_string(t);
  if (t < kExtrasThread) return "host " + std::to_string(t - kWorkers);
  return t == kExtrasThread ? "extra groups" : "restarts";
}

void stress_run::execute() {
  m_deadline = std::chrono::steady_clock::now() + kSize.budget;
  std::vector<std::thread> workers, others;
  for (int w = 0; w < kWorkers; ++w) workers.emplace_back(&stress_run::worker, this, w);
  for (int h = 0; h < kHosts; ++h) others.emplace_back(&stress_run::host, this, kWorkers + h);
  others.emplace_back(&stress_run::extras, this);
  others.emplace_back(&stress_run::restarter, this);
  for (std::thread& t : workers) t.join();
  m_workers_done = true;
  for (std::thread& t : others) t.join();
}

std::string stress_run::describe() const {
  std::string out;
  for (const activity& a : m_board) out += "  " + a.name + ": " + a.doing.load() + "\n";
  return out;
}

std::string stress_run::summary() const {
  std::ostringstream out;
  out << m_creates << " versions created, " << m_deletes << " deleted, " << m_exports
      << " exported, " << m_restarts << " restarts, " << m_extra_groups << " extra groups, "
      << m_probes << " file probes (" << m_checked_probes << " with both files readable), "
      << m_released_deleted << " deleted records released by hosts, " << m_leftovers.size()
      << " versions left ("
      << std::count_if(m_leftovers.begin(), m_leftovers.end(),
                       [](const std::pair<const std::string, std::string>& left) {
                         return left.second == "4";
                       })
      << " after a failed merge), " << m_sink->total() << " log records";
  return out.str();
}

std::string stress_run::disk_state(const std::string& path) {
  std::string raw = m_lib.raw_state(path);
  if (raw.empty()) return "<unreadable>";
  return std::string(raw.c_str());
}

bool stress_run::has_uuid(const std::string& path) {
  char buffer[512];
  struct iovec iov = {buffer, sizeof buffer};
  return m_lib.api().getxattr(m_lib.io(), path.c_str(), kUuid, &iov, ktfs::aio_ptr()) != -1;
}

void stress_run::leave(const std::string& path, const std::string& state) {
  std::lock_guard<std::mutex> guard(m_leftovers_mutex);
  m_leftovers[path] = state;
}

// ---- Workers -------------------------------------------------------------

void stress_run::worker(int id) {
  activity& me = m_board[id];
  const std::string group = group_name(id % kGroups);
  set_ptr current = m_groups[id % kGroups];
  std::deque<own_version> mine;
  std::deque<pending_delete> pending;
  for (int round = 0; round < kSize.rounds && !out_of_time(); ++round) {
    refresh(me, group, &current);
    retry_pending(me, group, &pending);
    own_version v;
    std::string name = "w" + std::to_string(id) + "-" + std::to_string(round);
    if (!create_own(me, current, name, &v)) continue;
    link_own(me, v);
    if (round % 3 == 0) export_own(me, v);
    mine.push_back(v);
    if (mine.size() > kKeptVersions) {
      pending_delete left;
      if (!delete_own(me, group, mine.front(), &left)) pending.push_back(left);
      mine.pop_front();
    }
  }
  for (; !mine.empty(); mine.pop_front()) {
    pending_delete left;
    if (!delete_own(me, group, mine.front(), &left)) pending.push_back(left);
  }
  for (const pending_delete& left : pending) leave(left.path, left.state);
  me.doing = "finished";
}

// Takes the registered set of the group when there is one; a miss (between
// a stop and the next init, or when the group did not recover) keeps the
// set held and leaves the handle unchanged.
void stress_run::refresh(activity& me, const std::string& group, set_ptr* current) {
  me.doing = "get_version_set";
  set_ptr before = *current;
  int32_t rc = vs::get_version_set(group, *current);
  if (rc == 0 && *current && (*current)->get_name() == group) return;
  if (rc == 1 && *current == before) return;
  m_findings.add(me, "get_version_set(" + group + ") answered " + std::to_string(rc) +
                         (rc == 1 ? " and changed its output" : " with another set"));
}

// A fresh name is always created, whatever else runs.
bool stress_run::create_own(activity& me, const set_ptr& set, const std::string& name,
                            own_version* v) {
  me.doing = "create_version";
  v->name = name;
  v->set = set;
  v->path = set->get_name() + "/.snaps/" + name;
  v->mark = m_clock.mark();
  int32_t rc = set->create_version(name, v->record);
  if (rc != 0 || !v->record) {
    m_findings.add(me, "create_version(" + name + ") answered " + std::to_string(rc));
    return false;
  }
  ++m_creates;
  std::string state = disk_state(v->path);
  if (v->record->get_name() != name || v->record->get_state() != "2" || state != "2") {
    m_findings.add(me, "created " + v->path + " holds name [" + v->record->get_name() +
                           "] state [" + v->record->get_state() + "], on the volume [" + state +
                           "]");
  }
  return true;
}

// Linking and looking up one's own version succeed unless a stop emptied
// its set's list meanwhile; then both find nothing.
void stress_run::link_own(activity& me, const own_version& v) {
  me.doing = "set_previous_version";
  int32_t rc = v.set->set_previous_version(v.name);
  me.doing = "get_version";
  version_ptr found;
  int32_t rc_get = v.set->get_version(v.name, found);
  bool quiet = m_clock.quiet_since(v.mark);
  bool expected =
      rc_get == 0 && (found == v.record || (!found && !quiet)) && (rc == 0 || (rc == 1 && !found));
  if (!expected) {
    m_findings.add(me, "set_previous_version(" + v.name + ") answered " + std::to_string(rc) +
                           ", get_version " + std::to_string(rc_get) +
                           (found ? " with a record" : " without a record") +
                           (quiet ? ", no restart since its creation" : ""));
  }
}

void stress_run::export_own(activity& me, const own_version& v) {
  me.doing = "export_version";
  std::string before = disk_state(v.path);
  int32_t rc = v.set->export_version(v.name);
  if (rc == 0) ++m_exports;
  check_state_step(me, "export_version", v, rc, before, "8");
  me.doing = "unexport_version";
  before = disk_state(v.path);
  rc = v.set->unexport_version(v.name);
  check_state_step(me, "unexport_version", v, rc, before, rc == 0 && before == "8" ? "2" : before);
}

// A step on one's own version: 0 with the state want on the volume, or,
// only when a stop emptied the set's list since the version's creation, 1
// with the record gone from the list and the state untouched.
void stress_run::check_state_step(activity& me, const char* op, const own_version& v, int32_t rc,
                                  const std::string& before, const std::string& want) {
  std::string after = disk_state(v.path);
  if (rc == 0 && after == want) return;
  if (rc == 1 && after == before && !m_clock.quiet_since(v.mark)) {
    version_ptr found;
    v.set->get_version(v.name, found);
    if (!found) return;
  }
  m_findings.add(me, std::string(op) + "(" + v.name + ") answered " + std::to_string(rc) +
                         ", state [" + before + "] -> [" + after + "], wanted [" + want + "]");
}

// Deleting one's own version through the set it was created in succeeds,
// except as the header allows.  A version that a stop took out of that
// set's list is deleted through the registered set when that one lists it.
// Returns whether the version is gone; when not, *left says how it stays.
bool stress_run::delete_own(activity& me, const std::string& group, const own_version& v,
                            pending_delete* left) {
  me.doing = "delete_version";
  *left = pending_delete{v.name, v.path, disk_state(v.path), m_restarts.load()};
  uint64_t merges = m_sink->merge_failures(v.path);
  int32_t rc = delete_withdrawn(me, v.set, left);
  if (rc == 0) return deleted(me, v.set, *left);
  if (failed_at_merge(v.path, merges, left)) return false;
  if (m_clock.quiet_since(v.mark)) {
    m_findings.add(me, "delete_version(" + v.name + ") failed with no restart since its creation");
    return false;
  }
  if (!unlisted_and_untouched(me, v.set, *left)) return false;
  return delete_through_registry(me, group, left);
}

// Deletes through set; an exported version is refused, unchanged, so it is
// withdrawn and deleted again.
int32_t stress_run::delete_withdrawn(activity& me, const set_ptr& set, pending_delete* left) {
  left->state = disk_state(left->path);
  int32_t rc = set->delete_version(left->name);
  if (rc == 1 && vs::may_be_exported(left->state) && disk_state(left->path) == left->state) {
    me.doing = "unexport_version";
    set->unexport_version(left->name);
    me.doing = "delete_version";
    left->state = disk_state(left->path);
    rc = set->delete_version(left->name);
  }
  return rc;
}

// A deleted version is gone from the volume and from the set it was deleted
// through (no other call adds a record to a set under that name).
bool stress_run::deleted(activity& me, const set_ptr& set, const pending_delete& gone) {
  ++m_deletes;
  version_ptr still;
  set->get_version(gone.name, still);
  if (m_lib.exists(gone.path) || still) {
    m_findings.add(me, "deleted " + gone.path + " is still " +
                           (still ? "listed by its set" : "on the volume"));
  }
  return true;
}

// Whether the delete failed at the merge into the older version (a new
// merge failure was logged for it), leaving state "4".
bool stress_run::failed_at_merge(const std::string& path, uint64_t merges_before,
                                 pending_delete* left) {
  if (m_sink->merge_failures(path) == merges_before) return false;
  left->state = disk_state(path);
  return left->state == "4";
}

// After a delete answered 1 for another reason than a failed merge: the
// record must be gone from the set's list and the state untouched.
bool stress_run::unlisted_and_untouched(activity& me, const set_ptr& set,
                                        const pending_delete& left) {
  version_ptr still;
  set->get_version(left.name, still);
  std::string after = disk_state(left.path);
  if (!still && after == left.state) return true;
  m_findings.add(me, "delete_version(" + left.name + ") failed on a " +
                         (still ? "listed record" : "record not listed") + ", state [" +
                         left.state + "] -> [" + after + "]");
  return false;
}

bool stress_run::delete_through_registry(activity& me, const std::string& group,
                                         pending_delete* left) {
  me.doing = "get_version_set";
  left->restarts = m_restarts.load();
  set_ptr registered;
  version_ptr record;
  if (vs::get_version_set(group, registered) == 0) registered->get_version(left->name, record);
  if (!record) return false;
  me.doing = "delete_version";
  uint64_t merges = m_sink->merge_failures(left->path);
  if (delete_withdrawn(me, registered, left) == 0) return deleted(me, registered, *left);
  if (!failed_at_merge(left->path, merges, left)) unlisted_and_untouched(me, registered, *left);
  return false;
}

// Versions not deleted yet are tried again through the registry after each
// restart (it may list them now); what is still there at the end stays.
void stress_run::retry_pending(activity& me, const std::string& group,
                               std::deque<pending_delete>* pending) {
  for (auto it = pending->begin(); it != pending->end();) {
    if (it->restarts != m_restarts.load() && delete_through_registry(me, group, &*it)) {
      it = pending->erase(it);
    } else {
      ++it;
    }
  }
}

// ---- Hosts ---------------------------------------------------------------

void stress_run::host(int id) {
  activity& me = m_board[id];
  std::deque<version_ptr> held;
  std::deque<set_ptr> held_sets;
  for (int pass = 0; !m_workers_done; ++pass) {
    me.doing = "list_version_sets";
    std::list<set_ptr> sets;
    vs::list_version_sets(sets);
    for (const set_ptr& set : sets) {
      look_into(me, set, &held);
      held_sets.push_back(set);
    }
    while (held_sets.size() > kHeldSets) held_sets.pop_front();
    for (size_t i = pass % 3; i < held.size(); i += 3) use_held(me, held[i], pass);
    while (held.size() > kHeldVersions) drop_oldest(&held);
    // A pause between passes leaves the processors mostly to the workers.
    me.doing = "pausing";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  me.doing = "dropping handles";
  while (!held.empty()) drop_oldest(&held);
  held_sets.clear();
  me.doing = "finished";
}

// Look-ups always answer 0; a list holds at most one production version,
// first; a found version has the name asked for; the next one another name.
// Each version found is probed at once, while it most likely still exists.
void stress_run::look_into(activity& me, const set_ptr& set, std::deque<version_ptr>* held) {
  me.doing = "list_versions";
  std::list<version_ptr> versions;
  set->list_versions(versions);
  size_t position = 0;
  for (const version_ptr& v : versions) {
    if (v->is_production_version() && (position != 0 || v->get_name() != set->get_name())) {
      m_findings.add(me, "production version [" + v->get_name() + "] at position " +
                             std::to_string(position) + " of set [" + set->get_name() + "]");
    }
    ++position;
    std::string name = v->get_name();
    version_ptr found, next;
    me.doing = "get_version";
    int32_t rc = set->get_version(name, found);
    me.doing = "get_next_version";
    int32_t rc_next = set->get_next_version(name, next);
    if (rc != 0 || rc_next != 0 || (found && found->get_name() != name) ||
        (next && next->get_name() == name)) {
      m_findings.add(me, "look-ups of [" + name + "] answered " + std::to_string(rc) + " and " +
                             std::to_string(rc_next));
    }
    probe_file(me, v, kFiles[position % 3]);
    held->push_back(v);
  }
}

// The production version has no deleted-file list and no older version; a
// snapshot version's list may be gone (deleted) or not yet made (creation
// in progress): ENOENT, never another error.
void stress_run::use_held(activity& me, const version_ptr& v, int turn) {
  probe_file(me, v, kFiles[static_cast<size_t>(turn) % 3]);
  me.doing = "update_meta_data_file";
  std::error_code ec = v->update_meta_data_file(kSourceList);
  // A version made while a stop took its set out of the registry has no
  // owning set, so no list to append to: EINVAL.
  bool orphan = !v->is_production_version() && !v->get_fg_versionset();
  bool expected = v->is_production_version() ? ec.value() == ENOENT
                  : orphan                   ? ec.value() == EINVAL
                                             : (!ec || ec.value() == ENOENT);
  if (!expected) {
    m_findings.add(me, "update_meta_data_file on [" + v->get_name() + "] answered " +
                           std::to_string(ec.value()));
  }
}

// The version's file and its older version's carry equal uuids (both are
// copies of the live file).  When both could be read before and after the
// query, with the same older version, the file must be found needed.
void stress_run::probe_file(activity& me, const version_ptr& v, const std::string& file) {
  me.doing = "is_file_needed";
  ++m_probes;
  version_ptr older = v->get_older_version();
  if (!older) {
    if (v->is_file_needed(file) && v->is_production_version()) {
      m_findings.add(me, "the production version [" + v->get_name() + "] needs [" + file + "]");
    }
    return;
  }
  // An empty path: a version made while its group was unregistered, which
  // cannot be reached by path.
  std::string v_dir = access::version_path(*v), older_dir = access::version_path(*older);
  std::string here = v_dir + "/" + file, there = older_dir + "/" + file;
  bool readable = !v_dir.empty() && !older_dir.empty() && has_uuid(here) && has_uuid(there);
  bool needed = v->is_file_needed(file);
  readable = readable && has_uuid(here) && has_uuid(there) && older == v->get_older_version();
  if (readable) ++m_checked_probes;
  if (readable && !needed) {
    m_findings.add(me, "[" + here + "] with the uuid of [" + there + "] found not needed");
  }
}

void stress_run::drop_oldest(std::deque<version_ptr>* held) {
  const version_ptr& oldest = held->front();
  std::string path = access::version_path(*oldest);
  if (oldest.use_count() == 1 && !oldest->is_production_version() && !path.empty() &&
      !m_lib.exists(path)) {
    ++m_released_deleted;
  }
  held->pop_front();
}

// ---- Extra groups and restarts ---------------------------------------------

void stress_run::extras() {
  activity& me = m_board[kExtrasThread];
  std::deque<set_ptr> held;
  for (int k = 0; k < kSize.extra_groups && !m_workers_done; ++k) {
    extra_group(me, k, &held);
    ++m_extra_groups;
    while (held.size() > 4) held.pop_front();
  }
  me.doing = "finished";
}

// A fresh group is always made; it is found and listed unless a stop ran
// meanwhile; its one version is made, deleted (through the registry when a
// stop emptied the set), and the group removed when no version is left.
void stress_run::extra_group(activity& me, int k, std::deque<set_ptr>* held) {
  std::string name = "//x" + std::to_string(k);
  me.doing = "create_version_set";
  uint64_t mark = m_clock.mark();
  set_ptr made, found;
  if (vs::create_version_set(name, made) != 0 || !made || made->get_name() != name) {
    m_findings.add(me, "create_version_set(" + name + ") failed");
    return;
  }
  me.doing = "get_version_set";
  int32_t rc = vs::get_version_set(name, found);
  me.doing = "list_version_sets";
  std::list<set_ptr> sets;
  vs::list_version_sets(sets);
  bool listed = std::find(sets.begin(), sets.end(), made) != sets.end();
  if (m_clock.quiet_since(mark) && (rc != 0 || found != made || !listed)) {
    m_findings.add(me, "set " + name + " not found first or not listed with no restart");
  }
  own_version v;
  if (!create_own(me, made, "v", &v)) return;
  pending_delete pending;
  bool left = !delete_own(me, name, v, &pending);
  if (left) leave(pending.path, pending.state);
  me.doing = "delete_version_set";
  rc = vs::delete_version_set(name);
  if (rc != (left ? 1 : 0) || m_lib.exists(name) != left) {
    m_findings.add(me, "delete_version_set(" + name + ") answered " + std::to_string(rc) +
                           (left ? " with a version left" : " with no version left"));
  }
  if (k % 2 == 0) held->push_back(made);
}

void stress_run::restarter() {
  activity& me = m_board[kRestartThread];
  const uint64_t spacing =
      std::max<uint64_t>(4, static_cast<uint64_t>(kSize.rounds) * kWorkers / (kSize.restarts + 1));
  uint64_t next = spacing;
  for (int c = 0; c < kSize.restarts; ++c, next += spacing) {
    me.doing = "waiting for creations";
    while (!m_workers_done && m_creates < next) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (m_workers_done) break;
    me.doing = "stop";
    m_clock.begin();
    vs::stop();
    m_clock.end();
    me.doing = "init";
    uint64_t failures_before = m_sink->recover_failures();
    int32_t rc = m_lib.init();
    ++m_restarts;
    // 1 only when a group changed under the listing (a version being made
    // or removed), which the start-up reports as a group that failed or a
    // version whose state it could not read.
    if (rc != 0 && !(rc == 1 && m_sink->recover_failures() > failures_before)) {
      m_findings.add(me, "init answered " + std::to_string(rc));
    }
  }
  me.doing = "finished";
}

// Runs body on a thread of its own and waits for it at most kWatchdog.  A
// run that has not ended by then is deadlocked: the report names what each
// thread was doing, and the process ends, since threads that never return
// cannot be joined.
void run_with_watchdog(const std::function<void()>& body, const stress_run& run) {
  std::future<void> done = std::async(std::launch::async, body);
  if (done.wait_for(kWatchdog) == std::future_status::ready) {
    done.get();
    return;
  }
  std::fprintf(stderr,
               "stress_test: FAILED: the run did not end within %lld s: deadlock.\n"
               "What each thread was doing:\n%s",
               static_cast<long long>(kWatchdog.count()), run.describe().c_str());
  std::fflush(stderr);
  std::_Exit(EXIT_FAILURE);
}

template <class T>
uint64_t outstanding(const ktfs::ktfs_mem::mempool<T>& pool) {
  return pool.alloc_count() - pool.release_count();
}

// Three groups "//g0".."//g2", each with files carrying uuids, and the group
// "//lists" holding the deleted-file list that hosts append.
class StressTest : public ktsm_test::LocalLibraryTest {
 protected:
  void SetUp() override {
    LocalLibraryTest::SetUp();
    if (HasFatalFailure()) return;
    m_sink = std::make_shared<tally_sink>();
    ktfs::ktfs_debug::set_default_sink(m_sink);
    m_versions_out = outstanding(access::version_pool());
    m_sets_out = outstanding(access::set_pool());
    ASSERT_EQ(m_lib.init(), 0);
    for (int g = 0; g < kGroups; ++g) make_group(g);
    set_ptr lists;
    ASSERT_EQ(vs::create_version_set("//lists", lists), 0);
    m_lib.write_file("/lists/source", "uuid-gone\tgone\n");
  }

  void make_group(int g) {
    set_ptr set;
    ASSERT_EQ(vs::create_version_set(group_name(g), set), 0);
    std::string dir = "/g" + std::to_string(g);
    m_lib.make_dir(dir + "/d", 0755);
    for (const char* file : kFiles) {
      std::string path = dir + "/" + file;
      m_lib.write_file(path, "data of " + path);
      m_lib.set_xattr(path, kUuid, "uuid" + path);
    }
    m_sets.push_back(set);
  }

  // After a restart with nothing else running: one set per group directory,
  // each listing exactly the versions on the volume in their states, which
  // are those the threads left them in.
  void expect_registry_matches_volume(const std::map<std::string, std::string>& leftovers) {
    vs::stop();
    ASSERT_EQ(m_lib.init(), 0) << m_sink->last();
    std::list<set_ptr> sets;
    vs::list_version_sets(sets);
    std::vector<std::string> registered, groups, entries = m_lib.entries("/");
    for (const set_ptr& set : sets) registered.push_back(set->get_name());
    for (const std::string& e : entries) {
      if (m_lib.exists("/" + e + "/.snaps")) groups.push_back("//" + e);
    }
    std::sort(registered.begin(), registered.end());
    EXPECT_EQ(groups.size(), entries.size()) << "every top-level entry is a group";
    EXPECT_EQ(registered, groups) << "one registered set per group";
    size_t versions = 0;
    for (const set_ptr& set : sets) versions += expect_set_matches(*set, leftovers);
    EXPECT_EQ(versions, leftovers.size()) << "every version left on purpose is listed";
  }

  // Returns the number of snapshot versions the set lists.
  size_t expect_set_matches(const vs& set, const std::map<std::string, std::string>& leftovers) {
    const std::string name = set.get_name();
    const std::list<version_ptr>& versions = access::versions(set);
    EXPECT_TRUE(!versions.empty() && versions.front()->is_production_version() &&
                versions.front()->get_name() == name)
        << name << " starts with its production version";
    std::vector<std::string> listed;
    for (const version_ptr& v : versions) {
      if (v->is_production_version()) continue;
      std::string path = name + "/.snaps/" + v->get_name();
      std::string disk(m_lib.raw_state(path).c_str());
      listed.push_back(v->get_name());
      EXPECT_EQ(v->get_state(), disk) << path;
      auto left = leftovers.find(path);
      if (left == leftovers.end()) {
        ADD_FAILURE() << path << " in state [" << disk << "] was left by no thread";
      } else {
        EXPECT_EQ(disk, left->second) << path << ": the state it was left in";
      }
    }
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, m_lib.entries(name + "/.snaps")) << name;
    return listed.size();
  }

  std::shared_ptr<tally_sink> m_sink;
  std::vector<set_ptr> m_sets;
  uint64_t m_versions_out = 0;
  uint64_t m_sets_out = 0;
};

TEST_F(StressTest, EveryEntryPointAtOnceWithRestartsInBetween) {
  std::map<std::string, std::string> leftovers;
  {
    stress_run run(m_lib, std::move(m_sets), m_sink);
    run_with_watchdog([&run] { run.execute(); }, run);
    std::printf("stress run: %s\n", run.summary().c_str());
    EXPECT_EQ(run.found().count(), 0u) << run.found().report() << m_sink->last();
    EXPECT_GT(run.restarts(), 0u) << "the library was restarted during the run";
    EXPECT_EQ(run.creates(), run.deletes() + run.leftovers().size())
        << "every version made was deleted or left on purpose";
    leftovers = run.leftovers();
  }
  expect_registry_matches_volume(leftovers);
  vs::stop();
  EXPECT_EQ(outstanding(access::version_pool()), m_versions_out)
      << "every version record went back to its pool";
  EXPECT_EQ(outstanding(access::set_pool()), m_sets_out)
      << "every set record went back to its pool";
}

}  // namespace
