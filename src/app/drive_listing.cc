#include "app/drive_listing.h"

#include <QFile>

#include "platform/sector_source.h"

namespace pictavo::app {

DriveListing ListDrives() { return {}; }

QString DriveSizeLabel(uint64_t bytes, bool single_precision) {
  constexpr uint64_t kGiB = uint64_t{1} << 30;
  constexpr uint64_t kMiB = uint64_t{1} << 20;
  if (bytes < kGiB) {
    return QString::asprintf("%.2f MB", static_cast<double>(bytes) / kMiB);
  }
  double gib = static_cast<double>(bytes) / kGiB;
  if (single_precision) gib = static_cast<float>(gib);
  return QString::asprintf("%.2f GB", gib);
}

std::optional<ImageEntryView> ReadImageEntry(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  const qint64 size = file.size();
  if (size < ImageTrailer::kSize || !file.seek(size - ImageTrailer::kSize)) return std::nullopt;
  const QByteArray bytes = file.read(ImageTrailer::kSize);
  ImageTrailer trailer;
  if (bytes.size() != ImageTrailer::kSize ||
      !ParseImageTrailer(reinterpret_cast<const uint8_t*>(bytes.constData()), &trailer)) {
    return std::nullopt;
  }
  ImageEntryView entry;
  entry.data_size = trailer.data_size;
  entry.label = QStringLiteral("Image File (%1)")
                    .arg(DriveSizeLabel(static_cast<uint64_t>(size), /*single_precision=*/false));
  return entry;
}

}  // namespace pictavo::app
