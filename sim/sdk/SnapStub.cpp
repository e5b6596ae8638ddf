// Stand-in embedder SDK: one worker thread per initialised embedder marks the
// audio and hands it back through the listener, never on the caller's thread.
// Behaviour and faults are driven by a key=value configuration (see the header).
#ifndef SNAPSDK_BUILD
#define SNAPSDK_BUILD
#endif
#include "SnapLiveAudioEmbedderSDK.h"

#include "tvlib/win.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

using namespace KantarMedia;

namespace {

// ---- configuration ---------------------------------------------------------

struct Section {
  int kind = 0;  // 0 global, 1 [create:N], 2 [name:TEXT]
  std::string arg;
  std::map<std::string, std::string> kv;
};

std::mutex g_lock;  // guards everything in this block
std::vector<Section> g_sections;
std::string g_configText;  // from SnapStub_Configure
std::string g_fileText;    // from SNAPSTUB_CONFIG
FILETIME g_fileTime = {0, 0};
std::string g_trace;
SnapStubStats g_total;
std::map<int, SnapStubStats> g_per;
// Serials of the latest destroyed embedders, oldest first: only their stats
// are kept, or a long run that keeps re-creating embedders would keep growing.
std::deque<int> g_destroyedSerials;
const size_t kKeptDestroyed = 256;
std::vector<DWORD> g_callbackThreads;
std::set<DWORD> g_callerThreads;
std::set<void*> g_live;
long g_createCalls = 0;
int g_serial = 0;
LARGE_INTEGER g_t0, g_freq;
const char kVersion[] = "5.2.1 stand-in";

thread_local bool t_inCallback = false;
int64_t g_versionCalls = 0;
void EnterVersionCall() { ++g_versionCalls; }

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(" \t\r\n");
  return s.substr(a, b - a + 1);
}

void ParseInto(const std::string& text, std::vector<Section>& out) {
  if (out.empty()) out.emplace_back();
  size_t cur = 0;  // section index lines go to
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string line = Trim(text.substr(pos, nl - pos));
    pos = nl + 1;
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      std::string in =
          line.substr(1, line.find(']') == std::string::npos ? std::string::npos : line.find(']') - 1);
      Section s;
      if (in.compare(0, 7, "create:") == 0) {
        s.kind = 1;
        s.arg = Trim(in.substr(7));
      } else if (in.compare(0, 5, "name:") == 0) {
        s.kind = 2;
        s.arg = Trim(in.substr(5));
      } else {
        cur = 0;
        continue;
      }
      out.push_back(s);
      cur = out.size() - 1;
      continue;
    }
    size_t eq = line.find('=');
    size_t at = line.find('@');
    std::string key, value;
    if (eq != std::string::npos && (at == std::string::npos || eq < at)) {
      key = Trim(line.substr(0, eq));
      value = Trim(line.substr(eq + 1));
    } else if (at != std::string::npos) {  // "audio_duplicate@5"
      key = Trim(line.substr(0, at));
      value = Trim(line.substr(at + 1));
    } else {
      key = line;
      value = "1";
    }
    out[cur].kv[key] = value;
  }
}

void RebuildLocked() {
  std::vector<Section> s;
  ParseInto(g_fileText, s);
  ParseInto(g_configText, s);  // in-process keys win over the file's
  g_sections.swap(s);
}

void ReloadFileLocked() {
  char path[MAX_PATH];
  DWORD n = GetEnvironmentVariableA("SNAPSTUB_CONFIG", path, sizeof path);
  if (n == 0 || n >= sizeof path) {
    if (!g_fileText.empty()) {
      g_fileText.clear();
      RebuildLocked();
    }
    return;
  }
  WIN32_FILE_ATTRIBUTE_DATA fa;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &fa)) return;
  if (CompareFileTime(&fa.ftLastWriteTime, &g_fileTime) == 0 && !g_fileText.empty()) return;
  FILE* f = fopen(path, "rb");
  if (!f) return;
  std::string text;
  char buf[4096];
  size_t r;
  while ((r = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, r);
  fclose(f);
  g_fileTime = fa.ftLastWriteTime;
  g_fileText = text;
  RebuildLocked();
}

std::string CfgLocked(int serial, const std::string& name, const char* key, const char* def) {
  const std::string ser = std::to_string(serial);
  for (size_t i = g_sections.size(); i-- > 1;) {
    const Section& s = g_sections[i];
    if ((s.kind == 1 && s.arg == ser) || (s.kind == 2 && !name.empty() && s.arg == name)) {
      auto it = s.kv.find(key);
      if (it != s.kv.end()) return it->second;
    }
  }
  if (!g_sections.empty()) {
    auto it = g_sections[0].kv.find(key);
    if (it != g_sections[0].kv.end()) return it->second;
  }
  return def;
}

// "<code>", "<code>@n" (only the n-th call) or "<code>@every=k" / "<code>|every=k".
bool CodeApplies(const std::string& v, long count, int* code) {
  if (v.empty()) return false;
  *code = atoi(v.c_str());
  size_t ev = v.find("every=");
  if (ev != std::string::npos) {
    long k = atol(v.c_str() + ev + 6);
    return k > 0 && count % k == 0;
  }
  size_t at = v.find('@');
  if (at != std::string::npos) return count == atol(v.c_str() + at + 1);
  return true;
}

