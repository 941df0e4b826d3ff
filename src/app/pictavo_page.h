#pragma once

#include <QWizardPage>

class QLabel;

#include "app/wizard_state.h"

namespace pictavo::app {

class CPictavoSheet;

// A page of the wizard sheet. The sheet calls Activate() every time the page becomes the current
// page, whether it was reached with Next or with Back; the first call also runs OnInitDialog().
class PictavoPage : public QWizardPage {
  Q_OBJECT

 public:
  PictavoPage(WizardState& state, QWidget* parent = nullptr) : QWizardPage(parent), state_(state) {}

  void Activate() {
    if (!initialised_) {
      initialised_ = true;
      OnInitDialog();
    }
    OnSetActive();
  }
  bool initialised() const { return initialised_; }

 protected:
  // Once, when the page is shown for the first time.
  virtual void OnInitDialog() {}
  // Every time the page becomes current.
  virtual void OnSetActive() {}

  CPictavoSheet* sheet() const;

  WizardState& state_;

 private:
  bool initialised_ = false;
};

// A word-wrapped label asks for one line of height at least, so a window shrunk to its minimum
// cuts the rest off. With this, the label's minimum height follows the lines its text needs at
// its present width, and the window's minimum size grows with it. Called again after the text
// changes.
void KeepWrappedTextWhole(QLabel* label);

}  // namespace pictavo::app
