#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "imaging/picture.h"

namespace pictavo {

// The file name of the picture shown in place of a photo that cannot be decoded.
inline constexpr char kPlaceholderFileName[] = "corrupt.bmp";

// The placeholder as a 24-bit Windows bitmap: a grey card with a torn-picture symbol. The build
// writes it beside the programs as "corrupt.bmp"; the bytes are also the fallback when that file
// is missing.
std::vector<uint8_t> MakePlaceholderBitmap();

// Where the placeholder file is looked for: beside the running program, then in the installed
// data folder. Returns the first that exists, or an empty string.
std::string FindPlaceholderFile();

// The placeholder picture: the file when it exists and decodes (as a bitmap first), otherwise
// the built-in bitmap.
Picture LoadPlaceholderPicture();

}  // namespace pictavo
