#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pictavo {

// Small POSIX helpers for the files this program writes (disk images, snapshots, recovered files).
// Every failure comes back with its errno value.

// Creates `path`, which must not exist yet (never replaces a file). -1 with errno on failure.
int CreateNewFile(const std::string& path, int* error);

// Writes all `size` bytes, retrying short and interrupted writes. A write that makes no progress
// counts as a failure (ENOSPC).
bool WriteFully(int fd, const void* data, size_t size, int* error);

// Writes like WriteFully at the file position of `fd`, which must be `position` bytes from the
// start, but steps over every 4 KiB block of zeros (counted from the start of the file) instead
// of writing it, so that the file system may leave a hole there. The file reads back the same
// once its length is set (see EndSparseFile).
bool WriteSkippingZeroBlocks(int fd, const void* data, size_t size, uint64_t position, int* error);

// Gives a file written with WriteSkippingZeroBlocks its full `length` when its last blocks were
// stepped over.
bool EndSparseFile(int fd, uint64_t length, int* error);

// Flushes the file to its medium and closes it, so that a late write error (a full disk, a pulled
// card) is reported here rather than lost. The descriptor is closed in every case.
bool SyncAndClose(int fd, int* error);

// Reads a whole file of at most `max_bytes` bytes (EFBIG when it is larger).
bool ReadWholeFile(const std::string& path, size_t max_bytes, std::vector<uint8_t>* out,
                   int* error);

// Gives the finished file `temp_path` the name `final_path` in the same folder without ever
// replacing a file of that name: a rename that refuses to replace (renameat2 RENAME_NOREPLACE) or,
// where the file system lacks it, a hard link followed by the removal of the temporary name; on
// file systems with neither (vfat, some FUSE ones) a plain rename after a look that the name is
// free. EEXIST when the name is taken, and the temporary file is then left as it was.
bool MoveIntoPlace(const std::string& temp_path, const std::string& final_path, int* error);

// Saved files are written under a temporary name in their folder and get their own name only when
// complete, so that a crash leaves no partial file under a name that looks finished. The
// temporary names are ".pictavo-<process id>-<n>.<final name>.part".
inline constexpr char kPartialFilePrefix[] = ".pictavo-";
inline constexpr char kPartialFileSuffix[] = ".part";
std::string PartialFileName(const std::string& final_name);

// Removes from `folder` the temporary files of saving runs that ended before finishing them (a
// crash, a kill, a power cut): only regular files named as PartialFileName names them, owned by
// this user, whose process is gone. Other files are never touched. Returns how many went.
size_t RemoveStalePartialFiles(const std::string& folder);

// The folder part of a file path: "dir" for "dir/name", "." for "name", "/" for "/name".
std::string FolderOf(const std::string& path);

// `name` itself when no file of that name exists in `folder`, else the first free
// "stem (2).ext", "stem (3).ext", ... The caller still creates the file with CreateNewFile, which
// catches a file that appeared in between.
std::string NextFreeName(const std::string& folder, const std::string& name);

}  // namespace pictavo
