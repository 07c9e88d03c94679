// JobMark: what every job process carries to be known as a job of this
// queue: environment variables naming the queue (the database service the
// controller works), the instance that started it, and the row with the
// start time that the row records (JOBDA1, JOBKE2, JOBSDA). Only one
// controller works a queue at a time, so the queue alone decides whose job
// a process is: a standby that takes the queue over takes its jobs too. They are set when the
// process is created and read back from /proc/PID/environ, which keeps them through every exec, so
// a job stays known whatever it becomes, also to a controller started after a crash. Pure
// functions; nothing throws.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvr {

inline constexpr char kMarkQueue[] = "KVR_JOB_QUEUE";
inline constexpr char kMarkInstance[] = "KVR_JOB_INSTANCE";
inline constexpr char kMarkJobda1[] = "KVR_JOBDA1";
inline constexpr char kMarkJobke2[] = "KVR_JOBKE2";
inline constexpr char kMarkJobsda[] = "KVR_JOBSDA";

// The controller a job belongs to: a job carries its owner's mark.
struct MarkOwner {
  std::string queue;     // the database service of the queue
  std::string instance;  // the instance number, "-1" for the single controller
};

struct JobMark {
  MarkOwner owner;
  std::string jobda1, jobke2, jobsda;

  bool SameRun(std::string_view da1, std::string_view ke2, std::string_view sda) const {
    return jobda1 == da1 && jobke2 == ke2 && jobsda == sda;
  }
};

// Jobs of the same queue (the instance is not compared).
bool SameOwner(const MarkOwner& a, const MarkOwner& b);

// The "NAME=value" texts a job is started with.
std::vector<std::string> JobMarkEnvironment(const JobMark& mark);

// The mark in an environment as /proc gives it (zero-separated); nothing
// when it carries no complete mark.
std::optional<JobMark> JobMarkOf(std::string_view environment);

}  // namespace kvr
