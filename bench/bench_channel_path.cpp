// K channels through the whole real-time path: the channel thread, CAudioAsio,
// the simulated device, ostrel and the stand-in SDK, at 512 frames, eight
// channels per simulated board, driven by the test owner (one turn thread per
// board every 200 ms). Then a bare copy loop (switch, copy input to output) on
// the same devices for comparison. Figures only, never a test.
//
//   bench_channel_path [seconds per K = 20] [K list = 1,2,4,8,16,32,64] [failing = 0]
//
// With `failing` > 0 the first `failing` channels' embedders refuse every
// other buffer: those channels log an error line or a silence line every
// period, as a channel in an error state does, and their own share is
// printed apart from the others'.
//
// Per period the simulated device times the gap from a switch's return to the
// next switch call: the channel thread's work up to the output written, the
// lock release and the next pass's start. The stand-in times each
// AddAudioBuffer; the gap minus that time is the program's own share.
// Kernel-object calls are counted by this benchmark's own build of tvlib.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_clock.h"
#include "drivers/AudioAsio.h"
#include "bench/kernel_calls.h"
#include "tests/service/channel_owner.h"
#include "sim/sdk/SnapLiveAudioEmbedderSDK.h"
#include "tvlib/log/log.h"
#include "tvlib/log/logger.h"

namespace {

const int kPerBoard = 8;

using bench::Now;
const auto QpcUs = bench::Microseconds;

std::string ExeDir() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string s(path, n);
  return s.substr(0, s.find_last_of("\\/"));
}

typedef int (*GetAddTimesFn)(void* context, int64_t* pairs, int maxPairs);
typedef int (*ConfigureFn)(const char* text);
typedef int (*GetStatsFn)(int index, SnapStubStats* stats, int size);

// The stand-in SDK's controls, found in the loaded DLL.
struct Sdk {
  GetAddTimesFn getAddTimes = nullptr;
  ConfigureFn configure = nullptr;
  GetStatsFn getStats = nullptr;
};

struct Totals {
  uint64_t played = 0, late = 0, missed = 0, marked = 0, silence = 0, pass = 0, other = 0, jumps = 0,
           breaks = 0, backward = 0;
  void Add(const sim::AudioStats& s) {
    played += s.played;
    late += s.late;
    missed += s.missed;
    marked += s.marked;
    silence += s.silence;
    pass += s.pass;
    other += s.other;
    jumps += s.discontinuities;
    breaks += s.markedBreaks;
    backward += s.markedBackward;
  }
};

struct Window {
  Totals totals;
  std::vector<double> gaps, adds, shares;
  uint64_t kernelCalls = 0;
  Totals failingTotals;
  std::vector<double> failingShares;  // the failing channels' own share
  uint64_t failingRefusals = 0;       // buffers their embedders refused
};

// The gaps of the measured window, each paired with the stand-in's
// AddAudioBuffer time that fell inside it (same channel, same clock).
void Collect(sim::AudioDevice* device, const std::vector<std::pair<int64_t, int64_t>>& adds, int64_t from,
             Window* w) {
  w->totals.Add(device->Stats());
  size_t a = 0;
  for (const auto& gap : device->SwitchGaps()) {
    if (gap.first < from) continue;
    double inside = 0;
    while (a < adds.size() && adds[a].first < gap.first) ++a;
    for (size_t i = a; i < adds.size() && adds[i].first <= gap.second; ++i)
      inside += QpcUs(adds[i].second - adds[i].first);
    const double total = QpcUs(gap.second - gap.first);
    w->gaps.push_back(total);
    w->adds.push_back(inside);
    w->shares.push_back(total - inside);
  }
}

// Waits until channels [0, k) are RUNNING.
bool AllRunning(channeltest::ChannelOwner& owner, int k) {
  const ULONGLONG deadline = GetTickCount64() + 120000;
  for (;;) {
    bool all = true;
    for (int i = 0; i < k; ++i) all = all && owner.Status(i % kPerBoard, i / kPerBoard) == 1;
    if (all) return true;
    if (GetTickCount64() > deadline) {
      std::fprintf(stderr, "K=%d: not all channels RUNNING after 120 s\n", k);
      return false;
    }
    Sleep(50);
  }
}

// Boards of kPerBoard devices for k channels, successful switches untraced:
// the figures are the program's, not the simulator's trace.
channeltest::OwnerOptions OptionsFor(int k) {
  channeltest::OwnerOptions options;
  options.boards = (k + kPerBoard - 1) / kPerBoard;
  options.asioCount = kPerBoard;
  options.simKeys = "trace_switch=0\n";
  return options;
}

