#include "results/scan_checkpoint.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/output_file.h"
#include "platform/system_error.h"

namespace pictavo {
namespace {

// The medium as seen from `start` on: the bytes before it read as a hole, which the scan steps
// over without reading, and everything from `start` on is the medium's own.
class FromOffset : public SectorSource {
 public:
  FromOffset(SectorSource* medium, uint64_t start, std::unique_ptr<SectorSource> owned = nullptr)
      : owned_(std::move(owned)), medium_(medium), start_(start) {}

  int64_t Pread(uint64_t offset, uint8_t* buffer, uint32_t count, int* error) override {
    if (offset >= start_) return medium_->Pread(offset, buffer, count, error);
    const uint64_t zeros = std::min<uint64_t>(count, start_ - offset);
    std::memset(buffer, 0, zeros);
    return static_cast<int64_t>(zeros);
  }
  uint16_t SectorSize() override { return medium_->SectorSize(); }
  uint64_t Size() const override { return medium_->Size(); }
  const std::string& Name() const override { return medium_->Name(); }
  const uint8_t* View(uint64_t offset, uint32_t count) override {
    return offset >= start_ ? medium_->View(offset, count) : nullptr;
  }
  const uint8_t* Peek(uint64_t offset, uint32_t count) override {
    return offset >= start_ ? medium_->Peek(offset, count) : nullptr;
  }
  uint64_t NextData(uint64_t offset) override {
    return medium_->NextData(offset < start_ ? start_ : offset);
  }
  std::unique_ptr<SectorSource> Clone() const override {
    std::unique_ptr<SectorSource> clone = medium_->Clone();
    if (!clone) return nullptr;
    SectorSource* raw = clone.get();
    return std::make_unique<FromOffset>(raw, start_, std::move(clone));
  }

 private:
  std::unique_ptr<SectorSource> owned_;
  SectorSource* medium_;
  uint64_t start_;
};

// Passes reports on with found counts that go on from an earlier part of the scan.
class CountingOn : public ScanObserver {
 public:
  CountingOn(ScanObserver* next, uint64_t earlier) : next_(next), earlier_(earlier) {}
  void OnStart(uint64_t size, uint16_t sector_size) override {
    if (next_) next_->OnStart(size, sector_size);
  }
  void OnProgress(uint32_t percent, uint64_t mib, uint64_t position) override {
    if (next_) next_->OnProgress(percent, mib, position);
  }
  void OnFound(uint64_t count, const FoundFile& file) override {
    if (next_) next_->OnFound(earlier_ + count, file);
  }

 private:
  ScanObserver* next_;
  uint64_t earlier_;
};

std::string SelectionText(const FileTypeSelection& selection) {
  std::string out;
  for (FileTypeId id = 0; id < kTypeCount; ++id) {
    if (!selection.IsSelected(id)) continue;
    if (!out.empty()) out += ',';
    out += ExtensionOf(id);
  }
  return out;
}

bool ParseU64(std::string_view text, uint64_t* out) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *out = value;
  return true;
}

bool ParseHex64(std::string_view text, uint64_t* out) {
  if (text.empty() || text.size() > 16) return false;
  uint64_t value = 0;
  for (char c : text) {
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) return false;
    value = value << 4 | static_cast<uint64_t>(digit);
  }
  *out = value;
  return true;
}

// The pieces of a text between separators, one at a time: a text of nothing but separators (a
// file of blank lines, a line of commas) takes no more memory than its own bytes. An empty text
// is one empty piece.
class Pieces {
 public:
  Pieces(std::string_view text, char separator) : text_(text), separator_(separator) {}
  bool Next(std::string_view* piece) {
    if (done_) return false;
    const size_t end = text_.find(separator_, begin_);
    if (end == std::string_view::npos) {
      *piece = text_.substr(begin_);
      done_ = true;
    } else {
      *piece = text_.substr(begin_, end - begin_);
      begin_ = end + 1;
    }
    return true;
  }

 private:
  std::string_view text_;
  char separator_;
  size_t begin_ = 0;
  bool done_ = false;
};

