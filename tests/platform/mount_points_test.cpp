// The mount point of a directory, and the processes a kill by image name
// spares.
#include "platform/mount_points.h"

#include <gtest/gtest.h>

namespace kvr {
namespace {

constexpr char kMountInfo[] =
    "22 1 8:1 / / rw,relatime - ext4 /dev/sda1 rw\n"
    "30 22 8:2 / /home rw - ext4 /dev/sda2 rw\n"
    "31 30 8:3 / /home/kvr/data rw - ext4 /dev/sda3 rw\n"
    "32 22 8:4 / /srv/my\\040files rw - ext4 /dev/sda4 rw\n"
    "33 22 0:5 / /hom rw - tmpfs tmpfs rw\n";

TEST(MountPoints, LongestMountHoldingTheDirectory) {
  const std::pair<const char*, const char*> cases[] = {
      {"/home/kvr/jobctl", "/home"},
      {"/home/kvr/data", "/home/kvr/data"},
      {"/home/kvr/database", "/home"},  // a longer name is not below the mount
      {"/srv/my files/jobctl", "/srv/my files"},
      {"/opt/kvr", "/"},
      {"/", "/"},
  };
  for (auto [dir, mount] : cases) {
    EXPECT_EQ(MountPointOf(kMountInfo, dir), mount) << dir;
  }
  EXPECT_EQ(MountPointOf("", "/opt"), "");
  EXPECT_EQ(MountPointOf("garbage\n", "/opt"), "");
}

TEST(MountPoints, ImageKillSparesTheControllersFamily) {
  ProcessFamily family{100, 90, 80};
  for (Pid pid : {0, 1, 80, 90, 100, -5}) EXPECT_TRUE(SparedByImageKill(pid, family)) << pid;
  for (Pid pid : {2, 101, 4242}) EXPECT_FALSE(SparedByImageKill(pid, family)) << pid;
}

}  // namespace
}  // namespace kvr
