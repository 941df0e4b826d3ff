#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/scan_engine.h"
#include "filesystems/named_file.h"

namespace pictavo {

// Texts shown to the user.
inline constexpr char kSnapshotSavedMessage[] = "Save Recovery is successfully saved";
inline constexpr char kNotASnapshotMessage[] = "Not a valid Save Recovery file.";

// The saved results of a scan: which source was scanned (its name, opened again when files are
// saved from the snapshot, and the label it was listed under), its size and what was found.
// Texts are UTF-8 here; the file stores them as UTF-16LE.
struct RecoverySnapshot {
  std::string source_name;
  std::string source_label;
  uint64_t source_size = 0;
  ScanResults results;
  // The files the source's file systems describe, when they were listed with the scan; kept in
  // the versioned layout only, so a snapshot without them is written as before.
  FileSystemListing named;
};

// Two layouts. The classic one, written whenever it holds the results exactly (only the classic
// types, every length below 4 GiB): a length byte and the tag "LSSI" in UTF-16LE, the source name
// and label each behind a length byte, the source size, the found count, the 26 type tallies,
// then 20-byte found-file records (32-bit lengths) up to the end of the file. 651 bytes plus the
// two texts plus the records.
inline constexpr size_t kSnapshotFixedBytes = 651;
inline constexpr size_t kSnapshotRecordBytes = 20;
inline constexpr uint64_t kClassicMaxLength = 0xFFFFFFFF;
// A text's byte length must fit its length byte: at most 127 UTF-16 code units.
inline constexpr size_t kSnapshotMaxTextUnits = 127;

// The versioned layout, for everything else: a length byte and the tag "LSSV" in UTF-16LE, a
// 32-bit format version, then sections, each a 32-bit id, a 64-bit byte length and its bytes.
// Readers skip sections they do not know, so later versions can add sections (and longer
// records: the record section states its record size) without breaking older readers of the
// same format version; a newer format version is refused with a clear reason.
inline constexpr uint32_t kSnapshotVersion = 2;
enum SnapshotSection : uint32_t {
  // Source name and label (16-bit length in UTF-16 units, then the units), source size.
  kSnapshotSectionSource = 1,
  // Found count, number of tallies (32-bit), the tallies of the types from 0 on.
  kSnapshotSectionTallies = 2,
  // Record count (64-bit), record size (32-bit), then records: selected flag (32-bit), type
  // (32-bit), offset (64-bit), length (64-bit).
  kSnapshotSectionRecords = 3,
  // The files with names: the byte length (64-bit) of the listing as EncodeListing gives it
  // (64-bit sizes and offsets throughout), the listing, the file count (64-bit), then for each
  // file whether its content starts as its type's (8-bit) and its state (8-bit).
  kSnapshotSectionNamedFiles = 4,
};
inline constexpr uint32_t kVersionedRecordBytes = 24;

// True when `results` need the versioned layout: a type outside the classic set, a length of 4 GiB
// or more, or a tally of a type outside the classic set.
bool NeedsVersionedSnapshot(const ScanResults& results);
// The same for a whole snapshot: its results need it, it holds files with names, or a text holds
// a NUL character (the classic layout's texts end at the first one).
bool NeedsVersionedSnapshot(const RecoverySnapshot& snapshot);

// The largest snapshot this program writes and reads back.
inline constexpr uint64_t kMaxSnapshotBytes = uint64_t{1} << 30;

// The bytes EncodeSnapshot gives for `snapshot` (in the layout it picks), worked out without
// encoding the found-file records; the room a save needs on its destination.
uint64_t SnapshotByteSize(const RecoverySnapshot& snapshot);
// Empty when a snapshot of `bytes` bytes can be written and loaded again; otherwise why not.
std::string SnapshotSizeProblem(uint64_t bytes);

struct SnapshotStatus {
  bool ok = false;
  // errno of a failed system call, 0 otherwise.
  int error_code = 0;
  // For the user when !ok; kSnapshotSavedMessage after a successful write.
  std::string message;
};

// Empty when both texts can be stored; otherwise why the snapshot cannot be saved. Callers check
// this before a long scan whose results are to be saved.
std::string SnapshotTextProblem(const std::string& source_name, const std::string& source_label);

// The file's bytes, exactly as they are written, in the classic layout when it can hold them and
// in the versioned one otherwise: every record of `results.records` (the spare record last) with
// its selected flag written as 0. Nullopt, with the reason, when a text is too
// long for its length byte.
std::optional<std::vector<uint8_t>> EncodeSnapshot(const RecoverySnapshot& snapshot,
                                                   std::string* error);

// Reads a snapshot's bytes, of either layout. A file without the leading tag, or one that ends
// inside its header, its tallies or a record, is refused with the reason and `*out` is left as it
// was. Selected flags other than 0 mark files for recovery. The found count and tallies are taken
// as stored.
bool DecodeSnapshot(std::span<const uint8_t> bytes, RecoverySnapshot* out, std::string* error);

// A snapshot cut exactly after a record loads without complaint, since the records run to the end
// of the file; the found count stored in its header tells. Empty when the records agree with that
// count; otherwise a warning for the user that the snapshot looks incomplete.
std::string SnapshotCountWarning(const RecoverySnapshot& snapshot);

// What WriteSnapshot does with a file already at its path.
enum class ExistingSnapshot { kReplace, kRefuse };

// Writes to a temporary file in the same folder and renames it over `path`, so that an existing
// snapshot is replaced whole or not at all (with kRefuse an existing file is never replaced and
// the write fails with EEXIST). Every write is checked; on failure nothing is left behind and the
// status says why.
SnapshotStatus WriteSnapshot(const std::string& path, const RecoverySnapshot& snapshot,
                             ExistingSnapshot existing = ExistingSnapshot::kReplace);

// Reads and decodes `path`; `*out` changes only on success.
SnapshotStatus ReadSnapshot(const std::string& path, RecoverySnapshot* out);

// The quick check made before a snapshot is loaded: the first byte is a length n and the next n
// bytes, read as a NUL-terminated UTF-16LE string, are "LSSI" (or "LSSV", the versioned layout).
bool CheckSnapshotFile(const std::string& path);
bool HasSnapshotTag(std::span<const uint8_t> bytes);

// "Oskel_Save_Recovery_Snap Tuesday, March 05, 2024,142233.dat" for the given local time.
std::string DefaultSnapshotFileName(std::time_t now);

// The sum of the lengths of the files marked for recovery.
uint64_t SelectedTotal(const ScanResults& results);

}  // namespace pictavo
