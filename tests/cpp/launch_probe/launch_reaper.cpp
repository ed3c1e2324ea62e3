// Runs a command as a child subreaper: processes that the command's
// descendants leave behind (a launcher's grandchild, once its parent has
// ended) are re-parented to this process, which reaps every one of them and
// reports its end to REPORT_FILE, one line each:
//
//   direct PID exit N | direct PID signal N    the command itself
//   adopted PID exit N | adopted PID signal N  any other descendant
//
// It returns when no descendant is left, with the command's exit status.
//
//   launch_reaper REPORT_FILE COMMAND [ARGS...]
#include <errno.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: launch_reaper REPORT_FILE COMMAND [ARGS...]\n");
    return 2;
  }
  FILE* report = fopen(argv[1], "we");
  if (report == nullptr) {
    perror(argv[1]);
    return 2;
  }
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    perror("prctl(PR_SET_CHILD_SUBREAPER)");
    return 2;
  }
  const pid_t command = fork();
  if (command < 0) {
    perror("fork");
    return 2;
  }
  if (command == 0) {
    execvp(argv[2], argv + 2);
    perror(argv[2]);
    _exit(127);
  }
  int commandStatus = 2;
  for (;;) {
    int status = 0;
    const pid_t pid = wait(&status);
    if (pid < 0) {
      if (errno == EINTR) continue;
      break;  // ECHILD: nothing left
    }
    const char* who = pid == command ? "direct" : "adopted";
    if (WIFEXITED(status)) {
      fprintf(report, "%s %d exit %d\n", who, static_cast<int>(pid), WEXITSTATUS(status));
      if (pid == command) commandStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
      fprintf(report, "%s %d signal %d\n", who, static_cast<int>(pid), WTERMSIG(status));
      if (pid == command) commandStatus = 128 + WTERMSIG(status);
    }
    fflush(report);
  }
  fclose(report);
  return commandStatus;
}
