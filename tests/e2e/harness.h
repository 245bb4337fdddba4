// End-to-end harness: runs the real programs in a fresh temporary folder,
// with arguments, an optional configuration file and standard input.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace e2e {

struct RunResult {
  std::string out;  // everything the program wrote to standard output
  int status = -1;  // exit status, or 128 + signal number
  double secondsAfterSignal = -1;  // from RunOptions::signal's delivery to the end, -1 if never sent
};

// A temporary folder, removed with everything in it when the object dies.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  void Write(const std::string& name, const std::string& content) const;
  std::string Read(const std::string& name) const;
  bool Exists(const std::string& name) const;
  std::vector<std::string> List() const;  // file names, sorted

 private:
  std::string path_;
};

struct RunOptions {
  std::string stdinText;  // fed to standard input, which then closes
  bool closeStdin = true;  // when false and stdinText is empty, stdin is /dev/null as well
  double timeoutSeconds = 30;  // the run is killed after this, status 128 + SIGKILL
  bool keepStdinOpen = false;  // stdinText is written, but input never ends (a pilot who does not answer)
  int signal = 0;  // sent signalDelay seconds after the output first holds signalAfter
  std::string signalAfter{};
  double signalDelay = 0;
  long fileSizeLimit = 0;  // bytes a file may grow to (ulimit -f), 0 for no limit
};

// Runs `program` with `args` in `dir`; a configuration file, when given, is
// written as velmora.cfg first.
RunResult Run(const std::string& program, const std::vector<std::string>& args, const TempDir& dir,
              const RunOptions& options = {});
RunResult RunVelmora(const std::vector<std::string>& args, const TempDir& dir, const RunOptions& options = {});
// Runs velmora inside an emulator that hosts it (`velmora-sim SIMARGS --
// velmora ARGS`, for devices the emulator fakes in velmora's own process):
// signals go to the emulator, which passes them on, and the status is
// velmora's.
RunResult RunVelmoraInSim(const std::vector<std::string>& simArgs, const std::vector<std::string>& args,
                          const TempDir& dir, const RunOptions& options = {});

// A running velmora-sim. The constructor starts it and reads its "PTY <path>"
// line; the destructor stops it with SIGTERM and collects its output.
class Sim {
 public:
  explicit Sim(const std::vector<std::string>& args);
  ~Sim();
  Sim(const Sim&) = delete;
  Sim& operator=(const Sim&) = delete;
  const std::string& device() const { return device_; }
  // Waits for the simulator to end (at most `seconds`) and returns what it
  // printed after the PTY line; it is killed when it does not end in time.
  std::string Finish(double seconds = 10);
  int status() const { return status_; }

 private:
  pid_t pid_ = -1;
  int outFd_ = -1;
  std::string device_;
  std::string output_;
  int status_ = -1;
};

std::string ReadFile(const std::string& path);
std::string TestDataDir();  // the shared real-world files
std::string OwnDataDir();   // tests/data

}  // namespace e2e
