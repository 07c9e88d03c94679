#include "controller/controller.h"

#include <cinttypes>
#include <cstdio>

#include "db/credential_file.h"
#include "db/job_table.h"
#include "exec/selection.h"
#include "housekeeping/flag_file.h"

namespace kvr {

namespace {

constexpr char kSinglePipeName[] = "\\\\.\\pipe\\kvrjobctl";
constexpr char kInstancePipeFormat[] = "\\\\.\\pipe\\kvrjobctl%ld";
constexpr char kFlagFileName[] = "NLF";
constexpr char kFallbackFile[] = "..\\veltronia_php\\log\\JOBCTLMSG.log";
constexpr int64_t kDatabaseRetryWaitMs = 2000;

constexpr char kStartedMessage[] = "Der Jobcontroller wurde gestartet!";
constexpr char kEndedMessage[] = "Der Jobcontroller wurde beendet!";
constexpr char kServiceLostMessage[] =
    "Jobcontroller-Dienst antwortet nicht => Jobs werden beendet!";
constexpr char kDatabaseLostMessage[] = "Datenbankverbindung unterbrochen => Jobs werden beendet!";
constexpr char kDatabaseBackMessage[] =
    "Datenbankverbindung wiederhergestellt => Neustart der Jobs!";

constexpr char kSelectionErrorFormat[] =
    "%s! Fehler SQLCode: %ld\n-   SQLState: %s\n-   SQLMsg: %s\n";

}  // namespace

Controller::Controller(Env& env, CommandLine commandLine)
    : env_(env), commandLine_(commandLine) {}

Controller::~Controller() = default;

int Controller::Run() {
  if (!StartUp()) return 0;
  while (RunPass()) {
  }
  ShutDown();
  return 0;
}

// ---------------------------------------------------------------- start-up

bool Controller::StartUp() {
  config_ = ReadConfig(env_, commandLine_.diagnostics);
  log_ = std::make_unique<Logger>(env_, config_);
  contact_ = std::make_unique<ServiceContact>(env_, *log_);
  session_ = std::make_unique<Session>(env_, *log_);
  poster_ = std::make_unique<MessagePoster>(env_, *log_, *session_);
  executor_ = std::make_unique<JobExecutor>(env_, *log_, *session_, *poster_, *contact_,
                                            commandLine_.instanceMode(), config_.programDir);
  WriteBanner();
  CreateMessageRecord();
  ReadCredentials();
  poster_->SetFallbackPath(kFallbackFile);

  if (!contact_->Contact("dbConnect", false)) return false;
  if (!ConnectDatabase()) return false;
  if (!contact_->Contact("dbConnect", false)) return false;

  CreateFlagFile(env_, *log_, kFlagFileName);
  executor_->ClearSavedProcessTable();
  poster_->PostNachricht(kStartedMessage);
  CleanupServer();
  if (!contact_->Contact("cleanupServer", false)) return false;
  CheckRT04Jobs();
  if (!contact_->Contact("CheckRT04Jobs", false)) return false;
  AddRT04Jobs();
  InsertNewJobs();
  if (!contact_->Contact("AddRT01Jobs", false)) return false;
  AddRT03SystemJobs();
  log_->Main("Ende Initialisierung + Beginn Verarbeitung!\n");
  return true;
}

void Controller::WriteBanner() {
  log_->Main("*********************************************\n");
  if (commandLine_.instanceMode()) {
    log_->MainF("** Clusterdienst: JOBCONTROLLER %ld. gestartet **\n",
                static_cast<long>(commandLine_.instance));
    char name[300];
    std::snprintf(name, sizeof name, kInstancePipeFormat, static_cast<long>(commandLine_.instance));
    contact_->SetPipeName(name);
  } else {
    log_->Main("** Jobcontroller KVRJOBSTR wurde gestartet **\n");
    contact_->SetPipeName(kSinglePipeName);
  }
}

void Controller::CreateMessageRecord() {
  if (!poster_->CreateStrNachricht()) {
    char text[2049];
    poster_->GetNachrichtError(text, 2048);
    log_->Main(std::string(text) + "\n");
    return;
  }
  SetControllerSender(*poster_->record());
}

void Controller::ReadCredentials() {
  auto read = [this](const char* key) {
    return ReadCredentialEntry(env_, "", key, 0, config_.kvrIni).value;
  };
  serviceName_ = read("NET8");
  schema_ = read("SCHEMA");
  if (!schema_.empty()) schema_.pop_back();
  login_ = read("LOGIN");
  password_ = read("PASS");
  dbSystem_ = read("DB_SYSTEM");
  programDbWord_ = dbSystem_ == "MSSQL" ? "SQLSERVER" : dbSystem_;
}

bool Controller::ConnectDatabase() {
  int rc = session_->SQLConnect(login_, password_, serviceName_, schema_);
  if (rc == 0) return true;
  char line[128];
  std::snprintf(line, sizeof line, "- Verbindung zur Datenbank fehlgeschlagen, Fehler : %d\n", rc);
  env_.ConsoleWrite(line);
  log_->Main(line);
  return false;
}

// ---------------------------------------------------------------- the pass

bool Controller::RunPass() {
  passError_ = false;
  passTime_ = env_.Now();
  std::tm local = env_.LocalTime(passTime_);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &local);
  passTimestamp_ = stamp;