// The `count` fields of a line separated by single spaces; false when it has another number.
bool Fields(std::string_view line, size_t count, std::vector<std::string_view>* fields) {
  Pieces pieces(line, ' ');
  std::string_view piece;
  fields->clear();
  while (pieces.Next(&piece)) {
    if (fields->size() == count) return false;
    fields->push_back(piece);
  }
  return fields->size() == count;
}

}  // namespace

FreeSpaceDigest DigestOfAreas(const std::vector<ByteRange>& areas) {
  FreeSpaceDigest digest;
  digest.hash = 14695981039346656037ull;
  const auto add = [&digest](uint64_t value) {
    for (int i = 0; i < 8; ++i) {
      digest.hash ^= (value >> (8 * i)) & 0xFF;
      digest.hash *= 1099511628211ull;
    }
  };
  for (const ByteRange& area : areas) {
    add(area.offset);
    add(area.length);
    digest.bytes += area.length;
  }
  digest.areas = areas.size();
  return digest;
}

ScanResults CombineScanResults(const ScanResults& earlier, const ScanResults& later,
                               uint64_t position, bool exact_ends) {
  ScanResults out;
  const FoundFile earlier_spare = earlier.records.empty() ? FoundFile{} : earlier.records.back();
  uint64_t mpeg_start = 0, mpeg_length = 0;
  for (const FoundFile& file : earlier.Found()) {
    out.records.push_back(file);
    if (file.type == kTypeMpeg) {
      mpeg_start = file.offset;
      mpeg_length = file.length;
    }
  }
  bool later_found = false;
  for (const FoundFile& file : later.Found()) {
    if (file.offset < position) continue;
    if (exact_ends && file.type == kTypeMpeg && file.offset >= mpeg_start &&
        file.offset - mpeg_start < mpeg_length) {
      continue;
    }
    out.records.push_back(file);
    later_found = true;
  }
  // The spare keeps the last candidate's offset: the later part's, unless it saw none.
  FoundFile spare = later.records.empty() ? earlier_spare : later.records.back();
  if (!later_found && spare.offset < position) spare = earlier_spare;
  for (const FoundFile& file : out.records) {
    TypeTally& tally = out.tallies[file.type < kTypeCount ? file.type : 0];
    tally.present = 1;
    tally.count += 1;
    tally.total_bytes += file.length;
  }
  out.found_count = out.records.size();
  out.records.push_back(spare);
  return out;
}

ScanStatus ResumeScan(SectorSource& source, const ScanOptions& options, uint64_t position,
                      uint64_t earlier_found, ScanResults& later, ScanObserver* observer,
                      const std::atomic<bool>* stop_flag) {
  FromOffset from(&source, position);
  CountingOn counting(observer, earlier_found);
  return RunScan(from, options, later, &counting, stop_flag);
}

bool WriteScanCheckpoint(const std::string& path, const ScanCheckpoint& checkpoint, int* error) {
  std::string text =
      std::string(checkpoint.free_space ? kFreeSpaceCheckpointMagic : kCheckpointMagic) + "\n";
  char line[160];
  // The source's name goes last on its line: it may hold any character but a line break.
  std::string name = checkpoint.source_name;
  for (char& c : name) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  text += "source " + name + "\n";
  std::snprintf(line, sizeof(line), "size %" PRIu64 "\nsector %u\nmode %s\nposition %" PRIu64 "\n",
                checkpoint.source_size, checkpoint.sector_size,
                checkpoint.literal ? "literal" : "normal", checkpoint.position);
  text += line;
  if (checkpoint.exact_ends) text += "ends exact\n";
  if (checkpoint.free_space) {
    std::snprintf(line, sizeof(line), "space free %" PRIu64 " %" PRIu64 " %016" PRIx64 "\n",
                  checkpoint.free_space_areas.areas, checkpoint.free_space_areas.bytes,
                  checkpoint.free_space_areas.hash);
    text += line;
  }
  text += "types " + SelectionText(checkpoint.selection) + "\n";
  for (const FoundFile& file : checkpoint.results.records) {
    std::snprintf(line, sizeof(line), "record %u %" PRIu64 " %" PRIu64 "\n", file.type, file.offset,
                  file.length);
    text += line;
  }
  text += "end\n";
  const std::string temp = path + ".tmp";
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    *error = errno;
    return false;
  }
  if (!WriteFully(fd, text.data(), text.size(), error) || !SyncAndClose(fd, error)) {
    unlink(temp.c_str());
    return false;
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    *error = errno;
    unlink(temp.c_str());
    return false;
  }
  return true;
}

