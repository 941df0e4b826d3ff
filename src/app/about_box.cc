#include "app/about_box.h"

#include <QAbstractButton>
#include <QWizard>

#include "app/command_line.h"
#include "app/prompts.h"
#include "app/wizard_state.h"

namespace pictavo::app {

QString AboutText() {
  return QString::fromUtf8(ProgramTitleWithVersion()) +
         QStringLiteral(
             "\n\nRecovers photos, camera raw files, movies and sound files from memory cards, "
             "disks and disk images by recognising each file's own structure. It never writes "
             "to the medium it recovers from.\n\nThe command-line tool is pictavo-cli.");
}

void AddAboutButton(QWizard* sheet) {
  sheet->setOption(QWizard::HaveCustomButton2);
  sheet->setButtonText(QWizard::CustomButton2, QStringLiteral("About"));
  QObject::connect(sheet, &QWizard::customButtonClicked, sheet, [sheet](int which) {
    if (which == QWizard::CustomButton2) {
      ShowMessage(sheet, AboutText(), QStringLiteral("About Pictavo"));
    }
  });
  QObject::connect(sheet, &QWizard::currentIdChanged, sheet, [sheet](int id) {
    sheet->button(QWizard::CustomButton2)->setVisible(id == kMainPageId);
  });
}

}  // namespace pictavo::app