  session_->SQLCommit();
  if (!contact_->Contact("Hauptschleife!", true)) return false;
  if (!CheckDatabase()) return true;
  if (!connectionGood_) AfterReconnect();
  connectionGood_ = true;
  failedChecks_ = 0;
  CheckDiskSpace();

  executor_->SaveProcessTable();
  executor_->ClearProcessTable();
  executor_->ResetRunningJobs();
  runType05Due_ = false;
  int sqlCode = 0;
  if (!executor_->GetKvProcs(&sqlCode)) {
    log_->Main("Fehler bei der Jobermittlung! Fkt. GetKvProcs()\n");
    return true;
  }
  executor_->CheckProcessTime();

  if (!WorkRunType05() || !WorkRunType04()) return true;
  CheckMAPVerarbeitungsjob();
  if (!WorkRunType01()) return true;
  if (!UpdateRT03Jobs()) {
    log_->Main("Fehler bei der Aktualisierung der Jobs mit RunType 03!\n");
    return true;
  }
  if (!WorkRunType03()) return true;
  if (!WorkRunType07()) {
    log_->Main("Fehler bei der Verarbeitung der Jobs mit RunType 07!\n");
    return true;
  }
  if (!WorkRunType08()) {
    log_->Main("Fehler bei der Verarbeitung der Jobs mit RunType 08!\n");
    return true;
  }
  if (!WorkRunType09()) {
    log_->Main("Fehler bei der Verarbeitung der Jobs mit RunType 09!\n");
    return true;
  }
  int rc = session_->SQLCommit();
  if (rc != 0) log_->MainF("SQLCommit: Ende Durchlauf! RC: %ld\n", static_cast<long>(rc));
  return true;
}

bool Controller::CheckDatabase() {
  if (session_->CheckDB()) return true;
  ++failedChecks_;
  log_->MainF("CheckDB: keine DB-Verbindung! Versuche: %ld\n", static_cast<long>(failedChecks_));
  connectionGood_ = false;
  if (failedChecks_ == 1) {
    poster_->PostNachricht(kDatabaseLostMessage);
    log_->Main("CheckDB: *** Beende Jobs ***!\n");
    executor_->RestoreProcessTable();
    executor_->KillAllProcs(JobExecutor::kReasonDatabaseLost);
    log_->Main("CheckDB: *** Jobs beendet ***!\n");
  }
  // While the database is away no pass reaches the rebuild, which otherwise
  // reaps ended jobs and sends the due SIGKILL to those ignoring SIGTERM:
  // without this an ended job could outlive an outage of any length.
  env_.ReapChildren();
  env_.SleepMs(kDatabaseRetryWaitMs);
  return false;
}

void Controller::AfterReconnect() {
  poster_->PostNachricht(kDatabaseBackMessage);
  int rc = ResetRT04StartAttempts(*session_);
  if (rc != 0 && rc != kSqlNoData) {
    log_->MainF("Update RT04Jobs: Startversuche zuruecksetzen! RC: %ld\n", static_cast<long>(rc));
  }
  CleanupServer();
  CheckDownloads();
}

void Controller::LogSelectionError(const char* selection) {
  std::string state, message;
  int code = session_->GetLastSQLError(&state, &message);
  log_->MainF(kSelectionErrorFormat, selection, static_cast<long>(code), state.c_str(),
              message.c_str());
  passError_ = true;
}

// ---------------------------------------------------------------- shut-down

void Controller::ShutDown() {
  poster_->PostNachricht(kServiceLostMessage);
  log_->Main("Alle verwalteten Jobs beenden!\n");
  executor_->RestoreProcessTable();
  executor_->KillAllProcs(JobExecutor::kReasonServiceLost);
  DeleteFlagFile(env_, *log_, kFlagFileName);
  poster_->PostNachricht(kEndedMessage);
  // The messages of the shut-down are made durable before the session ends
  // with the process; without this commit they would be rolled back.
  session_->SQLCommit();
  poster_->FreeStrNachricht();
}

}  // namespace kvr
