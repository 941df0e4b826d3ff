#include "filesystems/tsk_listing.h"

#include <tsk/libtsk.h>

#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>

namespace pictavo {
namespace {

// The library reads the medium through this: its own image header first, then our source.
struct SourceImage {
  TSK_IMG_INFO info;
  SectorSource* source;
};

ssize_t ReadSourceImage(TSK_IMG_INFO* image, TSK_OFF_T offset, char* buffer, size_t length) {
  auto* self = reinterpret_cast<SourceImage*>(image);
  if (offset < 0) return -1;
  size_t done = 0;
  while (done < length) {
    const uint32_t piece = static_cast<uint32_t>(std::min<size_t>(length - done, 1u << 30));
    uint32_t delivered = 0;
    if (!self->source->ReadAt(static_cast<uint64_t>(offset) + done, piece,
                              reinterpret_cast<uint8_t*>(buffer) + done, ReadRule::kChunk,
                              &delivered)) {
      return done > 0 ? static_cast<ssize_t>(done) : -1;
    }
    done += delivered;
    if (delivered < piece) break;  // the end of the medium
  }
  return static_cast<ssize_t>(done);
}

void CloseSourceImage(TSK_IMG_INFO* image) { std::free(image); }

void DescribeSourceImage(TSK_IMG_INFO*, FILE*) {}

std::string LibraryError() {
  const char* text = tsk_error_get();
  std::string result = text ? text : "unknown error";
  while (!result.empty() && (result.back() == '\n' || result.back() == ' ')) result.pop_back();
  tsk_error_reset();
  return result;
}

std::string FileSystemName(TSK_FS_TYPE_ENUM type) {
  if (TSK_FS_TYPE_ISFAT(type)) {
    switch (type) {
      case TSK_FS_TYPE_FAT12:
        return "FAT12";
      case TSK_FS_TYPE_FAT16:
        return "FAT16";
      case TSK_FS_TYPE_FAT32:
        return "FAT32";
      case TSK_FS_TYPE_EXFAT:
        return "exFAT";
      default:
        return "FAT";
    }
  }
  if (TSK_FS_TYPE_ISNTFS(type)) return "NTFS";
  if (TSK_FS_TYPE_ISISO9660(type)) return "ISO 9660";
  if (TSK_FS_TYPE_ISHFS(type)) return "HFS+";
  const char* name = tsk_fs_type_toname(type);
  std::string text = name ? name : "unknown";
  if (TSK_FS_TYPE_ISEXT(type) && !text.empty()) text[0] = 'E';  // "Ext4"
  return text;
}

constexpr size_t kMaxNotesPerVolume = 50;
constexpr size_t kMaxRunsPerFile = 1'000'000;

struct WalkState {
  TSK_FS_INFO* fs = nullptr;
  FileSystemListing* listing = nullptr;
  const ListingOptions* options = nullptr;
  uint32_t volume = 0;
  std::string volume_label;  // "FAT32 at byte 1048576" for notes
  std::unordered_set<TSK_INUM_T> directories_seen;
  std::unordered_set<TSK_INUM_T> files_seen;
  size_t notes = 0;
  size_t notes_dropped = 0;
  bool loop_noted = false;

