#include "housekeeping/flag_file.h"

#include <gtest/gtest.h>

#include <string>

#include "core/config.h"
#include "core/logger.h"
#include "platform/fake_env.h"
#include "support/temp_dir.h"
#include "support/test_config.h"

namespace kvr {
namespace {

TEST(FlagFile, CreateAndDeleteWithTheirLogLines) {
  test::TempDir dir;
  FakeEnv env;
  Config config = test::LogsIn(dir.path());
  Logger log(env, config);
  const std::string flag = dir.File("NLF");
  auto logged = [&](const std::string& text) {
    return dir.Read("KVRJOBCTL.LOG").find(text) != std::string::npos;
  };

  dir.Write("NLF", "left behind");
  CreateFlagFile(env, log, flag);  // an existing flag file is kept as it is
  EXPECT_EQ(dir.Read("NLF"), "left behind");
  EXPECT_TRUE(logged("  Flag-Datei " + flag + " wurde erstellt.\n"));

  DeleteFlagFile(env, log, flag);
  EXPECT_FALSE(env.FileReadable(flag));
  EXPECT_TRUE(logged("  Flag-Datei " + flag + " wurde geloescht.\n"));

  CreateFlagFile(env, log, flag);
  EXPECT_TRUE(env.FileReadable(flag));
  EXPECT_EQ(dir.Read("NLF"), "");

  DeleteFlagFile(env, log, flag);
  DeleteFlagFile(env, log, flag);
  EXPECT_TRUE(logged("  Flag-Datei " + flag + " konnte nicht geloescht werden. errno = 2\n"));

  const std::string nowhere = dir.File("missing/NLF");
  CreateFlagFile(env, log, nowhere);
  EXPECT_TRUE(logged("  Flag-Datei " + nowhere + " kann nicht erstellt werden. errno = 2\n"));
}

}  // namespace
}  // namespace kvr
