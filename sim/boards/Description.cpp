// Building a world from its INI description (keys listed in World.h).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "drivers/DriverOS.h"
#include "drivers/DriverOSTables.h"
#include "sim/boards/World.h"
#include "tvlib/threads/sync.h"

namespace sim {

namespace {

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return std::string();
  size_t b = s.find_last_not_of(" \t\r\n");
  return s.substr(a, b - a + 1);
}

// A ';' after white space starts a comment; '#' does not, since paths hold it.
std::string StripComment(const std::string& line) {
  std::string t = Trim(line);
  if (t.empty() || t[0] == ';' || t[0] == '#') return std::string();
  for (size_t i = 1; i < t.size(); ++i)
    if (t[i] == ';' && (t[i - 1] == ' ' || t[i - 1] == '\t')) return Trim(t.substr(0, i));
  return t;
}

bool U32(const std::string& s, uint32_t* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  unsigned long long v = std::strtoull(s.c_str(), &end, 0);
  if (*end != '\0' || v > 0xFFFFFFFFull) return false;
  *out = uint32_t(v);
  return true;
}

bool I64(const std::string& s, int64_t* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  long long v = std::strtoll(s.c_str(), &end, 0);
  if (*end != '\0') return false;
  *out = v;
  return true;
}

bool Hex(const std::string& s, std::vector<uint8_t>* out) {
  out->clear();
  std::string d;
  for (char c : s) {
    if (c == ' ' || c == ',') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    d += c;
  }
  if (d.size() % 2) return false;
  for (size_t i = 0; i < d.size(); i += 2)
    out->push_back(uint8_t(std::strtoul(d.substr(i, 2).c_str(), nullptr, 16)));
  return true;
}

// "<bank>:<current|previous|0xNN>[:invalid]:<rest>"
bool BankSpec(const std::string& v, uint8_t current, uint8_t previous, int* bank, uint8_t* state, bool* valid,
              std::string* rest) {
  size_t a = v.find(':');
  if (a == std::string::npos) return false;
  size_t b = v.find(':', a + 1);
  std::string bs = v.substr(0, a);
  std::string st = v.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
  *rest = b == std::string::npos ? std::string() : v.substr(b + 1);
  *valid = true;
  if (rest->compare(0, 8, "invalid:") == 0 || *rest == "invalid") {
    *valid = false;
    *rest = rest->size() > 8 ? rest->substr(8) : std::string();
  }
  if (bs != "0" && bs != "1") return false;
  *bank = bs == "1" ? 1 : 0;
  uint32_t s = 0;
  if (st == "current")
    *state = current;
  else if (st == "previous")
    *state = previous;
  else if (U32(st, &s) && s <= 0xFF)
    *state = uint8_t(s);
  else
    return false;
  return true;
}

std::string DefaultPath(int kind, size_t n) {
  char buf[200];
  std::snprintf(
      buf, sizeof(buf),
      "\\\\?\\pci#ven_1172&dev_e001&subsys_00011172&rev_01#4&2c0e0e1a&0&%04zx#{9fb60060-c831-44f8-891e-"
      "40ff75bd73f%d}",
      0xE0 + 8 * n, kind == 0 ? 2 : 3);
  return buf;
}

}  // namespace

bool World::LoadFile(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot read " + path;
    return false;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  return LoadText(ss.str(), error);
}