// ---- counters and trace ----------------------------------------------------

void BumpLocked(int serial, int64_t SnapStubStats::*field, int64_t d = 1) {
  g_total.*field += d;
  if (serial > 0) g_per[serial].*field += d;
}

void Bump(int serial, int64_t SnapStubStats::*field, int64_t d = 1) {
  std::lock_guard<std::mutex> g(g_lock);
  BumpLocked(serial, field, d);
}

void SetStat(int serial, int64_t SnapStubStats::*field, int64_t v) {
  std::lock_guard<std::mutex> g(g_lock);
  g_total.*field = v;
  if (serial > 0) g_per[serial].*field = v;
}

// Every entry from outside: count it and remember the calling thread, so a
// callback made on a caller's thread shows up in the counters.
void EnterCall(int serial) {
  std::lock_guard<std::mutex> g(g_lock);
  BumpLocked(serial, &SnapStubStats::calls);
  if (!t_inCallback) g_callerThreads.insert(GetCurrentThreadId());
}

void Trace(int serial, const char* format, ...) {
  char text[1024];
  va_list ap;
  va_start(ap, format);
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  char line[1200];
  snprintf(line, sizeof line, "t=%.6f emb=%d %s\n",
           double(now.QuadPart - g_t0.QuadPart) / double(g_freq.QuadPart), serial, text);
  std::lock_guard<std::mutex> g(g_lock);
  if (g_trace.size() < (4u << 20)) g_trace += line;
  char path[MAX_PATH];
  DWORD n = GetEnvironmentVariableA("SNAPSTUB_TRACE", path, sizeof path);
  if (n > 0 && n < sizeof path) {
    if (FILE* f = fopen(path, "ab")) {
      fputs(line, f);
      fclose(f);
    }
  }
}

void Violation(int serial, const char* what) {
  Bump(serial, &SnapStubStats::violations);
  Trace(serial, "VIOLATION %s", what);
}

struct Init {
  Init() {
    QueryPerformanceFrequency(&g_freq);
    QueryPerformanceCounter(&g_t0);
    memset(&g_total, 0, sizeof g_total);
    g_total.priority = -1;
  }
} g_init;

// ---- threads -----------------------------------------------------------------

template <class F>
HANDLE StartThread(F f, const wchar_t* name, DWORD* id = nullptr) {
  auto* p = new F(f);
  HANDLE h = CreateThread(
      nullptr, 0,
      [](void* arg) -> DWORD {
        F* fn = static_cast<F*>(arg);
        (*fn)();
        delete fn;
        return 0;
      },
      p, 0, id);
  if (!h) {
    delete p;
    return nullptr;
  }
  typedef HRESULT(WINAPI * SetDesc)(HANDLE, PCWSTR);
  static SetDesc setDesc = reinterpret_cast<SetDesc>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetThreadDescription")));
  if (setDesc && name) setDesc(h, name);
  return h;
}

void JoinThread(HANDLE& h) {
  if (!h) return;
  WaitForSingleObject(h, INFINITE);
  CloseHandle(h);
  h = nullptr;
}

int MapPriority(int p) {
  if (p >= 15) return THREAD_PRIORITY_TIME_CRITICAL;
  if (p >= 8) return THREAD_PRIORITY_HIGHEST;
  if (p >= 2) return THREAD_PRIORITY_ABOVE_NORMAL;
  return THREAD_PRIORITY_NORMAL;
}

// ---- the embedder -------------------------------------------------------------

class StubEmbedder;

class StubSettings : public IEmbedderSettings {
 public:
  StubEmbedder* owner = nullptr;
  int GetInterfaceVersion() override { return 1; }
  int SetBitsPerSample(int bits) override;
  int SetChannels(int count) override;
};

struct Input {
  std::vector<uint8_t> data;
  void* context;
};

struct Segment {
  size_t remaining;
  void* context;
};

class StubEmbedder final : public ISnapLiveAudioEmbedder {
 public:
  int serial = 0;
  IEmbedderListener* listener = nullptr;
  StubSettings settings;

  // Guarded by m.
  std::mutex m;
  std::condition_variable cv;
  bool initialized = false;
  bool stop = false;
  bool logStop = false;
  bool flush = true;
  std::deque<Input> fifo;
  int pendingOverflow = 0;
  uint64_t framesIn = 0;

  // Board-side state (the caller orders these calls).
  int bits = 0, channels = 0;
  std::string name;
  uint32_t watermarkId = 0;
  std::vector<std::string> names;
  std::vector<const char*> namePtrs;
  std::vector<uint32_t> ids;
  HANDLE recordFile = INVALID_HANDLE_VALUE;
  int64_t recordBytes = 0;
  int priority = -1;
  uint64_t affinity = 0;
  long addCount = 0, resyncCount = 0, fetchCount = 0, initCount = 0;
  // Calls seen by the result keys below (the n of "<code>@n").
  long bitsCount = 0, channelsCount = 0, nameListCount = 0, nameCount = 0, recordCount = 0, priorityCount = 0;

  // A result key ("<code>", "<code>@n", "<code>@every=k") that applies to
  // this call: its non-zero code, else 0.
  int Injected(const char* key, long* count) {
    int code = 0;
    return CodeApplies(Cfg(key, ""), ++*count, &code) ? code : 0;
  }
  uint32_t lastAddBytes = 0;

