// How many watermark channels a board has, and from which DSP: the rule over
// register values and the extra-info block, then through a simulated driver.
#include <gtest/gtest.h>

#include <vector>

#include "drivers/DriverPCI.h"
#include "drivers/DriverQBX.h"
#include "service/DspLayout.h"
#include "sim/boards/World.h"
#include "support/log_capture.h"

namespace {

const uint32_t kRegister76Bits = (1u << 18) | (1u << 19);

// An extra-info block with bytes 14 and 15 set.
std::vector<uint8_t> Info(uint8_t byte14, uint8_t byte15, size_t size = 16, uint8_t byte0 = 0xFF) {
  std::vector<uint8_t> info(size, 0);
  info[0] = byte0;
  if (size > 15) {
    info[14] = byte14;
    info[15] = byte15;
  }
  return info;
}

struct Board {
  int32_t kind = 1;
  bool register80Ok = true;
  uint32_t register80 = 0;
  bool register76Ok = true;
  uint32_t register76 = 0;
  std::vector<uint8_t> info;
  // What the rule asked for.
  std::vector<uint32_t> registerReads;
  int infoReads = 0;

  CDspLayout Compute() {
    return ComputeDspLayout(
        kind,
        [this](uint32_t offset, uint32_t* value) {
          registerReads.push_back(offset);
          if (offset == kDspCountRegister) *value = register80;
          if (offset == kDspMaskRegister) *value = register76;
          return offset == kDspCountRegister ? register80Ok : register76Ok;
        },
        [this]() {
          ++infoReads;
          return info;
        },
        "SN00012345");
  }
};

struct LayoutCase {
  const char* what;
  Board board;
  int32_t count;
  int32_t first;
  const char* line;  // the decisive log line, or null for none at all
};

Board Qbx(uint32_t register80, std::vector<uint8_t> info, uint32_t register76 = 0) {
  Board b;
  b.register80 = register80;
  b.info = info;
  b.register76 = register76;
  return b;
}

TEST(DspLayout, DecisionTable) {
  Board pci = Qbx(0x44, Info(0, 0x06));
  pci.kind = 0;
  Board kind2 = Qbx(0x44, Info(0, 0x06));
  kind2.kind = 2;
  Board failedRead = Qbx(0x44, Info(0, 0x06));
  failedRead.register80Ok = false;
  Board failed76 = Qbx(kRegister76Bits | 0x44, Info(0, 0x06), 0xFFFFFFFF);
  failed76.register76Ok = false;

  const LayoutCase cases[] = {
      {"flash mask 0x06 on 4 DSPs", Qbx(0x44, Info(0, 0x06)), 2, 1,
       "SN00012345: PCIe/LNR1 DSP using mask 06"},
      {"run stops at a clear bit", Qbx(0x44, Info(0, 0x0D)), 1, 0, "SN00012345: PCIe/LNR1 DSP using mask 0D"},
      {"register 76 mask", Qbx(kRegister76Bits | 0x22, Info(0, 0), 0xFF00FF03), 2, 0,
       "SN00012345: PCIe/LNR1 mode, with 2 channel starting on 0"},
      {"no mask anywhere", Qbx(0x44, Info(0xFF, 0xFF)), 0, 0,
       "SN00012345: PCIe/LNR1 DSP using mask 00 (auto)"},
      {"short block", Qbx(0x44, Info(0, 0x06, 15)), 0, 0, "DSP using mask 00 (auto)"},
      {"block without its marker", Qbx(0x44, Info(0, 0x06, 16, 0x7F)), 0, 0, "DSP using mask 00 (auto)"},
      {"smaller nibble counts", Qbx(0xF2, Info(0, 0xFF)), 2, 0, "DSP using mask 03"},
      {"at most eight channels", Qbx(0xFF, Info(0, 0xFF)), 8, 0, "mode, with 8 channel starting on 0"},
      {"last DSP only", Qbx(0x88, Info(0, 0x80)), 1, 7, "mode, with 1 channel starting on 7"},
      {"mask cut to the DSP count", Qbx(0x33, Info(0, 0x0E)), 2, 1, "DSP using mask 06"},
      {"no DSP", Qbx(0x0F, Info(0, 0x06)), 0, 0, "SN00012345: PCIe/LNR1 no DSP audio support, so 0 channel"},
      {"all ones", Qbx(0xFFFFFFFF, Info(0, 0x06)), 0, 0,
       "SN00012345: PCIe/LNR1 no fpga audio support, so 0 channel"},
      {"zero", Qbx(0, Info(0, 0x06)), 0, 0, "no fpga audio support"},
      {"failed read", failedRead, 0, 0, "no fpga audio support"},
      {"failed register 76 read falls back to flash", failed76, 2, 1, "DSP using mask 06"},
      {"kind 2 is a QBX board", kind2, 2, 1, "DSP using mask 06"},
      {"PCI board", pci, 0, 0, nullptr},
  };
  for (const LayoutCase& c : cases) {
    LogCapture log;
    Board board = c.board;
    const CDspLayout layout = board.Compute();
    EXPECT_EQ(c.count, layout.channelCount) << c.what;
    EXPECT_EQ(c.first, layout.firstChannel) << c.what;
    if (c.line != nullptr) {
      EXPECT_TRUE(log.Has(c.line)) << c.what << "\n" << log.Text();
    } else {
      EXPECT_EQ("", log.Text()) << c.what;
    }
  }
}

TEST(DspLayout, ReadsOnlyWhatTheRuleNeeds) {
  Board pci = Qbx(0x44, Info(0, 0x06));
  pci.kind = 0;
  pci.Compute();
  EXPECT_TRUE(pci.registerReads.empty());
  EXPECT_EQ(0, pci.infoReads);

  // The register-76 road reads no flash and logs no mask line.
  LogCapture log;
  Board byRegister = Qbx(kRegister76Bits | 0x44, Info(0, 0x06), 0x0F000F0F);
  EXPECT_EQ(4, byRegister.Compute().channelCount);
  EXPECT_EQ((std::vector<uint32_t>{80, 76}), byRegister.registerReads);
  EXPECT_EQ(0, byRegister.infoReads);
  EXPECT_EQ(0, log.Count("using mask"));

  // Without both bits register 76 is not read at all.
  Board oneBit = Qbx((1u << 18) | 0x44, Info(0, 0x06), 0xFFFFFFFF);
  EXPECT_EQ(2, oneBit.Compute().channelCount);
  EXPECT_EQ((std::vector<uint32_t>{80}), oneBit.registerReads);
  EXPECT_EQ(1, oneBit.infoReads);
}

TEST(DspLayout, LineLevels) {
  // The layout lines are level 7, the mask lines level 9.
  LogCapture log(7);
  Qbx(0x44, Info(0, 0x06)).Compute();
  Qbx(0x44, Info(0xFF, 0xFF)).Compute();
  Qbx(0x0F, Info(0, 0)).Compute();
  Qbx(0, Info(0, 0)).Compute();
  const std::string text = log.Text();
  EXPECT_NE(std::string::npos, text.find("mode, with 2 channel starting on 1"));
  EXPECT_NE(std::string::npos, text.find("no DSP audio support"));
  EXPECT_NE(std::string::npos, text.find("no fpga audio support"));
  EXPECT_EQ(std::string::npos, text.find("using mask"));
  LogVerbosity = 6;
  Qbx(0x44, Info(0, 0x06)).Compute();
  EXPECT_EQ(text, log.Text());
}

// ---- through the driver, on simulated boards

std::vector<sim::TraceEntry> Reads() {
  std::vector<sim::TraceEntry> out;
  for (const sim::TraceEntry& e : sim::World::Instance().Trace())
    if (e.op == "read") out.push_back(e);
  return out;
}

bool HasRead(const std::vector<sim::TraceEntry>& reads, uint64_t pos) {
  for (const sim::TraceEntry& e : reads)
    if (e.pos == pos && e.len == 4) return true;
  return false;
}

// The layout of one simulated QBX board described by `keys`, and the reads
// that working it out made.
CDspLayout QbxLayout(const std::string& keys, std::vector<sim::TraceEntry>* reads) {
  EXPECT_TRUE(sim::NewWorld("[sim]\nclock=virtual\n[board q]\nkind=QBX\nserial=0x00012345\n" + keys));
  CDriverQBX qbx;
  EXPECT_TRUE(qbx.Open(0));
  sim::World::Instance().ClearTrace();
  const CDspLayout layout = ComputeDspLayout(&qbx, "SN00012345");
  *reads = Reads();
  return layout;
}

TEST(DspLayoutOnBoards, QbxReadsRegisters80And76AsFourByteWords) {
  std::vector<sim::TraceEntry> reads;
  const CDspLayout fromFlash = QbxLayout("dsps=4\nmask=0x06\n", &reads);
  EXPECT_EQ(2, fromFlash.channelCount);
  EXPECT_EQ(1, fromFlash.firstChannel);
  EXPECT_TRUE(HasRead(reads, 0x7F010050));
  EXPECT_FALSE(HasRead(reads, 0x7F01004C));

  const CDspLayout fromRegister = QbxLayout("dsps=4\nmask=0x0E\nmask_source=reg76\n", &reads);
  EXPECT_EQ(3, fromRegister.channelCount);
  EXPECT_EQ(1, fromRegister.firstChannel);
  EXPECT_TRUE(HasRead(reads, 0x7F010050));
  EXPECT_TRUE(HasRead(reads, 0x7F01004C));
}

TEST(DspLayoutOnBoards, PciBoardIsNeitherReadNorLogged) {
  ASSERT_TRUE(sim::NewWorld("[sim]\nclock=virtual\n[board p]\nkind=PCI\nserial=0x00ABCDEF\ndsps=2\n"));
  CDriverPCI pci;
  ASSERT_TRUE(pci.Open(0));
  sim::World::Instance().ClearTrace();
  LogCapture log;
  const CDspLayout layout = ComputeDspLayout(&pci, "SN00ABCDEF");
  EXPECT_EQ(0, layout.channelCount);
  EXPECT_EQ(0, layout.firstChannel);
  EXPECT_TRUE(Reads().empty());
  EXPECT_EQ("", log.Text());
  EXPECT_EQ(0, ComputeDspLayout(nullptr, "SN00000000").channelCount);
}

}  // namespace
