// EndedRows: the ends of running rows ("98", "99") and the failed starts of
// claimed rows ("90") written since the last commit that succeeded. When
// that work is lost (a commit that cannot write, a lost connection), the
// rows still read "01" in the database; once the session works again,
// Replay writes each end the controller decided, so an overrun row reads
// "99" and a start whose program could not be created "90", not the "98" a
// later supervision (this controller's or the next one's) would give them.
// Each end is written only onto its own run: a row still "01" with the run's
// start time and its process id or the claim's "0"; a failed start's "90"
// also onto its claim closed "98" meanwhile by a controller that found no
// process of it and could not know why. A row another program changed
// otherwise, or a later run of it, is left as it is. Bounded: beyond
// the size of the process table the oldest go.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "db/client/named_statement.h"
#include "db/job_run.h"

namespace kvr {

class Connection;

class EndedRows {
 public:
  // Keeps an update of a run's end (other statuses are not kept) with the
  // update's code: an end written (0) waits for the next commit, one that
  // failed because the database could not be written waits for Replay.
  // The run it ends: runStart, its JOBSDA (for an end, the start it writes;
  // for a failed start, the claim's); runNum, its process id as the row may
  // hold it besides the claim's "0" (empty: the JOBNUM the end writes).
  void Note(int code, const JobRunUpdate& end, std::string_view runStart,
            std::string_view runNum = {});
  // A commit made the written ends durable.
  void Committed();
  // The work since the last commit was lost: every end waits for Replay.
  void Lost() {
    for (Row& r : rows_) r.written = false;
  }
  // After Replay and its commit: nothing is kept.
  void Clear() { rows_.clear(); }
  bool empty() const { return rows_.empty(); }
  size_t size() const { return rows_.size(); }
  // Writes the kept ends again, each only onto its own run; does not
  // commit. The first failing code, else 0.
  int Replay(Connection& db);

 private:
  struct Row {
    std::string status, name, user, num, sda, eda, da1, ke2, runStart, runNum;
    int32_t stv = 0;
    bool written = false;  // durable with the next commit
    JobRunUpdate end() const;
  };
  std::deque<Row> rows_;
};

// Writes a run's end onto its own run only: the row still "01" (or
// closedAs) with the run's start time and its process id runNum or the
// claim's "0"; nothing committed. 0, or 1403 when the row no longer runs
// that run.
int WriteRunEnd(Connection& db, const JobRunUpdate& end, std::string_view runNum,
                std::string_view runStart, std::string_view closedAs = "01");

void AppendEndedRowStatements(StatementList* list);

}  // namespace kvr