  HANDLE worker = nullptr, logThread = nullptr, lateThread = nullptr;
  DWORD workerId = 0, logThreadId = 0;
  // held_callback=1: one log event dispatched at Initialize and held until
  // Destroy has begun, as an SDK thread already calling back when its
  // embedder is destroyed. Destroy joins it: the listener stays valid.
  HANDLE heldThread = nullptr, destroyBegun = nullptr;

  std::atomic<int> inAdd{0}, inResync{0}, inTeardown{0};

  // For the benchmark: (entry, exit) performance-counter values of every
  // AddAudioBuffer call, accepted or refused, in a ring allocated with the
  // embedder.
  static const size_t kTimeRing = 16384;
  std::vector<std::pair<int64_t, int64_t>> addTimes = std::vector<std::pair<int64_t, int64_t>>(kTimeRing);
  std::atomic<uint64_t> addTimeCount{0};
  std::atomic<void*> lastContext{nullptr};

  // Worker-only.
  std::vector<uint8_t> out;
  size_t outOff = 0, staged = 0;
  std::deque<Segment> segs;
  long chunkIndex = 0;
  struct {
    int bits, channels;
    size_t chunkBytes, holdBytes;
    int emitDelayMs, nullEvery, stallMs, dupN;
    long dropAfter, stallN;
  } run{};

  std::string Cfg(const char* key, const char* def) {
    std::lock_guard<std::mutex> g(g_lock);
    return CfgLocked(serial, name, key, def);
  }
  long CfgInt(const char* key, long def) {
    std::string v = Cfg(key, "");
    return v.empty() ? def : atol(v.c_str());
  }

  void BuildNames() {
    names.clear();
    long n = CfgInt("channel_name_count", -1);
    if (n >= 0) {
      for (long i = 0; i < n; ++i) {
        char b[32];
        snprintf(b, sizeof b, "NAME_%02ld", i);
        names.push_back(b);
      }
    } else {
      std::string list = Cfg("channel_names", "STANDIN_A,STANDIN_B,certif");
      size_t p = 0;
      while (p <= list.size()) {
        size_t c = list.find(',', p);
        if (c == std::string::npos) c = list.size();
        std::string one = Trim(list.substr(p, c - p));
        if (!one.empty()) names.push_back(one);
        p = c + 1;
      }
    }
    namePtrs.clear();
    ids.clear();
    for (size_t i = 0; i < names.size(); ++i) {
      namePtrs.push_back(names[i].c_str());
      ids.push_back(uint32_t(1000 + i));
    }
  }

  // ---- callbacks (worker and helper threads only) ----
  void NoteCallback(int result, bool audio) {
    DWORD me = GetCurrentThreadId();
    std::lock_guard<std::mutex> g(g_lock);
    BumpLocked(serial, audio ? &SnapStubStats::audio_callbacks : &SnapStubStats::log_callbacks);
    if (result != 0) BumpLocked(serial, &SnapStubStats::callback_nonzero);
    g_total.last_callback_result = result;
    g_per[serial].last_callback_result = result;
    if (std::find(g_callbackThreads.begin(), g_callbackThreads.end(), me) == g_callbackThreads.end()) {
      g_callbackThreads.push_back(me);
      g_total.callback_threads = int64_t(g_callbackThreads.size());
    }
    if (g_callerThreads.count(me)) BumpLocked(serial, &SnapStubStats::callbacks_on_caller);
  }
  // The listener is reached as an SDK built by Microsoft's compiler reaches
  // it: through its vtable by slot, with `this` as the first argument (the
  // x64 convention of member functions). A listener laid out any other way
  // fails here, not on a customer's PC.
  template <class Slot>
  Slot ListenerSlot(int index) {
    void* const* vtable = *reinterpret_cast<void* const* const*>(listener);
    return reinterpret_cast<Slot>(vtable[index]);
  }
  void CallLog(int level, int code, const char* text) {
    LogEvent ev{level, code, text};
    t_inCallback = true;
    int r = ListenerSlot<int (*)(IEmbedderListener*, const LogEvent*)>(1)(listener, &ev);
    t_inCallback = false;
    NoteCallback(r, false);
  }
  void CallAudio(const void* p, uint32_t n, void* ctx) {
    t_inCallback = true;
    int r = ListenerSlot<int (*)(IEmbedderListener*, const void*, uint32_t, void*)>(2)(listener, p, n, ctx);
    t_inCallback = false;
    NoteCallback(r, true);
  }

  void Mark(std::vector<uint8_t>& d) {
    // Only the lowest byte of every sample changes; the simulator's frame
    // counter in the upper bits stays readable.
    size_t step = size_t(run.bits / 8);
    for (size_t i = 0; i + step <= d.size(); i += step) {
      if (run.bits == 16)
        d[i] = uint8_t((d[i] & 0xF0) | 0x0A);
      else
        d[i] = uint8_t(0xA0 | (d[i] & 0x0F));
    }
  }

