// ServiceContact: the controller's contact with its watching service.
//
// A contact sends the 80-byte request ("KVRJOBSTR.EXE" at its start) to the
// service socket of the pipe name and waits a bounded time for the reply.
// A contact that is not forced is made at most every 3 seconds; one asked
// for earlier is skipped and counts as answered. After an answer the
// contact waits 1000 ms (this sets the pace of the main loop), after none
// 100 ms. A stop requested by SIGTERM or SIGINT counts as a service that no
// longer answers, so it leads to the same orderly shut-down. With a pace
// wait set, the wait after the answer of a forced contact (the one of
// every pass) is that wait's: it ends early when there is new work.
// Contact returns 1 when answered or skipped, 0 when not answered. The pipe
// name is fixed at construction: the plain name for the single controller,
// the name with the instance number for an instance.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "core/logger.h"
#include "core/pace_wait.h"
#include "platform/env.h"

namespace kvr {

inline constexpr char kServicePipeName[] = "\\\\.\\pipe\\kvrjobctl";
inline constexpr char kServicePipeNameFormat[] = "\\\\.\\pipe\\kvrjobctl%ld";

// The pipe name of the controller with this instance number (-1: the
// single controller).
std::string ServicePipeName(int32_t instance);

class ServiceContact {
 public:
  static constexpr int64_t kContactIntervalSeconds = 3;
  static constexpr int kReplyWaitMs = 3000;
  static constexpr int64_t kWaitAfterAnswerMs = 1000;
  static constexpr int64_t kWaitAfterNoAnswerMs = 100;

  // instance: -1 for the single controller, else the instance number.
  ServiceContact(Env& env, Logger& log, int32_t instance = -1);

  const std::string& pipeName() const { return pipeName_; }

  int Contact(const char* label, bool forced);

  // The wait after a forced contact's answer; null: the plain 1000 ms.
  void SetPaceWait(PaceWait* pace) { pace_ = pace; }

  int64_t nextContactTime() const { return nextContactTime_; }

 private:
  Env& env_;
  Logger& log_;
  const std::string pipeName_;
  int64_t nextContactTime_ = 0;
  PaceWait* pace_ = nullptr;
};

}  // namespace kvr
