#include "results/find_details.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <tuple>

#include "engine/file_types.h"

namespace pictavo {
namespace {

// The bytes of the find that the source still holds.
uint64_t PresentLength(SectorSource& source, const FoundFile& file) {
  const uint64_t size = source.Size();
  return file.offset >= size ? 0 : std::min<uint64_t>(file.length, size - file.offset);
}

class Sha256 {
 public:
  Sha256() : context_(EVP_MD_CTX_new()) {
    if (context_ && EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
      context_.reset();
    }
  }
  bool Update(const uint8_t* bytes, size_t count) {
    return context_ && EVP_DigestUpdate(context_.get(), bytes, count) == 1;
  }
  std::optional<ContentDigest> Finish() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!context_ || EVP_DigestFinal_ex(context_.get(), digest, &length) != 1 || length < 16) {
      return std::nullopt;
    }
    ContentDigest result;
    for (int i = 0; i < 8; ++i) {
      result.high = result.high << 8 | digest[i];
      result.low = result.low << 8 | digest[8 + i];
    }
    return result;
  }

 private:
  struct Free {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
  };
  std::unique_ptr<EVP_MD_CTX, Free> context_;
};

// Photos and raws are decoded; audio, video and mail files are not pictures.
bool IsPictureType(FileTypeId type) {
  const FileTypeInfo* info = FindFileType(type);
  return info && (info->category == TypeCategory::kPhoto || info->category == TypeCategory::kRaw);
}

// The find's bytes that the source holds, read whole in bounded chunks.
std::vector<uint8_t> ReadWholeFind(SectorSource& source, const FoundFile& file) {
  std::vector<uint8_t> bytes;
  std::vector<uint8_t> chunk;
  const uint64_t present = PresentLength(source, file);
  bytes.reserve(present);
  for (uint64_t done = 0; done < present; done += chunk.size()) {
    ReadFindBytes(source, file, done, kFindReadChunk, &chunk);
    if (chunk.empty()) break;
    bytes.insert(bytes.end(), chunk.begin(), chunk.end());
  }
  return bytes;
}

FindPicture DecodeBytes(const std::vector<uint8_t>& bytes, bool cut_short,
                        const FindDecodeOptions& options) {
  FindPicture picture;
  picture.is_picture = true;
  DecodeOptions decode;
  decode.fit_width = options.fit_width;
  decode.fit_height = options.fit_height;
  decode.check_raw_data = options.check_raw_data;
  decode.raw_time_limit = options.raw_time_limit;
  const DecodeResult result = DecodeImage(bytes, decode);
  picture.status = result.status;
  if (result.ok()) {
    picture.width = result.full_width;
    picture.height = result.full_height;
  }
  // A file cut by the end of the source is never whole, whatever its decoder makes of it.
  if (cut_short && picture.status == DecodeStatus::kComplete) {
    picture.status = DecodeStatus::kPartial;
  }
  return picture;
}

}  // namespace

bool ReadFindBytes(SectorSource& source, const FoundFile& file, uint64_t skip, uint32_t count,
                   std::vector<uint8_t>* buffer) {
  const uint64_t present = PresentLength(source, file);
  const uint64_t wanted = skip >= present ? 0 : std::min<uint64_t>(count, present - skip);
  buffer->assign(wanted, 0);
  if (wanted == 0) return true;
  // Reads start and end on sector boundaries of the medium; the slack is read into a side
  // buffer and dropped.
  const uint32_t sector = std::max<uint32_t>(1, source.SectorSize());
  const uint64_t start = file.offset + skip;
  const uint64_t aligned_start = start / sector * sector;
  const uint64_t aligned_end = (start + wanted + sector - 1) / sector * sector;
  std::vector<uint8_t> sectors(aligned_end - aligned_start, 0);
  std::vector<ByteRange> unreadable;
  int first_error = 0;
  ReadSalvaging(source, aligned_start, static_cast<uint32_t>(sectors.size()), sectors.data(),
                &unreadable, &first_error);
  std::copy_n(sectors.begin() + static_cast<ptrdiff_t>(start - aligned_start), wanted,
              buffer->begin());
  for (const ByteRange& range : unreadable) {
    if (range.end() > start && range.offset < start + wanted) return false;
  }
  return true;
}

