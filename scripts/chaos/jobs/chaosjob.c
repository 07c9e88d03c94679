/* The binary job of the fault-injection run: appends "start KEY PID" to
   the record file, sleeps, appends "end KEY PID" and exits with the given
   status. Usage: chaosjob RECORDS KEY MILLISECONDS [EXIT] */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static void Record(const char* path, const char* event, const char* key) {
  char line[256];
  int n = snprintf(line, sizeof line, "%s %s %ld %ld\n", event, key, (long)getpid(), (long)time(NULL));
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
  if (fd < 0) return;
  if (write(fd, line, (size_t)n) != n) perror("record");
  close(fd);
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fputs("usage: chaosjob RECORDS KEY MILLISECONDS [EXIT]\n", stderr);
    return 2;
  }
  Record(argv[1], "start", argv[2]);
  long ms = atol(argv[3]);
  struct timespec wait = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0) {
  }
  Record(argv[1], "end", argv[2]);
  return argc > 4 ? atoi(argv[4]) : 0;
}
