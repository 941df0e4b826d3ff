#include "filesystems/named_file.h"

#include <cctype>
#include <cstring>

namespace pictavo {
namespace {

// Other spellings of the extensions in the file-type table, as cameras and phones write them.
struct ExtensionAlias {
  std::string_view extension;
  FileTypeId type;
};
constexpr ExtensionAlias kAliases[] = {
    {"jpe", kTypeJpeg}, {"jfif", kTypeJpeg}, {"mpg", kTypeMpeg}, {"qt", kTypeMov},
    {"m4v", kTypeMp4},  {"j2c", kTypeJ2k},   {"jpf", kTypeJp2},  {"opus", kTypeOgg},
};

bool SameLetters(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// The version byte of the encoded listing: a child built from other sources is not trusted.
constexpr char kListingMagic[] = "PICTAVO-FS-LISTING-1";

class Writer {
 public:
  void U8(uint8_t value) { bytes_.push_back(value); }
  void U64(uint64_t value) {
    for (int i = 0; i < 8; ++i) bytes_.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
  void Text(std::string_view text) {
    U64(text.size());
    bytes_.insert(bytes_.end(), text.begin(), text.end());
  }
  std::vector<uint8_t> Take() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
};

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool U8(uint8_t* value) {
    if (position_ >= size_) return false;
    *value = data_[position_++];
    return true;
  }
  bool Bool(bool* value) {
    uint8_t byte = 0;
    if (!U8(&byte) || byte > 1) return false;
    *value = byte == 1;
    return true;
  }
  bool U64(uint64_t* value) {
    if (size_ - position_ < 8) return false;
    uint64_t result = 0;
    for (int i = 0; i < 8; ++i) result |= uint64_t{data_[position_ + i]} << (8 * i);
    position_ += 8;
    *value = result;
    return true;
  }
  bool I64(int64_t* value) {
    uint64_t raw = 0;
    if (!U64(&raw)) return false;
    *value = static_cast<int64_t>(raw);
    return true;
  }
  bool Bytes(std::vector<uint8_t>* out) {
    uint64_t length = 0;
    if (!U64(&length) || length > size_ - position_) return false;
    out->assign(data_ + position_, data_ + position_ + length);
    position_ += length;
    return true;
  }
  bool Text(std::string* out) {
    uint64_t length = 0;
    if (!U64(&length) || length > size_ - position_) return false;
    out->assign(reinterpret_cast<const char*>(data_ + position_), length);
    position_ += length;
    return true;
  }
  // A count of items that each take at least `item_bytes`: never more than what is left allows.
  bool Count(uint64_t item_bytes, uint64_t* count) {
    return U64(count) && *count <= (size_ - position_) / item_bytes;
  }
  bool AtEnd() const { return position_ == size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

}  // namespace

std::string_view NamedFileStateText(NamedFileState state) {
  switch (state) {
    case NamedFileState::kLive:
      return "live";
    case NamedFileState::kDeletedRecoverable:
      return "deleted, recoverable";
    case NamedFileState::kDeletedOverwritten:
      return "deleted, overwritten";
  }
  return "";
}

std::string_view NamedFile::Name() const {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string_view(path)
                                    : std::string_view(path).substr(slash + 1);
}

std::optional<uint64_t> NamedFile::ContiguousOffset() const {
  if (resident || runs.empty() || size == 0) return std::nullopt;
  uint64_t covered = 0;
  uint64_t expected_source = runs.front().source_offset;
  for (const FileRun& run : runs) {
    if (run.sparse || run.file_offset != covered || run.source_offset != expected_source) {
      return std::nullopt;
    }
    covered += run.length;
    expected_source += run.length;
    if (covered >= size) return runs.front().source_offset;
  }
  return std::nullopt;
}

uint64_t NamedFile::LostBytes() const {
  uint64_t lost = 0;
  for (const FileRun& run : runs) {
    if (run.lost) lost += run.length;
  }
  return lost;
}

FileTypeId TypeFromFileName(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot + 1 >= name.size()) return kTypeNone;
  const std::string_view extension = name.substr(dot + 1);
  if (const auto type = TypeFromExtension(extension)) return *type;
  // The table's own other spellings (jpg, tif, heif, ...), then the ones only file names use.
  if (const auto type = TypeFromName(extension)) return *type;
  for (const ExtensionAlias& alias : kAliases) {
    if (SameLetters(alias.extension, extension)) return alias.type;
  }
  return kTypeNone;
}

std::vector<uint8_t> EncodeListing(const FileSystemListing& listing) {
  Writer out;
  out.Text(kListingMagic);
  out.U8(listing.pass_failed ? 1 : 0);
  out.U64(listing.volumes.size());
  for (const FileSystemVolume& volume : listing.volumes) {
    out.U64(volume.offset);
    out.U64(volume.size);
    out.U64(volume.block_size);
    out.Text(volume.type_name);
    out.Text(volume.partition_name);
  }
  out.U64(listing.notes.size());
  for (const std::string& note : listing.notes) out.Text(note);
  out.U64(listing.files.size());
  for (const NamedFile& file : listing.files) {
    out.U64(file.volume);
    out.Text(file.path);
    out.U64(file.type);
    out.U64(file.size);
    out.U64(static_cast<uint64_t>(file.modified));
    out.U64(static_cast<uint64_t>(file.accessed));
    out.U64(static_cast<uint64_t>(file.created));
    out.U8(file.deleted ? 1 : 0);
    out.U8(file.first_block_in_use ? 1 : 0);
    out.U8(file.resident ? 1 : 0);
    out.Text(std::string_view(reinterpret_cast<const char*>(file.resident_bytes.data()),
                              file.resident_bytes.size()));
    out.U64(file.runs.size());
    for (const FileRun& run : file.runs) {
      out.U64(run.file_offset);
      out.U64(run.source_offset);
      out.U64(run.length);
      out.U8((run.sparse ? 1 : 0) | (run.lost ? 2 : 0));
    }
  }
  return out.Take();
}

std::optional<FileSystemListing> DecodeListing(const uint8_t* data, size_t size) {
  Reader in(data, size);
  FileSystemListing listing;
  std::string magic;
  if (!in.Text(&magic) || magic != kListingMagic || !in.Bool(&listing.pass_failed)) {
    return std::nullopt;
  }
  uint64_t count = 0;
  if (!in.Count(8 * 5, &count)) return std::nullopt;
  listing.volumes.resize(count);
  for (FileSystemVolume& volume : listing.volumes) {
    uint64_t block_size = 0;
    if (!in.U64(&volume.offset) || !in.U64(&volume.size) || !in.U64(&block_size) ||
        block_size > UINT32_MAX || !in.Text(&volume.type_name) ||
        !in.Text(&volume.partition_name)) {
      return std::nullopt;
    }
    volume.block_size = static_cast<uint32_t>(block_size);
  }
  if (!in.Count(8, &count)) return std::nullopt;
  listing.notes.resize(count);
  for (std::string& note : listing.notes) {
    if (!in.Text(&note)) return std::nullopt;
  }
  if (!in.Count(8 * 9 + 3, &count)) return std::nullopt;
  listing.files.resize(count);
  for (NamedFile& file : listing.files) {
    uint64_t volume = 0, type = 0, runs = 0;
    if (!in.U64(&volume) || volume >= listing.volumes.size() || !in.Text(&file.path) ||
        !in.U64(&type) || type >= kTypeCount || !in.U64(&file.size) || !in.I64(&file.modified) ||
        !in.I64(&file.accessed) || !in.I64(&file.created) || !in.Bool(&file.deleted) ||
        !in.Bool(&file.first_block_in_use) || !in.Bool(&file.resident) ||
        !in.Bytes(&file.resident_bytes) || !in.Count(8 * 3 + 1, &runs)) {
      return std::nullopt;
    }
    file.volume = static_cast<uint32_t>(volume);
    file.type = static_cast<FileTypeId>(type);
    file.runs.resize(runs);
    for (FileRun& run : file.runs) {
      uint8_t flags = 0;
      if (!in.U64(&run.file_offset) || !in.U64(&run.source_offset) || !in.U64(&run.length) ||
          !in.U8(&flags) || flags > 3) {
        return std::nullopt;
      }
      run.sparse = (flags & 1) != 0;
      run.lost = (flags & 2) != 0;
    }
  }
  if (!in.AtEnd()) return std::nullopt;
  return listing;
}

}  // namespace pictavo
