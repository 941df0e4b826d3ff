#include "filesystems/named_content.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <unordered_map>
#include <vector>

#include "engine/format_handler.h"
#include "engine/handler_set.h"
#include "platform/output_file.h"
#include "platform/system_error.h"
#include "results/extent_copy.h"

namespace pictavo {

NamedFileSource::NamedFileSource(SectorSource& medium, const NamedFile& file)
    : medium_(medium), file_(file) {}

const FileRun* NamedFileSource::RunAt(uint64_t offset) const {
  const auto& runs = file_.runs;
  auto after =
      std::upper_bound(runs.begin(), runs.end(), offset,
                       [](uint64_t value, const FileRun& run) { return value < run.file_offset; });
  if (after == runs.begin()) return nullptr;
  const FileRun& run = *(after - 1);
  if (offset - run.file_offset >= run.length || run.sparse) return nullptr;
  return &run;
}

std::optional<uint64_t> NamedFileSource::SourceOffsetOf(uint64_t offset) const {
  const FileRun* run = RunAt(offset);
  if (run == nullptr) return std::nullopt;
  return run->source_offset + (offset - run->file_offset);
}

int64_t NamedFileSource::Pread(uint64_t offset, uint8_t* buffer, uint32_t count, int* error) {
  if (offset >= file_.size) return 0;
  const uint32_t wanted = static_cast<uint32_t>(std::min<uint64_t>(count, file_.size - offset));
  if (file_.resident) {
    const uint64_t stored = file_.resident_bytes.size();
    for (uint32_t i = 0; i < wanted; ++i) {
      buffer[i] = offset + i < stored ? file_.resident_bytes[offset + i] : 0;
    }
    return wanted;
  }
  uint32_t done = 0;
  while (done < wanted) {
    const uint64_t position = offset + done;
    const FileRun* run = RunAt(position);
    if (run == nullptr) {
      // A hole: zeros up to the next run that holds bytes, or the end of the file.
      uint64_t hole_end = file_.size;
      for (const FileRun& next : file_.runs) {
        if (next.file_offset > position && !next.sparse) {
          hole_end = next.file_offset;
          break;
        }
      }
      const uint32_t zeros =
          static_cast<uint32_t>(std::min<uint64_t>(wanted - done, hole_end - position));
      std::memset(buffer + done, 0, zeros);
      done += zeros;
      continue;
    }
    const uint64_t in_run = position - run->file_offset;
    const uint32_t piece =
        static_cast<uint32_t>(std::min<uint64_t>(wanted - done, run->length - in_run));
    const int64_t got = medium_.Pread(run->source_offset + in_run, buffer + done, piece, error);
    if (got < 0) return done > 0 ? done : -1;
    if (got == 0) {
      // The medium ends inside the run (a truncated dump): the rest reads as missing.
      if (done > 0) return done;
      *error = EIO;
      return -1;
    }
    done += static_cast<uint32_t>(got);
  }
  return done;
}

const uint8_t* NamedFileSource::View(uint64_t offset, uint32_t count) {
  if (file_.resident || count == 0 || offset >= file_.size || count > file_.size - offset) {
    return nullptr;
  }
  const FileRun* run = RunAt(offset);
  if (run == nullptr || offset + count > run->file_offset + run->length) return nullptr;
  return medium_.View(run->source_offset + (offset - run->file_offset), count);
}

const uint8_t* NamedFileSource::Peek(uint64_t offset, uint32_t count) {
  if (file_.resident || count == 0 || offset >= file_.size || count > file_.size - offset) {
    return nullptr;
  }
  const FileRun* run = RunAt(offset);
  if (run == nullptr || offset + count > run->file_offset + run->length) return nullptr;
  return medium_.Peek(run->source_offset + (offset - run->file_offset), count);
}

namespace {

// `type`, then every other type whose files carry the same extension.
std::vector<FileTypeId> TypesToTry(FileTypeId type) {
  std::vector<FileTypeId> types{type};
  const std::string_view extension = ExtensionOf(type);
  for (FileTypeId other = 1; other < kTypeCount; ++other) {
    if (other != type && !extension.empty() && ExtensionOf(other) == extension) {
      types.push_back(other);
    }
  }
  return types;
}

}  // namespace

void ClassifyNamedFiles(SectorSource& medium, FileSystemListing& listing) {
  std::unique_ptr<FormatHandler> handlers[kTypeCount];
  for (NamedFile& file : listing.files) {
    const bool has_content = file.size > 0 && (file.resident || !file.runs.empty());
    file.content_matches = false;
    if (has_content && file.type != kTypeNone && file.type < kTypeCount &&
        !file.first_block_in_use) {
      NamedFileSource content(medium, file);
      uint8_t head[kSectorHeadSize] = {};
      uint32_t delivered = 0;
      const uint32_t wanted =
          static_cast<uint32_t>(std::min<uint64_t>(kSectorHeadCopied, file.size));
      if (content.ReadAt(0, wanted, head, ReadRule::kData, &delivered)) {
        // The type the name gives first, then the other types written with the same extension
        // (a phone's .dng is an "Other DNG"): the first whose recogniser accepts the content
        // becomes the file's type.
        for (const FileTypeId type : TypesToTry(file.type)) {
          auto& handler = handlers[type];
          if (!handler) handler = MakeHandler(type);
          if (handler && handler->MatchSignature(head) && handler->Verify(content, 0)) {
            file.content_matches = true;
            file.type = type;
            break;
          }
        }
      }
    } else if (has_content && file.type == kTypeNone) {
      // Files of no known type are listed on request only; nothing can check their bytes.
      file.content_matches = true;
    }
    if (!file.deleted) {
      file.state = NamedFileState::kLive;
    } else if (has_content && !file.first_block_in_use && file.content_matches) {
      file.state = NamedFileState::kDeletedRecoverable;
    } else {
      file.state = NamedFileState::kDeletedOverwritten;
    }
  }
}

std::string NamedFileShownPath(const FileSystemListing& listing, const NamedFile& file) {
  std::string shown;
  if (listing.volumes.size() > 1 && file.volume < listing.volumes.size()) {
    const FileSystemVolume& volume = listing.volumes[file.volume];
    shown = (volume.partition_name.empty() ? "Volume at byte " + std::to_string(volume.offset)
                                           : volume.partition_name) +
            " (" + volume.type_name + ")/";
  }
  std::string_view rest = file.path;
  bool first = true;
  while (true) {
    const size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    if (!first) shown += '/';
    first = false;
    if (part.empty() || part == "." || part == "..") {
      shown += '_';
    } else {
      shown += part;
    }
    if (slash == std::string_view::npos) break;
    rest = rest.substr(slash + 1);
  }
  return shown;
}

namespace {

void Refuse(SaveSummary& summary, SaveObserver* observer, size_t index, std::string wanted_name,
            uint64_t length, std::string why) {
  SavedFile saved;
  saved.record_index = index;
  saved.wanted_name = std::move(wanted_name);
  saved.length = length;
  saved.outcome = SaveOutcome::kFailed;
  saved.error = std::move(why);
  ++summary.failed;
  if (observer) observer->OnFileDone(saved);
  summary.files.push_back(std::move(saved));
}

}  // namespace

uint64_t NamedFilesBytes(const FileSystemListing& listing, const std::vector<size_t>& which) {
  uint64_t total = 0;
  for (const size_t i : which) {
    if (i >= listing.files.size()) continue;
    if (__builtin_add_overflow(total, listing.files[i].size, &total)) return UINT64_MAX;
  }
  return total;
}

SaveSummary SaveNamedFiles(SectorSource& medium, const FileSystemListing& listing,
                           const std::vector<size_t>& which, const std::string& folder,
                           SaveObserver* observer, const std::atomic<bool>* cancel) {
  SaveSummary summary;
  const uint64_t total_bytes = NamedFilesBytes(listing, which);
  if (observer) observer->OnStart(which.size(), total_bytes);
  RunProgress progress(observer, total_bytes);
  for (const size_t i : which) {
    if (i >= listing.files.size()) continue;
    if (cancel && cancel->load(std::memory_order_relaxed)) {
      summary.cancelled = true;
      break;
    }
    const NamedFile& file = listing.files[i];
    const std::string shown = NamedFileShownPath(listing, file);
    const size_t slash = shown.rfind('/');
    const std::string subfolder =
        slash == std::string::npos ? folder : folder + "/" + shown.substr(0, slash);
    const std::string name = slash == std::string::npos ? shown : shown.substr(slash + 1);
    std::error_code made;
    std::filesystem::create_directories(subfolder, made);
    if (made) {
      Refuse(summary, observer, i, shown, file.size,
             "cannot create " + subfolder + ": " + made.message());
      const int code = made.value();
      if (code == ENOSPC || code == EDQUOT || code == EROFS || code == EACCES) {
        summary.destination_failed = true;
        summary.destination_error = summary.files.back().error;
        break;
      }
      continue;
    }
    progress.StartFile();
    NamedFileSource content(medium, file);
    FoundFile extent;
    extent.type = file.type;
    extent.offset = 0;
    extent.length = file.size;
    extent.selected = 1;
    const size_t accounted = summary.files.size();
    const bool go_on =
        SaveOneFileInto(content, extent, i, name, subfolder, summary, observer, &progress, cancel);
    if (summary.files.size() == accounted) break;  // cancelled: the file in hand is gone
    SavedFile& saved = summary.files.back();
    // Parts whose place the map lost were written as zeros: the file is damaged like one with
    // unreadable parts.
    if (const uint64_t lost = file.LostBytes(); lost > 0 && saved.outcome != SaveOutcome::kFailed) {
      if (saved.outcome == SaveOutcome::kWritten) {
        --summary.written;
        ++summary.damaged;
        saved.outcome = SaveOutcome::kDamaged;
        saved.first_unreadable_offset = 0;
        for (const FileRun& run : file.runs) {
          if (run.lost) {
            saved.first_unreadable_offset = run.file_offset;
            break;
          }
        }
      }
      saved.unreadable_bytes += lost;
    }
    // Names and offsets in the report are those the user knows: the path, the source offset.
    if (saved.outcome == SaveOutcome::kDamaged) {
      if (const auto source_offset = content.SourceOffsetOf(saved.first_unreadable_offset)) {
        saved.first_unreadable_offset = *source_offset;
      }
    }
    if (saved.outcome != SaveOutcome::kFailed) {
      if (file.modified > 0) {
        const std::string written = subfolder + "/" + saved.name;
        timespec times[2];
        times[0].tv_sec = file.accessed > 0 ? file.accessed : file.modified;
        times[0].tv_nsec = 0;
        times[1].tv_sec = file.modified;
        times[1].tv_nsec = 0;
        utimensat(AT_FDCWD, written.c_str(), times, 0);
      }
    }
    const std::string prefix = slash == std::string::npos ? "" : shown.substr(0, slash + 1);
    saved.wanted_name = prefix + saved.wanted_name;
    saved.name = prefix + saved.name;
    if (!go_on) break;
  }
  return summary;
}

std::vector<std::string> NamesOfFinds(const FileSystemListing& listing,
                                      const ScanResults& results) {
  std::unordered_map<uint64_t, const NamedFile*> by_first_byte;
  for (const NamedFile& file : listing.files) {
    if (file.resident || file.runs.empty() || file.runs.front().sparse ||
        file.runs.front().file_offset != 0) {
      continue;
    }
    const NamedFile*& named = by_first_byte[file.runs.front().source_offset];
    if (named == nullptr || (named->deleted && !file.deleted)) named = &file;
  }
  std::vector<std::string> names;
  names.reserve(results.Found().size());
  for (const FoundFile& found : results.Found()) {
    const auto named = by_first_byte.find(found.offset);
    names.push_back(named == by_first_byte.end() ? std::string()
                                                 : NamedFileShownPath(listing, *named->second));
  }
  return names;
}

}  // namespace pictavo
