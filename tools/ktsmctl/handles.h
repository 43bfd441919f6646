// The library's class and record handles as ktsmctl's files name them.
#ifndef KTSMCTL_HANDLES_H_
#define KTSMCTL_HANDLES_H_

#include "ktsm/ktsm_filegroup_version_set.h"

namespace ktsmctl {

typedef ktsm_filegroup_version_set vs;
typedef vs::set_ptr set_ptr;
typedef vs::version_ptr version_ptr;

}  // namespace ktsmctl

#endif  // KTSMCTL_HANDLES_H_