bool ReadScanCheckpoint(const std::string& path, ScanCheckpoint* out, std::string* error) {
  std::vector<uint8_t> bytes;
  int code = 0;
  if (!ReadWholeFile(path, size_t{1} << 30, &bytes, &code)) {
    *error = SystemErrorText(code);
    return false;
  }
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  Pieces lines(text, '\n');
  std::string_view first;
  if (!lines.Next(&first) || (first != kCheckpointMagic && first != kFreeSpaceCheckpointMagic)) {
    *error = "not a scan checkpoint";
    return false;
  }
  const bool free_space_format = first == kFreeSpaceCheckpointMagic;
  bool have_space = false;
  ScanCheckpoint checkpoint;
  checkpoint.selection.SelectAll(false);
  bool ended = false;
  bool have[5] = {};
  std::string_view line;
  for (size_t i = 1; !ended && lines.Next(&line); ++i) {
    const size_t space = line.find(' ');
    const std::string_view key = line.substr(0, space);
    const std::string_view value = space == std::string_view::npos ? "" : line.substr(space + 1);
    const auto bad = [&] {
      *error = "line " + std::to_string(i + 1) + " is damaged";
      return false;
    };
    uint64_t number = 0;
    if (key == "source") {
      checkpoint.source_name = std::string(value);
      have[0] = true;
    } else if (key == "size") {
      if (!ParseU64(value, &checkpoint.source_size)) return bad();
      have[1] = true;
    } else if (key == "sector") {
      if (!ParseU64(value, &number) || number == 0 || number > 65535) return bad();
      checkpoint.sector_size = static_cast<uint16_t>(number);
      have[2] = true;
    } else if (key == "mode") {
      if (value != "normal" && value != "literal") return bad();
      checkpoint.literal = value == "literal";
    } else if (key == "ends") {
      if (value != "rules" && value != "exact") return bad();
      checkpoint.exact_ends = value == "exact";
    } else if (key == "space") {
      // Only format 2 describes the free space; format 1 always scans the whole source.
      std::vector<std::string_view> parts;
      if (!free_space_format || have_space || !Fields(value, 4, &parts) || parts[0] != "free" ||
          !ParseU64(parts[1], &checkpoint.free_space_areas.areas) ||
          !ParseU64(parts[2], &checkpoint.free_space_areas.bytes) ||
          !ParseHex64(parts[3], &checkpoint.free_space_areas.hash)) {
        return bad();
      }
      checkpoint.free_space = true;
      have_space = true;
    } else if (key == "position") {
      if (!ParseU64(value, &checkpoint.position)) return bad();
      have[3] = true;
    } else if (key == "types") {
      Pieces extensions(value, ',');
      std::string_view ext;
      while (extensions.Next(&ext)) {
        if (ext.empty()) continue;
        const auto id = TypeFromExtension(ext);
        if (!id) {
          *error = "unknown type '" + std::string(ext) + "'";
          return false;
        }
        checkpoint.selection.Set(*id, true);
      }
      have[4] = true;
    } else if (key == "record") {
      std::vector<std::string_view> parts;
      uint64_t type = 0, offset = 0, length = 0;
      if (!Fields(value, 3, &parts) || !ParseU64(parts[0], &type) || !ParseU64(parts[1], &offset) ||
          !ParseU64(parts[2], &length) || type >= kTypeCount) {
        return bad();
      }
      FoundFile file;
      file.type = static_cast<FileTypeId>(type);
      file.offset = offset;
      file.length = length;
      checkpoint.results.records.push_back(file);
    } else if (key == "end") {
      ended = true;
    } else if (!line.empty()) {
      return bad();
    }
  }
  if (!ended) {
    *error = "the checkpoint is cut short";
    return false;
  }
  for (bool field : have) {
    if (!field || free_space_format != have_space) {
      *error = "the checkpoint lacks a field";
      return false;
    }
  }
  if (checkpoint.results.records.empty()) checkpoint.results.records.emplace_back();
  if (checkpoint.position > checkpoint.source_size) {
    *error = "the checkpoint's position lies beyond the source";
    return false;
  }
  // The tallies follow from the finds, as the scan counts them.
  checkpoint.results = CombineScanResults(checkpoint.results, {}, checkpoint.position);
  *out = std::move(checkpoint);
  return true;
}

