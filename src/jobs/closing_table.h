// What the daily closing reads: the client's closing times from
// KvSystem.Kvr112Mnd, and the next due run type 09 row, leaving out the
// rows the caller has already passed over in this pass. Statements as the
// system writes them; results are the client's status codes.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "db/queue/job_table.h"
#include "exec/exclusion_list.h"
#include "jobs/closing_rules.h"

namespace kvr {

class Session;

// The closing times of the client with the given schema, or when it has
// none of those of the client with the lowest number that has any: 0 (times
// filled), 1403 no client has any, another code on an error. A null column
// reads as 0. The times are filled only on 0.
int SQLReadKvr112Mnd(Session& session, std::string_view schema, ClosingTimes* times);

// The key of a row passed over in this pass. A key longer than its field
// (keyTooLong) is named by its first kJobKe2Width characters and its
// length: the field cannot hold it, and such a row is never started.
inline constexpr std::size_t kJobKe2Width = 32;
struct JobKey {
  FixedText<14> jobda1;
  FixedText<kJobKe2Width> jobke2;
  bool keyTooLong = false;
};

// Most rows one pass passes over; the statement text stays well within its
// limit.
inline constexpr std::size_t kMaxPassedOver = 64;

// The run type 09 selection (status empty, blank or "90" and above, origin
// not excluded) without the given rows, written into the ten selected
// columns of *row. Results as SQLSelectKvr500Job09.
int SelectKvr500Job09Except(Session& session, const ExclusionList& list,
                            std::span<const JobKey> passedOver, JobRow* row);

// The statement text of that selection.
std::string Select09ExceptText(const char* list, std::span<const JobKey> passedOver);

// The closing reads and a run type 09 selection passing over two rows.
void AppendClosingStatements(StatementList* list);

}  // namespace kvr
