#pragma once

#include <string_view>

namespace ostrovane::dispatch {

// Names the calling thread after a queue or task label, so that `top -H`,
// /proc/<pid>/task and debuggers tell the helper's threads apart. Linux keeps
// 15 bytes: a longer dotted label keeps its last component, then its end.
void nameCurrentThread(std::string_view label);

}  // namespace ostrovane::dispatch
