// Opens arbitrary bytes as a disk: partition tables and file systems through the library, our
// reads of the medium, the listing's encoding for the way back from the child process, the
// first-bytes check and the reads of each file through its map. Runs the library in this
// process, so that the sanitizers see our callbacks; the program itself runs it in a child.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "filesystems/named_content.h"
#include "filesystems/tsk_listing.h"
#include "platform/memory_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // File systems want room behind their boot sector: short inputs are padded with zeros.
  std::vector<uint8_t> medium(data, data + size);
  if (medium.size() < 65536) medium.resize(65536, 0);
  pictavo::MemorySectorSource source(std::move(medium), 512);
  pictavo::ListingOptions options;
  options.all_types = (size & 1) != 0;
  options.max_files = 10'000;
  pictavo::FileSystemListing listing = pictavo::ListFileSystemsInProcess(source, options);

  const std::vector<uint8_t> encoded = pictavo::EncodeListing(listing);
  if (!pictavo::DecodeListing(encoded.data(), encoded.size())) __builtin_trap();

  pictavo::ClassifyNamedFiles(source, listing);
  std::vector<uint8_t> buffer(4096);
  for (const pictavo::NamedFile& file : listing.files) {
    (void)pictavo::NamedFileShownPath(listing, file);
    (void)file.ContiguousOffset();
    pictavo::NamedFileSource content(source, file);
    uint64_t read = 0;
    for (uint64_t offset = 0; offset < file.size && read < (1 << 20); offset += buffer.size()) {
      uint32_t delivered = 0;
      content.ReadAt(offset, static_cast<uint32_t>(buffer.size()), buffer.data(),
                     pictavo::ReadRule::kChunk, &delivered);
      read += buffer.size();
    }
  }
  return 0;
}
