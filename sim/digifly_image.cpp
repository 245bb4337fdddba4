#include "digifly_image.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

constexpr double kRadiansPerUnit = 3.14159265358979323846 / 180.0 / 60000.0;
constexpr double kAngleStep = 1e-7;  // radian per unit of a position delta
constexpr uint32_t kMaxTimeOfDay = (1u << 17) - 1;
constexpr size_t kHeaderBytes = 13;

// Flag bits of a record.
constexpr uint32_t
  kAltAbs = 1u << 0, kAux1Abs = 1u << 1, kAux2Abs = 1u << 2, kAux3Abs = 1u << 3,
  kAltNeg = 1u << 4, kAux1Neg = 1u << 5, kAux2Neg = 1u << 6, kAux3Neg = 1u << 7,
  kTimeAbs = 1u << 8, kPosition = 1u << 9, kAux4Abs = 1u << 11, kLatAbs = 1u << 12,
  kLonAbs = 1u << 13, kAux4Neg = 1u << 14, kLatNeg = 1u << 15, kLonNeg = 1u << 16, kSpare = 1u << 17;

// The values the instrument carries from record to record in a block; its
// position is single precision, and every delta it writes moves it exactly
// as a reader adding the delta to its own single-precision value would.
struct Carry {
  int32_t nAltitude = 0;
  int32_t anAux[4] = {};
  uint32_t dwTime = 0;
  float fLatitude = 0, fLongitude = 0;
};

struct Record {
  uint32_t dwFlags = 0;
  std::vector<std::pair<uint32_t, int>> fields;  // value, width, in writing order
};

void PutSigned(Record* r, int32_t target, int32_t* state, int absoluteBits, int deltaBits, uint32_t absoluteFlag,
               uint32_t signFlag) {
  int32_t limit = (1 << absoluteBits) - 1;
  target = std::clamp(target, -limit, limit);
  int32_t delta = target - *state;
  if (std::abs(delta) < (1 << deltaBits)) {
    r->fields.emplace_back(static_cast<uint32_t>(std::abs(delta)), deltaBits);
    if (delta < 0) r->dwFlags |= signFlag;
  } else {
    r->fields.emplace_back(static_cast<uint32_t>(std::abs(target)), absoluteBits);
    r->dwFlags |= absoluteFlag | (target < 0 ? signFlag : 0);
  }
  *state = target;
}

void PutTime(Record* r, uint32_t t, uint32_t* state) {
  if (t >= *state && t - *state <= 7) {
    r->fields.emplace_back(t - *state, 3);
  } else {
    r->fields.emplace_back(t, 17);
    r->dwFlags |= kTimeAbs;
  }
  *state = t;
}

void PutAngle(Record* r, double target, float* state, uint32_t absoluteFlag, uint32_t signFlag) {
  long steps = std::lround((target - *state) / kAngleStep);
  if (std::labs(steps) <= 127) {
    double delta = static_cast<double>(std::labs(steps)) * kAngleStep;
    float next = static_cast<float>(*state + (steps < 0 ? -delta : delta));
    if (std::fabs(next - target) < 1.5e-7) {
      r->fields.emplace_back(static_cast<uint32_t>(std::labs(steps)), 7);
      if (steps < 0) r->dwFlags |= signFlag;
      *state = next;
      return;
    }
  }
  float magnitude = static_cast<float>(std::fabs(target));
  uint32_t bits;
  std::memcpy(&bits, &magnitude, sizeof bits);
  r->fields.emplace_back(bits, 32);
  r->dwFlags |= absoluteFlag | (target < 0 ? signFlag : 0);
  *state = target < 0 ? -magnitude : magnitude;
}

// Bits go in from the least significant end of each byte; a record ends on
// a byte boundary.
void WriteRecord(const Record& r, std::vector<uint8_t>* out) {
  uint64_t held = 0;
  int count = 0;
  auto put = [&](uint32_t value, int width) {
    held |= static_cast<uint64_t>(value & static_cast<uint32_t>((uint64_t{1} << width) - 1)) << count;
    for (count += width; count >= 8; count -= 8, held >>= 8) out->push_back(static_cast<uint8_t>(held));
  };
  put(r.dwFlags & 0x3FF, 10);
  if (r.dwFlags & kPosition) put(r.dwFlags >> 10, 8);
  for (const auto& [value, width] : r.fields) put(value, width);
  if (count > 0) out->push_back(static_cast<uint8_t>(held));
}

struct Block {
  std::vector<uint8_t> bytes;  // pointer placeholder, header, records
  size_t nRecords = 0, nPoints = 0;
  std::vector<size_t> recordOffsets;
  int nFlight = 0;
};

