#include "sim/boards/World.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace sim {

namespace {

constexpr DWORD kErrFileNotFound = 2;
constexpr DWORD kErrPathNotFound = 3;
constexpr DWORD kErrAccessDenied = 5;
constexpr DWORD kErrInvalidHandle = 6;
constexpr DWORD kErrWriteProtect = 19;
constexpr DWORD kErrGenFailure = 31;
constexpr DWORD kErrSharing = 32;
constexpr DWORD kErrInvalidParameter = 87;
constexpr DWORD kErrInsufficientBuffer = 122;
constexpr DWORD kErrNegativeSeek = 131;
constexpr DWORD kErrNoMoreItems = 259;
constexpr DWORD kErrInvalidFunction = 1;
constexpr DWORD kErrInvalidUserBuffer = 1784;
constexpr DWORD kErrNotConnected = 1167;

// The boards' interface classes, written out here on their own so that a
// wrong GUID in the driver code finds no board.
const GUID kPciClass = {0x9FB60060, 0xC831, 0x44F8, {0x89, 0x1E, 0x40, 0xFF, 0x75, 0xBD, 0x73, 0xF2}};
const GUID kQbxClass = {0x9FB60060, 0xC831, 0x44F8, {0x89, 0x1E, 0x40, 0xFF, 0x75, 0xBD, 0x73, 0xF3}};

constexpr uint32_t kFlashSize = 0x400000;
constexpr uint32_t kPage = 4096;

struct BankLayout {
  uint32_t bank0, bank1, size;
  uint8_t end, current, previous;
};
const BankLayout kSerialBanks[2] = {{0x3A0000, 0x3B0000, 0x10000, 0x5E, 0xE5, 0x05},
                                    {0x360000, 0x380000, 0x20000, 0x5E, 0xE5, 0x05}};
const BankLayout kDspBanks[2] = {{0x380000, 0x390000, 0x10000, 0xBE, 0xEB, 0x0B},
                                 {0x320000, 0x340000, 0x20000, 0xBE, 0xEB, 0x0B}};

enum class Win {
  None,
  Identity,
  Feature,
  RamC,
  LegacyB,
  PciB,
  QbxB,
  SetB,
  ClrB,
  RegionE,
  RegionD,
  SetD,
  ClrD,
  DspPci,
  DspQbx,
  Flash
};

Win FindWindow(int kind, uint64_t pos, uint64_t* start, uint64_t* end) {
  struct W {
    uint64_t s, e;
    Win w;
    int kind;  // -1 both
  };
  static const W table[] = {
      {0x7F000000, 0x7F000004, Win::Identity, -1}, {0x7F000400, 0x7F000401, Win::Feature, -1},
      {0x7F000800, 0x7F000900, Win::RamC, -1},     {0x7F000500, 0x7F000600, Win::PciB, 0},
      {0x7F000500, 0x7F000600, Win::LegacyB, 1},   {0x7E000500, 0x7E000600, Win::SetB, -1},
      {0x7D000500, 0x7D000600, Win::ClrB, -1},     {0x7F010000, 0x7F010100, Win::QbxB, 1},
      {0x7F000100, 0x7F000200, Win::RegionE, 0},   {0x7F000300, 0x7F000400, Win::RegionD, 0},
      {0x7E000300, 0x7E000400, Win::SetD, 0},      {0x7D000300, 0x7D000400, Win::ClrD, 0},
      {0x40000000, 0x50000000, Win::DspPci, 0},    {0x80000000, 0x100000000ull, Win::DspQbx, 1},
      {0x00000000, kFlashSize, Win::Flash, -1},
  };
  for (const W& w : table) {
    if ((w.kind == -1 || w.kind == kind) && pos >= w.s && pos < w.e) {
      *start = w.s;
      *end = w.e;
      return w.w;
    }
  }
  return Win::None;
}

bool IEquals(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool ParseU64(const std::string& s, uint64_t* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  unsigned long long v = std::strtoull(s.c_str(), &end, 0);
  if (*end != '\0') return false;
  *out = v;
  return true;
}

bool ParseI64(const std::string& s, int64_t* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  long long v = std::strtoll(s.c_str(), &end, 0);
  if (*end != '\0') return false;
  *out = v;
  return true;
}

template <typename T>
bool ParseU32(const std::string& s, T* out) {
  uint64_t v = 0;
  if (!ParseU64(s, &v) || v > 0xFFFFFFFFull) return false;
  *out = T(v);
  return true;
}

bool ParseHexBytes(const std::string& s, std::vector<uint8_t>* out) {
  out->clear();
  std::string digits;
  for (char c : s) {
    if (c == ' ' || c == ',' || c == ':') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    digits += c;
  }
  if (digits.size() % 2 != 0) return false;
  for (size_t i = 0; i < digits.size(); i += 2)
    out->push_back(uint8_t(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
  return true;
}

bool ParseCode(const std::string& s, DWORD* code) {
  static const struct {
    const char* name;
    DWORD code;
  } names[] = {{"prepare", kAsioPrepare},    {"check", kAsioCheck},   {"getbuffers", kAsioGetBuffers},
               {"start", kAsioStart},        {"switch", kAsioSwitch}, {"stop", kAsioStop},
               {"unprepare", kAsioUnprepare}};
  for (const auto& n : names)
    if (s == n.name) {
      *code = n.code;
      return true;
    }
  uint32_t v = 0;
  if (!ParseU32(s, &v)) return false;
  *code = v;
  return true;
}

void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

}  // namespace

// ---------------------------------------------------------------- fault rules

bool ParseFaultRule(const std::string& text, FaultRule* rule, std::string* error) {
  std::istringstream in(text);
  std::string tok;
  FaultRule r;
  r.text = text;
  if (!(in >> r.op)) {
    if (error) *error = "empty fault rule";
    return false;
  }
  static const char* ops[] = {"getclassdevs", "ifdetail", "open", "seek", "read", "write", "ioctl"};
  if (std::find_if(std::begin(ops), std::end(ops), [&](const char* o) { return r.op == o; }) ==
      std::end(ops)) {
    if (error) *error = "unknown fault op: " + r.op;
    return false;
  }
  bool hasEffect = false;
  while (in >> tok) {
    size_t eq = tok.find('=');
    std::string k = eq == std::string::npos ? tok : tok.substr(0, eq);
    std::string v = eq == std::string::npos ? std::string() : tok.substr(eq + 1);
    bool ok = true;
    if (eq == std::string::npos) {
      ok = ParseCode(k, &r.code);
      r.hasCode = ok;
    } else if (k == "pos") {
      size_t dash = v.find('-');
      r.hasPos = true;
      ok = ParseU64(v.substr(0, dash), &r.posLo);
      r.posHi = r.posLo;
      if (ok && dash != std::string::npos) ok = ParseU64(v.substr(dash + 1), &r.posHi);
    } else if (k == "file") {
      r.file = v;
    } else if (k == "code") {
      ok = ParseCode(v, &r.code);
      r.hasCode = true;
    } else if (k == "board") {
      r.board = v;
    } else if (k == "kind") {
      r.kind = v == "PCI" ? 0 : v == "QBX" ? 1 : -2;
      ok = r.kind >= 0;
    } else if (k == "index") {
      uint32_t i = 0;
      ok = ParseU32(v, &i);
      r.index = int(i);
    } else if (k == "phase") {
      r.phase = v;
      ok = v == "size" || v == "fetch";
    } else if (k == "at") {
      ok = ParseU64(v, &r.at) && r.at > 0;
    } else if (k == "count") {
      ok = ParseU64(v, &r.count) && r.count > 0;
    } else if (k == "every") {
      ok = ParseU64(v, &r.every) && r.every > 0;
    } else if (k == "from_ms") {
      ok = ParseI64(v, &r.fromMs);
    } else if (k == "until_ms") {
      ok = ParseI64(v, &r.untilMs);
    } else if (k == "err") {
      ok = ParseU32(v, &r.err) && r.err != 0;
      hasEffect = true;
    } else if (k == "short") {
      ok = ParseI64(v, &r.shortBytes) && r.shortBytes >= 0;
      hasEffect = true;
    } else if (k == "delay_ms") {
      ok = ParseU32(v, &r.delayMs);
      hasEffect = true;
    } else if (k == "hang_ms") {
      ok = ParseU32(v, &r.hangMs);
      hasEffect = true;
    } else if (k == "xor") {
      uint32_t x = 0;
      ok = ParseU32(v, &x) && x <= 0xFF;
      r.xorByte = int(x);
      hasEffect = true;
    } else if (k == "value") {
      ok = ParseHexBytes(v, &r.value) && !r.value.empty();
      hasEffect = true;
    } else {
      ok = false;
    }
    if (!ok) {
      if (error) *error = "bad fault token '" + tok + "' in: " + text;
      return false;
    }
  }
  if (!hasEffect) {
    if (error) *error = "fault rule without effect: " + text;
    return false;
  }
  *rule = r;
  return true;
}

// ---------------------------------------------------------------- world

Board::Board() {
  for (int i = 0; i < 11; ++i) signature[i] = uint8_t(0x33 + i);
}

World& World::Instance() {
  // Leaked: driver objects in static storage may still call the seam while
  // the process runs its exit-time destructors.
  static World* world = new World();
  return *world;
}

World::World() {
  LARGE_INTEGER f, c;
  ::QueryPerformanceFrequency(&f);
  ::QueryPerformanceCounter(&c);
  qpcFreq_ = f.QuadPart;
  qpcStart_ = c.QuadPart;
}

int64_t World::NowUs() {
  if (clock_ == ClockMode::Virtual) return virtualUs_.load();
  LARGE_INTEGER c;
  ::QueryPerformanceCounter(&c);
  return (c.QuadPart - qpcStart_) * 1000000 / qpcFreq_;
}

void World::AdvanceMs(int64_t ms) {
  if (clock_ == ClockMode::Virtual) virtualUs_ += ms * 1000;
}

void World::SleepMs(DWORD ms) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    TraceEntry e;
    e.op = "sleep";
    e.pos = ms;
    AddTrace(std::move(e));
  }
  if (clock_ == ClockMode::Virtual)
    virtualUs_ += int64_t(ms) * 1000;
  else
    ::Sleep(ms);
}

void World::ResetLocked(std::vector<std::unique_ptr<AudioDevice>>* closeThese) {
  for (auto& b : boards_) {
    for (auto& d : b->devices) closeThese->push_back(std::move(d));
    for (auto& d : b->retired) closeThese->push_back(std::move(d));
  }
  boards_.clear();
  handles_.clear();
  calls_.clear();
  snapshots_.clear();
  globalFaults_.clear();
  trace_.clear();
  traceStart_ = 0;
  interleave_ = 0;
  clock_ = ClockMode::Realtime;
  pace_ = 1.0;
  controlFile_.clear();
  virtualUs_ = 0;
  osMajor_ = 6;
  traceFile_.clear();
  traceSwitch_ = true;
  if (traceOut_ != nullptr) std::fclose(traceOut_);
  traceOut_ = nullptr;
  captureDir_.clear();
  captureSeconds_.clear();
  LARGE_INTEGER c;
  ::QueryPerformanceCounter(&c);
  qpcStart_ = c.QuadPart;
}

void World::Reset() {
  StopControlWatcher();
  {
    std::lock_guard<std::mutex> lock(controlMu_);
    controlDone_.clear();
  }
  std::vector<std::unique_ptr<AudioDevice>> devices;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ResetLocked(&devices);
  }
  for (auto& d : devices) d->Close();
  devices.clear();
}

