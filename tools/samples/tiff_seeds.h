#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pictavo::samples {

// Small media for the fuzzers' seed corpus, each holding a few TIFF-structured files (plain TIFF
// and the camera raws built on it) at 512-byte sector boundaries: name and medium bytes.
std::vector<std::pair<std::string, std::vector<uint8_t>>> TiffFamilySeedMedia();

}  // namespace pictavo::samples
