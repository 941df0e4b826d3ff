#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_util.h"
#include "engine/scan_engine.h"
#include "filesystems/live_areas.h"
#include "filesystems/named_file.h"

namespace pictavo::cli {

// Each command takes the arguments after its name and returns the process exit status.
int RunScanCommand(int argc, char** argv, int first);
int RunPreviewCommand(int argc, char** argv, int first);
int RunSnapshotCommand(int argc, char** argv, int first);
int RunImageCommand(int argc, char** argv, int first);
int RunDrivesCommand(int argc, char** argv, int first);
int RunRecoverCommand(int argc, char** argv, int first);
int RunFilesCommand(int argc, char** argv, int first);

// The files with names on `source`, listed by a child process and classified.
FileSystemListing ListNamedFiles(SectorSource& source, bool all_types, bool orphans);
// The problems the file-system pass met, on standard error.
void PrintNotes(const FileSystemListing& listing);
// The listing as 'pictavo-cli files' prints it (snapshot show --named).
void PrintNamedFiles(std::FILE* out, OutputFormat format, const std::string& source_name,
                     const FileSystemListing& listing);
// scan --unallocated (and recover's): lists the live files of `source` and gives the space they
// occupy (for ScanOptions::skipped), saying on standard error what is carved. Nullopt when Ctrl-C
// came meanwhile.
std::optional<FreeSpacePlan> PlanUnallocatedScan(SectorSource& source);
// recover --by-name: saves the named files of the selected types (and with `deleted_only` the
// deleted ones only) under their folders and names in `folder`; overwritten ones are skipped.
// `destination_accepted` judges the folder for the bytes to be written.
int RecoverByName(SectorSource& source, const std::string& folder,
                  const FileTypeSelection& selection, bool deleted_only,
                  const std::function<bool(uint64_t)>& destination_accepted);
// recover --snapshot --by-name: the same with the files a snapshot keeps (`listing`, read on the
// medium the snapshot was made of). Each file's content is checked on `source` again first; when
// none starts as it did, `source` is taken for another medium and nothing is saved.
int RecoverByNameFromSnapshot(SectorSource& source, FileSystemListing listing,
                              const std::string& folder, const FileTypeSelection& selection,
                              bool deleted_only,
                              const std::function<bool(uint64_t)>& destination_accepted);

// scan --snapshot: checked before the scan (the texts fit, the file may go there), written after.
// An existing file at the path is refused, or with `overwrite` replaced when it is a snapshot.
bool PrepareScanSnapshot(const std::string& snapshot_path, const std::string& source_name,
                         bool overwrite, std::string* label);
// `named`, when given, is kept in the snapshot beside the finds.
bool SaveScanSnapshot(const std::string& snapshot_path, const std::string& source_name,
                      const std::string& label, uint64_t source_size, const ScanResults& results,
                      bool overwrite, bool over_own_checkpoint = false,
                      const FileSystemListing* named = nullptr);

}  // namespace pictavo::cli
