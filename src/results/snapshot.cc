#include "results/snapshot.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform/output_file.h"
#include "platform/system_error.h"

namespace pictavo {
namespace {

constexpr uint8_t kTag[] = {'L', 0, 'S', 0, 'S', 0, 'I', 0};
// The versioned layout's tag. A program that knows only the classic layout refuses it as "not a
// valid Save Recovery file" rather than misreading it.
constexpr uint8_t kVersionedTag[] = {'L', 0, 'S', 0, 'S', 0, 'V', 0};
constexpr size_t kTagOffset = 1;
// The reader skips the tag it has already checked and starts at the name's length byte.
constexpr size_t kNameLengthOffset = 9;
constexpr size_t kTallyBytes = kClassicTypeCount * 24;
// Section id and byte length in front of every section of the versioned layout.
constexpr uint64_t kSectionHeaderBytes = 12;
// Length byte, tag and format version of the versioned layout.
constexpr uint64_t kVersionedHeaderBytes = 1 + 8 + 4;

bool HasNamedFiles(const FileSystemListing& named) {
  return !named.files.empty() || !named.volumes.empty() || named.pass_failed;
}

void PutLe(std::vector<uint8_t>& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint64_t GetLe(const uint8_t* p, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

// UTF-8 to UTF-16. Linux names are bytes, not always valid UTF-8: a byte that does not belong to
// a valid sequence is kept as the lone surrogate U+DC80 + byte, which the way back turns into the
// same byte, so that any path survives a save and a load unchanged.
std::u16string ToUtf16(const std::string& text) {
  std::u16string out;
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    const uint8_t lead = s[i];
    uint32_t code = 0;
    size_t length = 0;
    if (lead < 0x80) {
      code = lead;
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      code = lead & 0x1F;
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      code = lead & 0x0F;
      length = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      code = lead & 0x07;
      length = 4;
    }
    bool valid = length > 0 && n - i >= length;
    for (size_t k = 1; valid && k < length; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) valid = false;
      code = (code << 6) | (s[i + k] & 0x3F);
    }
    if (valid && ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
                  (length == 4 && (code < 0x10000 || code > 0x10FFFF)))) {
      valid = false;
    }
    if (!valid) {
      out.push_back(static_cast<char16_t>(0xDC00 + lead));
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i += length;
  }
  return out;
}

void AppendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

std::string ToUtf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const uint32_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (unit >= 0xDC80 && unit <= 0xDCFF) {
      out += static_cast<char>(unit - 0xDC00);  // a byte kept by ToUtf16
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, unit);
    }
  }
  return out;
}

// A text field as the reader takes it: `length` bytes copied into a zero-filled buffer and read as
// a NUL-terminated UTF-16LE string (an odd length leaves the last unit's high byte 0).
std::u16string TextField(const uint8_t* bytes, size_t length) {
  std::u16string text;
  for (size_t i = 0; i < length; i += 2) {
    const char16_t unit =
        static_cast<char16_t>(bytes[i] | (i + 1 < length ? bytes[i + 1] << 8 : 0));
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}

std::string TooLongText(const char* what, size_t units) {
  return std::string("The ") + what + " is too long to be stored in a recovery snapshot (" +
         std::to_string(units) + " characters; at most " + std::to_string(kSnapshotMaxTextUnits) +
         ").";
}

}  // namespace

std::string SnapshotTextProblem(const std::string& source_name, const std::string& source_label) {
  const size_t name_units = ToUtf16(source_name).size();
  if (name_units > kSnapshotMaxTextUnits) return TooLongText("source name", name_units);
  const size_t label_units = ToUtf16(source_label).size();
  if (label_units > kSnapshotMaxTextUnits) return TooLongText("source label", label_units);
  return {};
}

bool NeedsVersionedSnapshot(const ScanResults& results) {
  for (const FoundFile& file : results.records) {
    if (!IsClassicType(file.type) || file.length > kClassicMaxLength) return true;
  }
  for (FileTypeId id = kClassicTypeCount; id < kTypeCount; ++id) {
    if (results.tallies[id] != TypeTally{}) return true;
  }
  return false;
}

