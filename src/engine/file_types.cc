#include "engine/file_types.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace pictavo {
namespace {

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size() || a.empty()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// The ids of the rows that pass `keep`, ordered by `rank`.
template <typename Keep, typename Rank>
std::vector<FileTypeId> OrderedIds(Keep keep, Rank rank) {
  std::vector<FileTypeId> ids;
  for (const FileTypeInfo& info : FileTypeTable()) {
    if (keep(info)) ids.push_back(info.id);
  }
  std::stable_sort(ids.begin(), ids.end(), [&](FileTypeId a, FileTypeId b) {
    return rank(*FindFileType(a)) < rank(*FindFileType(b));
  });
  return ids;
}

}  // namespace

const FileTypeInfo* FindFileType(FileTypeId id) {
  const auto table = FileTypeTable();
  return id < table.size() ? &table[id] : nullptr;
}

std::string_view TreeLabelOf(FileTypeId id) {
  const FileTypeInfo* info = FindFileType(id);
  return info ? info->tree_label : "";
}

std::string_view ExtensionOf(FileTypeId id) {
  const FileTypeInfo* info = FindFileType(id);
  return info && info->make_handler ? info->extension : "";
}

std::string_view TypeNameOf(FileTypeId id) {
  const FileTypeInfo* info = FindFileType(id);
  return info && info->make_handler ? info->name : "";
}

bool HasRecogniser(FileTypeId id) {
  const FileTypeInfo* info = FindFileType(id);
  return info && info->make_handler;
}

bool IsMultimediaType(FileTypeId id) {
  const FileTypeInfo* info = FindFileType(id);
  return info && (info->category == TypeCategory::kVideo || info->category == TypeCategory::kAudio);
}

std::string_view CategoryText(TypeCategory category) {
  switch (category) {
    case TypeCategory::kPhoto:
    case TypeCategory::kRaw:
      return "Image";
    case TypeCategory::kVideo:
    case TypeCategory::kAudio:
      return "Multimedia";
    case TypeCategory::kNone:
      break;
  }
  return "";
}

uint64_t RecordedLength(FileTypeId id, uint64_t measured, bool exact_ends) {
  const FileTypeInfo* info = FindFileType(id);
  return exact_ends || (info && info->whole_length) ? measured : (measured & 0xFFFFFFFFu);
}

std::optional<FileTypeId> TypeFromExtension(std::string_view extension) {
  for (const FileTypeInfo& info : FileTypeTable()) {
    if (info.make_handler && SameName(info.extension, extension)) return info.id;
  }
  return std::nullopt;
}

std::optional<FileTypeId> TypeFromName(std::string_view name) {
  for (const FileTypeInfo& info : FileTypeTable()) {
    if (info.make_handler && SameName(info.name, name)) return info.id;
  }
  if (const auto by_extension = TypeFromExtension(name)) return by_extension;
  for (const FileTypeInfo& info : FileTypeTable()) {
    if (!info.make_handler) continue;
    for (const std::string_view alias : info.aliases) {
      if (SameName(alias, name)) return info.id;
    }
  }
  return std::nullopt;
}

std::span<const FileTypeId> TrialOrder() {
  static const std::vector<FileTypeId> order =
      OrderedIds([](const FileTypeInfo& info) { return info.make_handler && info.trial_rank > 0; },
                 [](const FileTypeInfo& info) { return info.trial_rank; });
  return order;
}

std::span<const FileTypeId> PageRowOrder() {
  static const std::vector<FileTypeId> order =
      OrderedIds([](const FileTypeInfo& info) { return info.make_handler && info.page_row >= 0; },
                 [](const FileTypeInfo& info) { return info.page_row; });
  return order;
}

std::span<const FileTypeId> TreeOrder() {
  static const std::vector<FileTypeId> order =
      OrderedIds([](const FileTypeInfo& info) { return !info.tree_label.empty(); },
                 [](const FileTypeInfo& info) { return info.id; });
  return order;
}

std::string TypeNameList() {
  std::string list;
  for (const FileTypeInfo& info : FileTypeTable()) {
    if (!info.make_handler) continue;
    if (!list.empty()) list += ',';
    list += info.name;
  }
  return list;
}

FileTypeSelection& ProcessFileTypeSelection() {
  static FileTypeSelection selection;
  return selection;
}

}  // namespace pictavo
