#include "app/elapsed_time.h"

namespace pictavo::app {

QString ElapsedText(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  const int64_t hours = seconds / 3600 - (seconds / 86400) * 24;
  const int64_t minutes = seconds / 60 - (seconds / 3600) * 60;
  const int64_t rest = seconds - (seconds / 60) * 60;
  return QStringLiteral("%1:%2:%3")
      .arg(hours, 2, 10, QLatin1Char('0'))
      .arg(minutes, 2, 10, QLatin1Char('0'))
      .arg(rest, 2, 10, QLatin1Char('0'));
}

QString PermissionAdvice() {
  return QStringLiteral(
      "Reading a disk needs privileges: run Pictavo as root (for example through pkexec), or add "
      "your user to the 'disk' group and log in again.");
}

}  // namespace pictavo::app
