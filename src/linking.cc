// Linked snapshots: which older version a new one takes its unchanged files
// from, and the time that says what "unchanged" means for it.
#include <sys/stat.h>
#include <sys/uio.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"

using ktfs::kNoAio;
using ktsm_internal::io;

typedef ktsm_filegroup_version_set vs;

namespace {

// -1: the environment decides (KTSM_LINKED_SNAPSHOTS=0 turns linking off).
std::atomic<int> g_default_linked{-1};

int64_t nanoseconds(const struct timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

namespace ktsm_internal {

const char* const kUnchangedBeforeAttribute = "trusted.norvafs.snapunchangedbefore";

int64_t link_clock_margin_ns() {
  const int64_t kDefaultMs = 2000;
  const char* text = std::getenv("KTSM_LINK_CLOCK_MARGIN_MS");
  if (text == nullptr) return kDefaultMs * 1000000;
  char* end = nullptr;
  long long ms = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || ms < 0) ms = kDefaultMs;
  return static_cast<int64_t>(ms) * 1000000;
}

std::error_code write_unchanged_before(const std::string& path, int64_t created_ns) {
  // The version's directory was just made, so its change time is the
  // volume's clock (the one that stamps the live files) before the copy
  // begins; the creation record's time is this host's, and may lie ahead
  // of it (the record stays later than the set's newest).
  struct stat st;
  if (std::error_code ec = vs::api_instance.lstat(io(), path.c_str(), &st, kNoAio)) return ec;
  int64_t before = std::min(created_ns, nanoseconds(st.st_ctim)) - link_clock_margin_ns();
  char text[32];
  int length = std::snprintf(text, sizeof text, "%" PRId64, before);
  struct iovec iov = {text, static_cast<size_t>(length)};
  return vs::api_instance.setxattr(io(), path.c_str(), kUnchangedBeforeAttribute, &iov, 0, kNoAio);
}

bool read_unchanged_before(const std::string& path, int64_t* before) {
  char text[32] = {0};
  struct iovec iov = {text, sizeof text - 1};
  int64_t length =
      vs::api_instance.getxattr(io(), path.c_str(), kUnchangedBeforeAttribute, &iov, kNoAio);
  if (length <= 0 || length >= static_cast<int64_t>(sizeof text)) return false;
  text[length] = '\0';
  int used = 0;
  return std::sscanf(text, "%" SCNd64 "%n", before, &used) == 1 && used == length;
}

bool linking_on(int set_choice) {
  if (set_choice >= 0) return set_choice != 0;
  int chosen = g_default_linked.load(std::memory_order_relaxed);
  if (chosen >= 0) return chosen != 0;
  const char* text = std::getenv("KTSM_LINKED_SNAPSHOTS");
  return text == nullptr || std::strcmp(text, "0") != 0;
}

bool find_link_source(const std::string& set_name, const std::list<vs::version_ptr>& versions,
                      const vs::version_ptr& self, std::string* dir, int64_t* before) {
  for (auto it = versions.rbegin(); it != versions.rend(); ++it) {
    const vs::version_ptr& v = *it;
    if (v == self || v->is_production_version()) continue;
    // The state on the volume now: another host may have begun deleting it.
    std::string path = snapshot_path(set_name, v->get_name()), state;
    if (read_state(path, &state) < 0 || !vs::holds_whole_copy(state)) continue;
    if (!read_unchanged_before(path, before)) continue;
    *dir = path;
    return true;
  }
  return false;
}

}  // namespace ktsm_internal

bool vs::holds_whole_copy(const std::string& state) {
  const state_info* info = find_state(state);
  return info != nullptr && (info->settled || info->may_be_exported);
}

void vs::set_linked_snapshots(bool linked) { m_linked.store(linked ? 1 : 0); }

void vs::set_default_linked_snapshots(bool linked) { g_default_linked.store(linked ? 1 : 0); }
