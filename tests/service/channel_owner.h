// The test owner of channels: a simulated world with QBX boards, a server
// that is never started, and on each board the board object with its block,
// whose thread never runs: the owner turns it instead, by hand or every
// 200 ms on a thread of its own, through the board's own turn. Channels come
// as the board makes them, one layout channel at a time, and the test reads
// and writes the block as client programs do, opened by its name.
//
// Also the two test access structs, the only way tests (and bench/) reach
// inside CWatermark_Board and CWatermark_Channel.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "drivers/AudioAsio.h"
#include "service/BoardBlock.h"
#include "drivers/DriverQBX.h"
#include "service/TarvelKantarChannel.h"
#include "service/WatermarkBoard.h"
#include "service/WatermarkChannel.h"
#include "service/WatermarkServer.h"
#include "sim/boards/World.h"
#include "tvlib/ipc/shared_memory.h"
#include "tests/tvlib/threads/sync_test_access.h"
#include "tvlib/time/clock.h"
#include "tvlib/win.h"

struct CWatermarkBoardTestAccess {
  // The DSP layout, as if worked out from the board's DSPs.
  static void SetLayout(CWatermark_Board& b, int32_t firstChannel, int32_t channelCount) {
    b.m_firstChannel = firstChannel;
    b.m_channelCount = channelCount;
  }
  static bool CreateBlock(CWatermark_Board& b) { return b.CreateSharedMemory(); }
  // The channels array, read under its lock.
  static std::vector<CWatermark_Channel*> Channels(CWatermark_Board& b) {
    std::vector<CWatermark_Channel*> out;
    CReadLocker lock(b.m_channelsLock);
    for (uint32_t i = 0; i < b.m_channels.GetLength(); ++i) out.push_back(b.m_channels[i]);
    return out;
  }
  static uint64_t Tick(CWatermark_Board& b) {
    CMutexLocker lock(b.m_tickMutex);
    return b.m_tick;
  }
  // A settings change waits for its save (read racily: tests look while
  // nothing changes).
  static bool SavePending(CWatermark_Board& b) { return b.m_saveTimer.GetSaveTime() != 0; }
  // Every later wait between the board's turns fails.
  static BrokenCondition BreakTurnWait(CWatermark_Board& b) { return BrokenCondition(b.m_wakeCondition); }
  // Block memory and channels that the test owns, lent to a board without a
  // driver in place of any lent before; taken back (none lent) before the
  // board is deleted.
  static void Lend(CWatermark_Board& b, uint8_t* block, const std::vector<CWatermark_Channel*>& channels) {
    b.m_pSharedMem = block;
    b.m_pSettings = block ? block + kBlockSettingsOffset : nullptr;
    b.m_channels.SetLength(0);
    for (CWatermark_Channel* c : channels) b.m_channels.Append(c);
  }
  static int LoadChannelConfig(CWatermark_Board& b, CWatermark_Channel& c) { return b.LoadChannelConfig(c); }
  enum : int {
    kChannelConfigDefaults = CWatermark_Board::kChannelConfigDefaults,
    kChannelConfigLoaded = CWatermark_Board::kChannelConfigLoaded,
    kChannelConfigMissing = CWatermark_Board::kChannelConfigMissing,
  };
  static CReadWriteLock& ChannelsLock(CWatermark_Board& b) { return b.m_channelsLock; }
};

struct CWatermarkChannelTestAccess {
  static uint32_t Flags(CWatermark_Channel& c) { return c.Flags(); }
  // A device step made by hand, as the update makes one: `step` runs under
  // the audio write lock on the channel's device and returns the period it
  // prepared, which the channel then takes as the prepare step does. False
  // without the lock.
  static bool DeviceStep(CWatermark_Channel& c, const std::function<int32_t(CAudioAsio&)>& step) {
    CWriteLocker lock(c.m_audioLock);
    if (!lock.Started()) return false;
    const int32_t period = step(*c.m_pAudio);
    c.m_period = period;
    c.m_bytesPerPeriod.store(period * 8);
    return true;
  }
  // The settings cache that the update compares with the block's record.
  static SettingsRecord Cached(CWatermark_Channel& c) {
    return SettingsRecord{c.m_settingsFlags, c.m_settingsChannel};
  }
};

