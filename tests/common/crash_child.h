// Runs a piece of a test in a forked child under the kill shim, so that a crash
// test kills a real process (SIGKILL, no destructor or rollback runs) and the
// parent looks at what it left on disk.
#pragma once

#include <functional>

#include "common/kill_shim.h"

namespace cryptlib::test {

struct ChildOutcome {
  bool killed = false;   // ended by SIGKILL (the injected fault)
  int exitCode = -1;     // the body's result when it returned
  long operations = -1;  // file changes the child counted, when it returned
};

// Forks; the child arms the shim (at, mode), runs body, disarms and exits with
// the body's result. An exception escaping the body exits with 125.
ChildOutcome RunInChild(long at, int mode, const std::function<int()>& body);

// The file changes body makes in a child when nothing is injected; -1 when the
// child did not return 0.
long CountOperations(const std::function<int()>& body);

}  // namespace cryptlib::test
