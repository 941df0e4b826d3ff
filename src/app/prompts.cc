#include "app/prompts.h"

#include <QAbstractButton>
#include <QDesktopServices>
#include <QFileDialog>

namespace pictavo::app {
namespace {

const QString kInformationCaption = QStringLiteral("Information");

class DialogPrompts : public PromptHandler {
 public:
  QMessageBox::StandardButton Message(const MessageRequest& request) override {
    QMessageBox box(request.icon, request.caption, request.text, request.buttons, request.owner);
    for (const auto& [which, text] : request.button_texts) {
      if (QAbstractButton* button = box.button(which)) button->setText(text);
    }
    if (request.default_button != QMessageBox::NoButton) {
      box.setDefaultButton(request.default_button);
    }
    if (request.escape_button != QMessageBox::NoButton) box.setEscapeButton(request.escape_button);
    return static_cast<QMessageBox::StandardButton>(box.exec());
  }

  QString ChooseFile(const FileRequest& request) override {
    if (request.kind == FileRequest::Kind::kFolder) {
      return QFileDialog::getExistingDirectory(request.owner, request.title);
    }
    if (request.kind == FileRequest::Kind::kOpen) {
      return QFileDialog::getOpenFileName(request.owner, QString(), QString(), request.filter,
                                          nullptr, QFileDialog::ReadOnly);
    }
    // The image file is created only if it does not exist yet, so an overwrite question would
    // promise something the creation refuses; it reports an existing name itself.
    return QFileDialog::getSaveFileName(request.owner, QString(), request.proposed_name,
                                        request.filter, nullptr, QFileDialog::DontConfirmOverwrite);
  }

  bool OpenUrl(const QUrl& url) override { return QDesktopServices::openUrl(url); }
};

DialogPrompts& RealPrompts() {
  static DialogPrompts prompts;
  return prompts;
}

PromptHandler* g_handler = nullptr;

PromptHandler& Handler() { return g_handler ? *g_handler : RealPrompts(); }

}  // namespace

PromptHandler* SetPromptHandler(PromptHandler* handler) {
  PromptHandler* previous = g_handler;
  g_handler = handler;
  return previous;
}

QMessageBox::StandardButton ShowMessage(const MessageRequest& request) {
  return Handler().Message(request);
}

QMessageBox::StandardButton ShowMessage(QWidget* owner, const QString& text, const QString& caption,
                                        QMessageBox::Icon icon,
                                        QMessageBox::StandardButtons buttons) {
  MessageRequest request;
  request.owner = owner;
  request.text = text;
  request.caption = caption;
  request.icon = icon;
  request.buttons = buttons;
  return Handler().Message(request);
}

void ShowInformation(QWidget* owner, const QString& text) {
  ShowMessage(owner, text, kInformationCaption, QMessageBox::Information, QMessageBox::Ok);
}

bool AskYesNo(QWidget* owner, const QString& text) {
  return ShowMessage(owner, text, kInformationCaption, QMessageBox::Question,
                     QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

QString ChooseFileToOpen(QWidget* owner, const QString& filter) {
  FileRequest request;
  request.kind = FileRequest::Kind::kOpen;
  request.owner = owner;
  request.filter = filter;
  return Handler().ChooseFile(request);
}

QString ChooseFileToSave(QWidget* owner, const QString& filter, const QString& proposed_name) {
  FileRequest request;
  request.kind = FileRequest::Kind::kSave;
  request.owner = owner;
  request.filter = filter;
  request.proposed_name = proposed_name;
  return Handler().ChooseFile(request);
}

QString ChooseFolder(QWidget* owner, const QString& title) {
  FileRequest request;
  request.kind = FileRequest::Kind::kFolder;
  request.owner = owner;
  request.title = title;
  return Handler().ChooseFile(request);
}

bool OpenUrl(const QUrl& url) { return Handler().OpenUrl(url); }

}  // namespace pictavo::app
