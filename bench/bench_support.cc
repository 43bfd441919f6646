#include "bench_support.h"

#include <spawn.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace ktsm_bench {

namespace {

// The benchmark's texts are table cells and progress lines: one buffer of
// 1 KiB holds any of them, and a longer one is cut.
std::string vformat(const char* format, va_list args) {
  char text[1024];
  if (std::vsnprintf(text, sizeof text, format, args) < 0) return std::string();
  return text;
}

}  // namespace

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  size_t mid = samples.size() / 2;
  if (samples.size() % 2 == 1) return samples[mid];
  return (samples[mid - 1] + samples[mid]) / 2;
}

ratio_stats round_ratios(const std::vector<double>& a, const std::vector<double>& b) {
  std::vector<double> r;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) r.push_back(a[i] / b[i]);
  ratio_stats s;
  if (r.empty()) return s;
  s.median = median(r);
  s.low = *std::min_element(r.begin(), r.end());
  s.high = *std::max_element(r.begin(), r.end());
  return s;
}

std::string ratio_text(const ratio_stats& r) {
  if (r.low == r.high) return fmt("%.2fx", r.median);
  return fmt("%.2fx (%.2f..%.2f)", r.median, r.low, r.high);
}

std::string fmt(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformat(format, args);
  va_end(args);
  return text;
}

void note(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformat(format, args);
  va_end(args);
  std::fprintf(stderr, "  %s\n", text.c_str());
  std::fflush(stderr);
}

namespace {
size_t g_rows = 0;
}  // namespace

size_t rows_printed() { return g_rows; }

void print_row(const row& r) {
  ++g_rows;
  std::printf("RESULT\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", r.case_name.c_str(), r.backend.c_str(),
              r.measured.c_str(), r.peer.c_str(), r.ratio.c_str(), r.goal.c_str(), r.met.c_str());
  std::fflush(stdout);
}

void print_data(const std::vector<std::string>& fields) {
  std::string line = "DATA";
  for (const std::string& f : fields) line += "\t" + f;
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

std::string at_most(double value, double goal) { return value <= goal ? "yes" : "no"; }
std::string at_least(double value, double goal) { return value >= goal ? "yes" : "no"; }
std::string times(double ratio) { return fmt("%.2fx", ratio); }

std::string duration(double seconds) {
  if (seconds < 1e-6) return fmt("%.1f ns", seconds * 1e9);
  if (seconds < 1e-3) return fmt("%.1f us", seconds * 1e6);
  if (seconds < 1) return fmt("%.2f ms", seconds * 1e3);
  return fmt("%.2f s", seconds);
}

scratch_dir::scratch_dir(const std::string& tag) {
  std::string tmpl = "/tmp/ktsm-bench-" + tag + "-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_path = buf.data();
}

scratch_dir::~scratch_dir() { remove_host_tree(m_path); }

void remove_host_tree(const std::string& path) {
  if (path.empty() || path == "/") return;
  run_program({"rm", "-rf", "--one-file-system", path});
}

int run_program(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

uint64_t free_bytes(const std::string& path) {
  struct statvfs st;
  if (::statvfs(path.c_str(), &st) != 0) return 0;
  return static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
}

uint64_t resident_bytes() {
  std::ifstream in("/proc/self/statm");
  uint64_t size = 0, resident = 0;
  in >> size >> resident;
  return resident * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

void fill_pseudo_random(std::vector<char>* buf, uint64_t seed) {
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  size_t n = buf->size() / sizeof x;
  for (size_t i = 0; i < n; ++i) {
    // xorshift64
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::copy(reinterpret_cast<const char*>(&x), reinterpret_cast<const char*>(&x) + sizeof x,
              buf->data() + i * sizeof x);
  }
}

}  // namespace ktsm_bench
