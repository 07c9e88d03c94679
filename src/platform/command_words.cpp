#include "platform/command_words.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kvr {

bool SplitCommandLine(std::string_view line, std::vector<std::string>* words) {
  words->clear();
  std::string word;
  bool inWord = false;  // a word has begun (also an empty quoted one)
  bool quoted = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (inWord) words->push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += (c == '\\') ? '/' : c;
      inWord = true;
    }
  }
  if (inWord) words->push_back(word);  // an open quote ends with the line
  return !words->empty();
}

namespace {

// The first bytes of a file: a binary (ELF) or "#!" script can be executed;
// anything else would fail in execve with ENOEXEC.
int CheckImageStart(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == EACCES ? 0 : errno;  // execute-only files exist
  char head[4] = {0, 0, 0, 0};
  ssize_t n = read(fd, head, sizeof head);
  close(fd);
  if (n >= 2 && head[0] == '#' && head[1] == '!') return 0;
  if (n == 4 && std::memcmp(head,
                            "\x7f"
                            "ELF",
                            4) == 0)
    return 0;
  return ENOEXEC;
}

}  // namespace

int CheckExecutable(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EACCES;  // a directory or device
  if (access(path.c_str(), X_OK) != 0) return errno;
  // access() grants root every file with any execute bit; execve does too.
  if ((st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0) return EACCES;
  return CheckImageStart(path);
}

std::string FindProgram(const std::string& word, std::string_view pathVariable, int* error) {
  *error = 0;
  if (word.empty()) {
    *error = ENOENT;
    return {};
  }
  if (word.find('/') != std::string::npos) {
    *error = CheckExecutable(word);
    return *error == 0 ? word : std::string();
  }
  // The current directory first, then every PATH directory (an empty
  // directory in PATH is the current directory, as the shells take it).
  int firstError = CheckExecutable("./" + word);
  if (firstError == 0) return "./" + word;
  size_t begin = 0;
  while (begin <= pathVariable.size()) {
    size_t end = pathVariable.find(':', begin);
    if (end == std::string_view::npos) end = pathVariable.size();
    std::string dir(pathVariable.substr(begin, end - begin));
    std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + word;
    int rc = CheckExecutable(candidate);
    if (rc == 0) return candidate;
    // A file that exists but cannot be run is worth more than "not found".
    if (firstError == ENOENT || firstError == ENOTDIR) firstError = rc;
    begin = end + 1;
  }
  *error = firstError;
  return {};
}

std::string_view BaseName(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace kvr
