#pragma once

#include <cstdint>
#include <vector>

namespace pictavo::samples {

struct CrwLayout {
  bool big_endian = false;
  // Heap contents before the root directory: the raw data, then the embedded JPEG.
  uint32_t raw_bytes = 3000;
  uint32_t jpeg_bytes = 1000;
  // Records in the root directory; the first two are the raw data and the JPEG.
  uint16_t records = 3;
  uint16_t raw_type = 0x2005;
  // Added to the directory offset stored at the end.
  int32_t trailer_error = 0;
};

// A Canon CRW laid out as the cameras write it: the 26-byte header, the heap (raw data at heap
// offset 0, then the JPEG, both filler here), and the root directory, with its offset from the
// heap start as the file's last four bytes. The directory starts at 26 + raw + jpeg.
std::vector<uint8_t> MakeCrw(const CrwLayout& layout);

}  // namespace pictavo::samples