Block HeaderOnly(const CalendarTime& start, int type) {
  Block b;
  b.bytes = {0xFF, 0xFF, 0xFF, static_cast<uint8_t>(start.nDay), static_cast<uint8_t>(start.nMonth),
             static_cast<uint8_t>(start.nYear - 2000), static_cast<uint8_t>(start.nHour),
             static_cast<uint8_t>(start.nMinute), static_cast<uint8_t>(start.nHour), static_cast<uint8_t>(start.nMinute),
             static_cast<uint8_t>(type), 0, 0};
  return b;
}

bool EncodeFlight(const Flight& f, int number, Block* b, std::string* error) {
  CalendarTime start = SplitSecondsSince2000(f.points.front().dwTime);
  if (start.nYear < 2000 || start.nYear > 2255) {
    *error = f.szSource + ": the instrument dates flights from 2000 to 2255";
    return false;
  }
  *b = HeaderOnly(start, 3);
  b->nFlight = number;
  CalendarTime end = SplitSecondsSince2000(f.points.back().dwTime);
  b->bytes[8] = static_cast<uint8_t>(end.nHour);
  b->bytes[9] = static_cast<uint8_t>(end.nMinute);
  uint32_t midnight = f.points.front().dwTime - static_cast<uint32_t>(start.nHour * 3600 + start.nMinute * 60 + start.nSecond);
  Carry carry;
  const FlightPoint* previous = nullptr;
  auto add = [&](const Record& r) {
    b->recordOffsets.push_back(b->bytes.size());
    WriteRecord(r, &b->bytes);
    ++b->nRecords;
  };
  for (size_t i = 0; i < f.points.size(); ++i) {
    const FlightPoint& p = f.points[i];
    if (p.dwTime < midnight || p.dwTime - midnight > kMaxTimeOfDay) {
      *error = f.szSource + ": fix " + std::to_string(i + 1) + " lies outside the day clock of its flight";
      return false;
    }
    // Speed (km/h), climb (dm/s), temperature and satellites: logged, not downloaded.
    int32_t aux[4] = {0, 0, 20 - p.nGpsAltitude / 200, 6 + static_cast<int32_t>(i / 30 % 7)};
    if (previous != nullptr && p.dwTime > previous->dwTime) {
      double dt = p.dwTime - previous->dwTime;
      double dy = (p.nLatitude - previous->nLatitude) * 1.852;
      double dx = (p.nLongitude - previous->nLongitude) * 1.852 * std::cos(p.nLatitude * kRadiansPerUnit);
      aux[0] = static_cast<int32_t>(std::lround(std::hypot(dx, dy) / dt * 3.6));
      aux[1] = static_cast<int32_t>(std::lround((p.nGpsAltitude - previous->nGpsAltitude) * 10 / dt));
    }
    Record fix;
    PutSigned(&fix, p.nGpsAltitude, &carry.nAltitude, 16, 3, kAltAbs, kAltNeg);
    PutSigned(&fix, aux[0], &carry.anAux[0], 8, 4, kAux1Abs, kAux1Neg);
    PutSigned(&fix, aux[1], &carry.anAux[1], 8, 3, kAux2Abs, kAux2Neg);
    PutSigned(&fix, aux[2], &carry.anAux[2], 6, 2, kAux3Abs, kAux3Neg);
    // Every delta zero: altitude, the three values, and on a fix also time,
    // the fourth value and the position.
    const Record kUnchanged{0, {{0, 3}, {0, 4}, {0, 3}, {0, 2}}};
    if (i % 25 == 24) {
      // Now and then the values come in a record without a position of its
      // own, and the fix follows with nothing changed but time and position.
      Record values = fix;
      PutTime(&values, carry.dwTime, &carry.dwTime);
      add(values);
      fix = kUnchanged;
    }
    fix.dwFlags |= kPosition | (i % 50 == 0 ? kSpare : 0);
    PutTime(&fix, p.dwTime - midnight, &carry.dwTime);
    PutSigned(&fix, aux[3], &carry.anAux[3], 8, 3, kAux4Abs, kAux4Neg);
    PutAngle(&fix, p.nLatitude * kRadiansPerUnit, &carry.fLatitude, kLatAbs, kLatNeg);
    PutAngle(&fix, p.nLongitude * kRadiansPerUnit, &carry.fLongitude, kLonAbs, kLonNeg);
    add(fix);
    // Now and then, and at the start, the instrument writes a fix twice; a
    // reader keeps one.
    if (i % 40 == 39 || i == 0) {
      Record again = kUnchanged;
      again.dwFlags = kPosition;
      again.fields.insert(again.fields.end(), {{0, 3}, {0, 3}, {0, 7}, {0, 7}});
      add(again);
    }
    bool distinct = previous == nullptr || p.dwTime != previous->dwTime || p.nLatitude != previous->nLatitude ||
                    p.nLongitude != previous->nLongitude;
    if (distinct) ++b->nPoints;
    previous = &p;
  }
  if (b->nRecords > 0xFFFF) {
    *error = f.szSource + ": more records than a block counts";
    return false;
  }
  b->bytes[11] = static_cast<uint8_t>(b->nRecords >> 8);
  b->bytes[12] = static_cast<uint8_t>(b->nRecords);
  return true;
}

}  // namespace

