// ProgramDir: a controller installation in a temporary folder for the
// end-to-end tests: the program copied into jobctl/, the message fallback
// folder beside it, credentials and tables made with kvrjobctl, and helpers
// to start the watching service and the controller as real processes and to
// look into the queue.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "db/client/connection.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace kvr::test {

class ProgramDir {
 public:
  // connectService: the service text of the credentials ("sqlite:kvr.db" or
  // a PostgreSQL service); empty writes no credential file.
  ProgramDir(const std::string& service, const std::string& login, const std::string& password,
             const std::string& ini = "[JOBATR]\nMAXJOBS=3\nDBGLOG=1\n");
  ~ProgramDir();

  const std::string& dir() const { return progDir_; }
  std::string File(const std::string& name) const { return progDir_ + "/" + name; }
  std::string Read(const std::string& name) const;
  std::string MainLog() const { return Read("KVRJOBCTL.LOG"); }
  std::string FallbackFile() const { return base_.path() + "/veltronia_php/log/JOBCTLMSG.log"; }

  // Copies a system program into the program directory under a new name.
  void InstallProgram(const std::string& from, const std::string& name) const;

  // Runs a shell command in the program directory; returns its exit status.
  int Shell(const std::string& command) const;

  // Starts kvrjobsvc for the instance (no child) and waits until it
  // listens. Returns its pid.
  pid_t StartService(int instance);
  // Starts kvrjobsvc (with the options given) and the controller of this
  // directory as its child.
  pid_t StartServiceWithController(int instance, const std::string& serviceOptions = "");
  // What kvrjobsvc and its controller wrote to their console.
  std::string ServiceLog() const;
  // Starts the controller directly; args go after the program name.
  pid_t StartController(const std::string& args);

  // A connection to the directory's database (connected, or failing tests).
  std::unique_ptr<Connection> Connect() const;

 private:
  pid_t Spawn(const std::string& command, const std::string& logName);

  TempDir base_;
  std::string progDir_;
  std::string connectText_;
};

// The first column of the first row of a select as text ("" for none/NULL).
std::string QueryText(Connection& db, const std::string& sql);
long QueryCount(Connection& db, const std::string& sql);

// An instance number no other test program of this run uses.
int UniqueInstance(int k);
// A second range of them (k from 0 to 9), apart from UniqueInstance's.
int SpareInstance(int k);

bool ProcessRunning(pid_t pid);

}  // namespace kvr::test