Board* World::FindBoard(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& b : boards_)
    if (b->name == name) return b.get();
  return nullptr;
}

Board* World::AddBoard(const std::string& name, int kind, const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  auto b = std::make_unique<Board>();
  b->name = name;
  b->kind = kind;
  b->path = path;
  if (kind == 0) b->ram[0x7F000354] = 0x04;  // DSPs out of reset
  b->audio.fast = clock_ == ClockMode::Fast;
  b->audio.virtualClock = clock_ == ClockMode::Virtual;
  b->audio.pace = pace_;
  if (!captureDir_.empty()) b->audio.Set("capture_dir", captureDir_);
  if (!captureSeconds_.empty()) b->audio.Set("capture_seconds", captureSeconds_);
  boards_.push_back(std::move(b));
  return boards_.back().get();
}

void World::MakeDevices(Board* b, int count) {
  for (auto& d : b->devices) b->retired.push_back(std::move(d));
  b->devices.clear();
  for (int i = 0; i < count; ++i) b->devices.push_back(std::make_unique<AudioDevice>(b->audio, b->serial, i));
}

void World::SetAsioCount(Board* b, int count) {
  std::lock_guard<std::mutex> lock(mu_);
  MakeDevices(b, count);
}

AudioDevice* World::Audio(const std::string& board, int index) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& b : boards_)
    if (b->name == board)
      return index >= 0 && size_t(index) < b->devices.size() ? b->devices[index].get() : nullptr;
  return nullptr;
}

void World::UpdatePresence(Board* b) {
  int64_t now = NowUs() / 1000;
  bool want = now >= b->presentAfterMs && !(b->unplugAtMs >= 0 && now >= b->unplugAtMs &&
                                            !(b->replugAtMs >= b->unplugAtMs && now >= b->replugAtMs));
  if (b->present && !want) {
    b->present = false;
    if (now >= b->presentAfterMs) {
      ++b->epoch;
      for (auto& d : b->devices) d->Unplug();
    }
  } else if (!b->present && want) {
    b->present = true;
    if (b->epoch > 0)
      for (auto& d : b->devices) d->Replug();
  }
}

bool World::IsPresent(Board* b) { return b->present; }

void World::UnplugLocked(Board* b) {
  b->unplugAtMs = NowUs() / 1000;
  b->replugAtMs = -1;
  UpdatePresence(b);
}

void World::PlugLocked(Board* b, const std::string& path) {
  if (!path.empty() && path != b->path) {
    // A board moves only by leaving first: what was open on it is dead.
    UnplugLocked(b);
    b->path = path;
    MakeDevices(b, int(b->devices.size()));
  }
  b->presentAfterMs = std::min<int64_t>(b->presentAfterMs, NowUs() / 1000);
  b->unplugAtMs = -1;
  b->replugAtMs = -1;
  UpdatePresence(b);
}

void World::Unplug(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& b : boards_)
    if (b->name == name) UnplugLocked(b.get());
}

