#include "lookup.h"

#include "names.h"

namespace ktsmctl {

std::string quoted(const std::string& text) { return "\"" + escaped(text) + "\""; }

bool find_group(const std::string& written, set_ptr* set) {
  std::string set_name;
  group_set_name(written, &set_name);
  if (ktsm_filegroup_version_set::get_version_set(set_name, *set) == 0) return true;
  return report_failure("group " + quoted(group_label(set_name)) +
                        " not found (see \"ktsmctl list\")");
}

bool find_version(const set_ptr& set, const std::string& name, version_ptr* version) {
  set->get_version(name, *version);
  if (*version) return true;
  std::string label = group_label(set->get_name());
  return report_failure("version " + quoted(name) + " not found in group " + quoted(label) +
                        " (see \"" + suggested_command("list", label) + "\")");
}

std::string version_words(const set_ptr& set, const std::string& name) {
  return "version " + quoted(name) + " of group " + quoted(group_label(set->get_name()));
}

std::string files_path(const set_ptr& set, const version_ptr& version) {
  std::string group = "/" + group_label(set->get_name());
  return version->is_production_version() ? group : group + "/.snaps/" + version->get_name();
}

}  // namespace ktsmctl
