#pragma once

#include <atomic>
#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/scan_engine.h"
#include "imaging/image_decoder.h"
#include "platform/sector_source.h"
#include "results/date_taken.h"

namespace pictavo {

// A find's bytes are read in chunks of this size at most, whatever its length.
inline constexpr uint32_t kFindReadChunk = 4u << 20;

// Reads `count` bytes of `file` starting `skip` bytes into it, into `buffer` (which gets the bytes
// read). Bytes that cannot be read are zeros, as they would be in a saved copy; the find is cut
// where the source ends. Returns false when some bytes could not be read.
bool ReadFindBytes(SectorSource& source, const FoundFile& file, uint64_t skip, uint32_t count,
                   std::vector<uint8_t>* buffer);

// How a find decodes as a picture.
struct FindPicture {
  // False for the audio, video and mail types, which are not pictures and are not decoded.
  bool is_picture = false;
  DecodeStatus status = DecodeStatus::kFailed;
  // The picture's size as shown (turned upright), 0 when unknown.
  int width = 0;
  int height = 0;

  uint64_t pixels() const { return static_cast<uint64_t>(width) * static_cast<uint64_t>(height); }
  friend bool operator==(const FindPicture&, const FindPicture&) = default;
};

struct FindDecodeOptions {
  // The box the picture is decoded into: small, so that a decode costs little more than reading
  // the data (decoders still read all of it, so damage is seen).
  int fit_width = 160;
  int fit_height = 160;
  // Camera raws: also decompress the sensor data, so that its damage shows in the status.
  bool check_raw_data = false;
  std::chrono::milliseconds raw_time_limit{30'000};
};

// Reads the find whole and decodes it. A find larger than any picture the decoders take fails
// without being read; a find cut short by the end of the source is never complete.
FindPicture DecodeFind(SectorSource& source, const FoundFile& file,
                       const FindDecodeOptions& options = {});

// The date the photo was taken, from the metadata in its first kDateTakenReadLimit bytes.
std::optional<DateTaken> FindDateTaken(SectorSource& source, const FoundFile& file);

// A digest of a find's whole content: the first 128 bits of its SHA-256, read in chunks of
// kFindReadChunk. Finds with equal digests hold the same bytes.
struct ContentDigest {
  uint64_t high = 0;
  uint64_t low = 0;
  friend bool operator==(const ContentDigest&, const ContentDigest&) = default;
  friend auto operator<=>(const ContentDigest&, const ContentDigest&) = default;
  std::string Hex() const;  // 32 lower-case hex digits
};

// Nothing when `cancel` was set on the way.
std::optional<ContentDigest> FindDigest(SectorSource& source, const FoundFile& file,
                                        const std::atomic<bool>* cancel = nullptr);

// Which finds repeat the content of an earlier find of the list: true for every find whose
// digest equals that of a find before it, false for the first of each group and for finds
// without a digest. Saving the finds marked false saves each content once.
std::vector<bool> RepeatedFinds(const std::vector<std::optional<ContentDigest>>& digests);

// What the filters of the results ask of a find's content, each part computed on request.
struct FindDetailParts {
  bool picture = false;
  bool date_taken = false;
  bool digest = false;
};

struct FindDetails {
  std::optional<FindPicture> picture;
  std::optional<DateTaken> date_taken;
  std::optional<ContentDigest> digest;
};

FindDetails ReadFindDetails(SectorSource& source, const FoundFile& file,
                            const FindDetailParts& parts, const FindDecodeOptions& options = {});

}  // namespace pictavo
