#include "app/single_instance.h"

#include <QDir>
#include <QStandardPaths>

#include "app/prompts.h"

namespace pictavo::app {
namespace {

const QString kGuardCaption = QStringLiteral("Oskel Softwares Photo Recovery");
const QString kAlreadyRunning = QStringLiteral("Application is already running.");
const QString kFailedToLaunch = QStringLiteral("Failed to launch.");

QString RuntimeDirectory() {
  QString directory = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (directory.isEmpty()) directory = QDir::tempPath();
  return directory;
}

}  // namespace

SingleInstanceGuard::SingleInstanceGuard(const QString& directory)
    : path_(QDir(directory.isEmpty() ? RuntimeDirectory() : directory).filePath(kLockName)) {}

SingleInstanceGuard::Outcome SingleInstanceGuard::Acquire() {
  if (lock_ && lock_->isLocked()) return Outcome::kAcquired;
  lock_ = std::make_unique<QLockFile>(path_);
  // A lock never goes stale by age: the program may run for days. It goes stale only when the
  // process that wrote it is gone.
  lock_->setStaleLockTime(0);
  if (lock_->tryLock(0)) return Outcome::kAcquired;
  return lock_->error() == QLockFile::LockFailedError ? Outcome::kAlreadyRunning : Outcome::kFailed;
}

bool AcquireSingleInstance(SingleInstanceGuard& guard) {
  switch (guard.Acquire()) {
    case SingleInstanceGuard::Outcome::kAcquired:
      return true;
    case SingleInstanceGuard::Outcome::kAlreadyRunning:
      ShowMessage(nullptr, kAlreadyRunning, kGuardCaption, QMessageBox::Information);
      return false;
    case SingleInstanceGuard::Outcome::kFailed:
      ShowMessage(nullptr, kFailedToLaunch, kGuardCaption, QMessageBox::Critical);
      return false;
  }
  return false;
}

}  // namespace pictavo::app