bool RunChannels(int k, int failing, double seconds, const Sdk& sdk, Window* w) {
  channeltest::ChannelOwner owner(OptionsFor(k));
  if (!owner.WorldOk()) return false;
  failing = std::min(failing, k);
  int firstSerial = 0;
  if (failing > 0) {
    // The stand-in numbers its embedders as it creates them: the failing
    // channels are enabled first, so theirs are the next ones.
    SnapStubStats total = {};
    if (!sdk.configure || !sdk.getStats || sdk.getStats(0, &total, sizeof total) != 0) {
      std::fprintf(stderr, "the stand-in SDK cannot be configured\n");
      return false;
    }
    firstSerial = int(total.serial) + 1;
    std::string config;
    for (int i = 0; i < failing; ++i)
      config += "[create:" + std::to_string(firstSerial + i) + "]\nadd_result=5@every=2\n";
    sdk.configure(config.c_str());
  }
  for (int i = 0; i < k; ++i) owner.AddChannel(i / kPerBoard);
  owner.StartTurns();
  for (int i = 0; i < failing; ++i) {
    owner.SetSettings(i % kPerBoard, 1, 0, i / kPerBoard);
    if (!AllRunning(owner, i + 1)) return false;
  }
  for (int i = failing; i < k; ++i) owner.SetSettings(i % kPerBoard, 1, 0, i / kPerBoard);
  if (!AllRunning(owner, k)) return false;
  for (int i = 0; i < k; ++i) owner.Device(i % kPerBoard, i / kPerBoard)->ResetStats();
  const int64_t from = Now();
  const uint64_t calls = kernelcalls::Count().load();
  Sleep(DWORD(seconds * 1000));
  w->kernelCalls = kernelcalls::Count().load() - calls;
  std::vector<int64_t> raw(2 * 16384);
  for (int i = 0; i < k; ++i) {
    CWatermark_Channel& ch = owner.Channel(i % kPerBoard, i / kPerBoard);
    const int n = sdk.getAddTimes ? sdk.getAddTimes(&ch, raw.data(), int(raw.size() / 2)) : 0;
    std::vector<std::pair<int64_t, int64_t>> adds;
    for (int j = 0; j < n; ++j) adds.emplace_back(raw[2 * j], raw[2 * j + 1]);
    std::sort(adds.begin(), adds.end());
    if (i < failing) {
      Window own;
      Collect(owner.Device(i % kPerBoard, i / kPerBoard), adds, from, &own);
      w->failingTotals.Add(owner.Device(i % kPerBoard, i / kPerBoard)->Stats());
      w->failingShares.insert(w->failingShares.end(), own.shares.begin(), own.shares.end());
    } else {
      Collect(owner.Device(i % kPerBoard, i / kPerBoard), adds, from, w);
    }
  }
  for (int i = 0; i < failing; ++i) {
    SnapStubStats own = {};
    if (sdk.getStats(firstSerial + i, &own, sizeof own) == 0)
      w->failingRefusals += uint64_t(own.add_refusals);
  }
  if (failing > 0) sdk.configure("");
  return true;
}

