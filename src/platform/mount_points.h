// Mount points: which mounted file system holds a directory, read from the
// kernel's mount table (/proc/self/mountinfo), and which processes a kill by
// image name must spare. Pure functions, so that the rules can be tested on
// any text and any family of process ids.
#pragma once

#include <string>
#include <string_view>

#include "platform/env.h"

namespace kvr {

// The mount point in the mountinfo text (its fifth field, with the kernel's
// octal escapes undone) that is the longest leading path of the absolute
// directory dir; empty when none is.
std::string MountPointOf(std::string_view mountinfo, std::string_view dir);

// The processes around the controller that a kill by image name must leave:
// itself, its parent (the watching service), the leader of the parent's
// process group (ending that group would reach the service), and the ids
// 0 and 1.
struct ProcessFamily {
  Pid self = 0;
  Pid parent = 0;
  Pid parentGroup = 0;
};
bool SparedByImageKill(Pid pid, const ProcessFamily& family);

}  // namespace kvr
