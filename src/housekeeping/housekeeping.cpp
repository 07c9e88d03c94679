#include "housekeeping/housekeeping.h"

#include <cinttypes>

#include "core/logger.h"
#include "core/text.h"
#include "db/client/connection.h"
#include "db/queue/job_table.h"
#include "exec/subsystems.h"
#include "jobs/registration.h"
#include "messages/message_poster.h"

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

Housekeeping::Housekeeping(Subsystems& s, JobRegistration& registration)
    : sys_(s), registration_(registration) {}

// A transfer file that is missing, or cannot be deleted (a directory of that
// name, say), is passed over.
void Housekeeping::cleanupServer() {
  for (const char* file : kTransferFiles) {
    sys_.env.DeleteFile(BoundedPrintf("%s%s", kTransferDir, file));
  }
  registration_.DeleteExpiredRT01Jobs();
  sys_.session.SQLCommit();
  sys_.executor.history().Prune(sys_.config.runHistoryDays);
  if (!sys_.instanceMode()) sys_.env.KillByImageName(kActivityCheck);
}

// The controller's drive is the mount point of its directory; the second
// drive checked is the root file system, unless that is the same.
void Housekeeping::CheckDiskSpace() {
  int64_t now = sys_.env.Now();
  // A clock set back by more than the interval would otherwise hold the
  // next check back for as long.
  if (now < nextDiskCheck_ && nextDiskCheck_ - now <= kDiskCheckInterval) return;
  nextDiskCheck_ = now + kDiskCheckInterval;
  std::string drive = sys_.env.CurrentMountPoint();
  if (drive.empty() || drive.size() > kMaxDriveText) {
    sys_.log.MainF(kDriveFailed, static_cast<long>(drive.size()));
    return;
  }
  long drives = drive == kRootDrive ? 1 : 2;
  sys_.log.MainF(kDrives, drive.c_str(), drives);
  CheckDrive(drive, 0);
  if (drives == 2) CheckDrive(kRootDrive, 1);
}

void Housekeeping::CheckDrive(const std::string& drive, long round) {
  sys_.log.MainF(kDriveRound, drive.c_str(), round);
  std::optional<uint64_t> free = sys_.env.FreeBytes(drive);
  if (!free) {
    sys_.log.MainF(kSpaceFailed, drive.c_str());
    return;
  }
  uint64_t mb = *free / 1048576u;
  if (mb < kLowSpaceMb) sys_.poster.PostNachricht(BoundedPrintf(kLowSpace, drive.c_str(), mb));
}

void Housekeeping::checkMAPVerarbeitungsjob(const std::string& passTimestamp) {
  std::string month = passTimestamp.substr(0, 6);
  std::string last = lastMapMonth_.substr(0, std::min<std::size_t>(6, lastMapMonth_.size()));
  const JobRow& map = registration_.mapJob();
  int rc = 0;
  if (month > last) {
    lastMapMonth_ = passTimestamp;
    rc = SQLStartMAPDeleteJob(sys_.session, map);
    if (rc != 0 && rc != kSqlNoData) {
      sys_.log.MainF(kMapDeleteFailed, static_cast<long>(rc));
    }
  } else {
    rc = SQLStartMAPJob(sys_.session, map);
    if (rc != 0 && rc != kSqlNoData) sys_.log.MainF(kMapFailed, static_cast<long>(rc));
  }
  if (rc != 0) return;
  if (int commit = sys_.session.SQLCommit(); commit != 0) {
    sys_.log.MainF(kMapCommitFailed, static_cast<long>(commit));
  }
}

void Housekeeping::CheckDownloads() {
  int32_t count = 0;
  int rc = SQLCountUnfinishedDnlJobs(sys_.session, &count);
  if (rc != 0) {
    sys_.log.MainF(kCountFailed, static_cast<long>(rc));
    return;
  }
  sys_.log.MainF(kInterrupted, static_cast<long>(count));
  if (count <= 0) return;
  sys_.log.Main(kNewExport);
  registration_.AddExportJob();
  sys_.env.KillByImageName(BoundedPrintf("ZULADE_%s.EXE", sys_.dbSystem.c_str()));
  sys_.env.KillByImageName("VORLADE.EXE");
}

void AppendHousekeepingStatements(StatementList* list) {
  list->push_back({"CountUnfinishedDnlJobs", kSQLCountUnfinishedDnlJobs});
}

}  // namespace kvr
