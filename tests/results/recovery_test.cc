#include "results/recovery.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/memory_source.h"
#include "platform/sector_source.h"
#include "results/extent_copy.h"
#include "samples/image_builder.h"
#include "support/fault_fuse.h"
#include "support/faulty_source.h"
#include "support/loop_device.h"

namespace pictavo {
namespace {

using samples::RandomBytes;
using samples::ReadFile;
using samples::TempDir;
using samples::WriteFile;

constexpr uint64_t kChunk = kExtentChunkBytes;

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, uint64_t offset, uint64_t length) {
  return std::vector<uint8_t>(bytes.begin() + static_cast<ptrdiff_t>(offset),
                              bytes.begin() + static_cast<ptrdiff_t>(offset + length));
}

// Makes writes fail with EFBIG past `bytes` for as long as it lives, as a full card would.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &old_);
    old_handler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit limit = old_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    signal(SIGXFSZ, old_handler_);
  }

 private:
  rlimit old_{};
  sighandler_t old_handler_;
};

TEST(RecoveredNames, CountWithinEachTypeInFoundOrder) {
  ScanResults results;
  results.records = {{kTypeJpeg, 0, 1, 0},   {kTypePng, 512, 1, 0},   {kTypeJpeg, 1024, 1, 0},
                     {kTypeDbx, 2048, 1, 0}, {kTypeJpeg, 4096, 1, 0}, {}};
  EXPECT_EQ(
      RecoveredFileNames(results),
      (std::vector<std::string>{"File0.jpeg", "File0.png", "File1.jpeg", "File0.", "File2.jpeg"}));
}

TEST(ExtentCopy, ReadsWholeSectorsAndWritesTheFileSize) {
  TempDir dir;
  const std::vector<uint8_t> medium = RandomBytes(8192, 1);
  testing::FaultySource source(medium, 512);
  const ExtentCopyResult copy =
      CopyExtent(source, {kTypeJpeg, 1536, 1000, 0}, dir.File("a.jpeg"), ExistingFile::kRefuse);
  ASSERT_TRUE(copy.ok) << copy.message;
  EXPECT_FALSE(copy.damaged());
  EXPECT_EQ(source.read_log(), (std::vector<std::pair<uint64_t, uint32_t>>{{1536, 1024}}));
  EXPECT_EQ(ReadFile(dir.File("a.jpeg")), Slice(medium, 1536, 1000));
}

TEST(ExtentCopy, AWholeNumberOfChunksEndsWithAnEmptyPass) {
  TempDir dir;
  const std::vector<uint8_t> medium = RandomBytes(kChunk + 4096, 2);
  testing::FaultySource source(medium, 512);
  const ExtentCopyResult copy = CopyExtent(source, {kTypeMov, 2048, uint32_t{kChunk}, 0},
                                           dir.File("m.mov"), ExistingFile::kRefuse);
  ASSERT_TRUE(copy.ok);
  EXPECT_EQ(source.read_log(), (std::vector<std::pair<uint64_t, uint32_t>>{{2048, kChunk}}));
  EXPECT_EQ(ReadFile(dir.File("m.mov")), Slice(medium, 2048, kChunk));
}

