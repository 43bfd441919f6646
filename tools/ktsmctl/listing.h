// What list shows: each version with its state, creation time, size, holds
// and link, as padded text, tab-separated lines (-H, -p) or JSON; names
// escaped (escaped() in names.h) in the first two, through json_name in JSON.
#ifndef KTSMCTL_LISTING_H_
#define KTSMCTL_LISTING_H_

#include <list>
#include <string>

#include "commands.h"
#include "output.h"

namespace ktsmctl {

// The listing of sets for the options of ctx.  Sizes are read through a
// client connection of its own; a version whose files cannot be read shows
// its size as unknown.
std::string render_listing(const std::list<set_ptr>& sets, const context& ctx);

// "2024-05-01 12:00:00" in local time, or the seconds since the epoch
// when parsable.
std::string shown_time(int64_t time_ns, bool parsable);

}  // namespace ktsmctl

#endif  // KTSMCTL_LISTING_H_