  void Note(const std::string& text) {
    if (notes >= kMaxNotesPerVolume) {
      ++notes_dropped;
      return;
    }
    ++notes;
    listing->notes.push_back(volume_label + ": " + text);
  }
};

bool BlockInUse(TSK_FS_INFO* fs, TSK_DADDR_T block) {
  if (block < fs->first_block || block > fs->last_block || fs->block_getflags == nullptr) {
    return false;
  }
  return (fs->block_getflags(fs, block) & TSK_FS_BLOCK_FLAG_ALLOC) != 0;
}

// Fills the file's map from its default data attribute; false when the library cannot give one.
bool ReadFileMap(WalkState& state, TSK_FS_FILE* fs_file, NamedFile& file) {
  const TSK_FS_ATTR* attr = tsk_fs_file_attr_get(fs_file);
  if (attr == nullptr) return false;
  if (attr->flags & (TSK_FS_ATTR_COMP | TSK_FS_ATTR_ENC)) {
    state.Note(file.path + ": its content is compressed or encrypted and cannot be read by name");
    return false;
  }
  if (attr->flags & TSK_FS_ATTR_RES) {
    file.resident = true;
    const size_t stored = attr->rd.buf ? std::min<uint64_t>(attr->rd.buf_size, file.size) : 0;
    file.resident_bytes.assign(attr->rd.buf, attr->rd.buf + stored);
    return true;
  }
  if (!(attr->flags & TSK_FS_ATTR_NONRES)) return false;
  TSK_FS_INFO* fs = state.fs;
  const uint64_t block_size = fs->block_size;
  const uint64_t initialised =
      attr->nrd.initsize > 0 ? std::min<uint64_t>(attr->nrd.initsize, file.size) : file.size;
  bool beyond_volume = false;
  size_t count = 0;
  for (const TSK_FS_ATTR_RUN* run = attr->nrd.run; run != nullptr && count < kMaxRunsPerFile;
       run = run->next, ++count) {
    if (run->len == 0) continue;
    FileRun piece;
    piece.file_offset = run->offset * block_size;
    if (piece.file_offset >= file.size) break;
    piece.length = std::min<uint64_t>(run->len * block_size, file.size - piece.file_offset);
    piece.sparse = (run->flags & (TSK_FS_ATTR_RUN_FLAG_SPARSE | TSK_FS_ATTR_RUN_FLAG_FILLER)) != 0;
    if (!piece.sparse) {
      if (run->addr > fs->last_block_act || run->len > fs->last_block_act - run->addr + 1) {
        beyond_volume = true;
        piece.sparse = true;
      } else {
        piece.source_offset =
            static_cast<uint64_t>(fs->offset) + run->addr * block_size + attr->nrd.skiplen;
      }
    }
    // Bytes past the initialised length hold whatever was on the disk before: they read as zeros.
    if (piece.file_offset >= initialised) {
      piece.sparse = true;
    } else if (piece.file_offset + piece.length > initialised) {
      FileRun tail = piece;
      piece.length = initialised - piece.file_offset;
      tail.file_offset = initialised;
      tail.length -= piece.length;
      tail.sparse = true;
      file.runs.push_back(piece);
      file.runs.push_back(tail);
      continue;
    }
    if (piece.sparse) piece.source_offset = 0;
    file.runs.push_back(piece);
  }
  if (beyond_volume && !file.deleted) {
    state.Note(file.path + ": its map points outside the file system; those parts read as zeros");
  }
  return true;
}

TSK_WALK_RET_ENUM VisitEntry(TSK_FS_FILE* fs_file, const char* parent, void* context) {
  auto& state = *static_cast<WalkState*>(context);
  if (fs_file == nullptr || fs_file->name == nullptr || fs_file->name->name == nullptr) {
    return TSK_WALK_CONT;
  }
  const TSK_FS_NAME* name = fs_file->name;
  const std::string_view leaf = name->name;
  if (leaf == "." || leaf == ".." || leaf.empty()) return TSK_WALK_CONT;
  std::string path = parent ? parent : "";
  while (!path.empty() && path.front() == '/') path.erase(path.begin());
  path += leaf;

  const TSK_FS_META* meta = fs_file->meta;
  const bool name_deleted = (name->flags & TSK_FS_NAME_FLAG_UNALLOC) != 0;
  const bool directory =
      TSK_FS_IS_DIR_NAME(name->type) || (meta != nullptr && TSK_FS_IS_DIR_META(meta->type));
  if (directory) {
    // A folder met a second time is a loop (or a folder two entries share): the library walks
    // into it only once; say so once per file system.
    if (!name_deleted && !state.directories_seen.insert(name->meta_addr).second &&
        !state.loop_noted) {
      state.loop_noted = true;
      state.Note("the folder " + path +
                 " leads back into a folder already listed (a loop); it was not walked again");
    }
    return TSK_WALK_CONT;
  }
  const bool regular =
      name->type == TSK_FS_NAME_TYPE_REG || (name->type == TSK_FS_NAME_TYPE_UNDEF &&
                                             meta != nullptr && meta->type == TSK_FS_META_TYPE_REG);
  if (!regular) return TSK_WALK_CONT;
  const FileTypeId type = TypeFromFileName(leaf);
  if (type == kTypeNone && !state.options->all_types) return TSK_WALK_CONT;
  // A file seen again through a loop is listed once.
  if (!name_deleted && meta != nullptr && !state.files_seen.insert(name->meta_addr).second) {
    return TSK_WALK_CONT;
  }
  if (state.listing->files.size() >= state.options->max_files) {
    state.Note("more than " + std::to_string(state.options->max_files) +
               " files: the listing stops here");
    return TSK_WALK_STOP;
  }

  NamedFile file;
  file.volume = state.volume;
  file.path = std::move(path);
  file.type = type;
  file.deleted = name_deleted || (meta != nullptr && (meta->flags & TSK_FS_META_FLAG_UNALLOC));
  if (meta != nullptr) {
    file.size = meta->size > 0 ? static_cast<uint64_t>(meta->size) : 0;
    file.modified = meta->mtime;
    file.accessed = meta->atime;
    file.created = meta->crtime;
    // A deleted name whose record now describes a live file: the content is someone else's.
    if (name_deleted && (meta->flags & TSK_FS_META_FLAG_ALLOC)) file.first_block_in_use = true;
  }
  if (meta != nullptr && file.size > 0 && !file.first_block_in_use) {
    if (!ReadFileMap(state, fs_file, file)) {
      if (!file.deleted) {
        state.Note(file.path + ": its map cannot be read (" + LibraryError() + ")");
      }
      file.runs.clear();
    }
    tsk_error_reset();
    if (file.deleted && !file.resident) {
      for (const FileRun& run : file.runs) {
        if (run.sparse) continue;
        const uint64_t block =
            (run.source_offset - static_cast<uint64_t>(state.fs->offset)) / state.fs->block_size;
        file.first_block_in_use = BlockInUse(state.fs, block);
        break;
      }
    }
  }
  state.listing->files.push_back(std::move(file));
  return TSK_WALK_CONT;
}

void ListVolume(TSK_FS_INFO* fs, const std::string& partition_name, const ListingOptions& options,
                FileSystemListing& listing) {
  FileSystemVolume volume;
  volume.offset = static_cast<uint64_t>(fs->offset);
  volume.block_size = fs->block_size;
  volume.size = static_cast<uint64_t>(fs->block_count) * fs->block_size;
  volume.type_name = FileSystemName(fs->ftype);
  volume.partition_name = partition_name;
  listing.volumes.push_back(volume);

  WalkState state;
  state.fs = fs;
  state.listing = &listing;
  state.options = &options;
  state.volume = static_cast<uint32_t>(listing.volumes.size() - 1);
  state.volume_label = (partition_name.empty() ? std::string() : partition_name + ", ") +
                       volume.type_name + " at byte " + std::to_string(volume.offset);
  int flags =
      TSK_FS_DIR_WALK_FLAG_ALLOC | TSK_FS_DIR_WALK_FLAG_UNALLOC | TSK_FS_DIR_WALK_FLAG_RECURSE;
  if (!options.orphans) flags |= TSK_FS_DIR_WALK_FLAG_NOORPHAN;
  tsk_error_reset();
  if (tsk_fs_dir_walk(fs, fs->root_inum, static_cast<TSK_FS_DIR_WALK_FLAG_ENUM>(flags), VisitEntry,
                      &state) != 0) {
    state.Note("the folders could not all be read (" + LibraryError() + ")");
  }
  if (state.notes_dropped > 0) {
    listing.notes.push_back(state.volume_label + ": " + std::to_string(state.notes_dropped) +
                            " more problems were found");
  }
}

}  // namespace

FileSystemListing ListFileSystemsInProcess(SectorSource& source, const ListingOptions& options) {
  FileSystemListing listing;
  auto* image = static_cast<SourceImage*>(std::calloc(1, sizeof(SourceImage)));
  if (image == nullptr) {
    listing.notes.push_back("not enough memory to read the file systems");
    return listing;
  }
  image->source = &source;
  const unsigned sector_size = source.SectorSize() ? source.SectorSize() : 512;
  TSK_IMG_INFO* img =
      tsk_img_open_external(image, static_cast<TSK_OFF_T>(source.Size()), sector_size,
                            ReadSourceImage, CloseSourceImage, DescribeSourceImage);
  if (img == nullptr) {
    std::free(image);
    listing.notes.push_back("the medium cannot be read as a disk (" + LibraryError() + ")");
    return listing;
  }

  bool any_file_system = false;
  if (TSK_VS_INFO* vs = tsk_vs_open(img, 0, TSK_VS_TYPE_DETECT)) {
    for (TSK_PNUM_T i = 0; i < vs->part_count; ++i) {
      const TSK_VS_PART_INFO* part = tsk_vs_part_get(vs, i);
      if (part == nullptr || !(part->flags & TSK_VS_PART_FLAG_ALLOC)) continue;
      const std::string partition_name = "Partition " + std::to_string(part->addr);
      TSK_FS_INFO* fs = tsk_fs_open_vol(part, TSK_FS_TYPE_DETECT);
      if (fs == nullptr) {
        tsk_error_reset();
        continue;
      }
      any_file_system = true;
      ListVolume(fs, partition_name, options, listing);
      tsk_fs_close(fs);
    }
    tsk_vs_close(vs);
  }
  tsk_error_reset();
  if (!any_file_system) {
    if (TSK_FS_INFO* fs = tsk_fs_open_img(img, 0, TSK_FS_TYPE_DETECT)) {
      ListVolume(fs, "", options, listing);
      tsk_fs_close(fs);
    }
    tsk_error_reset();
  }
  tsk_img_close(img);
  return listing;
}

}  // namespace pictavo
