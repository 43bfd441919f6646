// The smallest host: starts the library on a local volume directory, makes
// a file group's version set and a version, links it, stops; prints OK.
#include <cstdio>

#include "ktsm/ktsm_filegroup_version_set.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  ktfs::client_defaults defaults;
  defaults.local_root = argv[1];  // the volume: a local directory
  ktfs::set_client_defaults(defaults);
  typedef ktsm_filegroup_version_set vs;
  vs::set_ptr set;
  vs::version_ptr version;
  bool failed = vs::init("local", "") != 0 || vs::create_version_set("//docs", set) != 0 ||
                set->create_version("v1", version) != 0 || set->set_previous_version("v1") != 0;
  vs::stop();
  std::puts(failed ? "FAILED" : "OK");
  return failed ? 1 : 0;
}