void World::Plug(const std::string& name, const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& b : boards_)
    if (b->name == name) PlugLocked(b.get(), path);
}

void World::Replug(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& b : boards_)
    if (b->name == name) {
      b->replugAtMs = std::max<int64_t>(NowUs() / 1000, b->unplugAtMs);
      UpdatePresence(b.get());
    }
}

void World::Reboot(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& b : boards_)
    if (b->name == name) {
      b->dead = false;
      b->control = 0;
      b->resetHeld = false;
      b->resetFallUs = -1;
      b->dspBootUs = 0;
    }
}

// ---------------------------------------------------------------- flash helpers

uint8_t World::FlashByte(Board* b, uint32_t pos) {
  auto it = b->flash.find(pos / kPage);
  return it == b->flash.end() ? 0xFF : it->second[pos % kPage];
}

void World::SetFlashByte(Board* b, uint32_t pos, uint8_t v) {
  auto& page = b->flash[pos / kPage];
  if (page.empty()) page.assign(kPage, 0xFF);
  page[pos % kPage] = v;
}

void World::PokeFlash(Board* b, uint32_t pos, const void* data, size_t len) {
  std::lock_guard<std::mutex> lock(mu_);
  const uint8_t* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < len; ++i) SetFlashByte(b, pos + uint32_t(i), p[i]);
}

void World::PokeRam(Board* b, uint32_t pos, const void* data, size_t len) {
  std::lock_guard<std::mutex> lock(mu_);
  const uint8_t* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < len; ++i) b->ram[pos + uint32_t(i)] = p[i];
}

uint8_t World::PeekRam(Board* b, uint32_t pos) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = b->ram.find(pos);
  return it == b->ram.end() ? 0 : it->second;
}

void World::SetQbxSerial(Board* b, uint32_t serial, bool withTrvl) {
  uint8_t v[4];
  PutU32(v, serial);
  PokeFlash(b, 0x19FFE8, v, 4);
  if (withTrvl) PokeFlash(b, 0x19FFFC, "TRVL", 4);
  std::lock_guard<std::mutex> lock(mu_);
  b->serial = serial;
}

void World::SetSerialBank(Board* b, int bank, uint8_t state, bool valid, const std::string& text) {
  const BankLayout& l = kSerialBanks[b->kind == 0 ? 0 : 1];
  uint32_t base = bank == 0 ? l.bank0 : l.bank1;
  PokeFlash(b, base, &state, 1);
  uint8_t last = valid ? l.end : 0x00;
  PokeFlash(b, base + l.size - 1, &last, 1);
  std::vector<uint8_t> t(text.begin(), text.end());
  if (t.size() < 32) t.push_back(0);
  if (t.size() > 32) t.resize(32);
  PokeFlash(b, base + 0x4000, t.data(), t.size());
}

void World::SetPciSerialRegisters(Board* b, uint32_t w1FC, uint32_t w188, const std::string& text) {
  uint8_t v[4];
  PutU32(v, w1FC);
  PokeRam(b, 0x7F0001FC, v, 4);
  PutU32(v, w188);
  PokeRam(b, 0x7F000188, v, 4);
  std::vector<uint8_t> t(text.begin(), text.end());
  t.resize(32, 0);
  PokeRam(b, 0x7F0001C0, t.data(), 32);
  std::lock_guard<std::mutex> lock(mu_);
  b->serial = (w1FC != 0 && w1FC != 0xFFFFFFFF) ? w1FC : w188;
}

void World::SetDspInfo(Board* b, int bank, uint8_t state, bool valid, const std::vector<uint8_t>& bytes) {
  const BankLayout& l = kDspBanks[b->kind == 0 ? 0 : 1];
  uint32_t base = bank == 0 ? l.bank0 : l.bank1;
  PokeFlash(b, base, &state, 1);
  uint8_t last = valid ? l.end : 0x00;
  PokeFlash(b, base + l.size - 1, &last, 1);
  uint32_t data = base + 0x1010;
  PokeFlash(b, data, bytes.data(), bytes.size());
  uint8_t header[4] = {0x00, uint8_t((data >> 16) & 0xFF), 0x10, uint8_t(16 + bytes.size())};
  PokeFlash(b, base + 0x34, header, 4);
}

void World::SetDspLayout(Board* b, int dsps, uint8_t mask, const std::string& source) {
  uint32_t r80 = uint32_t(dsps) | uint32_t(dsps) << 4;
  if (source == "reg76") r80 |= 0xC0000;
  uint32_t r76 = uint32_t(mask) | uint32_t(mask) << 8 | uint32_t(mask) << 24;
  if (b->kind == 0) {
    uint8_t v[4];
    PutU32(v, r76);
    PokeRam(b, 0x7F00054C, v, 4);
    PutU32(v, r80);
    PokeRam(b, 0x7F000550, v, 4);
  }
  if (source == "flash") {
    std::vector<uint8_t> info(16, 0);
    info[0] = 0xFF;
    info[15] = mask;
    SetDspInfo(b, 0, kDspBanks[b->kind == 0 ? 0 : 1].current, true, info);
  }
  std::lock_guard<std::mutex> lock(mu_);
  b->reg76 = r76;
  b->reg80 = r80;
  MakeDevices(b, dsps);
}

// ---------------------------------------------------------------- faults, trace

bool World::AddFault(const std::string& text, const std::string& board, std::string* error) {
  FaultRule r;
  if (!ParseFaultRule(text, &r, error)) return false;
  if (!board.empty()) r.board = board;
  std::lock_guard<std::mutex> lock(mu_);
  globalFaults_.push_back(r);
  return true;
}

void World::ClearFaults() {
  std::lock_guard<std::mutex> lock(mu_);
  globalFaults_.clear();
}

const FaultRule* World::MatchFault(const std::string& op, Board* b, const std::string& file, bool hasPos,
                                   uint64_t lo, uint64_t hi, bool hasCode, DWORD code, int kind, int index,
                                   const std::string& phase) {
  const FaultRule* hit = nullptr;
  int64_t nowMs = NowUs() / 1000;
  for (FaultRule& r : globalFaults_) {
    if (r.op != op) continue;
    if (!r.board.empty() && (b == nullptr || b->name != r.board)) continue;
    if (r.hasPos && (!hasPos || hi < r.posLo || lo > r.posHi)) continue;
    if (!r.file.empty() && r.file != file) continue;
    if (r.hasCode && (!hasCode || code != r.code)) continue;
    if (r.kind >= 0 && r.kind != kind) continue;
    if (r.index >= 0 && r.index != index) continue;
    if (!r.phase.empty() && r.phase != phase) continue;
    uint64_t n = ++r.matched;
    bool fires = true;
    if (r.at != 0 && n != r.at) fires = false;
    if (r.count != 0 && n > r.count) fires = false;
    if (r.every != 0 && n % r.every != 0) fires = false;
    if (r.fromMs >= 0 && nowMs < r.fromMs) fires = false;
    if (r.untilMs >= 0 && nowMs >= r.untilMs) fires = false;
    if (fires && hit == nullptr) {
      ++r.fired;
      hit = &r;
    }
  }
  return hit;
}

