// Track cleaning, track selection and trimming through real downloads: the
// Flymaster emulator serves a real flight spoiled the ways real logs are
// (pauses between flights, time stamps stepping back, a position spike, a
// pilot standing on launch), the real program downloads it over a
// pseudo-terminal and saves it, and the B records it writes are held against
// the points served, read from the source IGC file by a reader of our own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "harness.h"

using e2e::RunOptions;
using e2e::RunResult;
using e2e::Sim;
using e2e::TempDir;

namespace {

// Starts standing on launch, flies for about a minute and a half, lands and
// walks about on the ground for two minutes: 221 fixes at 1 s.
std::string Marcourt() { return e2e::TestDataDir() + "/igc/marcourt.igc"; }

// One fix as IGC B records carry it: UTC seconds of the day, position in
// thousandths of a minute (north and east positive), GNSS altitude in metres.
struct Fix {
  int32_t nTime;
  int32_t nLatitude;
  int32_t nLongitude;
  int32_t nAltitude;
  bool operator==(const Fix&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Fix& f) {
  return out << "{t " << f.nTime << ", lat " << f.nLatitude << ", lon " << f.nLongitude << ", alt " << f.nAltitude
             << "}";
}

bool ReadDigits(std::string_view s, size_t at, size_t count, int32_t* value) {
  if (at + count > s.size()) return false;
  int32_t v = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  *value = v;
  return true;
}

// B HHMMSS DDMMmmm N DDDMMmmm E V PPPPP GGGGG; a B record that does not read
// fails the test.
std::vector<Fix> ReadFixes(const std::string& igc) {
  std::vector<Fix> fixes;
  std::istringstream in(igc);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] != 'B') continue;
    int32_t hh, mi, ss, latDeg, latMin, lonDeg, lonMin, alt;
    bool bNegative = line.size() >= 35 && line[30] == '-';
    bool ok = line.size() >= 35 && ReadDigits(line, 1, 2, &hh) && ReadDigits(line, 3, 2, &mi) &&
              ReadDigits(line, 5, 2, &ss) && ReadDigits(line, 7, 2, &latDeg) && ReadDigits(line, 9, 5, &latMin) &&
              ReadDigits(line, 15, 3, &lonDeg) && ReadDigits(line, 18, 5, &lonMin) &&
              (line[14] == 'N' || line[14] == 'S') && (line[23] == 'E' || line[23] == 'W') &&
              ReadDigits(line, bNegative ? 31 : 30, bNegative ? 4 : 5, &alt);
    if (!ok) {
      ADD_FAILURE() << "unreadable B record: " << line;
      continue;
    }
    Fix f{hh * 3600 + mi * 60 + ss, latDeg * 60000 + latMin, lonDeg * 60000 + lonMin, bNegative ? -alt : alt};
    if (line[14] == 'S') f.nLatitude = -f.nLatitude;
    if (line[23] == 'W') f.nLongitude = -f.nLongitude;
    fixes.push_back(f);
  }
  return fixes;
}

// The ways the emulator spoils a log, and what it does with them: still
// fixes at the first position before it, later points moved on, a point
// stamped 30 s before its predecessor, a point 3000 thousandths of a minute
// north-east. Point numbers count from 1, the still fixes included.
struct Spoils {
  int nStill = 0;
  std::vector<std::pair<int, int>> pauses;  // after point, seconds
  std::vector<int> backward;
  std::vector<int> spikes;
};

std::vector<std::string> SimArgs(const Spoils& s) {
  std::vector<std::string> args = {"flymaster", "--flight", Marcourt()};
  if (s.nStill > 0) args.insert(args.end(), {"--still", std::to_string(s.nStill)});
  for (auto [after, seconds] : s.pauses)
    args.insert(args.end(), {"--pause-after", std::to_string(after) + ":" + std::to_string(seconds)});
  for (int n : s.backward) args.insert(args.end(), {"--backward-at", std::to_string(n)});
  for (int n : s.spikes) args.insert(args.end(), {"--spike-at", std::to_string(n)});
  return args;
}

