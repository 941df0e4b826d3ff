#include "formats/iso_media_handler.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "formats/byte_reader.h"
#include "formats/exact_measure.h"

namespace pictavo {
namespace {

constexpr uint64_t kMaxBoxes = uint64_t{1} << 20;

constexpr std::string_view kKnownTopLevel[] = {
    "ftyp", "meta", "moov", "mdat", "free", "skip", "wide", "uuid", "moof", "mfra", "sidx",
    "ssix", "pdin", "styp", "prft", "emsg", "pnot", "junk", "mpvd", "sefd", "udta"};

constexpr std::string_view kHeifBrands[] = {"heic", "heix", "heim", "heis", "hevc",
                                            "hevx", "hevm", "hevs", "heif"};
constexpr std::string_view kGenericHeifBrands[] = {"mif1", "mif2", "msf1", "miaf"};
constexpr std::string_view kAvifBrands[] = {"avif", "avis", "avio"};
constexpr std::string_view kAudioBrands[] = {"M4A ", "M4B ", "M4P "};
constexpr std::string_view kMp4Brands[] = {
    "isom", "iso2", "iso3", "iso4", "iso5", "iso6", "iso7", "iso8", "iso9", "mp41", "mp42",
    "mp71", "avc1", "dash", "M4V ", "M4VH", "M4VP", "mmp4", "MSNV", "msnv", "f4v ", "f4p ",
    "XAVC", "NDAS", "MP4 ", "hvc1", "av01", "ndas", "ndsc", "ndsh", "ndsm", "ndsp", "ndss"};

template <size_t N>
bool OneOf(std::string_view brand, const std::string_view (&list)[N]) {
  return std::find(std::begin(list), std::end(list), brand) != std::end(list);
}

bool IsBoxTypeChar(uint8_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ';
}

bool PlausibleBoxType(const uint8_t* type) {
  const std::string_view name(reinterpret_cast<const char*>(type), 4);
  if (OneOf(name, kKnownTopLevel)) return true;
  return IsBoxTypeChar(type[0]) && IsBoxTypeChar(type[1]) && IsBoxTypeChar(type[2]) &&
         IsBoxTypeChar(type[3]);
}

bool KnownBoxType(const uint8_t* type) {
  return OneOf(std::string_view(reinterpret_cast<const char*>(type), 4), kKnownTopLevel);
}

// The four bytes at `pos`, which the caller has checked to lie inside `box`.
std::string_view BrandAt(std::span<const uint8_t> box, size_t pos) {
  return std::string_view(reinterpret_cast<const char*>(box.data() + pos), 4);
}

// The cap of a type's measured length.
uint64_t CapOf(FileTypeId type) {
  return type == kTypeHeic || type == kTypeAvif || type == kTypeCr3 ? IsoMediaHandler::kPictureCap
                                                                    : IsoMediaHandler::kMovieCap;
}

}  // namespace

FileTypeId IsoTypeOfBrand(std::string_view brand) {
  if (brand.size() != 4) return kTypeNone;
  if (brand == "crx ") return kTypeCr3;
  if (OneOf(brand, kAvifBrands)) return kTypeAvif;
  if (OneOf(brand, kHeifBrands)) return kTypeHeic;
  if (OneOf(brand, kAudioBrands)) return kTypeM4a;
  if (brand.substr(0, 2) == "3g" && IsBoxTypeChar(static_cast<uint8_t>(brand[2]))) return kType3gp;
  if (OneOf(brand, kMp4Brands)) return kTypeMp4;
  return kTypeNone;
}

FileTypeId ClassifyFtypBox(std::span<const uint8_t> box) {
  const ByteReader reader(box, Endian::kBig);
  const auto size = reader.U32At(0);
  if (!size || *size < 16 || *size > box.size() || !reader.Matches(4, "ftyp")) return kTypeNone;
  const std::string_view major = BrandAt(box, 8);
  if (major == "qt  ") return kTypeNone;
  const FileTypeId by_major = IsoTypeOfBrand(major);
  const bool generic_heif = OneOf(major, kGenericHeifBrands);
  if (by_major != kTypeNone && !generic_heif) return by_major;
  // A generic or unknown major brand: the compatible brands tell. AVIF before HEIF (an AVIF file
  // lists "mif1" too), and the still-picture brands before the movie ones.
  bool heif = generic_heif, avif = false, quicktime = false;
  FileTypeId other = kTypeNone;
  for (size_t pos = 16; pos + 4 <= *size; pos += 4) {
    const std::string_view brand = BrandAt(box, pos);
    const FileTypeId type = IsoTypeOfBrand(brand);
    if (type == kTypeAvif) avif = true;
    if (type == kTypeHeic || OneOf(brand, kGenericHeifBrands)) heif = true;
    if (brand == "qt  ") quicktime = true;
    if (other == kTypeNone && type != kTypeAvif && type != kTypeHeic) other = type;
  }
  if (avif) return kTypeAvif;
  if (heif) return kTypeHeic;
  if (quicktime) return kTypeNone;
  return other;
}

IsoChain MeasureIsoBoxChain(SectorSource& source, uint64_t offset, uint64_t limit,
                            bool open_end_by_moov) {
  IsoChain chain;
  const uint64_t size = source.Size();
  if (offset >= size) return chain;
  limit = std::min(limit, size - offset);
  uint64_t pos = 0;  // from the file's start
  uint64_t moov_at = 0, moov_size = 0, meta_at = 0, meta_size = 0;
  while (chain.boxes < kMaxBoxes) {
    if (pos >= limit) {
      chain.end = pos == size - offset ? IsoChainEnd::kImplausibleBox : IsoChainEnd::kLimit;
      break;
    }
    std::array<uint8_t, 16> header{};
    uint32_t delivered = 0;
    if (!source.ReadAt(offset + pos, header.size(), header.data(), ReadRule::kData, &delivered) ||
        delivered < 8) {
      break;
    }
    const uint8_t* type = header.data() + 4;
    if (chain.boxes > 0 && std::memcmp(type, "ftyp", 4) == 0) {
      chain.end = IsoChainEnd::kNextFile;
      break;
    }
    if (!PlausibleBoxType(type)) break;
    uint64_t box_size = LoadBe32(header.data());
    if (box_size == 1) {
      if (delivered < 16) break;
      box_size = (uint64_t{LoadBe32(header.data() + 8)} << 32) | LoadBe32(header.data() + 12);
      if (box_size < 16) break;
    } else if (box_size == 0) {
      // "To the end of the file": carving cannot tell where that is, unless the moov lists the
      // samples the box holds.
      ++chain.boxes;
      uint64_t media_end = 0;
      if (open_end_by_moov && std::memcmp(type, "mdat", 4) == 0) {
        if (moov_size != 0) {
          media_end = MeasureMoovMediaEnd(source, offset, offset + moov_at, moov_size, limit);
        } else if (meta_size != 0) {
          media_end = MeasureMetaItemsEnd(source, offset, offset + meta_at, meta_size, limit);
        }
      }
      if (media_end >= pos + 8) {
        pos = media_end;
        chain.end = IsoChainEnd::kOpenEndedByMoov;
      } else {
        pos = limit;
        chain.end = IsoChainEnd::kOpenEnded;
      }
      break;
    } else if (box_size < 8) {
      break;
    }
    if (box_size > limit - pos) {
      if (KnownBoxType(type)) {
        pos = limit;
        ++chain.boxes;
        chain.end = IsoChainEnd::kLimit;
      }
      break;
    }
    if (moov_size == 0 && std::memcmp(type, "moov", 4) == 0) {
      moov_at = pos;
      moov_size = box_size;
    }
    if (meta_size == 0 && std::memcmp(type, "meta", 4) == 0) {
      meta_at = pos;
      meta_size = box_size;
    }
    pos += box_size;
    ++chain.boxes;
  }
  if (chain.boxes >= kMaxBoxes) chain.end = IsoChainEnd::kBoxCount;
  chain.length = pos;
  return chain;
}

bool IsoMediaHandler::MatchSignature(const uint8_t* sector_head) {
  chain_ = {};
  const uint32_t size = LoadBe32(sector_head);
  return size >= 16 && size <= kMaxFtypSize && size % 4 == 0 &&
         std::memcmp(sector_head + 4, "ftyp", 4) == 0 && IsBoxTypeChar(sector_head[8]) &&
         IsBoxTypeChar(sector_head[9]);
}

bool IsoMediaHandler::Verify(SectorSource& source, uint64_t offset) {
  std::vector<uint8_t> box(kMaxFtypSize + 8, 0);
  uint32_t delivered = 0;
  if (!source.ReadAt(offset, static_cast<uint32_t>(box.size()), box.data(), ReadRule::kData,
                     &delivered)) {
    return false;
  }
  box.resize(delivered);
  if (ClassifyFtypBox(box) != type_) return false;
  // The box after ftyp must be a box too: a lone ftyp in other data is no file.
  const uint32_t ftyp_size = LoadBe32(box.data());
  if (box.size() >= ftyp_size + 8) return PlausibleBoxType(box.data() + ftyp_size + 4);
  uint8_t next[8] = {};
  uint32_t next_delivered = 0;
  return source.ReadAt(offset + ftyp_size, sizeof(next), next, ReadRule::kData, &next_delivered) &&
         next_delivered == sizeof(next) && PlausibleBoxType(next + 4);
}

uint64_t IsoMediaHandler::MeasureLength(SectorSource& source, uint64_t offset) {
  chain_ = MeasureIsoBoxChain(source, offset, CapOf(type_), exact_ends());
  return chain_.length;
}

}  // namespace pictavo
