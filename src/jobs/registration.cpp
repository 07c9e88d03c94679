// JobRegistration: the start-up walk over the run type 04 rows, the
// standing system programs, and the two job-table chores.
#include "jobs/registration.h"

#include <utility>

#include "core/logger.h"
#include "core/service_contact.h"
#include "db/client/connection.h"
#include "db/session.h"
#include "exec/exec_text.h"
#include "exec/job_executor.h"
#include "exec/running_jobs_cursor.h"
#include "jobs/known_programs.h"
#include "messages/message_poster.h"
#include "platform/clock.h"
#include "platform/env.h"

namespace kvr {

namespace {

constexpr char kRunType04Cursor[] =
    "select JOBDA1 ,JOBKE2 ,JOBURV ,JOBRTY ,JOBSTS ,JOBNAM ,JOBUSR ,JOBNUM ,JOBSDA ,JOBEDA "
    ",JOBMRT ,JOBSTV  from KVSYSTEM.KVR500JOB where JOBRTY=:b0";

constexpr char kOpenFailed[] = "Check RT04Job: Open Cursor! RC: %ld\n";
constexpr char kFetchFailed[] = "Check RT04Job: Fetch Cursor! RC: %ld\n";
constexpr char kCloseFailed[] = "Check RT04Job: Close Cursor! RC: %ld\n";
constexpr char kDeleteFailed[] = "- Delete Job (CheckRT04Jobs): %s! RC: %ld\n";
constexpr char kResetFailed[] = "Update RT04Jobs: Startversuche zuruecksetzen! RC: %ld\n";
constexpr char kCheckCommitFailed[] = "SQLCommit: CheckRT04Jobs! RC: %ld\n";
constexpr char kAddCommitFailed[] = "SQLCommit: AddRT04Jobs! RC: %ld\n";
// A leftover id that a process created after the job's start now carries
// (or whose row gives no start to compare with): after a reboot or a long
// stop the id may belong to an unrelated process.
constexpr char kNotTheJobs[] =
    "Prozess wurde nicht beendet: PID %ld ist nicht der Prozess des Jobs (Start: %s)!\n";

// The standing system programs, each registered when its file is present.
struct SystemProgram {
  const char* da1;
  const char* file;
  const char* ke2;
  const char* urv;
  const char* cmd;
  const char* failure;
};

constexpr SystemProgram kSystemPrograms[] = {
    {"20000101120001", "./gerlink/kanalwacht.exe", "Systemjob", "KANALWACHT",
     "./gerlink/kanalwacht.exe ./gerlink/kanalwacht.ini",
     "Insert RT04Job(2): Kanalwacht! RC: %ld\n"},
    {"20000101120002", "./GerLink/Stellwerk.exe", "SystemJob", "Stellwerk",
     "./GerLink/Stellwerk.exe ../files/veltronia.ini", "Insert RT04Job(3): Stellwerk! RC: %ld\n"},
    {"20000101120004", "./GerLink/sammelzug.exe", "SystemJob", "sammelzug",
     "./GerLink/sammelzug.exe", "Insert RT04Job(3): sammelzug! RC: %ld\n"},
    {"20000101120003", "ArchivZug.exe", "SystemJob", "ArchivZug", "ArchivZug.exe",
     "Insert-Fehler: ArchivZug Jobeintrag RC: %ld!\n"},
};

}  // namespace

JobRegistration::JobRegistration(Env& env, Logger& log, Session& session, ServiceContact& contact,
                                 JobExecutor& executor, int32_t instance, std::string dailyJobTime)
    : env_(env),
      log_(log),
      session_(session),
      contact_(contact),
      executor_(executor),
      instance_(instance),
      dailyJobTime_(std::move(dailyJobTime)) {}

void JobRegistration::CheckRT04Jobs(std::string_view programDbWord) {
  FixedText<2> runType(kRunType04);
  Bind in[] = {Bind::Text(runType)};
  int rc = 0;
  std::unique_ptr<Cursor> cursor = session_.db().Open(kRunType04Cursor, in, &rc);
  if (rc != 0) log_.MainF(kOpenFailed, static_cast<long>(rc));
  while (rc == 0 && cursor) {
    RunningJobRow row;
    Out out[] = {Out::Text(row.jobda1), Out::Text(row.jobke2), Out::Text(row.joburv),
                 Out::Text(row.jobrty), Out::Text(row.jobsts), Out::Text(row.jobnam),
                 Out::Text(row.jobusr), Out::Text(row.jobnum), Out::Text(row.jobsda),
                 Out::Text(row.jobeda), Out::Int(&row.jobmrt), Out::Int(&row.jobstv)};
    rc = cursor->Fetch(out);
    if (rc == 0) {
      rc = WalkRunType04Row(row.jobda1, row.jobke2, row.jobnam, row.jobnum, row.jobsda,
                            programDbWord);
    } else if (rc != kSqlNoData) {
      log_.MainF(kFetchFailed, static_cast<long>(rc));
    }
    if (!contact_.Contact("CheckRT04Jobs", false)) break;
  }
  int closed = cursor ? cursor->Close() : 0;
  if (closed != 0) log_.MainF(kCloseFailed, static_cast<long>(closed));
  int reset = ResetRT04StartAttempts();
  if (reset != 0 && reset != kSqlNoData) {
    log_.MainF(kResetFailed, static_cast<long>(reset));
  }
  if (int commit = session_.SQLCommit(); commit != 0) {
    log_.MainF(kCheckCommitFailed, static_cast<long>(commit));
  }
}

// One row of the walk: its process is ended before its row is deleted. A
// failed delete ends the walk (its code is returned).
int JobRegistration::WalkRunType04Row(const FixedText<14>& da1, const FixedText<32>& ke2,
                                      const FixedText<64>& nam, const FixedText<8>& num,
                                      const FixedText<14>& sda, std::string_view programDbWord) {
  const KnownProgram* known = FindKnownProgram(nam.view());
  if (known == nullptr) return 0;
  std::string file = KnownProgramFile(*known, programDbWord);
  if (!file.empty()) EndLeftover(num.view(), sda.view(), file);
  if (!known->deletesRow) return 0;
  int rc = SQLDeleteJob(session_, da1, ke2);
  if (rc != 0) log_.MainF(kDeleteFailed, nam.c_str(), static_cast<long>(rc));
  return rc;
}

// Outside instance mode the processes of the image name are ended. In
// instance mode the row's id is ended, but not when the process under it was
// created later than the job's start (and the tolerance): that process took
// the id over after the job's own had gone.
void JobRegistration::EndLeftover(std::string_view jobnum, std::string_view jobsda,
                                  const std::string& file) {
  Pid pid = PidFromJobNum(jobnum);
  if (instanceMode() && pid != 0) {
    std::optional<int64_t> created = env_.ProcessStartTime(pid);
    std::optional<int64_t> started = LatestTimeOfStamp(env_, jobsda);
    if (created && (!started || *created > *started + JobExecutor::kStartTolerance)) {
      std::string stamp(jobsda);
      log_.MainF(kNotTheJobs, static_cast<long>(pid), stamp.c_str());
      return;
    }
  }
  executor_.KillLeftoverProcess(pid, file);
}

void JobRegistration::AddRT04Jobs(std::string_view programDbWord) {
  AddQEVJobs(programDbWord);
  AddSystemPrograms();
  if (int commit = session_.SQLCommit(); commit != 0) {
    log_.MainF(kAddCommitFailed, static_cast<long>(commit));
  }
}

void JobRegistration::AddSystemPrograms() {
  for (const SystemProgram& p : kSystemPrograms) {
    if (!FileExists(env_, p.file)) continue;
    int rc = SQLInsertJob(session_, p.da1, p.ke2, p.urv, p.cmd, 0, kRunType04);
    if (rc != 0) log_.MainF(p.failure, static_cast<long>(rc));
  }
}

int JobRegistration::ResetRT04StartAttempts() { return kvr::ResetRT04StartAttempts(session_); }

int JobRegistration::DeleteExpiredRT01Jobs() { return kvr::DeleteExpiredRT01Jobs(session_); }

void AppendRegistrationStatements(StatementList* list) {
  list->push_back({"RunTypeCursor", kRunType04Cursor});
}

}  // namespace kvr
