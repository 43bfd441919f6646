// The timeline's policy file (TOML; default /etc/ktsm/policy.conf): how
// often to snapshot each group and which snapshots to keep.
//
//   [default]                  # every group of the volume starts from this
//   every = "hourly"           # hourly, daily, weekly, monthly, never, or an
//                              # interval: "15min", "6h", "2d", "1w"
//   keep_hourly = 24           # keep_last, keep_hourly, keep_daily,
//   keep_daily = 7             # keep_weekly, keep_monthly: counts (0: off);
//                              # keep_within: a duration such as "2d"
//   [template.important]       # a set of settings groups can use
//   keep_monthly = 12
//   [group.projects]           # one group: its template, then its own keys
//   template = "important"
//   prune_foreign = false      # also prune snapshots not named by the timeline
//
// A group gets [default]'s settings, then its template's, then its own.
// The groups are those with a [group.NAME] table and, when [default] says
// how often (every is not "never"), every other group of the volume.
#ifndef KTSMCTL_POLICY_FILE_H_
#define KTSMCTL_POLICY_FILE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "retention.h"

namespace ktsmctl {

// The default policy file.
extern const char* const kDefaultPolicyFile;

// How often a group is snapshot.
struct schedule {
  enum kind_t { never, hourly, daily, weekly, monthly, interval } kind = never;
  int64_t seconds = 0;  // interval only
};

struct group_policy {
  std::string group;  // the set name ("//projects"); empty for [default]
  schedule every;
  keep_rules keep;
  bool prune_foreign = false;
};

struct policy_file {
  std::string path;
  bool default_applies = false;  // [default] says how often: every group is in
  group_policy defaults;         // [default] with its template applied
  std::vector<group_policy> groups;
};

// Reads and checks the file at path.  false with *error set to "PATH:LINE:
// reason" (or "PATH: reason" for a file that cannot be read) on the first
// fault: a TOML syntax error, an unknown table or setting, a value of the
// wrong kind or out of range, a template that is not there, a group name
// that is not one.
bool read_policy_file(const std::string& path, policy_file* out, std::string* error);

// "hourly", "every 6h", ...
std::string schedule_words(const schedule& s);

}  // namespace ktsmctl

#endif  // KTSMCTL_POLICY_FILE_H_
