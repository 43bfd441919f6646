// The rules that give a set its shape: which names are valid, in which order
// versions stand, and how each is linked to the one before it.
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "internal.h"

using ktfs::kNoAio;
using ktsm_internal::access;
using ktsm_internal::io;

typedef ktsm_filegroup_version_set vs;
typedef ktsm_filegroup_version::creation_record creation_record;

namespace ktsm_internal {

const char* const kCreationAttribute = "trusted.norvafs.snapcreated";

bool plain_component(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

std::string format_creation(const creation_record& record) {
  char text[64];
  std::snprintf(text, sizeof text, "%" PRId64 ".%09" PRId64 " %" PRIu64,
                record.time_ns / 1000000000, record.time_ns % 1000000000, record.sequence);
  return text;
}

bool parse_creation(const std::string& text, creation_record* record) {
  int64_t seconds = 0, nanoseconds = 0;
  uint64_t sequence = 0;
  int used = 0;
  if (std::sscanf(text.c_str(), "%" SCNd64 ".%9" SCNd64 " %" SCNu64 "%n", &seconds, &nanoseconds,
                  &sequence, &used) != 3 ||
      static_cast<size_t>(used) != text.size() || seconds < 0 || nanoseconds < 0) {
    return false;
  }
  record->time_ns = seconds * 1000000000 + nanoseconds;
  record->sequence = sequence;
  return true;
}

}  // namespace ktsm_internal

bool vs::valid_version_name(const std::string& name) {
  return ktsm_internal::plain_component(name) && !ktsm_internal::reserved_snaps_entry(name);
}

bool vs::valid_set_name(const std::string& name) {
  std::string::size_type start = name.find_first_not_of('/');
  if (start == std::string::npos) return false;
  std::string component = name.substr(start);
  return ktsm_internal::plain_component(component) && component != ".snaps";
}

namespace ktsm_internal {

creation_record next_creation(const std::list<vs::version_ptr>& versions) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  creation_record record;
  record.time_ns = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  for (const vs::version_ptr& v : versions) {
    if (v->is_production_version()) continue;
    creation_record other = v->get_creation();
    record.time_ns = std::max(record.time_ns, other.time_ns + 1);
    record.sequence = std::max(record.sequence, other.sequence);
  }
  ++record.sequence;
  return record;
}

std::error_code write_creation(const std::string& path, const creation_record& record) {
  std::string text = format_creation(record);
  struct iovec iov = {&text[0], text.size()};
  return vs::api_instance.setxattr(io(), path.c_str(), kCreationAttribute, &iov, 0, kNoAio);
}

bool read_creation(const attr_source& from, creation_record* record) {
  char buffer[64];
  std::memset(buffer, 0, sizeof buffer);
  struct iovec iov = {buffer, sizeof buffer - 1};
  if (from.get(kCreationAttribute, &iov) == -1) return false;
  return parse_creation(std::string(buffer, strnlen(buffer, sizeof buffer)), record);
}

creation_record creation_or_mtime(const attr_source& from) {
  creation_record record;
  if (read_creation(from, &record)) return record;
  struct stat st;
  std::memset(&st, 0, sizeof st);
  if (!vs::api_instance.stat(io(), from.path.c_str(), &st, kNoAio)) {
    record.time_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  }
  return record;
}

bool created_before(const vs::version_ptr& a, const vs::version_ptr& b) {
  creation_record x = a->get_creation(), y = b->get_creation();
  if (x.time_ns != y.time_ns) return x.time_ns < y.time_ns;
  if (x.sequence != y.sequence) return x.sequence < y.sequence;
  return a->get_name() < b->get_name();
}

void link_chain(const std::list<vs::version_ptr>& versions) {
  vs::version_ptr previous;
  for (const vs::version_ptr& v : versions) {
    access::set_older_version(*v, previous);
    previous = v;
  }
}

std::error_code list_directory(const std::string& dir, std::vector<std::string>* names) {
  ktfs::file_ptr handle = vs::api_instance.opendir(io(), dir.c_str(), kNoAio);
  if (!handle) return std::error_code(errno != 0 ? errno : EIO, std::system_category());
  errno = 0;
  while (struct dirent* entry = vs::api_instance.readdir(handle, kNoAio)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names->push_back(entry->d_name);
    }
    errno = 0;
  }
  std::error_code ec;
  if (errno != 0) ec = std::error_code(errno, std::system_category());
  std::error_code closed = vs::api_instance.closedir(handle, kNoAio);
  return ec ? ec : closed;
}

}  // namespace ktsm_internal
