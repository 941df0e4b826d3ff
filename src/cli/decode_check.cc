#include "cli/decode_check.h"

#include <algorithm>

#include "imaging/image_decoder.h"

namespace pictavo::cli {
namespace {

constexpr uint32_t kReadChunk = 10'485'760;

// The found file's bytes; a chunk that cannot be read stays zero, as it would in a saved copy
// that the decoder then sees damaged. Bytes beyond the end of the source are not data: the
// extent is cut there.
std::vector<uint8_t> ReadExtent(SectorSource& source, const FoundFile& file) {
  const uint64_t present = file.offset >= source.Size()
                               ? 0
                               : std::min<uint64_t>(file.length, source.Size() - file.offset);
  std::vector<uint8_t> bytes(present);
  const uint32_t sector = std::max<uint32_t>(1, source.SectorSize());
  std::vector<uint8_t> buffer;
  for (uint64_t done = 0; done < present;) {
    const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(kReadChunk, present - done));
    const uint32_t read_length = (want + sector - 1) / sector * sector;
    buffer.assign(read_length, 0);
    if (source.ReadAt(file.offset + done, read_length, buffer.data(), ReadRule::kData)) {
      std::copy_n(buffer.begin(), want, bytes.begin() + static_cast<ptrdiff_t>(done));
    }
    done += want;
  }
  return bytes;
}

}  // namespace

DecodeCheck CheckFoundFiles(SectorSource& source, const ScanResults& results,
                            const std::atomic<bool>* stop) {
  const auto found = results.Found();
  DecodeCheck check;
  check.column.assign(found.size(), "-");
  uint64_t total = 0, done = 0;
  for (const FoundFile& file : found) {
    if (!IsMultimediaType(file.type)) total += file.length;
  }
  ProgressLine progress("Checking");
  DecodeOptions options;
  // A small fitted picture is enough to see whether the whole file decodes: the decoders still
  // read all of the data, and JPEGs skip most of the inverse DCT.
  options.fit_width = 256;
  options.fit_height = 256;
  options.check_raw_data = true;
  for (size_t i = 0; i < found.size(); ++i) {
    const FoundFile& file = found[i];
    if (IsMultimediaType(file.type)) continue;
    if (stop && stop->load()) {
      check.stopped = true;
      break;
    }
    progress.Update(done, total,
                    "file " + std::to_string(i + 1) + " of " + std::to_string(found.size()));
    // A find larger than any picture the decoders take is not read into memory at all.
    DecodeStatus status = DecodeStatus::kFailed;
    if (file.length <= kMaxDecodeFileSize) {
      const std::vector<uint8_t> bytes = ReadExtent(source, file);
      status = DecodeImage(bytes, options).status;
      // A file cut by the end of the source is never whole, whatever its decoder makes of it.
      if (bytes.size() < file.length && status == DecodeStatus::kComplete) {
        status = DecodeStatus::kPartial;
      }
    }
    check.column[i] = std::string(DecodeStatusName(status));
    DecodeTally& tally = check.tallies[file.type < kTypeCount ? file.type : 0];
    if (status == DecodeStatus::kComplete)
      ++tally.complete;
    else if (status == DecodeStatus::kPartial)
      ++tally.partial;
    else
      ++tally.failed;
    done += file.length;
  }
  progress.Finish();
  return check;
}

void PrintDecodeSummary(std::FILE* out, const DecodeCheck& check) {
  std::fprintf(out, "\nDecode check%s:\n", check.stopped ? " (stopped early)" : "");
  for (FileTypeId id = 0; id < kTypeCount; ++id) {
    const DecodeTally& t = check.tallies[id];
    const uint64_t count = t.complete + t.partial + t.failed;
    if (count == 0) continue;
    const std::string label = std::string(TreeLabelOf(id)) + std::to_string(count) + ")";
    std::fprintf(out, "  %-14s %llu complete, %llu partial, %llu failed\n", label.c_str(),
                 static_cast<unsigned long long>(t.complete),
                 static_cast<unsigned long long>(t.partial),
                 static_cast<unsigned long long>(t.failed));
  }
}

}  // namespace pictavo::cli
