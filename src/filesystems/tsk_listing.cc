#include "filesystems/tsk_listing.h"

#include <tsk/libtsk.h>

#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

namespace pictavo {
namespace {

// Bytes the library is shown in place of others: a damaged first FAT copy is read from the
// second copy, which FAT keeps for this very case.
struct Substitute {
  uint64_t offset = 0;
  uint64_t length = 0;
  uint64_t replacement = 0;
};

// The library reads the medium through this: its own image header first, then our source.
struct SourceImage {
  TSK_IMG_INFO info;
  SectorSource* source;
  std::vector<Substitute>* substitutes;
};

// Reads `count` bytes at `offset` of the medium as the library is to see them.
bool ReadShown(SourceImage* self, uint64_t offset, uint32_t count, uint8_t* buffer,
               uint32_t* delivered) {
  for (const Substitute& substitute : *self->substitutes) {
    if (offset >= substitute.offset && offset - substitute.offset < substitute.length) {
      const uint64_t in = offset - substitute.offset;
      const uint32_t piece =
          static_cast<uint32_t>(std::min<uint64_t>(count, substitute.length - in));
      return self->source->ReadAt(substitute.replacement + in, piece, buffer, ReadRule::kChunk,
                                  delivered);
    }
    if (offset < substitute.offset && substitute.offset - offset < count) {
      count = static_cast<uint32_t>(substitute.offset - offset);
    }
  }
  return self->source->ReadAt(offset, count, buffer, ReadRule::kChunk, delivered);
}

ssize_t ReadSourceImage(TSK_IMG_INFO* image, TSK_OFF_T offset, char* buffer, size_t length) {
  auto* self = reinterpret_cast<SourceImage*>(image);
  if (offset < 0) return -1;
  size_t done = 0;
  while (done < length) {
    const uint32_t piece = static_cast<uint32_t>(std::min<size_t>(length - done, 1u << 30));
    uint32_t delivered = 0;
    if (!ReadShown(self, static_cast<uint64_t>(offset) + done, piece,
                   reinterpret_cast<uint8_t*>(buffer) + done, &delivered)) {
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

// When a FAT file system starts at `offset` and its first FAT copy is damaged where the second
// is not (entry 0 must repeat the media byte of the boot sector), the second copy stands in for
// the first; returns the note that says so, or nothing.
std::string CheckFatCopies(SectorSource& source, uint64_t offset,
                           std::vector<Substitute>& substitutes) {
  uint8_t boot[512];
  if (!source.ReadAt(offset, sizeof boot, boot, ReadRule::kData) || boot[510] != 0x55 ||
      boot[511] != 0xAA) {
    return "";
  }
  const uint32_t bytes_per_sector = boot[11] | (boot[12] << 8);
  const uint32_t reserved = boot[14] | (boot[15] << 8);
  const uint32_t copies = boot[16];
  const uint8_t media = boot[21];
  uint32_t fat_sectors = boot[22] | (boot[23] << 8);
  if (fat_sectors == 0) {
    fat_sectors = boot[36] | (boot[37] << 8) | (boot[38] << 16) | (uint32_t{boot[39]} << 24);
  }
  const bool plausible = bytes_per_sector >= 512 && bytes_per_sector <= 4096 &&
                         (bytes_per_sector & (bytes_per_sector - 1)) == 0 && reserved > 0 &&
                         copies >= 2 && media >= 0xF0 && fat_sectors > 0 &&
                         std::memcmp(boot + 3, "NTFS", 4) != 0 &&
                         std::memcmp(boot + 3, "EXFAT", 5) != 0;
  if (!plausible) return "";
  const uint64_t first = offset + uint64_t{reserved} * bytes_per_sector;
  const uint64_t length = uint64_t{fat_sectors} * bytes_per_sector;
  uint8_t first_entry = 0, second_entry = 0;
  if (!source.ReadAt(first, 1, &first_entry, ReadRule::kData) ||
      !source.ReadAt(first + length, 1, &second_entry, ReadRule::kData)) {
    return "";
  }
  if (first_entry == media) return "";
  if (second_entry != media) {
    return "FAT at byte " + std::to_string(offset) +
           ": both copies of the allocation table are damaged; live and deleted files cannot be "
           "told apart, and each file's content is read as if it lay in one piece";
  }
  substitutes.push_back(Substitute{first, length, first + length});
  return "FAT at byte " + std::to_string(offset) +
         ": the first copy of the allocation table is damaged; the second copy was read instead";
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
  uint64_t live_entries_marked_free = 0;

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
  bool lost_any = false;
  uint64_t covered = 0;
  size_t count = 0;
  for (const TSK_FS_ATTR_RUN* run = attr->nrd.run; run != nullptr && count < kMaxRunsPerFile;
       run = run->next, ++count) {
    if (run->len == 0) continue;
    FileRun piece;
    piece.file_offset = run->offset * block_size;
    if (piece.file_offset >= file.size || piece.file_offset < covered) break;
    if (piece.file_offset > covered) {
      // A gap in the map: that part of the content has no known place.
      file.runs.push_back(FileRun{covered, 0, piece.file_offset - covered, true, true});
      lost_any = true;
    }
    piece.length = std::min<uint64_t>(run->len * block_size, file.size - piece.file_offset);
    piece.sparse = (run->flags & TSK_FS_ATTR_RUN_FLAG_SPARSE) != 0;
    if (run->flags & TSK_FS_ATTR_RUN_FLAG_FILLER) piece.sparse = piece.lost = true;
    if (!piece.sparse &&
        (run->addr > fs->last_block_act || run->len > fs->last_block_act - run->addr + 1)) {
      piece.sparse = piece.lost = true;
    }
    if (!piece.sparse) {
      piece.source_offset =
          static_cast<uint64_t>(fs->offset) + run->addr * block_size + attr->nrd.skiplen;
    }
    lost_any |= piece.lost;
    covered = piece.file_offset + piece.length;
    // Bytes past the initialised length were never written: they read as zeros.
    if (piece.file_offset >= initialised) {
      piece.sparse = true;
      piece.lost = false;
      piece.source_offset = 0;
    } else if (covered > initialised) {
      FileRun tail = piece;
      piece.length = initialised - piece.file_offset;
      tail.file_offset = initialised;
      tail.length -= piece.length;
      tail.sparse = true;
      tail.lost = false;
      tail.source_offset = 0;
      file.runs.push_back(piece);
      file.runs.push_back(tail);
      continue;
    }
    file.runs.push_back(piece);
  }
  if (covered < file.size) {
    file.runs.push_back(FileRun{covered, 0, file.size - covered, true, true});
    lost_any = true;
  }
  if (lost_any && !file.deleted) {
    state.Note(file.path +
               ": its cluster chain is broken (it ends early or leads outside the file system); "
               "the missing part reads as zeros");
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
  // A live folder entry is a live file, whatever the allocation table says of its clusters.
  file.deleted = name_deleted;
  if (!name_deleted && meta != nullptr && (meta->flags & TSK_FS_META_FLAG_UNALLOC)) {
    ++state.live_entries_marked_free;
  }
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
  if (state.live_entries_marked_free > 0) {
    state.Note(std::to_string(state.live_entries_marked_free) +
               " live files have clusters that the allocation table marks free: the table "
               "looks damaged, and their content is read as if it lay in one piece");
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
  std::vector<Substitute> substitutes;
  image->source = &source;
  image->substitutes = &substitutes;
  if (std::string note = CheckFatCopies(source, 0, substitutes); !note.empty()) {
    listing.notes.push_back(std::move(note));
  }
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
      const uint64_t part_offset = uint64_t{part->start} * vs->block_size;
      if (std::string note = CheckFatCopies(source, part_offset, substitutes); !note.empty()) {
        listing.notes.push_back(partition_name + ", " + note);
        // What the library has kept of the damaged copy must be read again.
        for (size_t& length : img->cache_len) length = 0;
      }
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
