// kvrjobctl credentials: writes an enciphered credential file.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "ctl_options.h"
#include "db/credentials/credential_file.h"

namespace kvr::ctl {

namespace {

constexpr char kHelp[] =
    "usage: kvrjobctl credentials --service SERVICE --schema SCHEMA --login LOGIN\n"
    "                 [--password PASSWORD | --password-stdin] [--db-system WORD]\n"
    "                 [--file PATH]\n"
    "Writes the credential file the controller reads (default ./VELTRONIA.INI).\n"
    "SERVICE is sqlite:PATH, host[:port]/dbname, a postgresql:// URI or a service\n"
    "name. Without --password or --password-stdin the password is asked for.\n"
    "--db-system defaults to ORACLE.\n";

// One line from standard input, without its line end.
bool ReadLine(std::string* line) {
  if (!std::getline(std::cin, *line)) return false;
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

// Asks for the password on the terminal without echoing it.
bool PromptPassword(std::string* password) {
  if (!isatty(STDIN_FILENO)) return ReadLine(password);
  std::fputs("Password: ", stderr);
  termios old{};
  tcgetattr(STDIN_FILENO, &old);
  termios quiet = old;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
  bool ok = ReadLine(password);
  tcsetattr(STDIN_FILENO, TCSANOW, &old);
  std::fputs("\n", stderr);
  return ok;
}

// Writes the file readable by its owner only; false with errno's text.
bool WriteFile(const std::string& path, const std::string& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  // An existing file keeps its mode at open: a 0644 one would stay readable.
  if (::fchmod(fd, 0600) != 0) {
    ::close(fd);
    return false;
  }
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) {
      ::close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return ::close(fd) == 0;
}

}  // namespace

int RunCredentials(Env&, const std::vector<std::string>& args) {
  Options o;
  if (!ParseOptions(args, {"file", "service", "schema", "login", "password", "db-system"},
                    {"password-stdin", "help"}, &o)) {
    std::fputs(kHelp, stderr);
    return kExitUsage;
  }
  if (o.Has("help")) {
    std::fputs(kHelp, stdout);
    return kExitOk;
  }
  CredentialSet set;
  set.service = o.Get("service");
  set.schema = o.Get("schema");
  set.login = o.Get("login");
  set.dbSystem = o.Get("db-system", "ORACLE");
  if (o.Has("password")) {
    set.password = o.Get("password");
  } else if (o.Has("password-stdin") ? !ReadLine(&set.password) : !PromptPassword(&set.password)) {
    std::fputs("kvrjobctl: no password given\n", stderr);
    return kExitError;
  }
  std::string text, error;
  if (!FormatCredentialFile(set, &text, &error)) {
    std::fprintf(stderr, "kvrjobctl: %s\n%s", error.c_str(), kHelp);
    return kExitUsage;
  }
  const std::string path = o.Get("file", "./VELTRONIA.INI");
  if (!WriteFile(path, text)) {
    std::perror(("kvrjobctl: cannot write " + path).c_str());
    return kExitError;
  }
  std::printf("credentials written to %s\n", path.c_str());
  return kExitOk;
}

}  // namespace kvr::ctl