std::vector<Fix> Served(const Spoils& s) {
  std::vector<Fix> p = ReadFixes(e2e::ReadFile(Marcourt()));
  std::vector<Fix> still;
  for (int i = s.nStill; i > 0; --i) {
    still.push_back(p.front());
    still.back().nTime -= i;
  }
  p.insert(p.begin(), still.begin(), still.end());
  for (auto [after, seconds] : s.pauses)
    for (size_t i = static_cast<size_t>(after); i < p.size(); ++i) p[i].nTime += seconds;
  for (int n : s.backward) p[n - 1].nTime = p[n - 2].nTime - 30;
  for (int n : s.spikes) {
    p[n - 1].nLatitude += 3000;
    p[n - 1].nLongitude += 3000;
  }
  return p;
}

std::vector<Fix> Without(std::vector<Fix> p, std::vector<int> numbers) {
  for (auto n = numbers.rbegin(); n != numbers.rend(); ++n) p.erase(p.begin() + (*n - 1));
  return p;
}

std::vector<Fix> Slice(const std::vector<Fix>& p, size_t from, size_t to) {
  return std::vector<Fix>(p.begin() + static_cast<std::ptrdiff_t>(from), p.begin() + static_cast<std::ptrdiff_t>(to));
}

::testing::AssertionResult SameFixes(const std::vector<Fix>& written, const std::vector<Fix>& expected) {
  for (size_t i = 0; i < written.size() && i < expected.size(); ++i) {
    if (!(written[i] == expected[i]))
      return ::testing::AssertionFailure() << "point " << i << ": written " << written[i] << ", expected "
                                           << expected[i];
  }
  if (written.size() != expected.size())
    return ::testing::AssertionFailure() << written.size() << " points written, " << expected.size() << " expected";
  return ::testing::AssertionSuccess();
}

// Serves the spoiled flight and downloads flight 1 into flight.igc.
RunResult Download(const Spoils& spoils, const TempDir& dir, const std::string& stdinText,
                   const std::vector<std::string>& extra = {}) {
  Sim sim(SimArgs(spoils));
  std::vector<std::string> args = {"-gy", "-c" + sim.device(), "-lflight.igc", "-f1"};
  args.insert(args.end(), extra.begin(), extra.end());
  RunOptions input;
  input.stdinText = stdinText;
  return e2e::RunVelmora(args, dir, input);
}

std::string ClockText(int32_t t) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", t / 3600, t / 60 % 60, t % 60);
  return text;
}

