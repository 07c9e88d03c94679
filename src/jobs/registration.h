// JobRegistration: the start-up work on the standing and system jobs of the
// queue, and the two job-table chores other steps call.
//
// CheckRT04Jobs ends the leftover processes of the standing (run type 04)
// jobs whose program it recognises and deletes their rows; AddRT04Jobs
// registers the per-client jobs (AddQEVJobs) and the present standing system
// programs anew; SQLInsertNewJob registers the export and the MAP processing
// job, AddRT03SystemJobs the daily and interval system jobs. It owns the MAP
// processing job's record, which the housekeeping's MAP check works on by
// its key for the rest of the run.
//
// Every failure is written to the main log and the work goes on; nothing
// here stops the start-up. A client schema name goes into a statement text
// only when it is a plain identifier (IsPlainSchemaName); any other client is
// skipped with a log line naming it. A leftover process is ended by its id
// (instance mode) only when it was created no later than the row's start
// time allows. Nothing throws.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "db/client/fixed_text.h"
#include "db/queue/job_table.h"

namespace kvr {

class Env;
class JobExecutor;
class Logger;
class ServiceContact;
class Session;

class JobRegistration {
 public:
  // Widths of the texts a client entry keeps.
  static constexpr std::size_t kSchemaWidth = 30;
  static constexpr std::size_t kIniPathWidth = 50;

  // instance: -1 for the single controller, else the instance number (it
  // goes into the client jobs' commands); dailyJobTime: "hhmmss" of the
  // daily system job.
  JobRegistration(Env& env, Logger& log, Session& session, ServiceContact& contact,
                  JobExecutor& executor, int32_t instance, std::string dailyJobTime);

  // programDbWord: the credential set's database word in program file
  // names (CredentialSet::programDbWord).
  //
  // Ends leftover standing processes and deletes their rows, then resets
  // the start attempts of run type 04 and commits.
  void CheckRT04Jobs(std::string_view programDbWord);
  // AddQEVJobs, then the four standing system programs present; commits.
  void AddRT04Jobs(std::string_view programDbWord);
  // The per-client and per-person standing jobs; commits.
  void AddQEVJobs(std::string_view programDbWord);
  // The export job, then the MAP processing job; commits.
  void SQLInsertNewJob();
  // A new export job (key: the current local time); commits.
  void AddExportJob();
  // The daily and interval system jobs, due today at the daily job time and
  // at once; returns the result of the final commit. The next run times are
  // taken from the clock when each record is built.
  int AddRT03SystemJobs(int64_t passTime);
  // The statements of the job table of the same names.
  int ResetRT04StartAttempts();
  int DeleteExpiredRT01Jobs();

  // The MAP processing job's record, filled by SQLInsertNewJob.
  const JobRow& mapJob() const { return mapJob_; }

 private:
  struct Client {
    FixedText<kSchemaWidth> schema;
    FixedText<kIniPathWidth> iniPath;
  };

  // CheckRT04Jobs pieces (registration.cpp).
  int WalkRunType04Row(const FixedText<14>& da1, const FixedText<32>& ke2, const FixedText<64>& nam,
                       const FixedText<8>& num, const FixedText<14>& sda,
                       std::string_view programDbWord);
  void EndLeftover(std::string_view jobnum, std::string_view jobsda, const std::string& file);
  void AddSystemPrograms();

  // AddQEVJobs pieces (client_jobs.cpp).
  void ClientPass(std::vector<Client>* clients, std::string_view programDbWord);
  bool TakeClient(std::string_view schema, std::string_view liz, std::string_view num,
                  Client* client);
  void AddClientJobs(const Client& client, std::string_view programDbWord);
  void AddPlanningJob(const Client& client, std::string_view programDbWord);
  void PersonPass(const std::vector<Client>& clients, std::string_view programDbWord);
  // The database word of the per-person programs, and which of them are
  // present (looked at once a pass).
  struct PersonFiles {
    std::string_view programDbWord;
    bool hwn, fjo, lmd;
  };
  void AddPersonJobs(const Client& client, const PersonFiles& files, std::string_view user,
                     std::string_view pnr);
  bool SwitchToClient(const Client& client);
  int InsertStanding(std::string_view da1, std::string_view ke2, std::string_view urv,
                     std::string_view cmd);

  // System job pieces (system_jobs.cpp).
  void AddTimedSystemJob(bool daily);

  bool instanceMode() const { return instance_ >= 0; }

  Env& env_;
  Logger& log_;
  Session& session_;
  ServiceContact& contact_;
  JobExecutor& executor_;
  const int32_t instance_;
  const std::string dailyJobTime_;
  JobRow mapJob_;
};

// The registration's statements, by name (the client check for MANDANT1).
void AppendRegistrationStatements(StatementList* list);
void AppendClientJobStatements(StatementList* list);

}  // namespace kvr