bool World::LoadText(const std::string& text, std::string* error) {
  Reset();
  auto fail = [&](const std::string& m) {
    if (error) *error = m;
    return false;
  };

  struct Section {
    std::string name;
    std::vector<std::pair<std::string, std::string>> keys;
  };
  std::vector<Section> sections;
  std::istringstream in(text);
  std::string raw;
  int lineNo = 0;
  while (std::getline(in, raw)) {
    ++lineNo;
    std::string line = StripComment(raw);
    if (line.empty()) continue;
    if (line.front() == '[') {
      if (line.back() != ']') return fail("line " + std::to_string(lineNo) + ": bad section");
      sections.push_back({Trim(line.substr(1, line.size() - 2)), {}});
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos || sections.empty())
      return fail("line " + std::to_string(lineNo) + ": " + line);
    sections.back().keys.emplace_back(Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)));
  }

  // [sim] applies to every board (clock, capture), wherever it stands.
  std::stable_partition(sections.begin(), sections.end(), [](const Section& s) { return s.name == "sim"; });
  size_t boardCount = 0;
  for (const Section& s : sections) {
    if (s.name == "sim") {
      for (const auto& kv : s.keys) {
        const std::string &k = kv.first, &v = kv.second;
        int64_t n = 0;
        if (k == "clock") {
          if (v == "realtime")
            clock_ = ClockMode::Realtime;
          else if (v == "fast")
            clock_ = ClockMode::Fast;
          else if (v == "virtual")
            clock_ = ClockMode::Virtual;
          else
            return fail("bad clock: " + v);
        } else if (k == "os_major" && I64(v, &n)) {
          osMajor_ = int(n);
        } else if (k == "capture_dir") {
          captureDir_ = v;
        } else if (k == "capture_seconds") {
          captureSeconds_ = v;
        } else if (k == "trace_file") {
          traceFile_ = v;
        } else if (k == "trace_switch") {
          traceSwitch_ = v != "0";
        } else if (k == "control_file") {
          std::lock_guard<std::mutex> lock(mu_);
          controlFile_ = v;
        } else if (k == "pace") {
          char* end = nullptr;
          const double pace = std::strtod(v.c_str(), &end);
          if (v.empty() || *end != '\0' || !(pace >= 0.001 && pace <= 1000000.0))
            return fail("bad pace: " + v);
          pace_ = pace;
        } else if (k == "fault") {
          std::string e;
          if (!AddFault(v, std::string(), &e)) return fail(e);
        } else {
          return fail("unknown [sim] key: " + k);
        }
      }
      continue;
    }
    if (s.name.compare(0, 6, "board ") != 0) return fail("unknown section: " + s.name);
    const std::string name = Trim(s.name.substr(6));
    int kind = 1;
    std::string path;
    for (const auto& kv : s.keys) {
      if (kv.first == "kind") {
        if (kv.second == "PCI")
          kind = 0;
        else if (kv.second == "QBX")
          kind = 1;
        else
          return fail("bad kind: " + kv.second);
      }
      if (kv.first == "path") path = kv.second;
    }
    if (path.empty()) path = DefaultPath(kind, boardCount);
    ++boardCount;
    Board* b = AddBoard(name, kind, path);

    bool haveSerial = false, trvl = true, haveDsps = false, haveAsio = false;
    uint32_t serial = 0, serial188 = 0, dsps = 0, mask = 0, asioCount = 8;
    std::string serialText, maskSource = "flash";
    bool haveSerialText = false, havePciSerial = false;
    for (const auto& kv : s.keys) {
      const std::string &k = kv.first, &v = kv.second;
      uint32_t u = 0;
      int64_t n = 0;
      std::vector<uint8_t> bytes;
      bool ok = true;
      if (k == "kind" || k == "path") {
      } else if (k == "serial") {
        ok = U32(v, &serial);
        haveSerial = true;
      } else if (k == "trvl") {
        trvl = v != "0";
      } else if (k == "serial188") {
        ok = U32(v, &serial188);
        havePciSerial = true;
      } else if (k == "serial_text") {
        serialText = v;
        haveSerialText = true;
      } else if (k == "serial_text_hex") {
        ok = Hex(v, &bytes);
        serialText.assign(bytes.begin(), bytes.end());
        haveSerialText = true;
      } else if (k == "serial_bank") {
        int bank = 0;
        uint8_t state = 0;
        bool valid = true;
        std::string rest;
        ok = BankSpec(v, 0xE5, 0x05, &bank, &state, &valid, &rest);
        if (ok) SetSerialBank(b, bank, state, valid, rest);
      } else if (k == "dsp_info") {
        int bank = 0;
        uint8_t state = 0;
        bool valid = true;
        std::string rest;
        ok = BankSpec(v, 0xEB, 0x0B, &bank, &state, &valid, &rest) && Hex(rest, &bytes);
        if (ok) SetDspInfo(b, bank, state, valid, bytes);
      } else if (k == "driver_version") {
        b->versionBytes.assign(v.begin(), v.end());
      } else if (k == "tvversion_hex") {
        ok = Hex(v, &b->versionBytes);
      } else if (k == "tvversion") {
        b->hasVersionFile = v != "none";
      } else if (k == "identity") {
        ok = U32(v, &b->identity);
      } else if (k == "feature") {
        ok = U32(v, &u) && u <= 0xFF;
        b->feature = uint8_t(u);
      } else if (k == "logic_version") {
        ok = U32(v, &b->logicVersion);
      } else if (k == "reg76") {
        ok = U32(v, &b->reg76);
      } else if (k == "reg80") {
        ok = U32(v, &b->reg80);
      } else if (k == "dsps") {
        ok = U32(v, &dsps) && dsps <= 15;
        haveDsps = true;
      } else if (k == "mask") {
        ok = U32(v, &mask) && mask <= 0xFF;
      } else if (k == "mask_source") {
        maskSource = v;
        ok = v == "flash" || v == "reg76" || v == "none";
      } else if (k == "asio_count") {
        ok = U32(v, &asioCount) && asioCount <= 64;
        haveAsio = true;
      } else if (k == "dsp_signature") {
        ok = Hex(v, &bytes) && bytes.size() == 11;
        if (ok) std::copy(bytes.begin(), bytes.end(), b->signature);
      } else if (k == "board_reset_ms" && I64(v, &n)) {
        b->boardResetMs = n;
      } else if (k == "pico_reset_ms" && I64(v, &n)) {
        b->picoResetMs = n;
      } else if (k == "pico_ready_ms" && I64(v, &n)) {
        b->picoReadyMs = n;
      } else if (k == "dsp_boot_ms" && I64(v, &n)) {
        b->dspBootMs = n;
      } else if (k == "plugged") {
        ok = v == "0" || v == "1";
        if (v == "0") {
          b->presentAfterMs = INT64_MAX;
          b->present = false;
        }
      } else if (k == "present_after_ms" && I64(v, &n)) {
        b->presentAfterMs = n;
        b->present = n <= 0;
      } else if (k == "unplug_at_ms" && I64(v, &n)) {
        b->unplugAtMs = n;
      } else if (k == "replug_at_ms" && I64(v, &n)) {
        b->replugAtMs = n;
      } else if (k == "strict") {
        b->strict = v != "0";
      } else if (k == "fault") {
        std::string e;
        if (!AddFault(v, name, &e)) return fail(e);
      } else if (!b->audio.Set(k, v)) {
        return fail("board " + name + ": unknown key or bad value: " + k + "=" + v);
      }
      if (!ok) return fail("board " + name + ": bad value: " + k + "=" + v);
    }

    if (kind == 1) {
      if (haveSerial) SetQbxSerial(b, serial, trvl);
    } else if (haveSerial || havePciSerial || haveSerialText) {
      SetPciSerialRegisters(b, serial, serial188, serialText);
    }
    if (kind == 0) {
      uint8_t v[4];
      for (int i = 0; i < 4; ++i) v[i] = uint8_t(b->reg76 >> (8 * i));
      if (b->reg76) PokeRam(b, 0x7F00054C, v, 4);
      for (int i = 0; i < 4; ++i) v[i] = uint8_t(b->reg80 >> (8 * i));
      if (b->reg80) PokeRam(b, 0x7F000550, v, 4);
    }
    if (haveDsps) {
      SetDspLayout(b, int(dsps), uint8_t(mask), maskSource);
      if (haveAsio) SetAsioCount(b, int(asioCount));
    } else {
      SetAsioCount(b, int(asioCount));
    }
  }
  {
    // Black-box runs name a fresh folder for their files.
    std::lock_guard<std::mutex> lock(mu_);
    if (!captureDir_.empty()) ::CreateDirectoryA(captureDir_.c_str(), nullptr);
    WriteWorldStats();
  }
  StartControlWatcher();
  return true;
}

void ResetDriverTables() {
  // Only while no driver object of the old world is in use.
  driveros::Tables& t = driveros::GetTables();
  CCriticalSectionLocker turn(t.enumerationLock);
  for (driveros::KindTable& k : t.kinds) {
    k.count.store(0, std::memory_order_release);
    for (std::string& p : k.paths) p.clear();
    CCriticalSectionLocker lock(t.versionLock);
    k.version.clear();
  }
  t.enumerated = false;
}

bool NewWorld(const std::string& description) {
  std::string error;
  if (!World::Instance().LoadText(description, &error)) {
    std::fprintf(stderr, "simulated world: %s\n", error.c_str());
    return false;
  }
  ResetDriverTables();
  return true;
}

}  // namespace sim
