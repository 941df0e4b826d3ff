#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace pictavo {

// What is known of an area of the medium being imaged. The characters are those of GNU
// ddrescue's mapfile, so that its tools (ddrescuelog) read the maps this program keeps.
enum class AreaStatus : char {
  kNonTried = '?',    // not read yet
  kNonTrimmed = '*',  // a large read failed somewhere in it; its edges are still to be read
  kNonScraped = '/',  // between two bad sectors found by trimming; to be read sector by sector
  kBadSector = '-',   // a sector read alone failed
  kFinished = '+',    // read and stored in the image
};

// The pass an imaging run is in, as the mapfile's current status records it.
enum class RescuePhase : char {
  kCopying = '?',
  kTrimming = '*',
  kScraping = '/',
  kRetrying = '-',
  kFinished = '+',
};

struct MapArea {
  uint64_t pos = 0;
  uint64_t size = 0;
  AreaStatus status = AreaStatus::kNonTried;
  uint64_t end() const { return pos + size; }
};

// The state of every byte of a medium of `size()` bytes, as contiguous areas from 0 to the end,
// neighbours of the same status always merged.
class RescueMap {
 public:
  explicit RescueMap(uint64_t size = 0);

  uint64_t size() const { return size_; }

  // Gives [pos, pos + length) the status `status` (clipped to the medium).
  void Mark(uint64_t pos, uint64_t length, AreaStatus status);

  // The area holding byte `pos` (pos < size()).
  MapArea AreaAt(uint64_t pos) const;

  // The first area of status `status` that ends after `pos` (forward), or the last one that
  // starts before `pos` (backward); false when there is none.
  bool FindForward(AreaStatus status, uint64_t pos, MapArea* out) const;
  bool FindBackward(AreaStatus status, uint64_t pos, MapArea* out) const;

  // Bytes and number of areas of a status.
  uint64_t Bytes(AreaStatus status) const;
  size_t AreaCount(AreaStatus status) const;
  std::vector<MapArea> Areas() const;

  // Where the run stood when the map was saved.
  uint64_t current_pos = 0;
  RescuePhase phase = RescuePhase::kCopying;
  int pass = 1;

  // The mapfile text; `command_line` goes into its header comment.
  std::string Format(const std::string& command_line) const;

  // Reads a mapfile. Areas must be in order, contiguous, start at 0 and have known statuses; a
  // map that covers less than its medium gets the rest as not tried. False with the reason
  // otherwise.
  static bool Parse(std::string_view text, RescueMap* out, std::string* error);

 private:
  void SplitAt(uint64_t pos);
  void MergeAround(uint64_t pos);
  static int Index(AreaStatus status);
  void Count(AreaStatus status, int areas, int64_t bytes);

  uint64_t size_ = 0;
  // Bytes and areas per status, kept up to date by every change, so that a progress display can
  // ask for them after each read.
  uint64_t bytes_[5] = {};
  size_t counts_[5] = {};
  // Start of each area -> (size, status).
  std::map<uint64_t, std::pair<uint64_t, AreaStatus>> areas_;
};

// Writes the map to `path` through a temporary file in the same folder that is flushed and then
// renamed over it, so that a crash leaves either the old map or the new one. False with errno.
bool SaveMapFile(const RescueMap& map, const std::string& path, const std::string& command_line,
                 int* error);

// Reads the map at `path`; false with the reason (the system's text or what is wrong).
bool LoadMapFile(const std::string& path, RescueMap* map, std::string* error);

// A bar of `cells` cells over the medium for a progress display: each cell takes the status that
// matters most among the bytes it covers (bad, then non-trimmed/non-scraped, then not tried, then
// finished).
std::vector<AreaStatus> MapBar(const RescueMap& map, size_t cells);

}  // namespace pictavo
