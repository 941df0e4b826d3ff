#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QModelIndex>
#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/recovered_files_page.h"
#include "gui_fixture.h"

class QAbstractItemView;
class QTreeWidgetItem;

namespace pictavo::app::testing {

// Calls `act` with each dialog of type T as it is shown, before its own show handling runs (so
// before the saving dialog starts its worker), while the object lives.
template <typename T>
class OnShow : public QObject {
 public:
  explicit OnShow(std::function<void(T*)> act) : act_(std::move(act)) {
    QCoreApplication::instance()->installEventFilter(this);
  }
  ~OnShow() override { QCoreApplication::instance()->removeEventFilter(this); }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show) {
      if (auto* dialog = qobject_cast<T*>(watched)) {
        ++count;
        act_(dialog);
      }
    }
    return false;
  }

  int count = 0;

 private:
  std::function<void(T*)> act_;
};

// A real file laid into a test image, and what the scan should report for it.
struct PlacedFile {
  FileTypeId type = kTypeNone;
  std::vector<uint8_t> bytes;
  uint64_t offset = 0;  // where it went in the image
};

// Tests of the recovered-files page and what hangs off it (snapshots, saving, preview), on images
// holding real files of several types.
class ResultsTest : public GuiTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Three JPEGs, two PNGs, a GIF and a bitmap, in an order that mixes the types.
  static std::vector<PlacedFile> MixedFiles();
  // Lays `files` out between filler in a disk image in the test's folder and records where each
  // one went.
  QString MakeImage(const std::string& name, std::vector<PlacedFile>& files);
  // Runs the Open Image road on `image` and scans it: the sheet ends on the results page.
  std::unique_ptr<CPictavoSheet> ScanImage(const QString& image);
  static CRecoverdFileDlg* Page(CPictavoSheet& sheet);

  // A folder on another file system than the test's folder (where the images are): recovered
  // files and snapshots of an image are refused on the file system that holds it. Empty when
  // there is none; tests that need it skip.
  const QString& other_fs() const { return other_fs_; }

 public:
  // Clicks the check box of `index`, or the item elsewhere than its check box.
  static void ClickCheck(QAbstractItemView* view, const QModelIndex& index);
  static void ClickItem(QAbstractItemView* view, const QModelIndex& index);
  static void ClickTreeCheck(CRecoverdFileDlg* page, QTreeWidgetItem* item);
  // Clicks a tree item's label and waits until the list holds its files.
  static ::testing::AssertionResult ChooseBranch(CRecoverdFileDlg* page, QTreeWidgetItem* item);

  // The labels of the tree, root first.
  static QStringList TreeLabels(CRecoverdFileDlg* page);
  static QStringList ListNames(CRecoverdFileDlg* page);
  // Texts of the messages shown with `caption`.
  QStringList TextsWithCaption(const QString& caption) const;

 private:
  QString other_fs_;
};

}  // namespace pictavo::app::testing
