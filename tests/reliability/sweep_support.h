// The fault sweep: an operation runs once per client call it makes, each time
// on a fresh local volume with exactly that call failing (once, or from that
// call on), and the run's status, failure lines and what it left on the
// volume are checked against the step that failed.  Then the library is
// restarted without faults: the registry it rebuilds must agree with the
// volume, and the operation must be possible to complete or undo.
#ifndef KTSM_TESTS_RELIABILITY_SWEEP_SUPPORT_H_
#define KTSM_TESTS_RELIABILITY_SWEEP_SUPPORT_H_

#include <cstdint>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "ktfs/ktfs_debug.h"
#include "support/library_fixture.h"

namespace ktsm_sweep {

using ktsm_test::library_fixture;
typedef ktsm_filegroup_version_set vs;
typedef vs::version_ptr version_ptr;

// The failing call of one run.
struct fault_point {
  uint64_t n = 0;           // its number among the calls since arming
  bool persistent = false;  // every call from the nth on fails
  std::string kind;         // e.g. "setxattr"
  std::string path;         // e.g. "//g/.snaps/v"
  // "kind path" of the calls made up to and including the failing one.
  std::vector<std::string> calls;

  std::string call() const { return kind + " " + path; }
  // How often the failing call's "kind path" occurs among calls (1: first).
  size_t occurrence() const;
  // How often call occurs among the calls before the failing one.
  size_t count_before(const std::string& call) const;
};

// What a run should answer.
struct outcome {
  int32_t status = 1;
  size_t failures = 1;     // the library's failure lines (sweep_case::count_failures)
  size_t core_errors = 0;  // error lines of the snapshot core and its utilities
};

inline outcome success() { return outcome{0, 0, 0}; }
inline outcome failure(size_t core_errors = 0) { return outcome{1, 1, core_errors}; }

// One operation and its starting state.  A case object lives across the
// runs of its sweep; prepare() resets what it keeps.
class sweep_case {
 public:
  virtual ~sweep_case() = default;
  virtual std::string name() const = 0;
  // Builds the starting state on the fresh volume; starts the library unless
  // arms_init().
  virtual void prepare(library_fixture& lib) = 0;
  // Runs the operation once and returns its status.
  virtual int32_t run(library_fixture& lib) = 0;
  // True when the operation is the start-up itself: the wrapper is armed
  // before the init that run() makes.
  virtual bool arms_init() const { return false; }
  // The number of distinct failures among the records.
  virtual size_t count_failures(const std::vector<ktfs::log_record>& records) const = 0;
  // The answer expected when p failed; null p: no call failed.
  virtual outcome expect(const fault_point* p) const = 0;
  // Checks what the run left in the library's records and on the volume.
  virtual void check_left(library_fixture& lib, const fault_point* p) = 0;
  // Runs after restart_and_check(), faults off: completes the operation or
  // removes what it left, and checks the result.
  virtual void complete(library_fixture& lib, const fault_point* p) = 0;
};

struct sweep_count {
  uint64_t transient = 0;
  uint64_t persistent = 0;
  uint64_t total() const { return transient + persistent; }
  // "kind path" of every call of a run without faults: each was a point.
  std::vector<std::string> calls;
};

// Sweeps c with transient, then persistent faults.  Prints the count and
// adds it to the process total.
sweep_count sweep(sweep_case& c);
// The points swept by every sweep of this process so far.
uint64_t total_points();

// ---- The group lock -------------------------------------------------------

// Where the failing call falls in a change of group under its lock: a
// real-directory check (an lstat before the lock file is opened; set
// creation and deletion, whose lstats are no such checks, look at them
// first), the lock file's open, the taking of its lock, or its release (the
// second lock call) or close, whose failures are ignored.
enum class lock_step { other, check, open, take, release };
lock_step lock_step_of(const fault_point& p, const std::string& group);
// Lines of failed checks and locks of group among records.
size_t count_lock_failures(const std::vector<ktfs::log_record>& records, const std::string& group);
// Checks that a failed check, open or take logged its own line, once.
void expect_lock_line(library_fixture& lib, const fault_point* p, const std::string& group);
// Checks that the sweep went through the lock of group (when locked) or
// made no call on its file: the file's open, its lock taken and released,
// its close.
void expect_lock_calls(const sweep_count& n, const std::string& group, bool locked = true);

// ---- Checks shared by the cases ------------------------------------------

// The attribute's 16 bytes for a state text, and the text of raw bytes.
std::string state_bytes(const std::string& text);
std::string state_text(const std::string& raw);

// Restarts the library (stop, init) and checks that the registry holds
// exactly the groups of the volume that can be rebuilt, each with one
// version per directory under its ".snaps" carrying the state on disk (empty
// when it cannot be read), in creation order and each linked to the one
// before it, and that init's status says whether any group could not be
// rebuilt or any state read.
void restart_and_check(library_fixture& lib);

// Where a version stands among its set's: the time and sequence of its
// creation record, or its directory's modification time and 0 when it has
// none; then its name.
struct created {
  int64_t time_ns = 0;
  uint64_t sequence = 0;
  std::string name;
  bool operator<(const created& o) const {
    return std::tie(time_ns, sequence, name) < std::tie(o.time_ns, o.sequence, o.name);
  }
};
extern const char kCreatedAttribute[];
// Reads the creation record of the version directory path into *c; false
// when it has none.
bool read_record(library_fixture& lib, const std::string& path, created* c);
int64_t mtime_ns(library_fixture& lib, const std::string& path);
// Sets the modification time of path on the local volume.
void set_mtime(library_fixture& lib, const std::string& path, int64_t seconds);
// Checks that every version of set is linked to the one before it (the
// production version, first, to none).
void expect_chain(const vs::set_ptr& set);

// Names of a set's versions in list order; names of the registered sets,
// sorted.
std::vector<std::string> names_of(const vs::set_ptr& set);
std::vector<std::string> registry_names();
// The registered set named name (empty when none).
vs::set_ptr registered(const std::string& name);

// Records whose text is one of texts.
size_t count_texts(const std::vector<ktfs::log_record>& records,
                   const std::set<std::string>& texts);
// Records whose text begins with prefix.
size_t count_prefix(const std::vector<ktfs::log_record>& records, const std::string& prefix);
// Error records of the snapshot core and its utilities.
size_t core_errors(const std::vector<ktfs::log_record>& records);
// "text" lines of records, for failure messages.
std::string dump(const std::vector<ktfs::log_record>& records);

// Direct volume reads.
bool is_dir(library_fixture& lib, const std::string& path);
std::string xattr(library_fixture& lib, const std::string& path, const std::string& name);
std::string link_target(library_fixture& lib, const std::string& path);

}  // namespace ktsm_sweep

#endif  // KTSM_TESTS_RELIABILITY_SWEEP_SUPPORT_H_
