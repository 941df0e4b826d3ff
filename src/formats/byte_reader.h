#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace pictavo {

enum class Endian { kLittle, kBig };

// Reads integers out of a window of bytes taken from the medium; never past the window's end,
// whatever position it is asked for. Every number read through it is untrusted.
class ByteReader {
 public:
  ByteReader(std::span<const uint8_t> window, Endian order) : window_(window), order_(order) {}

  size_t size() const { return window_.size(); }
  Endian order() const { return order_; }
  void set_order(Endian order) { order_ = order; }

  bool Has(size_t pos, size_t count) const {
    return count <= window_.size() && pos <= window_.size() - count;
  }
  std::optional<uint8_t> U8At(size_t pos) const {
    if (!Has(pos, 1)) return std::nullopt;
    return window_[pos];
  }
  std::optional<uint16_t> U16At(size_t pos) const {
    if (!Has(pos, 2)) return std::nullopt;
    return static_cast<uint16_t>(Load(pos, 2));
  }
  std::optional<uint32_t> U32At(size_t pos) const {
    if (!Has(pos, 4)) return std::nullopt;
    return static_cast<uint32_t>(Load(pos, 4));
  }
  std::optional<uint64_t> U64At(size_t pos) const {
    if (!Has(pos, 8)) return std::nullopt;
    return Load(pos, 8);
  }
  bool Matches(size_t pos, std::string_view magic) const {
    if (!Has(pos, magic.size())) return false;
    for (size_t i = 0; i < magic.size(); ++i) {
      if (window_[pos + i] != static_cast<uint8_t>(magic[i])) return false;
    }
    return true;
  }

 private:
  uint64_t Load(size_t pos, size_t count) const {
    uint64_t value = 0;
    if (order_ == Endian::kBig) {
      for (size_t i = 0; i < count; ++i) value = (value << 8) | window_[pos + i];
    } else {
      for (size_t i = count; i-- > 0;) value = (value << 8) | window_[pos + i];
    }
    return value;
  }

  std::span<const uint8_t> window_;
  Endian order_;
};

// Unchecked loads for positions the caller has already proved to be inside its buffer.
inline uint16_t LoadBe16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint16_t LoadLe16(const uint8_t* p) { return static_cast<uint16_t>((p[1] << 8) | p[0]); }
inline uint32_t LoadBe32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline uint32_t LoadLe32(const uint8_t* p) {
  return (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

}  // namespace pictavo
