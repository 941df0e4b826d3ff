#include "app/pictavo_page.h"

#include <QEvent>
#include <QLabel>

#include "app/pictavo_sheet.h"

namespace pictavo::app {

namespace {

class WrappedTextKeeper : public QObject {
 public:
  static constexpr const char* kName = "pictavo-wrapped-text-keeper";

  explicit WrappedTextKeeper(QLabel* label) : QObject(label), label_(label) {
    setObjectName(QLatin1String(kName));
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == label_ && event->type() == QEvent::Resize) Update();
    return false;
  }

  void Update() {
    // A label not shown yet has no width of its own (a new widget is 100 pixels wide), and the
    // height it would ask for at that width could only stretch the window.
    if (!label_->isVisible()) return;
    // The height depends on the width only, so this settles after one round.
    const int needed = label_->heightForWidth(label_->width());
    if (needed > 0 && needed != label_->minimumHeight()) label_->setMinimumHeight(needed);
  }

 private:
  QLabel* label_;
};

}  // namespace

void KeepWrappedTextWhole(QLabel* label) {
  auto* keeper = static_cast<WrappedTextKeeper*>(label->findChild<QObject*>(
      QLatin1String(WrappedTextKeeper::kName), Qt::FindDirectChildrenOnly));
  if (!keeper) {
    keeper = new WrappedTextKeeper(label);
    label->installEventFilter(keeper);
  }
  keeper->Update();
}

CPictavoSheet* PictavoPage::sheet() const { return qobject_cast<CPictavoSheet*>(wizard()); }

}  // namespace pictavo::app
