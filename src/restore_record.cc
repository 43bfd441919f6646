// The record of a restore under way, kept on the volume so that every host
// sees a live group that a restore left half done (interrupted, killed or
// failed): the attribute "trusted.norvafs.restoring" of the group's
// ".snaps" directory holds the version, the safety version (empty when
// none), then "*" for a whole restore or each restored path, every field
// ended by a NUL byte (names may hold any other byte).  Paths that would
// make the value larger than a brick keeps comfortably are left out, and
// "+" marks that.  It is written under the group's lock before the
// restore's first change of the live group, so that even a SIGKILL leaves
// it, and emptied (one NUL: not every volume keeps an empty value) when a
// restore that covers it finishes.
#include <cerrno>
#include <vector>

#include "internal.h"

using ktfs::kNoAio;

namespace ktsm_internal {

namespace {

const char kRestoringAttribute[] = "trusted.norvafs.restoring";
const size_t kRecordBuffer = 4096;
// Room left for the volume's own attributes in a brick's attribute block.
const size_t kMaxRecord = 2048;
const char kWholeMark[] = "*";
const char kPathsLeftOut[] = "+";

std::error_code write_text(const std::string& set_name, std::string text) {
  struct iovec iov = {&text[0], text.size()};
  return ktsm_filegroup_version_set::api_instance.setxattr(io(), snaps_dir(set_name).c_str(),
                                                           kRestoringAttribute, &iov, 0, kNoAio);
}

std::string field(const std::string& text) { return text + '\0'; }

}  // namespace

std::error_code write_restore_record(const std::string& set_name, const restore_record& r) {
  std::string text = field(r.version) + field(r.safety);
  if (r.whole) return write_text(set_name, text + field(kWholeMark));
  std::string paths;
  for (const std::string& p : r.paths) paths += field(p);
  if (text.size() + paths.size() > kMaxRecord) paths = field(kPathsLeftOut);
  return write_text(set_name, text + paths);
}

std::error_code clear_restore_record(const std::string& set_name) {
  return write_text(set_name, std::string(1, '\0'));
}

std::error_code read_restore_record(const std::string& set_name, restore_record* out) {
  *out = restore_record();
  std::vector<char> buffer(kRecordBuffer, '\0');
  struct iovec iov = {buffer.data(), buffer.size()};
  int64_t n = attr_source(snaps_dir(set_name)).get(kRestoringAttribute, &iov);
  if (n < 0) {
    if (errno == ENODATA) return {};
    return std::error_code(errno != 0 ? errno : EIO, std::system_category());
  }
  std::vector<std::string> fields;
  std::string text(buffer.data(), static_cast<size_t>(n));
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\0', at);
    if (end == std::string::npos) end = text.size();
    fields.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  if (fields.size() < 3 || fields[0].empty()) return {};
  out->version = fields[0];
  out->safety = fields[1];
  out->whole = fields[2] == kWholeMark;
  out->paths_left_out = fields[2] == kPathsLeftOut;
  if (!out->whole && !out->paths_left_out) out->paths.assign(fields.begin() + 2, fields.end());
  return {};
}

bool restore_record::covered_by(const restore_record& done) const {
  if (version.empty() || done.whole) return true;
  return !whole && done.version == version && (paths_left_out || done.paths == paths);
}

}  // namespace ktsm_internal

int32_t ktsm_filegroup_version_set::partial_restore(std::string& version, std::string& safety,
                                                    std::vector<std::string>& paths) {
  ktsm_internal::restore_record r;
  std::error_code ec;
  {
    ktsm_internal::mutex_guard guard(m_set_lock);
    ec = ktsm_internal::read_restore_record(m_name, &r);
  }
  version = r.version;
  safety = r.safety;
  paths = r.paths;
  if (!ec) return 0;
  ktsm_internal::log().debug("ktsm_filegroup_versionset::partial_restore()", -1,
                             "file group [%s] restore record read failed", m_name.c_str());
  return 1;
}