// A source that holds its bytes in memory is saved from there, piece by piece; a bad spot late
// in a chunk must not leave the chunk's first pieces as they were read, nor zero more than the
// one unreadable sector.
TEST(ExtentCopy, OnlyTheUnreadableSectorOfAChunkIsWrittenAsZeros) {
  const uint64_t start = 4096, length = 2 * kChunk + 777;
  const std::vector<uint8_t> medium = RandomBytes(start + length + 512, 3);
  for (const bool views : {false, true}) {
    for (const uint64_t bad_at : {uint64_t{5}, uint64_t{kChunk} - 100}) {
      SCOPED_TRACE(::testing::Message() << "views " << views << ", bad at " << bad_at);
      TempDir dir;
      testing::FaultySource source(medium, 512);
      source.ServeViews(views);
      const uint64_t bad = start + kChunk + bad_at;  // in the second chunk
      source.FailRange(bad, bad + 1);
      const ExtentCopyResult copy =
          CopyExtent(source, {kTypeAvi, start, static_cast<uint32_t>(length), 0}, dir.File("v.avi"),
                     ExistingFile::kRefuse);
      ASSERT_TRUE(copy.ok);
      EXPECT_TRUE(copy.damaged());
      EXPECT_FALSE(copy.cut_short);
      const uint64_t sector = bad / 512 * 512;
      EXPECT_EQ(copy.unreadable_bytes, 512u);
      EXPECT_EQ(copy.first_unreadable_offset, sector);
      EXPECT_EQ(copy.unreadable, (std::vector<ByteRange>{{sector, 512}}));
      std::vector<uint8_t> expected = Slice(medium, start, length);
      std::fill_n(expected.begin() + static_cast<ptrdiff_t>(sector - start), 512, 0);
      EXPECT_EQ(ReadFile(dir.File("v.avi")), expected);
    }
  }
}

// A read that delivers part of its bytes before it fails: those bytes are kept, the sectors after
// the failure are read again one by one, and only the failing one becomes zeros, whatever the
// buffer held from the chunk before.
TEST(ExtentCopy, BytesDeliveredBeforeAFailureAreKept) {
  const uint64_t start = 0, length = kChunk + 100000;
  const std::vector<uint8_t> medium = RandomBytes(length + 4096, 31);
  TempDir dir;
  testing::FaultySource source(medium, 512);
  source.DeliverPartially(true);
  const uint64_t bad = kChunk + 50000;  // mid-sector, second chunk
  source.FailRange(bad, bad + 700);     // touches two sectors
  const ExtentCopyResult copy =
      CopyExtent(source, {kTypeAvi, start, static_cast<uint32_t>(length), 0}, dir.File("p.avi"),
                 ExistingFile::kRefuse);
  ASSERT_TRUE(copy.ok) << copy.message;
  // The partial read gave every byte up to `bad`; the rest of that sector and the next are lost.
  const uint64_t lost_end = (bad + 700 + 511) / 512 * 512;
  EXPECT_EQ(copy.unreadable, (std::vector<ByteRange>{{bad, lost_end - bad}}));
  EXPECT_EQ(copy.unreadable_bytes, lost_end - bad);
  std::vector<uint8_t> expected = Slice(medium, start, length);
  std::fill(expected.begin() + static_cast<ptrdiff_t>(bad),
            expected.begin() + static_cast<ptrdiff_t>(lost_end), 0);
  EXPECT_EQ(ReadFile(dir.File("p.avi")), expected);
}

// Saving through a source with bad sectors scattered over it keeps every byte that can be read:
// the saved file equals the medium with exactly the bad sectors zeroed.
TEST(ExtentCopy, ScatteredBadSectorsLoseOnlyThemselves) {
  const uint64_t length = 3 * kChunk + 12345;
  const std::vector<uint8_t> medium = RandomBytes(length + 4096, 41);
  std::vector<uint64_t> bad_sectors;
  uint64_t state = 12345;
  for (int i = 0; i < 40; ++i) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    bad_sectors.push_back((state >> 20) % (length / 512));
  }
  for (const bool views : {false, true}) {
    SCOPED_TRACE(views);
    TempDir dir;
    testing::FaultySource source(medium, 512);
    source.ServeViews(views);
    std::vector<uint8_t> expected = Slice(medium, 0, length);
    uint64_t lost = 0;
    std::vector<bool> is_bad(length / 512 + 1);
    for (uint64_t s : bad_sectors) {
      source.FailRange(s * 512 + 100, s * 512 + 101);
      if (!is_bad[s]) lost += 512;
      is_bad[s] = true;
      std::fill_n(expected.begin() + static_cast<ptrdiff_t>(s * 512), 512, 0);
    }
    const ExtentCopyResult copy =
        CopyExtent(source, {kTypeMov, 0, static_cast<uint32_t>(length), 0}, dir.File("s.mov"),
                   ExistingFile::kRefuse);
    ASSERT_TRUE(copy.ok) << copy.message;
    EXPECT_EQ(copy.unreadable_bytes, lost);
    EXPECT_EQ(ReadFile(dir.File("s.mov")), expected);
  }
}

