// Runs the built cryptlib-host as a user does (through the shell) and
// collects its exit status and output.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

#ifndef CRYPTLIB_HOST_TOOL
#error "CRYPTLIB_HOST_TOOL names the built cryptlib-host (tests/e2e/CMakeLists.txt)"
#endif

namespace cryptlib::e2e {

struct ToolResult {
  int status = -1;
  std::string output;  // stdout, and stderr unless it was sent elsewhere
};

// arguments are shell words; redirections may follow them ("< in", "2>/dev/null").
inline ToolResult RunShell(const std::string& line) {
  ToolResult result;
  FILE* pipe = popen(line.c_str(), "r");
  if (pipe == nullptr) return result;
  char chunk[4096];
  for (size_t read; (read = fread(chunk, 1, sizeof chunk, pipe)) > 0;) result.output.append(chunk, read);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// The tool with stdout and stderr together.
inline ToolResult RunToolMerged(const std::string& arguments) {
  return RunShell(std::string(CRYPTLIB_HOST_TOOL) + " " + arguments + " 2>&1");
}

// The tool's standard output alone (stderr discarded).
inline ToolResult RunToolStdout(const std::string& arguments) {
  return RunShell(std::string(CRYPTLIB_HOST_TOOL) + " " + arguments + " 2>/dev/null");
}

// Whether text is exactly one JSON object on one line, as python3's parser reads it.
inline bool IsOneJsonObject(const std::string& text) {
  if (text.empty() || text.front() != '{' || text.find('\n') != text.size() - 1) return false;
  FILE* pipe =
      popen("python3 -c 'import json,sys; o=json.load(sys.stdin); sys.exit(0 if isinstance(o, dict) else 1)'", "w");
  if (pipe == nullptr) return false;
  fwrite(text.data(), 1, text.size(), pipe);
  const int status = pclose(pipe);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace cryptlib::e2e
