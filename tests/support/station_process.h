// station_process.h - a program of a station run by a test as a child process.
//
// ChildProcess starts a program with extra environment variables (a station's QX_REGISTRY and
// QX_RUNTIME_DIR), keeps its stdout on a pipe and its stderr in a file, waits for a line it
// prints, and ends it: SIGTERM, then SIGKILL after a grace period. Only the child's own pid is
// ever signalled. RunProgram runs a program to its end and collects its output. Used by the
// test's main thread only.
//
//   ChildProcess agent(kAgentPath, {}, {{"QX_REGISTRY", db}, {"QX_RUNTIME_DIR", run}});
//   ASSERT_TRUE(agent.WaitForLine("ready", std::chrono::seconds(20)));
//   int status = agent.Terminate(std::chrono::seconds(5));
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace qx::testing {

using Environment = std::map<std::string, std::string>;

class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const Environment& environment);
  ~ChildProcess();  // Terminate with a short grace
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // True once a stdout line equal to line arrived; false when the child ended or time ran out.
  bool WaitForLine(const std::string& line, std::chrono::milliseconds timeout);
  const std::string& output() const { return output_; }
  std::string errors() const;  // what the child wrote to stderr so far

  void Signal(int signo);  // to the child's pid only, while it runs
  // SIGTERM, waits up to grace, then SIGKILL. Returns the wait status, or -1 when not started.
  int Terminate(std::chrono::milliseconds grace);
  // SIGKILL and reap.
  int Kill();
  bool running() const { return pid_ > 0 && !reaped_; }

 private:
  bool ReadSome(std::chrono::milliseconds timeout);
  bool Reap(std::chrono::milliseconds timeout);

  pid_t pid_ = -1;
  int stdout_ = -1;
  std::string errorFile_;
  std::string output_;
  bool reaped_ = false;
  int status_ = -1;
};

// A station of a test: its name, its address, its directory (registry.db and run/ below it),
// its agent process and the agent's arguments.
struct TestStation {
  std::string name;
  std::string address;
  std::string dir;
  std::unique_ptr<ChildProcess> agent;
  std::vector<std::string> agentArgs;

  Environment env() const {
    return {{"QX_REGISTRY", dir + "/registry.db"}, {"QX_RUNTIME_DIR", dir + "/run"}};
  }
};

struct ProgramResult {
  int exitCode = -1;  // -1 when it did not end normally
  std::string out;
  std::string err;
};
// Runs the program to its end (at most timeout; killed after it).
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const Environment& environment,
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));

// The arguments of `qxstation registry set` for the value name of a key below the station's
// NORVANE key ("RPC", "MULTICAST", "RPC\\HOSTS"), a DWORD when dword.
std::vector<std::string> RegistrySetArgs(const std::string& key, const std::string& name,
                                         const std::string& value, bool dword = false);

// The cluster key that the test stations share, as `qxstation key generate` would print one,
// and its id.
inline constexpr const char* kTestClusterKey = "QEFCQ0RFRkdISUpLTE1OT1BRUlNUVVZXWFlaW1xdXl8=";
inline constexpr const char* kTestClusterKeyId = "dca0a7c7";
// Gives the station directory a key ring that holds and uses the test cluster key, as an
// operator does with `qxstation key install` on every station; false when it can't be written.
bool InstallClusterKey(const std::string& dir);
// Makes a station directory ready for its agent: the directory with its run/ below it, and the
// key ring of the test cluster key; false when either cannot be made.
bool MakeStationDir(const std::string& dir);

// Moves the calling process (before it starts any thread or child) into a network namespace of
// its own with the loopback interface up, so that its stations neither meet nor disturb anything
// else on the machine. False when the system does not allow it.
bool EnterPrivateNetwork();

}  // namespace qx::testing