void World::AddTrace(TraceEntry e) {
  e.timeMs = NowUs() / 1000.0;
  e.thread = ::GetCurrentThreadId();
  if (!traceFile_.empty() && traceOut_ == nullptr) traceOut_ = std::fopen(traceFile_.c_str(), "a");
  if (traceOut_ != nullptr) {
    if (FILE* f = traceOut_) {
      std::fprintf(f, "%10.3f %5lu %08llx %-8s %-10s %-12s pos=%llx len=%u done=%u ok=%d err=%lu", e.timeMs,
                   e.thread, (unsigned long long)e.handle, e.board.c_str(), e.file.c_str(), e.op.c_str(),
                   (unsigned long long)e.pos, e.len, e.done, e.ok ? 1 : 0, e.error);
      if (!e.data.empty()) {
        std::fprintf(f, " data=");
        for (uint8_t d : e.data) std::fprintf(f, "%02x", d);
      }
      std::fprintf(f, "\n");
      std::fflush(f);
    }
  }
  if (trace_.size() < kTraceCapacity) {
    trace_.push_back(std::move(e));
  } else {
    // Swapped, not assigned: a short text assigned into a slot keeps the
    // slot's earlier heap buffer, so every slot would end up holding the
    // largest buffer it ever saw, and a long run would keep growing. The
    // old entry's buffers go with `e`.
    std::swap(trace_[traceStart_], e);
    traceStart_ = (traceStart_ + 1) % kTraceCapacity;
  }
}

std::vector<TraceEntry> World::Trace() {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<TraceEntry> out;
  out.reserve(trace_.size());
  for (size_t i = 0; i < trace_.size(); ++i) out.push_back(trace_[(traceStart_ + i) % trace_.size()]);
  return out;
}

void World::ClearTrace() {
  std::lock_guard<std::mutex> lock(mu_);
  trace_.clear();
  traceStart_ = 0;
  interleave_ = 0;
}

void World::EnableTraceLog() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!traceFile_.empty()) return;
  traceFile_ = captureDir_.empty() ? std::string("sim_trace.log") : captureDir_ + "\\sim_trace.log";
}

DWORD World::StallUnlocked(const FaultRule* rule, std::unique_lock<std::mutex>& lock) {
  if (rule == nullptr) return 0;
  // Copied first: a rule armed meanwhile may move the rules.
  const DWORD err = rule->err, stall = rule->delayMs + rule->hangMs;
  if (stall != 0) {
    lock.unlock();
    SleepMs(stall);
    lock.lock();
  }
  return err;
}

// ---------------------------------------------------------------- control file

void World::StartControlWatcher() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (controlFile_.empty()) return;
  }
  controlStop_ = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (controlStop_ == nullptr) return;
  const HANDLE stop = controlStop_;
  controlThread_ = std::thread([this, stop] {
    while (::WaitForSingleObject(stop, 1000) == WAIT_TIMEOUT) PollControl();
  });
}

void World::StopControlWatcher() {
  if (controlThread_.joinable()) {
    ::SetEvent(controlStop_);
    controlThread_.join();
  }
  if (controlStop_ != nullptr) ::CloseHandle(controlStop_);
  controlStop_ = nullptr;
}

int World::PollControl() {
  std::lock_guard<std::mutex> pollLock(controlMu_);
  std::string path;
  {
    std::lock_guard<std::mutex> lock(mu_);
    path = controlFile_;
  }
  if (path.empty()) return 0;
  std::string text;
  {
    std::ifstream in(path, std::ios::binary);
    if (!in) return 0;  // not written yet
    std::stringstream ss;
    ss << in.rdbuf();
    text = ss.str();
  }
  // Whole lines only: a line still being written runs once it is complete.
  const size_t last = text.rfind('\n');
  text.resize(last == std::string::npos ? 0 : last + 1);
  if (text == controlDone_) return 0;
  const bool appended =
      text.size() > controlDone_.size() && text.compare(0, controlDone_.size(), controlDone_) == 0;
  std::istringstream lines(appended ? text.substr(controlDone_.size()) : text);
  controlDone_ = text;
  int ran = 0;
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    std::string first;
    if (!(words >> first) || first[0] == '#' || first[0] == ';') continue;
    std::string error;
    bool ok = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      ok = RunControlLocked(line, &error);
      TraceEntry e;
      e.op = "control";
      e.file = line;
      e.ok = ok;
      AddTrace(std::move(e));
    }
    if (ok)
      ++ran;
    else
      std::fprintf(stderr, "simulated world: control line '%s': %s\n", line.c_str(), error.c_str());
  }
  return ran;
}

bool World::RunControlLocked(const std::string& line, std::string* error) {
  std::istringstream in(line);
  std::string command, name;
  in >> command >> name;
  Board* board = nullptr;
  for (auto& b : boards_)
    if (b->name == name) board = b.get();
  if (name.empty() || (board == nullptr && !(command == "fault" && name == "*"))) {
    *error = name.empty() ? "no board named" : "unknown board " + name;
    return false;
  }
  if (command == "plug") {
    std::string path;
    in >> path;
    PlugLocked(board, path);
  } else if (command == "unplug") {
    UnplugLocked(board);
  } else if (command == "fault") {
    std::string text;
    std::getline(in, text);
    FaultRule r;
    if (!ParseFaultRule(text, &r, error)) return false;
    if (board != nullptr) r.board = board->name;
    // Armed now: its call counts start at zero and its times count from here.
    const int64_t nowMs = NowUs() / 1000;
    if (r.fromMs >= 0) r.fromMs += nowMs;
    if (r.untilMs >= 0) r.untilMs += nowMs;
    globalFaults_.push_back(r);
  } else {
    *error = "unknown command " + command;
    return false;
  }
  return true;
}

