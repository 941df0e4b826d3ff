// The files a user hands us to open: recovery snapshots (both layouts), scan checkpoints, the
// file-system listing passed from the child process, and disk image trailers. The first byte of
// the input picks the reader, the rest is the file. What loads is checked further: a snapshot is
// saved again and must load as the same, with the size worked out beforehand; a checkpoint is
// written again and must read back as the same.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "drives/disk_image.h"
#include "filesystems/named_file.h"
#include "platform/sector_source.h"
#include "results/scan_checkpoint.h"
#include "results/snapshot.h"

namespace {

// One in-memory file, rewritten for every input and opened by name through /proc.
struct MemoryFile {
  int fd = -1;
  std::string path;
};

const MemoryFile& Scratch() {
  static const MemoryFile file = [] {
    MemoryFile made;
    made.fd = memfd_create("fuzz_stored", MFD_CLOEXEC);
    if (made.fd < 0) std::abort();
    made.path = "/proc/self/fd/" + std::to_string(made.fd);
    return made;
  }();
  return file;
}

// The folder for checkpoints written back, made on first use and removed when the run ends.
std::string scratch_folder;

const std::string& ScratchFolder() {
  if (scratch_folder.empty()) {
    // In memory where there is such a folder: the checkpoint writer flushes every file it writes.
    char in_memory[] = "/dev/shm/fuzz_stored.XXXXXX";
    char on_disk[] = "/tmp/fuzz_stored.XXXXXX";
    const char* name = mkdtemp(in_memory);
    if (!name) name = mkdtemp(on_disk);
    if (!name) std::abort();
    scratch_folder = name;
  }
  return scratch_folder;
}

const std::string& Store(const uint8_t* data, size_t size) {
  const MemoryFile& file = Scratch();
  if (ftruncate(file.fd, 0) != 0) std::abort();
  size_t done = 0;
  while (done < size) {
    const ssize_t wrote = pwrite(file.fd, data + done, size - done, static_cast<off_t>(done));
    if (wrote <= 0) std::abort();
    done += static_cast<size_t>(wrote);
  }
  return file.path;
}

bool SameNamed(const pictavo::FileSystemListing& a, const pictavo::FileSystemListing& b) {
  if (pictavo::EncodeListing(a) != pictavo::EncodeListing(b)) return false;
  for (size_t i = 0; i < a.files.size(); ++i) {
    if (a.files[i].content_matches != b.files[i].content_matches ||
        a.files[i].state != b.files[i].state) {
      return false;
    }
  }
  return true;
}

void Snapshot(std::span<const uint8_t> bytes) {
  // The quick check before a load looks at the file's first 256 bytes, which hold the whole tag.
  if (pictavo::CheckSnapshotFile(Store(bytes.data(), bytes.size())) !=
      pictavo::HasSnapshotTag(bytes)) {
    __builtin_trap();
  }
  pictavo::RecoverySnapshot loaded;
  std::string error;
  if (!pictavo::DecodeSnapshot(bytes, &loaded, &error)) {
    if (error.empty()) __builtin_trap();
    return;
  }
  (void)pictavo::SnapshotCountWarning(loaded);
  (void)pictavo::SelectedTotal(loaded.results);
  const uint64_t predicted = pictavo::SnapshotByteSize(loaded);
  const auto saved = pictavo::EncodeSnapshot(loaded, &error);
  if (!saved) return;
  if (saved->size() != predicted) __builtin_trap();
  pictavo::RecoverySnapshot again;
  if (!pictavo::DecodeSnapshot(*saved, &again, &error)) __builtin_trap();
  // Marks are never saved, nor are the notes of a listing that has nothing else.
  for (pictavo::FoundFile& file : loaded.results.records) file.selected = 0;
  if (loaded.named.files.empty() && loaded.named.volumes.empty() && !loaded.named.pass_failed) {
    loaded.named.notes.clear();
  }
  if (again.source_name != loaded.source_name || again.source_label != loaded.source_label ||
      again.source_size != loaded.source_size ||
      again.results.found_count != loaded.results.found_count ||
      again.results.tallies != loaded.results.tallies ||
      again.results.records != loaded.results.records || !SameNamed(again.named, loaded.named)) {
    __builtin_trap();
  }
}

void Checkpoint(const uint8_t* data, size_t size) {
  pictavo::ScanCheckpoint loaded;
  std::string error;
  const std::string& stored = Store(data, size);
  const bool looks_like_one = pictavo::IsScanCheckpointFile(stored);
  if (!pictavo::ReadScanCheckpoint(stored, &loaded, &error)) {
    if (error.empty()) __builtin_trap();
    return;
  }
  if (!looks_like_one) __builtin_trap();
  const std::string path = ScratchFolder() + "/checkpoint";
  int code = 0;
  if (!pictavo::WriteScanCheckpoint(path, loaded, &code)) std::abort();
  pictavo::ScanCheckpoint again;
  if (!pictavo::ReadScanCheckpoint(path, &again, &error)) __builtin_trap();
  // The name shares its line with nothing else: a carriage return is written as a space.
  for (char& c : loaded.source_name) {
    if (c == '\r') c = ' ';
  }
  bool same_types = true;
  for (pictavo::FileTypeId id = 0; id < pictavo::kTypeCount; ++id) {
    same_types = same_types && again.selection.IsSelected(id) == loaded.selection.IsSelected(id);
  }
  if (!same_types || again.source_name != loaded.source_name ||
      again.source_size != loaded.source_size || again.sector_size != loaded.sector_size ||
      again.literal != loaded.literal || again.exact_ends != loaded.exact_ends ||
      again.free_space != loaded.free_space || again.free_space_areas != loaded.free_space_areas ||
      again.position != loaded.position || again.results.records != loaded.results.records ||
      again.results.tallies != loaded.results.tallies ||
      again.results.found_count != loaded.results.found_count) {
    __builtin_trap();
  }
}

void Listing(const uint8_t* data, size_t size) {
  const auto listing = pictavo::DecodeListing(data, size);
  if (!listing) return;
  const std::vector<uint8_t> again = pictavo::EncodeListing(*listing);
  if (again.size() != size || !std::equal(again.begin(), again.end(), data)) __builtin_trap();
  for (const pictavo::NamedFile& file : listing->files) {
    (void)file.Name();
    (void)file.ContiguousOffset();
    (void)file.LostBytes();
  }
}

void Image(const uint8_t* data, size_t size) {
  const std::string& path = Store(data, size);
  const bool usable = pictavo::CheckImageFile(path);
  const auto info = pictavo::ReadImageInfo(path);
  if (info && info->file_size != size) __builtin_trap();
  if (info && usable != info->problem.empty()) __builtin_trap();
  int error = 0;
  std::string reason;
  auto source = pictavo::FileSectorSource::Open(path, pictavo::OpenOptions{}, &error, &reason);
  if (!source) return;
  const uint64_t medium = source->Size();
  if (medium > size) __builtin_trap();
  std::vector<uint8_t> buffer(source->SectorSize());
  for (const uint64_t offset : {uint64_t{0}, medium > buffer.size() ? medium - buffer.size() : 0}) {
    uint32_t delivered = 0;
    source->ReadAt(offset, static_cast<uint32_t>(buffer.size()), buffer.data(),
                   pictavo::ReadRule::kChunk, &delivered);
    if (delivered > buffer.size()) __builtin_trap();
  }
}

// How often, and for how long, each reader ran; printed when the run ends.
struct Tally {
  const char* name;
  uint64_t runs = 0;
  std::chrono::steady_clock::duration time{};
};
Tally tallies[] = {{"snapshot"}, {"checkpoint"}, {"listing"}, {"image"}};

void AtExit() {
  if (!scratch_folder.empty()) {
    unlink((scratch_folder + "/checkpoint").c_str());
    rmdir(scratch_folder.c_str());
  }
  for (const Tally& tally : tallies) {
    std::fprintf(stderr, "fuzz_stored: %-10s %12llu runs %8.1f s\n", tally.name,
                 static_cast<unsigned long long>(tally.runs),
                 std::chrono::duration<double>(tally.time).count());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::atexit(AtExit);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t* file = data + 1;
  const size_t file_size = size - 1;
  Tally& tally = tallies[data[0] % 4];
  const auto start = std::chrono::steady_clock::now();
  switch (data[0] % 4) {
    case 0:
      Snapshot(std::span<const uint8_t>(file, file_size));
      break;
    case 1:
      Checkpoint(file, file_size);
      break;
    case 2:
      Listing(file, file_size);
      break;
    default:
      Image(file, file_size);
      break;
  }
  ++tally.runs;
  tally.time += std::chrono::steady_clock::now() - start;
  return 0;
}
