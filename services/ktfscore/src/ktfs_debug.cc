#include "ktfs/ktfs_debug.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

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

void log_sink::flush() {}

// A sink's descriptor and the complete records it holds back.  data[0, used)
// holds whole lines only: used grows after a line is copied in, so the
// fatal-signal handler, which takes no lock, writes whole lines.
struct stream_sink::pending {
  static constexpr size_t kCapacity = 64 * 1024;
  std::mutex mutex;
  int fd = 2;
  bool buffered = false;
  std::atomic<size_t> used{0};
  int64_t oldest_ms = 0;  // when the oldest record held came
  char data[kCapacity];
};

namespace {

typedef stream_sink::pending pending;

// Writes all of n bytes unless the descriptor fails.  Async-signal-safe.
void write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    p += w;
    n -= static_cast<size_t>(w);
  }
}

// Writes what b holds.  The count is cleared after the write, so a fatal
// signal in between may write the lines twice but never loses them.
void flush_locked(pending& b) {
  size_t n = b.used.load(std::memory_order_relaxed);
  if (n == 0) return;
  write_all(b.fd, b.data, n);
  b.used.store(0, std::memory_order_release);
}

int64_t now_ms() {
  struct timespec t;
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// The buffered sinks of the process, for the handlers that flush them at
// exit and on a fatal signal and that empty a forked child's copies.  A
// fixed table of atomic slots, so that the signal handler can read it
// without a lock; a sink that finds no free slot writes every record at
// once instead.
const int kSlots = 64;
std::atomic<pending*> g_slots[kSlots];
const int kFatal[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
struct sigaction g_previous[sizeof kFatal / sizeof kFatal[0]];
std::atomic<bool> g_dying{false};

void flush_all_locked() {
  for (std::atomic<pending*>& slot : g_slots) {
    pending* b = slot.load(std::memory_order_acquire);
    if (b == nullptr) continue;
    std::lock_guard<std::mutex> guard(b->mutex);
    flush_locked(*b);
  }
}

// In a child made by fork(): the records held belong to the parent, which
// writes them; the child's copies are dropped.
void drop_all_in_child() {
  for (std::atomic<pending*>& slot : g_slots) {
    pending* b = slot.load(std::memory_order_acquire);
    if (b != nullptr) b->used.store(0, std::memory_order_release);
  }
}

// Writes the whole lines every sink holds (no lock: the interrupted thread
// may hold one), then hands the signal to the action in place before.
void on_fatal_signal(int sig) {
  if (!g_dying.exchange(true)) {
    for (std::atomic<pending*>& slot : g_slots) {
      pending* b = slot.load(std::memory_order_acquire);
      if (b != nullptr) write_all(b->fd, b->data, b->used.load(std::memory_order_acquire));
    }
  }
  for (size_t i = 0; i < sizeof kFatal / sizeof kFatal[0]; ++i) {
    if (kFatal[i] == sig) ::sigaction(sig, &g_previous[i], nullptr);
  }
  ::raise(sig);  // delivered with the previous action once this returns
}

void install_handlers() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = on_fatal_signal;
  action.sa_flags = SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (size_t i = 0; i < sizeof kFatal / sizeof kFatal[0]; ++i) {
    ::sigaction(kFatal[i], &action, &g_previous[i]);
  }
  std::atexit(flush_all_locked);
  ::pthread_atfork(nullptr, nullptr, drop_all_in_child);
}

bool register_pending(pending* b) {
  static std::once_flag once;
  std::call_once(once, install_handlers);
  for (std::atomic<pending*>& slot : g_slots) {
    pending* empty = nullptr;
    if (slot.compare_exchange_strong(empty, b)) return true;
  }
  return false;
}

void unregister_pending(pending* b) {
  for (std::atomic<pending*>& slot : g_slots) {
    pending* mine = b;
    if (slot.compare_exchange_strong(mine, nullptr)) return;
  }
}

// Copies text into the buffer at its end.
void append(pending& b, size_t* at, const char* text, size_t n) {
  std::memcpy(b.data + *at, text, n);
  *at += n;
}

// "function [level] " or "function [error] " and the record's length in all.
std::string line_head(const log_record& r, size_t* length) {
  char mark[16];
  if (r.is_error) {
    std::snprintf(mark, sizeof mark, " [error] ");
  } else {
    std::snprintf(mark, sizeof mark, " [%d] ", r.level);
  }
  std::string head = r.function + mark;
  *length = head.size() + r.text.size() + 1;
  return head;
}

}  // namespace

stream_sink::stream_sink() : m_pending(new pending()), m_owned(false) {}

stream_sink::stream_sink(const std::string& path) : m_pending(new pending()), m_owned(false) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return;
  m_pending->fd = fd;
  m_owned = true;
  m_pending->buffered = register_pending(m_pending.get());
}

stream_sink::~stream_sink() {
  if (m_pending->buffered) unregister_pending(m_pending.get());
  flush();
  if (m_owned) ::close(m_pending->fd);
}

void stream_sink::write(const log_record& record) {
  size_t length = 0;
  std::string head = line_head(record, &length);
  pending& b = *m_pending;
  std::lock_guard<std::mutex> guard(b.mutex);
  size_t at = b.used.load(std::memory_order_relaxed);
  if (at + length > pending::kCapacity) {
    flush_locked(b);
    at = 0;
  }
  if (length > pending::kCapacity) {  // too long to hold: straight out, whole
    std::string line = head + record.text + "\n";
    write_all(b.fd, line.data(), line.size());
    return;
  }
  if (at == 0) b.oldest_ms = now_ms();
  append(b, &at, head.data(), head.size());
  append(b, &at, record.text.data(), record.text.size());
  append(b, &at, "\n", 1);
  b.used.store(at, std::memory_order_release);
  if (!b.buffered || record.is_error || now_ms() - b.oldest_ms >= 1000) flush_locked(b);
}

void stream_sink::flush() {
  std::lock_guard<std::mutex> guard(m_pending->mutex);
  flush_locked(*m_pending);
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

void ktfs_debug::flush() { sink()->flush(); }

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
