// Boards that stop turning are replaced by the server: the old board's stop
// sequence runs and saves, the new one (same slot, same index) loads that
// copy, reopens the board after the old one closed it, and marks again.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "service/WatermarkBoard.h"
#include "server_fixture.h"
#include "service/channel_owner.h"
#include "service/tarvel_kantar_fixture.h"
#include "support/log_capture.h"

namespace {

using servertest::RunningServer;

const DWORD kRestartWaitMs = 180000;

std::string Hex8(uint32_t serial) {
  char text[16];
  snprintf(text, sizeof text, "%08X", serial);
  return text;
}

// One QBX board with channels on asio1 and asio2.
std::string World(uint32_t serial, const std::string& more = "") {
  return "[sim]\nclock=realtime\n[board q0]\nkind=QBX\nserial=0x" + Hex8(serial) + "\ndsps=4\nmask=0x06\n" +
         more;
}

class BoardRestart : public KantarLoaded {
 protected:
  // The block as a client opens it; null while it does not exist.
  static uint8_t* Block(CSharedMemoryBuffer& client) { return client.IsOk() ? client.GetData() : nullptr; }
  static sim::AudioStats Stats(int device) { return sim::World::Instance().Audio("q0", device)->Stats(); }
  static bool WaitForMarked(int device, uint64_t more) {
    const uint64_t base = Stats(device).marked;
    return testsupport::WaitUntil([&] { return Stats(device).marked >= base + more; }, kRestartWaitMs, 20);
  }
  // Opens the board's block and, once it has its two channels, enables
  // channel `index` in it.
  static bool Enable(const std::string& blockName, int index) {
    CSharedMemoryBuffer client(
        blockName.c_str(),
        CSharedMemoryBuffer::kRead | CSharedMemoryBuffer::kWrite | CSharedMemoryBuffer::kOpen,
        kBoardBlockSize);
    // Channels made after the write would load their defaults over it.
    if (!client.IsOk() || LoadU32(client.GetData() + kBlockChannelCountOffset) != 2) return false;
    WriteSettingsRecord(client.GetData(), index, SettingsRecord{1, 0});
    return true;
  }
  static bool WaitForBlock(const std::string& blockName) {
    return testsupport::WaitUntil(
        [&] {
          HANDLE h = ::OpenFileMappingA(FILE_MAP_READ, FALSE, ("Global\\TARVEL_" + blockName).c_str());
          if (h != nullptr) ::CloseHandle(h);
          return h != nullptr;
        },
        kRestartWaitMs);
  }
};

// The board thread hangs opening channel 2's device, and a client asks for
// the board's upgrade meanwhile: the server gives the request up and goes on
// answering, then replaces the board as it would without the request; the
// old board's stop saves both channels enabled, and the new board marks on
// both.
TEST_F(BoardRestart, StalledBoardIsReplacedAndMarksOnBothChannels) {
  LogCapture log;
  const uint32_t serial = channeltest::UniqueSerial();
  const std::string block = "PELORIN_" + Hex8(serial);
  RunningServer server(World(serial));
  ASSERT_TRUE(WaitForBlock(block));
  ASSERT_TRUE(testsupport::WaitUntil([&] { return Enable(block, 0); }, kRestartWaitMs));
  ASSERT_TRUE(WaitForMarked(1, 20));
  ASSERT_TRUE(sim::World::Instance().AddFault("open file=asio2 at=1 hang_ms=13000", "q0"));
  ASSERT_TRUE(testsupport::WaitUntil([&] { return Enable(block, 1); }, kRestartWaitMs));
  // The update has reached the device's open, which hangs.
  ASSERT_TRUE(log.Has("SN" + Hex8(serial) + " Ch 2: Board SN" + Hex8(serial) + " Channel ", kRestartWaitMs));

  servertest::Client client;
  ASSERT_EQ(DWORD(ERROR_SUCCESS), client.OpenResult());
  const std::string name = servertest::Hex("SN" + Hex8(serial));
  EXPECT_EQ("5A 10 " + name, client.Ask("5A 10 00 " + name));
  EXPECT_TRUE(log.Has(Hex8(serial) + ": Upgrade request given up, board busy for 2000 ms"));
  const DWORD pid = ::GetCurrentProcessId();
  EXPECT_EQ("5A 0F " + servertest::Hex(std::string(reinterpret_cast<const char*>(&pid), 4)),
            client.Ask("5A 0F"));

  ASSERT_TRUE(
      log.Has("Board " + Hex8(serial) + " is not responding (9/12/1), restarting...", kRestartWaitMs));
  ASSERT_TRUE(log.Has("Watermark Board: starting channel 1 for board " + Hex8(serial), kRestartWaitMs));
  ASSERT_TRUE(WaitForMarked(1, 20));
  ASSERT_TRUE(WaitForMarked(2, 20));
  EXPECT_TRUE(log.Has(Hex8(serial) + ": Using xml config file "));
  EXPECT_FALSE(log.Has(Hex8(serial) + ": Upgrade started", 0));
  EXPECT_FALSE(server.Server().IsUpgradeState());

  // The old board closed the board's file before the new board opened it.
  EXPECT_EQ(1, channeltest::MostOpenAtOnce("Driver"));
  EXPECT_EQ(1, channeltest::MostOpenAtOnce("asio1"));
  EXPECT_EQ(0, server.Stop());
}

// A board whose wait fails stops cleanly (channels, devices and block gone,
// one save); the server replaces it once its tick is old, and it marks again.
TEST_F(BoardRestart, BoardEndedByAFailedWaitIsReplaced) {
  LogCapture log;
  const uint32_t serial = channeltest::UniqueSerial();
  const std::string block = "PELORIN_" + Hex8(serial);
  RunningServer server(World(serial));
  ASSERT_TRUE(WaitForBlock(block));
  ASSERT_TRUE(testsupport::WaitUntil([&] { return Enable(block, 0); }, kRestartWaitMs));
  ASSERT_TRUE(WaitForMarked(1, 20));
  CWatermark_Board* board = server.Server().FindBoard("SN" + Hex8(serial));
  ASSERT_NE(nullptr, board);
  const BrokenCondition broken = CWatermarkBoardTestAccess::BreakTurnWait(*board);
  ASSERT_TRUE(log.Has("Watermark Board : Wait Error !", kRestartWaitMs));
  ASSERT_TRUE(log.Has("+++++++ CWatermark_Board::ThreadEntry EXIT+++++", kRestartWaitMs));
  EXPECT_EQ(0, sim::World::Instance().OpenHandles("q0", "asio1"));
  ASSERT_TRUE(log.Has("Board " + Hex8(serial) + " is not responding (36/", kRestartWaitMs));
  ASSERT_TRUE(WaitForMarked(1, 20));
  EXPECT_EQ(0, server.Stop());
}

// A board unplugged and plugged back under a new device path is the same
// board: the object found on the new path takes the old object's slot (whose
// stop saved the copy and dropped the block), so the server holds one object
// and one block for it, and the enabled channel marks again on the new path.
TEST_F(BoardRestart, BoardReseatedUnderANewPathTakesItsOldSlot) {
  LogCapture log;
  const uint32_t serial = channeltest::UniqueSerial();
  const std::string block = "PELORIN_" + Hex8(serial);
  const std::string started = "Watermark Server: starting board " + Hex8(serial);
  RunningServer server(World(serial));
  ASSERT_TRUE(WaitForBlock(block));
  ASSERT_TRUE(testsupport::WaitUntil([&] { return Enable(block, 0); }, kRestartWaitMs));
  ASSERT_TRUE(WaitForMarked(1, 20));
  ASSERT_EQ(1, log.Count(started));

  sim::World& world = sim::World::Instance();
  const std::string oldPath = world.FindBoard("q0")->path;
  world.Unplug("q0");
  world.Plug("q0", oldPath.substr(0, oldPath.rfind('#')) + "f#{9fb60060-c831-44f8-891e-40ff75bd73f3}");
  ASSERT_TRUE(testsupport::WaitUntil([&] { return log.Count(started) == 2; }, kRestartWaitMs));
  // The old object is gone, and the board found is the new one.
  EXPECT_EQ(1, log.Count("SN" + Hex8(serial) + ": +++++++ CWatermark_Board::~CWatermark_Board +++++"));
  CWatermark_Board* board = server.Server().FindBoard("SN" + Hex8(serial));
  ASSERT_NE(nullptr, board);
  EXPECT_EQ(1, board->GetBoardIndex());
  EXPECT_TRUE(log.Has("Board " + Hex8(serial) + " is back under another device path, restarting..."));
  // The old object's stop came first (its save, its block), then the new
  // object started and loaded that save.
  ASSERT_TRUE(log.Has(Hex8(serial) + ": Using xml config file ", kRestartWaitMs));
  EXPECT_EQ("",
            servertest::FirstOutOfOrder(
                log.Text(), {Hex8(serial) + ": +++++++ CWatermark_Board::ThreadEntry RESIZE CHANNELS +++++",
                             started, Hex8(serial) + ": Using xml config file "}));
  ASSERT_TRUE(WaitForMarked(1, 20));
  EXPECT_EQ(board, server.Server().FindBoard("SN" + Hex8(serial)));
  EXPECT_EQ(0, server.Stop());
}

}  // namespace
