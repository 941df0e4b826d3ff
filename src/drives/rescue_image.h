#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "drives/disk_image.h"
#include "drives/rescue_map.h"
#include "platform/sector_source.h"

namespace pictavo {

// How an imaging run with a map reads a failing medium.
struct RescueOptions {
  // The map file: created with the image, read back when the same run is started again.
  std::string map_path;
  // Passes over the bad sectors after scraping.
  int retries = 0;
  // Read from the end of the medium towards its start.
  bool reverse = false;
  // Sectors per read in the copying passes.
  uint32_t cluster_sectors = 128;
  // The map is saved at least this often, and at every stop.
  double map_save_seconds = 30;
  // A read that has not returned after this long is abandoned and its area counts as failed for
  // this pass; 0 waits for every read. Needs a source that can be opened twice.
  double read_timeout_seconds = 0;
  // How often the observer hears of the run; 0 after every read.
  double status_seconds = 0.1;
  // Written into the map's header.
  std::string command_line;
};

// What an imaging run with a map has done so far.
struct RescueProgress {
  const RescueMap* map = nullptr;
  RescuePhase phase = RescuePhase::kCopying;
  int pass = 1;
  uint64_t position = 0;
  uint64_t rescued = 0;        // bytes in the image
  uint64_t failed_bytes = 0;   // non-trimmed, non-scraped and bad-sector bytes
  size_t error_areas = 0;      // areas of those
  uint64_t read_this_run = 0;  // bytes read successfully since this run started
  double rate = 0;             // bytes per second over the last few seconds
  double seconds_since_good_read = 0;
  double elapsed = 0;
};

class RescueObserver {
 public:
  virtual ~RescueObserver() = default;
  // Once the image and the map are ready, before the first read; `resumed` when both existed.
  virtual void OnStart(uint64_t /*data_size*/, uint16_t /*sector_size*/, bool /*resumed*/) {}
  // Now and then while reading, and once when the run ends. The map is valid during the call.
  virtual void OnStatus(const RescueProgress& /*progress*/) {}
};

// Copies `source` into the disk image at `image_path` keeping a GNU ddrescue-style map at
// options.map_path: a copying pass in large reads that skips ahead past failures, trimming at the
// edges of failed areas, scraping sector by sector, then the retry passes. When both files exist
// the run continues from the map and reads nothing it already read. The image always has its
// trailer; what was not read is a hole (zeros). Stopping by `cancel`, or losing the source, keeps
// both files (outcomes kStopped and kSourceLost); a finished run gives kCreated.
ImageCreationResult RescueDiskImage(SectorSource& source, const std::string& image_path,
                                    const RescueOptions& options, RescueObserver* observer,
                                    const std::atomic<bool>* cancel);

// The same by the source's name.
ImageCreationResult RescueDiskImage(const std::string& source_name, const std::string& image_path,
                                    const RescueOptions& options, RescueObserver* observer,
                                    const std::atomic<bool>* cancel);

// Writes `size` bytes at `position` of a file whose unwritten parts read as zeros, leaving out
// every all-zero piece between 4 KiB boundaries of the file, so that the file system keeps holes
// there whatever the alignment of the caller's blocks.
bool WriteLeavingHoles(int fd, const uint8_t* data, size_t size, uint64_t position, int* error);

// A second handle on a block device source that reads around the page cache (O_DIRECT), so that
// single sectors can be read on their own; null for other sources or when the device refuses.
std::unique_ptr<SectorSource> DirectTwin(SectorSource& source);

// True for the errors of a medium that has gone away (pulled out, powered down).
bool SourceGoneError(int error);

}  // namespace pictavo