bool NeedsVersionedSnapshot(const RecoverySnapshot& snapshot) {
  // The classic layout's texts end at their first NUL; the versioned one keeps them whole.
  return NeedsVersionedSnapshot(snapshot.results) || HasNamedFiles(snapshot.named) ||
         snapshot.source_name.find('\0') != std::string::npos ||
         snapshot.source_label.find('\0') != std::string::npos;
}

uint64_t SnapshotByteSize(const RecoverySnapshot& snapshot) {
  const uint64_t text_bytes =
      2 * (ToUtf16(snapshot.source_name).size() + ToUtf16(snapshot.source_label).size());
  const uint64_t records = snapshot.results.records.size();
  if (!NeedsVersionedSnapshot(snapshot)) {
    return kSnapshotFixedBytes + text_bytes + kSnapshotRecordBytes * records;
  }
  uint64_t size = kVersionedHeaderBytes;
  size += kSectionHeaderBytes + 2 + 2 + text_bytes + 8;             // source
  size += kSectionHeaderBytes + 8 + 4 + uint64_t{kTypeCount} * 24;  // tallies
  size += kSectionHeaderBytes + 8 + 4 + kVersionedRecordBytes * records;
  if (HasNamedFiles(snapshot.named)) {
    size += kSectionHeaderBytes + 8 + EncodeListing(snapshot.named).size() + 8 +
            2 * uint64_t{snapshot.named.files.size()};
  }
  return size;
}

std::string SnapshotSizeProblem(uint64_t bytes) {
  if (bytes <= kMaxSnapshotBytes) return {};
  return "The results are too large for a recovery snapshot: it would take " +
         std::to_string(bytes) + " bytes, and a snapshot of more than " +
         std::to_string(kMaxSnapshotBytes >> 20) +
         " MiB could not be loaded again. Nothing was "
         "saved.";
}

namespace {

void EncodeClassic(const RecoverySnapshot& snapshot, const std::u16string& name,
                   const std::u16string& label, std::vector<uint8_t>& out) {
  out.reserve(SnapshotByteSize(snapshot));
  out.push_back(sizeof(kTag));
  out.insert(out.end(), kTag, kTag + sizeof(kTag));
  for (const std::u16string* text : {&name, &label}) {
    out.push_back(static_cast<uint8_t>(text->size() * 2));
    for (const char16_t unit : *text) PutLe(out, unit, 2);
  }
  PutLe(out, snapshot.source_size, 8);
  PutLe(out, snapshot.results.found_count, 8);
  for (FileTypeId id = 0; id < kClassicTypeCount; ++id) {
    const TypeTally& tally = snapshot.results.tallies[id];
    PutLe(out, tally.present, 8);
    PutLe(out, tally.count, 8);
    PutLe(out, tally.total_bytes, 8);
  }
  for (const FoundFile& file : snapshot.results.records) {
    PutLe(out, 0, 4);  // marks are never saved: a loaded snapshot starts with nothing marked
    PutLe(out, file.type, 4);
    PutLe(out, file.offset, 8);
    PutLe(out, file.length, 4);
  }
}

// Starts a section; FinishSection fills in its byte length.
size_t BeginSection(std::vector<uint8_t>& out, uint32_t id) {
  PutLe(out, id, 4);
  PutLe(out, 0, 8);
  return out.size();
}
void FinishSection(std::vector<uint8_t>& out, size_t start) {
  const uint64_t length = out.size() - start;
  for (int i = 0; i < 8; ++i) out[start - 8 + i] = static_cast<uint8_t>(length >> (8 * i));
}

void EncodeVersioned(const RecoverySnapshot& snapshot, const std::u16string& name,
                     const std::u16string& label, std::vector<uint8_t>& out) {
  const ScanResults& results = snapshot.results;
  out.reserve(static_cast<size_t>(SnapshotByteSize(snapshot)));
  out.push_back(sizeof(kVersionedTag));
  out.insert(out.end(), kVersionedTag, kVersionedTag + sizeof(kVersionedTag));
  PutLe(out, kSnapshotVersion, 4);

  size_t start = BeginSection(out, kSnapshotSectionSource);
  for (const std::u16string* text : {&name, &label}) {
    PutLe(out, text->size(), 2);
    for (const char16_t unit : *text) PutLe(out, unit, 2);
  }
  PutLe(out, snapshot.source_size, 8);
  FinishSection(out, start);

  start = BeginSection(out, kSnapshotSectionTallies);
  PutLe(out, results.found_count, 8);
  PutLe(out, kTypeCount, 4);
  for (const TypeTally& tally : results.tallies) {
    PutLe(out, tally.present, 8);
    PutLe(out, tally.count, 8);
    PutLe(out, tally.total_bytes, 8);
  }
  FinishSection(out, start);

  start = BeginSection(out, kSnapshotSectionRecords);
  PutLe(out, results.records.size(), 8);
  PutLe(out, kVersionedRecordBytes, 4);
  for (const FoundFile& file : results.records) {
    PutLe(out, 0, 4);  // marks are never saved
    PutLe(out, file.type, 4);
    PutLe(out, file.offset, 8);
    PutLe(out, file.length, 8);
  }
  FinishSection(out, start);

  if (HasNamedFiles(snapshot.named)) {
    start = BeginSection(out, kSnapshotSectionNamedFiles);
    const std::vector<uint8_t> listing = EncodeListing(snapshot.named);
    PutLe(out, listing.size(), 8);
    out.insert(out.end(), listing.begin(), listing.end());
    // What was decided about each file once it was listed: whether its content starts as its
    // type's, and its state.
    PutLe(out, snapshot.named.files.size(), 8);
    for (const NamedFile& file : snapshot.named.files) {
      out.push_back(file.content_matches ? 1 : 0);
      out.push_back(static_cast<uint8_t>(file.state));
    }
    FinishSection(out, start);
  }
}

}  // namespace

