// JobRunUpdate and JobRunBinds: the nine run columns one row's start,
// adoption, failed start or end writes, by the row's key.
//
// JobRunBinds copies an update into fields of the column widths (a longer
// text is cut, never overflows) and binds them in the one order every run
// update names them: JOBSTS, JOBNAM, JOBUSR, JOBNUM, JOBSDA, JOBEDA, JOBSTV,
// then the key JOBDA1, JOBKE2; the inputs of a statement's further
// conditions follow. The binds point into the object: keep it alive for the
// call.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

#include "db/client/connection.h"
#include "db/client/fixed_text.h"

namespace kvr {

// JOBNUM of a row claimed for its start whose process id is not written yet.
inline constexpr std::string_view kClaimedJobNum = "0";

struct JobRunUpdate {
  std::string_view da1{}, ke2{};
  std::string_view status{}, name{}, user{}, num{}, sda{}, eda{};
  int32_t stv = 0;
};

class JobRunBinds {
 public:
  explicit JobRunBinds(const JobRunUpdate& run, std::initializer_list<Bind> further = {});
  JobRunBinds(const JobRunBinds&) = delete;
  JobRunBinds& operator=(const JobRunBinds&) = delete;

  std::span<const Bind> binds() const { return in_; }
  // The update as bound, each text cut to its column's width.
  JobRunUpdate bound() const;

 private:
  FixedText<2> sts_;
  FixedText<64> nam_;
  FixedText<128> usr_;
  FixedText<8> num_;
  FixedText<14> sda_, eda_, da1_;
  FixedText<32> ke2_;
  int32_t stv_;
  std::vector<Bind> in_;
};

}  // namespace kvr