namespace channeltest {

// The block "PELORIN_%08X" as a client program maps it: opened by name when
// first asked for, never created; null while it cannot be opened.
class ClientBlock {
 public:
  explicit ClientBlock(uint32_t serial) {
    char hex[9];
    snprintf(hex, sizeof hex, "%08X", serial);
    m_name = std::string(kBoardBlockPrefix) + hex;
  }
  const std::string& Name() const { return m_name; }
  uint8_t* Data() {
    if (!m_view) {
      std::unique_ptr<CSharedMemoryBuffer> view(new CSharedMemoryBuffer(
          m_name.c_str(),
          CSharedMemoryBuffer::kRead | CSharedMemoryBuffer::kWrite | CSharedMemoryBuffer::kOpen,
          kBoardBlockSize));
      if (!view->IsOk()) return nullptr;
      m_view = std::move(view);
    }
    return m_view->GetData();
  }
  // A view held open keeps the block alive after the board has deleted it.
  void Release() { m_view.reset(); }

 private:
  std::string m_name;
  std::unique_ptr<CSharedMemoryBuffer> m_view;
};

// A board serial of this process alone (block names are machine-wide).
inline uint32_t UniqueSerial() {
  static std::atomic<uint32_t> counter{0};
  return 0x40000000u | ((::GetCurrentProcessId() & 0x3FFFFFu) << 8) | (++counter & 0xFFu);
}

// The most handles of `file` open at once over the simulated world's trace.
inline int MostOpenAtOnce(const std::string& file) {
  int open = 0, most = 0;
  for (const sim::TraceEntry& e : sim::World::Instance().Trace()) {
    if (e.file != file || !e.ok) continue;
    if (e.op == "open") most = std::max(most, ++open);
    if (e.op == "close") --open;
  }
  return most;
}

struct OwnerOptions {
  int boards = 1;                  // simulated QBX boards q0, q1, ...
  int asioCount = 8;               // audio devices per board
  std::string clock = "realtime";  // or "fast": switches that do not wait
  std::string simKeys;             // more keys of the [sim] section, one per line
  std::string boardKeys;           // more keys of every board's section, one per line
  bool certification = false;
  bool createBlock = true;
};

class ChannelOwner {
 public:
  explicit ChannelOwner(const OwnerOptions& options = OwnerOptions()) {
    std::string description = "[sim]\nclock=" + options.clock + "\n" + options.simKeys;
    for (int b = 0; b < options.boards; ++b) {
      std::unique_ptr<Side> side(new Side);
      side->serial = UniqueSerial();
      side->simName = "q" + std::to_string(b);
      char serial[16];
      snprintf(serial, sizeof serial, "0x%08X", side->serial);
      description += "[board " + side->simName + "]\nkind=QBX\nserial=" + serial +
                     "\nasio_count=" + std::to_string(options.asioCount) + "\n" + options.boardKeys;
      side->client.reset(new ClientBlock(side->serial));
      m_sides.push_back(std::move(side));
    }
    m_worldOk = sim::NewWorld(description);
    m_server.reset(new CWatermark_Server(nullptr));
    m_server->SetCertification(options.certification);
    m_prototype.reset(new CDriverQBX());
    for (int b = 0; b < options.boards; ++b) {
      Side& side = *m_sides[size_t(b)];
      side.board.reset(new CWatermark_Board(m_server.get(), ConfigBase(), m_prototype.get(), b, nullptr));
      CWatermarkBoardTestAccess::SetLayout(*side.board, 0, 0);
      if (options.createBlock) CWatermarkBoardTestAccess::CreateBlock(*side.board);
    }
  }
  ~ChannelOwner() { StopTurns(); }
  ChannelOwner(const ChannelOwner&) = delete;
  ChannelOwner& operator=(const ChannelOwner&) = delete;

  bool WorldOk() const { return m_worldOk; }
  uint32_t Serial(int b = 0) const { return m_sides[size_t(b)]->serial; }
  std::string BlockName(int b = 0) const { return m_sides[size_t(b)]->client->Name(); }
  CWatermark_Board& Board(int b = 0) { return *m_sides[size_t(b)]->board; }
  // The block as a client maps it.
  uint8_t* Block(int b = 0) { return m_sides[size_t(b)]->client->Data(); }
  sim::AudioDevice* Device(int index, int b = 0) {
    return sim::World::Instance().Audio(m_sides[size_t(b)]->simName, index);
  }
  // Its destructor stops and deletes its channels.
  void DeleteBoard(int b = 0) {
    StopTurns();
    m_sides[size_t(b)]->client->Release();
    m_sides[size_t(b)]->board.reset();
  }

