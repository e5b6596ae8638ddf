// The server with its board threads on 8 simulated QBX boards of 8 channels
// each (8 DSPs, mask 0xFF), every channel enabled through its board's block,
// marking through ostrel and the stand-in SDK on the real-time clock at 512
// frames. Per channel it prints what the simulated device played, marked,
// played late and missed over the measured window; per board the turn rate
// (the block's heartbeat word steps once per turn). The board threads are off
// the real-time path: they should add no missed periods to a channel-only run,
// which bench_channel_path measures first, in the same invocation, so that
// both figures come from one machine state. Figures only, never a test.
//
//   bench_boards [seconds = 60] [--no-channel-path]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "service/BoardBlock.h"
#include "service/TarvelKantar.h"
#include "service/WatermarkServer.h"
#include "sim/boards/World.h"
#include "tvlib/files/files.h"
#include "tvlib/log/log.h"
#include "tvlib/log/logger.h"
#include "tvlib/win.h"

namespace {

const int kBoards = 8;
const int kChannels = 8;

std::string ExeDir() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string s(path, n);
  return s.substr(0, s.find_last_of("\\/"));
}

uint32_t Serial(int board) { return 0x000B0001u + uint32_t(board); }

std::string Description() {
  // No trace of successful switch calls: 64 channels would fill the trace.
  std::string d = "[sim]\nclock=realtime\ntrace_switch=0\n";
  for (int b = 0; b < kBoards; ++b) {
    char board[400];
    std::snprintf(board, sizeof board,
                  "[board qbx%d]\nkind=QBX\nserial=0x%08X\ntrvl=1\nserial_bank=0:current:QBX-%08X\n"
                  "driver_version=2.3.4\nfeature=2\ndsps=8\nmask=0xFF\ninput=counter\n",
                  b, Serial(b), Serial(b));
    d += board;
  }
  return d;
}

// A board's block, mapped for the whole run; null until the board made it.
uint8_t* MapBlock(int board) {
  char name[64];
  std::snprintf(name, sizeof name, "Global\\TARVEL_%s%08X", kBoardBlockPrefix, Serial(board));
  HANDLE mapping = OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name);
  if (mapping == nullptr) return nullptr;
  void* view = MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, kBoardBlockSize);
  CloseHandle(mapping);  // the view keeps the section
  return static_cast<uint8_t*>(view);
}

struct DeviceStats {
  uint64_t played = 0, marked = 0, late = 0, missed = 0;
};

DeviceStats Read(int board, int device) {
  DeviceStats d;
  if (sim::AudioDevice* a = sim::World::Instance().Audio("qbx" + std::to_string(board), device)) {
    const sim::AudioStats s = a->Stats();
    d.played = s.played;
    d.marked = s.marked;
    d.late = s.late;
    d.missed = s.missed;
  }
  return d;
}

bool AllMarking() {
  for (int b = 0; b < kBoards; ++b)
    for (int c = 0; c < kChannels; ++c)
      if (Read(b, c).marked == 0) return false;
  return true;
}