  void Deliver(const uint8_t* p, size_t n, void* ctx) {
    ++chunkIndex;
    if (run.dropAfter > 0 && chunkIndex > run.dropAfter) return;
    if (run.stallN == chunkIndex && run.stallMs > 0) Sleep(DWORD(run.stallMs));
    if (run.emitDelayMs > 0) Sleep(DWORD(run.emitDelayMs));
    if (run.nullEvery > 0 && chunkIndex % run.nullEvery == 0) CallAudio(nullptr, 0, ctx);
    CallAudio(p, uint32_t(n), ctx);
    Bump(serial, &SnapStubStats::bytes_out, int64_t(n));
    if (run.dupN == chunkIndex) CallAudio(p, uint32_t(n), ctx);
    if (recordFile != INVALID_HANDLE_VALUE && recordBytes < (16 << 20)) {
      DWORD w = 0;
      DWORD want = DWORD(std::min<int64_t>(int64_t(n), (16 << 20) - recordBytes));
      if (WriteFile(recordFile, p, want, &w, nullptr)) {
        recordBytes += w;
        Bump(serial, &SnapStubStats::record_bytes, w);
      }
    }
  }

  void EmitAvailable(size_t hold) {
    while (staged > hold && !segs.empty()) {
      size_t n = std::min(segs.front().remaining, staged - hold);
      if (run.chunkBytes) n = std::min(n, run.chunkBytes);
      if (n == 0) break;
      Deliver(out.data() + outOff, n, segs.front().context);
      outOff += n;
      staged -= n;
      segs.front().remaining -= n;
      if (segs.front().remaining == 0) segs.pop_front();
    }
    if (outOff == out.size() || outOff > (1u << 20)) {
      out.erase(out.begin(), out.begin() + std::ptrdiff_t(outOff));
      outOff = 0;
    }
  }

  void WorkerMain() {
    char text[96];
    snprintf(text, sizeof text, "Start watermarking using ID %lu", (unsigned long)watermarkId);
    CallLog(0, 0, text);
    bool doFlush = true;
    for (;;) {
      Input in{{}, nullptr};
      bool have = false;
      int overflow = 0;
      {
        std::unique_lock<std::mutex> g(m);
        cv.wait(g, [&] { return stop || !fifo.empty() || pendingOverflow > 0; });
        overflow = pendingOverflow;
        pendingOverflow = 0;
        if (stop && !flush) {
          fifo.clear();
          doFlush = false;
        }
        if (!fifo.empty()) {
          in = std::move(fifo.front());
          fifo.pop_front();
          have = true;
        } else if (stop && overflow == 0) {
          break;
        }
      }
      for (int i = 0; i < overflow; ++i) CallLog(2, 6, "Input buffer overflow, audio dropped");
      if (!have) continue;
      Mark(in.data);
      out.insert(out.end(), in.data.begin(), in.data.end());
      staged += in.data.size();
      segs.push_back(Segment{in.data.size(), in.context});
      EmitAvailable(run.holdBytes);
    }
    if (doFlush) EmitAvailable(0);
    out.clear();
    outOff = staged = 0;
    segs.clear();
  }

  void LogMain() {
    long every = CfgInt("log_every_ms", 1000);
    bool periodic = CfgInt("log_thread", 0) != 0;
    long flood = CfgInt("log_flood", 0);
    std::string ev = Cfg("log_event", "");
    int evLevel = 0, evCode = 0;
    long evAt = -1;
    std::string evText;
    if (!ev.empty()) {
      size_t c1 = ev.find(':'), c2 = c1 == std::string::npos ? c1 : ev.find(':', c1 + 1);
      size_t at = ev.rfind('@');
      if (c2 != std::string::npos) {
        evLevel = atoi(ev.c_str());
        evCode = atoi(ev.c_str() + c1 + 1);
        evText = ev.substr(c2 + 1, at == std::string::npos || at < c2 ? std::string::npos : at - c2 - 1);
        evAt = at == std::string::npos || at < c2 ? 0 : atol(ev.c_str() + at + 1);
      }
    }
    for (long i = 0; i < flood; ++i) {
      char t[64];
      snprintf(t, sizeof t, "Flood event %ld", i + 1);
      CallLog(0, 0, t);
    }
    ULONGLONG start = GetTickCount64(), last = start;
    for (;;) {
      ULONGLONG now = GetTickCount64();
      long wait = 1000;
      if (periodic) wait = std::min<long>(wait, long(every - long(now - last)));
      if (evAt >= 0) wait = std::min<long>(wait, long(evAt - long(now - start)));
      if (wait < 0) wait = 0;
      uint64_t frames = 0;
      {
        std::unique_lock<std::mutex> g(m);
        cv.wait_for(g, std::chrono::milliseconds(wait), [&] { return logStop; });
        if (logStop) break;
        frames = framesIn;
      }
      now = GetTickCount64();
      if (evAt >= 0 && long(now - start) >= evAt) {
        CallLog(evLevel, evCode, evText.c_str());
        evAt = -1;
      }
      if (periodic && long(now - last) >= every) {
        char t[64];
        snprintf(t, sizeof t, "Embedding %u frames", unsigned(frames));
        CallLog(0, 0, t);
        last = now;
      }
      if (!periodic && evAt < 0) {
        std::unique_lock<std::mutex> g(m);
        cv.wait(g, [&] { return logStop; });
        break;
      }
    }
  }

