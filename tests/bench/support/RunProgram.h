// RunProgram.h: a program run in a directory of its own, with its output and status, for the
// tests that run the built programs end to end.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tolvan::test {

// A fresh directory under the temporary directory, removed with everything in it at the end.
class TScratchDir {
public:
  TScratchDir();
  ~TScratchDir();
  TScratchDir(const TScratchDir&) = delete;
  TScratchDir& operator=(const TScratchDir&) = delete;
  const std::string& Path() const noexcept { return FPath; }
  std::string operator/(const std::string& Name) const { return FPath + "/" + Name; }

private:
  std::string FPath;
};

struct TProgramResult {
  bool Exited = false; // ended by itself (not by a signal, nor killed at the timeout)
  int Status = -1;
  bool TimedOut = false;
  double Seconds = 0;
  std::string Out;
  std::string Err;
};

// Runs Exe without arguments in Directory with the test's environment less its locale
// variables, plus Env ("NAME=value"); killed after TimeoutSeconds.
TProgramResult RunProgram(const std::string& Exe, const std::string& Directory,
                          const std::vector<std::string>& Env, int TimeoutSeconds);

std::string ReadFileBytes(const std::string& Path);
void WriteFileBytes(const std::string& Path, const std::string& Bytes);

} // namespace tolvan::test
