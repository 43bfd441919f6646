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
};

// Writes "function [level] text" lines ("[error]" for errors) to a stream.
class KTFSCORE_API stream_sink : public log_sink {
 public:
  // Standard error.
  stream_sink();
  // Appends to the file at path; falls back to standard error when the file
  // cannot be opened (good() then answers false).
  explicit stream_sink(const std::string& path);
  ~stream_sink() override;
  bool good() const { return m_owned != nullptr; }
  void write(const log_record& record) override;

 private:
  std::mutex m_mutex;
  FILE* m_stream;
  FILE* m_owned;
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
