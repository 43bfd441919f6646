// A host module for the unload test: loaded with dlopen, it starts the
// library on a local volume, creates sets, and returns without stop().
#include "ktfs/ktfs_api.h"
#include "ktsm/ktsm_filegroup_version_set.h"

extern "C" __attribute__((visibility("default"))) int probe_run(const char* root) {
  typedef ktsm_filegroup_version_set vs;
  ktfs::client_defaults d;
  d.local_root = root;
  ktfs::set_client_defaults(d);
  if (vs::init("local", "") != 0) return 1;
  vs::set_ptr set;
  if (vs::create_version_set("//more", set) != 0) return 2;
  vs::version_ptr v;
  if (set->create_version("v1", v) != 0) return 3;
  if (set->set_previous_version("v1") != 0) return 4;
  std::list<vs::set_ptr> sets;
  vs::list_version_sets(sets);
  return sets.size() == 3 ? 0 : 5;  // two rebuilt from the volume, one made here
}