// The same through the system: a file with one unreadable 512-byte spot, read as a plain file and
// as a block device over it. The page cache fails the whole 4 KiB page; the direct reads of
// single sectors that follow lose only the bad one on both roads.
TEST(ExtentCopy, ThroughAFileSystemWithABadSpotOnlyItsSmallestReadableUnitIsLost) {
  TempDir dir;
  const uint64_t length = 2117377;
  const std::vector<uint8_t> medium = RandomBytes(4 << 20, 51);
  ASSERT_TRUE(WriteFile(dir.File("backing"), medium));
  const uint64_t start = 65536, bad = start + 1000448;  // 512-aligned, mid-page
  ASSERT_EQ(bad % 512, 0u);
  struct Road {
    const char* name;
    bool device;
    uint64_t lost_from, lost_to;
  };
  for (const Road& road :
       {Road{"plain file", false, bad, bad + 512}, Road{"loop device", true, bad, bad + 512}}) {
    SCOPED_TRACE(road.name);
    testing::FaultFuse fuse(dir.File("backing"), {.direct_io = road.device});
    if (!fuse.ok()) GTEST_SKIP() << fuse.skip_reason();
    fuse.FailRange(bad, bad + 512);
    std::string path = fuse.path();
    std::unique_ptr<testing::LoopFile> loop;
    if (road.device) {
      loop = std::make_unique<testing::LoopFile>(fuse.path(), /*direct_io=*/true);
      if (!loop->ok()) GTEST_SKIP() << loop->skip_reason();
      path = loop->device();
    }
    int error = 0;
    auto source = FileSectorSource::Open(path, {}, &error);
    ASSERT_TRUE(source) << error;
    const std::string out = dir.File(std::string(road.name) + ".jpeg");
    const ExtentCopyResult copy = CopyExtent(
        *source, {kTypeJpeg, start, static_cast<uint32_t>(length), 0}, out, ExistingFile::kRefuse);
    ASSERT_TRUE(copy.ok) << copy.message;
    EXPECT_EQ(copy.unreadable,
              (std::vector<ByteRange>{{road.lost_from, road.lost_to - road.lost_from}}));
    std::vector<uint8_t> expected = Slice(medium, start, length);
    std::fill(expected.begin() + static_cast<ptrdiff_t>(road.lost_from - start),
              expected.begin() + static_cast<ptrdiff_t>(road.lost_to - start), 0);
    EXPECT_EQ(ReadFile(out), expected);
    source.reset();
    loop.reset();
  }
}

// Runs of zero blocks are stepped over rather than written; whatever their place (at the start,
// across the 2 MiB pieces, at the very end, everywhere) the saved file must read back as the
// extent, with its full length.
TEST(ExtentCopy, ZeroBlocksBecomeHolesAndTheFileReadsTheSame) {
  struct Layout {
    const char* name;
    uint64_t length;
    uint64_t zeros_from, zeros_to;  // within the extent
  };
  const uint64_t odd = (5u << 20) + 1234, even = 3u << 20;
  const Layout layouts[] = {
      {"leading", odd, 0, 3 * 4096},
      {"across a piece", odd, (2u << 20) - 10000, (2u << 20) + 70000},
      {"trailing", odd, odd - 20000, odd},
      {"trailing whole blocks", even, even - 8192, even},
      {"all", even, 0, even},
      {"unaligned short", odd, 100, 4000},
  };
  const uint64_t start = 1536;  // the extent starts mid-page on the medium
  for (const bool views : {false, true}) {
    for (const Layout& layout : layouts) {
      SCOPED_TRACE(::testing::Message() << layout.name << ", views " << views);
      std::vector<uint8_t> medium = RandomBytes(start + layout.length + 4096, 11);
      std::fill(medium.begin() + static_cast<ptrdiff_t>(start + layout.zeros_from),
                medium.begin() + static_cast<ptrdiff_t>(start + layout.zeros_to), 0);
      TempDir dir;
      testing::FaultySource source(medium, 512);
      source.ServeViews(views);
      const ExtentCopyResult copy =
          CopyExtent(source, {kTypeMov, start, static_cast<uint32_t>(layout.length), 0},
                     dir.File("z.mov"), ExistingFile::kRefuse);
      ASSERT_TRUE(copy.ok) << copy.message;
      EXPECT_EQ(ReadFile(dir.File("z.mov")), Slice(medium, start, layout.length));
      struct stat st {};
      ASSERT_EQ(stat(dir.File("z.mov").c_str(), &st), 0);
      EXPECT_EQ(static_cast<uint64_t>(st.st_size), layout.length);
    }
  }
}

