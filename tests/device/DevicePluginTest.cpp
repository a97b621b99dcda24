#include "app/ProcessWide.h"
#include "device/DevicePlugin.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "device/TempFolder.h"
#include "base/AppPaths.h"

namespace fs = std::filesystem;

namespace {

// True while the library at `path` is mapped into the process.
bool IsMapped(const fs::path& path) {
  void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (!h) return false;
  ::dlclose(h);
  return true;
}

bool TableEmpty() {
  return !Dvb.DVBOpen && !Dvb.DVBClose && !Dvb.DVBGetInfo && !Dvb.DVBSendDiSEqC &&
         !Dvb.DVBSetTuner && !Dvb.DVBGetTunerStatus && !Dvb.DVBAddFilter && !Dvb.DVBDelFilter &&
         !Dvb.DVBSETCOUNT;
}

class DevicePluginTest : public ::testing::Test {
 protected:
  void TearDown() override { UnloadDevicePlugin(Dvb); }
  const fs::path beside_ = fs::path(text::ExecutableFolder()) / "Device";
  TTempFolder work_;
};

TEST_F(DevicePluginTest, MissingLibraryOrBadNameFails) {
  TWorkingDirectory cwd(work_.Path());
  EXPECT_EQ(LoadDevicePlugin("NoSuchCard", Dvb), -1);
  EXPECT_EQ(LoadDevicePlugin("", Dvb), -1);
  EXPECT_EQ(LoadDevicePlugin("../Device/FakeCard", Dvb), -1);  // names, not paths
  EXPECT_TRUE(TableEmpty());
  EXPECT_FALSE(DevicePluginLoaded());
}

TEST_F(DevicePluginTest, LibraryLackingAnExportIsRefusedAndUnloaded) {
  TWorkingDirectory cwd(work_.Path());
  ASSERT_TRUE(fs::exists(beside_ / "Broken.so"));
  EXPECT_EQ(LoadDevicePlugin("Broken", Dvb), -1);
  EXPECT_TRUE(TableEmpty());
  EXPECT_FALSE(DevicePluginLoaded());
  EXPECT_FALSE(IsMapped(beside_ / "Broken.so"));
}

TEST_F(DevicePluginTest, FailedLoadAfterGoodOneLeavesTableEmpty) {
  TWorkingDirectory cwd(work_.Path());
  ASSERT_EQ(LoadDevicePlugin("FakeCard", Dvb), 0);
  EXPECT_EQ(LoadDevicePlugin("Broken", Dvb), -1);
  EXPECT_TRUE(TableEmpty());
  EXPECT_FALSE(IsMapped(beside_ / "FakeCard.so"));
}

TEST_F(DevicePluginTest, ResolvesAllNineExports) {
  TWorkingDirectory cwd(work_.Path());
  ASSERT_EQ(LoadDevicePlugin("FakeCard", Dvb), 0);
  EXPECT_TRUE(DevicePluginLoaded());
  ASSERT_NE(Dvb.DVBOpen, nullptr);
  ASSERT_NE(Dvb.DVBSETCOUNT, nullptr);
  EXPECT_NE(Dvb.DVBClose, nullptr);
  EXPECT_NE(Dvb.DVBGetInfo, nullptr);
  EXPECT_NE(Dvb.DVBSendDiSEqC, nullptr);
  EXPECT_NE(Dvb.DVBDelFilter, nullptr);
  // The record travels by value through the shared ABI.
  TTunerParams params{};
  params.Frequency = 4084000;
  EXPECT_EQ(Dvb.DVBSetTuner(params), 4084000);
  uint8_t level = 0, quality = 0;
  Dvb.DVBGetTunerStatus(&level, &quality);
  EXPECT_EQ(level, 1);
  EXPECT_EQ(quality, 2);
  EXPECT_EQ(Dvb.DVBAddFilter(0x100, nullptr, 2, 0, 0, 0), 0x101);
  UnloadDevicePlugin(Dvb);
  EXPECT_TRUE(TableEmpty());
  EXPECT_FALSE(IsMapped(beside_ / "FakeCard.so"));
}

TEST_F(DevicePluginTest, WorkingDirectoryComesBeforeExecutableFolder) {
  fs::create_directories(work_.Path() / "Device");
  fs::copy_file(fs::path(MC_FIXTURE_DIR) / "FakeCard.so", work_.Path() / "Device" / "FakeCard.so");
  {
    TWorkingDirectory cwd(work_.Path());
    ASSERT_EQ(LoadDevicePlugin("FakeCard", Dvb), 0);
    EXPECT_EQ(Dvb.DVBOpen(0), 1) << "the copy below the working directory wins";
  }
  TTempFolder elsewhere;
  TWorkingDirectory cwd(elsewhere.Path());
  // A second load replaces the first and unloads it.
  ASSERT_EQ(LoadDevicePlugin("FakeCard", Dvb), 0);
  EXPECT_EQ(Dvb.DVBOpen(0), 2) << "without one there, the copy beside the executable loads";
  EXPECT_FALSE(IsMapped(work_.Path() / "Device" / "FakeCard.so"));
  EXPECT_TRUE(IsMapped(beside_ / "FakeCard.so"));
}

} // namespace
