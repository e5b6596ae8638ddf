// The whole marking road in the running program: the demo's boards (a QBX
// board with two channels, a PCI board with none), one channel enabled by a
// client through the board's block, the embedder marking its audio, the XML
// copies that follow, and a stop by Ctrl+C that releases every device in order.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "drivers/AudioAsio.h"
#include "service/BoardBlock.h"
#include "e2e/program_run.h"
#include "tvlib/ipc/shared_memory.h"

namespace {

using testsupport::ChildProcess;

// The boards of scripts/demo-boards.ini.
const char kDemoBoards[] =
    "[board qbx0]\r\nkind=QBX\r\nserial=0x00012345\r\ntrvl=1\r\nserial_bank=0:current:QBX-12345\r\n"
    "driver_version=2.3.4\r\nfeature=2\r\ndsps=4\r\nmask=0x06\r\ninput=counter\r\n"
    "[board pci0]\r\nkind=PCI\r\nserial=0x00ABCDEF\r\ndriver_version=2.3.4\r\ndsps=2\r\ninput=counter\r\n";

const uint32_t kClientRead = CSharedMemoryBuffer::kRead | CSharedMemoryBuffer::kOpen;
const uint32_t kClientReadWrite = kClientRead | CSharedMemoryBuffer::kWrite;

// Opens a board's block as a client program does, once the board has
// created it.
bool OpenBlock(CSharedMemoryBuffer& block, const std::string& name, uint32_t flags) {
  return WaitUntil([&] { return block.IsOk() || block.Create(name.c_str(), flags, kBoardBlockSize); },
                   kStartMs, 100);
}

uint32_t ChannelCount(const CSharedMemoryBuffer& block) {
  return LoadU32(block.GetData() + kBlockChannelCountOffset);
}

// The board thread turns: its heartbeat word changes.
bool HeartbeatMoves(const CSharedMemoryBuffer& block) {
  const uint16_t first = LoadU16(block.GetData() + kBlockHeartbeatWordOffset);
  return WaitUntil([&] { return LoadU16(block.GetData() + kBlockHeartbeatWordOffset) != first; }, kEventMs,
                   20);
}

bool IsAsio(const std::string& file) { return file.compare(0, 4, "asio") == 0; }

class BoardsOfTheDemo : public ProgramRunTest {};

TEST_F(BoardsOfTheDemo, AClientEnablesAChannelThatMarksIsSavedAndStoppedInOrder) {
  Prepare(kDemoBoards);
  ChildProcess program;
  ASSERT_TRUE(StartStoppable(program, "", "run"));

  CSharedMemoryBuffer qbx, pci;
  ASSERT_TRUE(OpenBlock(qbx, "PELORIN_00012345", kClientReadWrite)) << Story("run");
  ASSERT_TRUE(OpenBlock(pci, "PELORIN_00ABCDEF", kClientRead)) << Story("run");
  // One channel thread per channel of the layout: DSPs 1 and 2 on qbx0,
  // none on the PCI board, whose thread turns all the same.
  EXPECT_TRUE(WaitUntil([&] { return ChannelCount(qbx) == 2; }, kEventMs)) << Story("run");
  EXPECT_TRUE(HeartbeatMoves(qbx)) << Story("run");
  EXPECT_TRUE(HeartbeatMoves(pci)) << Story("run");
  EXPECT_EQ(0u, ChannelCount(pci));
  // A first start: neither board has a copy to load.
  for (const char* serial : {"00012345", "00ABCDEF"})
    EXPECT_TRUE(WaitLog(std::string(serial) + ": *** NO WAY TO RELOAD A CONFIG !")) << serial << Story("run");
  const std::string qbxCopy1 = ConfigDir("00012345") + "\\watermark_config.xml.1";
  const std::string qbxCopy2 = ConfigDir("00012345") + "\\watermark_config.xml.2";
  const std::string pciCopy1 = ConfigDir("00ABCDEF") + "\\watermark_config.xml.1";
  EXPECT_FALSE(testsupport::PathExists(qbxCopy1));

  WriteSettingsRecord(qbx.GetData(), 0, SettingsRecord{1, 0});
  EXPECT_TRUE(WaitUntil(
      [&] {
        const StatusRecordView r = ReadStatusRecord(qbx.GetData(), 0);
        return r.status == 1 && r.watermarkId == 4711;
      },
      kEventMs))
      << Story("run");
  EXPECT_TRUE(WaitLog("SN00012345 Ch 1: Status changed to RUNNING")) << Story("run");
  EXPECT_EQ(0, ReadStatusRecord(qbx.GetData(), 1).status);

  // The simulator's classification of what asio1 plays: marked periods,
  // more of them as the run goes on.
  long long marked = 0;
  EXPECT_TRUE(
      WaitUntil([&] { return (marked = DeviceStat("SN00012345_asio1", "marked")) > 0; }, kEventMs, 100))
      << Story("run");
  EXPECT_TRUE(WaitUntil([&] { return DeviceStat("SN00012345_asio1", "marked") > marked; }, kEventMs, 100))
      << Capture("SN00012345_asio1.stats");

  // The change is saved once, some seconds later, as the board holds it.
  EXPECT_TRUE(WaitUntil(
      [&] {
        const std::string xml = testsupport::ReadBytes(qbxCopy1);
        return Has(xml, "<ch1 enable=\"true\" watermarking_channel=\"0\" />") &&
               Has(xml, "<ch2 enable=\"false\" watermarking_channel=\"0\" />");
      },
      kEventMs, 100))
      << testsupport::ReadBytes(qbxCopy1) << Story("run");
  EXPECT_FALSE(testsupport::PathExists(qbxCopy2)) << Story("run");
  EXPECT_FALSE(testsupport::PathExists(pciCopy1));

  Stop();
  EXPECT_EQ(0, program.Wait(kEndMs)) << Story("run");
  EXPECT_TRUE(Has(Log(), "Watermark Server stopped...")) << Story("run");
  // Each board's stop wrote its settings once more.
  EXPECT_TRUE(Has(testsupport::ReadBytes(qbxCopy2), "<ch1 enable=\"true\" watermarking_channel=\"0\" />"))
      << testsupport::ReadBytes(qbxCopy2) << Story("run");
  const std::string pciXml = testsupport::ReadBytes(pciCopy1);
  EXPECT_TRUE(Has(pciXml, "<config version=\"1.0.14\"")) << pciXml << Story("run");
  EXPECT_FALSE(Has(pciXml, "<ch")) << pciXml;
  // The device's last stats, written at its close: marked periods, and none
  // that is neither the input (marked or passed through) nor silence.
  EXPECT_GT(DeviceStat("SN00012345_asio1", "marked"), 0) << Capture("SN00012345_asio1.stats");
  EXPECT_EQ(0, DeviceStat("SN00012345_asio1", "other")) << Capture("SN00012345_asio1.stats");
  EXPECT_FALSE(testsupport::PathExists(m_dir.File("capture\\SN00012345_asio2.stats")));

  // Every open has its close; each audio device was stopped and unprepared
  // before its close, and closed before any Driver of its board.
  const std::vector<SimCall> calls = SimCalls();
  std::map<std::string, SimCall> open;  // by handle
  std::set<std::string> stopped, unprepared;
  std::map<std::string, int> asioOpen;  // by board
  int opens = 0, asio1Opens = 0;
  for (const SimCall& c : calls) {
    if (c.op == "open") {
      EXPECT_FALSE(c.board == "qbx0" && c.file == "asio2") << c.line;
      if (!c.ok) continue;
      ++opens;
      open[c.handle] = c;
      if (IsAsio(c.file)) ++asioOpen[c.board];
      if (c.board == "qbx0" && c.file == "asio1") ++asio1Opens;
    } else if (c.op == "ioctl" && IsAsio(c.file)) {
      if (c.pos == CAudioAsio::kIoctlStop) stopped.insert(c.handle);
      if (c.pos == CAudioAsio::kIoctlUnprepare) unprepared.insert(c.handle);
    } else if (c.op == "close" && c.ok && open.count(c.handle) != 0) {
      if (IsAsio(c.file)) {
        EXPECT_TRUE(stopped.count(c.handle) != 0 && unprepared.count(c.handle) != 0) << c.line;
        stopped.erase(c.handle);
        unprepared.erase(c.handle);
        --asioOpen[c.board];
      }
      if (c.file == "Driver") {
        EXPECT_EQ(0, asioOpen[c.board]) << c.line;
      }
      open.erase(c.handle);
    }
  }
  EXPECT_GT(opens, 0);
  EXPECT_GE(asio1Opens, 1);
  for (const auto& left : open) ADD_FAILURE() << "never closed: " << left.second.line;
}

}  // namespace
