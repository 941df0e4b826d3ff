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
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(by_type_);
  layout->addWidget(by_date_);
  layout->addWidget(only_shown_);
  layout->addStretch(1);
}

SavingChoice SavingOptionsBar::choice() const {
  SavingChoice choice;
  choice.layout.by_type = by_type_->isChecked();
  choice.layout.by_date = by_date_->isChecked();
  choice.only_shown = only_shown_->isChecked();
  return choice;
}

}  // namespace pictavo::app