void RunChannelPath(int seconds) {
  std::string cmd = "\"" + ExeDir() + "\\bench_channel_path.exe\" " + std::to_string(seconds) + " 64";
  STARTUPINFOA si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  std::fflush(stdout);
  if (!CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    std::printf("bench_channel_path did not start (error %lu)\n", GetLastError());
    return;
  }
  WaitForSingleObject(pi.hProcess, INFINITE);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60;
  bool channelPath = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-channel-path") == 0)
      channelPath = false;
    else if (std::atoi(argv[i]) > 0)
      seconds = std::atoi(argv[i]);
  }
  if (channelPath) {
    std::printf("== bench_channel_path %d 64: the channels alone\n", seconds);
    RunChannelPath(seconds);
  }
  std::printf("== bench_boards: the server on %d QBX boards x %d channels, %d s\n", kBoards, kChannels,
              seconds);
  std::fflush(stdout);

  if (!sim::NewWorld(Description())) return 1;
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string run = std::string(temp) + "bench_boards_" + std::to_string(GetCurrentProcessId());
  SetLogConsoleEcho(false);
  LogVerbosity = 3;
  GetLogger()->Open((run + "_Pelorin.log").c_str(), true, true, true);
  if (!CTarvelKantar::LoadLibrary(ExeDir().c_str()))
    std::printf("ostrel.dll not found: the channels pass only\n");

  CWatermark_Server server(nullptr);
  server.GetSettings()["RUN"] = run;
  CompleteDirectorySettings(server.GetSettings(), run);
  CreateDirectorySettings(server.GetSettings());
  if (server.Create(2) != 0) return 1;

  std::vector<uint8_t*> blocks(kBoards, nullptr);
  for (int tries = 0; tries < 600; ++tries) {
    int found = 0;
    for (int b = 0; b < kBoards; ++b) {
      if (blocks[b] == nullptr) blocks[b] = MapBlock(b);
      // A board sets up its channels' records after it creates the block:
      // settings written before it counts its channels would be overwritten.
      found += blocks[b] != nullptr && LoadU32(blocks[b] + kBlockChannelCountOffset) == uint32_t(kChannels);
    }
    if (found == kBoards) break;
    Sleep(100);
  }
  for (int b = 0; b < kBoards; ++b) {
    if (blocks[b] == nullptr) {
      std::printf("board %08X made no block\n", Serial(b));
      server.RequestStop();
      server.Stop();
      return 1;
    }
    for (int c = 0; c < kChannels; ++c) WriteSettingsRecord(blocks[b], c, SettingsRecord{1, 0});
  }
  for (int tries = 0; tries < 600 && !AllMarking(); ++tries) Sleep(100);
  if (!AllMarking()) std::printf("not every channel marks after 60 s; measuring anyway\n");

  DeviceStats before[kBoards][kChannels];
  uint16_t beats[kBoards];
  for (int b = 0; b < kBoards; ++b) {
    beats[b] = LoadU16(blocks[b] + kBlockHeartbeatWordOffset);
    for (int c = 0; c < kChannels; ++c) before[b][c] = Read(b, c);
  }
  const ULONGLONG t0 = GetTickCount64();
  Sleep(DWORD(seconds) * 1000);
  const double window = double(GetTickCount64() - t0) / 1000.0;

  std::printf("%-10s %3s %9s %9s %7s %7s\n", "board", "ch", "played", "marked", "late", "missed");
  DeviceStats total;
  for (int b = 0; b < kBoards; ++b)
    for (int c = 0; c < kChannels; ++c) {
      const DeviceStats now = Read(b, c);
      DeviceStats d{now.played - before[b][c].played, now.marked - before[b][c].marked,
                    now.late - before[b][c].late, now.missed - before[b][c].missed};
      std::printf("SN%08X %3d %9llu %9llu %7llu %7llu\n", Serial(b), c + 1, (unsigned long long)d.played,
                  (unsigned long long)d.marked, (unsigned long long)d.late, (unsigned long long)d.missed);
      total.played += d.played;
      total.marked += d.marked;
      total.late += d.late;
      total.missed += d.missed;
    }
  std::printf("all        %9llu %9llu %7llu %7llu  (%.1f s window)\n", (unsigned long long)total.played,
              (unsigned long long)total.marked, (unsigned long long)total.late,
              (unsigned long long)total.missed, window);
  for (int b = 0; b < kBoards; ++b) {
    const uint16_t steps = uint16_t(LoadU16(blocks[b] + kBlockHeartbeatWordOffset) - beats[b]);
    std::printf("SN%08X turns %.2f/s\n", Serial(b), double(steps) / window);
  }
  std::fflush(stdout);

  server.RequestStop();
  server.Stop();
  for (uint8_t* block : blocks) UnmapViewOfFile(block);
  CTarvelKantar::UnloadLibrary();
  GetLogger()->FlushAndStop();
  DeleteDirectoryTree(run.c_str(), true);
  return 0;
}
