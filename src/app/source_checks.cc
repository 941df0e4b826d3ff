#include "app/source_checks.h"

#include <QFile>

#include "drives/disk_image.h"
#include "results/scan_checkpoint.h"
#include "results/snapshot.h"

namespace pictavo::app {

bool CheckImageFile(const QString& path) {
  return !path.isEmpty() && pictavo::CheckImageFile(QFile::encodeName(path).toStdString());
}

// A stopped scan saved from the wizard (or kept by `pictavo-cli scan --checkpoint`) loads on the
// same road as a snapshot.
bool CheckSnapshotFile(const QString& path) {
  if (path.isEmpty()) return false;
  const std::string name = QFile::encodeName(path).toStdString();
  return pictavo::CheckSnapshotFile(name) || IsScanCheckpointFile(name);
}

}  // namespace pictavo::app
