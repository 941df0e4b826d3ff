#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "imaging/picture.h"

namespace pictavo {

// Encodes a picture as an 8-bit RGBA PNG. False (with a reason) when libpng fails.
bool EncodePng(const Picture& picture, std::vector<uint8_t>* out, std::string* error);

// Writes a picture as a PNG file, replacing any file of that name. False with the system's or
// libpng's reason.
bool WritePngFile(const Picture& picture, const std::string& path, std::string* error);

}  // namespace pictavo
