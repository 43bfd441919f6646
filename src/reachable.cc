// Whether the whole volume answers for a group: a distributed volume with a
// brick down lists every directory without that brick's entries and says
// nothing, so an operation that walks a group asks before it trusts a
// listing and again when its copy or removal is done.  A removal asks more
// of a replicated volume: every brick of each replica set, since a brick
// that misses a removal may bring the entry back when it returns.  A change
// of a version's attributes asks again after its write, since a brick lost
// before it keeps the old value.
#include "internal.h"

namespace ktsm_internal {

namespace {

bool answers(const char* function, const std::string& set_name, std::error_code ec) {
  if (!ec) return true;
  if (ec.value() == ENOTCONN) {
    log().debug(function, -1, "file group [%s] part of the volume is unreachable",
                set_name.c_str());
  } else {
    log().debug(function, -1, "file group [%s] volume check failed", set_name.c_str());
  }
  return false;
}

}  // namespace

bool whole_volume(const char* function, const std::string& set_name) {
  return answers(
      function, set_name,
      ktsm_filegroup_version_set::api_instance.reachable(io(), set_name.c_str(), ktfs::kNoAio));
}

bool every_brick(const char* function, const std::string& set_name) {
  return answers(function, set_name,
                 ktsm_filegroup_version_set::api_instance.every_copy_reachable(
                     io(), set_name.c_str(), ktfs::kNoAio));
}

bool write_on_every_brick(const char* function, const std::string& set_name,
                          const std::function<bool()>& write, const std::function<void()>& undo) {
  if (!write()) return false;
  if (whole_volume(function, set_name)) return true;
  undo();
  return false;
}

}  // namespace ktsm_internal
