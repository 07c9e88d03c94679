// JobExecutor: its parts built around the objects it is given.
#include "exec/job_executor.h"

#include <string>

namespace kvr {

JobExecutor::JobExecutor(Env& env, Logger& log, Session& session, MessagePoster& poster,
                         ServiceContact& contact, bool instanceMode, std::string programDir,
                         JobOutputSettings output, int32_t instance)
    : state_(std::make_unique<ExecutorState>()),
      output_(env, log, std::move(output)),
      history_(env, log, session, output_),
      identity_(env, MarkOwner{std::move(programDir), std::to_string(instance)}),
      ends_(env, log, session, *state_, output_, history_),
      rebuild_(env, log, session, *state_, identity_),
      supervisor_(env, log, session, poster, *state_, identity_, ends_, output_),
      starter_(env, log, session, poster, *state_, identity_, ends_, output_, history_),
      terminator_(env, log, session, contact, *state_, identity_, ends_, output_, instanceMode),
      adoption_(env, log, session, identity_) {}

JobExecutor::~JobExecutor() = default;

void AppendJobIdentityStatements(StatementList* list) { AppendJobAdoptionStatements(list); }

}  // namespace kvr
