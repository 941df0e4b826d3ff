#pragma once

#include "app/pictavo_page.h"

class QLabel;
class QTreeWidget;

namespace pictavo::app {

// The wizard's fourth page until the recovered-files view takes its place: it sums up what the
// scan (or the loaded snapshot) found, per type, so that every road has its end.
class RecoveredFilesPlaceholderPage : public PictavoPage {
  Q_OBJECT

 public:
  explicit RecoveredFilesPlaceholderPage(WizardState& state, QWidget* parent = nullptr);

  int nextId() const override { return -1; }

  QLabel* summary() const { return summary_; }
  QTreeWidget* tally_list() const { return tally_list_; }

 protected:
  void OnInitDialog() override;
  void OnSetActive() override;

 private:
  void OnSaveSnapshotClicked();
  void LoadPendingSnapshot();
  void ShowResults();

  QLabel* summary_ = nullptr;
  QTreeWidget* tally_list_ = nullptr;
};

}  // namespace pictavo::app
