// The test owner of channels: a simulated world with one QBX board, a server
// that is never started, the board object on that board with its block, and
// the board's side of the channels done the way the board thread does it:
// channels built as the board builds them, a Turn() in the board's order,
// hand-stepped or every 200 ms on a thread of its own, client writes into the
// block, and the stop in the board's order. Like the board, it never calls
// Update or UpdateStatus on a channel between its RequestStop and Stop.
//
// Also the two test access structs, the only way tests (and bench/) reach
// inside CWatermark_Board and CWatermark_Channel.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AudioAsio.h"
#include "BoardBlock.h"
#include "DriverQBX.h"
#include "TarvelKantarChannel.h"
#include "WatermarkBoard.h"
#include "WatermarkChannel.h"
#include "WatermarkServer.h"
#include "sim/boards/World.h"
#include "tvlib/ipc/shared_memory.h"
#include "tvlib/win.h"

struct CWatermarkBoardTestAccess {
  static void SetLatency(CWatermark_Board& b, uint32_t latency) { b.m_latency = latency; }
  static void SetLayout(CWatermark_Board& b, int32_t firstChannel, int32_t channelCount) {
    b.m_firstChannel = firstChannel;
    b.m_channelCount = channelCount;
  }
  static bool CreateBlock(CWatermark_Board& b) { return b.CreateSharedMemory(); }
  static uint8_t* Block(CWatermark_Board& b) { return b.m_pSharedMem; }
  static uint8_t* Settings(CWatermark_Board& b) { return b.m_pSettings; }
  static CSharedMemoryBuffer* BlockObject(CWatermark_Board& b) { return b.m_pSharedMemBuf; }
};

struct CWatermarkChannelTestAccess {
  static CReadWriteLock& AudioLock(CWatermark_Channel& c) { return c.m_audioLock; }
  static CAudioAsio* Audio(CWatermark_Channel& c) { return c.m_pAudio; }
  // What the update's prepare step sets, for a device re-prepared by hand.
  static void SetPeriod(CWatermark_Channel& c, int32_t period) {
    c.m_period = period;
    c.m_bytesPerPeriod.store(period * 8);
  }
  static int32_t BytesPerPeriod(CWatermark_Channel& c) { return c.m_bytesPerPeriod.load(); }
  static uint32_t Flags(CWatermark_Channel& c) { return c.Flags(); }
  static CTarvelKantar_channel& Embedder(CWatermark_Channel& c) { return *c.m_pEmbedder; }
  static int32_t NameCount(CWatermark_Channel& c) { return c.m_nameCount; }
  static uint32_t WatermarkId(CWatermark_Channel& c) { return static_cast<uint32_t>(c.m_watermarkId); }
  static const CAudioRetry& Retry(CWatermark_Channel& c) { return c.m_retry; }
};

namespace channeltest {

// A board serial of this process alone (block names are machine-wide).
inline uint32_t UniqueSerial() {
  static std::atomic<uint32_t> counter{0};
  return 0x40000000u | ((::GetCurrentProcessId() & 0x3FFFFFu) << 8) | (++counter & 0xFFu);
}

struct OwnerOptions {
  int asioCount = 8;
  std::string clock = "realtime";  // or "fast"
  std::string boardKeys;           // more keys of the board's section, one per line
  bool certification = false;
  bool createBlock = true;
};

class ChannelOwner {
 public:
  explicit ChannelOwner(const OwnerOptions& options = OwnerOptions()) : m_serial(UniqueSerial()) {
    char serial[16];
    snprintf(serial, sizeof serial, "0x%08X", m_serial);
    const std::string description =
        "[sim]\nclock=" + options.clock + "\n[board q0]\nkind=QBX\nserial=" + serial +
        "\nasio_count=" + std::to_string(options.asioCount) + "\n" + options.boardKeys;
    m_worldOk = sim::NewWorld(description);
    m_server.reset(new CWatermark_Server(nullptr));
    m_server->SetCertification(options.certification);
    m_prototype.reset(new CDriverQBX());
    m_board.reset(new CWatermark_Board(m_server.get(), ConfigBase(), m_prototype.get(), 0, nullptr));
    CWatermarkBoardTestAccess::SetLayout(*m_board, 0, options.asioCount);
    if (options.createBlock) CWatermarkBoardTestAccess::CreateBlock(*m_board);
  }
  ~ChannelOwner() {
    StopChannels();
    m_board.reset();
  }
  ChannelOwner(const ChannelOwner&) = delete;
  ChannelOwner& operator=(const ChannelOwner&) = delete;

