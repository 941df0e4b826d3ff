#pragma once

#include <QMessageBox>
#include <QString>
#include <QUrl>
#include <utility>
#include <vector>

class QWidget;

namespace pictavo::app {

// Every question the program puts to the user goes through these functions: message boxes, file
// dialogs and the help browser. The program shows the real dialogs; tests install a handler that
// records each request and answers it.

struct MessageRequest {
  QWidget* owner = nullptr;  // null: an ownerless box
  QString text;
  QString caption;
  QMessageBox::Icon icon = QMessageBox::Information;
  QMessageBox::StandardButtons buttons = QMessageBox::Ok;
  // Texts that replace the standard texts of some of the buttons, e.g. {Discard, "Quit"}.
  std::vector<std::pair<QMessageBox::StandardButton, QString>> button_texts;
  // The button Enter presses and the answer of Esc and the close box; NoButton leaves the choice
  // to the box.
  QMessageBox::StandardButton default_button = QMessageBox::NoButton;
  QMessageBox::StandardButton escape_button = QMessageBox::NoButton;
};

struct FileRequest {
  enum class Kind { kOpen, kSave, kFolder };
  Kind kind = Kind::kOpen;
  QWidget* owner = nullptr;
  // In the file dialog's own form, e.g. "Image File (*.img)".
  QString filter;
  // The file name the save dialog proposes; empty for none.
  QString proposed_name;
  // The folder dialog's title.
  QString title;
};

class PromptHandler {
 public:
  virtual ~PromptHandler() = default;
  virtual QMessageBox::StandardButton Message(const MessageRequest& request) = 0;
  // The chosen full path, or empty when the dialog was cancelled.
  virtual QString ChooseFile(const FileRequest& request) = 0;
  // Returns false when no browser could be started.
  virtual bool OpenUrl(const QUrl& url) = 0;
};

// Replaces the handler; null restores the real dialogs. Returns the previous handler.
PromptHandler* SetPromptHandler(PromptHandler* handler);

QMessageBox::StandardButton ShowMessage(QWidget* owner, const QString& text, const QString& caption,
                                        QMessageBox::Icon icon = QMessageBox::Information,
                                        QMessageBox::StandardButtons buttons = QMessageBox::Ok);
// Shows `request` as it is and returns the answer.
QMessageBox::StandardButton ShowMessage(const MessageRequest& request);
// The usual "Information" box with an OK button.
void ShowInformation(QWidget* owner, const QString& text);
// A Yes/No question captioned "Information"; true on Yes.
bool AskYesNo(QWidget* owner, const QString& text);

// An open-file dialog for an existing file; empty when cancelled.
QString ChooseFileToOpen(QWidget* owner, const QString& filter);
// A save-file dialog that accepts a name that does not exist yet; empty when cancelled.
QString ChooseFileToSave(QWidget* owner, const QString& filter, const QString& proposed_name);

// A dialog for an existing folder; the chosen folder's path, or empty when cancelled.
QString ChooseFolder(QWidget* owner, const QString& title);

bool OpenUrl(const QUrl& url);

}  // namespace pictavo::app
