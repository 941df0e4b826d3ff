#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/scan_engine.h"
#include "platform/sector_source.h"
#include "results/date_taken.h"
#include "results/recovery.h"

namespace pictavo {

// How saved files are laid out in the destination folder. The default is the flat layout of the
// list names (File0.jpeg, File1.jpeg, ...).
struct SavingLayout {
  // A folder per type, named as the command line names the type: "jpeg/", "cr2/", "dng-other/".
  bool by_type = false;
  // Photos whose metadata holds the date they were taken go into "2024/2024-07-13/" under the
  // name "2024-07-13 18.22.05.jpeg", and get that time as their modification time. Finds without
  // a date keep their list name and go into kUndatedFolder.
  bool by_date = false;
  // Per find, in list order: the path the file systems give the file that starts at the find's
  // first byte, or "" (NamesOfFinds). A find with a path is saved under the path's last name
  // ("IMG_0001.JPG") instead of its list or date name, in the folder the layout gives it. Not
  // owned; must outlive the run.
  const std::vector<std::string>* file_system_names = nullptr;

  bool flat() const { return !by_type && !by_date && !file_system_names; }
};

// The name a find is saved under when the file systems name it: the last part of `path`, or ""
// when there is none or it is too long to save with room for a " (2)" and a partial-file prefix.
std::string SavedNameFromPath(const std::string& path);

inline constexpr char kUndatedFolder[] = "undated";

// Where one find is saved, relative to the destination folder.
struct SavingPlace {
  std::string folder;  // "" for the destination itself, else "jpeg/2024/2024-07-13" and the like
  std::string name;    // "2024-07-13 18.22.05.jpeg" or "File3.jpeg"
  std::optional<DateTaken> date_taken;

  // folder + "/" + name, or name alone.
  std::string RelativePath() const;
};

// The place of a find from its type, its list name and its date (when the layout uses dates).
SavingPlace PlaceFor(const SavingLayout& layout, FileTypeId type, const std::string& list_name,
                     const std::optional<DateTaken>& date_taken);

struct SavingOptions {
  SavingLayout layout;
  // Files copied at once, each through its own handle on the source when it can be opened again.
  int threads = 1;
  // Keep every file's record in the summary. Off, only the files the summary text names
  // (damaged, failed, renamed) are kept, so that memory does not grow with the file count.
  bool keep_all_files = false;
};

// Reports of a saving session, on the thread that runs it.
class SavingObserver : public SaveObserver {
 public:
  // Before a file is copied: its index in the found-file list and where it goes, relative to
  // the destination, under the name it will have unless another file takes it first (then it
  // gets the next free one, which OnFileDone reports). Called in list order.
  virtual void OnFileStart(size_t /*record_index*/, const std::string& /*relative_path*/) {}
};

// One saving run of the marked finds of `results` from `source` into `destination`: checks the
// destination, makes the folders, names each file, copies it, and sums the outcomes up. The
// same session serves the command line and the wizard.
class SavingSession {
 public:
  SavingSession(SectorSource& source, const ScanResults& results, std::string destination,
                SavingOptions options = {});

  // The bytes of the marked finds.
  uint64_t MarkedBytes() const;
  uint64_t MarkedCount() const;

  // The destination rules for the marked finds (CheckDestination with the source's name).
  DestinationCheck CheckDestination(const DestinationCheckOptions& options = {}) const;
  // Makes the destination folder; empty when it exists afterwards, else why not.
  std::string MakeDestination() const;

  // Saves every marked find; nothing is ever overwritten. `cancel` is read between chunks.
  SaveSummary Run(SavingObserver* observer, const std::atomic<bool>* cancel);

  const std::string& destination() const { return destination_; }

 private:
  SectorSource& source_;
  const ScanResults& results_;
  std::string destination_;
  SavingOptions options_;
};

}  // namespace pictavo
