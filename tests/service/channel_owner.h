// The test owner of channels: a simulated world with one QBX board, a server
// that is never started, the board object on that board with its block, and
// the board's side of the channels done the way the board thread does it.
//
// Also the two test access structs, the only way tests (and bench/) reach
// inside CWatermark_Board and CWatermark_Channel.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "BoardBlock.h"
#include "DriverQBX.h"
#include "WatermarkBoard.h"
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
  ~ChannelOwner() { m_board.reset(); }
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
  void DeleteBoard() { m_board.reset(); }

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
};

}  // namespace channeltest
