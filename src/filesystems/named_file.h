#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/file_types.h"

namespace pictavo {

// Where a piece of a file's content lies on the source. Runs are in file order and do not
// overlap; bytes of the file that no run covers read as zeros.
struct FileRun {
  uint64_t file_offset = 0;    // where the run starts in the file
  uint64_t source_offset = 0;  // where its bytes start on the source
  uint64_t length = 0;
  // Nothing to read: the file system records zeros here (a hole), or lost the run's place.
  bool sparse = false;
  // With `sparse`: the place was lost (a broken chain, a run outside the file system), so the
  // zeros stand for content that could not be found and the file counts as damaged.
  bool lost = false;

  friend bool operator==(const FileRun&, const FileRun&) = default;
};

enum class NamedFileState : uint8_t {
  kLive = 0,
  // Deleted, its first block is not in use by a live file and its content starts as its type's.
  kDeletedRecoverable = 1,
  // Deleted, and its content is gone: its first block belongs to another file, its map was
  // cleared, or its bytes do not start as its type's do.
  kDeletedOverwritten = 2,
};

// "live", "deleted, recoverable", "deleted, overwritten".
std::string_view NamedFileStateText(NamedFileState state);

// One file as a file system on the medium describes it.
struct NamedFile {
  uint32_t volume = 0;  // index into FileSystemListing::volumes
  std::string path;     // "DCIM/100CANON/IMG_0001.JPG", inside its file system, no leading '/'
  FileTypeId type = kTypeNone;
  uint64_t size = 0;
  // Seconds since 1970 (UTC); 0 when the file system keeps no such time.
  int64_t modified = 0;
  int64_t accessed = 0;
  int64_t created = 0;
  bool deleted = false;
  // Deleted files: the first block of the content is allocated to something else now.
  bool first_block_in_use = false;
  // Content small enough to live inside the file's record (NTFS): the bytes themselves.
  bool resident = false;
  std::vector<uint8_t> resident_bytes;
  std::vector<FileRun> runs;
  // Filled in after the listing: whether the first bytes are those of `type`, and the state.
  bool content_matches = false;
  NamedFileState state = NamedFileState::kLive;

  // The file's name without its folders.
  std::string_view Name() const;
  // The source offset of the first byte when the whole content lies in one run on the source.
  std::optional<uint64_t> ContiguousOffset() const;
  // Bytes of the content whose place the map lost.
  uint64_t LostBytes() const;
};

// One file system found on the medium.
struct FileSystemVolume {
  uint64_t offset = 0;  // on the source
  uint64_t size = 0;
  uint32_t block_size = 0;
  std::string type_name;  // "FAT32", "exFAT", "NTFS", "Ext4", ...
  // "Partition 2" when the medium has a partition table, else empty.
  std::string partition_name;
};

// What the file-system pass found on a medium.
struct FileSystemListing {
  std::vector<FileSystemVolume> volumes;
  std::vector<NamedFile> files;
  // Sentences about what could not be read: a file system that failed to open, a directory
  // loop, a broken cluster chain, a failed pass.
  std::vector<std::string> notes;
  // The pass did not finish (it crashed, or ran out of time): `files` holds nothing.
  bool pass_failed = false;
};

// The listing as bytes, for handing it from one process to another, and back. Decoding checks
// every length against what is left; nullopt for anything malformed.
std::vector<uint8_t> EncodeListing(const FileSystemListing& listing);
std::optional<FileSystemListing> DecodeListing(const uint8_t* data, size_t size);

// The type a file's name suggests, by its extension; kTypeNone when none does.
FileTypeId TypeFromFileName(std::string_view name);

}  // namespace pictavo