TEST(ExtentCopy, ExistingFilesFailuresAndCancelling) {
  TempDir dir;
  const std::vector<uint8_t> medium = RandomBytes(3 * kChunk, 4);
  MemorySectorSource source(medium, 512);
  const std::vector<uint8_t> old_bytes = {1, 2, 3};
  ASSERT_TRUE(WriteFile(dir.File("x.jpeg"), old_bytes));

  ExtentCopyResult copy =
      CopyExtent(source, {kTypeJpeg, 0, 600, 0}, dir.File("x.jpeg"), ExistingFile::kRefuse);
  EXPECT_FALSE(copy.ok);
  EXPECT_EQ(copy.error_code, EEXIST);
  EXPECT_EQ(ReadFile(dir.File("x.jpeg")), old_bytes);
  copy = CopyExtent(source, {kTypeJpeg, 0, 600, 0}, dir.File("x.jpeg"), ExistingFile::kReplace);
  EXPECT_TRUE(copy.ok);
  EXPECT_EQ(ReadFile(dir.File("x.jpeg")), Slice(medium, 0, 600));

  {
    FileSizeLimit limit(kChunk + 10);
    copy = CopyExtent(source, {kTypeMov, 0, 2 * kChunk, 0}, dir.File("big.mov"),
                      ExistingFile::kRefuse);
  }
  EXPECT_FALSE(copy.ok);
  EXPECT_EQ(copy.error_code, EFBIG);
  EXPECT_FALSE(Exists(dir.File("big.mov")));

  class CancelAfterFirstChunk : public ExtentCopyObserver {
   public:
    void OnCopied(uint64_t, uint64_t) override { cancel.store(true); }
    std::atomic<bool> cancel{false};
  } observer;
  copy = CopyExtent(source, {kTypeMov, 0, 2 * kChunk, 0}, dir.File("c.mov"), ExistingFile::kRefuse,
                    &observer, &observer.cancel);
  EXPECT_FALSE(copy.ok);
  EXPECT_TRUE(copy.cancelled);
  EXPECT_FALSE(Exists(dir.File("c.mov")));

  // A length that runs past the end of the medium is saved up to the end and marked short:
  // bytes that were never on the medium are not written as zeros.
  copy = CopyExtent(source, {kTypeJpeg, 3 * kChunk - 512, 2000, 0}, dir.File("end.jpeg"),
                    ExistingFile::kRefuse);
  ASSERT_TRUE(copy.ok);
  EXPECT_TRUE(copy.cut_short);
  EXPECT_TRUE(copy.damaged());
  EXPECT_EQ(copy.bytes_written, 512u);
  EXPECT_EQ(ReadFile(dir.File("end.jpeg")), Slice(medium, 3 * kChunk - 512, 512));

  // One that starts beyond the end fails and leaves no file.
  copy = CopyExtent(source, {kTypeJpeg, uint64_t{1} << 48, 2000, 0}, dir.File("far.jpeg"),
                    ExistingFile::kRefuse);
  EXPECT_FALSE(copy.ok);
  EXPECT_FALSE(Exists(dir.File("far.jpeg")));
  EXPECT_NE(copy.message.find("beyond the end of the source"), std::string::npos) << copy.message;

  copy = CopyExtent(dir.File("no-such-source"), {kTypeJpeg, 0, 10, 0}, dir.File("n.jpeg"),
                    ExistingFile::kRefuse);
  EXPECT_FALSE(copy.ok);
  EXPECT_EQ(copy.error_code, ENOENT);
  EXPECT_FALSE(Exists(dir.File("n.jpeg")));
}