  void Start() {
    run.bits = bits;
    run.channels = channels;
    size_t frameBytes = size_t(bits / 8) * size_t(channels);
    run.chunkBytes = size_t(std::max(0L, CfgInt("chunk_frames", 0))) * frameBytes;
    run.holdBytes = size_t(std::max(0L, CfgInt("latency_frames", 0))) * frameBytes;
    run.emitDelayMs = int(CfgInt("emit_delay_ms", 0));
    run.nullEvery = int(CfgInt("audio_null_every", 0));
    run.dropAfter = CfgInt("audio_drop_after", 0);
    run.dupN = int(CfgInt("audio_duplicate", 0));
    std::string stall = Cfg("audio_stall_ms", "");
    run.stallMs = atoi(stall.c_str());
    run.stallN = stall.find('@') == std::string::npos ? (stall.empty() ? 0 : 1)
                                                      : atol(stall.c_str() + stall.find('@') + 1);
    chunkIndex = 0;
    {
      std::lock_guard<std::mutex> g(m);
      stop = logStop = false;
      flush = true;
      framesIn = 0;
    }
    wchar_t wname[48];
    swprintf(wname, 48, L"snapstub-worker-%d", serial);
    worker = StartThread([this] { WorkerMain(); }, wname, &workerId);
    if (worker) {
      if (priority >= 0) ::SetThreadPriority(worker, MapPriority(priority));
      if (affinity) SetThreadAffinityMask(worker, DWORD_PTR(affinity));
    }
    if (CfgInt("log_thread", 0) || !Cfg("log_event", "").empty() || CfgInt("log_flood", 0) > 0) {
      swprintf(wname, 48, L"snapstub-log-%d", serial);
      logThread = StartThread([this] { LogMain(); }, wname, &logThreadId);
    }
  }

  void StopThreads() {
    bool fl = CfgInt("finalize_flush", 1) != 0;
    {
      std::lock_guard<std::mutex> g(m);
      stop = true;
      logStop = true;
      flush = fl;
    }
    cv.notify_all();
    JoinThread(worker);
    JoinThread(logThread);
    std::lock_guard<std::mutex> g(m);
    fifo.clear();
    pendingOverflow = 0;
    initialized = false;
  }

  bool IsOwnThread() const {
    DWORD me = GetCurrentThreadId();
    return t_inCallback || (worker && me == workerId) || (logThread && me == logThreadId);
  }

  // ---- IEmbedder ----
  int GetInterfaceVersion() override { return 1; }

  int Initialize() override {
    EnterCall(serial);
    int r = 0, code = 0;
    bool init;
    {
      std::lock_guard<std::mutex> g(m);
      init = initialized;
    }
    ++initCount;
    if (init)
      r = 22;
    else if (bits == 0 || channels == 0 || name.empty())
      r = 27;
    else if (CodeApplies(Cfg("init_result", ""), initCount, &code) && code != 0)
      r = code;
    if (r == 0) {
      Start();
      std::lock_guard<std::mutex> g(m);
      initialized = true;
    }
    if (r == 0 && CfgInt("held_callback", 0) && !heldThread) {
      destroyBegun = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      heldThread = StartThread(
          [this] {
            WaitForSingleObject(destroyBegun, INFINITE);
            CallLog(0, 0, "Held event");
          },
          L"snapstub-held");
    }
    if (r == 0) Bump(serial, &SnapStubStats::initializes);
    Trace(serial, "Initialize() -> %d", r);
    return r;
  }

  int Finalize() override {
    EnterCall(serial);
    if (IsOwnThread()) {
      Violation(serial, "Finalize from a callback");
      Trace(serial, "Finalize() -> 6");
      return 6;
    }
    ++inTeardown;
    if (inAdd.load() || inResync.load())
      Violation(serial, "Finalize concurrent with AddAudioBuffer/Resynchronize");
    bool init;
    {
      std::lock_guard<std::mutex> g(m);
      init = initialized;
    }
    int r = 21;
    if (init) {
      StopThreads();
      Bump(serial, &SnapStubStats::finalizes);
      r = 0;
      if (CfgInt("callback_after_finalize", 0)) {
        JoinThread(lateThread);
        lateThread = StartThread(
            [this] {
              Sleep(20);
              CallLog(0, 0, "Late event after finalize");
            },
            L"snapstub-late");
      }
    }
    --inTeardown;
    Trace(serial, "Finalize() -> %d", r);
    return r;
  }