void World::WriteWorldStats() {
  if (captureDir_.empty()) return;
  int driver = 0, asio = 0, other = 0;
  std::string open;
  for (const auto& kv : handles_) {
    const Handle& h = kv.second;
    if (h.type == FileType::Driver)
      ++driver;
    else if (h.type == FileType::Asio)
      ++asio;
    else
      ++other;
    open += "open=" + h.board->name + " " + h.file + "\n";
  }
  // Written aside and moved over, so that a reader never sees half a file.
  const std::string path = captureDir_ + "\\world.stats";
  const std::string aside = path + ".tmp";
  FILE* f = std::fopen(aside.c_str(), "w");
  if (f == nullptr) return;
  std::fprintf(f, "driver_handles=%d\nasio_handles=%d\nother_handles=%d\n%s", driver, asio, other,
               open.c_str());
  std::fclose(f);
  ::MoveFileExA(aside.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

uint64_t World::InterleaveViolations() {
  std::lock_guard<std::mutex> lock(mu_);
  return interleave_;
}

int World::OpenHandles(const std::string& board, const std::string& file) {
  std::lock_guard<std::mutex> lock(mu_);
  int n = 0;
  for (auto& kv : handles_)
    if ((board.empty() || kv.second.board->name == board) && (file.empty() || kv.second.file == file)) ++n;
  return n;
}

// ---------------------------------------------------------------- address space

uint32_t World::StatusOf(Board* b) {
  if (b->resetHeld) return 0x3000;
  if (b->resetFallUs >= 0) {
    int64_t t = NowUs() - b->resetFallUs;
    uint32_t s = 0;
    if (t < b->boardResetMs * 1000) s |= 0x1000;
    if (t < b->picoResetMs * 1000) s |= 0x2000;
    if (t >= b->picoReadyMs * 1000) s |= 0x2;
    return s;
  }
  return 0x2;
}

bool World::SignatureVisible(Board* b) { return !b->dspInReset && NowUs() >= b->dspBootUs; }

void World::WriteControl(Board* b, uint32_t value) {
  uint32_t old = b->control;
  if (!(old & 0x100) && (value & 0x100)) b->resetHeld = true;
  if ((old & 0x100) && !(value & 0x100)) {
    b->resetHeld = false;
    b->resetFallUs = NowUs();
  }
  if (b->kind == 1) {
    if (value & 0x10000) b->dead = true;
    if (value & 0x20000) {
      // A pulse: the DSPs restart and the bit does not stay set.
      b->dspBootUs = NowUs() + b->dspBootMs * 1000;
      value &= ~0x20000u;
    }
  } else {
    value &= 0xFFFF;
  }
  b->control = value;
}

DWORD World::SpaceRead(Board* b, uint64_t pos, uint8_t* out, uint32_t len) {
  uint64_t start = 0, end = 0;
  Win w = FindWindow(b->kind, pos, &start, &end);
  if (w == Win::None || pos + len > end) {
    if (b->strict) return kErrInvalidParameter;
    for (uint32_t i = 0; i < len; ++i) {
      auto it = b->ram.find(uint32_t(pos + i));
      out[i] = it == b->ram.end() ? 0 : it->second;
    }
    return 0;
  }
  const uint32_t status = StatusOf(b);
  const bool sigVisible = SignatureVisible(b);
  for (uint32_t i = 0; i < len; ++i) {
    uint32_t p = uint32_t(pos + i);
    uint32_t off = uint32_t(p - start);
    auto ram = [&]() -> uint8_t {
      auto it = b->ram.find(p);
      return it == b->ram.end() ? 0 : it->second;
    };
    switch (w) {
      case Win::Identity: out[i] = uint8_t(b->identity >> (8 * off)); break;
      case Win::Feature: out[i] = b->feature; break;
      case Win::Flash: out[i] = FlashByte(b, p); break;
      case Win::SetB:
      case Win::ClrB:
      case Win::SetD:
      case Win::ClrD: return kErrInvalidParameter;  // write-only
      case Win::PciB:
        if (off < 2)
          out[i] = uint8_t(b->control >> (8 * off));
        else if (off < 4)
          out[i] = uint8_t(status >> (8 * (off - 2)));
        else
          out[i] = ram();
        break;
      case Win::QbxB:
        if (off < 4)
          out[i] = uint8_t(b->control >> (8 * off));
        else if (off < 8)
          out[i] = uint8_t(status >> (8 * (off - 4)));
        else if (off >= 0x4C && off < 0x50)
          out[i] = uint8_t(b->reg76 >> (8 * (off - 0x4C)));
        else if (off >= 0x50 && off < 0x54)
          out[i] = uint8_t(b->reg80 >> (8 * (off - 0x50)));
        else if (off >= 0x80 && off < 0x84)
          out[i] = uint8_t(b->logicVersion >> (8 * (off - 0x80)));
        else
          out[i] = ram();
        break;
      case Win::DspPci:
      case Win::DspQbx:
        if (off >= 0x33 && off <= 0x3D)
          out[i] = sigVisible ? b->signature[off - 0x33] : 0x00;
        else
          out[i] = ram();
        break;
      default: out[i] = ram(); break;
    }
  }
  return 0;
}

// Region B starts with the board control register (16 bits on PCI, 32 on
// QBX); bytes written there go through the control's edge logic, the rest is
// plain memory.
void World::WriteRegionB(Board* b, uint64_t pos, uint32_t first, const uint8_t* in, uint32_t len,
                         uint32_t controlBytes) {
  uint32_t control = b->control;
  bool touched = false;
  for (uint32_t i = 0; i < len; ++i) {
    uint32_t off = first + i;
    if (off < controlBytes) {
      control = (control & ~(0xFFu << (8 * off))) | (uint32_t(in[i]) << (8 * off));
      touched = true;
    } else {
      b->ram[uint32_t(pos + i)] = in[i];
    }
  }
  if (touched) WriteControl(b, control);
}

DWORD World::SpaceWrite(Board* b, uint64_t pos, const uint8_t* in, uint32_t len) {
  uint64_t start = 0, end = 0;
  Win w = FindWindow(b->kind, pos, &start, &end);
  if (w == Win::None || pos + len > end) {
    if (b->strict) return kErrInvalidParameter;
    for (uint32_t i = 0; i < len; ++i) b->ram[uint32_t(pos + i)] = in[i];
    return 0;
  }
  const uint32_t first = uint32_t(pos - start), last = first + len - 1;
  auto overlaps = [&](uint32_t lo, uint32_t hi) { return first <= hi && last >= lo; };
  switch (w) {
    case Win::Identity:
    case Win::Feature:
    case Win::RegionE: return kErrAccessDenied;
    case Win::Flash: return kErrWriteProtect;
    case Win::SetB:
    case Win::ClrB:
    case Win::SetD:
    case Win::ClrD: {
      // Boards whose logic lacks the aliases reject them, so a driver that
      // uses aliases it should not have fails loudly.
      if (b->feature <= 1) return kErrInvalidParameter;
      const bool set = w == Win::SetB || w == Win::SetD;
      const uint64_t target = pos + (set ? 0x01000000u : 0x02000000u);
      std::vector<uint8_t> cur(len);
      DWORD e = SpaceRead(b, target, cur.data(), len);
      if (e != 0) return e;
      for (uint32_t i = 0; i < len; ++i) cur[i] = set ? (cur[i] | in[i]) : (cur[i] & ~in[i]);
      return SpaceWrite(b, target, cur.data(), len);
    }
    case Win::PciB:
      if (overlaps(2, 3)) return kErrAccessDenied;
      WriteRegionB(b, pos, first, in, len, 2);
      return 0;
    case Win::QbxB:
      if (overlaps(4, 7) || overlaps(0x4C, 0x53) || overlaps(0x80, 0x83)) return kErrAccessDenied;
      WriteRegionB(b, pos, first, in, len, 4);
      return 0;
    case Win::RegionD: {
      const bool wasRunning = (b->ram[0x7F000354] & 0x04) != 0;
      for (uint32_t i = 0; i < len; ++i) b->ram[uint32_t(pos + i)] = in[i];
      const bool running = (b->ram[0x7F000354] & 0x04) != 0;
      if (wasRunning && !running) b->dspInReset = true;
      if (!wasRunning && running) {
        b->dspInReset = false;
        b->dspBootUs = NowUs() + b->dspBootMs * 1000;
      }
      return 0;
    }
    default:
      for (uint32_t i = 0; i < len; ++i) b->ram[uint32_t(pos + i)] = in[i];
      return 0;
  }
}

// ---------------------------------------------------------------- SetupDi

HDEVINFO World::GetClassDevs(const GUID* cls, DWORD flags) {
  PollControl();
  DWORD err = 0;
  HDEVINFO result = INVALID_HANDLE_VALUE;
  {
    std::unique_lock<std::mutex> lock(mu_);
    int kind = -1;
    if (cls != nullptr && std::memcmp(cls, &kPciClass, sizeof(GUID)) == 0) kind = 0;
    if (cls != nullptr && std::memcmp(cls, &kQbxClass, sizeof(GUID)) == 0) kind = 1;
    TraceEntry e;
    e.op = "getclassdevs";
    e.pos = uint64_t(kind);
    e.flags = flags;
    // A late enumeration answers with the boards present by then.
    const DWORD faultErr =
        StallUnlocked(MatchFault("getclassdevs", nullptr, "", false, 0, 0, false, 0, kind, -1, ""), lock);
    if (faultErr != 0) {
      err = faultErr;
    } else if (!(flags & DIGCF_DEVICEINTERFACE)) {
      err = kErrInvalidParameter;
    } else {
      auto snap = std::make_unique<Snapshot>();
      snap->kind = kind;
      for (auto& b : boards_) {
        UpdatePresence(b.get());
        if (b->kind == kind && b->present) snap->paths.push_back(b->path);
      }
      result = reinterpret_cast<HDEVINFO>(snap.get());
      snapshots_[reinterpret_cast<uintptr_t>(result)] = std::move(snap);
    }
    e.ok = err == 0;
    e.error = err;
    e.handle = reinterpret_cast<uintptr_t>(result);
    AddTrace(std::move(e));
  }
  if (err != 0) ::SetLastError(err);
  return result;
}

BOOL World::EnumDeviceInterfaces(HDEVINFO set, const GUID* cls, DWORD index, SP_DEVICE_INTERFACE_DATA* data) {
  DWORD err = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = snapshots_.find(reinterpret_cast<uintptr_t>(set));
    if (it == snapshots_.end())
      err = kErrInvalidHandle;
    else if (data == nullptr || cls == nullptr)
      err = kErrInvalidParameter;
    else if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
      err = kErrInvalidParameter;
    else if (index >= it->second->paths.size())
      err = kErrNoMoreItems;
    else {
      data->InterfaceClassGuid = *cls;
      data->Flags = SPINT_ACTIVE;
      data->Reserved = index;
    }
    TraceEntry e;
    e.op = "enum";
    e.pos = index;
    e.ok = err == 0;
    e.error = err;
    AddTrace(std::move(e));
  }
  if (err != 0) {
    ::SetLastError(err);
    return FALSE;
  }
  return TRUE;
}

BOOL World::GetDeviceInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                     SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD size, DWORD* required) {
  DWORD err = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = snapshots_.find(reinterpret_cast<uintptr_t>(set));
    TraceEntry e;
    e.op = "ifdetail";
    if (it == snapshots_.end()) {
      err = kErrInvalidHandle;
    } else if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
               data->Reserved >= it->second->paths.size()) {
      err = kErrInvalidParameter;
    } else {
      const int index = int(data->Reserved);
      const std::string& path = it->second->paths[index];
      const DWORD need = DWORD(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
      Board* board = nullptr;
      for (auto& b : boards_)
        if (b->path == path) board = b.get();
      e.pos = uint64_t(index);
      e.board = board ? board->name : "";
      const FaultRule* f = MatchFault("ifdetail", board, "", false, 0, 0, false, 0, it->second->kind, index,
                                      detail == nullptr ? "size" : "fetch");
      if (f != nullptr && f->err != 0) {
        err = f->err;
      } else if (detail == nullptr) {
        if (size != 0)
          err = kErrInvalidUserBuffer;
        else {
          if (required) *required = need;
          err = kErrInsufficientBuffer;
        }
      } else if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        err = kErrInvalidUserBuffer;
      } else if (size < need) {
        if (required) *required = need;
        err = kErrInsufficientBuffer;
      } else {
        std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
        if (required) *required = need;
      }
      e.len = need;
    }
    e.ok = err == 0;
    e.error = err;
    AddTrace(std::move(e));
  }
  if (err != 0) {
    ::SetLastError(err);
    return FALSE;
  }
  return TRUE;
}

