// Volume paths as both backends take them: confined to the volume.
#include "backends.h"

namespace ktfs {

void append_confined(const std::string& path, std::string* out) {
  const size_t base = out->size();  // ".." never climbs above this
  size_t at = 0;
  while (at <= path.size()) {
    size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    size_t len = end - at;
    if (len == 2 && path[at] == '.' && path[at + 1] == '.') {
      if (out->size() > base) out->resize(out->rfind('/'));
    } else if (len > 1 || (len == 1 && path[at] != '.')) {
      out->push_back('/');
      out->append(path, at, len);
    }
    at = end + 1;
  }
}

std::string confine_path(const std::string& path) {
  std::string out;
  out.reserve(path.size() + 1);
  append_confined(path, &out);
  return out;
}

}  // namespace ktfs
