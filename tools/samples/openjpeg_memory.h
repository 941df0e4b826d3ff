#pragma once

#include <openjpeg.h>

#include <cstdint>
#include <vector>

namespace pictavo::samples {

// Compresses `image`, which it destroys, with `parameters` into a bare JPEG 2000 codestream or,
// with `jp2`, a JP2 file; empty when OpenJPEG fails. OpenJPEG's messages are silenced.
std::vector<uint8_t> CompressJpeg2000(opj_image_t* image, opj_cparameters_t& parameters, bool jp2);

}  // namespace pictavo::samples
