#include "scripted_prompts.h"

namespace pictavo::app::testing {

QMessageBox::StandardButton ScriptedPrompts::Message(const MessageRequest& request) {
  messages.push_back(request);
  if (on_message) on_message(request);
  if (!answers_.empty()) {
    const QMessageBox::StandardButton answer = answers_.front();
    answers_.pop_front();
    return answer;
  }
  for (QMessageBox::StandardButton button :
       {QMessageBox::Ok, QMessageBox::No, QMessageBox::Cancel}) {
    if (request.buttons & button) return button;
  }
  return QMessageBox::NoButton;
}

QString ScriptedPrompts::ChooseFile(const FileRequest& request) {
  file_requests.push_back(request);
  if (files_.empty()) return QString();
  const QString path = files_.front();
  files_.pop_front();
  return path;
}

QStringList ScriptedPrompts::Texts() const {
  QStringList texts;
  for (const MessageRequest& request : messages) texts << request.text;
  return texts;
}

}  // namespace pictavo::app::testing
