#include "results/size_text.h"

#include <cinttypes>
#include <cstdio>

namespace pictavo {

std::string SizeText(uint64_t bytes) {
  char text[64];
  const double value = static_cast<double>(bytes);
  if (bytes > 0x40000000ULL) {
    std::snprintf(text, sizeof(text), "%.2f  GB", value / 1073741824.0);
  } else if (bytes > 0x100000ULL) {
    std::snprintf(text, sizeof(text), "%.2f  MB", value / 1048576.0);
  } else if (bytes > 1024) {
    std::snprintf(text, sizeof(text), "%.2f  KB", value / 1024.0);
  } else {
    std::snprintf(text, sizeof(text), "%" PRIu64 "  Bytes", bytes);
  }
  return text;
}

}  // namespace pictavo