int World::OpenDeviceInfoLists() {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<int>(snapshots_.size());
}

BOOL World::DestroyDeviceInfoList(HDEVINFO set) {
  bool found = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    found = snapshots_.erase(reinterpret_cast<uintptr_t>(set)) == 1;
  }
  if (!found) {
    ::SetLastError(kErrInvalidHandle);
    return FALSE;
  }
  return TRUE;
}

BOOL World::GetVersionEx(OSVERSIONINFOA* info) {
  if (info == nullptr || (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) &&
                          info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXA))) {
    ::SetLastError(kErrInsufficientBuffer);
    return FALSE;
  }
  info->dwMajorVersion = DWORD(osMajor_);
  info->dwMinorVersion = 1;
  info->dwBuildNumber = 7601;
  info->dwPlatformId = VER_PLATFORM_WIN32_NT;
  info->szCSDVersion[0] = 0;
  return TRUE;
}

// ---------------------------------------------------------------- files

World::Handle* World::FindHandle(HANDLE h) {
  auto it = handles_.find(reinterpret_cast<uintptr_t>(h));
  return it == handles_.end() ? nullptr : &it->second;
}

HANDLE World::CreateFile(const char* name, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  DWORD err = 0;
  HANDLE result = INVALID_HANDLE_VALUE;
  {
    std::unique_lock<std::mutex> lock(mu_);
    const std::string full = name ? name : "";
    TraceEntry e;
    e.op = "open";
    e.file = full;
    e.access = access;
    e.share = share;
    e.disposition = disposition;
    e.flags = flags;
    Board* board = nullptr;
    FileType type = FileType::Driver;
    int asio = -1;
    std::string suffix;
    size_t bs = full.rfind('\\');
    if (disposition != OPEN_EXISTING || (flags != 0 && flags != FILE_ATTRIBUTE_NORMAL)) {
      err = kErrInvalidParameter;
    } else if (bs == std::string::npos) {
      err = kErrFileNotFound;
    } else {
      const std::string prefix = full.substr(0, bs);
      suffix = full.substr(bs + 1);
      for (auto& b : boards_)
        if (IEquals(b->path, prefix)) board = b.get();
      if (board == nullptr) {
        err = kErrPathNotFound;
      } else {
        UpdatePresence(board);
        e.board = board->name;
        e.file = suffix;
        if (!board->present) err = board->epoch > 0 ? kErrNotConnected : kErrPathNotFound;
      }
    }
    DWORD needAccess = 0, needShare = 0;
    if (err == 0) {
      if (suffix == "Driver") {
        type = FileType::Driver;
        needAccess = GENERIC_READ | GENERIC_WRITE;
      } else if (suffix == "rds") {
        type = FileType::Rds;
        needAccess = GENERIC_WRITE;
      } else if (suffix == "Log") {
        type = FileType::Log;
        needAccess = GENERIC_READ | GENERIC_WRITE;
        needShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
      } else if (suffix == "tvVersion" && board->hasVersionFile) {
        type = FileType::Version;
        needAccess = GENERIC_READ;
        needShare = FILE_SHARE_READ;
      } else if (suffix.size() > 4 && suffix.compare(0, 4, "asio") == 0 && suffix.size() <= 8 &&
                 suffix.find_first_not_of("0123456789", 4) == std::string::npos) {
        type = FileType::Asio;
        asio = std::atoi(suffix.c_str() + 4);
        needAccess = GENERIC_READ | GENERIC_WRITE;
        if (size_t(asio) >= board->devices.size()) err = kErrFileNotFound;
      } else {
        err = kErrFileNotFound;
      }
    }
    if (err == 0) {
      const DWORD faultErr =
          StallUnlocked(MatchFault("open", board, suffix, false, 0, 0, false, 0, board->kind, -1, ""), lock);
      // The board may have gone while the open hung.
      UpdatePresence(board);
      if (!board->present) err = board->epoch > 0 ? kErrNotConnected : kErrPathNotFound;
      if (err == 0 && faultErr != 0) err = faultErr;
    }
    if (err == 0 && access != needAccess) err = kErrAccessDenied;
    if (err == 0 && share != needShare) err = kErrInvalidParameter;
    if (err == 0) {
      for (auto& kv : handles_) {
        const Handle& o = kv.second;
        // A handle from before an unplug belongs to the removed device.
        if (o.board != board || o.file != suffix || o.epoch != board->epoch) continue;
        bool conflict = ((access & GENERIC_READ) && !(o.share & FILE_SHARE_READ)) ||
                        ((access & GENERIC_WRITE) && !(o.share & FILE_SHARE_WRITE)) ||
                        ((o.access & GENERIC_READ) && !(share & FILE_SHARE_READ)) ||
                        ((o.access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE));
        if (conflict) err = kErrSharing;
      }
    }
    if (err == 0 && type == FileType::Asio) err = board->devices[asio]->Open();
    if (err == 0) {
      Handle h;
      h.board = board;
      h.type = type;
      h.file = suffix;
      h.asio = asio;
      h.device = type == FileType::Asio ? board->devices[asio].get() : nullptr;
      h.access = access;
      h.share = share;
      h.epoch = board->epoch;
      uintptr_t value = 0;
      do {
        value = 0x5EED0000u + 4u * (nextHandle_++ & 0x3FFF);
      } while (handles_.count(value) != 0);
      handles_[value] = h;
      result = reinterpret_cast<HANDLE>(value);
      WriteWorldStats();
    }
    e.handle = reinterpret_cast<uintptr_t>(result);
    e.ok = err == 0;
    e.error = err;
    AddTrace(std::move(e));
  }
  if (err != 0) ::SetLastError(err);
  return result;
}

