// File locks of both Envs: one holder at a time, the holder named by its
// text, the lock gone with its object and not with another descriptor of
// the file or with a started process; failures carry errno.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "platform/fake_env.h"
#include "platform/posix_env.h"
#include "support/temp_dir.h"

namespace kvr {
namespace {

class FileLocks : public ::testing::TestWithParam<bool> {
 protected:
  FileLocks() {
    if (GetParam()) {
      env_ = std::make_unique<FakeEnv>();
    } else {
      env_ = std::make_unique<PosixEnv>();
    }
  }
  Env& env() { return *env_; }
  test::TempDir dir_;
  std::unique_ptr<Env> env_;
};

TEST_P(FileLocks, OneHolderNamedAndFreedWhenItsLockGoes) {
  const std::string path = dir_.File("kvr.db.lock");
  FileLockResult first = env().TryLockFile(path, "hostA 101");
  ASSERT_TRUE(first.lock);
  struct Try {
    const char* text;
    bool wantBusy;
    const char* wantHolder;
  };
  for (const Try& t : {Try{"hostB 202", true, "hostA 101"}, Try{"hostA 101", true, "hostA 101"}}) {
    FileLockResult again = env().TryLockFile(path, t.text);
    EXPECT_FALSE(again.lock) << t.text;
    EXPECT_EQ(again.busy, t.wantBusy) << t.text;
    EXPECT_EQ(again.holder, t.wantHolder) << t.text;
  }
  first.lock.reset();
  FileLockResult next = env().TryLockFile(path, "hostB 202");
  ASSERT_TRUE(next.lock);
  EXPECT_EQ(env().TryLockFile(path, "x").holder, "hostB 202");
}

TEST_P(FileLocks, PathThatCannotBeOpenedGivesErrno) {
  if (GetParam()) {
    auto& fake = static_cast<FakeEnv&>(env());
    fake.fileLockErrors[dir_.File("x.lock")] = EACCES;
    FileLockResult r = fake.TryLockFile(dir_.File("x.lock"), "h 1");
    EXPECT_FALSE(r.lock);
    EXPECT_FALSE(r.busy);
    EXPECT_EQ(r.error, EACCES);
    return;
  }
  struct Case {
    const char* name;
    int wantError;
  };
  dir_.Write("adir.lock/.keep", "");
  for (const Case& c : {Case{"missing/x.lock", ENOENT}, Case{"adir.lock", EISDIR}}) {
    FileLockResult r = env().TryLockFile(dir_.File(c.name), "h 1");
    EXPECT_FALSE(r.lock) << c.name;
    EXPECT_FALSE(r.busy) << c.name;
    EXPECT_EQ(r.error, c.wantError) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Envs, FileLocks, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Fake" : "Posix"; });

// The real lock survives what a process-owned lock would not.
TEST(PosixFileLock, AnotherDescriptorClosedOrAStartedJobDoNotChangeTheHolder) {
  test::TempDir dir;
  PosixEnv env;
  const std::string path = dir.File("q.lock");
  FileLockResult held = env.TryLockFile(path, "hostA 1");
  ASSERT_TRUE(held.lock);
  EXPECT_EQ(dir.Read("q.lock"), "hostA 1");
  int other = open(path.c_str(), O_RDONLY);
  ASSERT_GE(other, 0);
  close(other);  // a plain POSIX lock would be dropped here
  EXPECT_TRUE(env.TryLockFile(path, "hostB 2").busy);

  // A job started while the lock is held does not keep it.
  SpawnResult job = env.Spawn("sleep 30");
  ASSERT_TRUE(job.created);
  held.lock.reset();
  FileLockResult taken = env.TryLockFile(path, "hostB 2");
  EXPECT_TRUE(taken.lock) << "the started job inherited the lock";
  env.KillById(job.pid);
  env.ReapChildren();
}

}  // namespace
}  // namespace kvr
