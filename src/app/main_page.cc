#include "app/main_page.h"

#include <QApplication>
#include <QGridLayout>
#include <QLabel>
#include <QRadioButton>
#include <QStyle>

#include "app/artwork.h"
#include "app/pictavo_sheet.h"
#include "app/prompts.h"
#include "app/recovered_files_page.h"
#include "app/source_checks.h"

namespace pictavo::app {
namespace {

struct RoadText {
  Road road;
  const char* button;
  const char* description;
  const char* picture;
};

constexpr RoadText kRoads[] = {
    {Road::kRecover, "  Recover",
     "This option will scan your removable / fixed drive for selected file type. Upon completion "
     "of the scan, you will be able to recover your deleted photos.",
     "road_recover"},
    {Road::kCreateImage, "  Create Image",
     "Create complete replica of your drive into a file. The created disk image file contains "
     "the complete contents and structure of your drive, which later can be used for recovery.",
     "road_create_image"},
    {Road::kOpenImage, "  Open Image", "Open and process disk image to recover photos.",
     "road_open_image"},
    {Road::kLoadRecovery, "  Load Recovery",
     "Resume recovery process by opening the recovery snapshot file saved during last scan.",
     "road_load_recovery"},
};

const QString kSnapshotFilter = QStringLiteral("Save Scan Files (*.dat)");
// "All files" also shows an image made without an extension (Create Image proposes none).
const QString kImageFilter = QStringLiteral("Image File (*.img);;All files (*)");
const QString kNotValidSnapshot = QStringLiteral("Not a valid Save Recovery file.");
const QString kNotValidImage = QStringLiteral("Not a valid image file.");

}  // namespace

CMainPictavoDlg::CMainPictavoDlg(WizardState& state, QWidget* parent) : PictavoPage(state, parent) {
  setTitle(QStringLiteral("Welcome to Pictavo Photo Recovery"));
  setSubTitle(QStringLiteral("Choose what you would like to do, then press Next."));
  state_.target_page = kMainPageId;

  QFont road_font = font();
  road_font.setWeight(QFont::ExtraBold);
  road_font.setPixelSize(13);

  auto* grid = new QGridLayout(this);
  grid->setHorizontalSpacing(14);
  grid->setVerticalSpacing(4);
  grid->setColumnStretch(1, 1);
  int row = 0;
  for (const RoadText& text : kRoads) {
    const int index = static_cast<int>(text.road);
    auto* picture = new QLabel(this);
    picture->setPixmap(ArtworkPixmap(QString::fromLatin1(text.picture), QSize(48, 48)));
    picture->setAlignment(Qt::AlignTop | Qt::AlignHCenter);

    auto* button = new QRadioButton(QString::fromLatin1(text.button), this);
    button->setFont(road_font);
    auto* description = new QLabel(QString::fromLatin1(text.description), this);
    description->setWordWrap(true);
    description->setIndent(button->style()->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth) + 8);
    description->setBuddy(button);
    KeepWrappedTextWhole(description);

    grid->addWidget(picture, row, 0, 2, 1);
    grid->addWidget(button, row, 1, Qt::AlignLeft);
    grid->addWidget(description, row + 1, 1);
    grid->setRowMinimumHeight(row + 2, 12);
    row += 3;

    road_buttons_[index] = button;
    descriptions_[index] = description;
    connect(button, &QRadioButton::clicked, this,
            [this, road = text.road] { OnRoadClicked(road); });
  }
  grid->setRowStretch(row, 1);
}

void CMainPictavoDlg::OnRoadClicked(Road road) {
  state_.road = road;
  state_.target_page = road == Road::kLoadRecovery ? kRecoveredFilesPageId : kMainPageId;
  state_.road_chosen = true;
  for (int i = 0; i < static_cast<int>(road_buttons_.size()); ++i) {
    road_buttons_[i]->setChecked(i == static_cast<int>(road));
  }
  emit completeChanged();
}

void CMainPictavoDlg::OnSetActive() { emit completeChanged(); }

bool CMainPictavoDlg::isComplete() const { return state_.road_chosen; }

int CMainPictavoDlg::nextId() const {
  return state_.target_page == kRecoveredFilesPageId ? kRecoveredFilesPageId : kDrivePageId;
}

bool CMainPictavoDlg::validatePage() {
  if (!state_.road_chosen) return false;
  state_.snapshot_pending = true;
  if (state_.road == Road::kLoadRecovery) {
    state_.destination_path = ChooseFileToOpen(this, kSnapshotFilter);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const bool valid = CheckSnapshotFile(state_.destination_path);
    QApplication::restoreOverrideCursor();
    if (!valid) {
      if (!state_.destination_path.isEmpty()) ShowInformation(this, kNotValidSnapshot);
      return false;
    }
    // The snapshot is read before the page changes: one that cannot be loaded keeps the wizard
    // here, with nothing of it (or of an earlier load) on the results page.
    if (CPictavoSheet* owner = sheet(); owner && !owner->results_page()->LoadPendingSnapshot()) {
      return false;
    }
  } else if (state_.road == Road::kOpenImage) {
    state_.image_path = ChooseFileToOpen(this, kImageFilter);
    if (!CheckImageFile(state_.image_path)) {
      if (!state_.image_path.isEmpty()) ShowInformation(this, kNotValidImage);
      return false;
    }
  }
  return true;
}

}  // namespace pictavo::app
