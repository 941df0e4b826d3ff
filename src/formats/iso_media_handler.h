#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "engine/format_handler.h"

namespace pictavo {

// The ISO base media file family (HEIF and AVIF stills, MP4, M4A, 3GP, Canon CR3): a file that
// starts with an "ftyp" box whose brands name the type, measured by the chain of top-level boxes.
// QuickTime movies ("qt  " brand) are left to the QuickTime recogniser.

// The type that a brand stands for; kTypeNone for QuickTime, unknown and generic HEIF brands.
FileTypeId IsoTypeOfBrand(std::string_view brand);

// The type an "ftyp" box names: its major brand, or for the generic HEIF brands ("mif1", "msf1",
// "miaf") and unknown major brands, its compatible brands. kTypeNone when the box is no ftyp box,
// is cut short, names QuickTime, or names nothing known. `box` starts at the box's size field.
FileTypeId ClassifyFtypBox(std::span<const uint8_t> box);

// How the chain of top-level boxes ended.
enum class IsoChainEnd {
  kImplausibleBox,   // the next bytes are no box (or the end of the medium): the usual end
  kNextFile,         // a second "ftyp" box: the next file starts there
  kOpenEnded,        // a box of size 0 runs "to the end of the file": cut at the limit
  kOpenEndedByMoov,  // a media box of size 0 behind the moov or meta: ends with their last data
  kLimit,            // a box reaches past the limit (the cap or the end of the medium)
  kBoxCount,         // too many boxes to follow
};

struct IsoChain {
  uint64_t length = 0;
  uint64_t boxes = 0;
  IsoChainEnd end = IsoChainEnd::kImplausibleBox;
};

// Follows the chain of top-level boxes that starts at `offset` and returns its length, at most
// `limit` bytes. A box is followed when its type is a known top-level type or four letters,
// digits or spaces, and its size is at least 8, or 1 with a 64-bit size of at least 16. A box
// that reaches past `limit` ends the file at `limit` when its type is a known one; an unknown one
// ends the chain before it. A box of size 0 runs "to the end of the file", which carving cannot
// see: the file is cut at `limit`, unless `open_end_by_moov` is set and the box is an "mdat"
// behind a "moov" whose sample tables, or a "meta" whose item locations, place data that ends
// inside it (the file then ends with the last sample or item).
IsoChain MeasureIsoBoxChain(SectorSource& source, uint64_t offset, uint64_t limit,
                            bool open_end_by_moov = false);

// One recogniser per type of the family; each accepts only files whose brands name its type. In
// the exact-ends mode a size-0 media box is measured by the moov's sample tables or the meta's item
// locations.
class IsoMediaHandler : public FormatHandler {
 public:
  // The largest ftyp box taken as the start of a file.
  static constexpr uint32_t kMaxFtypSize = 4096;
  // Caps on a measured length: pictures and raws, and audio and video (which can pass 4 GiB).
  static constexpr uint64_t kPictureCap = uint64_t{1} << 30;
  static constexpr uint64_t kMovieCap = uint64_t{64} << 30;

  explicit IsoMediaHandler(FileTypeId type) : type_(type) {}

  bool MatchSignature(const uint8_t* sector_head) override;
  bool Verify(SectorSource& source, uint64_t offset) override;
  uint64_t MeasureLength(SectorSource& source, uint64_t offset) override;
  // An ftyp box is at most kMaxFtypSize bytes, so its big-endian size starts with a zero byte.
  std::bitset<256> SignatureFirstBytes() const override { return std::bitset<256>().set(0); }
  FileTypeId TypeCode() const override { return type_; }

  // The way the last measured chain ended (for tests and diagnostics).
  const IsoChain& last_chain() const { return chain_; }

 private:
  FileTypeId type_;
  IsoChain chain_;
};

template <FileTypeId kType>
class IsoMediaTypeHandler : public IsoMediaHandler {
 public:
  IsoMediaTypeHandler() : IsoMediaHandler(kType) {}
};

using HeicHandler = IsoMediaTypeHandler<kTypeHeic>;
using AvifHandler = IsoMediaTypeHandler<kTypeAvif>;
using Mp4Handler = IsoMediaTypeHandler<kTypeMp4>;
using M4aHandler = IsoMediaTypeHandler<kTypeM4a>;
using ThreeGpHandler = IsoMediaTypeHandler<kType3gp>;
using Cr3Handler = IsoMediaTypeHandler<kTypeCr3>;

}  // namespace pictavo
