#include "ktfs/ktfs_debug.h"

#include <cstdlib>

namespace ktfs {

namespace {

struct log_defaults {
  std::mutex mutex;
  std::shared_ptr<log_sink> sink;  // null: from the environment
  bool level_set = false;
  int level = 0;
};

log_defaults& defaults() {
  static log_defaults* d = new log_defaults();  // never destroyed: usable at exit
  return *d;
}

std::shared_ptr<log_sink> environment_sink() {
  const char* file = std::getenv("KTFS_LOG_FILE");
  if (file != nullptr && *file != '\0') return std::make_shared<stream_sink>(file);
  return std::make_shared<stream_sink>();
}

int environment_level() {
  const char* text = std::getenv("KTFS_LOG_LEVEL");
  if (text == nullptr || *text == '\0') return 0;
  return std::atoi(text);
}

// Formats a printf-style message into a string of the exact length.
std::string format_text(const char* format, va_list args) {
  char small[256];
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string text(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(&text[0], text.size(), format, args);
  text.resize(static_cast<size_t>(n));
  return text;
}

}  // namespace

log_sink::~log_sink() = default;

stream_sink::stream_sink() : m_stream(stderr), m_owned(nullptr) {}

stream_sink::stream_sink(const std::string& path) : m_stream(stderr), m_owned(nullptr) {
  m_owned = std::fopen(path.c_str(), "ae");
  if (m_owned != nullptr) m_stream = m_owned;
}

stream_sink::~stream_sink() {
  if (m_owned != nullptr) std::fclose(m_owned);
}

void stream_sink::write(const log_record& record) {
  std::lock_guard<std::mutex> guard(m_mutex);
  if (record.is_error) {
    std::fprintf(m_stream, "%s [error] %s\n", record.function.c_str(), record.text.c_str());
  } else {
    std::fprintf(m_stream, "%s [%d] %s\n", record.function.c_str(), record.level,
                 record.text.c_str());
  }
  std::fflush(m_stream);
}

void capture_sink::write(const log_record& record) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_records.push_back(record);
}

std::vector<log_record> capture_sink::records() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_records;
}

std::vector<std::string> capture_sink::texts() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  std::vector<std::string> out;
  out.reserve(m_records.size());
  for (const log_record& r : m_records) out.push_back(r.text);
  return out;
}

size_t capture_sink::count(const std::string& text) const {
  std::lock_guard<std::mutex> guard(m_mutex);
  size_t n = 0;
  for (const log_record& r : m_records) n += (r.text == text);
  return n;
}

void capture_sink::clear() {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_records.clear();
}

ktfs_debug::ktfs_debug() : m_level(0) {
  log_defaults& d = defaults();
  std::lock_guard<std::mutex> guard(d.mutex);
  m_sink = d.sink ? d.sink : environment_sink();
  m_level.store(d.level_set ? d.level : environment_level());
}

ktfs_debug::ktfs_debug(std::shared_ptr<log_sink> sink, int level)
    : m_level(level), m_sink(sink ? std::move(sink) : std::make_shared<null_sink>()) {}

void ktfs_debug::set_sink(std::shared_ptr<log_sink> sink) {
  std::lock_guard<std::mutex> guard(m_sink_mutex);
  m_sink = sink ? std::move(sink) : std::make_shared<null_sink>();
}

std::shared_ptr<log_sink> ktfs_debug::sink() const {
  std::lock_guard<std::mutex> guard(m_sink_mutex);
  return m_sink;
}

void ktfs_debug::set_default_sink(std::shared_ptr<log_sink> sink) {
  log_defaults& d = defaults();
  std::lock_guard<std::mutex> guard(d.mutex);
  d.sink = std::move(sink);
}

void ktfs_debug::set_default_level(int level) {
  log_defaults& d = defaults();
  std::lock_guard<std::mutex> guard(d.mutex);
  d.level = level;
  d.level_set = true;
}

void ktfs_debug::debug(const char* function, int level, const char* format, ...) {
  if (!enabled(level)) return;  // filtered: no formatting at all
  va_list args;
  va_start(args, format);
  emit(function, level, false, format, args);
  va_end(args);
}

void ktfs_debug::error(const char* function, const char* format, ...) {
  va_list args;
  va_start(args, format);
  emit(function, 0, true, format, args);
  va_end(args);
}

void ktfs_debug::emit(const char* function, int level, bool is_error, const char* format,
                      va_list args) {
  log_record record{function != nullptr ? function : "", level, is_error,
                    format_text(format != nullptr ? format : "", args)};
  sink()->write(record);
}

}  // namespace ktfs
