#include "housekeeping/housekeeping.h"

#include <cinttypes>

#include "core/logger.h"
#include "core/text.h"
#include "db/client/connection.h"
#include "db/queue/job_table.h"
#include "db/session.h"
#include "exec/run_history.h"
#include "jobs/registration.h"
#include "messages/message_poster.h"
#include "platform/env.h"

namespace kvr {

namespace {

constexpr char kTransferDir[] = "..\\transfer\\Geraetezentrale\\";
constexpr const char* kTransferFiles[] = {
    "qlnk.running", "Zustrom.txt", "qorvat.imp", "kennwerk.imp", "zuteil.imp",
    "tafelA.imp",   "tafelB.imp",  "tafelC.imp", "teilhab.imp",  "restwert.imp"};
constexpr char kActivityCheck[] = "LAUFPRUEF.EXE";

constexpr char kRootDrive[] = "/";
constexpr char kDriveFailed[] = "Fehler bei der Laufwerksermittlung! RC: %ld\n";
constexpr char kDrives[] = "Laufwerk: %s! Anzahl Laufwerke: %ld\n";
constexpr char kDriveRound[] = "Laufwerk: %s! Anzahl Durchlauf: %ld\n";
constexpr char kSpaceFailed[] =
    "Fehler bei der Speicherplatz\xFC"
    "berpr\xFC"
    "fung Laufwerk %s!\n";
constexpr char kLowSpace[] = "Auf Laufwerk %s sind nur noch %" PRIu64
                             " MB frei verf\xFC"
                             "gbar!";

constexpr char kMapDeleteFailed[] = "SQLStartMAPDeleteJob: Updatefehler! RC: %ld\n";
constexpr char kMapFailed[] = "SQLStartMAPJob: Updatefehler! RC: %ld\n";
constexpr char kMapCommitFailed[] = "SQLCommit: checkMAPVerarbeitungsjob! RC: %ld\n";

constexpr char kSQLCountUnfinishedDnlJobs[] =
    "select count(*)  into :b0:b1  from KVSYSTEM.KVRAUTODNL where (DNLKEY=(select max(dnlkey) "
    " from kvsystem.kvrautodnl where dnlusr<>'DNL-Plan Antrag') and (DNLSTA<7 or (DNLSTA=7 and "
    "DNLERR>10)))";
constexpr char kCountFailed[] = "Fehler in SQLCountUnfinishedDnlJobs! RC: %ld\n";
constexpr char kInterrupted[] = "Info: Anzahl der unterbrochener Downloads: %ld.\n";
constexpr char kNewExport[] = "Info: Es wird ein neuer Datenexport initiiert.\n";

// The downloads whose newest run was interrupted; *count only set on 0.
int SQLCountUnfinishedDnlJobs(Session& session, int32_t* count) {
  int32_t n = 0;
  Out out[] = {Out::Int(&n)};
  int rc = session.db().SelectOne(kSQLCountUnfinishedDnlJobs, {}, out);
  if (rc == 0) *count = n;
  return rc;
}

}  // namespace

Housekeeping::Housekeeping(Env& env, Logger& log, Session& session, MessagePoster& poster,
                           RunHistory& history, JobRegistration& registration, Settings settings)
    : env_(env),
      log_(log),
      session_(session),
      poster_(poster),
      history_(history),
      registration_(registration),
      settings_(settings) {}

// A transfer file that is missing, or cannot be deleted (a directory of that
// name, say), is passed over.
void Housekeeping::cleanupServer() {
  for (const char* file : kTransferFiles) {
    env_.DeleteFile(BoundedPrintf("%s%s", kTransferDir, file));
  }
  registration_.DeleteExpiredRT01Jobs();
  session_.SQLCommit();
  history_.Prune(settings_.runHistoryDays);
  if (!settings_.instanceMode) env_.KillByImageName(kActivityCheck);
}

// The controller's drive is the mount point of its directory; the second
// drive checked is the root file system, unless that is the same.
void Housekeeping::CheckDiskSpace() {
  int64_t now = env_.Now();
  // A clock set back by more than the interval would otherwise hold the
  // next check back for as long.
  if (now < nextDiskCheck_ && nextDiskCheck_ - now <= kDiskCheckInterval) return;
  nextDiskCheck_ = now + kDiskCheckInterval;
  std::string drive = env_.CurrentMountPoint();
  if (drive.empty() || drive.size() > kMaxDriveText) {
    log_.MainF(kDriveFailed, static_cast<long>(drive.size()));
    return;
  }
  long drives = drive == kRootDrive ? 1 : 2;
  log_.MainF(kDrives, drive.c_str(), drives);
  CheckDrive(drive, 0);
  if (drives == 2) CheckDrive(kRootDrive, 1);
}

void Housekeeping::CheckDrive(const std::string& drive, long round) {
  log_.MainF(kDriveRound, drive.c_str(), round);
  std::optional<uint64_t> free = env_.FreeBytes(drive);
  if (!free) {
    log_.MainF(kSpaceFailed, drive.c_str());
    return;
  }
  uint64_t mb = *free / 1048576u;
  if (mb < kLowSpaceMb) poster_.PostNachricht(BoundedPrintf(kLowSpace, drive.c_str(), mb));
}

void Housekeeping::checkMAPVerarbeitungsjob(const std::string& passTimestamp) {
  std::string month = passTimestamp.substr(0, 6);
  std::string last = lastMapMonth_.substr(0, std::min<std::size_t>(6, lastMapMonth_.size()));
  const JobRow& map = registration_.mapJob();
  int rc = 0;
  if (month > last) {
    lastMapMonth_ = passTimestamp;
    rc = SQLStartMAPDeleteJob(session_, map);
    if (rc != 0 && rc != kSqlNoData) {
      log_.MainF(kMapDeleteFailed, static_cast<long>(rc));
    }
  } else {
    rc = SQLStartMAPJob(session_, map);
    if (rc != 0 && rc != kSqlNoData) log_.MainF(kMapFailed, static_cast<long>(rc));
  }
  if (rc != 0) return;
  if (int commit = session_.SQLCommit(); commit != 0) {
    log_.MainF(kMapCommitFailed, static_cast<long>(commit));
  }
}

void Housekeeping::CheckDownloads(std::string_view dbSystem) {
  int32_t count = 0;
  int rc = SQLCountUnfinishedDnlJobs(session_, &count);
  if (rc != 0) {
    log_.MainF(kCountFailed, static_cast<long>(rc));
    return;
  }
  log_.MainF(kInterrupted, static_cast<long>(count));
  if (count <= 0) return;
  log_.Main(kNewExport);
  registration_.AddExportJob();
  std::string system(dbSystem);
  env_.KillByImageName(BoundedPrintf("ZULADE_%s.EXE", system.c_str()));
  env_.KillByImageName("VORLADE.EXE");
}

void AppendHousekeepingStatements(StatementList* list) {
  list->push_back({"CountUnfinishedDnlJobs", kSQLCountUnfinishedDnlJobs});
}

}  // namespace kvr
