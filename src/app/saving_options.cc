#include "app/saving_options.h"

#include <QCheckBox>
#include <QHBoxLayout>

namespace pictavo::app {

SavingOptionsBar::SavingOptionsBar(QWidget* parent) : QWidget(parent) {
  by_type_ = new QCheckBox(QStringLiteral("Folders by type"), this);
  by_date_ = new QCheckBox(QStringLiteral("Folders and names by date taken"), this);
  by_date_->setToolTip(
      QStringLiteral("2024/2024-07-13/2024-07-13 18.22.05.jpeg; photos without a date keep their "
                     "numbered name in \"undated\""));
  only_shown_ = new QCheckBox(QStringLiteral("Save only what the filters show"), this);
  file_system_names_ = new QCheckBox(QStringLiteral("Names from the file systems"), this);
  file_system_names_->setToolTip(
      QStringLiteral("IMG_0001.JPG for a photo that starts where a file of the medium's file "
                     "systems starts; the other photos keep their numbered name"));
  file_system_names_->hide();
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(by_type_);
  layout->addWidget(by_date_);
  layout->addWidget(only_shown_);
  layout->addWidget(file_system_names_);
  layout->addStretch(1);
}

SavingChoice SavingOptionsBar::choice() const {
  SavingChoice choice;
  choice.layout.by_type = by_type_->isChecked();
  choice.layout.by_date = by_date_->isChecked();
  choice.only_shown = only_shown_->isChecked();
  choice.file_system_names = !file_system_names_->isHidden() && file_system_names_->isChecked();
  return choice;
}

void SavingOptionsBar::ShowFileSystemNamesChoice(bool shown) {
  if (!shown) file_system_names_->setChecked(false);
  file_system_names_->setVisible(shown);
}

}  // namespace pictavo::app