// The same devices without the program: switch, copy, nothing else.
bool RunBare(int k, double seconds, Window* w) {
  channeltest::ChannelOwner owner(OptionsFor(k));
  if (!owner.WorldOk()) return false;
  std::atomic<bool> stop{false};
  std::atomic<int> started{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < k; ++i) {
    threads.emplace_back([&, i] {
      CWatermark_Board& board = owner.Board(i / kPerBoard);
      CAudioAsio asio("bare");
      uint32_t period = 512;
      if (!asio.Open(asio.MakeDeviceName(board.GetDriver(), i % kPerBoard)) ||
          !asio.Prepare(48000, 2, 1, period) || !asio.Start()) {
        std::fprintf(stderr, "bare loop %d: device setup failed\n", i);
        started++;
        return;
      }
      SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
      started++;
      const uint32_t bytes = asio.GetBytesPerBuffer();
      while (!stop.load(std::memory_order_relaxed) && asio.SwitchBuffer())
        std::memcpy(asio.GetOutputBuffer(), asio.GetInputBuffer(), bytes);
      asio.Close();
    });
  }
  while (started.load() < k) Sleep(10);
  Sleep(200);
  for (int i = 0; i < k; ++i) owner.Device(i % kPerBoard, i / kPerBoard)->ResetStats();
  const int64_t from = Now();
  const uint64_t calls = kernelcalls::Count().load();
  Sleep(DWORD(seconds * 1000));
  w->kernelCalls = kernelcalls::Count().load() - calls;
  for (int i = 0; i < k; ++i) Collect(owner.Device(i % kPerBoard, i / kPerBoard), {}, from, w);
  stop = true;
  for (auto& t : threads) t.join();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
  std::vector<int> ks;
  if (argc > 2) {
    for (const char* p = argv[2]; *p;) {
      ks.push_back(std::atoi(p));
      const char* comma = std::strchr(p, ',');
      if (!comma) break;
      p = comma + 1;
    }
  } else {
    ks = {1, 2, 4, 8, 16, 32, 64};
  }
  const int failing = argc > 3 ? std::max(0, std::atoi(argv[3])) : 0;
  // Nothing but errors in the log, and not on the console: the figures are
  // the output. The log goes to a file, stamped as the program stamps it.
  LogVerbosity = 0;
  SetLogConsoleEcho(false);
  char temp[MAX_PATH];
  const DWORD tempLength = GetTempPathA(MAX_PATH, temp);
  const std::string logPath =
      std::string(temp, tempLength) + "bench_channel_path_" + std::to_string(GetCurrentProcessId()) + ".log";
  if (CLogger* logger = GetLogger()) logger->Open(logPath.c_str(), true, true, true);
  if (!CTarvelKantar::LoadLibrary(ExeDir().c_str())) {
    std::fprintf(stderr, "ostrel.dll not found beside the benchmark\n");
    return 1;
  }
  Sdk sdk;
  if (HMODULE m = GetModuleHandleA("SnapLiveAudioEmbedderSDK.dll")) {
    sdk.getAddTimes =
        reinterpret_cast<GetAddTimesFn>(reinterpret_cast<void*>(GetProcAddress(m, "SnapStub_GetAddTimes")));
    sdk.getStats =
        reinterpret_cast<GetStatsFn>(reinterpret_cast<void*>(GetProcAddress(m, "SnapStub_GetStats")));
    sdk.configure =
        reinterpret_cast<ConfigureFn>(reinterpret_cast<void*>(GetProcAddress(m, "SnapStub_Configure")));
  }

  std::printf("%.0f s per K, 512 frames (10.67 ms), %d channels per board; times in us\n", seconds,
              kPerBoard);
  std::printf("%4s %7s %6s %6s %7s %7s %6s %5s %5s | %8s %8s %7s %7s %7s %7s | %8s %8s %6s | %7s %7s\n", "K",
              "played", "late", "missed", "marked", "silence", "pass", "jumps", "break", "gap med", "gap p99",
              "add med", "add p99", "own med", "own p99", "bare med", "bare p99", "ratio", "kc/per",
              "bare kc");
  for (int k : ks) {
    Window run, bare;
    if (!RunChannels(k, failing, seconds, sdk, &run)) return 1;
    if (!RunBare(k, seconds, &bare)) return 1;
    const bench::Summary gap = bench::Summarise(run.gaps), add = bench::Summarise(run.adds),
                         own = bench::Summarise(run.shares), base = bench::Summarise(bare.gaps);
    const double periods = double(std::max<uint64_t>(1, run.totals.played + run.failingTotals.played));
    const double barePeriods = double(std::max<uint64_t>(1, bare.totals.played));
    std::printf(
        "%4d %7llu %6llu %6llu %7llu %7llu %6llu %5llu %5llu | %8.0f %8.0f %7.0f %7.0f %7.0f %7.0f | "
        "%8.0f %8.0f %6.1f | %7.1f %7.2f\n",
        k, (unsigned long long)run.totals.played, (unsigned long long)run.totals.late,
        (unsigned long long)run.totals.missed, (unsigned long long)run.totals.marked,
        (unsigned long long)run.totals.silence, (unsigned long long)run.totals.pass,
        (unsigned long long)run.totals.jumps, (unsigned long long)(run.totals.breaks + run.totals.backward),
        gap.median, gap.p99, add.median, add.p99, own.median, own.p99, base.median, base.p99,
        base.median > 0 ? gap.median / base.median : 0.0, double(run.kernelCalls) / periods,
        double(bare.kernelCalls) / barePeriods);
    std::printf("     bare: played %llu late %llu missed %llu\n", (unsigned long long)bare.totals.played,
                (unsigned long long)bare.totals.late, (unsigned long long)bare.totals.missed);
    if (failing > 0) {
      const bench::Summary f = bench::Summarise(run.failingShares);
      std::printf(
          "     failing (%d): played %llu missed %llu silence %llu refused %llu | own med %.0f p99 %.0f\n",
          std::min(failing, k), (unsigned long long)run.failingTotals.played,
          (unsigned long long)run.failingTotals.missed, (unsigned long long)run.failingTotals.silence,
          (unsigned long long)run.failingRefusals, f.median, f.p99);
    }
    std::fflush(stdout);
  }
  CTarvelKantar::UnloadLibrary();
  if (CLogger* logger = GetLogger()) logger->FlushAndStop();
  if (CLogger* logger = GetLogger()) logger->CloseFile();
  DeleteFileA(logPath.c_str());
  return 0;
}
