#pragma once

#include <QWidget>

#include "results/saving_session.h"

class QCheckBox;

namespace pictavo::app {

// How the next saving run lays the files out, and which marked files it takes.
struct SavingChoice {
  SavingLayout layout;
  // Only the marked files that the filters show are saved (smaller, failed or repeated finds the
  // filters hide stay behind).
  bool only_shown = false;
  // Finds the file systems name are saved under those names (IMG_0001.JPG).
  bool file_system_names = false;
};

// The saving options under the views: folders by type, folders and names by the date taken,
// saving only what the filters show and, when the medium's file systems name files, the names
// they give. All off, files are saved as the list names them.
class SavingOptionsBar : public QWidget {
  Q_OBJECT

 public:
  explicit SavingOptionsBar(QWidget* parent = nullptr);

  SavingChoice choice() const;
  // The choice of the file systems' names is offered only while they name finds; hidden, it
  // is off.
  void ShowFileSystemNamesChoice(bool shown);

  QCheckBox* by_type() const { return by_type_; }
  QCheckBox* by_date() const { return by_date_; }
  QCheckBox* only_shown() const { return only_shown_; }
  QCheckBox* file_system_names() const { return file_system_names_; }

 private:
  QCheckBox* by_type_ = nullptr;
  QCheckBox* by_date_ = nullptr;
  QCheckBox* only_shown_ = nullptr;
  QCheckBox* file_system_names_ = nullptr;
};

}  // namespace pictavo::app