  int AddAudioBuffer(const void* buffer, uint32_t byteCount, void* context) override {
    LARGE_INTEGER entry;
    QueryPerformanceCounter(&entry);
    EnterCall(serial);
    if (inAdd.fetch_add(1) > 0) Violation(serial, "concurrent AddAudioBuffer");
    if (inTeardown.load()) Violation(serial, "AddAudioBuffer concurrent with Finalize/Destroy");
    int r = 0, code = 0;
    bool init;
    {
      std::lock_guard<std::mutex> g(m);
      init = initialized;
    }
    uint32_t frameBytes = uint32_t(run.bits / 8 * run.channels);
    if (!init)
      r = 21;
    else if (!buffer)
      r = 2;
    else if (byteCount == 0)
      r = 3;
    else if (frameBytes == 0 || byteCount % frameBytes != 0)
      r = 26;
    else if (CodeApplies(Cfg("add_result", ""), ++addCount, &code) && code != 0)
      r = code;
    if (r == 0) {
      if (lastAddBytes != 0 && lastAddBytes != byteCount) {
        Bump(serial, &SnapStubStats::size_changes);
        Trace(serial, "NOTE AddAudioBuffer size changed %u -> %u", lastAddBytes, byteCount);
      }
      lastAddBytes = byteCount;
      const uint8_t* p = static_cast<const uint8_t*>(buffer);
      bool dropped = false;
      {
        std::lock_guard<std::mutex> g(m);
        if (fifo.size() >= 64) {
          ++pendingOverflow;  // reported by the worker, never on this thread
          dropped = true;
        } else {
          fifo.push_back(Input{std::vector<uint8_t>(p, p + byteCount), context});
          framesIn += byteCount / frameBytes;
        }
      }
      cv.notify_all();
      std::lock_guard<std::mutex> g(g_lock);
      BumpLocked(serial, dropped ? &SnapStubStats::overflow_drops : &SnapStubStats::adds);
      if (!dropped) BumpLocked(serial, &SnapStubStats::bytes_in, byteCount);
    } else {
      Bump(serial, &SnapStubStats::add_refusals);
    }
    Trace(serial, "AddAudioBuffer(%p,%u,%p) -> %d", buffer, byteCount, context, r);
    --inAdd;
    {
      LARGE_INTEGER exit;
      QueryPerformanceCounter(&exit);
      const uint64_t n = addTimeCount.load(std::memory_order_relaxed);
      addTimes[n % kTimeRing] = std::make_pair(int64_t(entry.QuadPart), int64_t(exit.QuadPart));
      lastContext.store(context, std::memory_order_relaxed);
      addTimeCount.store(n + 1, std::memory_order_release);
    }
    return r;
  }

  int EnableRecord(const char* directory) override {
    EnterCall(serial);
    int r = 0;
    if (!directory) {
      r = 2;
    } else if ((r = Injected("record_result", &recordCount)) != 0) {
    } else {
      DWORD a = GetFileAttributesA(directory);
      if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY)) {
        r = 100;
      } else {
        std::string path = std::string(directory) + "\\snap_record.raw";
        HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
          r = 100;
        } else {
          if (recordFile != INVALID_HANDLE_VALUE) CloseHandle(recordFile);
          recordFile = h;
          recordBytes = 0;
        }
      }
    }
    Trace(serial, "EnableRecord(\"%s\") -> %d", directory ? directory : "(null)", r);
    return r;
  }

  int GetSettings(IEmbedderSettings** out) override {
    EnterCall(serial);
    Bump(serial, &SnapStubStats::settings_fetches);
    int r = 0, code = 0;
    if (!out)
      r = 2;
    else if (CodeApplies(Cfg("getsettings_result", ""), ++fetchCount, &code) && code != 0) {
      r = code;
      // An SDK may fill the out value and still fail; the caller must not keep it.
      if (CfgInt("getsettings_fill_on_failure", 0)) *out = &settings;
    } else {
      *out = &settings;
    }
    Trace(serial, "GetSettings() -> %d", r);
    return r;
  }

  // ---- IChannelName ----
  int GetChannelNameList(const char* const** list, int* count) override {
    EnterCall(serial);
    int r = 0;
    if (!list || !count) {
      r = 2;
    } else if ((r = Injected("name_list_result", &nameListCount)) == 0) {
      *list = namePtrs.empty() ? nullptr : namePtrs.data();
      *count = int(namePtrs.size());
    }
    Trace(serial, "GetChannelNameList() -> %d", r);
    return r;
  }

  int GetChannelNameIDList(const char* const** list, const uint32_t** idList, int* count) override {
    EnterCall(serial);
    int r = 0;
    if (!list || !idList || !count) {
      r = 2;
    } else {
      *list = namePtrs.empty() ? nullptr : namePtrs.data();
      *idList = ids.empty() ? nullptr : ids.data();
      *count = int(namePtrs.size());
    }
    Trace(serial, "GetChannelNameIDList() -> %d", r);
    return r;
  }

  int SetChannelName(const char* n) override {
    EnterCall(serial);
    int r = 0;
    if (!n) {
      r = 2;
    } else if ((r = Injected("channel_name_result", &nameCount)) != 0) {
    } else {
      auto it = std::find(names.begin(), names.end(), std::string(n));
      if (it == names.end()) {
        r = 3;
      } else {
        name = n;
        if (CfgInt("id_from_name", 0))
          watermarkId = ids[size_t(it - names.begin())];
        else
          watermarkId = uint32_t(CfgInt("watermark_id", 4711));
        SetStat(serial, &SnapStubStats::watermark_id, watermarkId);
      }
    }
    Trace(serial, "SetChannelName(\"%s\") -> %d", n ? n : "(null)", r);
    return r;
  }

  // ---- ITimecode ----
  int ResynchronizeTimecode() override {
    EnterCall(serial);
    ++inResync;
    if (inTeardown.load()) Violation(serial, "ResynchronizeTimecode concurrent with Finalize/Destroy");
    bool init;
    {
      std::lock_guard<std::mutex> g(m);
      init = initialized;
    }
    int r = 21, code = 0;
    if (init) {
      r = 0;
      Bump(serial, &SnapStubStats::resyncs);
      if (CodeApplies(Cfg("resync_result", ""), ++resyncCount, &code)) r = code;
    }
    Trace(serial, "ResynchronizeTimecode() -> %d", r);
    --inResync;
    return r;
  }

  // ---- IThread ----
  int SetThreadCPUAffinity(uint64_t mask) override {
    EnterCall(serial);
    int r = 0;
    if (mask == 0) {
      r = 7;
    } else {
      affinity = mask;
      if (worker) SetThreadAffinityMask(worker, DWORD_PTR(mask));
      SetStat(serial, &SnapStubStats::affinity, int64_t(mask));
    }
    Trace(serial, "SetThreadCPUAffinity(0x%llx) -> %d", (unsigned long long)mask, r);
    return r;
  }

  int SetThreadPriority(int p) override {
    EnterCall(serial);
    int r = 0;
    if (p < 0 || p > 15) {
      r = 8;
    } else if ((r = Injected("priority_result", &priorityCount)) != 0) {
    } else {
      priority = p;
      if (worker) ::SetThreadPriority(worker, MapPriority(p));
      SetStat(serial, &SnapStubStats::priority, p);
    }
    Trace(serial, "SetThreadPriority(%d) -> %d", p, r);
    return r;
  }

  int DoSetBits(int b) {
    EnterCall(serial);
    int r = 0;
    bool init;
    {
      std::lock_guard<std::mutex> g(m);
      init = initialized;
    }
    if (init)
      r = 22;
    else if (b != 16 && b != 24 && b != 32)
      r = 24;
    else if ((r = Injected("bits_result", &bitsCount)) != 0) {
    } else {
      bits = b;
      SetStat(serial, &SnapStubStats::bits, b);
    }
    Trace(serial, "SetBitsPerSample(%d) -> %d", b, r);
    return r;
  }

  int DoSetChannels(int c) {
    EnterCall(serial);
    int r = 0;
    bool init;
    {
      std::lock_guard<std::mutex> g(m);
      init = initialized;
    }
    if (init)
      r = 22;
    else if (c <= 0)
      r = 25;
    else if ((r = Injected("channels_result", &channelsCount)) != 0) {
    } else {
      channels = c;
      SetStat(serial, &SnapStubStats::channels, c);
    }
    Trace(serial, "SetChannels(%d) -> %d", c, r);
    return r;
  }
};

