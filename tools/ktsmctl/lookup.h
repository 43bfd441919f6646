// Finding what a command names, with the error line when it is not there.
#ifndef KTSMCTL_LOOKUP_H_
#define KTSMCTL_LOOKUP_H_

#include <string>

#include "output.h"

namespace ktsmctl {

// "text" between double quotes, escaped (names.h) as names are for people.
std::string quoted(const std::string& text);

// The registered set of the group written ("a", "/a", "//a"); reports a miss.
bool find_group(const std::string& written, set_ptr* set);

// The version of the set; reports a miss naming the group.
bool find_version(const set_ptr& set, const std::string& name, version_ptr* version);

// "version "v1" of group "a"".
std::string version_words(const set_ptr& set, const std::string& name);

// The volume path of a version's files: the group's directory for the
// production version, else its directory under ".snaps".
std::string files_path(const set_ptr& set, const version_ptr& version);

}  // namespace ktsmctl

#endif  // KTSMCTL_LOOKUP_H_
