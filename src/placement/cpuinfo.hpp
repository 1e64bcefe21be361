// Physical-core count from the text of /proc/cpuinfo.
#pragma once

#include <cstdint>
#include <istream>

namespace vorn {

// Sum over distinct "physical id" values of the "cpu cores" value last seen
// for each; 0 when the text has no such pairs.
std::uint64_t count_physical_cores(std::istream& cpuinfo);

// The same over /proc/cpuinfo; 0 when it cannot be opened.
std::uint64_t count_physical_cores();

}  // namespace vorn
