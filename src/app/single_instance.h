#pragma once

#include <QLockFile>
#include <QString>
#include <memory>

namespace pictavo::app {

// Keeps a second copy of the program from running: a lock file in the user's runtime directory,
// held for the life of the process. The system drops the lock with the process, and a lock left
// by a copy that crashed is taken over, since its process no longer runs.
class SingleInstanceGuard {
 public:
  enum class Outcome { kAcquired, kAlreadyRunning, kFailed };

  static constexpr char kLockName[] = "OSKELPHOTORECOVERY-APPMUTEX";

  // `directory` empty: the user's runtime directory (XDG_RUNTIME_DIR, else the temp directory).
  explicit SingleInstanceGuard(const QString& directory = QString());

  Outcome Acquire();
  const QString& path() const { return path_; }

 private:
  QString path_;
  std::unique_ptr<QLockFile> lock_;
};

// Takes the guard and tells the user when another copy runs or the guard cannot be taken.
// Returns true when the program may go on.
bool AcquireSingleInstance(SingleInstanceGuard& guard);

}  // namespace pictavo::app
