#include "results/snapshot.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdlib>
#include <random>

#include "engine/scan_engine.h"
#include "platform/memory_source.h"
#include "samples/image_builder.h"
#include "samples/jpeg_sample.h"

namespace pictavo {
namespace {

using samples::ReadFile;
using samples::TempDir;
using samples::WriteFile;

uint64_t Le(const std::vector<uint8_t>& bytes, size_t pos, int width) {
  uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = (value << 8) | bytes[pos + i];
  return value;
}

void PutLe(std::vector<uint8_t>& bytes, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

RecoverySnapshot EmptyScanOf(std::string name, std::string label) {
  RecoverySnapshot snapshot;
  snapshot.source_name = std::move(name);
  snapshot.source_label = std::move(label);
  snapshot.source_size = 8'000'000'000;
  snapshot.results.records.emplace_back();  // the spare record only
  return snapshot;
}

RecoverySnapshot ThreeFinds() {
  RecoverySnapshot snapshot = EmptyScanOf("/dev/sdb1", "/dev/sdb1 (vfat,  7.45 GB)");
  ScanResults& r = snapshot.results;
  r.records = {{kTypeJpeg, 4096, 1000, 1},
               {kTypePng, 8192, 70000, 0},
               {kTypeJpeg, 6ULL << 30, 0xFFFFFFFF, 1},
               {kTypeNone, 123 * 512, 0, 0}};
  r.found_count = 3;
  r.tallies[kTypeJpeg] = {1, 2, 1000 + 0xFFFFFFFFULL};
  r.tallies[kTypePng] = {1, 1, 70000};
  return snapshot;
}

TEST(SnapshotFormat, EmptyScanIs651BytesPlusTextsPlusTheSpareRecord) {
  const std::string label = "Image File (1.00 GB";  // 19 characters
  ASSERT_EQ(label.size(), 19u);
  std::string error;
  const auto bytes = EncodeSnapshot(EmptyScanOf("E:", label), &error);
  ASSERT_TRUE(bytes) << error;
  const size_t n = 4, d = 38;
  ASSERT_EQ(bytes->size(), 651 + n + d + 20);

  const std::vector<uint8_t> head = {8, 'L', 0, 'S', 0, 'S', 0, 'I', 0, 4, 'E', 0, ':', 0, 38};
  EXPECT_EQ(std::vector<uint8_t>(bytes->begin(), bytes->begin() + head.size()), head);
  EXPECT_EQ((*bytes)[15], 'I');
  EXPECT_EQ((*bytes)[16], 0);
  EXPECT_EQ(Le(*bytes, 11 + n + d, 8), 8'000'000'000u);
  EXPECT_EQ(Le(*bytes, 19 + n + d, 8), 0u);
  for (size_t i = 27 + n + d; i < bytes->size(); ++i) ASSERT_EQ((*bytes)[i], 0) << i;
}

TEST(SnapshotFormat, RecordsHoldTypeOffsetAndLengthWithTheFlagAlwaysZero) {
  std::string error;
  const RecoverySnapshot snapshot = ThreeFinds();
  const auto bytes = EncodeSnapshot(snapshot, &error);
  ASSERT_TRUE(bytes) << error;
  const size_t n = 2 * snapshot.source_name.size(), d = 2 * snapshot.source_label.size();
  ASSERT_EQ(bytes->size(), 651 + n + d + 4 * 20);
  EXPECT_EQ(Le(*bytes, 19 + n + d, 8), 3u);
  const size_t jpeg_tally = 27 + n + d + kTypeJpeg * 24;
  EXPECT_EQ(Le(*bytes, jpeg_tally, 8), 1u);
  EXPECT_EQ(Le(*bytes, jpeg_tally + 8, 8), 2u);
  EXPECT_EQ(Le(*bytes, jpeg_tally + 16, 8), 1000 + 0xFFFFFFFFULL);
  for (size_t i = 0; i < 4; ++i) {
    const size_t at = 651 + n + d + 20 * i;
    const FoundFile& f = snapshot.results.records[i];
    EXPECT_EQ(Le(*bytes, at, 4), 0u) << "marks are not saved";
    EXPECT_EQ(Le(*bytes, at + 4, 4), f.type);
    EXPECT_EQ(Le(*bytes, at + 8, 8), f.offset);
    EXPECT_EQ(Le(*bytes, at + 16, 4), f.length);
  }
}

TEST(SnapshotFormat, RoundTripKeepsEverythingButTheMarks) {
  std::string error;
  RecoverySnapshot snapshot = ThreeFinds();
  const auto bytes = EncodeSnapshot(snapshot, &error);
  ASSERT_TRUE(bytes);
  RecoverySnapshot loaded;
  ASSERT_TRUE(DecodeSnapshot(*bytes, &loaded, &error)) << error;
  for (FoundFile& f : snapshot.results.records) f.selected = 0;
  EXPECT_EQ(loaded.source_name, snapshot.source_name);
  EXPECT_EQ(loaded.source_label, snapshot.source_label);
  EXPECT_EQ(loaded.source_size, snapshot.source_size);
  EXPECT_EQ(loaded.results.records, snapshot.results.records);
  EXPECT_EQ(loaded.results.tallies, snapshot.results.tallies);
  EXPECT_EQ(loaded.results.found_count, 3u);
  EXPECT_EQ(SelectedTotal(loaded.results), 0u);
}

TEST(SnapshotFormat, HandMadeMarksLoadMarkedAndALastFileGetsASpareBehindIt) {
  std::vector<uint8_t> bytes = {8, 'L', 0, 'S', 0, 'S', 0, 'I', 0, 2, 'X', 0, 0};
  PutLe(bytes, 5000, 8);
  PutLe(bytes, 2, 8);
  bytes.resize(bytes.size() + 26 * 24, 0);
  for (const auto& [flag, length] : {std::pair{1u, 300u}, std::pair{7u, 45u}}) {
    PutLe(bytes, flag, 4);
    PutLe(bytes, kTypeGif, 4);
    PutLe(bytes, 512, 8);
    PutLe(bytes, length, 4);
  }
  RecoverySnapshot loaded;
  std::string error;
  ASSERT_TRUE(DecodeSnapshot(bytes, &loaded, &error)) << error;
  EXPECT_EQ(loaded.source_name, "X");
  EXPECT_EQ(loaded.source_label, "");
  EXPECT_EQ(SelectedTotal(loaded.results), 345u);
  ASSERT_EQ(loaded.results.records.size(), 3u);
  EXPECT_EQ(loaded.results.Found().size(), 2u);
  EXPECT_EQ(loaded.results.records.back(), FoundFile{});
}

TEST(SnapshotFormat, AFileCutShortAnywhereButAtARecordBoundaryLoadsNothing) {
  std::string error;
  const auto full = EncodeSnapshot(ThreeFinds(), &error);
  ASSERT_TRUE(full);
  const size_t records_start = full->size() - 4 * 20;
  for (size_t cut = 0; cut < full->size(); ++cut) {
    const std::span<const uint8_t> bytes(full->data(), cut);
    RecoverySnapshot loaded = EmptyScanOf("before", "unchanged");
    const bool ok = DecodeSnapshot(bytes, &loaded, &error);
    const bool at_boundary = cut >= records_start && (cut - records_start) % 20 == 0;
    EXPECT_EQ(ok, at_boundary) << "cut at " << cut;
    if (!ok) {
      EXPECT_EQ(loaded.source_name, "before") << cut;
      EXPECT_EQ(loaded.results.records.size(), 1u) << cut;
      EXPECT_FALSE(error.empty());
    }
  }
  RecoverySnapshot loaded;
  EXPECT_FALSE(
      DecodeSnapshot(std::span<const uint8_t>(full->data(), records_start - 1), &loaded, &error));
  EXPECT_NE(error.find("type statistics"), std::string::npos) << error;
  EXPECT_FALSE(
      DecodeSnapshot(std::span<const uint8_t>(full->data(), records_start + 30), &loaded, &error));
  EXPECT_NE(error.find("record 2"), std::string::npos) << error;
}

TEST(SnapshotFormat, TextsOverOneHundredTwentySevenUnitsAreRefused) {
  std::string error;
  EXPECT_TRUE(EncodeSnapshot(EmptyScanOf(std::string(127, 'n'), "l"), &error));
  EXPECT_FALSE(EncodeSnapshot(EmptyScanOf(std::string(128, 'n'), "l"), &error));
  EXPECT_NE(error.find("source name is too long"), std::string::npos) << error;
  EXPECT_FALSE(EncodeSnapshot(EmptyScanOf("n", std::string(200, 'l')), &error));
  EXPECT_NE(error.find("source label"), std::string::npos) << error;

  // Units, not bytes: "é" is two UTF-8 bytes but one unit; a character outside the basic plane
  // takes two units.
  std::string accented;
  for (int i = 0; i < 127; ++i) accented += "\xC3\xA9";
  EXPECT_TRUE(EncodeSnapshot(EmptyScanOf(accented, ""), &error));
  std::string emoji;
  for (int i = 0; i < 64; ++i) emoji += "\xF0\x9F\x93\xB7";
  EXPECT_FALSE(EncodeSnapshot(EmptyScanOf(emoji, ""), &error));
  EXPECT_TRUE(SnapshotTextProblem(std::string(127, 'a'), std::string(127, 'b')).empty());
}

TEST(SnapshotFormat, NamesThatAreNotUtf8SurviveASaveAndALoad) {
  for (const std::string& name :
       {std::string("/media/caf\xE9/card.img"),
        std::string("/photos/\xF0\x9F\x93\xB7 \xC3\xA9t\xC3\xA9.img"), std::string("\xFF\xC3")}) {
    std::string error;
    const auto bytes = EncodeSnapshot(EmptyScanOf(name, name), &error);
    ASSERT_TRUE(bytes);
    RecoverySnapshot loaded;
    ASSERT_TRUE(DecodeSnapshot(*bytes, &loaded, &error));
    EXPECT_EQ(loaded.source_name, name);
    EXPECT_EQ(loaded.source_label, name);
  }
}

TEST(SnapshotFormat, TheLeadingTagCheck) {
  struct Case {
    std::vector<uint8_t> head;
    bool valid;
  } cases[] = {
      {{8, 'L', 0, 'S', 0, 'S', 0, 'I', 0}, true},
      {{0, 'L', 0, 'S', 0, 'S', 0, 'I', 0}, false},
      {{10, 'L', 0, 'S', 0, 'S', 0, 'I', 0, 0, 0}, true},  // read up to the first NUL
      {{6, 'L', 0, 'S', 0, 'S', 0, 'I', 0}, false},
      {{9, 'L', 0, 'S', 0, 'S', 0, 'I', 0, 'X'}, false},
      {{8, 'L', 0, 'S', 0, 'S', 0}, false},
      {{}, false},
  };
  TempDir dir;
  for (const Case& c : cases) {
    EXPECT_EQ(HasSnapshotTag(c.head), c.valid);
    ASSERT_TRUE(WriteFile(dir.File("tag.dat"), c.head));
    EXPECT_EQ(CheckSnapshotFile(dir.File("tag.dat")), c.valid);
  }
  EXPECT_FALSE(CheckSnapshotFile(""));
  EXPECT_FALSE(CheckSnapshotFile(dir.File("missing.dat")));
  RecoverySnapshot loaded;
  std::string error;
  EXPECT_FALSE(DecodeSnapshot(cases[1].head, &loaded, &error));
  EXPECT_EQ(error, kNotASnapshotMessage);
}

std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.' || entry->d_name[1] > '.') names.push_back(entry->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(SnapshotFile, WritesReplaceWholeAndReadBack) {
  TempDir dir;
  const std::string path = dir.File("scan.dat");
  ASSERT_TRUE(WriteFile(path, std::vector<uint8_t>(5000, 0xAA)));
  const SnapshotStatus written = WriteSnapshot(path, ThreeFinds());
  ASSERT_TRUE(written.ok) << written.message;
  EXPECT_EQ(written.message, kSnapshotSavedMessage);
  EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"scan.dat"});
  EXPECT_TRUE(CheckSnapshotFile(path));
  RecoverySnapshot loaded;
  ASSERT_TRUE(ReadSnapshot(path, &loaded).ok);
  EXPECT_EQ(loaded.results.found_count, 3u);
  EXPECT_EQ(loaded.results.records.size(), 4u);
}

TEST(SnapshotFile, AFailedWriteLeavesTheOldSnapshotAndNoTemporaryFile) {
  TempDir dir;
  const std::string path = dir.File("scan.dat");
  ASSERT_TRUE(WriteSnapshot(path, ThreeFinds()).ok);
  const std::vector<uint8_t> before = ReadFile(path);

  RecoverySnapshot big = ThreeFinds();
  big.results.records.resize(5000);
  // A file-size limit makes the writes fail part of the way, as a full card would.
  rlimit old_limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  const auto old_handler = signal(SIGXFSZ, SIG_IGN);
  rlimit small = old_limit;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const SnapshotStatus status = WriteSnapshot(path, big);
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);