FindPicture DecodeFind(SectorSource& source, const FoundFile& file,
                       const FindDecodeOptions& options) {
  if (!IsPictureType(file.type)) return {};
  if (file.length > kMaxDecodeFileSize) {
    FindPicture failed;
    failed.is_picture = true;
    return failed;
  }
  const std::vector<uint8_t> bytes = ReadWholeFind(source, file);
  return DecodeBytes(bytes, bytes.size() < file.length, options);
}

std::optional<DateTaken> FindDateTaken(SectorSource& source, const FoundFile& file) {
  if (!IsPictureType(file.type)) return std::nullopt;
  // A JPEG's metadata precedes its picture data, within its first segments; the other formats
  // may keep their Exif block further in, and get a second, longer look.
  constexpr uint32_t kFirstLook = 256 << 10;
  std::vector<uint8_t> head;
  ReadFindBytes(source, file, 0, kFirstLook, &head);
  if (auto date = ReadDateTaken(head)) return date;
  const bool jpeg = head.size() >= 2 && head[0] == 0xFF && head[1] == 0xD8;
  if (jpeg || head.size() < kFirstLook || file.length <= kFirstLook) return std::nullopt;
  ReadFindBytes(source, file, 0, kDateTakenReadLimit, &head);
  return ReadDateTaken(head);
}

std::string ContentDigest::Hex() const {
  char text[33];
  std::snprintf(text, sizeof(text), "%016llx%016llx", static_cast<unsigned long long>(high),
                static_cast<unsigned long long>(low));
  return text;
}

std::optional<ContentDigest> FindDigest(SectorSource& source, const FoundFile& file,
                                        const std::atomic<bool>* cancel) {
  Sha256 hash;
  std::vector<uint8_t> chunk;
  const uint64_t present = PresentLength(source, file);
  for (uint64_t done = 0; done < present; done += chunk.size()) {
    if (cancel && cancel->load(std::memory_order_relaxed)) return std::nullopt;
    ReadFindBytes(source, file, done, kFindReadChunk, &chunk);
    if (chunk.empty() || !hash.Update(chunk.data(), chunk.size())) break;
  }
  return hash.Finish();
}

std::vector<bool> RepeatedFinds(const std::vector<std::optional<ContentDigest>>& digests) {
  std::vector<size_t> order;
  for (size_t i = 0; i < digests.size(); ++i) {
    if (digests[i]) order.push_back(i);
  }
  // Equal digests side by side, each group in list order.
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return std::tie(*digests[a], a) < std::tie(*digests[b], b);
  });
  std::vector<bool> repeated(digests.size(), false);
  for (size_t k = 1; k < order.size(); ++k) {
    if (*digests[order[k]] == *digests[order[k - 1]]) repeated[order[k]] = true;
  }
  return repeated;
}

FindDetails ReadFindDetails(SectorSource& source, const FoundFile& file,
                            const FindDetailParts& parts, const FindDecodeOptions& options) {
  FindDetails details;
  if (parts.picture && IsPictureType(file.type) && file.length <= kMaxDecodeFileSize) {
    // The whole find is read once and serves every part asked for.
    const std::vector<uint8_t> bytes = ReadWholeFind(source, file);
    details.picture = DecodeBytes(bytes, bytes.size() < file.length, options);
    if (parts.date_taken) details.date_taken = ReadDateTaken(bytes);
    if (parts.digest) {
      Sha256 hash;
      if (hash.Update(bytes.data(), bytes.size())) details.digest = hash.Finish();
    }
    return details;
  }
  if (parts.picture) details.picture = DecodeFind(source, file, options);
  if (parts.date_taken) details.date_taken = FindDateTaken(source, file);
  if (parts.digest) details.digest = FindDigest(source, file);
  return details;
}

}  // namespace pictavo