TEST(SavingRun, WritesMarkedFilesNeverOverwritesAndReportsDamage) {
  TempDir dir;
  const std::vector<uint8_t> medium = RandomBytes(64 * 1024, 5);
  testing::FaultySource source(medium, 512);
  source.FailRange(20000, 20001);
  ScanResults results;
  results.records = {{kTypeJpeg, 0, 3000, 1},    {kTypeJpeg, 4096, 3000, 0},
                     {kTypePng, 8192, 5000, 1},  {kTypeJpeg, 16384, 6000, 1},
                     {kTypeJpeg, 40960, 100, 1}, {}};
  const std::string out = dir.File("out");
  std::filesystem::create_directory(out);
  const std::vector<uint8_t> earlier = {9, 9, 9};
  ASSERT_TRUE(WriteFile(out + "/File0.jpeg", earlier));

  class Progress : public SaveObserver {
   public:
    void OnStart(uint64_t count, uint64_t total) override {
      files = count;
      bytes = total;
    }
    void OnProgress(uint64_t done, uint64_t) override { last = done; }
    void OnFileDone(const SavedFile& file) override { names.push_back(file.name); }
    uint64_t files = 0, bytes = 0, last = 0;
    std::vector<std::string> names;
  } progress;
  const SaveSummary summary = SaveMarkedFiles(source, results, out, &progress, nullptr);
  EXPECT_EQ(progress.files, 4u);
  EXPECT_EQ(progress.bytes, 3000u + 5000 + 6000 + 100);
  EXPECT_EQ(progress.last, progress.bytes);
  EXPECT_EQ(progress.names,
            (std::vector<std::string>{"File0 (2).jpeg", "File0.png", "File2.jpeg", "File3.jpeg"}));
  EXPECT_EQ(summary.written, 3u);
  EXPECT_EQ(summary.damaged, 1u);
  EXPECT_EQ(summary.failed, 0u);
  EXPECT_EQ(summary.renamed, 1u);
  EXPECT_FALSE(summary.all_written());

  EXPECT_EQ(ReadFile(out + "/File0.jpeg"), earlier);
  EXPECT_EQ(ReadFile(out + "/File0 (2).jpeg"), Slice(medium, 0, 3000));
  EXPECT_EQ(ReadFile(out + "/File0.png"), Slice(medium, 8192, 5000));
  std::vector<uint8_t> damaged = Slice(medium, 16384, 6000);
  std::fill_n(damaged.begin() + (19968 - 16384), 512, 0);  // the sector holding byte 20000
  EXPECT_EQ(ReadFile(out + "/File2.jpeg"), damaged);
  EXPECT_EQ(ReadFile(out + "/File3.jpeg"), Slice(medium, 40960, 100));
  EXPECT_FALSE(Exists(out + "/File1.jpeg"));

  const std::string text = SaveSummaryText(summary, out);
  EXPECT_NE(text.find("Saved 4 files to " + out + ": 3 whole, 1 damaged, 0 failed."),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("File2.jpeg is damaged: 512 of its 6000 bytes could not be read (first at "
                      "offset 19968 of the source)"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Unreadable on the source: 512 bytes at offset 19968.\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("File0.jpeg as File0 (2).jpeg"), std::string::npos) << text;
}

TEST(SavingRun, AFileThatCannotBeWrittenFailsAloneAndLeavesNothing) {
  TempDir dir;
  MemorySectorSource source(RandomBytes(64 * 1024, 6), 512);
  ScanResults results;
  results.records = {
      {kTypeJpeg, 0, 1000, 1}, {kTypeJpeg, 4096, 30000, 1}, {kTypeJpeg, 40960, 1000, 1}, {}};
  SaveSummary summary;
  {
    FileSizeLimit limit(20000);
    summary = SaveMarkedFiles(source, results, dir.path(), nullptr, nullptr);
  }
  EXPECT_EQ(summary.written, 2u);
  EXPECT_EQ(summary.failed, 1u);
  EXPECT_FALSE(Exists(dir.File("File1.jpeg")));
  EXPECT_TRUE(Exists(dir.File("File2.jpeg")));
  EXPECT_NE(SaveSummaryText(summary, dir.path()).find("File1.jpeg was not saved: cannot write"),
            std::string::npos);

  std::atomic<bool> cancel{true};
  summary = SaveMarkedFiles(source, results, dir.File("never"), nullptr, &cancel);
  EXPECT_TRUE(summary.cancelled);
  EXPECT_TRUE(summary.files.empty());
}

TEST(Destination, AnImageSourceRefusesItsOwnFileSystemUnlessAllowed) {
  TempDir dir;
  ASSERT_TRUE(WriteFile(dir.File("card.img"), std::vector<uint8_t>(4096)));
  for (const std::string& destination :
       {dir.path(), dir.File("new/folder/below"), dir.File("snapshot.dat")}) {
    DestinationCheck check = CheckDestination(destination, dir.File("card.img"), 0);
    EXPECT_EQ(check.verdict, DestinationVerdict::kSameMedium) << destination;
    EXPECT_EQ(check.message, kSameDriveMessage);
    check = CheckDestination(destination, dir.File("card.img"), 0,
                             {.allow_same_file_system = true, .roots = {}});
    EXPECT_TRUE(check.accepted()) << destination;
    EXPECT_TRUE(check.same_file_system_allowed);
  }
  // A source that is gone (a snapshot's card, long removed) leaves the free-space rule alone.
  EXPECT_TRUE(CheckDestination(dir.path(), dir.File("gone.img"), 0).accepted());
}

// The block device that holds the file system of `path`, when the machine lets us see it.
std::string DeviceHolding(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return {};
  const auto device = BlockDeviceOfFileSystem({}, st.st_dev);
  if (!device) return {};
  const auto folder = SysfsFolderOf({}, *device);
  if (!folder) return {};
  const std::string node = "/dev/" + folder->substr(folder->find_last_of('/') + 1);
  struct stat node_st {};
  if (stat(node.c_str(), &node_st) != 0 || !S_ISBLK(node_st.st_mode) ||
      node_st.st_rdev != *device) {
    return {};
  }
  return node;
}

TEST(Destination, AFolderOnTheSourceDeviceIsRefusedWhateverTheOption) {
  TempDir dir;
  const std::string device = DeviceHolding(dir.path());
  if (device.empty()) GTEST_SKIP() << "the temporary folder's device is not visible here";
  const DestinationCheck check =
      CheckDestination(dir.path(), device, 0, {.allow_same_file_system = true, .roots = {}});
  EXPECT_EQ(check.verdict, DestinationVerdict::kSameMedium) << device;
  EXPECT_FALSE(check.same_file_system_allowed);
}

TEST(Destination, PartitionsAndTheirDiskAreOneMedium) {
  testing::LoopDevice loop(std::vector<uint8_t>(8 << 20));
  if (!loop.ok()) GTEST_SKIP() << loop.skip_reason();
  const std::string mounted = loop.Mount();
  if (mounted.empty()) GTEST_SKIP() << "cannot mount the loop device's partition here";
  for (const std::string& source : {loop.disk(), loop.partition()}) {
    const DestinationCheck check = CheckDestination(mounted + "/out", source, 0);
    EXPECT_EQ(check.verdict, DestinationVerdict::kSameMedium) << source;
  }
  TempDir elsewhere;
  if (DeviceHolding(elsewhere.path()) != loop.disk()) {
    EXPECT_TRUE(CheckDestination(elsewhere.path(), loop.disk(), 0).accepted());
  }
}

TEST(Destination, FreeSpaceMustBeStrictlyMoreThanTheMarkedFiles) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a private tmpfs";
  TempDir dir;
  const std::string mounted = dir.File("tmpfs");
  std::filesystem::create_directory(mounted);
  if (std::system(("mount -t tmpfs -o size=1m tmpfs " + mounted + " 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here";
  }
  struct Unmount {
    std::string point;
    ~Unmount() { std::system(("umount " + point).c_str()); }
  } unmount{mounted};
  const uint64_t free_space = GetFreeSpace(mounted);
  EXPECT_GT(free_space, 0u);
  const std::string source = dir.File("card.img");
  ASSERT_TRUE(WriteFile(source, std::vector<uint8_t>(512)));
  const DestinationCheck full = CheckDestination(mounted, source, free_space);
  EXPECT_EQ(full.verdict, DestinationVerdict::kNoFreeSpace);
  EXPECT_EQ(full.message, kNoSpaceToSaveMessage);
  EXPECT_TRUE(CheckDestination(mounted, source, free_space - 1).accepted());
  // The same-medium rule comes first: it refuses whatever the free space.
  EXPECT_EQ(CheckDestination(dir.path(), source, ~uint64_t{0}).verdict,
            DestinationVerdict::kSameMedium);
}

}  // namespace
}  // namespace pictavo