BOOL World::CloseHandle(HANDLE h) {
  AudioDevice* device = nullptr;
  bool found = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    Handle* handle = FindHandle(h);
    TraceEntry e;
    e.op = "close";
    e.handle = reinterpret_cast<uintptr_t>(h);
    if (handle != nullptr) {
      found = true;
      e.board = handle->board->name;
      e.file = handle->file;
      device = handle->device;
      handles_.erase(reinterpret_cast<uintptr_t>(h));
      WriteWorldStats();
    }
    e.ok = found;
    e.error = found ? 0 : kErrInvalidHandle;
    AddTrace(std::move(e));
  }
  if (!found) {
    ::SetLastError(kErrInvalidHandle);
    return FALSE;
  }
  // Outside the world lock: this ends a switch that may be blocked in another thread.
  if (device != nullptr) device->Close();
  return TRUE;
}

DWORD World::SetFilePointer(HANDLE h, LONG low, LONG* high, DWORD method) {
  DWORD err = 0;
  DWORD result = INVALID_SET_FILE_POINTER;
  {
    std::lock_guard<std::mutex> lock(mu_);
    Handle* handle = FindHandle(h);
    TraceEntry e;
    e.op = "seek";
    e.handle = reinterpret_cast<uintptr_t>(h);
    // Without a high part the distance is a signed 32-bit value.
    int64_t distance = high ? int64_t((uint64_t(uint32_t(*high)) << 32) | uint32_t(low)) : int64_t(low);
    int64_t target = 0;
    if (handle == nullptr) {
      err = kErrInvalidHandle;
    } else {
      e.board = handle->board->name;
      e.file = handle->file;
      int64_t base = 0;
      if (method == FILE_BEGIN)
        base = 0;
      else if (method == FILE_CURRENT)
        base = int64_t(handle->pos);
      else if (method == FILE_END)
        base = handle->type == FileType::Version ? int64_t(handle->board->versionBytes.size()) : 0;
      else
        err = kErrInvalidParameter;
      target = base + distance;
      if (err == 0 && target < 0) err = kErrNegativeSeek;
      if (err == 0 && target >= (int64_t(1) << 32)) err = kErrInvalidParameter;
      if (err == 0) {
        const FaultRule* f = MatchFault("seek", handle->board, handle->file, true, uint64_t(target),
                                        uint64_t(target), false, 0, handle->board->kind, -1, "");
        if (f != nullptr && f->err != 0) err = f->err;
      }
      if (err == 0) {
        handle->pos = uint64_t(target);
        handle->seekThread = ::GetCurrentThreadId();
        if (high) *high = LONG(uint64_t(target) >> 32);
        result = DWORD(uint64_t(target) & 0xFFFFFFFFu);
      }
    }
    e.pos = uint64_t(target);
    e.ok = err == 0;
    e.error = err;
    AddTrace(std::move(e));
  }
  if (err != 0) ::SetLastError(err);
  return result;
}

// The checks Windows makes before a read or write moves any byte: a known
// handle, a count to report into, a board still present and the access the
// handle was opened with. Also notes on the trace entry where it went and
// counts a transfer whose seek came from another thread.
DWORD World::CheckTransfer(Handle* handle, bool argumentsOk, DWORD access, TraceEntry* e) {
  if (handle == nullptr) return kErrInvalidHandle;
  if (!argumentsOk) return kErrInvalidParameter;
  Board* b = handle->board;
  e->board = b->name;
  e->file = handle->file;
  e->pos = handle->pos;
  UpdatePresence(b);
  if (handle->seekThread != 0 && handle->seekThread != ::GetCurrentThreadId()) ++interleave_;
  if (!b->present || handle->epoch != b->epoch) return kErrNotConnected;
  if (!(handle->access & access)) return kErrAccessDenied;
  return 0;
}

BOOL World::ReadFile(HANDLE h, void* buf, DWORD len, DWORD* done) {
  DWORD err = 0;
  DWORD delay = 0;
  if (done) *done = 0;
  {
    std::unique_lock<std::mutex> lock(mu_);
    Handle* handle = FindHandle(h);
    TraceEntry e;
    e.op = "read";
    e.handle = reinterpret_cast<uintptr_t>(h);
    e.len = len;
    // No overlapped structure, so the count is required.
    err = CheckTransfer(handle, done != nullptr && (buf != nullptr || len == 0), GENERIC_READ, &e);
    if (err == 0) {
      Board* b = handle->board;
      uint32_t moved = len;
      const FaultRule* f = MatchFault("read", b, handle->file, true, handle->pos,
                                      handle->pos + (len ? len - 1 : 0), false, 0, b->kind, -1, "");
      FaultRule effect;
      if (f != nullptr) effect = *f;
      if (f != nullptr && f->err != 0) err = f->err;
      if (f != nullptr) delay = f->delayMs;
      std::vector<uint8_t> data(len, 0);
      if (err == 0) {
        switch (handle->type) {
          case FileType::Driver:
            if (clock_ == ClockMode::Virtual) virtualUs_ += 10;
            if (b->dead)
              err = kErrGenFailure;
            else if (handle->pos + len > (uint64_t(1) << 32))
              err = kErrInvalidParameter;
            else
              err = SpaceRead(b, handle->pos, data.data(), len);
            break;
          case FileType::Version: {
            const auto& v = b->versionBytes;
            moved = handle->pos >= v.size() ? 0 : uint32_t(std::min<uint64_t>(len, v.size() - handle->pos));
            std::memcpy(data.data(), v.data() + std::min<uint64_t>(handle->pos, v.size()), moved);
            break;
          }
          case FileType::Log: moved = 0; break;
          default: err = kErrInvalidFunction; break;
        }
      }
      if (err == 0 && f != nullptr) {
        if (effect.shortBytes >= 0) moved = std::min<uint32_t>(moved, uint32_t(effect.shortBytes));
        if (effect.xorByte >= 0)
          for (auto& d : data) d ^= uint8_t(effect.xorByte);
        for (size_t i = 0; i < effect.value.size() && i < data.size(); ++i) data[i] = effect.value[i];
      }
      if (err == 0) {
        std::memcpy(buf, data.data(), moved);
        *done = moved;
        handle->pos += moved;
        e.done = moved;
        e.data.assign(data.begin(), data.begin() + std::min<uint32_t>(moved, 32));
      }
    }
    e.ok = err == 0;
    e.error = err;
    AddTrace(std::move(e));
  }
  if (delay != 0) SleepMs(delay);
  if (err != 0) {
    ::SetLastError(err);
    return FALSE;
  }
  return TRUE;
}