bool IsScanCheckpointFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char head[sizeof(kCheckpointMagic)] = {};
  const ssize_t got = pread(fd, head, sizeof(head), 0);
  close(fd);
  static_assert(sizeof(kCheckpointMagic) == sizeof(kFreeSpaceCheckpointMagic));
  return got == static_cast<ssize_t>(sizeof(head)) &&
         (std::memcmp(head, kCheckpointMagic, sizeof(head) - 1) == 0 ||
          std::memcmp(head, kFreeSpaceCheckpointMagic, sizeof(head) - 1) == 0) &&
         head[sizeof(head) - 1] == '\n';
}

CheckpointKeeper::CheckpointKeeper(std::string path, ScanCheckpoint base, const ScanResults& live,
                                   ScanObserver* next, std::chrono::steady_clock::duration interval,
                                   const std::atomic<bool>* stop_flag)
    : path_(std::move(path)),
      base_(std::move(base)),
      live_(live),
      next_(next),
      interval_(interval),
      stop_flag_(stop_flag),
      last_save_(std::chrono::steady_clock::now()) {
  position_ = base_.position;
}

void CheckpointKeeper::OnStart(uint64_t source_size, uint16_t sector_size) {
  chunk_bytes_ = uint64_t{kChunkSectors} * sector_size;
  base_.source_size = source_size;
  base_.sector_size = sector_size;
  if (next_) next_->OnStart(source_size, sector_size);
}

void CheckpointKeeper::OnProgress(uint32_t percent, uint64_t position_mib, uint64_t position) {
  // The chunk at `position` has been reported whole: the live results hold exactly what the
  // chunks up to its end gave.
  const uint64_t end = position + chunk_bytes_;
  const bool stopping = stop_flag_ && stop_flag_->load();
  if (end > position_ && !stopping) {
    position_ = std::min(end, base_.source_size);
    records_ = live_.records.empty() ? 0 : live_.records.size() - 1;
    spare_ = live_.records.empty() ? FoundFile{} : live_.records.back();
    have_state_ = true;
  }
  if (std::chrono::steady_clock::now() - last_save_ >= interval_) {
    int error = 0;
    if (!Save(&error)) save_error_ = error;
  }
  if (next_) next_->OnProgress(percent, position_mib, position);
}

void CheckpointKeeper::OnFound(uint64_t found_count, const FoundFile& file) {
  if (next_) next_->OnFound(found_count, file);
}

ScanCheckpoint CheckpointKeeper::Current() const {
  ScanCheckpoint checkpoint;
  checkpoint.source_name = base_.source_name;
  checkpoint.source_size = base_.source_size;
  checkpoint.sector_size = base_.sector_size;
  checkpoint.selection = base_.selection;
  checkpoint.literal = base_.literal;
  checkpoint.exact_ends = base_.exact_ends;
  checkpoint.free_space = base_.free_space;
  checkpoint.free_space_areas = base_.free_space_areas;
  if (!have_state_) {
    checkpoint.position = base_.position;
    checkpoint.results = base_.results;
    return checkpoint;
  }
  ScanResults later;
  later.records.assign(live_.records.begin(),
                       live_.records.begin() + static_cast<std::ptrdiff_t>(records_));
  later.records.push_back(spare_);
  checkpoint.position = position_;
  checkpoint.results = CombineScanResults(base_.results, later, base_.position);
  return checkpoint;
}

bool CheckpointKeeper::Save(int* error) {
  last_save_ = std::chrono::steady_clock::now();
  return WriteScanCheckpoint(path_, Current(), error);
}

}  // namespace pictavo
