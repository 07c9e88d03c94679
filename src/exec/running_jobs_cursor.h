// RunningJobsCursor: the read of the managed rows in one status (run type 06
// left out) that the process table is rebuilt from each pass. Each step
// returns the database code (0; 1403 after the last row; an error code). The
// cursor is open only between Open and Close; the destructor closes it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "db/client/fixed_text.h"
#include "db/client/named_statement.h"

namespace kvr {

class Cursor;
class Session;

struct RunningJobRow {
  FixedText<14> jobda1;
  FixedText<32> jobke2;
  FixedText<256> joburv;
  FixedText<2> jobrty;
  FixedText<2> jobsts;
  FixedText<64> jobnam;
  FixedText<128> jobusr;
  FixedText<8> jobnum;
  FixedText<14> jobsda;
  FixedText<14> jobeda;
  int32_t jobmrt = 0;
  int32_t jobstv = 0;
};

inline constexpr char kRunningJobsStatement[] =
    "select JOBDA1 ,JOBKE2 ,JOBURV ,JOBRTY ,JOBSTS ,JOBNAM ,JOBUSR ,JOBNUM ,JOBSDA ,JOBEDA "
    ",JOBMRT ,JOBSTV  from KVSYSTEM.KVR500JOB where (JOBSTS=:b0 and JOBRTY<>'06')";

class RunningJobsCursor {
 public:
  RunningJobsCursor();
  ~RunningJobsCursor();
  RunningJobsCursor(const RunningJobsCursor&) = delete;
  RunningJobsCursor& operator=(const RunningJobsCursor&) = delete;

  // Opens the cursor on the rows with the given status (an open cursor is
  // closed first).
  int Open(Session& session, std::string_view status);
  // Clears the row and fetches the next one into it; NULL gives empty or 0.
  // Without an open cursor the answer is the "not connected" code.
  int Fetch(RunningJobRow* row);
  // Ends the cursor; 0 when none is open.
  int Close();

 private:
  std::string status_;  // the bound status, alive while the cursor is
  std::unique_ptr<Cursor> cursor_;
};

void AppendRunningJobsStatements(StatementList* list);

}  // namespace kvr
