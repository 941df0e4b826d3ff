#pragma once

#include <array>

#include "app/pictavo_page.h"

class QLabel;
class QRadioButton;

namespace pictavo::app {

// The first page: four roads (Recover, Create Image, Open Image, Load Recovery). Next checks the
// chosen image or snapshot file on the roads that start from a file.
class CMainPictavoDlg : public PictavoPage {
  Q_OBJECT

 public:
  explicit CMainPictavoDlg(WizardState& state, QWidget* parent = nullptr);

  bool isComplete() const override;
  bool validatePage() override;
  int nextId() const override;

  QRadioButton* road_button(Road road) const { return road_buttons_[static_cast<int>(road)]; }
  QLabel* description(Road road) const { return descriptions_[static_cast<int>(road)]; }

 protected:
  void OnSetActive() override;

 private:
  void OnRoadClicked(Road road);

  std::array<QRadioButton*, 4> road_buttons_{};
  std::array<QLabel*, 4> descriptions_{};
};

}  // namespace pictavo::app
