// A real board thread on one simulated board: a world of its own, a server
// that is never started, a temporary configuration base, and the block as a
// client program sees it (opened by name, read and written unlocked).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "service/BoardBlock.h"
#include "drivers/DriverPCI.h"
#include "drivers/DriverQBX.h"
#include "channel_owner.h"
#include "support/paths.h"
#include "support/poll.h"
#include "support/temp_dir.h"
#include "tvlib/ipc/shared_memory.h"

// Generous: the board turns beside every other test under Wine.
const DWORD kBoardWaitMs = 120000;

struct RigOptions {
  std::string kind = "QBX";
  std::string boardKeys = "dsps=4\nmask=0x06\n";  // channels on asio1 and asio2
  std::string simKeys;
  std::string clock = "realtime";
  const char* loadPath = nullptr;
};

class BoardRig {
 public:
  explicit BoardRig(const RigOptions& o = RigOptions())
      : m_serial(channeltest::UniqueSerial()), m_client(m_serial) {
    char serial[16];
    snprintf(serial, sizeof serial, "0x%08X", m_serial);
    m_worldOk = sim::NewWorld("[sim]\nclock=" + o.clock + "\n" + o.simKeys + "[board b0]\nkind=" + o.kind +
                              "\nserial=" + serial + "\n" + o.boardKeys);
    m_server.reset(new CWatermark_Server(o.loadPath));
    if (o.kind == "PCI")
      m_prototype.reset(new CDriverPCI());
    else
      m_prototype.reset(new CDriverQBX());
    m_board.reset(new CWatermark_Board(m_server.get(), m_cfg.Path(), m_prototype.get(), 0, o.loadPath));
  }
  ~BoardRig() {
    m_board.reset();
    m_client.Release();
  }

  bool WorldOk() const { return m_worldOk; }
  uint32_t Serial() const { return m_serial; }
  CWatermark_Board& Board() { return *m_board; }
  bool Start() { return m_board->Create(2) == 0; }
  // Stops and joins the thread; its exit code.
  int Stop() {
    m_board->RequestStop();
    return m_board->Wait();
  }

  std::string SerialText() const {
    char s[16];
    snprintf(s, sizeof s, "%08X", m_serial);
    return s;
  }
  std::string BlockName() const { return m_client.Name(); }
  // The block as a client maps it; null while it does not exist.
  uint8_t* Block() { return m_client.Data(); }
  void ReleaseBlock() { m_client.Release(); }
  bool HasBlock() {
    uint32_t size;
    std::string name;
    return m_board->GetBlockInfo(size, name);
  }
  bool WaitForBlock() {
    return WaitUntil([&] { return Block() != nullptr; }, kBoardWaitMs);
  }
  uint32_t BlockCount() { return LoadU32(Block() + kBlockChannelCountOffset); }
  bool WaitForCount(uint32_t count) {
    return WaitUntil([&] { return Block() != nullptr && BlockCount() == count; }, kBoardWaitMs);
  }
  void SetSettings(int index, int32_t flags, int32_t channel) {
    WriteSettingsRecord(Block(), index, SettingsRecord{flags, channel});
  }
  // Starts the board and enables channel 1, whose device (asio1) then opens
  // whether or not the embedder library is loaded.
  bool StartWithChannel1Open() {
    if (!Start() || !WaitForCount(2)) return false;
    SetSettings(0, 1, 0);
    return WaitUntil([] { return sim::World::Instance().OpenHandles("b0", "asio1") == 1; }, kBoardWaitMs);
  }
  uint8_t Status(int index) { return ReadStatusRecord(Block(), index).status; }
  // Waits until the board thread has stored `turns` more ticks.
  bool WaitTurns(int turns) {
    for (int i = 0; i < turns; ++i) {
      const uint64_t tick = CWatermarkBoardTestAccess::Tick(*m_board);
      if (!WaitUntil([&] { return CWatermarkBoardTestAccess::Tick(*m_board) != tick; }, kBoardWaitMs))
        return false;
    }
    return true;
  }

  std::string Base() const { return m_cfg.Path(); }
  std::string Dir(const std::string& serial = std::string()) const {
    return m_cfg.Path() + "\\" + (serial.empty() ? SerialText() : serial);
  }
  std::string Copy(int n, const std::string& serial = std::string()) const {
    return Dir(serial) + "\\watermark_config.xml." + std::to_string(n);
  }
  std::string CopyText(int n, const std::string& serial = std::string()) const {
    return testsupport::ReadBytes(Copy(n, serial));
  }
  // Copy n holds `text` (a copy being written may be seen empty first).
  bool WaitForCopyWith(int n, const std::string& text, const std::string& serial = std::string()) const {
    return WaitUntil([&] { return CopyText(n, serial).find(text) != std::string::npos; }, kBoardWaitMs, 50);
  }
  int CopyCount(const std::string& serial = std::string()) const {
    int n = 0;
    for (int i = 1; i <= 5; ++i) n += testsupport::PathExists(Copy(i, serial)) ? 1 : 0;
    return n;
  }

 private:
  bool m_worldOk = false;
  uint32_t m_serial;
  TestTempDir m_cfg;
  std::unique_ptr<CWatermark_Server> m_server;
  std::unique_ptr<CBaseDriver> m_prototype;
  std::unique_ptr<CWatermark_Board> m_board;
  channeltest::ClientBlock m_client;
};
