#include "db/job_run.h"

namespace kvr {

JobRunBinds::JobRunBinds(const JobRunUpdate& run, std::initializer_list<Bind> further)
    : sts_(run.status),
      nam_(run.name),
      usr_(run.user),
      num_(run.num),
      sda_(run.sda),
      eda_(run.eda),
      da1_(run.da1),
      ke2_(run.ke2),
      stv_(run.stv) {
  in_ = {Bind::Text(sts_), Bind::Text(nam_), Bind::Text(usr_), Bind::Text(num_), Bind::Text(sda_),
         Bind::Text(eda_), Bind::Int(stv_),  Bind::Text(da1_), Bind::Text(ke2_)};
  in_.insert(in_.end(), further.begin(), further.end());
}

JobRunUpdate JobRunBinds::bound() const {
  return {.da1 = da1_.view(),
          .ke2 = ke2_.view(),
          .status = sts_.view(),
          .name = nam_.view(),
          .user = usr_.view(),
          .num = num_.view(),
          .sda = sda_.view(),
          .eda = eda_.view(),
          .stv = stv_};
}

}  // namespace kvr
