// The server thread's boards: found at start (PCI first) and later, ignored
// serials, the upgrade state, and the stop sequence that frees every board.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drivers/BaseDriver.h"
#include "service/WatermarkBoard.h"
#include "server_fixture.h"
#include "support/handles.h"
#include "support/log_capture.h"
#include "tvlib/ipc/server_pipe.h"

// The pipe's connection list, whose lock the server's stop takes when it asks
// the pipe to stop.
struct CServerPipeTestAccess {
  static CServerPipeConnectionList& List(CServerPipe& pipe) { return *pipe.m_list; }
};

namespace {

using servertest::kGuardMs;
using servertest::RunningServer;

// Serials of this process's own: block names are shared by every process.
uint32_t Serial(uint32_t n) { return 0x50000000u | ((::GetCurrentProcessId() & 0xFFFFFu) << 4) | n; }

std::string Hex8(uint32_t serial) {
  char text[16];
  snprintf(text, sizeof text, "%08X", serial);
  return text;
}

std::string Board(const std::string& name, const char* kind, uint32_t serial, const std::string& more = "") {
  return "[board " + name + "]\nkind=" + kind + "\nserial=0x" + Hex8(serial) + "\n" + more;
}

bool BlockExists(uint32_t serial) {
  HANDLE h = ::OpenFileMappingA(FILE_MAP_READ, FALSE, ("Global\\TARVEL_PELORIN_" + Hex8(serial)).c_str());
  if (h == nullptr) return false;
  ::CloseHandle(h);
  return true;
}

bool ServerBlockExists() {
  HANDLE h = ::OpenFileMappingA(FILE_MAP_READ, FALSE, "Global\\TARVEL_PELORIN_server");
  if (h == nullptr) return false;
  ::CloseHandle(h);
  return true;
}

TEST(ServerBoards, PciBoardsStartFirstEachWithItsBlock) {
  LogCapture log;
  const std::vector<uint32_t> qbx = {Serial(1), Serial(2)}, pci = {Serial(3), Serial(4)};
  RunningServer server("[sim]\n" + Board("q0", "QBX", qbx[0]) + Board("q1", "QBX", qbx[1]) +
                       Board("p0", "PCI", pci[0]) + Board("p1", "PCI", pci[1]));
  for (uint32_t s : {pci[0], pci[1], qbx[0], qbx[1]})
    EXPECT_TRUE(testsupport::WaitUntil([&] { return BlockExists(s); }, kGuardMs)) << Hex8(s);
  std::string text = log.Text();
  size_t at = 0;
  for (uint32_t s : {pci[0], pci[1], qbx[0], qbx[1]}) {
    at = text.find("Watermark Server: starting board " + Hex8(s), at);
    ASSERT_NE(std::string::npos, at) << Hex8(s);
  }
  EXPECT_NE(nullptr, server.Server().FindBoard("SN" + Hex8(qbx[1])));
}

TEST(ServerBoards, IgnoredSerialStaysClosedAndALaterBoardOfItIsStarted) {
  LogCapture log;
  const uint32_t ignored = Serial(5), later = Serial(6);
  AddIgnoredBoard(ignored);
  RunningServer server("[sim]\n" + Board("q0", "QBX", ignored) + Board("q1", "QBX", later, "plugged=0\n"));
  ASSERT_TRUE(log.Has("Watermark Server: ignoring board " + Hex8(ignored), kGuardMs));
  EXPECT_EQ(nullptr, server.Server().FindBoard("SN" + Hex8(ignored)));
  // Its driver is closed once it is listed, and it makes no block.
  EXPECT_TRUE(testsupport::WaitUntil([] { return sim::World::Instance().OpenHandles("q0", "Driver") == 0; },
                                     kGuardMs));
  EXPECT_FALSE(BlockExists(ignored));

  // Found after the start: started whatever its serial, with its block.
  sim::World::Instance().Plug("q1");
  EXPECT_TRUE(log.Has("Watermark Server: starting board " + Hex8(later), kGuardMs));
  EXPECT_TRUE(testsupport::WaitUntil([&] { return BlockExists(later); }, kGuardMs));
  EXPECT_EQ(0, log.Count("Watermark Server: starting board " + Hex8(ignored)));
}

TEST(ServerBoards, UpgradeStateHoldsBackNewBoards) {
  LogCapture log;
  const uint32_t present = Serial(7), later = Serial(8);
  RunningServer server("[sim]\n" + Board("q0", "QBX", present) + Board("q1", "QBX", later, "plugged=0\n"));
  const std::string name = "SN" + Hex8(present);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return server.Server().FindBoard(name) != nullptr; }, kGuardMs));
  EXPECT_TRUE(server.Server().SetBoardUpgrade(name, 0));
  EXPECT_TRUE(log.Has("Watermark: Entering upgrade state !", kGuardMs));
  EXPECT_TRUE(log.Has(Hex8(present) + ": Upgrade started", kGuardMs));
  sim::World::Instance().Plug("q1");
  // A few turns with the new board present: the loop checks the boards
  // before it answers the request that woke it.
  servertest::Client client;
  for (int turn = 0; turn < 3; ++turn) ASSERT_EQ("5A 15", client.Ask("5A 15"));
  EXPECT_EQ(0, log.Count("Watermark Server: starting board " + Hex8(later)));
  EXPECT_TRUE(server.Server().SetBoardUpgrade(name, 1));
  EXPECT_TRUE(log.Has("Watermark: Leaving upgrade state !", kGuardMs));
  EXPECT_TRUE(log.Has("Watermark Server: starting board " + Hex8(later), kGuardMs));
  // A name of no running board still switches the server.
  EXPECT_FALSE(server.Server().SetBoardUpgrade("SNFFFFFFFF", 0));
  EXPECT_TRUE(testsupport::WaitUntil([&] { return server.Server().IsUpgradeState(); }, kGuardMs));
}

