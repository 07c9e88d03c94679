// A kill by image name on the real system never reaches the controller's
// parent (its watching service), also when the parent leads a process
// group of its own.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/posix_env.h"
#include "support/temp_dir.h"

extern char** environ;

namespace kvr {
namespace {

// Run by the test below as a child of the shell: ends every process of the
// image name given in KVR_KILL_IMAGE.
TEST(ImageKill, DISABLED_Helper) {
  const char* image = std::getenv("KVR_KILL_IMAGE");
  ASSERT_NE(image, nullptr);
  PosixEnv env;
  env.KillByImageName(image);
}

TEST(ImageKill, ParentWithTheImageNameSurvives) {
  if (access("/usr/bin/setsid", X_OK) != 0) GTEST_SKIP() << "no setsid";
  test::TempDir dir;
  std::string image = "KvrSvcShell" + std::to_string(getpid());
  std::string shell = dir.File(image);
  std::filesystem::copy_file("/bin/sh", shell);
  std::filesystem::permissions(shell, std::filesystem::perms::owner_all);
  char self[PATH_MAX] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  // The helper runs in a session of its own, so that the shell (its parent)
  // is not in the helper's process group; the shell leads its own group.
  std::string script = std::string("/usr/bin/setsid '") + self +
                       "' --gtest_filter=ImageKill.DISABLED_Helper "
                       "--gtest_also_run_disabled_tests >/dev/null 2>&1; exit 7";
  std::string variable = "KVR_KILL_IMAGE=" + image;
  std::vector<char*> envp;
  for (char** e = environ; *e; ++e) envp.push_back(*e);
  envp.push_back(variable.data());
  envp.push_back(nullptr);
  char dashC[] = "-c";
  char* argv[] = {shell.data(), dashC, script.data(), nullptr};
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, term;
  sigemptyset(&none);
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  // The shell must be able to die of SIGTERM, whatever this process blocks.
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &term);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, shell.c_str(), nullptr, &attr, argv, envp.data()), 0);
  posix_spawnattr_destroy(&attr);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status)) << "the shell was ended by signal " << WTERMSIG(status);
  if (WIFEXITED(status)) {
    EXPECT_EQ(WEXITSTATUS(status), 7);
  }
}

}  // namespace
}  // namespace kvr