BOOL World::WriteFile(HANDLE h, const void* buf, DWORD len, DWORD* done) {
  DWORD err = 0;
  DWORD delay = 0;
  if (done) *done = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    Handle* handle = FindHandle(h);
    TraceEntry e;
    e.op = "write";
    e.handle = reinterpret_cast<uintptr_t>(h);
    e.len = len;
    if (buf != nullptr) {
      const uint8_t* p = static_cast<const uint8_t*>(buf);
      e.data.assign(p, p + std::min<DWORD>(len, 32));
    }
    // No overlapped structure, so the count is required.
    err = CheckTransfer(handle, done != nullptr && (buf != nullptr || len == 0), GENERIC_WRITE, &e);
    if (err == 0) {
      Board* b = handle->board;
      uint32_t moved = len;
      const FaultRule* f = MatchFault("write", b, handle->file, true, handle->pos,
                                      handle->pos + (len ? len - 1 : 0), false, 0, b->kind, -1, "");
      if (f != nullptr && f->err != 0) err = f->err;
      if (f != nullptr && f->shortBytes >= 0) moved = std::min<uint32_t>(len, uint32_t(f->shortBytes));
      if (f != nullptr) delay = f->delayMs;
      const uint8_t* p = static_cast<const uint8_t*>(buf);
      if (err == 0) {
        switch (handle->type) {
          case FileType::Driver:
            if (clock_ == ClockMode::Virtual) virtualUs_ += 10;
            if (b->dead)
              err = kErrGenFailure;
            else if (handle->pos + len > (uint64_t(1) << 32))
              err = kErrInvalidParameter;
            else if (moved != 0)
              err = SpaceWrite(b, handle->pos, p, moved);
            break;
          case FileType::Rds: b->rdsWritten.insert(b->rdsWritten.end(), p, p + moved); break;
          case FileType::Log: b->logWritten.insert(b->logWritten.end(), p, p + moved); break;
          default: err = kErrInvalidFunction; break;
        }
      }
      if (err == 0) {
        *done = moved;
        handle->pos += moved;
        e.done = moved;
      }
    }
    e.ok = err == 0;
    e.error = err;
    AddTrace(std::move(e));
  }
  if (delay != 0) SleepMs(delay);
  if (err != 0) {
    ::SetLastError(err);
    return FALSE;
  }
  return TRUE;
}

BOOL World::DeviceIoControl(HANDLE h, DWORD code, void* in, DWORD inLen, void* out, DWORD outLen,
                            DWORD* returned) {
  DWORD err = 0;
  AudioDevice* device = nullptr;
  IoctlFault fault;
  bool hasFault = false;
  std::string boardName, file;
  {
    std::lock_guard<std::mutex> lock(mu_);
    Handle* handle = FindHandle(h);
    if (handle == nullptr) {
      err = kErrInvalidHandle;
    } else {
      Board* b = handle->board;
      boardName = b->name;
      file = handle->file;
      UpdatePresence(b);
      if (handle->type != FileType::Asio)
        err = kErrInvalidFunction;
      else if (handle->epoch != b->epoch)
        err = kErrNotConnected;
      else {
        device = handle->device;
        calls_[::GetCurrentThreadId()] = Call{device, boardName, file};
        const FaultRule* f = MatchFault("ioctl", b, handle->file, false, 0, 0, true, code, b->kind, -1, "");
        if (f != nullptr) {
          hasFault = true;
          fault.err = f->err;
          fault.hangMs = f->hangMs;
          fault.delayMs = f->delayMs;
          fault.value = f->value;
        }
      }
    }
    if (err != 0) {
      TraceEntry e;
      e.op = "ioctl";
      e.handle = reinterpret_cast<uintptr_t>(h);
      e.board = boardName;
      e.file = file;
      e.pos = code;
      e.ok = false;
      e.error = err;
      AddTrace(std::move(e));
    }
  }
  if (err == 0) {
    // The device paces switches by blocking here; the world lock is not held.
    err = device->Ioctl(code, in, inLen, out, outLen, returned, hasFault ? &fault : nullptr);
    std::lock_guard<std::mutex> lock(mu_);
    // Under mu_, which every cancel takes: none can reach this call any more.
    // Kept, and marked over, so that a switch allocates no map entry.
    calls_[::GetCurrentThreadId()].device = nullptr;
    device->ForgetCancel(::GetCurrentThreadId());
    if (code != kAsioSwitch || err != 0 || traceSwitch_) {
      TraceEntry e;
      e.op = "ioctl";
      e.handle = reinterpret_cast<uintptr_t>(h);
      e.board = boardName;
      e.file = file;
      e.pos = code;
      e.len = inLen;
      e.done = returned ? *returned : 0;
      if (in != nullptr && inLen != 0) {
        const uint8_t* p = static_cast<const uint8_t*>(in);
        e.data.assign(p, p + std::min<DWORD>(inLen, 32));
      } else if (out != nullptr && returned != nullptr && err == 0) {
        const uint8_t* p = static_cast<const uint8_t*>(out);
        e.data.assign(p, p + std::min<DWORD>(std::min(*returned, outLen), 32));
      }
      e.ok = err == 0;
      e.error = err;
      AddTrace(std::move(e));
    }
  }
  if (err != 0) {
    ::SetLastError(err);
    return FALSE;
  }
  return TRUE;
}

BOOL World::CancelSynchronousIo(HANDLE thread) {
  const DWORD id = ::GetThreadId(thread);
  bool found = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    TraceEntry e;
    e.op = "cancel";
    e.pos = id;
    auto it = id != 0 ? calls_.find(id) : calls_.end();
    if (it != calls_.end() && it->second.device != nullptr) {
      found = true;
      e.board = it->second.board;
      e.file = it->second.file;
      it->second.device->Cancel(id);
    }
    e.ok = found;
    e.error = found ? 0 : ERROR_NOT_FOUND;
    AddTrace(std::move(e));
  }
  if (!found) {
    ::SetLastError(ERROR_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}

}  // namespace sim
