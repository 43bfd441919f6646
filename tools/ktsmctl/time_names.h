// Snapshot names made from the time they are taken, and the clock they are
// read from.
//
// Form: "auto-" and the UTC time in ISO 8601's basic form,
// "auto-20261209T081500Z"; a second snapshot in the same second is
// "auto-20261209T081500Z-2", then "-3", ...  Names of this form sort by
// time, hold only letters, digits and "-" (nothing a shell, an NFS or an
// SMB client reads specially), and are the timeline's own: it prunes only
// these unless its policy says otherwise.
#ifndef KTSMCTL_TIME_NAMES_H_
#define KTSMCTL_TIME_NAMES_H_

#include <cstdint>
#include <list>
#include <string>

#include "handles.h"

namespace ktsmctl {

// The time now in seconds since the epoch: the system clock, or the time
// KTSM_NOW gives ("2026-12-09T08:15:00Z", UTC) when it is set, so that a
// test or a dry run can ask what would happen at that time.  false with
// *error set when KTSM_NOW holds no such time.
bool now_seconds(int64_t* now, std::string* error);

// The name of a snapshot taken at time (seconds since the epoch): the form
// above, with the first suffix no version of versions has.
std::string time_name(int64_t time, const std::list<version_ptr>& versions);

// Whether name has the form above; *time receives the time it names.
bool parse_time_name(const std::string& name, int64_t* time);

}  // namespace ktsmctl

#endif  // KTSMCTL_TIME_NAMES_H_