  bool WorldOk() const { return m_worldOk; }
  uint32_t Serial() const { return m_serial; }
  std::string BlockName() const {
    char name[32];
    snprintf(name, sizeof name, "PELORIN_%08X", m_serial);
    return name;
  }
  CWatermark_Board& Board() { return *m_board; }
  CWatermark_Server& Server() { return *m_server; }
  uint8_t* Block() { return CWatermarkBoardTestAccess::Block(*m_board); }
  sim::AudioDevice* Device(int index) { return sim::World::Instance().Audio("q0", index); }
  void DeleteBoard() {
    StopChannels();
    m_board.reset();
  }

  // ---- channels, as the board creates them
  CWatermark_Channel& AddChannel() {
    const int index = int(m_channels.size());
    CWatermark_Channel* c = new CWatermark_Channel(m_board.get(), m_board->GetDriver(), index);
    uint8_t* block = Block();
    c->SetRecords(block ? block + StatusRecordOffset(index) : nullptr,
                  block ? block + SettingsRecordOffset(index) : nullptr);
    c->Create(5);
    std::lock_guard<std::recursive_mutex> g(m_turnLock);
    m_channels.push_back(c);
    return *c;
  }
  CWatermark_Channel& Channel(int index) { return *m_channels[size_t(index)]; }
  int ChannelCount() const { return int(m_channels.size()); }

  // One board turn: heartbeat words and every channel's status, the latency
  // from the block, every channel's update, the settings-change scan.
  void Turn() {
    std::lock_guard<std::recursive_mutex> g(m_turnLock);
    uint8_t* block = Block();
    if (block == nullptr) return;
    WriteHeartbeat(block, m_board->GetLatency(), &m_heartbeatCount);
    for (CWatermark_Channel* c : m_channels) c->UpdateStatus();
    const uint32_t latency = LatencyModeToFrames(int32_t(LoadU32(block + kBlockSettingsOffset)));
    if (latency != m_board->GetLatency()) CWatermarkBoardTestAccess::SetLatency(*m_board, latency);
    StoreU32(block + kBlockChannelCountOffset, uint32_t(m_channels.size()));
    for (CWatermark_Channel* c : m_channels) c->Update();
    for (CWatermark_Channel* c : m_channels)
      if (c->TestAndClearConfigChanged()) {
        ++m_configChanges;
        break;
      }
    ++m_turns;
  }
  void Turns(int n) {
    for (int i = 0; i < n; ++i) Turn();
  }
  // Turns every 200 ms on a thread of their own, until StopTurns.
  void StartTurns() {
    if (m_turner) return;
    m_turnerStop = false;
    m_turner.reset(new std::thread([this] {
      while (!m_turnerStop) {
        Turn();
        for (int i = 0; i < 20 && !m_turnerStop; ++i) ::Sleep(10);
      }
    }));
  }
  void StopTurns() {
    if (!m_turner) return;
    m_turnerStop = true;
    m_turner->join();
    m_turner.reset();
  }
  uint64_t TurnCount() const { return m_turns; }
  int ConfigChanges() const { return m_configChanges; }

  // In the board's order: every stop request first, then each Stop and delete.
  void StopChannels() {
    StopTurns();
    std::lock_guard<std::recursive_mutex> g(m_turnLock);
    for (CWatermark_Channel* c : m_channels) c->RequestStop();
    for (CWatermark_Channel* c : m_channels) {
      c->Stop();
      delete c;
    }
    m_channels.clear();
  }

  // ---- what client programs write and read, unlocked
  void SetSettings(int index, int32_t flags, int32_t watermarkingChannel) {
    uint8_t* record = Block() + SettingsRecordOffset(index);
    StoreU32(record, uint32_t(flags));
    StoreU32(record + 4, uint32_t(watermarkingChannel));
  }
  void SetLatencyMode(int32_t mode) { StoreU32(Block() + kBlockSettingsOffset, uint32_t(mode)); }
  uint8_t* StatusRecord(int index) { return Block() + StatusRecordOffset(index); }
  uint8_t Status(int index) { return *static_cast<volatile uint8_t*>(StatusRecord(index)); }

  // The board's configuration base directory: a folder of this process.
  std::string ConfigBase() const {
    char dir[MAX_PATH];
    DWORD n = ::GetTempPathA(MAX_PATH, dir);
    return std::string(dir, n) + "pelorin_cfg_" + std::to_string(::GetCurrentProcessId());
  }

 private:
  uint32_t m_serial;
  bool m_worldOk = false;
  std::unique_ptr<CWatermark_Server> m_server;
  std::unique_ptr<CDriverQBX> m_prototype;
  std::unique_ptr<CWatermark_Board> m_board;
  std::recursive_mutex m_turnLock;
  std::vector<CWatermark_Channel*> m_channels;
  uint32_t m_heartbeatCount = 0;
  std::atomic<uint64_t> m_turns{0};
  int m_configChanges = 0;
  std::atomic<bool> m_turnerStop{false};
  std::unique_ptr<std::thread> m_turner;
};

}  // namespace channeltest
