#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QString>
#include <cstdint>
#include <memory>

#include "app/drive_listing.h"
#include "app/pictavo_sheet.h"
#include "samples/image_builder.h"
#include "scripted_prompts.h"

namespace pictavo::app::testing {

// A disk image file holding `jpeg_count` real JPEGs between filler, and how big it is.
struct SampleImage {
  QString path;
  uint32_t jpeg_count = 0;
  uint64_t data_size = 0;
};

// While it lives, the process acts as an ordinary user (nobody) if it runs as root; the real user
// stays root, so root's privileges come back when it goes. For texts that depend on who asks.
class AsOrdinaryUser {
 public:
  AsOrdinaryUser();
  ~AsOrdinaryUser();
  AsOrdinaryUser(const AsOrdinaryUser&) = delete;
  AsOrdinaryUser& operator=(const AsOrdinaryUser&) = delete;

 private:
  bool switched_ = false;
};

class GuiTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // `extra_sectors` of random filler after the photos make the scan take several chunks.
  SampleImage MakeImage(const std::string& name, uint32_t jpeg_count, uint32_t extra_sectors = 0,
                        bool with_trailer = true);
  // A file that starts with the recovery snapshot's tag.
  QString MakeSnapshotFile(const std::string& name);
  QString WriteBytes(const std::string& name, const std::vector<uint8_t>& bytes);

  // A sheet whose drive page lists `listing` instead of the machine's drives.
  std::unique_ptr<CPictavoSheet> MakeSheet(DriveListing listing = {});
  // One disk holding one volume, both opened from `image.path`.
  static DriveListing ListingOf(const SampleImage& image, bool removable = true);

  // Chooses a road on the main page by clicking its button.
  static void ChooseRoad(CPictavoSheet& sheet, Road road);
  static QAbstractButton* NextButton(CPictavoSheet& sheet) {
    return sheet.button(QWizard::NextButton);
  }

  ScriptedPrompts prompts;
  std::unique_ptr<samples::TempDir> temp;
  int lister_calls = 0;
};

}  // namespace pictavo::app::testing
