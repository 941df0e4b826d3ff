#include "app/startup.h"

#include <QApplication>

#include "app/artwork.h"
#include "app/pictavo_sheet.h"
#include "app/single_instance.h"

namespace pictavo::app {

int RunPictavo(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("pictavo"));
  // No display name: Qt would add it to the caption of every window, message boxes included.
  QApplication::setApplicationVersion(QStringLiteral(PICTAVO_VERSION));
  QApplication::setDesktopFileName(QStringLiteral("pictavo"));
  QApplication::setWindowIcon(ArtworkIcon(QStringLiteral("pictavo")));

  // Held until the process ends.
  SingleInstanceGuard guard;
  if (!AcquireSingleInstance(guard)) return 1;

  CPictavoSheet sheet;
  sheet.exec();
  return 0;
}

}  // namespace pictavo::app