TEST(CleaningE2e, SeveralFlightsInOneLogAndTheChoiceOfTracks) {
  // With a gap of 30 minutes the step of exactly 1800 s into point 61 starts
  // a track, the step of 1799 s into point 121 does not, the hour into point
  // 161 does: three tracks, points 1-60, 61-160 and 161-221.
  const Spoils spoils{0, {{60, 1799}, {120, 1798}, {160, 3600}}, {}, {}};
  const std::vector<Fix> served = Served(spoils);
  ASSERT_EQ(served.size(), 221u);
  ASSERT_EQ(served[60].nTime - served[59].nTime, 1800);
  ASSERT_EQ(served[120].nTime - served[119].nTime, 1799);
  const size_t firsts[] = {0, 60, 160, served.size()};
  std::string list = "Multiple tracks detected:\n";
  for (int k = 1; k <= 3; ++k) {  // newest first
    size_t t = static_cast<size_t>(3 - k);
    int32_t start = served[firsts[t]].nTime, duration = served[firsts[t + 1] - 1].nTime - start;
    char line[64];
    std::snprintf(line, sizeof line, "%-2d  06-03-2021   %s   %d:%02d:%02d\n", k, ClockText(start).c_str(),
                  duration / 3600, duration / 60 % 60, duration % 60);
    list += line;
  }
  const std::string prompt = "Select (a=all,0=none): ";
  {
    TempDir dir;
    RunResult r = Download(spoils, dir, "a\n", {"--gap", "30"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find(list + prompt + "File flight.igc written\n"), std::string::npos) << r.out;
    EXPECT_TRUE(SameFixes(ReadFixes(dir.Read("flight.igc")), served));
  }
  {
    // An answer with a letter in it asks again; the tracks chosen are stored
    // oldest first whatever the order typed, a number given twice counts once.
    TempDir dir;
    RunResult r = Download(spoils, dir, "1,x\n3,1,3\n", {"--gap", "30"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find(list + prompt + prompt + "File flight.igc written\n"), std::string::npos) << r.out;
    std::vector<Fix> expected = Slice(served, 0, 60);
    std::vector<Fix> newest = Slice(served, 160, served.size());
    expected.insert(expected.end(), newest.begin(), newest.end());
    EXPECT_TRUE(SameFixes(ReadFixes(dir.Read("flight.igc")), expected));
  }
  // No track: a number beyond the list, "0", and standard input closed at
  // the prompt. Nothing may be saved, not even a temporary file.
  const std::pair<std::string, std::string> refusals[] = {
      {"7\n", prompt + "No track selected\n"},
      {"0\n", prompt + "No track selected\n"},
      {"", prompt + "\nNo track selected\n"},
  };
  for (const auto& [answer, message] : refusals) {
    TempDir dir;
    RunResult r = Download(spoils, dir, answer, {"--gap", "30"});
    EXPECT_EQ(r.status, 255) << answer << "\n" << r.out;
    EXPECT_NE(r.out.find(list + message), std::string::npos) << answer << "\n" << r.out;
    EXPECT_TRUE(dir.List().empty()) << answer;
  }
}

TEST(CleaningE2e, TimeStampsGoingBack) {
  const Spoils spoils{0, {}, {40, 150}, {}};
  const std::vector<Fix> served = Served(spoils);
  const std::string question = "2 positions have a timestamp going back in time. Keep anyway ? ";
  struct Case {
    std::string answer;
    std::string after;  // what follows the question
    std::vector<Fix> expected;
  } cases[] = {
      {"y\n", "File flight.igc written\n", served},
      {"No\n", "File flight.igc written\n", Without(served, {40, 150})},
      {"", "\nFile flight.igc written\n", served},  // end of input keeps the track
  };
  for (const Case& c : cases) {
    TempDir dir;
    RunResult r = Download(spoils, dir, c.answer);
    EXPECT_EQ(r.status, 0) << c.answer << "\n" << r.out;
    EXPECT_NE(r.out.find(question + c.after), std::string::npos) << c.answer << "\n" << r.out;
    EXPECT_TRUE(SameFixes(ReadFixes(dir.Read("flight.igc")), c.expected)) << "answer " << c.answer;
  }
}

// Vincenty's inverse formula on WGS-84, in metres, for the positions as the
// program holds them: thousandths of a minute rounded to semicircles.
double Distance(const Fix& from, const Fix& to) {
  auto radians = [](int32_t thousandths) {
    return std::round(thousandths * 198.8410785185) * std::numbers::pi / 2147483648.0;
  };
  const double a = 6378137.0, f = 1 / 298.257223563, b = a * (1 - f);
  double lat1 = radians(from.nLatitude), lat2 = radians(to.nLatitude);
  double L = radians(to.nLongitude) - radians(from.nLongitude);
  double U1 = std::atan((1 - f) * std::tan(lat1)), U2 = std::atan((1 - f) * std::tan(lat2));
  double sinU1 = std::sin(U1), cosU1 = std::cos(U1), sinU2 = std::sin(U2), cosU2 = std::cos(U2);
  double lambda = L, previous = 0, sinSigma = 0, cosSigma = 0, sigma = 0, cos2Alpha = 0, cos2SigmaM = 0;
  for (int i = 0; i < 200; ++i) {
    double sinL = std::sin(lambda), cosL = std::cos(lambda);
    sinSigma = std::hypot(cosU2 * sinL, cosU1 * sinU2 - sinU1 * cosU2 * cosL);
    if (sinSigma == 0) return 0;
    cosSigma = sinU1 * sinU2 + cosU1 * cosU2 * cosL;
    sigma = std::atan2(sinSigma, cosSigma);
    double sinAlpha = cosU1 * cosU2 * sinL / sinSigma;
    cos2Alpha = 1 - sinAlpha * sinAlpha;
    cos2SigmaM = cos2Alpha != 0 ? cosSigma - 2 * sinU1 * sinU2 / cos2Alpha : 0;
    double C = f / 16 * cos2Alpha * (4 + f * (4 - 3 * cos2Alpha));
    previous = lambda;
    lambda = L + (1 - C) * f * sinAlpha *
                     (sigma + C * sinSigma * (cos2SigmaM + C * cosSigma * (-1 + 2 * cos2SigmaM * cos2SigmaM)));
    if (std::fabs(lambda - previous) < 1e-12) break;
  }
  double u2 = cos2Alpha * (a * a - b * b) / (b * b);
  double A = 1 + u2 / 16384 * (4096 + u2 * (-768 + u2 * (320 - 175 * u2)));
  double B = u2 / 1024 * (256 + u2 * (-128 + u2 * (74 - 47 * u2)));
  double deltaSigma =
      B * sinSigma *
      (cos2SigmaM + B / 4 *
                        (cosSigma * (-1 + 2 * cos2SigmaM * cos2SigmaM) -
                         B / 6 * cos2SigmaM * (-3 + 4 * sinSigma * sinSigma) * (-3 + 4 * cos2SigmaM * cos2SigmaM)));
  return b * A * (sigma - deltaSigma);
}

TEST(CleaningE2e, SpikeIsDroppedAndThePointsAfterItKept) {
  // One spike while standing before launch, one in flight.
  const Spoils spoils{0, {}, {}, {5, 120}};
  const std::vector<Fix> served = Served(spoils);
  ASSERT_GT(Distance(served[3], served[4]), 5000.0);
  ASSERT_GT(Distance(served[118], served[119]), 5000.0);
  {
    TempDir dir;
    RunResult r = Download(spoils, dir, "");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("2 positions have been removed in speed analysis\nFile flight.igc written\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(SameFixes(ReadFixes(dir.Read("flight.igc")), Without(served, {5, 120})));
  }
  {
    TempDir dir;
    RunResult r = Download(spoils, dir, "", {"--noana"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("speed analysis"), std::string::npos) << r.out;
    EXPECT_TRUE(SameFixes(ReadFixes(dir.Read("flight.igc")), served));
  }
}

// The TRIM_ settings, in metres and seconds.
struct TrimSettings {
  int nLocationInterval, nLocationDistance;
  int nTakeoffInterval, nTakeoffDistance, nTakeoffPrepend;
  int nBoxRadius, nBoxHeight, nBoxPrepend;
  int nLandingInterval, nLandingDistance, nLandingAppend;
};

std::string TrimConfig(const TrimSettings& s) {
  std::ostringstream cfg;
  cfg << "TRIM_LOCATION_INTERVAL: " << s.nLocationInterval << "\nTRIM_LOCATION_DISTANCE: " << s.nLocationDistance
      << "\nTRIM_TAKEOFF_INTERVAL: " << s.nTakeoffInterval << "\nTRIM_TAKEOFF_DISTANCE: " << s.nTakeoffDistance
      << "\nTRIM_TAKEOFF_PREPEND: " << s.nTakeoffPrepend << "\nTRIM_TAKEOFF_BOX_RADIUS: " << s.nBoxRadius
      << "\nTRIM_TAKEOFF_BOX_HEIGHT: " << s.nBoxHeight << "\nTRIM_TAKEOFF_BOX_PREPEND: " << s.nBoxPrepend
      << "\nTRIM_LANDING_INTERVAL: " << s.nLandingInterval << "\nTRIM_LANDING_DISTANCE: " << s.nLandingDistance
      << "\nTRIM_LANDING_APPEND: " << s.nLandingAppend << "\n";
  return cfg.str();
}

struct Trim {
  int nStart = 0;
  int nSpeedDetected = -1, nSpeedTakeoff = 0;
  int nBoxDetected = -1, nBoxTakeoff = 0;
  std::string szBoxReason;
  int nTakeoff = 0;
  int nLandingDetected = -1, nLanding = 0;
};

// The takeoff and landing rules, every detector on, written the plain way.
Trim FindTrim(const std::vector<Fix>& p, const TrimSettings& s) {
  const int n = static_cast<int>(p.size());
  Trim r;
  // Location start: the first window of the interval in which no two
  // points lie farther apart than the distance ends at the start point.
  for (int i = 0; i + 1 < n && r.nStart == 0; ++i) {
    int w = i;
    while (w + 1 < n && p[w + 1].nTime - p[i].nTime <= s.nLocationInterval) ++w;
    if (w == i) continue;
    bool bStill = true;
    for (int a = i; a <= w && bStill; ++a)
      for (int b = a + 1; b <= w && bStill; ++b) bStill = Distance(p[a], p[b]) <= s.nLocationDistance;
    if (bStill) r.nStart = w;
  }
  // Walks back from `from` while the points are not before the start and
  // within `seconds` of it.
  auto walkBack = [&](int from, int seconds) {
    int k = from;
    while (k - 1 >= r.nStart && p[from].nTime - p[k - 1].nTime <= seconds) --k;
    return k;
  };
  r.nSpeedTakeoff = r.nBoxTakeoff = r.nStart;
  for (int a = r.nStart; a + 1 < n; ++a) {
    int b = a + 1;
    while (b < n && p[b].nTime - p[a].nTime < s.nTakeoffInterval) ++b;
    if (b < n && Distance(p[a], p[b]) >= s.nTakeoffDistance) {
      r.nSpeedDetected = a;
      r.nSpeedTakeoff = walkBack(a, s.nTakeoffPrepend);
      break;
    }
  }
  const Fix& start = p[r.nStart];
  for (int k = r.nStart; k < n; ++k) {
    if (Distance(start, p[k]) >= s.nBoxRadius) {
      r.szBoxReason = "Box exit takeoff detected (distance from start point)";
    } else if (p[k].nAltitude - start.nAltitude >= s.nBoxHeight) {
      r.szBoxReason = "Box exit takeoff detected (altitude above start point)";
    } else if (start.nAltitude - p[k].nAltitude >= s.nBoxHeight) {
      r.szBoxReason = "Box exit takeoff detected (altitude below start point)";
    } else {
      continue;
    }
    r.nBoxDetected = k;
    r.nBoxTakeoff = walkBack(k, s.nBoxPrepend);
    break;
  }
  r.nTakeoff = std::min(r.nSpeedTakeoff, r.nBoxTakeoff);
  // Landing: the end of the last stretch covering the distance within the
  // interval, then the append.
  r.nLanding = n - 1;
  for (int k = n - 1; k >= r.nTakeoff; --k) {
    int m = k;
    while (m >= r.nTakeoff && p[k].nTime - p[m].nTime < s.nLandingInterval) --m;
    if (m >= r.nTakeoff && Distance(p[m], p[k]) >= s.nLandingDistance) {
      r.nLandingDetected = k;
      r.nLanding = k;
      while (r.nLanding + 1 < n && p[r.nLanding + 1].nTime - p[k].nTime <= s.nLandingAppend) ++r.nLanding;
      break;
    }
  }
  return r;
}

TEST(CleaningE2e, TrimmedToTakeoffAndLanding) {
  // The pilot stands on launch a minute before the log's own still start.
  const Spoils spoils{60, {}, {}, {}};
  const std::vector<Fix> served = Served(spoils);
  const TrimSettings settings{20, 5, 10, 40, 5, 60, 15, 8, 10, 30, 20};
  const Trim t = FindTrim(served, settings);
  // Every detector must have its say in this flight, or the case shows little.
  ASSERT_EQ(t.nStart, 20);
  ASSERT_GE(t.nSpeedDetected, 0);
  ASSERT_GE(t.nBoxDetected, 0);
  ASSERT_GT(t.nTakeoff, t.nStart);
  ASSERT_GE(t.nLandingDetected, 0);
  ASSERT_LT(t.nLanding, static_cast<int>(served.size()) - 1);

  TempDir dir;
  dir.Write("velmora.cfg", TrimConfig(settings));
  RunResult r = Download(spoils, dir, "", {"--trim"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(SameFixes(ReadFixes(dir.Read("flight.igc")), served)) << "the whole track";
  auto line = [&](int index, const std::string& label) { return ClockText(served[index].nTime) + " " + label + "\n"; };
  std::string block = "File flight.igc written\n\nTrack trim results:\n" + line(0, "First logged position") +
                      line(t.nStart, "Start point") + line(t.nSpeedDetected, "Speed takeoff detected") +
                      line(t.nSpeedTakeoff, "Speed takeoff") + line(t.nBoxDetected, t.szBoxReason) +
                      line(t.nBoxTakeoff, "Box exit takeoff") + line(t.nTakeoff, "Takeoff") +
                      line(t.nLandingDetected, "Landing detected") + line(t.nLanding, "Landing") +
                      line(static_cast<int>(served.size()) - 1, "Last logged position\n") +
                      "File flight-T.igc written\n";
  EXPECT_NE(r.out.find(block), std::string::npos) << "expected\n" << block << "in\n" << r.out;
  EXPECT_TRUE(SameFixes(ReadFixes(dir.Read("flight-T.igc")),
                        Slice(served, static_cast<size_t>(t.nTakeoff), static_cast<size_t>(t.nLanding) + 1)))
      << "the trimmed track";
}

}  // namespace
