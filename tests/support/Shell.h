#pragma once

#include <stdio.h>
#include <sys/wait.h>

#include <string>

// Runs command through the shell with its standard error joined to its output, which goes to
// *output when asked for. The command's exit status, or -1 when it could not run or was killed.
inline int Shell(const std::string& command, std::string* output = nullptr) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
  const int status = pclose(pipe);
  if (output != nullptr) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
