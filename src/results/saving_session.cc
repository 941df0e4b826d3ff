#include "results/saving_session.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "engine/file_types.h"
#include "platform/output_file.h"
#include "platform/system_error.h"
#include "results/extent_copy.h"
#include "results/find_details.h"

namespace pictavo {
namespace {

// Failures that will hit every later file as well.
bool DestinationWide(int error) {
  return error == ENOSPC || error == EDQUOT || error == EROFS || error == ENOENT ||
         error == ENOTDIR || error == EACCES;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

// Flushes a finished file to its medium, so that it is complete before it gets its name: a power
// cut must not leave an empty file under a name that looks finished.
bool FlushToMedium(const std::string& path, int* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return false;
  }
  const bool ok = fdatasync(fd) == 0 || errno == EINVAL;
  if (!ok) *error = errno;
  close(fd);
  return ok;
}

// Gives a saved file the time its photo was taken as its access and modification time. A file
// system that cannot keep it leaves the time of saving, which loses nothing.
void SetFileTime(const std::string& path, int64_t seconds) {
  const timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// One find on its way: where it goes and what became of it.
struct SaveJob {
  size_t index = 0;
  SavingPlace place;
  std::string folder_path;   // the destination folder it goes into, absolute or as given
  std::string folder_error;  // why that folder could not be made
  int folder_errno = 0;
};

struct SaveAttempt {
  SavedFile saved;
  ExtentCopyResult copy;
  std::string temp_path;  // the copy under its temporary name, until it is placed
};

// Copies one find into its folder under a temporary name and flushes it to its medium. May run
// on a copying thread.
SaveAttempt CopyOne(SectorSource& source, const FoundFile& file, const SaveJob& job,
                    ExtentCopyObserver* progress, const std::atomic<bool>* cancel) {
  SaveAttempt attempt;
  SavedFile& saved = attempt.saved;
  const std::string& folder = job.folder_path;
  const std::string& wanted_name = job.place.name;
  saved.record_index = job.index;
  saved.wanted_name = job.place.RelativePath();
  saved.length = file.length;
  saved.name = saved.wanted_name;
  ExtentCopyResult& copy = attempt.copy;
  if (!job.folder_error.empty()) {
    copy.error_code = job.folder_errno;
    copy.message = job.folder_error;
    return attempt;
  }
  const std::string temp_path = folder + "/" + PartialFileName(wanted_name);
  copy = CopyExtent(source, file, temp_path, ExistingFile::kRefuse, progress, cancel);
  ReplaceAll(copy.message, temp_path, folder + "/" + wanted_name);
  if (!copy.ok) return attempt;
  int error = 0;
  if (!FlushToMedium(temp_path, &error)) {
    unlink(temp_path.c_str());
    copy.ok = false;
    copy.error_code = error;
    copy.message = "cannot write " + folder + "/" + wanted_name + ": " + SystemErrorText(error);
    return attempt;
  }
  if (job.place.date_taken) SetFileTime(temp_path, LocalTimeOf(*job.place.date_taken));
  attempt.temp_path = temp_path;
  return attempt;
}

// Gives a copied file its name, or the next free one when that is taken, and sets its outcome.
// Runs on the thread that takes the outcomes, in list order, so that of two files wanting one
// name the earlier in the list gets it whatever thread finished first.
void PlaceOne(SaveAttempt& attempt, const SaveJob& job) {
  SavedFile& saved = attempt.saved;
  ExtentCopyResult& copy = attempt.copy;
  const std::string& folder = job.folder_path;
  const std::string& wanted_name = job.place.name;
  if (copy.ok) {
    int error = 0;
    bool placed = true;
    // Another program may take a name between the look and the move: look again.
    std::string name = wanted_name;
    for (int tries = 0; tries < 8; ++tries) {
      name = NextFreeName(folder, wanted_name);
      if (MoveIntoPlace(attempt.temp_path, folder + "/" + name, &error)) break;
      if (error != EEXIST || tries == 7) placed = false;
      if (!placed) break;
    }
    if (placed) {
      saved.name = JoinPath(job.place.folder, name);
    } else {
      unlink(attempt.temp_path.c_str());
      copy.ok = false;
      copy.error_code = error;
      copy.message = "cannot write " + folder + "/" + wanted_name + ": " + SystemErrorText(error);
    }
    attempt.temp_path.clear();
  }
  if (copy.ok) {
    saved.outcome = copy.damaged() ? SaveOutcome::kDamaged : SaveOutcome::kWritten;
    saved.unreadable_bytes = copy.unreadable_bytes;
    saved.first_unreadable_offset = copy.first_unreadable_offset;
    saved.unreadable = copy.unreadable;
    saved.cut_short = copy.cut_short;
    saved.saved_length = copy.bytes_written;
  } else {
    saved.outcome = SaveOutcome::kFailed;
    saved.error = copy.message;
  }
}

SaveAttempt SaveOne(SectorSource& source, const FoundFile& file, const SaveJob& job,
                    ExtentCopyObserver* progress, const std::atomic<bool>* cancel) {
  SaveAttempt attempt = CopyOne(source, file, job, progress, cancel);
  PlaceOne(attempt, job);
  return attempt;
}

// Adds one file's outcome to the summary; false when the run must end there.
bool Account(SaveAttempt& attempt, SaveSummary& summary, SaveObserver* observer,
             bool keep_all_files) {
  const ExtentCopyResult& copy = attempt.copy;
  if (copy.cancelled) {
    summary.cancelled = true;
    return false;
  }
  SavedFile& saved = attempt.saved;
  if (copy.ok) {
    ++(copy.damaged() ? summary.damaged : summary.written);
    if (saved.name != saved.wanted_name) ++summary.renamed;
  } else {
    ++summary.failed;
  }
  if (observer) observer->OnFileDone(saved);
  // A file saved whole under its own name is not named in the summary text: its record goes,
  // so that a run of a million files holds no more than a run of ten.
  if (keep_all_files || saved.outcome != SaveOutcome::kWritten || saved.name != saved.wanted_name) {
    summary.files.push_back(std::move(saved));
  }
  if (!copy.ok && DestinationWide(copy.error_code)) {
    summary.destination_failed = true;
    summary.destination_error = copy.message;
    return false;
  }
  return true;
}

// Counts bytes written by several copying threads; the running thread reports them.
class SharedProgress : public ExtentCopyObserver {
 public:
  explicit SharedProgress(std::atomic<uint64_t>* total) : total_(total) {}
  void OnCopied(uint64_t written, uint64_t) override {
    total_->fetch_add(written - last_, std::memory_order_relaxed);
    last_ = written;
  }

 private:
  std::atomic<uint64_t>* total_;
  uint64_t last_ = 0;
};

// Walks the found files in list order and plans each marked one: its list name (counted within
// its type over every find, marked or not), its date when the layout asks, its folder.
class Planner {
 public:
  Planner(SectorSource& source, std::span<const FoundFile> found, const std::string& destination,
          const SavingLayout& layout, SaveSummary* summary)
      : source_(source),
        found_(found),
        destination_(destination),
        layout_(layout),
        summary_(summary) {}

  // Whether a marked find is left, without planning it.
  bool HasNext() const {
    for (size_t i = position_; i < found_.size(); ++i) {
      if (found_[i].selected) return true;
    }
    return false;
  }

  // The next marked find, or nothing at the end of the list.
  std::optional<SaveJob> Next() {
    for (; position_ < found_.size(); ++position_) {
      const FoundFile& file = found_[position_];
      uint32_t& seen = file.type < kTypeCount ? seen_[file.type] : seen_other_;
      const uint32_t index_in_type = seen++;
      if (!file.selected) continue;
      SaveJob job;
      job.index = position_++;
      std::optional<DateTaken> date;
      if (layout_.by_date) date = FindDateTaken(source_, file);
      job.place = PlaceFor(layout_, file.type, RecoveredFileName(file.type, index_in_type), date);
      if (const std::vector<std::string>* names = layout_.file_system_names;
          names && job.index < names->size()) {
        std::string name = SavedNameFromPath((*names)[job.index]);
        if (!name.empty()) job.place.name = std::move(name);
      }
      job.folder_path = JoinPath(destination_, job.place.folder);
      if (!job.place.folder.empty()) PrepareFolder(job);
      return job;
    }
    return std::nullopt;
  }

 private:
  // Makes a folder the first time a file goes into it, clearing what earlier runs left there.
  void PrepareFolder(SaveJob& job) {
    if (made_.count(job.place.folder)) return;
    std::error_code error;
    std::filesystem::create_directories(job.folder_path, error);
    if (error) {
      job.folder_error = "cannot create " + job.folder_path + ": " + SystemErrorText(error.value());
      // A file in the way of one folder fails the files of that folder, not the run.
      const bool in_the_way = error.value() == ENOTDIR || error.value() == EEXIST;
      job.folder_errno = in_the_way ? EEXIST : error.value();
      return;
    }
    made_.insert(job.place.folder);
    summary_->stale_partial_files_removed += RemoveStalePartialFiles(job.folder_path);
  }

  SectorSource& source_;
  std::span<const FoundFile> found_;
  const std::string& destination_;
  const SavingLayout& layout_;
  SaveSummary* summary_;
  size_t position_ = 0;
  std::array<uint32_t, kTypeCount> seen_{};
  uint32_t seen_other_ = 0;
  // The folders made in this run: a few per day and type, not per file.
  std::set<std::string> made_;
};

// Forwards the reports of the older interface.
class ForwardingObserver : public SavingObserver {
 public:
  explicit ForwardingObserver(SaveObserver* target) : target_(target) {}
  void OnStart(uint64_t count, uint64_t total) override {
    if (target_) target_->OnStart(count, total);
  }
  void OnProgress(uint64_t done, uint64_t total) override {
    if (target_) target_->OnProgress(done, total);
  }
  void OnFileDone(const SavedFile& file) override {
    if (target_) target_->OnFileDone(file);
  }

 private:
  SaveObserver* target_;
};

}  // namespace

std::string SavedNameFromPath(const std::string& path) {
  // Room under the usual 255-byte limit of a name for the partial-file prefix and suffix
  // (".pictavo-<pid>-<n>." and ".part") and a " (99)" when the name is taken.
  constexpr size_t kLongestName = 200;
  const size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.size() > kLongestName || name == "." || name == "..") return {};
  return name;
}

std::string SavingPlace::RelativePath() const { return JoinPath(folder, name); }

SavingPlace PlaceFor(const SavingLayout& layout, FileTypeId type, const std::string& list_name,
                     const std::optional<DateTaken>& date_taken) {
  SavingPlace place;
  place.name = list_name;
  if (layout.by_type) {
    const FileTypeInfo* info = FindFileType(type);
    place.folder = info && !info->name.empty() ? std::string(info->name) : "other";
  }
  if (layout.by_date) {
    place.date_taken = date_taken;
    const std::string dated = date_taken ? date_taken->FolderPath() : kUndatedFolder;
    place.folder = JoinPath(place.folder, dated);
    if (date_taken) {
      place.name = date_taken->NameStem() + "." + std::string(ExtensionOf(type));
    }
  }
  return place;
}

SavingSession::SavingSession(SectorSource& source, const ScanResults& results,
                             std::string destination, SavingOptions options)
    : source_(source), results_(results), destination_(std::move(destination)), options_(options) {}

uint64_t SavingSession::MarkedBytes() const {
  uint64_t total = 0;
  for (const FoundFile& file : results_.Found()) {
    if (file.selected) total += file.length;
  }
  return total;
}

uint64_t SavingSession::MarkedCount() const {
  uint64_t count = 0;
  for (const FoundFile& file : results_.Found()) count += file.selected ? 1 : 0;
  return count;
}

DestinationCheck SavingSession::CheckDestination(const DestinationCheckOptions& options) const {
  return pictavo::CheckDestination(destination_, source_.Name(), MarkedBytes(), options);
}

std::string SavingSession::MakeDestination() const {
  std::error_code made;
  std::filesystem::create_directories(destination_, made);
  if (made) return "cannot create " + destination_ + ": " + made.message();
  return {};
}

SaveSummary SavingSession::Run(SavingObserver* observer, const std::atomic<bool>* cancel) {
  SaveSummary summary;
  const auto found = results_.Found();
  const uint64_t marked = MarkedCount();
  const uint64_t total_bytes = MarkedBytes();
  summary.stale_partial_files_removed = RemoveStalePartialFiles(destination_);
  if (observer) observer->OnStart(marked, total_bytes);
  Planner planner(source_, found, destination_, options_.layout, &summary);
  const bool keep = options_.keep_all_files;

  std::vector<std::unique_ptr<SectorSource>> clones;
  for (int t = 0; options_.threads > 1 && t < options_.threads && marked > 1; ++t) {
    auto clone = source_.Clone();
    if (!clone) {
      clones.clear();
      break;
    }
    clones.push_back(std::move(clone));
  }

  if (clones.empty()) {
    RunProgress progress(observer, total_bytes);
    while (true) {
      if (cancel && cancel->load(std::memory_order_relaxed)) {
        summary.cancelled = planner.HasNext();
        break;
      }
      std::optional<SaveJob> job = planner.Next();
      if (!job) break;
      if (observer) observer->OnFileStart(job->index, job->place.RelativePath());
      progress.StartFile();
      SaveAttempt attempt = SaveOne(source_, found[job->index], *job, &progress, cancel);
      if (!Account(attempt, summary, observer, keep)) break;
    }
    return summary;
  }

  // Several files are copied at once, each thread through its own handle on the medium. This
  // thread plans the files in list order a few ahead of the copying and takes the outcomes in
  // list order, so the summary and the reports are those of one thread; only a window of files
  // is in flight, whatever their number. Files copied past the point where the run ended (a
  // cancel, a full destination) are removed.
  const size_t window = clones.size() * 4;
  struct Slot {
    SaveJob job;
    std::optional<SaveAttempt> attempt;
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Slot> slots;   // planned and not yet accounted, in list order
  size_t first_slot = 0;    // the number of the front slot
  size_t next_to_copy = 0;  // the number of the next slot a worker takes
  bool quit = false;
  std::atomic<uint64_t> bytes_done{0};
  auto worker = [&](SectorSource* handle) {
    std::unique_lock lock(mutex);
    for (;;) {
      changed.wait(lock, [&] { return quit || next_to_copy < first_slot + slots.size(); });
      if (quit) return;
      const size_t number = next_to_copy++;
      const SaveJob job = slots[number - first_slot].job;
      lock.unlock();
      SharedProgress progress(&bytes_done);
      SaveAttempt attempt;
      if (cancel && cancel->load(std::memory_order_relaxed)) {
        attempt.copy.cancelled = true;
      } else {
        attempt = CopyOne(*handle, found[job.index], job, &progress, cancel);
      }
      lock.lock();
      slots[number - first_slot].attempt = std::move(attempt);
      changed.notify_all();
    }
  };
  std::vector<std::thread> workers;
  for (auto& clone : clones) workers.emplace_back(worker, clone.get());

  bool planned_all = false;
  std::vector<SaveJob> ahead;  // planned outside the lock, handed over below
  for (;;) {
    // Plan up to the window.
    size_t in_flight;
    {
      std::lock_guard lock(mutex);
      in_flight = slots.size();
    }
    while (!planned_all && in_flight + ahead.size() < window) {
      std::optional<SaveJob> job = planner.Next();
      if (!job) {
        planned_all = true;
        break;
      }
      if (observer) observer->OnFileStart(job->index, job->place.RelativePath());
      ahead.push_back(std::move(*job));
    }
    std::optional<SaveAttempt> attempt;
    SaveJob job;
    {
      std::unique_lock lock(mutex);
      for (SaveJob& planned : ahead) slots.push_back({std::move(planned), std::nullopt});
      ahead.clear();
      changed.notify_all();
      if (slots.empty()) break;
      while (!slots.front().attempt) {
        changed.wait_for(lock, std::chrono::milliseconds(100));
        if (!slots.front().attempt && observer) {
          lock.unlock();
          observer->OnProgress(bytes_done.load(), total_bytes);
          lock.lock();
        }
      }
      attempt = std::move(slots.front().attempt);
      job = std::move(slots.front().job);
      slots.pop_front();
      ++first_slot;
    }
    if (!attempt->copy.cancelled) PlaceOne(*attempt, job);
    if (observer) observer->OnProgress(bytes_done.load(), total_bytes);
    if (!Account(*attempt, summary, observer, keep)) break;
  }
  {
    std::lock_guard lock(mutex);
    quit = true;
  }
  changed.notify_all();
  for (auto& thread : workers) thread.join();
  // Copies made past the point where the run ended never get their names.
  for (const Slot& slot : slots) {
    if (slot.attempt && !slot.attempt->temp_path.empty()) {
      std::remove(slot.attempt->temp_path.c_str());
    }
  }
  return summary;
}

SaveSummary SaveMarkedFiles(SectorSource& source, const ScanResults& results,
                            const std::string& folder, SaveObserver* observer,
                            const std::atomic<bool>* cancel, int threads) {
  SavingOptions options;
  options.threads = threads;
  options.keep_all_files = true;
  ForwardingObserver forwarding(observer);
  return SavingSession(source, results, folder, options).Run(&forwarding, cancel);
}

bool SaveOneFileInto(SectorSource& source, const FoundFile& file, size_t record_index,
                     const std::string& wanted_name, const std::string& folder,
                     SaveSummary& summary, SaveObserver* observer, ExtentCopyObserver* progress,
                     const std::atomic<bool>* cancel) {
  SaveJob job;
  job.index = record_index;
  job.place.name = wanted_name;
  job.folder_path = folder;
  SaveAttempt attempt = SaveOne(source, file, job, progress, cancel);
  return Account(attempt, summary, observer, true);
}

}  // namespace pictavo
