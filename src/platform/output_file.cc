#include "platform/output_file.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace pictavo {

int CreateNewFile(const std::string& path, int* error) {
  int fd;
  do {
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) *error = errno;
  return fd;
}

bool WriteFully(int fd, const void* data, size_t size, int* error) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t written = write(fd, bytes, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      *error = errno;
      return false;
    }
    if (written == 0) {
      *error = ENOSPC;
      return false;
    }
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

namespace {

constexpr size_t kSparseBlock = 4096;

bool IsZeroBlock(const uint8_t* block) {
  return block[0] == 0 && std::memcmp(block, block + 1, kSparseBlock - 1) == 0;
}

}  // namespace

bool WriteSkippingZeroBlocks(int fd, const void* data, size_t size, uint64_t position, int* error) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  // The bytes before the first block boundary and after the last one are always written.
  const size_t head =
      std::min(size, static_cast<size_t>((kSparseBlock - position % kSparseBlock) % kSparseBlock));
  size_t done = head;
  size_t run_start = 0;  // start of the bytes not yet written
  while (done + kSparseBlock <= size) {
    if (!IsZeroBlock(bytes + done)) {
      done += kSparseBlock;
      continue;
    }
    size_t zeros_end = done + kSparseBlock;
    while (zeros_end + kSparseBlock <= size && IsZeroBlock(bytes + zeros_end)) {
      zeros_end += kSparseBlock;
    }
    if (!WriteFully(fd, bytes + run_start, done - run_start, error)) return false;
    if (lseek(fd, static_cast<off_t>(zeros_end - done), SEEK_CUR) < 0) {
      *error = errno;
      return false;
    }
    run_start = done = zeros_end;
  }
  return WriteFully(fd, bytes + run_start, size - run_start, error);
}

bool EndSparseFile(int fd, uint64_t length, int* error) {
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    *error = errno;
    return false;
  }
  if (static_cast<uint64_t>(st.st_size) >= length) return true;
  if (ftruncate(fd, static_cast<off_t>(length)) != 0) {
    *error = errno;
    return false;
  }
  return true;
}

bool SyncAndClose(int fd, int* error) {
  bool ok = true;
  if (fsync(fd) != 0 && errno != EINVAL && errno != EROFS) {
    // EINVAL/EROFS: the file's kind does not support syncing (a pipe, a character device); nothing
    // was lost.
    *error = errno;
    ok = false;
  }
  if (close(fd) != 0 && ok && errno != EINTR) {
    *error = errno;
    ok = false;
  }
  return ok;
}

bool ReadWholeFile(const std::string& path, size_t max_bytes, std::vector<uint8_t>* out,
                   int* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return false;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    *error = errno;
    close(fd);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    *error = EISDIR;
    close(fd);
    return false;
  }
  std::vector<uint8_t> bytes;
  uint8_t buffer[65536];
  while (true) {
    const ssize_t got = read(fd, buffer, sizeof(buffer));
    if (got < 0) {
      if (errno == EINTR) continue;
      *error = errno;
      close(fd);
      return false;
    }
    if (got == 0) break;
    if (bytes.size() + static_cast<size_t>(got) > max_bytes) {
      *error = EFBIG;
      close(fd);
      return false;
    }
    bytes.insert(bytes.end(), buffer, buffer + got);
  }
  close(fd);
  *out = std::move(bytes);
  return true;
}

bool MoveIntoPlace(const std::string& temp_path, const std::string& final_path, int* error) {
  if (renameat2(AT_FDCWD, temp_path.c_str(), AT_FDCWD, final_path.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno == EEXIST) {
    *error = EEXIST;
    return false;
  }
  // EINVAL or ENOSYS: the file system cannot refuse to replace in a rename. A hard link can.
  if (link(temp_path.c_str(), final_path.c_str()) == 0) {
    unlink(temp_path.c_str());
    return true;
  }
  if (errno == EEXIST) {
    *error = EEXIST;
    return false;
  }
  // No hard links either (vfat, exfat): the name is looked at first. Another program would have
  // to take it in the moment between the look and the rename.
  struct stat st {};
  if (lstat(final_path.c_str(), &st) == 0) {
    *error = EEXIST;
    return false;
  }
  if (rename(temp_path.c_str(), final_path.c_str()) != 0) {
    *error = errno;
    return false;
  }
  return true;
}

std::string PartialFileName(const std::string& final_name) {
  static std::atomic<unsigned> counter{0};
  return std::string(kPartialFilePrefix) + std::to_string(getpid()) + "-" +
         std::to_string(counter.fetch_add(1)) + "." + final_name + kPartialFileSuffix;
}

namespace {

// The process id in a name made by PartialFileName; 0 when the name is not one of them.
pid_t PartialFileOwner(const std::string& name) {
  const size_t prefix = std::strlen(kPartialFilePrefix);
  const size_t suffix = std::strlen(kPartialFileSuffix);
  if (name.size() <= prefix + suffix || name.compare(0, prefix, kPartialFilePrefix) != 0 ||
      name.compare(name.size() - suffix, suffix, kPartialFileSuffix) != 0) {
    return 0;
  }
  size_t pos = prefix;
  uint64_t pid = 0;
  while (pos < name.size() && name[pos] >= '0' && name[pos] <= '9' && pid < 1u << 30) {
    pid = pid * 10 + static_cast<uint64_t>(name[pos++] - '0');
  }
  if (pos == prefix || pos >= name.size() || name[pos] != '-') return 0;
  const size_t counter_start = ++pos;
  while (pos < name.size() && name[pos] >= '0' && name[pos] <= '9') ++pos;
  if (pos == counter_start || pos >= name.size() || name[pos] != '.') return 0;
  return static_cast<pid_t>(pid);
}

}  // namespace

size_t RemoveStalePartialFiles(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return 0;
  size_t removed = 0;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    const pid_t owner = PartialFileOwner(name);
    if (owner <= 0 || owner == getpid()) continue;
    // A process of that number still running may be a run writing into this folder now.
    if (kill(owner, 0) == 0 || errno == EPERM) continue;
    struct stat st {};
    if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != geteuid()) {
      continue;
    }
    if (unlinkat(dirfd(dir), entry->d_name, 0) == 0) ++removed;
  }
  closedir(dir);
  return removed;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NextFreeName(const std::string& folder, const std::string& name) {
  const auto exists = [&](const std::string& candidate) {
    struct stat st {};
    return lstat((folder + "/" + candidate).c_str(), &st) == 0;
  };
  if (!exists(name)) return name;
  const size_t dot = name.find_last_of('.');
  const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  const std::string extension = stem.size() == name.size() ? "" : name.substr(dot);
  // Bounded, so that a folder full of copies cannot keep the loop going: past this the caller's
  // exclusive create reports the clash.
  for (int copy = 2; copy < 100000; ++copy) {
    const std::string candidate = stem + " (" + std::to_string(copy) + ")" + extension;
    if (!exists(candidate)) return candidate;
  }
  return name;
}

}  // namespace pictavo
