// What ktsmctl prints: error lines, the picture of groups and versions as
// text or JSON, and sizes in words.
#ifndef KTSMCTL_OUTPUT_H_
#define KTSMCTL_OUTPUT_H_

#include <cstdint>
#include <list>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "handles.h"
#include "ktsm/ktsm_filegroup_version_set.h"

namespace ktsmctl {

// Exit statuses of every command.
enum exit_status { exit_ok = 0, exit_failed = 1, exit_usage = 2 };

// One line "ktsmctl: what" on standard error, made one line with one_line()
// (names.h) whatever what holds; the first two return false, the last two
// the exit status to end with.
bool report_failure(const std::string& what);
bool report_warning(const std::string& what);
int fail(const std::string& what);
int usage_error(const std::string& what);

// Flushes standard output; a write that failed (a full disk, a closed
// pipe) turns status into exit_failed, with one line saying so.
int finish_output(int status);

// "12 bytes", "3.4 KiB", "1.2 GiB".
std::string human_bytes(uint64_t bytes);

// "1 file", "3 files": count and word, with an "s" unless count is 1.
std::string counted(uint64_t count, const std::string& word);

// The name of a version's older link: "-" when there is none.
std::string older_name(const version_ptr& version);

// A name in JSON, mapping back to its bytes: a string when the name is
// valid UTF-8, else {"display": the name escaped as for people, "bytes":
// [each byte's value]}.
nlohmann::json json_name(const std::string& name);
nlohmann::json json_names(const std::vector<std::string>& names);

// value as printed by --json: indented by two, then a newline.  Every name
// in it went through json_name, so nothing is replaced.
std::string json_text(const nlohmann::json& value);

}  // namespace ktsmctl

#endif  // KTSMCTL_OUTPUT_H_