bool BuildImage(const std::vector<Flight>& flights, const ImageLayout& layout, std::vector<uint8_t>* image,
                std::vector<BlockNote>* notes, std::string* error) {
  std::vector<Block> blocks;
  for (size_t k = 0; k < flights.size() && !layout.bEmpty; ++k) {
    Block b;
    if (!EncodeFlight(flights[k], static_cast<int>(k) + 1, &b, error)) return false;
    blocks.push_back(std::move(b));
    // A block without track records, as the instrument leaves when it is
    // switched on and off without a flight.
    if (k == 0) blocks.push_back(HeaderOnly(SplitSecondsSince2000(flights[k].points.back().dwTime), 2));
  }
  auto total = [&] {
    size_t sum = 3;  // the end-of-chain pointer
    for (const Block& b : blocks) sum += b.bytes.size();
    return sum;
  };
  while (!blocks.empty() && total() > kLogSize) blocks.erase(blocks.begin());
  if (!blocks.empty() && blocks.front().bytes[10] == 2) blocks.erase(blocks.begin());

  std::vector<size_t> offsets;
  std::vector<uint8_t> chain;
  for (const Block& b : blocks) {
    offsets.push_back(chain.size());
    chain.insert(chain.end(), b.bytes.begin(), b.bytes.end());
  }
  offsets.push_back(chain.size());
  chain.insert(chain.end(), 3, 0xFF);

  // Where in the chain the memory wraps round to its first address.
  size_t wrap = kLogSize;
  if (!blocks.empty()) {
    const Block& first = blocks.front();
    if (layout.eWrap == ImageLayout::kWrapRecord && !first.recordOffsets.empty()) {
      wrap = first.recordOffsets[std::min<size_t>(5, first.recordOffsets.size() - 1)] + 2;
    } else if (layout.eWrap == ImageLayout::kWrapPointer) {
      wrap = offsets[1] + 1;
    } else if (layout.eWrap == ImageLayout::kWrapHeader) {
      wrap = 7;
    }
  }
  uint32_t start = kLogEnd - static_cast<uint32_t>(wrap);
  auto address = [&](size_t offset) { return kLogFirst + static_cast<uint32_t>((start - kLogFirst + offset) % kLogSize); };
  auto putPointer = [&](size_t offset, uint32_t value) {
    for (int i = 0; i < 3; ++i) chain[offset + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (16 - 8 * i));
  };
  for (size_t i = 0; i < blocks.size(); ++i) putPointer(offsets[i], address(offsets[i + 1]));
  if (layout.bLoop && !blocks.empty()) putPointer(offsets[blocks.size() - 1], address(0));
  if (layout.eBadPointer == ImageLayout::kPointerNext && !blocks.empty()) putPointer(0, 0x030000);
  for (const auto& [offset, value] : layout.pokes) {
    if (offset < chain.size()) chain[offset] = value;
  }

  // Memory not taken by the chain still holds older data.
  std::vector<uint8_t> memory(kLogEnd, 0);
  uint32_t junk = 12345;
  for (uint32_t a = kLogFirst; a < kLogEnd; ++a) {
    junk = junk * 1103515245u + 12345u;
    memory[a] = static_cast<uint8_t>(junk >> 16);
  }
  for (size_t o = 0; o < chain.size(); ++o) memory[address(o)] = chain[o];

  uint32_t first = blocks.empty() ? 0xFFFFFF : address(0);
  if (layout.eBadPointer == ImageLayout::kPointerFirst) first = 0x000010;
  size_t length = layout.nShort > 0 ? std::min<size_t>(layout.nShort, kLogSize) : kLogSize;
  image->assign({'y', static_cast<uint8_t>(first >> 16), static_cast<uint8_t>(first >> 8), static_cast<uint8_t>(first)});
  image->insert(image->end(), memory.begin() + kLogFirst, memory.begin() + kLogFirst + static_cast<long>(length));
  uint8_t sum = 0;
  for (size_t i = 1; i < image->size(); ++i) sum ^= (*image)[i];
  image->insert(image->end(), {'*', sum, '\r', '\n'});

  notes->clear();
  for (size_t i = 0; i < blocks.size(); ++i) {
    const Block& b = blocks[i];
    notes->push_back({address(offsets[i]), b.bytes[10], b.nRecords, b.nPoints, b.nFlight});
  }
  return true;
}

}  // namespace sim
