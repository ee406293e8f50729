#include "common/crash_child.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace cryptlib::test {

namespace {

int RunBody(const std::function<int()>& body) {
  try {
    return body();
  } catch (...) {
    return 125;
  }
}

}  // namespace

ChildOutcome RunInChild(long at, int mode, const std::function<int()>& body) {
  ChildOutcome outcome;
  int channel[2];
  if (pipe(channel) != 0) return outcome;
  std::fflush(nullptr);  // the child must not write the parent's buffered output again
  pid_t child = fork();
  if (child < 0) {
    close(channel[0]);
    close(channel[1]);
    return outcome;
  }
  if (child == 0) {
    close(channel[0]);
    KillShimArm(at, mode);
    int result = RunBody(body);
    long operations = KillShimDisarm();
    ssize_t sent = write(channel[1], &operations, sizeof operations);
    (void)sent;
    _exit(result);
  }
  close(channel[1]);
  long operations = -1;
  if (read(channel[0], &operations, sizeof operations) == static_cast<ssize_t>(sizeof operations)) {
    outcome.operations = operations;
  }
  close(channel[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  outcome.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
  return outcome;
}

long CountOperations(const std::function<int()>& body) {
  ChildOutcome outcome = RunInChild(0, KILL_SHIM_KILL_BEFORE, body);
  return outcome.exitCode == 0 ? outcome.operations : -1;
}

}  // namespace cryptlib::test