int StubSettings::SetBitsPerSample(int b) { return owner->DoSetBits(b); }
int StubSettings::SetChannels(int c) { return owner->DoSetChannels(c); }

}  // namespace

// ---- exports -------------------------------------------------------------------

SNAPSDK_API const char* KantarMedia_GetVersion(void) {
  std::lock_guard<std::mutex> g(g_lock);
  EnterVersionCall();
  if (atoi(CfgLocked(0, "", "version_null", "0").c_str())) return nullptr;
  // Every text ever handed out stays valid: a caller may keep the pointer.
  static std::set<std::string>* texts = new std::set<std::string>();
  return texts->insert(CfgLocked(0, "", "version", kVersion)).first->c_str();
}

SNAPSDK_API int KantarMedia_CreateSnapLiveAudioEmbedder(const char* config1, const char* config2,
                                                        IEmbedderListener* listener,
                                                        ISnapLiveAudioEmbedder** embedder, int reserved) {
  long call;
  bool requireConfig;
  std::string createResult;
  {
    std::lock_guard<std::mutex> g(g_lock);
    ReloadFileLocked();
    BumpLocked(0, &SnapStubStats::calls);
    g_callerThreads.insert(GetCurrentThreadId());
    call = ++g_createCalls;
    g_total.last_listener = int64_t(reinterpret_cast<intptr_t>(listener));
    requireConfig = atoi(CfgLocked(0, "", "require_config", "0").c_str()) != 0;
    createResult = CfgLocked(int(g_serial + 1), "", "create_result", "");
  }
  int r = 0, code = 0;
  if (!listener)
    r = 20;
  else if (!embedder)
    r = 2;
  else if (!config1 || !config2)
    r = 2;
  else if (requireConfig && (!*config1 || !*config2))
    r = 3;
  else if (CodeApplies(createResult, call, &code) && code != 0)
    r = code;
  StubEmbedder* e = nullptr;
  if (r == 0) {
    e = new (std::nothrow) StubEmbedder();
    if (!e) r = 5;
  }
  int serial = 0;
  if (r == 0) {
    std::lock_guard<std::mutex> g(g_lock);
    serial = ++g_serial;
    g_total.serial = serial;
    SnapStubStats& s = g_per[serial];
    memset(&s, 0, sizeof s);
    s.priority = -1;
    s.serial = serial;
    s.last_listener = g_total.last_listener;
    BumpLocked(serial, &SnapStubStats::creates);
    g_total.live++;
    g_live.insert(static_cast<ISnapLiveAudioEmbedder*>(e));
  } else {
    Bump(0, &SnapStubStats::create_refusals);
  }
  if (e) {
    e->serial = serial;
    e->listener = listener;
    e->settings.owner = e;
    e->BuildNames();
    *embedder = e;
  }
  Trace(serial, "Create(\"%s\",\"%s\",%p,%d) -> %d", config1 ? config1 : "(null)",
        config2 ? config2 : "(null)", static_cast<void*>(listener), reserved, r);
  return r;
}