  EXPECT_FALSE(status.ok);
  EXPECT_EQ(status.error_code, EFBIG);
  EXPECT_NE(status.message, kSnapshotSavedMessage);
  EXPECT_NE(status.message.find("could not be saved"), std::string::npos) << status.message;
  EXPECT_EQ(ReadFile(path), before);
  EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"scan.dat"});

  const SnapshotStatus nowhere = WriteSnapshot(dir.File("no/such/folder/x.dat"), big);
  EXPECT_FALSE(nowhere.ok);
  EXPECT_EQ(nowhere.error_code, ENOENT);
  const SnapshotStatus too_long =
      WriteSnapshot(dir.File("long.dat"), EmptyScanOf(std::string(300, 'x'), ""));
  EXPECT_FALSE(too_long.ok);
  EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"scan.dat"});
}

TEST(SnapshotFile, ReadingATruncatedFileSaysWhyAndChangesNothing) {
  TempDir dir;
  std::string error;
  auto bytes = *EncodeSnapshot(ThreeFinds(), &error);
  bytes.resize(bytes.size() - 7);
  ASSERT_TRUE(WriteFile(dir.File("cut.dat"), bytes));
  RecoverySnapshot loaded = EmptyScanOf("kept", "kept");
  const SnapshotStatus status = ReadSnapshot(dir.File("cut.dat"), &loaded);
  EXPECT_FALSE(status.ok);
  EXPECT_NE(status.message.find("ends inside found-file record 4"), std::string::npos)
      << status.message;
  EXPECT_EQ(loaded.source_name, "kept");
  EXPECT_FALSE(ReadSnapshot(dir.File("missing.dat"), &loaded).ok);
}

