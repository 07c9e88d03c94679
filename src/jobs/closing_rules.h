// Closing-time rules of the daily closing (run type 08): which of the run
// type 08 rows stay, which go, and which rows are made for the client's
// closing times. Every configured time keeps exactly one waiting or running
// row. No database, no clock of their own: the time is passed in.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "db/queue/job_table.h"
#include "platform/env.h"

namespace kvr {

// Closing slots per half; entries 0 to 11 are runs with download, 12 to 23
// runs without ("/NODNL"). A time is minutes after midnight; 0 or less: no
// run. A time of 1440 or more is taken as its time of day (minus whole days),
// so every JOBNRT is a valid local time.
inline constexpr std::size_t kClosingSlots = 12;
using ClosingTimes = std::array<int32_t, 2 * kClosingSlots>;

// Marks a time taken by an existing row.
inline constexpr int32_t kClosingTimeTaken = -1;

struct ClosingReconciliation {
  std::vector<std::size_t> finished;   // ended rows (status value above 10)
  std::vector<std::size_t> unmatched;  // rows whose time is not (or no more) configured
  ClosingTimes untaken{};              // the times still without a row
};

// Reconciles the run type 08 rows (in list order) with the times.
ClosingReconciliation ReconcileClosingRows(std::span<const JobRow> rows, const ClosingTimes& times);

// The rows to insert for the untaken times, all keyed with the local stamp
// of now; a time not after the current minute is for tomorrow.
std::vector<JobRow> NewClosingRows(Env& env, int64_t now, const ClosingTimes& untaken);

}  // namespace kvr
