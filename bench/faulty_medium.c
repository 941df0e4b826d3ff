// A one-file FUSE file system for the imaging bench: serves the bytes of a backing file as
// /disk, but fails every read that touches one of the listed byte ranges with EIO. Direct I/O,
// so that each read reaches it as the reader asked for it.
//   faulty_medium BACKING BADLIST MOUNTPOINT [fuse options]
// BADLIST holds lines "BEGIN END" (byte offsets, END exclusive).
#define FUSE_USE_VERSION 31
#include <errno.h>
#include <fcntl.h>
#include <fuse3/fuse.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int backing_fd = -1;
static off_t backing_size = 0;
static unsigned long long (*bad)[2] = NULL;
static size_t bad_count = 0;

static int touches_bad(off_t offset, size_t size) {
  // The list is sorted: binary search for the first range ending after offset.
  size_t lo = 0, hi = bad_count;
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    if (bad[mid][1] <= (unsigned long long)offset) lo = mid + 1; else hi = mid;
  }
  return lo < bad_count && bad[lo][0] < (unsigned long long)offset + size;
}

static int fs_getattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
  (void)fi;
  memset(st, 0, sizeof(*st));
  if (strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  if (strcmp(path, "/disk") != 0) return -ENOENT;
  st->st_mode = S_IFREG | 0444;
  st->st_nlink = 1;
  st->st_size = backing_size;
  return 0;
}

static int fs_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t off,
                      struct fuse_file_info* fi, enum fuse_readdir_flags flags) {
  (void)off; (void)fi; (void)flags;
  if (strcmp(path, "/") != 0) return -ENOENT;
  fill(buf, ".", NULL, 0, 0);
  fill(buf, "..", NULL, 0, 0);
  fill(buf, "disk", NULL, 0, 0);
  return 0;
}

static int fs_open(const char* path, struct fuse_file_info* fi) {
  if (strcmp(path, "/disk") != 0) return -ENOENT;
  if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EACCES;
  fi->direct_io = 1;
  return 0;
}

static int fs_read(const char* path, char* buf, size_t size, off_t offset,
                   struct fuse_file_info* fi) {
  (void)path; (void)fi;
  if (offset >= backing_size) return 0;
  if ((off_t)size > backing_size - offset) size = (size_t)(backing_size - offset);
  if (touches_bad(offset, size)) return -EIO;
  ssize_t got = pread(backing_fd, buf, size, offset);
  return got < 0 ? -errno : (int)got;
}

static int compare(const void* a, const void* b) {
  const unsigned long long* x = a;
  const unsigned long long* y = b;
  return x[0] < y[0] ? -1 : x[0] > y[0];
}

static const struct fuse_operations ops = {
    .getattr = fs_getattr, .readdir = fs_readdir, .open = fs_open, .read = fs_read};

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: %s BACKING BADLIST MOUNTPOINT [fuse options]\n", argv[0]);
    return 2;
  }
  backing_fd = open(argv[1], O_RDONLY);
  if (backing_fd < 0) { perror(argv[1]); return 1; }
  backing_size = lseek(backing_fd, 0, SEEK_END);
  FILE* list = fopen(argv[2], "r");
  if (!list) { perror(argv[2]); return 1; }
  unsigned long long b, e;
  size_t cap = 0;
  while (fscanf(list, "%llu %llu", &b, &e) == 2) {
    if (bad_count == cap) {
      cap = cap ? cap * 2 : 256;
      bad = realloc(bad, cap * sizeof(*bad));
      if (!bad) return 1;
    }
    bad[bad_count][0] = b;
    bad[bad_count][1] = e;
    ++bad_count;
  }
  fclose(list);
  if (bad_count) qsort(bad, bad_count, sizeof(*bad), compare);
  // fuse_main takes the mount point and the options; drop our own two arguments.
  char** fuse_argv = calloc((size_t)argc, sizeof(char*));
  int n = 0;
  fuse_argv[n++] = argv[0];
  for (int i = 3; i < argc; ++i) fuse_argv[n++] = argv[i];
  return fuse_main(n, fuse_argv, &ops, NULL);
}
