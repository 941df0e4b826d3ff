#pragma once

#include <cstdint>
#include <string>

#include "engine/scan_engine.h"

namespace pictavo::cli {

// Each command takes the arguments after its name and returns the process exit status.
int RunScanCommand(int argc, char** argv, int first);
int RunPreviewCommand(int argc, char** argv, int first);
int RunSnapshotCommand(int argc, char** argv, int first);
int RunImageCommand(int argc, char** argv, int first);
int RunDrivesCommand(int argc, char** argv, int first);
int RunRecoverCommand(int argc, char** argv, int first);

// scan --snapshot: checked before the scan (the texts fit, the file may go there), written after.
// An existing file at the path is refused, or with `overwrite` replaced when it is a snapshot.
bool PrepareScanSnapshot(const std::string& snapshot_path, const std::string& source_name,
                         bool overwrite, std::string* label);
bool SaveScanSnapshot(const std::string& snapshot_path, const std::string& source_name,
                      const std::string& label, uint64_t source_size, const ScanResults& results,
                      bool overwrite, bool over_own_checkpoint = false);

}  // namespace pictavo::cli
