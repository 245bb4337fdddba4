// End-to-end harness: runs the real programs in a fresh temporary folder,
// with arguments, an optional configuration file and standard input.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
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

// Runs `program` with `args` in `dir` to its end.
RunResult Run(const std::string& program, const std::vector<std::string>& args, const TempDir& dir,
              const RunOptions& options = {});
RunResult RunVelmora(const std::vector<std::string>& args, const TempDir& dir, const RunOptions& options = {});
// Runs velmora inside an emulator that hosts it (`velmora-sim SIMARGS --
// velmora ARGS`, for devices the emulator fakes in velmora's own process):
// signals go to the emulator, which passes them on, and the status is
// velmora's.
RunResult RunVelmoraInSim(const std::vector<std::string>& simArgs, const std::vector<std::string>& args,
                          const TempDir& dir, const RunOptions& options = {});

// A program running in `dir` that the test watches and signals while it
// runs; `stdinText` is fed to its standard input, which then closes.
class Process {
 public:
  // keepStdinOpen: the input never ends (a pilot who does not answer);
  // fileSizeLimit: bytes a file may grow to (ulimit -f), 0 for no limit.
  Process(const std::string& program, const std::vector<std::string>& args, const TempDir& dir,
          const std::string& stdinText = "", bool keepStdinOpen = false, long fileSizeLimit = 0);
  ~Process();  // kills it when still running
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  void Signal(int sig);
  // Reads the output until `done` holds for it (true) or `seconds` pass.
  bool WaitFor(const std::function<bool(const std::string&)>& done, double seconds);
  bool WaitForText(const std::string& text, double seconds);
  // Reads to the end and returns the exit status (128 + signal number); kills
  // it when it does not end within `seconds`.
  int Wait(double seconds);
  const std::string& out() const { return out_; }

 private:
  bool ReadSome(int ms);  // false at the end of the output
  pid_t pid_ = -1;
  int fd_ = -1;
  int in_ = -1;  // standard input kept open
  int status_ = -1;
  std::string out_;
};

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
  TempDir dir_;
  std::unique_ptr<Process> process_;
  std::string device_;
  int status_ = -1;
};

// An instrument the test plays itself on a pseudo-terminal, for behaviour
// the emulator never shows. `answer` sees what came since its last reply;
// when it returns true, that text is dropped and `reply` is sent. Setting
// `*flood` makes the line carry noise (no "$", no block type) from then on.
class FakeInstrument {
 public:
  using Answer = std::function<bool(const std::string& received, std::string* reply, bool* flood)>;
  explicit FakeInstrument(Answer answer);
  ~FakeInstrument();
  FakeInstrument(const FakeInstrument&) = delete;
  FakeInstrument& operator=(const FakeInstrument&) = delete;
  const std::string& device() const { return device_; }

 private:
  void Serve();
  Answer answer_;
  int master_ = -1;
  std::string device_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// "$" + body + "*" + its checksum in upper-case hex + CR LF.
std::string Sentence(const std::string& body);

std::string ReadFile(const std::string& path);
std::string TestDataDir();  // tests/data/real: real flights, receiver logs, schemas
std::string OwnDataDir();   // tests/data

// The expected text kept as tests/data/expected/NAME. With
// VELMORA_UPDATE_EXPECTED=1 in the environment, `actual` is written there
// first: that is how a reviewed change of output is recorded.
std::string Expected(const std::string& name, const std::string& actual);
// Output as it is kept in expected files: the folder `dir` reads DIR, a
// progress counter shows only its last value, the reader's full-FIFO notice
// (a pause that loses nothing) is taken out, and an IGC file's download time
// and G record read TIME and GSIGNATURE.
std::string Stable(std::string text, const TempDir& dir);

}  // namespace e2e
