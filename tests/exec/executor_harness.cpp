#include "executor_harness.h"

#include "db/client/connection.h"
#include "platform/job_mark.h"

namespace kvr::test {

std::string CurrentTestName(const char* prefix) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(prefix) + info->test_suite_name() + "_" + info->name();
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return name;
}

ExecutorHarness::World::World(Env& env, Logger& log, const ExecutorOptions& options)
    : session(env, log),
      poster(env, log, session),
      contact(env, log),
      exec(env, log, session, poster, contact, options.instanceMode, options.programDir,
           options.output) {}

void ExecutorHarness::Open(Env& env, Engine engine, ExecutorOptions options) {
  options_ = std::move(options);
  config_.kvrLog = dir_.File("KVRJOBCTL.LOG");
  config_.mainLogBackup = dir_.File("KVRJOBCTL.BAK");
  config_.dbgFile = dir_.File("KVRJOBDBG.LOG");
  config_.debugLogBackup = dir_.File("KVRJOBDBG.BAK");
  config_.programDir = options_.programDir;
  if (options_.output.enabled()) config_.dbgLog = 1;
  log_ = std::make_unique<Logger>(env, config_);
  // SQLite: one file per temporary directory, named short so that the
  // connect text stays within its limit.
  std::string name = engine == Engine::Sqlite ? std::string("q") : CurrentTestName("exec_");
  db_ = MakeTestDatabase(engine, name, dir_.path());
  ASSERT_TRUE(db_.ok) << db_.error;
  Restart(env);
}

// The old world goes first: its connection goes, and with it what was not
// committed.
void ExecutorHarness::Restart(Env& env) {
  world_.reset();
  world_ = std::make_unique<World>(env, *log_, options_);
  ASSERT_EQ(session().SQLConnect(db_.login, db_.password, db_.service, db_.schema), 0);
  poster().SetFallbackPath(dir_.File("JOBCTLMSG.log"));
  ASSERT_TRUE(poster().CreateStrNachricht());
  SetControllerSender(*poster().record());
}

long ExecutorHarness::CountElsewhere(const std::string& sql) {
  std::unique_ptr<Connection> other = MakeConnection();
  if (other->Connect(db_.connectText()) != 0) return -1;
  int32_t count = -1;
  const Out out[] = {Out::Int(&count)};
  if (other->SelectOne(sql, {}, out) != 0) return -1;
  return count;
}

std::unique_ptr<Connection> ExecutorHarness::Connect() {
  std::unique_ptr<Connection> c = MakeConnection();
  EXPECT_EQ(c->Connect(db_.connectText()), 0) << c->LastMessage();
  return c;
}

void ExecutorHarness::Insert(const Job& j) {
  const Bind in[] = {Bind::Text(j.da1), Bind::Text(j.ke2), Bind::Text(j.urv), Bind::Text(j.cmd),
                     Bind::Int(j.mrt),  Bind::Text(j.rty), Bind::Text(j.sts), Bind::Text(j.nam),
                     Bind::Text(j.num), Bind::Text(j.sda), Bind::Text(j.eda), Bind::Int(j.stv)};
  ASSERT_EQ(session().db().Execute(
                "insert into KVSYSTEM.KVR500JOB (JobDa1,JobKe2,JobUrv,JobCmd,JobMrt,JobRty,"
                "JobSts,JobNam,JobNum,JobSda,JobEda,JobStv) values "
                "(:b0,:b1,:b2,:b3,:b4,:b5,:b6,:b7,:b8,:b9,:b10,:b11)",
                in),
            0)
      << session().db().LastMessage();
  ASSERT_EQ(session().SQLCommit(), 0);
}

Job ExecutorHarness::Read(const std::string& da1, const std::string& ke2) {
  Job j;
  j.da1 = da1;
  FixedText<32> k;
  FixedText<256> urv, cmd;
  FixedText<2> rty, sts;
  FixedText<64> nam;
  FixedText<8> num;
  FixedText<14> sda, eda;
  const Bind in[] = {Bind::Text(da1), Bind::Text(ke2)};
  const Out out[] = {Out::Text(k),   Out::Text(urv), Out::Text(cmd),  Out::Int(&j.mrt),
                     Out::Text(rty), Out::Text(sts), Out::Text(nam),  Out::Text(num),
                     Out::Text(sda), Out::Text(eda), Out::Int(&j.stv)};
  int rc = session().db().SelectOne(
      "select JOBKE2, JOBURV, JOBCMD, JOBMRT, JOBRTY, JOBSTS, JOBNAM, JOBNUM, JOBSDA, JOBEDA, "
      "JOBSTV from KVSYSTEM.KVR500JOB where JOBDA1=:b0 and JOBKE2=:b1",
      in, out);
  EXPECT_TRUE(rc == 0 || rc == kSqlNoData) << session().db().LastMessage();
  j.ke2 = k.str();
  j.urv = urv.str();
  j.cmd = cmd.str();
  j.rty = rty.str();
  j.sts = sts.str();
  j.nam = nam.str();
  j.num = num.str();
  j.sda = sda.str();
  j.eda = eda.str();
  return j;
}

std::vector<std::string> ExecutorHarness::Messages() {
  std::vector<std::string> texts;
  int status = 0;
  auto cursor =
      session().db().Open("select MSGTXT from KVSYSTEM.KVR200MSG order by MSGUID", {}, &status);
  EXPECT_TRUE(cursor) << status << " " << session().db().LastMessage();
  if (!cursor) return texts;
  for (;;) {
    FixedText<250> text;
    const Out out[] = {Out::Text(text)};
    if (cursor->Fetch(out) != 0) break;
    texts.push_back(text.str());
  }
  return texts;
}

std::string ExecutorHarness::Mark(const Job& job) const {
  std::string text;
  JobMark mark{MarkOwner{options_.programDir, "-1"}, job.da1, job.ke2, job.sda};
  for (const std::string& var : JobMarkEnvironment(mark)) text += var + '\0';
  return text;
}

int ExecutorHarness::LogCount(const std::string& text) {
  std::string log = MainLog();
  int n = 0;
  for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
  return n;
}

bool ExecutorHarness::Supervise() {
  exec().SaveProcessTable();
  exec().ClearProcessTable();
  exec().ResetRunningJobs();
  int sqlCode = 0;
  if (!exec().GetKvProcs(&sqlCode)) return false;
  exec().CheckProcessTime();
  return true;
}

}  // namespace kvr::test
