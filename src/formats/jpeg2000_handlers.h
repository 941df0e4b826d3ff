#pragma once

#include "engine/format_handler.h"

namespace pictavo {

// What the JPEG 2000 codestream and JP2 recognisers share: a walk over the main header's marker
// segments up to the first start-of-data marker (Verify), then a search for the
// end-of-codestream marker behind it (MeasureLength), in windows of eight sectors.
class Jpeg2000HandlerBase : public FormatHandler {
 public:
  static constexpr uint64_t kMaxLength = 0xFA00000;
  static constexpr uint32_t kWindowSectors = 8;

  bool Verify(SectorSource& source, uint64_t offset) override;
  uint64_t MeasureLength(SectorSource& source, uint64_t offset) override;

 protected:
  void ResetCandidate() { measured_length_ = 0; }
  // Where the marker walk starts, given the first window read at the candidate.
  virtual uint64_t CodestreamStart(const uint8_t* first_window) const = 0;
  // How far behind the start-of-data marker the end-marker search starts.
  virtual uint64_t SearchSkip() const = 0;

  uint16_t sector_size_ = 0;

 private:
  uint64_t measured_length_ = 0;
  uint64_t candidate_start_ = 0;
  // File-relative offset of the start-of-data marker found by Verify.
  uint64_t data_start_ = 0;
};

// A bare JPEG 2000 codestream: a sector that starts with the start-of-codestream marker.
class Jpeg2000CodestreamHandler : public Jpeg2000HandlerBase {
 public:
  bool MatchSignature(const uint8_t* sector_head) override;
  FileTypeId TypeCode() const override { return kTypeJ2k; }
  std::bitset<256> SignatureFirstBytes() const override { return std::bitset<256>().set(0xFF); }

 protected:
  uint64_t CodestreamStart(const uint8_t*) const override { return 2; }
  uint64_t SearchSkip() const override { return 0; }
};

// A JP2 file: the JPEG 2000 signature box and a file-type box with the brand "jp2", with the
// codestream inside the file's first sector.
class Jp2Handler : public Jpeg2000HandlerBase {
 public:
  static constexpr uint32_t kSignatureLength = 23;

  bool MatchSignature(const uint8_t* sector_head) override;
  // In the exact-ends mode a JP2 is also proved, and measured, by its chain of boxes, wherever
  // its codestream starts.
  bool Verify(SectorSource& source, uint64_t offset) override;
  uint64_t MeasureLength(SectorSource& source, uint64_t offset) override;
  FileTypeId TypeCode() const override { return kTypeJp2; }
  std::bitset<256> SignatureFirstBytes() const override { return std::bitset<256>().set(0x00); }

 protected:
  uint64_t CodestreamStart(const uint8_t* first_window) const override;
  uint64_t SearchSkip() const override { return 2; }

 private:
  uint64_t whole_length_ = 0;
};

}  // namespace pictavo
