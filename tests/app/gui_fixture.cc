#include "gui_fixture.h"

#include <unistd.h>

#include <QFile>
#include <QRadioButton>
#include <QTest>

#include "app/drive_selection_page.h"
#include "app/main_page.h"
#include "engine/file_types.h"
#include "samples/jpeg_sample.h"

namespace pictavo::app::testing {

AsOrdinaryUser::AsOrdinaryUser() {
  if (geteuid() == 0) {
    switched_ = seteuid(65534) == 0;
    EXPECT_TRUE(switched_);
  }
}

AsOrdinaryUser::~AsOrdinaryUser() {
  if (switched_) {
    EXPECT_EQ(seteuid(0), 0);
  }
}

void GuiTest::SetUp() {
  temp = std::make_unique<samples::TempDir>();
  ProcessFileTypeSelection().SelectAll(true);
}

void GuiTest::TearDown() {
  ProcessFileTypeSelection().SelectAll(true);
  temp.reset();
}

SampleImage GuiTest::MakeImage(const std::string& name, uint32_t jpeg_count, uint32_t extra_sectors,
                               bool with_trailer) {
  samples::ImageBuilder builder(512, 7 + jpeg_count);
  builder.Gap(8, samples::ImageBuilder::Fill::kZeros);
  for (uint32_t i = 0; i < jpeg_count; ++i) {
    samples::JpegOptions options;
    options.width = 48 + 16 * static_cast<int>(i % 3);
    options.seed = 40 + i;
    builder.Place(samples::EncodeJpeg(options));
    builder.Gap(1 + i % 3, samples::ImageBuilder::Fill::kRandom);
  }
  if (extra_sectors) builder.Gap(extra_sectors, samples::ImageBuilder::Fill::kZeros);
  builder.AlignToSector();
  SampleImage image;
  image.path = QString::fromStdString(temp->File(name));
  image.jpeg_count = jpeg_count;
  image.data_size = builder.bytes().size();
  const bool written =
      with_trailer ? builder.WriteDiskImage(temp->File(name)) : builder.WriteRaw(temp->File(name));
  EXPECT_TRUE(written) << name;
  return image;
}

QString GuiTest::WriteBytes(const std::string& name, const std::vector<uint8_t>& bytes) {
  EXPECT_TRUE(samples::WriteFile(temp->File(name), bytes));
  return QString::fromStdString(temp->File(name));
}

QString GuiTest::MakeSnapshotFile(const std::string& name) {
  return WriteBytes(name, {8, 'L', 0, 'S', 0, 'S', 0, 'I', 0, 1, 2, 3});
}

std::unique_ptr<CPictavoSheet> GuiTest::MakeSheet(DriveListing listing) {
  auto sheet = std::make_unique<CPictavoSheet>();
  sheet->drive_page()->set_lister([this, listing] {
    ++lister_calls;
    return listing;
  });
  sheet->show();
  EXPECT_TRUE(QTest::qWaitForWindowExposed(sheet.get()));
  return sheet;
}

DriveListing GuiTest::ListingOf(const SampleImage& image, bool removable) {
  DriveListing listing;
  DiskView disk;
  disk.name = image.path;
  disk.label = QStringLiteral("Test Card Reader (%1)").arg(DriveSizeLabel(image.data_size, true));
  disk.size = image.data_size;
  VolumeView volume;
  volume.name = image.path;
  volume.label = QStringLiteral("sdz1 (vfat,  %1)").arg(DriveSizeLabel(image.data_size, true));
  volume.size = image.data_size;
  volume.removable = removable;
  disk.volumes.push_back(volume);
  listing.disks.push_back(disk);
  return listing;
}

void GuiTest::ChooseRoad(CPictavoSheet& sheet, Road road) {
  QTest::mouseClick(sheet.main_page()->road_button(road), Qt::LeftButton);
}

}  // namespace pictavo::app::testing
