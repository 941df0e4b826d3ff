#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace pictavo::testing {

// A small FUSE file system for tests that need a medium with unreadable or slow areas, or one
// that shrinks while it is read. It serves one file, `path()`, whose bytes are those of a
// backing file; a read that touches a failing range gets EIO, a read that touches a slow range
// waits first. The file system is served by a child process, so that a reader of this process
// never waits for a server that waits for it, and is unmounted when the object goes (destroy
// any LoopFile over it first: declare the FaultFuse before them).
//
//   FaultFuse fuse(backing_path);
//   if (!fuse.ok()) GTEST_SKIP() << fuse.skip_reason();
//   fuse.FailRange(8192, 12288);          // reads touching these bytes fail with EIO
//   fuse.DelayRange(0, 4096, 200);        // reads touching these bytes wait 200 ms
//   open(fuse.path().c_str(), O_RDONLY);  // a plain file ...
//   LoopFile loop(fuse.path());           // ... or a block device over it
//   fuse.Shrink(1 << 20);                 // the file is now 1 MiB long
//
// The kernel caches what it read, so a range made to fail after it was read may still be served
// from the page cache; set the ranges before reading. With `direct_io` every read reaches the
// file system, at any offset and length (then the file cannot be memory-mapped, and a loop
// device over it sees failures at 512-byte granularity); without it, reads come in whole 4 KiB
// pages. Needs /dev/fuse and root; otherwise ok() is false and skip_reason() says why.
// All methods may be called from any thread.
class FaultFuse {
 public:
  struct Options {
    bool direct_io = false;
  };
  explicit FaultFuse(const std::string& backing_path) : FaultFuse(backing_path, Options{}) {}
  FaultFuse(const std::string& backing_path, Options options);
  ~FaultFuse();
  FaultFuse(const FaultFuse&) = delete;
  FaultFuse& operator=(const FaultFuse&) = delete;

  bool ok() const;
  const std::string& skip_reason() const;
  // The served file: <mount point>/medium.
  const std::string& path() const;

  // Reads touching [begin, end) fail with EIO.
  void FailRange(uint64_t begin, uint64_t end);
  // Reads touching [begin, end) wait `milliseconds` first.
  void DelayRange(uint64_t begin, uint64_t end, uint32_t milliseconds);
  // Forgets all failing and slow ranges.
  void ClearRanges();
  // The served file is now `size` bytes long (at most the backing file's size); the kernel is
  // told at once, so mappings of the cut part are cut as they are by a truncate.
  void Shrink(uint64_t size);
  // Reads that reached the file system, and those that failed.
  uint64_t reads() const;
  uint64_t failed_reads() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// A read-only loop device over a file, detached when the object goes. Needs root and losetup;
// otherwise ok() is false and skip_reason() says why. `direct_io` asks the loop driver to read
// the file with O_DIRECT; `sector_size` (0 for the default of 512) sets its logical sector size.
class LoopFile {
 public:
  explicit LoopFile(const std::string& file, bool direct_io = false, uint32_t sector_size = 0);
  ~LoopFile();
  LoopFile(const LoopFile&) = delete;
  LoopFile& operator=(const LoopFile&) = delete;

  bool ok() const { return skip_reason_.empty(); }
  const std::string& skip_reason() const { return skip_reason_; }
  const std::string& device() const { return device_; }  // /dev/loopN
  // Tells the loop driver that the file's size changed (losetup -c).
  bool Refresh();

 private:
  std::string device_, skip_reason_;
};

}  // namespace pictavo::testing
