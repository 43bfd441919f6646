// Whether the whole volume answers for a group: a distributed volume with a
// brick down lists every directory without that brick's entries and says
// nothing, so an operation that walks a group asks before it trusts a
// listing and again when its copy or removal is done.
#include "internal.h"

namespace ktsm_internal {

bool whole_volume(const char* function, const std::string& set_name) {
  std::error_code ec =
      ktsm_filegroup_version_set::api_instance.reachable(io(), set_name.c_str(), ktfs::kNoAio);
  if (!ec) return true;
  if (ec.value() == ENOTCONN) {
    log().debug(function, -1, "file group [%s] part of the volume is unreachable",
                set_name.c_str());
  } else {
    log().debug(function, -1, "file group [%s] volume check failed", set_name.c_str());
  }
  return false;
}

}  // namespace ktsm_internal
