#include "app/pictavo_sheet.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <algorithm>

#include "app/about_box.h"
#include "app/artwork.h"
#include "app/drive_selection_page.h"
#include "app/file_selection_page.h"
#include "app/main_page.h"
#include "app/prompts.h"
#include "app/recovered_files_page.h"

namespace pictavo::app {
namespace {

const QString kSheetCaption = QStringLiteral("Photo Recovery");
// Only the main window carries the program's name; message boxes and dialogs keep their captions
// exactly, which window managers would otherwise shorten at the end.
const QString kProgramSuffix = QStringLiteral(" \u2014 Pictavo");
const QString kQuitQuestion =
    QStringLiteral("Quit and lose the %1 files found? You can save them with Save Recovery Snap.");
const QString kQuitQuestionOne =
    QStringLiteral("Quit and lose the 1 file found? You can save it with Save Recovery Snap.");
const QString kQuitCaption = QStringLiteral("Confirmation");
const QString kSaveSnapshotText = QStringLiteral("Save Recovery Snap");
const QString kNextText = QStringLiteral("Next >");
const QString kCreateImageText = QStringLiteral("Create Image");
const QString kHelpFileName = QStringLiteral("pictavo-help.html");

int ButtonWidthFor(QAbstractButton* button, const QString& text) {
  const QString saved = button->text();
  button->setText(text);
  const int width = button->sizeHint().width();
  button->setText(saved);
  return width;
}

}  // namespace

CPictavoSheet::CPictavoSheet(QWidget* parent) : QWizard(parent) {
  setWindowTitle(kSheetCaption + kProgramSuffix);
  setWindowIcon(ArtworkIcon(QStringLiteral("pictavo")));
  setWindowFlags(windowFlags() | Qt::WindowMinimizeButtonHint);
  setWizardStyle(QWizard::ModernStyle);
  setPixmap(QWizard::BannerPixmap, ArtworkPixmap(QStringLiteral("banner")));
  setOptions(QWizard::HaveHelpButton | QWizard::HaveCustomButton1 |
             QWizard::NoBackButtonOnStartPage);
  setButtonText(QWizard::BackButton, QStringLiteral("< Back"));
  setButtonText(QWizard::NextButton, kNextText);
  setButtonText(QWizard::CancelButton, QStringLiteral("Cancel"));
  setButtonText(QWizard::FinishButton, QStringLiteral("Finish"));
  setButtonText(QWizard::HelpButton, QStringLiteral("Help"));
  setButtonText(QWizard::CustomButton1, kSaveSnapshotText);
  // The snapshot button sits at the left, before the navigation buttons.
  setButtonLayout({QWizard::CustomButton1, QWizard::Stretch, QWizard::CustomButton2,
                   QWizard::HelpButton, QWizard::BackButton, QWizard::NextButton,
                   QWizard::FinishButton, QWizard::CancelButton});
  QAbstractButton* save_button = button(QWizard::CustomButton1);
  save_button->setMinimumWidth(button(QWizard::CancelButton)->sizeHint().width() + 50);
  save_button->hide();

  // A fixed width keeps the Next button from following its text; it fits "Create Image" once
  // widened for the imaging road.
  QAbstractButton* next = button(QWizard::NextButton);
  normal_next_width_ = std::max(ButtonWidthFor(next, kNextText),
                                ButtonWidthFor(next, kCreateImageText) - kNextWidening);
  next->setFixedWidth(normal_next_width_);

  main_page_ = new CMainPictavoDlg(state_);
  drive_page_ = new CDriveSelectionDlg(state_);
  file_page_ = new CFileSelectionDlg(state_);
  recovered_page_ = new CRecoverdFileDlg(state_);
  setPage(kMainPageId, main_page_);
  setPage(kDrivePageId, drive_page_);
  setPage(kFileTypePageId, file_page_);
  setPage(kRecoveredFilesPageId, recovered_page_);
  setStartId(kMainPageId);

  // The About button goes before a page activates, so that it never shows on another page while
  // the activation asks something.
  AddAboutButton(this);
  connect(this, &QWizard::currentIdChanged, this, &CPictavoSheet::OnCurrentIdChanged);
  connect(this, &QWizard::helpRequested, this, &CPictavoSheet::OnHelpRequested);
  resize(760, 560);
}

// The pages show the wizard's state (the results page reads the found files as it lays out its
// list), and a sheet that is still visible is hidden by the base class's destructor, after
// state_ is gone: hide it while the state is still there.
CPictavoSheet::~CPictavoSheet() { hide(); }

CRecoverdFileDlg* CPictavoSheet::results_page() const {
  return static_cast<CRecoverdFileDlg*>(recovered_page_);
}

QAbstractButton* CPictavoSheet::save_snapshot_button() const {
  return button(QWizard::CustomButton1);
}

void CPictavoSheet::SetNextForImaging(bool imaging) {
  QAbstractButton* next = button(QWizard::NextButton);
  next->setFixedWidth(normal_next_width_ + (imaging ? kNextWidening : 0));
  if (QWizardPage* page = currentPage()) {
    page->setButtonText(QWizard::NextButton, imaging ? kCreateImageText : kNextText);
  }
}

void CPictavoSheet::OnCurrentIdChanged(int id) {
  // Every page but the drive page on the imaging road has the normal Next button; that page
  // widens it again when it activates, so the widening never adds up.
  button(QWizard::NextButton)->setFixedWidth(normal_next_width_);
  save_snapshot_button()->setVisible(id == kRecoveredFilesPageId);
  if (auto* page = qobject_cast<PictavoPage*>(this->page(id))) page->Activate();
}

void CPictavoSheet::reject() {
  if (!ConfirmQuit()) return;
  closing_ = true;
  QWizard::reject();
  closing_ = false;
}

bool CPictavoSheet::ConfirmQuit() {
  const uint64_t found = state_.results.found_count;
  if (found == 0 || state_.results_saved) return true;
  MessageRequest request;
  request.owner = this;
  request.text = found == 1 ? kQuitQuestionOne : kQuitQuestion.arg(found);
  request.caption = kQuitCaption;
  request.icon = QMessageBox::Question;
  request.buttons = QMessageBox::Discard | QMessageBox::Save | QMessageBox::Cancel;
  request.button_texts = {{QMessageBox::Discard, QStringLiteral("Quit")},
                          {QMessageBox::Save, QStringLiteral("Save snapshot")},
                          {QMessageBox::Cancel, QStringLiteral("Stay")}};
  // A stray Enter or Esc keeps the results.
  request.default_button = QMessageBox::Cancel;
  request.escape_button = QMessageBox::Cancel;
  switch (ShowMessage(request)) {
    case QMessageBox::Discard:
      return true;
    case QMessageBox::Save:
      // A cancelled or refused snapshot keeps the wizard open.
      return results_page()->SaveSnapshot();
    default:
      return false;
  }
}

QString CPictavoSheet::HelpFilePath() {
  const QDir program_dir(QCoreApplication::applicationDirPath());
  const QString beside = program_dir.filePath(kHelpFileName);
  if (QFileInfo::exists(beside)) return beside;
  return QDir::cleanPath(program_dir.filePath(QStringLiteral("../share/pictavo/") + kHelpFileName));
}

void CPictavoSheet::OnHelpRequested() {
  const QString path = HelpFilePath();
  if (!OpenUrl(QUrl::fromLocalFile(path))) {
    ShowInformation(this, QStringLiteral("The help page could not be opened: %1").arg(path));
  }
}

}  // namespace pictavo::app