std::optional<std::vector<uint8_t>> EncodeSnapshot(const RecoverySnapshot& snapshot,
                                                   std::string* error) {
  const std::string problem = SnapshotTextProblem(snapshot.source_name, snapshot.source_label);
  if (!problem.empty()) {
    *error = problem;
    return std::nullopt;
  }
  std::vector<uint8_t> out;
  const std::u16string name = ToUtf16(snapshot.source_name);
  const std::u16string label = ToUtf16(snapshot.source_label);
  if (NeedsVersionedSnapshot(snapshot)) {
    EncodeVersioned(snapshot, name, label, out);
  } else {
    EncodeClassic(snapshot, name, label, out);
  }
  return out;
}

bool HasSnapshotTag(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return false;
  const size_t length = std::min<size_t>(bytes[0], bytes.size() - 1);
  const std::u16string tag = TextField(bytes.data() + 1, length);
  return tag == u"LSSI" || tag == u"LSSV";
}

namespace {

// The classic layout: texts behind length bytes, 26 tallies, 20-byte records to the end.
bool DecodeClassicSnapshot(std::span<const uint8_t> bytes, RecoverySnapshot* out,
                           std::string* error) {
  const std::string cut_short = "The recovery snapshot is incomplete: it ends inside ";
  const std::string nothing_loaded = "; nothing was loaded from it.";
  RecoverySnapshot loaded;
  size_t pos = kNameLengthOffset;
  for (std::string* text : {&loaded.source_name, &loaded.source_label}) {
    if (pos >= bytes.size() || bytes.size() - pos - 1 < bytes[pos]) {
      *error = cut_short + "its source name and label" + nothing_loaded;
      return false;
    }
    const size_t length = bytes[pos];
    *text = ToUtf8(TextField(bytes.data() + pos + 1, length));
    pos += 1 + length;
  }
  if (bytes.size() - pos < 16) {
    *error = cut_short + "its source size and found count" + nothing_loaded;
    return false;
  }
  loaded.source_size = GetLe(bytes.data() + pos, 8);
  loaded.results.found_count = GetLe(bytes.data() + pos + 8, 8);
  pos += 16;
  if (bytes.size() - pos < kTallyBytes) {
    *error = cut_short + "its type statistics" + nothing_loaded;
    return false;
  }
  for (FileTypeId id = 0; id < kClassicTypeCount; ++id) {
    TypeTally& tally = loaded.results.tallies[id];
    tally.present = GetLe(bytes.data() + pos, 8);
    tally.count = GetLe(bytes.data() + pos + 8, 8);
    tally.total_bytes = GetLe(bytes.data() + pos + 16, 8);
    pos += 24;
  }
  const size_t record_bytes = bytes.size() - pos;
  if (record_bytes % kSnapshotRecordBytes != 0) {
    *error = cut_short + "found-file record " +
             std::to_string(record_bytes / kSnapshotRecordBytes + 1) + nothing_loaded;
    return false;
  }
  loaded.results.records.reserve(record_bytes / kSnapshotRecordBytes + 1);
  for (; pos < bytes.size(); pos += kSnapshotRecordBytes) {
    FoundFile file;
    file.selected = static_cast<uint32_t>(GetLe(bytes.data() + pos, 4));
    file.type = static_cast<FileTypeId>(GetLe(bytes.data() + pos + 4, 4));
    file.offset = GetLe(bytes.data() + pos + 8, 8);
    file.length = GetLe(bytes.data() + pos + 16, 4);
    loaded.results.records.push_back(file);
  }
  // Our results always end with the spare record, which is never listed. Snapshots written by
  // this program end with it too; a hand-made one that does not gets one here, so that its last
  // file is still listed.
  if (!loaded.results.records.empty() && loaded.results.records.back().type != kTypeNone) {
    loaded.results.records.emplace_back();
  }
  *out = std::move(loaded);
  return true;
}

// Reads little-endian fields from a span; every read is checked against its end.
class FieldReader {
 public:
  explicit FieldReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  bool Take(int width, uint64_t* value) {
    if (bytes_.size() - pos_ < static_cast<size_t>(width)) return false;
    *value = GetLe(bytes_.data() + pos_, width);
    pos_ += width;
    return true;
  }
  bool Skip(uint64_t count) {
    if (bytes_.size() - pos_ < count) return false;
    pos_ += static_cast<size_t>(count);
    return true;
  }
  std::span<const uint8_t> Rest() const { return bytes_.subspan(pos_); }
  size_t position() const { return pos_; }
  bool AtEnd() const { return pos_ == bytes_.size(); }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

bool ReadText(FieldReader& reader, std::string* text) {
  uint64_t units = 0;
  if (!reader.Take(2, &units)) return false;
  std::u16string utf16;
  for (uint64_t i = 0; i < units; ++i) {
    uint64_t unit = 0;
    if (!reader.Take(2, &unit)) return false;
    utf16.push_back(static_cast<char16_t>(unit));
  }
  *text = ToUtf8(utf16);
  return true;
}

// The versioned layout: the tag, a 32-bit version, then sections, each a 32-bit id, a 64-bit byte
// length and its bytes. Sections this version does not know are skipped; the source, tally and
// record sections must be there.
bool DecodeVersionedSnapshot(std::span<const uint8_t> bytes, RecoverySnapshot* out,
                             std::string* error) {
  const std::string damaged = "The recovery snapshot is damaged: ";
  const std::string nothing_loaded = "; nothing was loaded from it.";
  FieldReader reader(bytes);
  uint64_t version = 0;
  if (!reader.Skip(1 + sizeof(kVersionedTag)) || !reader.Take(4, &version)) {
    *error = damaged + "it ends inside its header" + nothing_loaded;
    return false;
  }
  if (version > kSnapshotVersion) {
    *error =
        "The recovery snapshot was saved by a newer version of this program (snapshot format " +
        std::to_string(version) + "; this version reads formats up to " +
        std::to_string(kSnapshotVersion) + "). Nothing was loaded from it.";
    return false;
  }
  RecoverySnapshot loaded;
  bool have_source = false, have_tallies = false, have_records = false;
  while (!reader.AtEnd()) {
    uint64_t id = 0, length = 0;
    if (!reader.Take(4, &id) || !reader.Take(8, &length) || reader.Rest().size() < length) {
      *error = damaged + "it ends inside a section" + nothing_loaded;
      return false;
    }
    FieldReader section(reader.Rest().first(static_cast<size_t>(length)));
    reader.Skip(length);
    if (id == kSnapshotSectionSource) {
      if (!ReadText(section, &loaded.source_name) || !ReadText(section, &loaded.source_label) ||
          !section.Take(8, &loaded.source_size)) {
        *error = damaged + "its source section is cut short" + nothing_loaded;
        return false;
      }
      have_source = true;
    } else if (id == kSnapshotSectionTallies) {
      uint64_t count = 0;
      if (!section.Take(8, &loaded.results.found_count) || !section.Take(4, &count) ||
          section.Rest().size() / 24 < count) {
        *error = damaged + "its type statistics are cut short" + nothing_loaded;
        return false;
      }
      for (uint64_t type = 0; type < count; ++type) {
        TypeTally tally;
        section.Take(8, &tally.present);
        section.Take(8, &tally.count);
        section.Take(8, &tally.total_bytes);
        if (type < kTypeCount) {
          loaded.results.tallies[type] = tally;
        } else if (tally != TypeTally{}) {
          *error = "The recovery snapshot holds files of a type this version does not know (type " +
                   std::to_string(type) + "). Nothing was loaded from it.";
          return false;
        }
      }
      have_tallies = true;
    } else if (id == kSnapshotSectionRecords) {
      uint64_t count = 0, record_bytes = 0;
      if (!section.Take(8, &count) || !section.Take(4, &record_bytes) ||
          record_bytes < kVersionedRecordBytes || section.Rest().size() / record_bytes < count) {
        *error = damaged + "its found-file records are cut short" + nothing_loaded;
        return false;
      }
      loaded.results.records.reserve(static_cast<size_t>(count) + 1);
      for (uint64_t i = 0; i < count; ++i) {
        const uint8_t* record = section.Rest().data();
        FoundFile file;
        file.selected = static_cast<uint32_t>(GetLe(record, 4));
        file.type = static_cast<FileTypeId>(GetLe(record + 4, 4));
        file.offset = GetLe(record + 8, 8);
        file.length = GetLe(record + 16, 8);
        loaded.results.records.push_back(file);
        section.Skip(record_bytes);
      }
      have_records = true;
    } else if (id == kSnapshotSectionNamedFiles) {
      uint64_t listing_bytes = 0, count = 0;
      std::optional<FileSystemListing> named;
      if (section.Take(8, &listing_bytes) && section.Rest().size() >= listing_bytes) {
        named = DecodeListing(section.Rest().data(), static_cast<size_t>(listing_bytes));
        section.Skip(listing_bytes);
      }
      if (named && (!section.Take(8, &count) || count != named->files.size() ||
                    section.Rest().size() / 2 < count)) {
        named.reset();
      }
      for (size_t i = 0; named && i < named->files.size(); ++i) {
        uint64_t matches = 0, state = 0;
        section.Take(1, &matches);
        section.Take(1, &state);
        if (matches > 1 || state > static_cast<uint64_t>(NamedFileState::kDeletedOverwritten)) {
          named.reset();
          break;
        }
        named->files[i].content_matches = matches == 1;
        named->files[i].state = static_cast<NamedFileState>(state);
      }
      if (!named) {
        *error = damaged + "its files with names cannot be read" + nothing_loaded;
        return false;
      }
      loaded.named = std::move(*named);
    }
  }
  if (!have_source || !have_tallies || !have_records) {
    *error = damaged + "a part of it is missing" + nothing_loaded;
    return false;
  }
  if (loaded.results.records.empty() || loaded.results.records.back().type != kTypeNone) {
    loaded.results.records.emplace_back();
  }
  *out = std::move(loaded);
  return true;
}

}  // namespace

bool DecodeSnapshot(std::span<const uint8_t> bytes, RecoverySnapshot* out, std::string* error) {
  if (!HasSnapshotTag(bytes)) {
    *error = kNotASnapshotMessage;
    return false;
  }
  if (bytes.size() > sizeof(kVersionedTag) && bytes[0] == sizeof(kVersionedTag) &&
      std::equal(kVersionedTag, kVersionedTag + sizeof(kVersionedTag), bytes.begin() + 1)) {
    return DecodeVersionedSnapshot(bytes, out, error);
  }
  return DecodeClassicSnapshot(bytes, out, error);
}

std::string SnapshotCountWarning(const RecoverySnapshot& snapshot) {
  const uint64_t held = snapshot.results.Found().size();
  const uint64_t counted = snapshot.results.found_count;
  if (held == counted) return {};
  if (held < counted) {
    return "This recovery snapshot looks incomplete: it counts " + std::to_string(counted) +
           " found files but holds the records of only " + std::to_string(held) +
           ". It may have been cut short; only the files it holds can be listed and saved.";
  }
  return "This recovery snapshot holds " + std::to_string(held) +
         " found-file records but counts only " + std::to_string(counted) +
         " found files; it may have been altered.";
}

SnapshotStatus WriteSnapshot(const std::string& path, const RecoverySnapshot& snapshot,
                             ExistingSnapshot existing) {
  SnapshotStatus status;
  status.message = SnapshotSizeProblem(SnapshotByteSize(snapshot));
  if (!status.message.empty()) return status;
  std::string problem;
  const auto bytes = EncodeSnapshot(snapshot, &problem);
  if (!bytes) {
    status.message = problem;
    return status;
  }
  const auto fail = [&](int error) {
    status.ok = false;
    status.error_code = error;
    status.message =
        "The recovery snapshot could not be saved to " + path + ": " + SystemErrorText(error);
    return status;
  };

  // The temporary file sits in the snapshot's own folder so that the rename cannot cross file
  // systems; its name is unique to this process and call.
  static std::atomic<unsigned> counter{0};
  const std::string folder = FolderOf(path);
  const size_t slash = path.find_last_of('/');
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temp_path;
  int fd = -1;
  int error = 0;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp_path = folder + "/." + base + ".tmp-" + std::to_string(getpid()) + "-" +
                std::to_string(counter.fetch_add(1));
    fd = CreateNewFile(temp_path, &error);
    if (fd < 0 && error != EEXIST) break;
  }
  if (fd < 0) return fail(error);
  if (!WriteFully(fd, bytes->data(), bytes->size(), &error)) {
    close(fd);
    unlink(temp_path.c_str());
    return fail(error);
  }
  if (!SyncAndClose(fd, &error)) {
    unlink(temp_path.c_str());
    return fail(error);
  }
  if (existing == ExistingSnapshot::kRefuse) {
    if (!MoveIntoPlace(temp_path, path, &error)) {
      unlink(temp_path.c_str());
      return fail(error);
    }
  } else if (rename(temp_path.c_str(), path.c_str()) != 0) {
    error = errno;
    unlink(temp_path.c_str());
    return fail(error);
  }
  status.ok = true;
  status.message = kSnapshotSavedMessage;
  return status;
}

