// station_process.cpp - child processes of the station tests.
#include "support/station_process.h"

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace qx::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::string TempFile(const char* stem) {
  std::string path = std::string("/tmp/") + stem + ".XXXXXX";
  const int fd = mkstemp(path.data());
  if (fd >= 0) close(fd);
  return path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// fork + exec with stdout to outFd and stderr to errPath; the environment gets the overrides.
// Everything is prepared before the fork, since the test process may run threads: the child
// only calls async-signal-safe functions until exec.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args,
            const Environment& environment, int outFd, const std::string& errPath) {
  std::vector<std::string> words;
  words.push_back(program);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string variable = *entry;
    if (!environment.contains(variable.substr(0, variable.find('=')))) {
      variables.push_back(variable);
    }
  }
  for (const auto& [name, value] : environment) variables.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);

  const int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int nullFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_t pid = -1;
  if (errFd >= 0 && nullFd >= 0) {
    pid = fork();
    if (pid == 0) {
      dup2(nullFd, STDIN_FILENO);
      dup2(outFd, STDOUT_FILENO);
      dup2(errFd, STDERR_FILENO);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      execve(program.c_str(), argv.data(), envp.data());
      _exit(127);
    }
  }
  if (errFd >= 0) close(errFd);
  if (nullFd >= 0) close(nullFd);
  return pid;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const Environment& environment)
    : errorFile_(TempFile("qxchild-err")) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  pid_ = Spawn(program, args, environment, fds[1], errorFile_);
  close(fds[1]);
  stdout_ = fds[0];
  if (pid_ < 0) {
    close(stdout_);
    stdout_ = -1;
  }
}

ChildProcess::~ChildProcess() {
  Terminate(std::chrono::seconds(5));
  if (stdout_ >= 0) close(stdout_);
  unlink(errorFile_.c_str());
}

std::string ChildProcess::errors() const { return ReadFile(errorFile_); }

bool ChildProcess::ReadSome(std::chrono::milliseconds timeout) {
  if (stdout_ < 0) return false;
  pollfd fd{stdout_, POLLIN, 0};
  const int ready = poll(&fd, 1, static_cast<int>(timeout.count()));
  if (ready <= 0) return false;
  char buffer[4096];
  const ssize_t n = read(stdout_, buffer, sizeof buffer);
  if (n <= 0) {
    close(stdout_);
    stdout_ = -1;
    return false;
  }
  output_.append(buffer, static_cast<std::size_t>(n));
  return true;
}

bool ChildProcess::WaitForLine(const std::string& line, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    std::istringstream lines(output_);
    for (std::string seen; std::getline(lines, seen);) {
      if (seen == line) return true;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || stdout_ < 0) return false;
    if (!ReadSome(left) && stdout_ < 0) return false;
  }
}

void ChildProcess::Signal(int signo) {
  if (!running()) return;
  kill(pid_, signo);
  if (signo != SIGSTOP) return;
  // A stop takes effect when each thread next enters the kernel: on a busy machine a thread may
  // still answer a request after kill returned. Wait (bounded) until every thread is stopped.
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
  while (Clock::now() < deadline) {
    bool allStopped = true;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
      std::ifstream stat(task.path() / "stat");
      std::string line;
      std::getline(stat, line);
      const std::size_t close = line.rfind(')');
      if (close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'T') {
        allStopped = false;
        break;
      }
    }
    if (allStopped && !error) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool ChildProcess::Reap(std::chrono::milliseconds timeout) {
  if (reaped_) return true;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const pid_t done = waitpid(pid_, &status_, WNOHANG);
    if (done == pid_ || (done < 0 && errno == ECHILD)) {
      reaped_ = true;
      return true;
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int ChildProcess::Terminate(std::chrono::milliseconds grace) {
  if (pid_ <= 0) return -1;
  if (!reaped_) {
    kill(pid_, SIGCONT);
    kill(pid_, SIGTERM);
    if (!Reap(grace)) return Kill();
  }
  return status_;
}

int ChildProcess::Kill() {
  if (pid_ <= 0) return -1;
  if (!reaped_) {
    kill(pid_, SIGKILL);
    Reap(std::chrono::seconds(10));
  }
  return status_;
}

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const Environment& environment, std::chrono::milliseconds timeout) {
  ProgramResult result;
  const std::string outPath = TempFile("qxprog-out");
  const std::string errPath = TempFile("qxprog-err");
  const int outFd = open(outPath.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  const pid_t pid = outFd < 0 ? -1 : Spawn(program, args, environment, outFd, errPath);
  if (outFd >= 0) close(outFd);
  if (pid > 0) {
    const auto deadline = Clock::now() + timeout;
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (done == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    if (done == pid && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  }
  result.out = ReadFile(outPath);
  result.err = ReadFile(errPath);
  unlink(outPath.c_str());
  unlink(errPath.c_str());
  return result;
}

std::vector<std::string> RegistrySetArgs(const std::string& key, const std::string& name,
                                         const std::string& value, bool dword) {
  std::vector<std::string> args = {
      "registry", "set", "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\" + key, name, value};
  if (dword) args.push_back("--dword");
  return args;
}

bool InstallClusterKey(const std::string& dir) {
  const std::string path = dir + "/cluster.keys";
  {
    std::ofstream ring(path, std::ios::trunc);
    ring << "use " << kTestClusterKeyId << "\nkey " << kTestClusterKeyId << " installed "
         << kTestClusterKey << "\n";
    if (!ring) return false;
  }
  return ::chmod(path.c_str(), 0600) == 0;
}

bool MakeStationDir(const std::string& dir) {
  std::error_code error;
  std::filesystem::create_directories(dir + "/run", error);
  return !error && InstallClusterKey(dir);
}

bool EnterPrivateNetwork() {
  if (unshare(CLONE_NEWNET) != 0) return false;
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  close(fd);
  return up;
}

}  // namespace qx::testing
