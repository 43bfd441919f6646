// One run of the library for one command: the client defaults for the
// chosen volume, the library's log sink, init, and stop at the end.
#ifndef KTSMCTL_SESSION_H_
#define KTSMCTL_SESSION_H_

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ktfs/ktfs_debug.h"
#include "volume.h"
#include "volume_client.h"

namespace ktsmctl {

// Passes every record on to the log file (or standard error) and keeps the
// last one, so that an error line can quote what the library said.
class tee_sink : public ktfs::log_sink {
 public:
  // Each record passed on starts with its time (UTC), the process id and
  // the volume, so that one log can hold the records of many runs.
  tee_sink(std::shared_ptr<ktfs::log_sink> target, const std::string& volume);
  void write(const ktfs::log_record& record) override;
  void flush() override { m_target->flush(); }
  // Number of records that mark failures or progress (level -1, errors).
  size_t marked_count() const;
  // The text of the last record, empty when none came after a count taken
  // with marked_count().
  std::string last_since(size_t mark) const;
  // From now on records are kept (the last kHeldRecords), not passed on,
  // until settle passes them on (pass) or drops them.
  void hold();
  void settle(bool pass);

 private:
  static const size_t kHeldRecords = 500;
  std::shared_ptr<ktfs::log_sink> m_target;
  std::string m_origin;  // "pid N volume V"
  mutable std::mutex m_mutex;
  size_t m_marked = 0;
  ktfs::log_record m_last;
  bool m_holding = false;
  std::vector<ktfs::log_record> m_held;
};

struct log_choice {
  std::string path;        // the log file
  bool to_stderr = false;  // -v: standard error instead, every record
  // A command that changes nothing: its records reach the log only when it
  // fails (see session::end_log).
  bool quiet = false;
};

class session {
 public:
  session() = default;
  ~session();
  session(const session&) = delete;
  session& operator=(const session&) = delete;

  // Starts the library on the volume and links every version to the one
  // before it.  False, after one error line, when the volume cannot be
  // read at all.
  bool open(const volume_choice& volume, const log_choice& log);

  // The command ended: a quiet command's records reach the log when it
  // failed, and are dropped otherwise.
  void end_log(bool failed) {
    if (m_sink) m_sink->settle(failed);
  }

  const volume_choice& volume() const { return m_volume; }
  const std::string& log_description() const { return m_log_description; }
  // Top-level entries ("//x") that start-up recovery did not register,
  // though they look like file groups (a directory with a ".snaps").
  const std::vector<std::string>& unrecovered() const { return m_unrecovered; }
  // Top-level entries that are no file group: not a directory, or a
  // directory without ".snaps".  Not a problem; doctor mentions them.
  const std::vector<std::string>& not_groups() const { return m_not_groups; }

  size_t log_mark() const { return m_sink->marked_count(); }
  // " (the library said: ...)" after a failure since mark, else empty.
  std::string library_note(size_t mark) const;

 private:
  bool prepare_volume();
  void install_log(const log_choice& log);
  bool find_unrecovered();
  static bool looks_like_group(volume_client& client, const std::string& entry);

  volume_choice m_volume;
  std::string m_log_description;
  std::shared_ptr<tee_sink> m_sink;
  std::unique_ptr<ktfs::ktfs_debug> m_snap_logger;
  std::vector<std::string> m_unrecovered;
  std::vector<std::string> m_not_groups;
  bool m_started = false;
};

}  // namespace ktsmctl

#endif  // KTSMCTL_SESSION_H_
