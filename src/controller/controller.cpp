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
      world_(env, ReadConfig(env, commandLine.diagnostics), commandLine.instance),
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
  for (const std::string& warning : world_.config().warnings) world_.log().Main(warning);
  CreateMessageRecord();
  ReadCredentials();

  if (!world_.contact().Contact("dbConnect", false)) return false;
  if (!ConnectDatabase()) return false;
  if (!world_.contact().Contact("dbConnect", false)) return false;
  if (!world_.session().queueLockHeld()) {
    EnterStandby(false);
    return true;
  }
  return StartFromDatabase();
}

bool Controller::StartFromDatabase() {
  CreateFlagFile(env_, world_.log(), kFlagFileName);
  world_.executor().ClearSavedProcessTable();
  world_.poster().PostNachricht(kStartedMessage);
  world_.housekeeping().cleanupServer();
  if (!world_.contact().Contact("cleanupServer", false)) return false;
  // Jobs of this controller that a crash left running get their rows back
  // before anything is selected, so none is started a second time.
  world_.executor().AdoptMarkedProcesses();
  world_.registration().CheckRT04Jobs(credentials_.programDbWord());
  if (!world_.contact().Contact("CheckRT04Jobs", false)) return false;
  world_.registration().AddRT04Jobs(credentials_.programDbWord());
  world_.log().Main("Ende 04 Jobs anlegen!\n");
  world_.registration().SQLInsertNewJob();
  world_.log().Main("Ende 01 Jobs anlegen!\n");
  if (!world_.contact().Contact("AddRT01Jobs", false)) return false;
  world_.registration().AddRT03SystemJobs(env_.Now());
  world_.log().Main("Ende Initialisierung + Beginn Verarbeitung!\n");
  return true;
}

// The pace wait watches the session's wake source and the managed jobs
// (the process table as the last pass left it).
void Controller::SetUpPaceWait() {
  world_.session().wake().SetEnabled(world_.config().wakeUps);
  if (!world_.config().wakeUps) return;
  pace_.AddSource(&world_.session().wake());
  pace_.SetJobs([this](std::vector<Pid>* jobs) {
    const ProcessTable& table = world_.executor().table();
    for (size_t i = 0; i < table.size(); ++i) {
      if (!table[i].free()) jobs->push_back(table[i].pid);
    }
  });
  world_.contact().SetPaceWait(&pace_);
}

void Controller::WriteBanner() {
  world_.log().Main("*********************************************\n");
  if (commandLine_.instanceMode()) {
    world_.log().MainF("** Clusterdienst: JOBCONTROLLER %ld. gestartet **\n",
                       static_cast<long>(commandLine_.instance));
  } else {
    world_.log().Main("** Jobcontroller KVRJOBSTR wurde gestartet **\n");
  }
}

void Controller::CreateMessageRecord() {
  if (!world_.poster().CreateStrNachricht()) {
    char text[2049];
    world_.poster().GetNachrichtError(text, 2048);
    world_.log().Main(std::string(text) + "\n");
    return;
  }
  SetControllerSender(*world_.poster().record());
}

void Controller::ReadCredentials() {
  // A credential file that is there but no regular file of bounded size (a
  // FIFO, a device) reads as missing; a line names it.
  int error = 0;
  if (!env_.ReadFile(world_.config().kvrIni, &error) && error != ENOENT) {
    world_.log().Main(
        WithText("Datei nicht lesbar: %s\n", world_.config().kvrIni + ": " + std::strerror(error)));
  }
  credentials_ = ReadCredentialSet(env_, world_.config().kvrIni);
  world_.executor().SetMarkQueue(credentials_.service);
}

bool Controller::ConnectDatabase() {
  world_.session().RequireQueueLock(LockRequest());
  const CredentialSet& c = credentials_;
  int rc = world_.session().SQLConnect(c.login, c.password, c.service, c.schema);
  if (rc == 0) return true;
  char line[128];
  std::snprintf(line, sizeof line, "- Verbindung zur Datenbank fehlgeschlagen, Fehler : %d\n", rc);
  env_.ConsoleWrite(line);
  world_.log().Main(line);
  std::string cause =
      StartupCause(env_, {world_.config().kvrIni, c.login, c.service, c.schema, rc});
  env_.ConsoleWrite(cause);
  world_.log().Main(cause);
  startFailed_ = true;
  return false;
}

// ---------------------------------------------------------------- the pass