namespace pictavo {
namespace {

// Copying several files at once gives the same files, names, reports and summary as one at a
// time, a name taken beforehand included.
TEST(SavingRun, SeveralThreadsSaveExactlyWhatOneThreadSaves) {
  TempDir dir;
  const std::vector<uint8_t> medium = RandomBytes(3 << 20, 8);
  ASSERT_TRUE(WriteFile(dir.File("card.bin"), medium));
  int error = 0;
  auto source = FileSectorSource::Open(dir.File("card.bin"), {}, &error);
  ASSERT_TRUE(source);
  ScanResults results;
  for (uint32_t i = 0; i < 40; ++i) {
    results.records.push_back(
        {i % 3 ? kTypeJpeg : kTypePng, uint64_t{i} * 65536, 1000 + i * 3001, i % 7 != 3});
  }
  results.records.push_back({});

  class Log : public SaveObserver {
   public:
    void OnStart(uint64_t count, uint64_t total) override { start = {count, total}; }
    void OnProgress(uint64_t done, uint64_t) override { last = done; }
    void OnFileDone(const SavedFile& file) override { names.push_back(file.name); }
    std::pair<uint64_t, uint64_t> start;
    uint64_t last = 0;
    std::vector<std::string> names;
  };
  std::vector<Log> logs(2);
  std::vector<SaveSummary> summaries;
  for (const int threads : {1, 2}) {
    const std::string out = dir.File("out" + std::to_string(threads));
    std::filesystem::create_directory(out);
    ASSERT_TRUE(WriteFile(out + "/File4.jpeg", {1, 2, 3}));
    summaries.push_back(
        SaveMarkedFiles(*source, results, out, &logs[threads - 1], nullptr, threads));
  }
  EXPECT_EQ(logs[1].names, logs[0].names);
  EXPECT_EQ(logs[1].start, logs[0].start);
  EXPECT_EQ(logs[1].last, logs[0].start.second);
  EXPECT_EQ(summaries[1].written, summaries[0].written);
  EXPECT_EQ(summaries[1].renamed, 1u);
  for (const std::string& name : logs[0].names) {
    EXPECT_EQ(ReadFile(dir.File("out1/" + name)), ReadFile(dir.File("out2/" + name))) << name;
  }
}

}  // namespace
}  // namespace pictavo
