// JobAdoption: the marked processes a restarted controller finds.
//
// At start-up, before the first selection, every process with this
// controller's mark whose row does not name it becomes that row's running
// job ("01" with its id), except the processes of a run whose row says it
// was ended ("99" with the mark's start), which are ended with their tree.
// A process whose row is gone is left alone, with a line.
#pragma once

#include <vector>

#include "db/client/named_statement.h"
#include "exec/job_identity.h"
#include "platform/env.h"

namespace kvr {

class Logger;
class Session;

class JobAdoption {
 public:
  JobAdoption(Env& env, Logger& log, Session& session, JobIdentity& identity);

  // The number adopted.
  int AdoptMarkedProcesses();

 private:
  bool AdoptOne(const MarkedProcess& process, const std::vector<MarkedProcess>& marked);

  Env& env_;
  Logger& log_;
  Session& session_;
  JobIdentity& identity_;
};

void AppendJobAdoptionStatements(StatementList* list);

}  // namespace kvr
