#include "controller/controller.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "controller/startup_cause.h"
#include "db/credentials/credential_file.h"
#include "db/queue/job_table.h"
#include "housekeeping/flag_file.h"
#include "platform/clock.h"

namespace kvr {

namespace {

constexpr char kFallbackFile[] = "..\\veltronia_php\\log\\JOBCTLMSG.log";
constexpr int64_t kDatabaseRetryWaitMs = 2000;

constexpr char kStartedMessage[] = "Der Jobcontroller wurde gestartet!";
constexpr char kEndedMessage[] = "Der Jobcontroller wurde beendet!";
constexpr char kServiceLostMessage[] =
    "Jobcontroller-Dienst antwortet nicht => Jobs werden beendet!";
constexpr char kDatabaseLostMessage[] = "Datenbankverbindung unterbrochen => Jobs werden beendet!";
constexpr char kDatabaseBackMessage[] =
    "Datenbankverbindung wiederhergestellt => Neustart der Jobs!";

}  // namespace

Controller::Controller(Env& env, CommandLine commandLine)
    : env_(env),
      commandLine_(commandLine),
      sys_(env, ReadConfig(env, commandLine.diagnostics), commandLine.instance),
      loops_(sys_),
      registration_(sys_),
      timed_(sys_),
      scheduled_(sys_),
      closing_(sys_),
      housekeeping_(sys_, registration_),
      pace_(env) {}

Controller::~Controller() = default;

int Controller::Run() {
  if (!StartUp()) return startFailed_ ? kExitStartupFailed : 0;
  while (RunPass()) {
  }
  if (!stoppedInStartUp_) ShutDown();
  return 0;
}

// ---------------------------------------------------------------- start-up

bool Controller::StartUp() {
  SetUpPaceWait();
  WriteBanner();
  for (const std::string& warning : sys_.config.warnings) sys_.log.Main(warning);
  CreateMessageRecord();
  ReadCredentials();
  sys_.poster.SetFallbackPath(kFallbackFile);

  if (!sys_.contact.Contact("dbConnect", false)) return false;
  if (!ConnectDatabase()) return false;
  if (!sys_.contact.Contact("dbConnect", false)) return false;
  if (!sys_.session.queueLockHeld()) {
    EnterStandby(false);
    return true;
  }
  return StartFromDatabase();
}

bool Controller::StartFromDatabase() {
  CreateFlagFile(env_, sys_.log, kFlagFileName);
  sys_.executor.ClearSavedProcessTable();
  sys_.poster.PostNachricht(kStartedMessage);
  housekeeping_.cleanupServer();
  if (!sys_.contact.Contact("cleanupServer", false)) return false;
  // Jobs of this controller that a crash left running get their rows back
  // before anything is selected, so none is started a second time.
  sys_.executor.AdoptMarkedProcesses();
  registration_.CheckRT04Jobs();
  if (!sys_.contact.Contact("CheckRT04Jobs", false)) return false;
  registration_.AddRT04Jobs();
  sys_.log.Main("Ende 04 Jobs anlegen!\n");
  registration_.SQLInsertNewJob();
  sys_.log.Main("Ende 01 Jobs anlegen!\n");
  if (!sys_.contact.Contact("AddRT01Jobs", false)) return false;
  registration_.AddRT03SystemJobs(env_.Now());
  sys_.log.Main("Ende Initialisierung + Beginn Verarbeitung!\n");
  return true;
}

// The pace wait watches the session's wake source and the managed jobs
// (the process table as the last pass left it).
void Controller::SetUpPaceWait() {
  sys_.session.wake().SetEnabled(sys_.config.wakeUps);
  if (!sys_.config.wakeUps) return;
  pace_.AddSource(&sys_.session.wake());
  pace_.SetJobs([this](std::vector<Pid>* jobs) {
    const ProcessTable& table = sys_.executor.table();
    for (size_t i = 0; i < table.size(); ++i) {
      if (!table[i].free()) jobs->push_back(table[i].pid);
    }
  });
  sys_.contact.SetPaceWait(&pace_);
}

void Controller::WriteBanner() {
  sys_.log.Main("*********************************************\n");
  if (commandLine_.instanceMode()) {
    sys_.log.MainF("** Clusterdienst: JOBCONTROLLER %ld. gestartet **\n",
                   static_cast<long>(commandLine_.instance));
    char name[300];
    std::snprintf(name, sizeof name, kServicePipeNameFormat,
                  static_cast<long>(commandLine_.instance));
    sys_.contact.SetPipeName(name);
  } else {
    sys_.log.Main("** Jobcontroller KVRJOBSTR wurde gestartet **\n");
    sys_.contact.SetPipeName(kServicePipeName);
  }
}

void Controller::CreateMessageRecord() {
  if (!sys_.poster.CreateStrNachricht()) {
    char text[2049];
    sys_.poster.GetNachrichtError(text, 2048);
    sys_.log.Main(std::string(text) + "\n");
    return;
  }
  SetControllerSender(*sys_.poster.record());
}

void Controller::ReadCredentials() {
  // A credential file that is there but no regular file of bounded size (a
  // FIFO, a device) reads as missing; a line names it.
  int error = 0;
  if (!env_.ReadFile(sys_.config.kvrIni, &error) && error != ENOENT) {
    sys_.log.Main(
        WithText("Datei nicht lesbar: %s\n", sys_.config.kvrIni + ": " + std::strerror(error)));
  }
  CredentialSet set = ReadCredentialSet(env_, sys_.config.kvrIni);
  serviceName_ = std::move(set.service);
  sys_.executor.SetMarkQueue(serviceName_);
  schema_ = std::move(set.schema);
  login_ = std::move(set.login);
  password_ = std::move(set.password);
  sys_.dbSystem = std::move(set.dbSystem);
  sys_.programDbWord = sys_.dbSystem == "MSSQL" ? "SQLSERVER" : sys_.dbSystem;
}

bool Controller::ConnectDatabase() {
  sys_.session.RequireQueueLock(LockRequest());
  int rc = sys_.session.SQLConnect(login_, password_, serviceName_, schema_);
  if (rc == 0) return true;
  char line[128];
  std::snprintf(line, sizeof line, "- Verbindung zur Datenbank fehlgeschlagen, Fehler : %d\n", rc);
  env_.ConsoleWrite(line);
  sys_.log.Main(line);
  std::string cause = StartupCause(env_, {sys_.config.kvrIni, login_, serviceName_, schema_, rc});
  env_.ConsoleWrite(cause);
  sys_.log.Main(cause);
  startFailed_ = true;
  return false;
}

// ---------------------------------------------------------------- the pass

bool Controller::RunPass() {
  if (standby_) return StandbyPass();
  loops_.BeginPass();
  passTime_ = env_.Now();
  passTimestamp_ = TimeStamp14(env_.LocalTime(passTime_));

  sys_.session.SQLCommit();
  if (!sys_.contact.Contact("Hauptschleife!", true)) return false;
  if (!CheckDatabase()) return true;
  // A reconnect inside the check took the lock anew, or found it taken.
  if (!sys_.session.queueLockHeld()) {
    EnterStandby(true);
    return true;
  }
  if (!connectionGood_) AfterReconnect();
  connectionGood_ = true;
  failedChecks_ = 0;
  // Messages that neither the table nor the fallback file took go to
  // whichever takes them now (after the pace wait: an insert opens a
  // transaction, which must not hold the database through the wait).
  sys_.poster.DeliverHeld();
  housekeeping_.CheckDiskSpace();

  sys_.executor.SaveProcessTable();
  sys_.executor.ClearProcessTable();
  sys_.executor.ResetRunningJobs();
  int sqlCode = 0;
  if (!sys_.executor.GetKvProcs(&sqlCode)) {
    sys_.log.Main("Fehler bei der Jobermittlung! Fkt. GetKvProcs()\n");
    return true;
  }
  sys_.executor.CheckProcessTime();

  if (!WorkRunTypes()) {
    sys_.session.SQLCommit();  // the ids of the jobs started before the failure
    return true;
  }
  int rc = sys_.session.SQLCommit();
  if (rc != 0) sys_.log.MainF("SQLCommit: Ende Durchlauf! RC: %ld\n", static_cast<long>(rc));
  return true;
}

// Steps 12 to 21 of the pass: the run types in their order, each ending the
// pass with its failure line.
bool Controller::WorkRunTypes() {
  if (!loops_.WorkRunType05() || !loops_.WorkRunType04()) return false;
  housekeeping_.checkMAPVerarbeitungsjob(passTimestamp_);
  if (!loops_.WorkRunType01()) return false;
  if (!timed_.UpdateRT03Jobs(passTime_)) {
    sys_.log.Main("Fehler bei der Aktualisierung der Jobs mit RunType 03!\n");
    return false;
  }
  if (!loops_.WorkRunType03()) return false;
  bool due05 = loops_.runType05Due();
  if (!scheduled_.CheckKvr500Job07(due05)) {
    sys_.log.Main("Fehler bei der Verarbeitung der Jobs mit RunType 07!\n");
    return false;
  }
  if (!closing_.checkKvrJobs08(due05)) {
    sys_.log.Main("Fehler bei der Verarbeitung der Jobs mit RunType 08!\n");
    return false;
  }
  if (!closing_.checkKvrJobs09(due05)) {
    sys_.log.Main("Fehler bei der Verarbeitung der Jobs mit RunType 09!\n");
    return false;
  }
  return true;
}

bool Controller::CheckDatabase() {
  if (sys_.session.CheckDB(WriteStatusRow)) return true;
  ++failedChecks_;
  sys_.log.MainF("CheckDB: keine DB-Verbindung! Versuche: %ld\n", static_cast<long>(failedChecks_));
  connectionGood_ = false;
  if (failedChecks_ == 1) {
    sys_.poster.PostNachricht(kDatabaseLostMessage);
    sys_.log.Main("CheckDB: *** Beende Jobs ***!\n");
    sys_.executor.RestoreProcessTable();
    sys_.executor.KillAllProcs(JobExecutor::kReasonDatabaseLost);
    sys_.log.Main("CheckDB: *** Jobs beendet ***!\n");
  }
  // While the database is away no pass reaches the rebuild, which otherwise
  // reaps ended jobs and sends the due SIGKILL to those ignoring SIGTERM:
  // without this an ended job could outlive an outage of any length.
  env_.ReapChildren();
  sys_.poster.DeliverHeld();  // the session answers at once: to the fallback file
  env_.SleepMs(kDatabaseRetryWaitMs);
  return false;
}

void Controller::AfterReconnect() {
  sys_.poster.PostNachricht(kDatabaseBackMessage);
  int rc = registration_.ResetRT04StartAttempts();
  if (rc != 0 && rc != kSqlNoData) {
    sys_.log.MainF("Update RT04Jobs: Startversuche zuruecksetzen! RC: %ld\n",
                   static_cast<long>(rc));
  }
  housekeeping_.cleanupServer();
  housekeeping_.CheckDownloads();
}

// ---------------------------------------------------------------- shut-down

void Controller::ShutDown() {
  if (stoppedInStartUp_) return;
  if (standby_) {
    ShutDownStandby();
    return;
  }
  sys_.poster.PostNachricht(kServiceLostMessage);
  sys_.log.Main("Alle verwalteten Jobs beenden!\n");
  sys_.executor.RestoreProcessTable();
  sys_.executor.KillAllProcs(JobExecutor::kReasonServiceLost);
  DeleteFlagFile(env_, sys_.log, kFlagFileName);
  sys_.poster.PostNachricht(kEndedMessage);
  // The messages of the shut-down are made durable before the session ends
  // with the process; without this commit they would be rolled back.
  sys_.session.SQLCommit();
  sys_.poster.DeliverHeldAtEnd();
  sys_.poster.FreeStrNachricht();
}

}  // namespace kvr
