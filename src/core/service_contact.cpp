#include "core/service_contact.h"

#include <cstdio>
#include <cstring>

#include "core/text.h"

namespace kvr {

namespace {

constexpr char kProgramFileName[] = "KVRJOBSTR.EXE";

constexpr char kContactedFormat[] = "Service kontaktiert! %s\n";
constexpr char kReceivedFormat[] = "KVRJOBSTR: received: %s\n";
constexpr char kAnsweredText[] = "Service antwortet!\n";
constexpr char kNoAnswerMainFormat[] =
    "Service antwortet nicht! ErrCode: %d! KVRJOBSTR wird beendet!\n";
// Ends its line like every other line of the debug log, so the next line
// (a restarted controller's first contact) starts on a line of its own.
constexpr char kNoAnswerDebugFormat[] = "Service antwortet nicht %d!\n";
constexpr char kStopSignalText[] = "Signal zum Beenden erhalten! KVRJOBSTR wird beendet!\n";

}  // namespace

std::string ServicePipeName(int32_t instance) {
  if (instance < 0) return kServicePipeName;
  return StringPrintf(kServicePipeNameFormat, static_cast<long>(instance));
}

ServiceContact::ServiceContact(Env& env, Logger& log, int32_t instance)
    : env_(env), log_(log), pipeName_(ServicePipeName(instance)) {}

int ServiceContact::Contact(const char* label, bool forced) {
  int64_t now = env_.Now();
  if (!forced && now < nextContactTime_) return 1;
  nextContactTime_ = now + kContactIntervalSeconds;
  log_.DebugF(kContactedFormat, label != nullptr ? label : "");

  if (env_.StopRequested()) {
    log_.Main(kStopSignalText);
    return 0;
  }

  char request[kServiceMessageSize] = {};
  std::memcpy(request, kProgramFileName, sizeof kProgramFileName);
  ServiceReply reply = env_.CallService(pipeName_, request, kReplyWaitMs);
  if (reply.answered) {
    char line[2 * kServiceMessageSize];
    std::snprintf(line, sizeof line, kReceivedFormat, reply.reply.c_str());
    // Once a second: on a terminal only, never into a journal or a file.
    if (env_.ConsoleIsTerminal()) env_.ConsoleWrite(line);
    log_.Debug(kAnsweredText);
    if (forced && pace_ != nullptr) {
      pace_->Wait(kWaitAfterAnswerMs);
    } else {
      env_.SleepMs(kWaitAfterAnswerMs);
    }
    return 1;
  }
  log_.MainF(kNoAnswerMainFormat, reply.error);
  log_.DebugF(kNoAnswerDebugFormat, reply.error);
  env_.SleepMs(kWaitAfterNoAnswerMs);
  return 0;
}

}  // namespace kvr
