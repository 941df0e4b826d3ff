#include <gtest/gtest.h>

#include <string>

#include "support/cli_run.h"
#include "support/loop_device.h"

namespace {

using pictavo::testing::RunCli;

TEST(CliDrives, ListsALoopDeviceAndItsFatPartitionInEveryFormat) {
  pictavo::testing::LoopDevice loop(std::vector<uint8_t>(4 << 20));
  if (!loop.ok()) GTEST_SKIP() << loop.skip_reason();
  const auto tsv = RunCli("drives --format tsv");
  ASSERT_EQ(tsv.status, 0);
  EXPECT_EQ(tsv.out.rfind("kind\tname\tdisk\tsize\tfile_system\tremovable\tlabel\n", 0), 0u);
  EXPECT_NE(tsv.out.find("disk\t" + loop.disk() + "\t\t4194304\t\t0\tLoop device ("),
            std::string::npos)
      << tsv.out;
  EXPECT_NE(tsv.out.find("volume\t" + loop.partition() + "\t" + loop.disk() +
                         "\t3145728\tvfat\t0\t" + loop.partition() + " (vfat,  3.00 MB)\n"),
            std::string::npos)
      << tsv.out;

  const auto table = RunCli("drives --format table");
  EXPECT_NE(table.out.find("\n  " + loop.partition() + " (vfat,  3.00 MB)\n"), std::string::npos)
      << table.out;
  const auto json = RunCli("drives --format json");
  EXPECT_NE(
      json.out.find("{\"name\": \"" + loop.partition() + "\", \"label\": \"" + loop.partition() +
                    " (vfat,  3.00 MB)\", \"size\": 3145728, \"file_system\": \"vfat\""),
      std::string::npos)
      << json.out;
}

TEST(CliDrives, RejectsStrayArguments) {
  EXPECT_EQ(RunCli("drives /dev/sda").status, 2);
  EXPECT_EQ(RunCli("drives --format xml").status, 2);
  EXPECT_EQ(RunCli("drives --help").status, 0);
}

}  // namespace
