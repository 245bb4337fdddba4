#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace e2e {

namespace {

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

// Reads `fd` to its end, kills `pid` when that takes over `seconds`, closes
// `fd` and returns the exit status (128 + signal number when killed).
int Collect(int fd, pid_t pid, double seconds, std::string* out) {
  auto start = std::chrono::steady_clock::now();
  bool killed = false;
  for (;;) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, 100) > 0) {
      char buffer[4096];
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      out->append(buffer, static_cast<size_t>(n));
    }
    if (!killed && Seconds(start) > seconds) {
      kill(pid, SIGKILL);
      killed = true;
    }
  }
  close(fd);
  int raw = 0;
  waitpid(pid, &raw, 0);
  return DecodeStatus(raw);
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

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void TempDir::Write(const std::string& name, const std::string& content) const {
  std::ofstream out(File(name), std::ios::binary);
  out << content;
}

std::string TempDir::Read(const std::string& name) const { return ReadFile(File(name)); }

bool TempDir::Exists(const std::string& name) const { return std::filesystem::exists(File(name)); }

std::vector<std::string> TempDir::List() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path_)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

Process::Process(const std::string& program, const std::vector<std::string>& args, const TempDir& dir,
                 const std::string& stdinText, bool keepStdinOpen, long fileSizeLimit) {
  int inPipe[2], outPipe[2];
  // Close-on-exec: a child started from another thread must not hold this
  // run's pipes open, or its end of input and output would never come.
  if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> storage;
  std::vector<char*> argv = Argv(program, args, storage);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(inPipe[0], STDIN_FILENO);
    dup2(outPipe[1], STDOUT_FILENO);
    dup2(outPipe[1], STDERR_FILENO);
    for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1]}) close(fd);
    if (chdir(dir.path().c_str()) != 0) _exit(127);
    if (fileSizeLimit > 0) {
      rlimit limit{static_cast<rlim_t>(fileSizeLimit), static_cast<rlim_t>(fileSizeLimit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(inPipe[0]);
  close(outPipe[1]);
  fd_ = outPipe[0];
  // Standard input is small: write it whole, then close it (end of input).
  signal(SIGPIPE, SIG_IGN);
  for (size_t offset = 0; offset < stdinText.size();) {
    ssize_t n = write(inPipe[1], stdinText.data() + offset, stdinText.size() - offset);
    if (n <= 0) break;
    offset += static_cast<size_t>(n);
  }
  if (keepStdinOpen) {
    in_ = inPipe[1];
  } else {
    close(inPipe[1]);
  }
}

Process::~Process() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    Wait(5);
  }
  if (in_ >= 0) close(in_);
}

