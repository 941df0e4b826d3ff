#pragma once

#include <QWizard>

#include "app/wizard_state.h"

class QAbstractButton;

namespace pictavo::app {

class CMainPictavoDlg;
class CDriveSelectionDlg;
class CFileSelectionDlg;
class CRecoverdFileDlg;
class PictavoPage;

// The wizard: the main page, the drive page, the file-type page and the recovered-files page, in
// the Wizard97 look with a banner over the header. The road chosen on the main page decides which
// pages follow.
class CPictavoSheet : public QWizard {
  Q_OBJECT

 public:
  explicit CPictavoSheet(QWidget* parent = nullptr);
  ~CPictavoSheet() override;

  WizardState& state() { return state_; }

  CMainPictavoDlg* main_page() const { return main_page_; }
  CDriveSelectionDlg* drive_page() const { return drive_page_; }
  CFileSelectionDlg* file_page() const { return file_page_; }
  PictavoPage* recovered_page() const { return recovered_page_; }
  CRecoverdFileDlg* results_page() const;

  // "Save Recovery Snap": hidden except while the recovered-files page is current.
  QAbstractButton* save_snapshot_button() const;

  // The Next button's width on every page and road except Create Image, where it reads
  // "Create Image" and is kNextWidening pixels wider.
  static constexpr int kNextWidening = 10;
  int normal_next_width() const { return normal_next_width_; }
  void SetNextForImaging(bool imaging);

  // Cancel, Esc and the close box. With results that no snapshot holds, the user is asked first
  // whether to quit, save a snapshot (and quit once it is written) or stay.
  void reject() override;
  // True while the wizard closes.
  bool closing() const { return closing_; }

  // Where the help page is looked for: beside the program, then in the installed data folder.
  static QString HelpFilePath();

 private:
  void OnCurrentIdChanged(int id);
  void OnHelpRequested();
  // True when the wizard may close.
  bool ConfirmQuit();

  WizardState state_;
  CMainPictavoDlg* main_page_ = nullptr;
  CDriveSelectionDlg* drive_page_ = nullptr;
  CFileSelectionDlg* file_page_ = nullptr;
  PictavoPage* recovered_page_ = nullptr;
  int normal_next_width_ = 0;
  bool closing_ = false;
};

}  // namespace pictavo::app