TEST(SnapshotFile, DefaultNameSpellsOutTheLocalTime) {
  const char* old_tz = std::getenv("TZ");
  const std::string saved_tz = old_tz ? old_tz : "";
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(DefaultSnapshotFileName(1709648553),  // 2024-03-05 14:22:33 UTC
            "Oskel_Save_Recovery_Snap Tuesday, March 05, 2024,142233.dat");
  if (old_tz) {
    setenv("TZ", saved_tz.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST(SnapshotFile, AScanSavedAndLoadedListsTheSameFiles) {
  samples::ImageBuilder builder(512, 5);
  builder.Gap(3);
  builder.Place(samples::EncodeJpeg({.width = 80, .height = 60, .seed = 4}));
  builder.Gap(2);
  builder.Place(samples::EncodeJpeg({.width = 40, .height = 30, .seed = 5}));
  builder.Gap(2);
  MemorySectorSource source(builder.bytes(), 512);
  RecoverySnapshot snapshot;
  snapshot.source_name = "card.img";
  snapshot.source_size = source.Size();
  ASSERT_TRUE(RunScan(source, FileTypeSelection(), snapshot.results, nullptr, nullptr).ok);
  ASSERT_EQ(snapshot.results.found_count, 2u);

  TempDir dir;
  ASSERT_TRUE(WriteSnapshot(dir.File("s.dat"), snapshot).ok);
  RecoverySnapshot loaded;
  ASSERT_TRUE(ReadSnapshot(dir.File("s.dat"), &loaded).ok);
  EXPECT_EQ(loaded.results.records, snapshot.results.records);
  EXPECT_EQ(loaded.results.tallies, snapshot.results.tallies);
  EXPECT_EQ(loaded.results.found_count, snapshot.results.found_count);
}

}  // namespace
}  // namespace pictavo

namespace pictavo {
namespace {

TEST(SnapshotFormat, MangledFilesNeverReadOutsideTheirBytes) {
  std::string error;
  const std::vector<uint8_t> valid = *EncodeSnapshot(ThreeFinds(), &error);
  std::mt19937 rng(99);
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> bytes = valid;
    const int flips = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < flips; ++i) {
      // Length bytes and the tag are the interesting places; hit them often.
      const size_t at = rng() % 3 == 0 ? rng() % 20 : rng() % bytes.size();
      bytes[at] = static_cast<uint8_t>(rng());
    }
    bytes.resize(rng() % (bytes.size() + 1));
    RecoverySnapshot loaded;
    if (DecodeSnapshot(bytes, &loaded, &error)) {
      EXPECT_LE(loaded.results.records.size(), bytes.size() / kSnapshotRecordBytes + 1);
    } else {
      EXPECT_FALSE(error.empty());
    }
  }
}

// A scan with a modern type and a movie past 4 GiB: the versioned layout.
RecoverySnapshot ModernFinds() {
  RecoverySnapshot snapshot = ThreeFinds();
  ScanResults& r = snapshot.results;
  r.records.insert(r.records.end() - 1, {kTypeHeic, 1 << 20, 2'500'000, 0});
  r.records.insert(r.records.end() - 1, {kTypeMp4, 2 << 20, (uint64_t{5} << 30) + 7, 0});
  r.found_count = 5;
  r.tallies[kTypeHeic] = {1, 1, 2'500'000};
  r.tallies[kTypeMp4] = {1, 1, (uint64_t{5} << 30) + 7};
  return snapshot;
}

TEST(SnapshotVersions, ClassicResultsKeepTheClassicLayout) {
  std::string error;
  const auto bytes = EncodeSnapshot(ThreeFinds(), &error);
  ASSERT_TRUE(bytes);
  EXPECT_FALSE(NeedsVersionedSnapshot(ThreeFinds().results));
  EXPECT_EQ((*bytes)[7], 'I');
}

TEST(SnapshotVersions, WhatTheClassicLayoutCannotHoldGetsTheVersionedOne) {
  struct Case {
    const char* name;
    FoundFile file;
    FileTypeId tally_type;
  };
  const Case cases[] = {
      {"a modern type", {kTypeOgg, 512, 100, 0}, kTypeNone},
      {"a classic type 4 GiB long", {kTypeMov, 512, uint64_t{1} << 32, 0}, kTypeNone},
      {"a tally of a modern type alone", {kTypeJpeg, 512, 100, 0}, kTypeWebp},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecoverySnapshot snapshot = EmptyScanOf("/dev/sdc", "card");
    snapshot.results.records.insert(snapshot.results.records.begin(), c.file);
    snapshot.results.found_count = 1;
    snapshot.results.tallies[c.file.type] = {1, 1, c.file.length};
    if (c.tally_type != kTypeNone) {
      snapshot.results.tallies[c.tally_type] = {1, 0, 0};
    }
    EXPECT_TRUE(NeedsVersionedSnapshot(snapshot.results));
    std::string error;
    const auto bytes = EncodeSnapshot(snapshot, &error);
    ASSERT_TRUE(bytes);
    EXPECT_EQ((*bytes)[7], 'V');
    EXPECT_TRUE(HasSnapshotTag(*bytes));
    RecoverySnapshot loaded;
    ASSERT_TRUE(DecodeSnapshot(*bytes, &loaded, &error)) << error;
    EXPECT_EQ(loaded.results.records, snapshot.results.records);
    EXPECT_EQ(loaded.results.tallies, snapshot.results.tallies);
  }
}

TEST(SnapshotVersions, VersionedRoundTripKeepsWholeLengthsAndEveryType) {
  std::string error;
  RecoverySnapshot snapshot = ModernFinds();
  const auto bytes = EncodeSnapshot(snapshot, &error);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(Le(*bytes, 9, 4), kSnapshotVersion);
  RecoverySnapshot loaded;
  ASSERT_TRUE(DecodeSnapshot(*bytes, &loaded, &error)) << error;
  for (FoundFile& f : snapshot.results.records) f.selected = 0;
  EXPECT_EQ(loaded.source_name, snapshot.source_name);
  EXPECT_EQ(loaded.source_label, snapshot.source_label);
  EXPECT_EQ(loaded.source_size, snapshot.source_size);
  EXPECT_EQ(loaded.results.records, snapshot.results.records);
  EXPECT_EQ(loaded.results.tallies, snapshot.results.tallies);
  EXPECT_EQ(loaded.results.found_count, 5u);

  TempDir dir;
  ASSERT_TRUE(WriteSnapshot(dir.File("v2.dat"), snapshot).ok);
  EXPECT_TRUE(CheckSnapshotFile(dir.File("v2.dat")));
  RecoverySnapshot read;
  ASSERT_TRUE(ReadSnapshot(dir.File("v2.dat"), &read).ok);
  EXPECT_EQ(read.results.records, snapshot.results.records);
}

TEST(SnapshotVersions, UnknownSectionsAreSkippedAndNewerFormatsRefused) {
  std::string error;
  std::vector<uint8_t> bytes = *EncodeSnapshot(ModernFinds(), &error);
  // A section a later version might add (say, named files from a file system), placed first.
  std::vector<uint8_t> extra;
  PutLe(extra, 77, 4);
  PutLe(extra, 5, 8);
  for (int i = 0; i < 5; ++i) extra.push_back(0xAB);
  std::vector<uint8_t> with_extra(bytes.begin(), bytes.begin() + 13);
  with_extra.insert(with_extra.end(), extra.begin(), extra.end());
  with_extra.insert(with_extra.end(), bytes.begin() + 13, bytes.end());
  RecoverySnapshot loaded;
  ASSERT_TRUE(DecodeSnapshot(with_extra, &loaded, &error)) << error;
  EXPECT_EQ(loaded.results.found_count, 5u);

  std::vector<uint8_t> newer = bytes;
  newer[9] = kSnapshotVersion + 1;
  EXPECT_FALSE(DecodeSnapshot(newer, &loaded, &error));
  EXPECT_NE(error.find("newer version"), std::string::npos) << error;
}

// The classic layout's texts end at their first NUL, so a text holding one (a versioned file may)
// is saved in the versioned layout and loads whole, as do its results.
TEST(SnapshotVersions, ATextWithANulIsKeptWhole) {
  std::vector<uint8_t> bytes = {8, 'L', 0, 'S', 0, 'S', 0, 'V', 0};
  PutLe(bytes, kSnapshotVersion, 4);
  PutLe(bytes, kSnapshotSectionSource, 4);
  PutLe(bytes, 2 + 6 + 2 + 8, 8);
  PutLe(bytes, 3, 2);
  for (const char16_t unit : {u'a', u'\0', u'b'}) PutLe(bytes, unit, 2);
  PutLe(bytes, 0, 2);
  PutLe(bytes, 1 << 20, 8);
  PutLe(bytes, kSnapshotSectionTallies, 4);
  PutLe(bytes, 12, 8);
  PutLe(bytes, 0, 8);
  PutLe(bytes, 0, 4);
  PutLe(bytes, kSnapshotSectionRecords, 4);
  PutLe(bytes, 12, 8);
  PutLe(bytes, 0, 8);
  PutLe(bytes, kVersionedRecordBytes, 4);
  RecoverySnapshot loaded;
  std::string error;
  ASSERT_TRUE(DecodeSnapshot(bytes, &loaded, &error)) << error;
  ASSERT_EQ(loaded.source_name, std::string("a\0b", 3));
  EXPECT_TRUE(NeedsVersionedSnapshot(loaded));

  const auto saved = EncodeSnapshot(loaded, &error);
  ASSERT_TRUE(saved) << error;
  EXPECT_EQ(saved->size(), SnapshotByteSize(loaded));
  RecoverySnapshot again;
  ASSERT_TRUE(DecodeSnapshot(*saved, &again, &error)) << error;
  EXPECT_EQ(again.source_name, loaded.source_name);
  EXPECT_EQ(again.source_size, uint64_t{1} << 20);
  EXPECT_EQ(again.results.records, loaded.results.records);

  RecoverySnapshot labelled = EmptyScanOf("/dev/sdb", std::string("card\0", 5));
  ASSERT_TRUE(DecodeSnapshot(*EncodeSnapshot(labelled, &error), &again, &error)) << error;
  EXPECT_EQ(again.source_label, labelled.source_label);
}

TEST(SnapshotVersions, ACutOrMangledVersionedFileLoadsNothingAndNeverReadsOutside) {
  std::string error;
  const std::vector<uint8_t> valid = *EncodeSnapshot(ModernFinds(), &error);
  for (size_t size = 0; size < valid.size(); ++size) {
    const std::vector<uint8_t> cut(valid.begin(), valid.begin() + size);
    RecoverySnapshot loaded;
    EXPECT_FALSE(DecodeSnapshot(cut, &loaded, &error)) << size;
  }
  std::mt19937 rng(7);
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> bytes = valid;
    for (int i = 0; i < 1 + static_cast<int>(rng() % 6); ++i) {
      bytes[rng() % bytes.size()] = static_cast<uint8_t>(rng());
    }
    RecoverySnapshot loaded;
    if (!DecodeSnapshot(bytes, &loaded, &error)) {
      EXPECT_FALSE(error.empty());
    }
  }
}

}  // namespace
}  // namespace pictavo
