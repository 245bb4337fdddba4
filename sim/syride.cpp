// velmora-sim syride [options] -- COMMAND...: emulated /dev/hidrawN nodes
// (umockdev) with a Syride among foreign HID devices, and COMMAND run against
// them under the umockdev preload. Exits with COMMAND's status.
//
// Each node is a named pipe, so that a client waiting in poll sees the truth:
// the emulator puts one byte into it for every reply that is ready and takes
// one out as the reply is read. The preload answers open, ioctl, read and
// write through the handlers below, which run on this process's main loop.
//
// Events go to the --log file, one flushed line each:
//   DEVICE hidrawN VVVV:PPPP syride|foreign     FLIGHT k <start> <seconds> s block B <bytes> bytes
//   INFO hidrawN         the raw-info ioctl was answered
//   FOREIGN WRITE hidrawN <bytes>               a report sent to a foreign device
//   RX n version|serial|count|flight i|read 0xADDRESS length
//   FAULT n marker|checksum|short|silent        BAD REQUEST n <why>, STRAY READ n ...
//   EXIT <status> cpu <seconds>                 COMMAND ended, and the CPU time it used
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <glib-unix.h>
#include <linux/hidraw.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <umockdev.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "families.h"
#include "flight.h"
#include "syride_device.h"

namespace sim {

namespace {

constexpr option kOptions[] = {
    {"model", required_argument, nullptr, 'm'},       {"firmware", required_argument, nullptr, 'w'},
    {"serial", required_argument, nullptr, 's'},      {"flight", required_argument, nullptr, 'f'},
    {"duration", required_argument, nullptr, 'd'},    {"empty", no_argument, nullptr, 'e'},
    {"no-fix", required_argument, nullptr, 'n'},      {"node", required_argument, nullptr, 'N'},
    {"foreign", required_argument, nullptr, 'F'},     {"no-syride", no_argument, nullptr, 'X'},
    {"bad-marker", required_argument, nullptr, 'M'},  {"bad-checksum", required_argument, nullptr, 'C'},
    {"short-read", required_argument, nullptr, 'S'},  {"no-reply", required_argument, nullptr, 'R'},
    {"chain-ends-early", no_argument, nullptr, 'E'},  {"chain-loops", no_argument, nullptr, 'L'},
    {"delay", required_argument, nullptr, 'D'},       {"log", required_argument, nullptr, 'l'},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

const char* const kSyrideUsage =
    "    velmora-sim syride [options] -- COMMAND...   runs COMMAND against emulated hidraw nodes\n"
    "    --model v3|earlier  the generation (v3): product 0x5754 or 0x5753\n"
    "    --firmware M.N      version (1.21 for the V3, 3.16 for earlier models: the first with\n"
    "                        barometric altitude records; the V3 has them from 1.21, the earlier\n"
    "                        models from 3.16)\n"
    "    --serial N          serial number (12345)\n"
    "    --flight FILE.igc   store this flight (repeatable, the first is flight 1); a second the\n"
    "                        file skips repeats the fix before it\n"
    "    --duration SECONDS  store a synthetic flight of SECONDS (at most 65535) after them;\n"
    "                        without either, a built-in synthetic flight of 401 seconds\n"
    "    --empty             the memory holds no flight\n"
    "    --no-fix MINUTES    every flight starts with MINUTES of records at 0/0\n"
    "    --node N            the Syride is /dev/hidrawN (2)\n"
    "    --foreign N[:VVVV:PPPP]  a foreign HID device at /dev/hidrawN (repeatable; hex vendor and\n"
    "                        product, 0483:5740 when left out). Without it: 046d:c52b at hidraw0\n"
    "                        and 0483:5740 at hidraw1\n"
    "    --no-syride         only the foreign devices\n"
    "    --bad-marker N[:COUNT]    replies to requests N.. (counted from 1) carry byte 62 = 24\n"
    "    --bad-checksum N[:COUNT]  ... a wrong checksum\n"
    "    --short-read N[:COUNT]    ... are 32 bytes long\n"
    "    --no-reply N[:COUNT]      ... never come. COUNT 1 when left out, 0: every request from N on\n"
    "    --chain-ends-early  earlier models: the block chain of a flight ends one block early\n"
    "    --chain-loops       earlier models: it points back to the flight's first block instead\n"
    "    --delay MS          every reply is ready MS milliseconds after its request\n"
    "    --log FILE          the event log (see the top of sim/syride.cpp)\n"
    "  COMMAND runs with LD_PRELOAD=libumockdev-preload.so.0 and UMOCKDEV_DIR set; SIGINT and\n"
    "  SIGTERM are passed on to it.";

namespace {

constexpr uint16_t kSyrideVendor = 0x0483;
constexpr uint16_t kV3Product = 0x5754, kEarlierProduct = 0x5753;
constexpr unsigned kMaxNode = 9999;

struct NodeSpec {
  unsigned nNumber;
  uint16_t wVendor, wProduct;
};

struct Options {
  SyrideConfig config;
  std::vector<std::string> flightFiles;
  uint32_t nDuration = 0;
  bool bEmpty = false;
  unsigned nNode = 2;
  bool bSyride = true;
  std::vector<NodeSpec> foreign;
  unsigned nDelayMs = 0;
  std::string szLog;
};

bool ParseUnsigned(const char* text, unsigned long max, unsigned* value, const char** rest = nullptr) {
  if (*text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long v = std::strtoul(text, &end, 10);
  if (errno != 0 || v > max || (rest == nullptr && *end != '\0')) return false;
  if (rest != nullptr) *rest = end;
  *value = static_cast<unsigned>(v);
  return true;
}

bool ParseFault(const char* text, FaultRange* f) {
  const char* rest;
  unsigned first, count = 1;
  if (!ParseUnsigned(text, 1u << 30, &first, &rest) || first == 0) return false;
  if (*rest == ':' && !ParseUnsigned(rest + 1, 1u << 30, &count)) return false;
  if (*rest != '\0' && *rest != ':') return false;
  *f = FaultRange{first, count};
  return true;
}

bool ParseForeign(const char* text, NodeSpec* spec) {
  const char* rest;
  unsigned vendor = kSyrideVendor, product = 0x5740;
  if (!ParseUnsigned(text, kMaxNode, &spec->nNumber, &rest)) return false;
  if (*rest == ':') {
    if (std::sscanf(rest, ":%4x:%4x", &vendor, &product) != 2) return false;
  } else if (*rest != '\0') {
    return false;
  }
  spec->wVendor = static_cast<uint16_t>(vendor);
  spec->wProduct = static_cast<uint16_t>(product);
  return true;
}

// Options up to "--"; *command receives the first word of COMMAND.
bool ParseOptions(int argc, char** argv, Options* o, int* command) {
  // argv[-1] is the family name, which getopt takes for the program's.
  argc += 1;
  argv -= 1;
  optind = 1;
  opterr = 1;
  int c, index = 0;
  unsigned v = 0;
  while ((c = getopt_long(argc, argv, "+", kOptions, &index)) != -1) {
    bool ok = true;
    switch (c) {
      case 'm':
        ok = std::strcmp(optarg, "v3") == 0 || std::strcmp(optarg, "earlier") == 0;
        o->config.bV3 = std::strcmp(optarg, "v3") == 0;
        break;
      case 'w': {
        const char* rest;
        ok = ParseUnsigned(optarg, 0xFFFFFFFFul, &o->config.dwMajor, &rest) && *rest == '.' &&
             ParseUnsigned(rest + 1, 0xFFFFFFFFul, &o->config.dwMinor) &&
             (o->config.dwMajor | o->config.dwMinor) != 0;
        break;
      }
      case 's': ok = ParseUnsigned(optarg, 0xFFFFFFFFul, &o->config.dwSerial); break;
      case 'f': o->flightFiles.emplace_back(optarg); break;
      case 'd': ok = ParseUnsigned(optarg, 65535, &o->nDuration) && o->nDuration > 0; break;
      case 'e': o->bEmpty = true; break;
      case 'n':
        ok = ParseUnsigned(optarg, 60, &v);
        o->config.nNoFix = v * 60;
        break;
      case 'N': ok = ParseUnsigned(optarg, kMaxNode, &o->nNode); break;
      case 'F': {
        NodeSpec spec;
        ok = ParseForeign(optarg, &spec);
        o->foreign.push_back(spec);
        break;
      }
      case 'X': o->bSyride = false; break;
      case 'M': ok = ParseFault(optarg, &o->config.faults[kFaultMarker]); break;
      case 'C': ok = ParseFault(optarg, &o->config.faults[kFaultChecksum]); break;
      case 'S': ok = ParseFault(optarg, &o->config.faults[kFaultShort]); break;
      case 'R': ok = ParseFault(optarg, &o->config.faults[kFaultSilent]); break;
      case 'E': o->config.eChain = kChainEndsEarly; break;
      case 'L': o->config.eChain = kChainLoops; break;
      case 'D': ok = ParseUnsigned(optarg, 60000, &o->nDelayMs); break;
      case 'l': o->szLog = optarg; break;
      default: return false;
    }
    if (!ok) {
      std::printf("velmora-sim: bad value for --%s: %s\n", kOptions[index].name, optarg);
      return false;
    }
  }
  if (optind >= argc) {
    std::printf("velmora-sim: no COMMAND after --\n");
    return false;
  }
  if (o->foreign.empty()) o->foreign = {{0, 0x046d, 0xc52b}, {1, kSyrideVendor, 0x5740}};
  for (const NodeSpec& f : o->foreign) {
    if (o->bSyride && f.nNumber == o->nNode) {
      std::printf("velmora-sim: hidraw%u is the Syride's node\n", f.nNumber);
      return false;
    }
  }
  *command = optind - 1;  // counted in the caller's argv
  return true;
}

struct Node {
  std::string szName;  // "hidrawN"
  uint16_t wVendor, wProduct;
  bool bSyride;
  int hPipe = -1;  // our end of the named pipe that stands for the node
  std::deque<std::vector<uint8_t>> ready;
  UMockdevIoctlBase* pHandler = nullptr;
};

struct Host {
  SyrideInstrument instrument;
  std::vector<Node*> nodes;
  unsigned nDelayMs = 0;
  pid_t child = -1;
  int nStatus = 1;
  GMainLoop* pLoop = nullptr;
};

Host* pHost = nullptr;

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  Node* node = static_cast<Node*>(data);
  if (umockdev_ioctl_client_get_request(client) != HIDIOCGRAWINFO) {
    umockdev_ioctl_client_complete(client, -1, ENOTTY);
    return TRUE;
  }
  GError* error = nullptr;
  UMockdevIoctlData* arg =
      umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(hidraw_devinfo), &error);
  if (arg == nullptr) {
    g_clear_error(&error);
    umockdev_ioctl_client_complete(client, -1, EFAULT);
    return TRUE;
  }
  hidraw_devinfo info{3 /* BUS_USB */, static_cast<__s16>(node->wVendor), static_cast<__s16>(node->wProduct)};
  umockdev_ioctl_data_update(arg, 0, reinterpret_cast<guint8*>(&info), sizeof info);
  umockdev_ioctl_data_unref(arg);
  SyrideLog(&pHost->instrument, "INFO %s", node->szName.c_str());
  umockdev_ioctl_client_complete(client, 0, 0);
  return TRUE;
}

void MakeReady(Node* node, std::vector<uint8_t> reply) {
  node->ready.push_back(std::move(reply));
  uint8_t token = 1;
  if (write(node->hPipe, &token, 1) != 1) SyrideLog(&pHost->instrument, "PIPE FULL %s", node->szName.c_str());
}

struct Delayed {
  Node* node;
  std::vector<uint8_t> reply;
};

gboolean OnDelayElapsed(gpointer data) {
  Delayed* d = static_cast<Delayed*>(data);
  MakeReady(d->node, std::move(d->reply));
  delete d;
  return G_SOURCE_REMOVE;
}

gboolean OnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  Node* node = static_cast<Node*>(data);
  guint8* bytes = nullptr;
  gint length = 0;
  // The bytes come as a copy of ours to release.
  umockdev_ioctl_data_retrieve(umockdev_ioctl_client_get_arg(client), &bytes, &length);
  std::vector<uint8_t> request(bytes, bytes + (length > 0 ? length : 0));
  g_free(bytes);
  umockdev_ioctl_client_complete(client, length, 0);
  if (!node->bSyride) {
    SyrideLog(&pHost->instrument, "FOREIGN WRITE %s %d", node->szName.c_str(), length);
    return TRUE;
  }
  std::vector<uint8_t> reply;
  if (!AnswerSyrideRequest(&pHost->instrument, request.data(), request.size(), &reply)) return TRUE;
  if (pHost->nDelayMs == 0) {
    MakeReady(node, std::move(reply));
  } else {
    g_timeout_add(pHost->nDelayMs, OnDelayElapsed, new Delayed{node, std::move(reply)});
  }
  return TRUE;
}

gboolean OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  Node* node = static_cast<Node*>(data);
  // Nothing ready: a read kept waiting would hold up every other call the
  // preload passes on for this descriptor.
  if (node->ready.empty()) {
    umockdev_ioctl_client_complete(client, -1, EAGAIN);
    return TRUE;
  }
  std::vector<uint8_t> reply = std::move(node->ready.front());
  node->ready.pop_front();
  uint8_t token;
  if (read(node->hPipe, &token, 1) != 1) SyrideLog(&pHost->instrument, "PIPE EMPTY %s", node->szName.c_str());
  umockdev_ioctl_data_update(umockdev_ioctl_client_get_arg(client), 0, reply.data(), static_cast<gint>(reply.size()));
  umockdev_ioctl_client_complete(client, static_cast<glong>(reply.size()), 0);
  return TRUE;
}

void OnChildExit(GPid, gint status, gpointer) {
  pHost->nStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  g_main_loop_quit(pHost->pLoop);
}

gboolean OnStopSignal(gpointer data) {
  if (pHost->child > 0) kill(pHost->child, GPOINTER_TO_INT(data));
  return G_SOURCE_CONTINUE;
}

// Registers /dev/hidrawN in the testbed, makes its node a named pipe and
// attaches the handlers; null with a message on failure.
Node* AddNode(UMockdevTestbed* testbed, const std::string& root, unsigned number, uint16_t vendor, uint16_t product,
              bool syride) {
  Node* node = new Node;
  node->szName = "hidraw" + std::to_string(number);
  node->wVendor = vendor;
  node->wProduct = product;
  node->bSyride = syride;
  std::string dev = "/dev/" + node->szName, majorMinor = "241:" + std::to_string(number);
  gchar* syspath = umockdev_testbed_add_device(testbed, "hidraw", node->szName.c_str(), nullptr, "dev",
                                               majorMinor.c_str(), nullptr, "DEVNAME", dev.c_str(), nullptr);
  g_free(syspath);
  std::string path = root + dev;
  if (mkfifo(path.c_str(), 0666) != 0 || (node->hPipe = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0) {
    std::printf("velmora-sim: cannot make %s: %s\n", path.c_str(), std::strerror(errno));
    delete node;
    return nullptr;
  }
  node->pHandler = umockdev_ioctl_base_new();
  g_signal_connect(node->pHandler, "handle-ioctl", G_CALLBACK(OnIoctl), node);
  g_signal_connect(node->pHandler, "handle-read", G_CALLBACK(OnRead), node);
  g_signal_connect(node->pHandler, "handle-write", G_CALLBACK(OnWrite), node);
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(testbed, dev.c_str(), node->pHandler, &error)) {
    std::printf("velmora-sim: cannot attach to %s: %s\n", dev.c_str(), error->message);
    g_clear_error(&error);
    close(node->hPipe);
    g_object_unref(node->pHandler);
    delete node;
    return nullptr;
  }
  SyrideLog(&pHost->instrument, "DEVICE %s %04x:%04x %s", node->szName.c_str(), vendor, product,
            syride ? "syride" : "foreign");
  return node;
}

bool LoadFlights(const Options& o, std::vector<Flight>* flights) {
  if (o.bEmpty) return true;
  for (const std::string& path : o.flightFiles) {
    Flight flight;
    int skipped = 0;
    std::string error;
    if (!ReadIgcFlight(path, &flight, &skipped, &error)) {
      std::printf("velmora-sim: %s\n", error.c_str());
      return false;
    }
    flights->push_back(std::move(flight));
  }
  if (o.nDuration > 0) flights->push_back(MakeLongFlight(o.nDuration));
  if (flights->empty()) flights->push_back(MakeSyntheticFlight());
  return true;
}

void LogFlights(const SyrideInstrument& inst) {
  for (size_t k = 0; k < inst.flights.size(); ++k) {
    const SyrideFlightEntry& f = inst.flights[k];
    CalendarTime t = SplitSecondsSince2000(f.dwUnixStart - 946684800u);
    SyrideLog(&inst, "FLIGHT %zu %04d-%02d-%02d %02d:%02d:%02d %u s block %u %u bytes", k + 1, t.nYear, t.nMonth,
              t.nDay, t.nHour, t.nMinute, t.nSecond, f.nDuration, f.nBlock, f.nSize);
  }
}

pid_t StartCommand(char** command) {
  std::string preload = "libumockdev-preload.so.0";
  if (const char* old = std::getenv("LD_PRELOAD"); old != nullptr && *old != '\0') preload += std::string(":") + old;
  pid_t pid = fork();
  if (pid == 0) {
    setenv("LD_PRELOAD", preload.c_str(), 1);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    execvp(command[0], command);
    std::printf("velmora-sim: cannot run %s: %s\n", command[0], std::strerror(errno));
    std::fflush(stdout);
    _exit(127);
  }
  return pid;
}

}  // namespace

