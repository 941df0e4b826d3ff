#include "app/source_checks.h"

#include <QFile>
#include <cstring>

#include "platform/sector_source.h"

namespace pictavo::app {

bool CheckImageFile(const QString& path) {
  if (path.isEmpty()) return false;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return false;
  const qint64 size = file.size();
  if (size < kImageTrailerMagicSize || !file.seek(size - kImageTrailerMagicSize)) return false;
  const QByteArray magic = file.read(kImageTrailerMagicSize);
  return magic.size() == kImageTrailerMagicSize &&
         std::memcmp(magic.constData(), ImageTrailerMagic(), kImageTrailerMagicSize) == 0;
}

bool CheckSnapshotFile(const QString& path) {
  if (path.isEmpty()) return false;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return false;
  const QByteArray length = file.read(1);
  if (length.size() != 1) return false;
  const QByteArray tag = file.read(static_cast<uint8_t>(length[0]));
  // "LSSI" in UTF-16 little-endian, followed by nothing but an optional terminating zero: the
  // tag is compared as a zero-terminated string.
  static constexpr char kTag[] = {'L', 0, 'S', 0, 'S', 0, 'I', 0};
  if (tag.size() < 8 || std::memcmp(tag.constData(), kTag, 8) != 0) return false;
  const char next_low = tag.size() > 8 ? tag[8] : 0;
  const char next_high = tag.size() > 9 ? tag[9] : 0;
  return next_low == 0 && next_high == 0;
}

}  // namespace pictavo::app
