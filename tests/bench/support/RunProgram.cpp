#include "tests/bench/support/RunProgram.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tolvan::test {

TScratchDir::TScratchDir() {
  const char* Base = std::getenv("TMPDIR");
  std::string Template = std::string(Base && *Base ? Base : "/tmp") + "/tolvan-bench-XXXXXX";
  if (!::mkdtemp(Template.data()))
    throw std::runtime_error("mkdtemp failed for " + Template);
  FPath = Template;
}

TScratchDir::~TScratchDir() {
  std::error_code Ignored;
  std::filesystem::remove_all(FPath, Ignored);
}

std::string ReadFileBytes(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  std::ostringstream Bytes;
  Bytes << In.rdbuf();
  return Bytes.str();
}

void WriteFileBytes(const std::string& Path, const std::string& Bytes) {
  std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
  Out.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
}

TProgramResult RunProgram(const std::string& Exe, const std::string& Directory,
                          const std::vector<std::string>& Env, int TimeoutSeconds) {
  std::vector<std::string> Vars;
  for (char** E = environ; *E; ++E) {
    const std::string Var = *E;
    if (Var.rfind("LC_", 0) != 0 && Var.rfind("LANG=", 0) != 0 && Var.rfind("LANGUAGE=", 0) != 0)
      Vars.push_back(Var);
  }
  Vars.insert(Vars.end(), Env.begin(), Env.end());
  std::vector<char*> EnvP;
  for (std::string& V : Vars)
    EnvP.push_back(V.data());
  EnvP.push_back(nullptr);
  std::string Program = Exe;
  char* ArgV[] = {Program.data(), nullptr};

  // Output goes to files beside the directory, not into it.
  const std::string OutFile = Directory + ".out", ErrFile = Directory + ".err";
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_addopen(&Actions, 1, OutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&Actions, 2, ErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&Actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addchdir_np(&Actions, Directory.c_str());
  pid_t Pid = 0;
  const auto Start = std::chrono::steady_clock::now();
  const int Spawned = posix_spawn(&Pid, Program.c_str(), &Actions, nullptr, ArgV, EnvP.data());
  posix_spawn_file_actions_destroy(&Actions);
  if (Spawned != 0)
    throw std::runtime_error("cannot start " + Exe);

  TProgramResult Result;
  const auto Deadline = Start + std::chrono::seconds(TimeoutSeconds);
  int WaitStatus = 0;
  for (;;) {
    const pid_t Done = ::waitpid(Pid, &WaitStatus, WNOHANG);
    if (Done == Pid)
      break;
    if (std::chrono::steady_clock::now() >= Deadline) {
      ::kill(Pid, SIGKILL);
      ::waitpid(Pid, &WaitStatus, 0);
      Result.TimedOut = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  Result.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  Result.Exited = !Result.TimedOut && WIFEXITED(WaitStatus);
  Result.Status = Result.Exited ? WEXITSTATUS(WaitStatus) : -1;
  Result.Out = ReadFileBytes(OutFile);
  Result.Err = ReadFileBytes(ErrFile);
  std::error_code Ignored;
  std::filesystem::remove(OutFile, Ignored);
  std::filesystem::remove(ErrFile, Ignored);
  return Result;
}

} // namespace tolvan::test