SnapshotStatus ReadSnapshot(const std::string& path, RecoverySnapshot* out) {
  SnapshotStatus status;
  std::vector<uint8_t> bytes;
  int error = 0;
  if (!ReadWholeFile(path, kMaxSnapshotBytes, &bytes, &error)) {
    status.error_code = error;
    status.message =
        "The recovery snapshot " + path + " could not be read: " + SystemErrorText(error);
    return status;
  }
  std::string problem;
  if (!DecodeSnapshot(bytes, out, &problem)) {
    status.message = problem;
    return status;
  }
  status.ok = true;
  return status;
}

bool CheckSnapshotFile(const std::string& path) {
  if (path.empty()) return false;
  // Not blocking on a named pipe without a writer; its read then finds nothing.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  uint8_t head[256] = {};
  ssize_t got;
  size_t total = 0;
  do {
    got = read(fd, head + total, sizeof(head) - total);
    if (got > 0) total += static_cast<size_t>(got);
  } while ((got > 0 && total < sizeof(head)) || (got < 0 && errno == EINTR));
  close(fd);
  return HasSnapshotTag(std::span<const uint8_t>(head, total));
}

std::string DefaultSnapshotFileName(std::time_t now) {
  std::tm local{};
  char name[129];
  size_t length = 0;
  if (localtime_r(&now, &local)) {
    length =
        std::strftime(name, sizeof(name), "Oskel_Save_Recovery_Snap %A, %B %d, %Y,%H%M%S", &local);
  }
  return std::string(name, length) + ".dat";
}

uint64_t SelectedTotal(const ScanResults& results) {
  uint64_t total = 0;
  for (const FoundFile& file : results.records) {
    if (file.selected) total += file.length;
  }
  return total;
}

}  // namespace pictavo
