// ktfs_debug: the client library's logger.
//
// Every message is one record: the function-name string of its writer, a
// level (or the error mark) and the printf-formatted text.  Records go to a
// sink that the host chooses: standard error, a file, or an in-memory capture
// that tests read back.
//
// Levels: -1 marks progress and failure lines, 0 and 1 more detailed lines.
// A debug message passes when its level is at most the logger's threshold;
// error messages always pass.  A message that does not pass is not formatted.
//
// A default-constructed logger takes the process-wide defaults at the moment
// of its construction: the sink and threshold set with set_default_sink and
// set_default_level, or else the environment:
//   KTFS_LOG_FILE   append records to this file (else standard error)
//   KTFS_LOG_LEVEL  threshold (else 0)
//
// Thread safety: every member may be called from several threads at once;
// each record is written whole.
#ifndef KTFS_KTFS_DEBUG_H_
#define KTFS_KTFS_DEBUG_H_

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ktfs/ktfs_backend.h"

namespace ktfs {

struct log_record {
  std::string function;
  int level;      // the debug level; meaningless for errors
  bool is_error;  // written with ktfs_debug::error
  std::string text;
};

// Where records go.  write() may be called from several threads at once.
class KTFSCORE_API log_sink {
 public:
  virtual ~log_sink();
  virtual void write(const log_record& record) = 0;
  // Hands on whatever the sink still holds back; the default holds nothing.
  virtual void flush();
};

// Writes "function [level] text" lines ("[error]" for errors), one line per
// record, never split or mixed with another.
//
// To standard error each record is written at once, with one write(2).  To
// a file, records are gathered in a buffer of the sink's own (64 KiB) and
// written with one write(2) when an error record arrives, when the buffer is
// full, when a record arrives a second or more after the oldest one held,
// on flush() (the library flushes its logger when it stops), when the sink
// goes, at exit, and when the process gets a fatal signal
// (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT): a handler installed with the
// first file sink writes the records held, then passes the signal on to the
// action that was in place before.  Records held are lost only when the
// process is killed with SIGKILL, or when the host replaces these handlers
// without calling the previous ones.  A child made with fork() starts with
// none held: they stay with the parent, which writes them.
class KTFSCORE_API stream_sink : public log_sink {
 public:
  // Standard error.
  stream_sink();
  // Appends to the file at path; falls back to standard error when the file
  // cannot be opened (good() then answers false).
  explicit stream_sink(const std::string& path);
  ~stream_sink() override;
  stream_sink(const stream_sink&) = delete;
  stream_sink& operator=(const stream_sink&) = delete;
  bool good() const { return m_owned; }
  void write(const log_record& record) override;
  void flush() override;

  struct pending;  // the buffer and its descriptor (ktfs_debug.cc)

 private:
  std::unique_ptr<pending> m_pending;
  bool m_owned;
};

// Discards every record.
class KTFSCORE_API null_sink : public log_sink {
 public:
  void write(const log_record&) override {}
};

// Keeps every record in memory, in the order written.
class KTFSCORE_API capture_sink : public log_sink {
 public:
  void write(const log_record& record) override;
  std::vector<log_record> records() const;
  // The texts of all records, in order.
  std::vector<std::string> texts() const;
  // Number of records whose text equals text exactly.
  size_t count(const std::string& text) const;
  void clear();

 private:
  mutable std::mutex m_mutex;
  std::vector<log_record> m_records;
};

class KTFSCORE_API ktfs_debug {
 public:
  ktfs_debug();
  ktfs_debug(std::shared_ptr<log_sink> sink, int level);
  ktfs_debug(const ktfs_debug&) = delete;
  ktfs_debug& operator=(const ktfs_debug&) = delete;

  void debug(const char* function, int level, const char* format, ...)
      __attribute__((format(printf, 4, 5)));
  void error(const char* function, const char* format, ...) __attribute__((format(printf, 3, 4)));

  // True when a debug message of this level would be written.
  bool enabled(int level) const { return level <= m_level.load(std::memory_order_relaxed); }
  int level() const { return m_level.load(std::memory_order_relaxed); }
  void set_level(int level) { m_level.store(level, std::memory_order_relaxed); }
  void set_sink(std::shared_ptr<log_sink> sink);
  std::shared_ptr<log_sink> sink() const;
  // The sink's flush(): records held back reach their destination.
  void flush();

  // Process-wide defaults taken by loggers constructed afterwards.  A null
  // sink restores the environment's default.
  static void set_default_sink(std::shared_ptr<log_sink> sink);
  static void set_default_level(int level);

 private:
  void emit(const char* function, int level, bool is_error, const char* format, va_list args);

  std::atomic<int> m_level;
  mutable std::mutex m_sink_mutex;
  std::shared_ptr<log_sink> m_sink;
};

}  // namespace ktfs

#endif  // KTFS_KTFS_DEBUG_H_
