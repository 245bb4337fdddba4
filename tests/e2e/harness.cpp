#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace e2e {

namespace {

void RemoveTree(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (dir != nullptr) {
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      std::string full = path + "/" + name;
      struct stat st;
      if (lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        RemoveTree(full);
      } else {
        unlink(full.c_str());
      }
    }
    closedir(dir);
  }
  rmdir(path.c_str());
}

std::vector<char*> Argv(const std::string& program, const std::vector<std::string>& args,
                        std::vector<std::string>& storage) {
  storage.clear();
  storage.push_back(program);
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  return argv;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

int DecodeStatus(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

}  // namespace

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/velmora-e2e-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

TempDir::~TempDir() { RemoveTree(path_); }

void TempDir::Write(const std::string& name, const std::string& content) const {
  std::ofstream out(File(name), std::ios::binary);
  out << content;
}

std::string TempDir::Read(const std::string& name) const { return ReadFile(File(name)); }

bool TempDir::Exists(const std::string& name) const {
  struct stat st;
  return stat(File(name).c_str(), &st) == 0;
}

std::vector<std::string> TempDir::List() const {
  std::vector<std::string> names;
  DIR* dir = opendir(path_.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

RunResult Run(const std::string& program, const std::vector<std::string>& args, const TempDir& dir,
              const RunOptions& options) {
  int inPipe[2], outPipe[2];
  // Close-on-exec: a child started from another thread must not hold this
  // run's pipes open, or its end of input and output would never come.
  if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> storage;
  std::vector<char*> argv = Argv(program, args, storage);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(inPipe[0], STDIN_FILENO);
    dup2(outPipe[1], STDOUT_FILENO);
    dup2(outPipe[1], STDERR_FILENO);
    close(inPipe[0]);
    close(inPipe[1]);
    close(outPipe[0]);
    close(outPipe[1]);
    if (chdir(dir.path().c_str()) != 0) _exit(127);
    if (options.fileSizeLimit > 0) {
      rlimit limit{static_cast<rlim_t>(options.fileSizeLimit), static_cast<rlim_t>(options.fileSizeLimit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(inPipe[0]);
  close(outPipe[1]);
  // Standard input is small: write it whole, then close it (end of input).
  signal(SIGPIPE, SIG_IGN);
  size_t offset = 0;
  while (offset < options.stdinText.size()) {
    ssize_t n = write(inPipe[1], options.stdinText.data() + offset, options.stdinText.size() - offset);
    if (n <= 0) break;
    offset += static_cast<size_t>(n);
  }
  if (!options.keepStdinOpen) close(inPipe[1]);
  RunResult result;
  auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point seen, signalled;
  bool killed = false, marked = false, sent = false;
  for (;;) {
    pollfd pfd{outPipe[0], POLLIN, 0};
    int ready = poll(&pfd, 1, 10);
    if (ready > 0) {
      char buffer[4096];
      ssize_t n = read(outPipe[0], buffer, sizeof buffer);
      if (n <= 0) break;
      result.out.append(buffer, static_cast<size_t>(n));
    }
    if (options.signal != 0 && !marked && result.out.find(options.signalAfter) != std::string::npos) {
      marked = true;
      seen = std::chrono::steady_clock::now();
    }
    if (marked && !sent && Seconds(seen) >= options.signalDelay) {
      kill(pid, options.signal);
      sent = true;
      signalled = std::chrono::steady_clock::now();
    }
    if (!killed && Seconds(start) > options.timeoutSeconds) {
      kill(pid, SIGKILL);
      killed = true;
    }
  }
  close(outPipe[0]);
  int raw = 0;
  waitpid(pid, &raw, 0);
  if (sent) result.secondsAfterSignal = Seconds(signalled);
  if (options.keepStdinOpen) close(inPipe[1]);
  result.status = DecodeStatus(raw);
  return result;
}

RunResult RunVelmora(const std::vector<std::string>& args, const TempDir& dir, const RunOptions& options) {
  return Run(VELMORA_BIN, args, dir, options);
}

RunResult RunVelmoraInSim(const std::vector<std::string>& simArgs, const std::vector<std::string>& args,
                          const TempDir& dir, const RunOptions& options) {
#ifdef VELMORA_SIM_BIN
  // The umockdev preload comes before the sanitizer runtime, which the
  // sanitizer build must be told to accept.
  static const bool kLinkOrderAccepted = [] {
    const char* old = std::getenv("ASAN_OPTIONS");
    std::string value = old != nullptr && *old != '\0' ? std::string(old) + ":" : "";
    return setenv("ASAN_OPTIONS", (value + "verify_asan_link_order=0").c_str(), 1) == 0;
  }();
  (void)kLinkOrderAccepted;
  std::vector<std::string> all = simArgs;
  all.push_back("--");
  all.push_back(VELMORA_BIN);
  all.insert(all.end(), args.begin(), args.end());
  return Run(VELMORA_SIM_BIN, all, dir, options);
#else
  (void)simArgs, (void)args, (void)dir, (void)options;
  throw std::runtime_error("velmora-sim is not built");
#endif
}

Sim::Sim(const std::vector<std::string>& args) {
#ifdef VELMORA_SIM_BIN
  int outPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> storage;
  std::vector<char*> argv = Argv(VELMORA_SIM_BIN, args, storage);
  pid_ = fork();
  if (pid_ == 0) {
    int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, STDIN_FILENO);
    dup2(outPipe[1], STDOUT_FILENO);
    dup2(outPipe[1], STDERR_FILENO);
    close(outPipe[0]);
    close(outPipe[1]);
    execv(VELMORA_SIM_BIN, argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  outFd_ = outPipe[0];
  // The first line names the device; wait for it at most 10 s.
  auto start = std::chrono::steady_clock::now();
  std::string text;
  while (text.find('\n') == std::string::npos && Seconds(start) < 10) {
    pollfd pfd{outFd_, POLLIN, 0};
    if (poll(&pfd, 1, 100) > 0) {
      char c[256];
      ssize_t n = read(outFd_, c, sizeof c);
      if (n <= 0) break;
      text.append(c, static_cast<size_t>(n));
    }
  }
  size_t eol = text.find('\n');
  if (eol == std::string::npos || text.compare(0, 4, "PTY ") != 0) {
    throw std::runtime_error("velmora-sim did not name its device: " + text);
  }
  device_ = text.substr(4, eol - 4);
  output_ = text.substr(eol + 1);
#else
  (void)args;
  throw std::runtime_error("velmora-sim is not built");
#endif
}

std::string Sim::Finish(double seconds) {
  if (pid_ <= 0) return output_;
  auto start = std::chrono::steady_clock::now();
  bool killed = false;
  for (;;) {
    pollfd pfd{outFd_, POLLIN, 0};
    if (poll(&pfd, 1, 100) > 0) {
      char buffer[4096];
      ssize_t n = read(outFd_, buffer, sizeof buffer);
      if (n <= 0) break;
      output_.append(buffer, static_cast<size_t>(n));
    }
    if (!killed && Seconds(start) > seconds) {
      kill(pid_, SIGKILL);
      killed = true;
    }
  }
  int raw = 0;
  waitpid(pid_, &raw, 0);
  status_ = DecodeStatus(raw);
  pid_ = -1;
  close(outFd_);
  outFd_ = -1;
  return output_;
}

Sim::~Sim() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    Finish(5);
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string TestDataDir() { return VELMORA_TESTDATA_DIR; }
std::string OwnDataDir() { return VELMORA_TEST_DATA; }

}  // namespace e2e
