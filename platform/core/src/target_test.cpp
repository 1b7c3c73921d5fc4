#include "platform/core/target.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

// A target root of its own, <base>/root, with the current directory its Windows\System32.
class HostPath : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "host-path-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    base_ = pattern;
    platform::set_target_root(base_ / "root");
    previous_ = fs::current_path();
    fs::current_path(base_ / "root" / "Windows" / "System32");
  }
  void TearDown() override {
    fs::current_path(previous_);
    fs::remove_all(base_);
  }
  std::string Under(const std::string& relative) const { return (base_ / "root" / relative).string(); }

  fs::path base_, previous_;
};

TEST_F(HostPath, DotDotAtTheRootOfDriveCStaysAtTheRoot) {
  EXPECT_EQ(platform::host_path("C:\\..\\..\\x"), Under("x"));
  EXPECT_EQ(platform::host_path("c:/Windows/../../../ProgramData\\.\\\\log.txt"), Under("ProgramData/log.txt"));
  EXPECT_EQ(platform::host_path("D:\\x"), "");  // the machine has one volume
}

TEST_F(HostPath, RelativePathsResolveInTheCurrentDirectoryAndStayInTheRoot) {
  EXPECT_EQ(platform::host_path("C:Session.bin"), Under("Windows/System32/Session.bin"));
  EXPECT_EQ(platform::host_path("..\\..\\..\\..\\x.bin"), Under("x.bin"));
  // The stand-in's own form of a folder in the root is confined the same way; a path that
  // never enters the root is the Linux path it names.
  EXPECT_EQ(platform::host_path(Under("Windows") + "\\..\\..\\x"), Under("x"));
  EXPECT_EQ(platform::host_path((base_ / "other" / ".." / "file").string()), (base_ / "file").string());
}

TEST_F(HostPath, ARootNamedThroughASymbolicLinkConfinesTheCurrentDirectoryToo) {
  fs::create_directory_symlink(base_ / "root", base_ / "link");
  platform::set_target_root(base_ / "link");
  EXPECT_EQ(platform::host_path("..\\..\\..\\x"), Under("x"));  // the current directory is the resolved path
}

}  // namespace