bool Controller::RunPass() {
  if (standby_) return StandbyPass();
  world_.loops().BeginPass();
  passTime_ = env_.Now();
  passTimestamp_ = TimeStamp14(env_.LocalTime(passTime_));

  world_.session().SQLCommit();
  if (!world_.contact().Contact("Hauptschleife!", true)) return false;
  if (!CheckDatabase()) return true;
  // A reconnect inside the check took the lock anew, or found it taken.
  if (!world_.session().queueLockHeld()) {
    EnterStandby(true);
    return true;
  }
  if (!connectionGood_) AfterReconnect();
  connectionGood_ = true;
  failedChecks_ = 0;
  // Messages that neither the table nor the fallback file took go to
  // whichever takes them now (after the pace wait: an insert opens a
  // transaction, which must not hold the database through the wait).
  world_.poster().DeliverHeld();
  world_.housekeeping().CheckDiskSpace();

  world_.executor().SaveProcessTable();
  world_.executor().ClearProcessTable();
  world_.executor().ResetRunningJobs();
  int sqlCode = 0;
  if (!world_.executor().GetKvProcs(&sqlCode)) {
    world_.log().Main("Fehler bei der Jobermittlung! Fkt. GetKvProcs()\n");
    return true;
  }
  world_.executor().CheckProcessTime();

  if (!WorkRunTypes()) {
    world_.session().SQLCommit();  // the ids of the jobs started before the failure
    return true;
  }
  int rc = world_.session().SQLCommit();
  if (rc != 0) world_.log().MainF("SQLCommit: Ende Durchlauf! RC: %ld\n", static_cast<long>(rc));
  return true;
}

// Steps 12 to 21 of the pass: the run types in their order, each ending the
// pass with its failure line.
bool Controller::WorkRunTypes() {
  if (!world_.loops().WorkRunType05() || !world_.loops().WorkRunType04()) return false;
  world_.housekeeping().checkMAPVerarbeitungsjob(passTimestamp_);
  if (!world_.loops().WorkRunType01()) return false;
  if (!world_.timed().UpdateRT03Jobs(passTime_)) {
    world_.log().Main("Fehler bei der Aktualisierung der Jobs mit RunType 03!\n");
    return false;
  }
  if (!world_.loops().WorkRunType03()) return false;
  bool due05 = world_.loops().runType05Due();
  if (!world_.scheduled().CheckKvr500Job07(due05)) {
    world_.log().Main("Fehler bei der Verarbeitung der Jobs mit RunType 07!\n");
    return false;
  }
  if (!world_.closing().checkKvrJobs08(due05)) {
    world_.log().Main("Fehler bei der Verarbeitung der Jobs mit RunType 08!\n");
    return false;
  }
  if (!world_.closing().checkKvrJobs09(due05)) {
    world_.log().Main("Fehler bei der Verarbeitung der Jobs mit RunType 09!\n");
    return false;
  }
  return true;
}

bool Controller::CheckDatabase() {
  if (world_.session().CheckDB(WriteStatusRow)) return true;
  ++failedChecks_;
  world_.log().MainF("CheckDB: keine DB-Verbindung! Versuche: %ld\n",
                     static_cast<long>(failedChecks_));
  connectionGood_ = false;
  if (failedChecks_ == 1) {
    world_.poster().PostNachricht(kDatabaseLostMessage);
    world_.log().Main("CheckDB: *** Beende Jobs ***!\n");
    world_.executor().RestoreProcessTable();
    world_.executor().KillAllProcs(JobExecutor::kReasonDatabaseLost);
    world_.log().Main("CheckDB: *** Jobs beendet ***!\n");
  }
  // While the database is away no pass reaches the rebuild, which otherwise
  // reaps ended jobs and sends the due SIGKILL to those ignoring SIGTERM:
  // without this an ended job could outlive an outage of any length.
  env_.ReapChildren();
  world_.poster().DeliverHeld();  // the session answers at once: to the fallback file
  env_.SleepMs(kDatabaseRetryWaitMs);
  return false;
}

void Controller::AfterReconnect() {
  world_.poster().PostNachricht(kDatabaseBackMessage);
  int rc = world_.registration().ResetRT04StartAttempts();
  if (rc != 0 && rc != kSqlNoData) {
    world_.log().MainF("Update RT04Jobs: Startversuche zuruecksetzen! RC: %ld\n",
                       static_cast<long>(rc));
  }
  world_.housekeeping().cleanupServer();
  world_.housekeeping().CheckDownloads(credentials_.dbSystem);
}

// ---------------------------------------------------------------- shut-down

void Controller::ShutDown() {
  if (stoppedInStartUp_) return;
  if (standby_) {
    ShutDownStandby();
    return;
  }
  world_.poster().PostNachricht(kServiceLostMessage);
  world_.log().Main("Alle verwalteten Jobs beenden!\n");
  world_.executor().RestoreProcessTable();
  world_.executor().KillAllProcs(JobExecutor::kReasonServiceLost);
  DeleteFlagFile(env_, world_.log(), kFlagFileName);
  world_.poster().PostNachricht(kEndedMessage);
  // The messages of the shut-down are made durable before the session ends
  // with the process; without this commit they would be rolled back.
  world_.session().SQLCommit();
  world_.poster().DeliverHeldAtEnd();
  world_.poster().FreeStrNachricht();
}

}  // namespace kvr
