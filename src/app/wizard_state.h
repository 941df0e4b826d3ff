#pragma once

#include <QString>
#include <cstdint>
#include <memory>

#include "engine/file_types.h"
#include "engine/scan_engine.h"
#include "filesystems/named_file.h"
#include "results/scan_checkpoint.h"

namespace pictavo::app {

// The four roads the main page offers, in the order of its radio buttons.
enum class Road : int32_t {
  kRecover = 0,
  kCreateImage = 1,
  kOpenImage = 2,
  kLoadRecovery = 3,
};

// Page ids of the wizard sheet, in sheet order.
enum PageId : int {
  kMainPageId = 0,
  kDrivePageId = 1,
  kFileTypePageId = 2,
  kRecoveredFilesPageId = 3,
};

// The choices that travel from page to page. One lives in the sheet for the life of the wizard;
// every page reads and writes the same one.
struct WizardState {
  Road road = Road::kRecover;
  // False until the user has picked a road; the main page's Next waits for it.
  bool road_chosen = false;
  // The page Next on the main page leads to: the recovered-files page on the Load Recovery road,
  // the drive page otherwise.
  int target_page = kMainPageId;
  // Set by Next on the main page; the recovered-files page clears it once it has loaded the
  // snapshot.
  bool snapshot_pending = false;

  // The source the drive page selected: the name the sector source opens (a device node or an
  // image file), the tree label shown by the progress dialogs, and the bytes it holds.
  QString source_name;
  QString source_label;
  uint64_t source_size = 0;

  // The snapshot to load (Load Recovery) or the image file to create (Create Image).
  QString destination_path;
  // The image chosen on the Open Image road.
  QString image_path;

  // The types a scan looks for; the file-type page edits them.
  FileTypeSelection* selection = &ProcessFileTypeSelection();
  // Whether a scan measures files whole ("Measure exact file ends" on the file-type page).
  bool exact_ends = ExactEndsFromEnvironment();
  // Whether a scan carves only the space no live file occupies ("Search only the space no file
  // uses" on the file-type page).
  bool unallocated_only = false;

  // What the last scan found, and how it ended.
  ScanResults results;
  // The files the medium's file systems describe: listed after a scan that went to its end, or
  // held by a loaded snapshot (saving the snapshot again keeps them). Empty when no file system
  // was recognised.
  FileSystemListing named_files;
  ScanStatus last_scan;
  bool scanned = false;
  // Where the last scan stood when it was stopped (as of its last whole chunk), so that Save
  // Recovery Snap keeps it to be continued later; null when it went through to its end.
  std::shared_ptr<const ScanCheckpoint> stopped_scan;
  // Set while a scan saved that way is being continued: the scanning dialog goes on from it.
  std::shared_ptr<const ScanCheckpoint> resume_from;
  // True while the results are kept in a snapshot: after Save Recovery Snap wrote them or after
  // they were loaded from one. A scan's new results are not saved yet; closing the wizard asks
  // first.
  bool results_saved = false;
  // Sum of the lengths of the files marked on the recovered-files page.
  uint64_t selected_total = 0;
};

}  // namespace pictavo::app
