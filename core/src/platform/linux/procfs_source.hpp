// The Linux process source over a directory laid out as /proc.
#pragma once

#include <memory>

#include "../processes.hpp"

namespace zelk {

// A source that reads the /proc layout below the open directory `dir` (duplicated; the caller
// keeps its own) and measures CPU usage from the CPU totals of the stat lines alone, as for a
// /proc of another pid namespace.
std::unique_ptr<ProcessSource> open_procfs_at(int dir);

}  // namespace zelk