int RunSyride(int argc, char** argv) {
  Options options;
  int command = 0;
  if (!ParseOptions(argc, argv, &options, &command)) {
    std::printf("options of velmora-sim syride:\n%s\n", kSyrideUsage);
    return 2;
  }
  Host host;
  pHost = &host;
  if (!options.szLog.empty()) {
    host.instrument.pLog = std::fopen(options.szLog.c_str(), "w");
    if (host.instrument.pLog == nullptr) {
      std::printf("velmora-sim: cannot write %s\n", options.szLog.c_str());
      return 2;
    }
  }
  std::vector<Flight> flights;
  std::string error;
  if (!LoadFlights(options, &flights)) return 2;
  if (!BuildSyride(options.config, flights, &host.instrument, &error)) {
    std::printf("velmora-sim: %s\n", error.c_str());
    return 2;
  }
  host.nDelayMs = options.nDelayMs;
  LogFlights(host.instrument);

  UMockdevTestbed* testbed = umockdev_testbed_new();
  gchar* rootDir = umockdev_testbed_get_root_dir(testbed);
  std::string root = rootDir;
  g_free(rootDir);
  bool ok = true;
  for (const NodeSpec& f : options.foreign) {
    Node* node = AddNode(testbed, root, f.nNumber, f.wVendor, f.wProduct, false);
    ok = ok && node != nullptr;
    if (node != nullptr) host.nodes.push_back(node);
  }
  if (ok && options.bSyride) {
    Node* node = AddNode(testbed, root, options.nNode, kSyrideVendor,
                         options.config.bV3 ? kV3Product : kEarlierProduct, true);
    ok = node != nullptr;
    if (node != nullptr) host.nodes.push_back(node);
  }
  if (ok) {
    host.pLoop = g_main_loop_new(nullptr, FALSE);
    g_unix_signal_add(SIGINT, OnStopSignal, GINT_TO_POINTER(SIGINT));
    g_unix_signal_add(SIGTERM, OnStopSignal, GINT_TO_POINTER(SIGTERM));
    std::fflush(stdout);
    host.child = StartCommand(argv + command);
    if (host.child > 0) {
      g_child_watch_add(host.child, OnChildExit, nullptr);
      g_main_loop_run(host.pLoop);
      rusage usage;
      getrusage(RUSAGE_CHILDREN, &usage);
      double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
      SyrideLog(&host.instrument, "EXIT %d cpu %.3f", host.nStatus, cpu);
    }
    g_main_loop_unref(host.pLoop);
  }
  for (Node* node : host.nodes) {
    umockdev_testbed_detach_ioctl(testbed, ("/dev/" + node->szName).c_str(), nullptr);
    if (node->pHandler != nullptr) g_object_unref(node->pHandler);
    if (node->hPipe >= 0) close(node->hPipe);
    delete node;
  }
  g_object_unref(testbed);
  if (host.instrument.pLog != nullptr) std::fclose(host.instrument.pLog);
  pHost = nullptr;
  return ok ? host.nStatus : 1;
}

}  // namespace sim
