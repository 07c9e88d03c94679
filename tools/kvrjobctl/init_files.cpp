#include "init_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kvr::ctl {

const char kDefaultIniText[] =
    "; KVRJOBCTL.INI: settings of the job controller KVRJOBSTR, read at its start.\n"
    "; Lines starting with ';' are comments; a missing key keeps the default shown.\n"
    "[JOBATR]\n"
    "; Jobs the controller manages at one time (every run type it starts counts;\n"
    "; run types 04 and 05 start even when the limit is reached). A value that is\n"
    "; not a number counts as 0: only those run types would start.\n"
    "MAXJOBS=5\n"
    "; The credential file (database, schema, login), written by kvrjobctl credentials.\n"
    ";KVRINI=.\\VELTRONIA.INI\n"
    "; Main log and debug log (DBGLOG=1 writes the debug log).\n"
    ";KVRLOG=.\\KVRJOBCTL.LOG\n"
    ";DBGFILE=.\\KVRJOBDBG.LOG\n"
    ";DBGLOG=0\n"
    "; Size of a log in MB before it is moved to its .BAK file.\n"
    ";MAXLOGSIZE=5\n"
    "; Times (hh:mm) of the daily e-mail job and the daily system jobs.\n"
    ";EMAILUHRZT=07:00\n"
    ";DAILYJOBUHRZT=07:00\n"
    "; Minutes between runs of the interval system jobs.\n"
    ";INTERVALLJOBZYKLUS=60\n"
    "; Each job's standard output and error go to a file of its own in this folder,\n"
    "; ending in a line with its exit status; without it they go to the\n"
    "; controller's output. JOBOUTSIZE caps a file (bytes), JOBOUTFILES the number kept.\n"
    "JOBOUTDIR=joboutput\n"
    ";JOBOUTSIZE=10485760\n"
    ";JOBOUTFILES=500\n"
    "; Days a run stays in the run history (kvrjobctl history).\n"
    ";RUNHISTDAYS=30\n"
    "; 1: a user message for every job that ends with a status other than 0 or\n"
    "; by a signal the controller did not send.\n"
    ";JOBFAILMSG=0\n";

namespace {

bool WriteNew(const std::string& path, const char* text, mode_t mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) return false;
  size_t size = std::strlen(text), done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, text + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return ::close(fd) == 0 && done == size;
}

}  // namespace

bool PrepareSqliteFile(const std::string& service) {
  constexpr char kPrefix[] = "sqlite:";
  if (service.rfind(kPrefix, 0) != 0) return true;
  std::string path = service.substr(sizeof kPrefix - 1);
  if (path.empty() || ::access(path.c_str(), F_OK) == 0) return true;
  return WriteNew(path, "", 0600) || errno == EEXIST;
}

bool WriteDefaultIni(const std::string& path) { return WriteNew(path, kDefaultIniText, 0644); }

}  // namespace kvr::ctl