SNAPSDK_API int KantarMedia_DestroySnapLiveAudioEmbedder(ISnapLiveAudioEmbedder** embedder) {
  if (!embedder || !*embedder) {
    EnterCall(0);
    Trace(0, "Destroy(null) -> 2");
    return 2;
  }
  {
    std::lock_guard<std::mutex> g(g_lock);
    if (!g_live.count(*embedder)) {
      BumpLocked(0, &SnapStubStats::calls);
      BumpLocked(0, &SnapStubStats::violations);
      g_trace += "VIOLATION Destroy of an unknown embedder\n";
      return 4;
    }
  }
  StubEmbedder* e = static_cast<StubEmbedder*>(*embedder);
  const int serial = e->serial;
  EnterCall(serial);
  if (e->IsOwnThread()) {
    Violation(serial, "Destroy from a callback");
    Trace(serial, "Destroy() -> 6");
    return 6;
  }
  ++e->inTeardown;
  if (e->inAdd.load() || e->inResync.load())
    Violation(serial, "Destroy concurrent with AddAudioBuffer/Resynchronize");
  if (e->destroyBegun) SetEvent(e->destroyBegun);
  bool init;
  {
    std::lock_guard<std::mutex> g(e->m);
    init = e->initialized;
  }
  if (init) e->StopThreads();
  JoinThread(e->lateThread);
  JoinThread(e->heldThread);
  if (e->destroyBegun) CloseHandle(e->destroyBegun);
  if (e->CfgInt("callback_in_destroy", 0)) {
    // The listener must stay valid until this call returns.
    HANDLE h = StartThread([e] { e->CallLog(0, 0, "Embedder is being destroyed"); }, L"snapstub-destroy");
    JoinThread(h);
  }
  if (e->recordFile != INVALID_HANDLE_VALUE) CloseHandle(e->recordFile);
  {
    std::lock_guard<std::mutex> g(g_lock);
    g_live.erase(*embedder);
    BumpLocked(serial, &SnapStubStats::destroys);
    g_total.live--;
    g_destroyedSerials.push_back(serial);
    if (g_destroyedSerials.size() > kKeptDestroyed) {
      g_per.erase(g_destroyedSerials.front());
      g_destroyedSerials.pop_front();
    }
  }
  delete e;
  *embedder = nullptr;
  Trace(serial, "Destroy() -> 0");
  return 0;
}

SNAPSDK_API int SnapStub_Configure(const char* text) {
  std::lock_guard<std::mutex> g(g_lock);
  g_configText = text ? text : "";
  RebuildLocked();
  return 0;
}

SNAPSDK_API int SnapStub_Reset(void) {
  std::lock_guard<std::mutex> g(g_lock);
  g_configText.clear();
  g_fileText.clear();
  g_fileTime = FILETIME{0, 0};
  RebuildLocked();
  g_trace.clear();
  int64_t live = g_total.live;
  memset(&g_total, 0, sizeof g_total);
  g_total.priority = -1;
  g_total.live = live;  // embedders still alive stay counted
  g_per.clear();
  g_destroyedSerials.clear();
  g_callbackThreads.clear();
  g_callerThreads.clear();
  g_createCalls = 0;
  return 0;
}

SNAPSDK_API int SnapStub_GetStats(int index, SnapStubStats* stats, int size) {
  if (!stats || size <= 0) return 2;
  std::lock_guard<std::mutex> g(g_lock);
  SnapStubStats s;
  if (index == 0) {
    s = g_total;
  } else {
    auto it = g_per.find(index);
    if (it == g_per.end()) return 3;
    s = it->second;
  }
  memcpy(stats, &s, std::min<size_t>(size_t(size), sizeof s));
  return 0;
}

SNAPSDK_API int SnapStub_GetAddTimes(void* context, int64_t* pairs, int maxPairs) {
  if (!pairs || maxPairs <= 0) return 0;
  std::lock_guard<std::mutex> g(g_lock);
  for (void* live : g_live) {
    StubEmbedder* e = static_cast<StubEmbedder*>(static_cast<ISnapLiveAudioEmbedder*>(live));
    if (e->lastContext.load() != context) continue;
    const uint64_t count = e->addTimeCount.load(std::memory_order_acquire);
    const uint64_t n =
        std::min<uint64_t>(std::min<uint64_t>(count, StubEmbedder::kTimeRing), uint64_t(maxPairs));
    for (uint64_t i = 0; i < n; ++i) {
      const auto& t = e->addTimes[(count - n + i) % StubEmbedder::kTimeRing];
      pairs[2 * i] = t.first;
      pairs[2 * i + 1] = t.second;
    }
    return int(n);
  }
  return 0;
}

SNAPSDK_API int SnapStub_GetTrace(char* buffer, int size) {
  std::lock_guard<std::mutex> g(g_lock);
  if (buffer && size > 0) {
    size_t n = std::min(g_trace.size(), size_t(size - 1));
    memcpy(buffer, g_trace.data(), n);
    buffer[n] = 0;
  }
  return int(g_trace.size());
}
