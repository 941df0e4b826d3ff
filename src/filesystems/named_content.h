#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "filesystems/named_file.h"
#include "platform/sector_source.h"
#include "results/recovery.h"

namespace pictavo {

// A named file's content as a medium of its own, read through the file's map: byte 0 is the
// file's first byte. Parts the map does not cover, or marks as holes, read as zeros; a part the
// medium cannot read fails as the medium's read does. Never writes anything.
class NamedFileSource : public SectorSource {
 public:
  NamedFileSource(SectorSource& medium, const NamedFile& file);

  int64_t Pread(uint64_t offset, uint8_t* buffer, uint32_t count, int* error) override;
  uint16_t SectorSize() override { return medium_.SectorSize(); }
  uint64_t Size() const override { return file_.size; }
  const std::string& Name() const override { return medium_.Name(); }
  const uint8_t* View(uint64_t offset, uint32_t count) override;
  const uint8_t* Peek(uint64_t offset, uint32_t count) override;

  // The source offset of the file's byte at `offset`; nullopt inside a hole.
  std::optional<uint64_t> SourceOffsetOf(uint64_t offset) const;

 private:
  // The run holding `offset`, or null in a hole.
  const FileRun* RunAt(uint64_t offset) const;

  SectorSource& medium_;
  const NamedFile& file_;
};

// Sets content_matches and state of every file: whether its first bytes are those of its type
// (the type's recogniser says so), and from that and its flags whether it is live, deleted and
// recoverable, or deleted and overwritten.
void ClassifyNamedFiles(SectorSource& medium, FileSystemListing& listing);

// The path a file is listed and saved under: its path in its file system, behind
// "Partition 2 (NTFS)/" when the medium holds more than one file system. Folders named "." or
// ".." and empty names are shown as "_", so that a saved path never leaves the destination.
std::string NamedFileShownPath(const FileSystemListing& listing, const NamedFile& file);

// The bytes of the files `which` (indices into listing.files; others are passed over), held at
// UINT64_MAX: sizes come from the medium, and a wrapped sum would pass a room check.
uint64_t NamedFilesBytes(const FileSystemListing& listing, const std::vector<size_t>& which);

// For each find of `results`, in list order, the shown path of the named file whose content
// starts at the find's first byte, or "" when none does. A live file wins over a deleted one
// that starts at the same byte.
std::vector<std::string> NamesOfFinds(const FileSystemListing& listing, const ScanResults& results);

// Saves the files `which` (indices into listing.files) under `folder`, each in the folders of
// its shown path, which are created as needed, with its own name; a taken name gets the next
// free one ("IMG_0001 (2).JPG"), so that nothing is overwritten. The files keep their
// modification times. Content is read through each file's map as NamedFileSource reads it;
// unreadable parts become zeros and the file is reported damaged. Does not check the
// destination: callers run CheckDestination first.
SaveSummary SaveNamedFiles(SectorSource& medium, const FileSystemListing& listing,
                           const std::vector<size_t>& which, const std::string& folder,
                           SaveObserver* observer, const std::atomic<bool>* cancel);

}  // namespace pictavo