TEST(ServerBoards, StopSequenceFreesEveryBoardIgnoredOnesToo) {
  const uint32_t running = Serial(9), ignored = Serial(10);
  AddIgnoredBoard(ignored);
  // Measured after the first cycle, which makes what lives for the process.
  long handlesAfterFirst = 0;
  for (int cycle = 0; cycle < 6; ++cycle) {
    if (cycle == 1) handlesAfterFirst = testsupport::CountProcessHandles();
    LogCapture log;
    {
      RunningServer server("[sim]\n" + Board("q0", "QBX", running) + Board("q1", "QBX", ignored));
      ASSERT_TRUE(testsupport::WaitUntil([&] { return BlockExists(running); }, kGuardMs));
      // The server makes its own block after its boards and its pipe.
      ASSERT_TRUE(testsupport::WaitUntil(ServerBlockExists, kGuardMs));
      EXPECT_EQ(0, server.Stop());
    }
    const std::vector<std::string> order = {
        "REQUESTSTOP BOARD",
        "CWatermark_Board::RequestStop",
        "STOP PIPE",
        "STOP BOARD",
        "DELETE BOARD",
        "RESIZE ARRAY",
        "DELETE PIPE",
        "DELETE m_pSharedMemBuf",
        "Watermark Server exiting...",
    };
    EXPECT_EQ("", servertest::FirstOutOfOrder(log.Text(), order));
    EXPECT_EQ(1, log.Count("+++++++ CWatermark_Server::ThreadEntry STOP BOARD +++++"));
    EXPECT_EQ(1, log.Count("SN" + Hex8(running) + ": +++++++ CWatermark_Board::~CWatermark_Board +++++"));
    EXPECT_EQ(1, log.Count("SN" + Hex8(ignored) + ": +++++++ CWatermark_Board::~CWatermark_Board +++++"));
    EXPECT_FALSE(BlockExists(running));
    EXPECT_FALSE(ServerBlockExists());
    EXPECT_FALSE(::WaitNamedPipeA(kControlPipeName, 1));
  }
  EXPECT_LT(testsupport::CountProcessHandles(), handlesAfterFirst + 8);
}

TEST(ServerBoards, ABoardThatEndsWhileTheStopAsksThePipeStillGetsItsLines) {
  LogCapture log;
  const uint32_t serial = Serial(12);
  RunningServer server("[sim]\n" + Board("q0", "QBX", serial));
  ASSERT_TRUE(testsupport::WaitUntil([&] { return BlockExists(serial); }, kGuardMs));
  CWatermark_Board* board = server.Server().FindBoard("SN" + Hex8(serial));
  ASSERT_NE(nullptr, board);
  // Held here, the list lock stalls the stop between asking the boards and
  // stopping them, until the board has ended on its own.
  CServerPipeConnectionList& list = CServerPipeTestAccess::List(server.Pipe());
  list.Lock();
  server.Server().RequestStop();
  const bool ended = testsupport::WaitUntil([&] { return !board->IsRunning(); }, kGuardMs);
  list.Unlock();
  ASSERT_TRUE(ended);
  EXPECT_EQ(0, server.Stop());
  EXPECT_EQ("", servertest::FirstOutOfOrder(log.Text(), {"REQUESTSTOP BOARD", "STOP PIPE", "STOP BOARD",
                                                         "DELETE BOARD", "RESIZE ARRAY"}));
  EXPECT_EQ(1, log.Count("+++++++ CWatermark_Server::ThreadEntry STOP BOARD +++++"));
  EXPECT_EQ(1, log.Count("+++++++ CWatermark_Server::ThreadEntry DELETE BOARD +++++"));
  EXPECT_FALSE(BlockExists(serial));
}

TEST(ServerBoards, FailedWaitRunsTheStopSequenceFirst) {
  LogCapture log;
  const uint32_t serial = Serial(11);
  RunningServer server("[sim]\n" + Board("q0", "QBX", serial));
  ASSERT_TRUE(testsupport::WaitUntil([&] { return BlockExists(serial); }, kGuardMs));
  const BrokenCondition broken = CWatermarkServerTestAccess::BreakLoopWait(server.Server());
  ASSERT_TRUE(testsupport::WaitUntil([&] { return !server.Server().IsRunning(); }, kGuardMs));
  EXPECT_EQ(-1, server.Stop());
  std::string text = log.Text();
  size_t error = text.find("Watermark Server : Wait Error !");
  ASSERT_NE(std::string::npos, error);
  EXPECT_NE(std::string::npos,
            text.find("SN" + Hex8(serial) + ": +++++++ CWatermark_Board::~CWatermark_Board", error));
  EXPECT_NE(std::string::npos, text.find("Watermark Server exiting...", error));
  EXPECT_FALSE(BlockExists(serial));
  EXPECT_FALSE(::WaitNamedPipeA(kControlPipeName, 1));
}

}  // namespace
