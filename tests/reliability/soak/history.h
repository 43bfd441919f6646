// What a soak run did, as the driver saw it: every ktsmctl run of every
// host slot, every write of the live files, every fault.  Times are seconds
// since the run started, on one clock; an operation's start is taken before
// its process starts and its end after the process was reaped, and a
// write's end after its rename returned, so every interval holds the real
// one.
#ifndef KTSM_SOAK_HISTORY_H_
#define KTSM_SOAK_HISTORY_H_

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace ktsm_soak {

// A ktsmctl process SIGKILLed by the soak.
const int kKilled = -9;
const int kNotStarted = 127;  // the exit status of a command that could not start

struct op_record {
  int id = 0;
  int slot = 0;
  std::string kind;  // "snapshot", "delete", "hold", ...
  std::string group, version, tag;
  std::vector<std::string> args;  // the command's words after the volume options
  double start = 0, end = -1;     // end < 0: still running
  int status = 0;                 // exit status, or kKilled
  std::string out, err;
  // What its log said of the live files it copied (a name left out as
  // removed, a file changed while copied): evidence for a version's check.
  std::string copy_notes;
  bool ok() const { return end >= 0 && status == 0; }
  bool overlaps(const op_record& o) const { return start < o.end && o.start < end; }
};

// A write of a live file: its generation, renamed into place at end; or,
// when failed is set, an attempt that failed (a brick or the volume down):
// its rename may or may not have happened, or have happened in part.
struct write_record {
  std::string group;
  int file = 0;  // w/f<file>
  uint64_t gen = 0;
  double start = 0, end = 0;
  bool failed = false;
  std::string error;
};

struct fault_record {
  std::string kind;  // "host killed", "brick killed", "brick back", "volume restarted"
  std::string what;
  double at = 0;
};

class history {
 public:
  void add_op(const op_record& op) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_ops.push_back(op);
  }
  void add_write(const write_record& w) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_writes.push_back(w);
  }
  void add_fault(const fault_record& f) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_faults.push_back(f);
  }
  // Copies, for the checks (taken once every thread has stopped).
  std::vector<op_record> ops() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_ops;
  }
  std::vector<write_record> writes() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_writes;
  }
  std::vector<fault_record> faults() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_faults;
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<op_record> m_ops;
  std::vector<write_record> m_writes;
  std::vector<fault_record> m_faults;
};

// "12.3s #41 slot 2 snapshot g1 h2-17 -> 0": one line of an operation.
std::string describe(const op_record& op);

}  // namespace ktsm_soak

#endif  // KTSM_SOAK_HISTORY_H_