void Process::Signal(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

bool Process::ReadSome(int ms) {
  pollfd pfd{fd_, POLLIN, 0};
  if (poll(&pfd, 1, ms) <= 0) return true;
  char buffer[4096];
  ssize_t n = read(fd_, buffer, sizeof buffer);
  if (n <= 0) return false;
  out_.append(buffer, static_cast<size_t>(n));
  return true;
}

bool Process::WaitFor(const std::function<bool(const std::string&)>& done, double seconds) {
  auto start = std::chrono::steady_clock::now();
  while (!done(out_)) {
    double left = seconds - Seconds(start);
    if (left <= 0 || fd_ < 0 || !ReadSome(left > 0.1 ? 100 : 1)) return done(out_);
  }
  return true;
}

bool Process::WaitForText(const std::string& text, double seconds) {
  return WaitFor([&](const std::string& out) { return out.find(text) != std::string::npos; }, seconds);
}

int Process::Wait(double seconds) {
  if (pid_ <= 0) return status_;
  status_ = Collect(fd_, pid_, seconds, &out_);
  pid_ = fd_ = -1;
  if (in_ >= 0) close(in_);
  in_ = -1;
  return status_;
}

RunResult Run(const std::string& program, const std::vector<std::string>& args, const TempDir& dir,
              const RunOptions& options) {
  Process process(program, args, dir, options.stdinText, options.keepStdinOpen, options.fileSizeLimit);
  RunResult result;
  auto start = std::chrono::steady_clock::now(), signalled = start;
  bool sent = false;
  if (options.signal != 0 && process.WaitForText(options.signalAfter, options.timeoutSeconds)) {
    process.WaitFor([](const std::string&) { return false; }, options.signalDelay);
    process.Signal(options.signal);
    signalled = std::chrono::steady_clock::now();
    sent = true;
  }
  double left = options.timeoutSeconds - Seconds(start);
  result.status = process.Wait(left > 0 ? left : 0);
  if (sent) result.secondsAfterSignal = Seconds(signalled);
  result.out = process.out();
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
  process_ = std::make_unique<Process>(VELMORA_SIM_BIN, args, dir_);
  // The first line names the device; wait for it at most 10 s.
  const std::string& out = process_->out();
  if (!process_->WaitForText("\n", 10) || out.compare(0, 4, "PTY ") != 0) {
    throw std::runtime_error("velmora-sim did not name its device: " + out);
  }
  device_ = out.substr(4, out.find('\n') - 4);
#else
  (void)args;
  throw std::runtime_error("velmora-sim is not built");
#endif
}

std::string Sim::Finish(double seconds) {
  status_ = process_->Wait(seconds);
  return process_->out().substr(process_->out().find('\n') + 1);
}

Sim::~Sim() {
  process_->Signal(SIGTERM);
  Finish(5);
}

FakeInstrument::FakeInstrument(Answer answer) : answer_(std::move(answer)) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("no pty");
  device_ = ptsname(master_);
  int slave = open(device_.c_str(), O_RDWR | O_NOCTTY);  // raw before anything passes
  termios tio;
  if (slave >= 0 && tcgetattr(slave, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
  }
  if (slave >= 0) close(slave);
  fcntl(master_, F_SETFL, O_NONBLOCK);
  thread_ = std::thread([this] { Serve(); });
}

FakeInstrument::~FakeInstrument() {
  stop_ = true;
  thread_.join();
  close(master_);
}

void FakeInstrument::Serve() {
  std::string received, reply;
  bool flood = false;
  auto send = [this](const std::string& bytes) {
    for (size_t done = 0; done < bytes.size() && !stop_;) {
      ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) done += static_cast<size_t>(n);
      if (n <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  while (!stop_) {
    if (flood) {
      send(std::string(64, 'x'));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    pollfd pfd{master_, POLLIN, 0};
    if (poll(&pfd, 1, flood ? 0 : 20) <= 0 || !(pfd.revents & POLLIN)) {
      // No client on the line yet, or it has gone.
      if (pfd.revents & POLLHUP) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    char buffer[256];
    ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) continue;
    received.append(buffer, static_cast<size_t>(n));
    reply.clear();
    if (answer_(received, &reply, &flood)) {
      received.clear();
      send(reply);
    }
  }
}

std::string Sentence(const std::string& body) {
  unsigned sum = 0;
  for (char c : body) sum ^= static_cast<unsigned char>(c);
  char tail[8];
  std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
  return "$" + body + tail;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string TestDataDir() { return VELMORA_TESTDATA_DIR; }
std::string OwnDataDir() { return VELMORA_TEST_DATA; }

std::string Expected(const std::string& name, const std::string& actual) {
  std::string path = OwnDataDir() + "/expected/" + name;
  const char* update = std::getenv("VELMORA_UPDATE_EXPECTED");
  if (update != nullptr && std::strcmp(update, "1") == 0) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << actual;
  }
  return ReadFile(path);
}

std::string Stable(std::string text, const TempDir& dir) {
  for (size_t at; (at = text.find(dir.path())) != std::string::npos;) text.replace(at, dir.path().size(), "DIR");
  for (size_t at; (at = text.find("\nCOM FIFO full")) != std::string::npos;) text.erase(at, 14);
  // A counter erases its last value with one backspace per digit.
  for (size_t at; (at = text.find('\b')) != std::string::npos;) {
    size_t end = text.find_first_not_of('\b', at);
    if (end == std::string::npos) end = text.size();
    size_t n = end - at;
    text.erase(at >= n ? at - n : 0, at >= n ? 2 * n : end);
  }
  const std::string downloaded = "LXVM Downloaded ";
  for (size_t at = text.find(downloaded); at != std::string::npos; at = text.find(downloaded, at + 1)) {
    size_t end = text.find('\r', at);
    text.replace(at + downloaded.size(), end - at - downloaded.size(), "TIME");
  }
  for (size_t at = text.find("\r\nG"); at != std::string::npos; at = text.find("\r\nG", at + 1)) {
    size_t end = text.find('\r', at + 2);
    if (end == at + 19 && text.find_first_not_of("0123456789ABCDEF", at + 3) == end) {
      text.replace(at + 3, 16, "SIGNATURE");
    }
  }
  size_t metadata = text.find("<metadata>");
  size_t time = text.find("<time>", metadata == std::string::npos ? text.size() : metadata);
  if (time != std::string::npos && time < text.find("</metadata>")) {
    text.replace(time + 6, text.find("</time>", time) - time - 6, "NOW");
  }
  return text;
}

}  // namespace e2e
