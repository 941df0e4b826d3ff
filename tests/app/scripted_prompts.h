#pragma once

#include <QString>
#include <deque>
#include <functional>
#include <vector>

#include "app/prompts.h"

namespace pictavo::app::testing {

// Answers the program's questions from a script and records each one, so that tests see every
// message the user would have seen. Installed for its own lifetime.
class ScriptedPrompts : public PromptHandler {
 public:
  ScriptedPrompts() { previous_ = SetPromptHandler(this); }
  ~ScriptedPrompts() override { SetPromptHandler(previous_); }

  // The next message boxes' answers; without one, a box is answered with its first button of
  // OK, No, Cancel, in that order.
  void AnswerNext(QMessageBox::StandardButton answer) { answers_.push_back(answer); }
  // The next file dialogs' choices; without one, a dialog is cancelled.
  void ChooseNext(const QString& path) { files_.push_back(path); }

  QMessageBox::StandardButton Message(const MessageRequest& request) override;
  QString ChooseFile(const FileRequest& request) override;
  bool OpenUrl(const QUrl& url) override {
    urls.push_back(url);
    return true;
  }

  // Texts of the messages shown so far.
  QStringList Texts() const;

  std::vector<MessageRequest> messages;
  std::vector<FileRequest> file_requests;
  std::vector<QUrl> urls;
  // Runs inside each message box, before it is answered (e.g. to look at the dialog that asked).
  std::function<void(const MessageRequest&)> on_message;

 private:
  PromptHandler* previous_ = nullptr;
  std::deque<QMessageBox::StandardButton> answers_;
  std::deque<QString> files_;
};

}  // namespace pictavo::app::testing
