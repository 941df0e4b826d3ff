#pragma once

#include <cstdint>
#include <vector>

namespace pictavo::samples {

struct JpegOptions {
  int width = 64;
  int height = 48;
  int quality = 85;
  bool progressive = false;
  // Bytes of payload of an APP1 segment inserted after SOI (0: none). At most 65,533.
  uint32_t app1_payload = 0;
  // Insert an EXIF-style APP1 holding a complete small JPEG (with its own SOI and EOI).
  bool exif_thumbnail = false;
  // Drop the end-of-image marker.
  bool without_eoi = false;
  uint32_t seed = 1;
};

// Encodes a real JPEG with libjpeg-turbo: a smooth gradient with seeded noise, so that the
// entropy-coded data is neither trivial nor free of 0xFF bytes.
std::vector<uint8_t> EncodeJpeg(const JpegOptions& options);

}  // namespace pictavo::samples
