#pragma once

#include <cstdint>
#include <string>

namespace pictavo {

// A byte count as the results show it: "%u  Bytes", "%.2f  KB", "%.2f  MB" or "%.2f  GB", with
// strict thresholds (exactly 1,024 bytes stays in bytes) and two spaces before the unit.
std::string SizeText(uint64_t bytes);

}  // namespace pictavo
