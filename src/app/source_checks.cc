#include "app/source_checks.h"

#include <QFile>

#include "drives/disk_image.h"
#include "results/snapshot.h"

namespace pictavo::app {

bool CheckImageFile(const QString& path) {
  return !path.isEmpty() && pictavo::CheckImageFile(QFile::encodeName(path).toStdString());
}

bool CheckSnapshotFile(const QString& path) {
  return !path.isEmpty() && pictavo::CheckSnapshotFile(QFile::encodeName(path).toStdString());
}

}  // namespace pictavo::app