  // ---- channels, as the board creates them
  // The layout grows by one channel, which the board's next turn (made now)
  // creates.
  CWatermark_Channel& AddChannel(int b = 0) {
    CWatermark_Board& board = Board(b);
    const int index = ChannelCount(b);
    CWatermarkBoardTestAccess::SetLayout(board, board.GetFirstChannel(), index + 1);
    Turn(b);
    return Channel(index, b);
  }
  CWatermark_Channel& Channel(int index, int b = 0) {
    return *CWatermarkBoardTestAccess::Channels(Board(b))[size_t(index)];
  }
  int ChannelCount(int b = 0) { return int(CWatermarkBoardTestAccess::Channels(Board(b)).size()); }

  // One turn of the board. Each comes at least a turn's time after the one
  // before, as the board's own clock would see them, so that every turn is
  // also a channel management turn.
  void Turn(int b = 0) {
    Side& side = *m_sides[size_t(b)];
    std::lock_guard<std::mutex> g(side.lock);
    side.now = std::max(GetTickCountMs(), side.now + CWatermark_Board::kTurnMs + 1);
    side.board->RunTurn(side.now);
    for (int i = 0; i < ChannelCount(b) && i < 64; ++i)
      if (Status(i, b) == 1) side.everRunning |= uint64_t(1) << i;
    ++side.turns;
  }
  void Turns(int n, int b = 0) {
    for (int i = 0; i < n; ++i) Turn(b);
  }
  // Every board turns every 200 ms on a thread of its own, until StopTurns.
  void StartTurns() {
    for (size_t b = 0; b < m_sides.size(); ++b) {
      Side& side = *m_sides[b];
      if (side.turner) continue;
      side.turnerStop = false;
      side.turner.reset(new std::thread([this, b] {
        Side& s = *m_sides[b];
        while (!s.turnerStop) {
          Turn(int(b));
          for (int i = 0; i < 20 && !s.turnerStop; ++i) ::Sleep(10);
        }
      }));
    }
  }
  void StopTurns() {
    for (auto& side : m_sides) {
      if (!side->turner) continue;
      side->turnerStop = true;
      side->turner->join();
      side->turner.reset();
    }
  }
  uint64_t TurnCount(int b = 0) const { return m_sides[size_t(b)]->turns; }

  // The layout loses every channel: the board's next turn (made now) stops
  // and deletes them.
  void StopChannels(int b = 0) {
    StopTurns();
    CWatermarkBoardTestAccess::SetLayout(Board(b), Board(b).GetFirstChannel(), 0);
    Turn(b);
  }

  // ---- what client programs write and read, unlocked
  void SetSettings(int index, int32_t flags, int32_t watermarkingChannel, int b = 0) {
    uint8_t* record = Block(b) + SettingsRecordOffset(index);
    StoreU32(record, uint32_t(flags));
    StoreU32(record + 4, uint32_t(watermarkingChannel));
  }
  void SetLatencyMode(int32_t mode, int b = 0) { StoreU32(Block(b) + kBlockSettingsOffset, uint32_t(mode)); }
  uint8_t* StatusRecord(int index, int b = 0) { return Block(b) + StatusRecordOffset(index); }
  uint8_t Status(int index, int b = 0) { return *static_cast<volatile uint8_t*>(StatusRecord(index, b)); }
  // RUNNING seen at some turn: a status that flaps may last less than a poll.
  bool EverRunning(int index, int b = 0) { return (m_sides[size_t(b)]->everRunning >> index) & 1; }

  // The boards' configuration base directory: a folder of this process.
  std::string ConfigBase() const {
    char dir[MAX_PATH];
    DWORD n = ::GetTempPathA(MAX_PATH, dir);
    return std::string(dir, n) + "pelorin_cfg_" + std::to_string(::GetCurrentProcessId());
  }

 private:
  struct Side {
    uint32_t serial = 0;
    std::string simName;
    std::unique_ptr<CWatermark_Board> board;
    std::unique_ptr<ClientBlock> client;  // released before the board
    std::mutex lock;                      // one turn at a time
    uint64_t now = 0;                     // the last turn's time
    std::atomic<uint64_t> turns{0};
    std::atomic<uint64_t> everRunning{0};  // a bit per channel
    std::atomic<bool> turnerStop{false};
    std::unique_ptr<std::thread> turner;
  };

  bool m_worldOk = false;
  std::unique_ptr<CWatermark_Server> m_server;
  std::unique_ptr<CDriverQBX> m_prototype;
  std::vector<std::unique_ptr<Side>> m_sides;
};

}  // namespace channeltest
