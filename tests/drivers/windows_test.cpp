// Register windows, DSP positions and the set/clear operations.
#include <functional>

#include "drivers/DriverPCI.h"
#include "drivers/DriverQBX.h"
#include "sim_test_util.h"

namespace {

struct Case {
  const char* what;
  std::function<bool(CDriverOS*, uint8_t*)> call;
  uint32_t position;
};

uint64_t LastReadPos() {
  auto reads = TraceOf("read");
  return reads.empty() ? ~0ull : reads.back().pos;
}

template <size_t N>
void ExpectReadPositions(CDriverOS* driver, const Case (&cases)[N]) {
  for (const Case& c : cases) {
    uint8_t buf[4];
    W().ClearTrace();
    EXPECT_TRUE(c.call(driver, buf)) << c.what;
    EXPECT_EQ(c.position, LastReadPos()) << c.what;
  }
}

TEST(Windows, PciOperationsHitTheirPositions) {
  ASSERT_TRUE(sim::NewWorld(Boards("PCI", 1)));
  CDriverPCI pci;
  ASSERT_TRUE(pci.Open(0));
  const Case cases[] = {
      {"A", [](CDriverOS* d, uint8_t* b) { return d->ReadRegA(0, b, 4); }, 0x7F000000},
      {"B", [](CDriverOS* d, uint8_t* b) { return d->ReadRegB(0x4C, b, 4); }, 0x7F00054C},
      {"C", [](CDriverOS* d, uint8_t* b) { return d->ReadRegC(0x10, b, 4); }, 0x7F000810},
      {"D", [](CDriverOS* d, uint8_t* b) { return static_cast<CDriverPCI*>(d)->ReadRegD(0x54, b, 4); },
       0x7F000354},
      {"E", [](CDriverOS* d, uint8_t* b) { return static_cast<CDriverPCI*>(d)->ReadRegE(0xFC, b, 4); },
       0x7F0001FC},
      {"DSP", [](CDriverOS* d, uint8_t* b) { return d->ReadDSP(3, 0xAB123456, 4, b); }, 0x43123456},
      {"raw", [](CDriverOS* d, uint8_t* b) { return d->ReadRaw(0x3A0000, b, 4); }, 0x3A0000},
  };
  ExpectReadPositions(&pci, cases);
  uint32_t ident = 0;
  ASSERT_TRUE(pci.ReadRegA(0, &ident, 4));
  EXPECT_EQ(0x903010B5u, ident);
  EXPECT_TRUE(pci.CheckPCIIdent());
}

TEST(Windows, QbxOperationsHitTheirPositions) {
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1)));
  CDriverQBX qbx;
  ASSERT_TRUE(qbx.Open(0));
  const Case cases[] = {
      {"A", [](CDriverOS* d, uint8_t* b) { return d->ReadRegA(0, b, 4); }, 0x7F000000},
      {"B", [](CDriverOS* d, uint8_t* b) { return d->ReadRegB(0x80, b, 4); }, 0x7F010080},
      {"C", [](CDriverOS* d, uint8_t* b) { return d->ReadRegC(0x20, b, 4); }, 0x7F000820},
      {"DSP", [](CDriverOS* d, uint8_t* b) { return d->ReadDSP(5, 0xF1234567, 4, b); }, 0xD1234567},
      {"DSP 9 wraps", [](CDriverOS* d, uint8_t* b) { return d->ReadDSP(9, 0x40, 4, b); }, 0x90000040},
      {"raw", [](CDriverOS* d, uint8_t* b) { return d->ReadRaw(0x19FFFC, b, 4); }, 0x19FFFC},
  };
  ExpectReadPositions(&qbx, cases);
  uint32_t version = 0;
  ASSERT_TRUE(qbx.ReadRegB(0x80, &version, 4));
  EXPECT_EQ(0x01020030u, version);
  EXPECT_FALSE(qbx.CheckPCIIdent());
}

TEST(Windows, StrictWorldRejectsUnmappedAndCrossingTransfers) {
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1)));
  CDriverQBX qbx;
  ASSERT_TRUE(qbx.Open(0));
  uint8_t buf[8];
  EXPECT_FALSE(qbx.ReadHard(0x7F000200, buf, 4));  // no window there
  EXPECT_FALSE(qbx.ReadHard(0x7F0100FE, buf, 4));  // crosses the end of region B
  EXPECT_FALSE(qbx.WriteRaw(0x1000, buf, 4));      // flash is read-only
  EXPECT_FALSE(qbx.WriteRegB(0x80, buf, 4));       // so is the logic version
}

TEST(Windows, SetBitsWithoutAliasesReadsModifiesWrites) {
  ASSERT_TRUE(sim::NewWorld(Boards("PCI", 1)));
  CDriverPCI pci;
  ASSERT_TRUE(pci.Open(0));
  const uint8_t hold[2] = {0x00, 0x01};
  ASSERT_TRUE(pci.WriteRegB(0, hold, 2));  // the register holds 0x0100
  W().ClearTrace();
  const uint8_t mask[2] = {0x01, 0x00};
  ASSERT_TRUE(pci.SetBitsB(0, mask, 2));
  auto reads = TraceOf("read");
  auto writes = TraceOf("write");
  ASSERT_EQ(1u, reads.size());
  EXPECT_EQ(0x7F000500u, reads[0].pos);
  EXPECT_EQ(2u, reads[0].len);
  ASSERT_EQ(1u, writes.size());
  EXPECT_EQ(0x7F000500u, writes[0].pos);
  EXPECT_EQ((std::vector<uint8_t>{0x01, 0x01}), writes[0].data);

  W().ClearTrace();
  ASSERT_TRUE(pci.ClearBitsB(0, hold, 2));
  writes = TraceOf("write");
  ASSERT_EQ(1u, writes.size());
  EXPECT_EQ((std::vector<uint8_t>{0x01, 0x00}), writes[0].data);
}

TEST(Windows, SetBitsWithAliasesWritesOnce) {
  ASSERT_TRUE(sim::NewWorld(Boards("PCI", 1, "feature=2\n")));
  CDriverPCI pci;
  ASSERT_TRUE(pci.Open(0));
  ASSERT_TRUE(pci.Init());  // open now, so the feature byte is read
  ASSERT_TRUE(pci.HasSetClear());
  W().ClearTrace();
  const uint8_t mask[2] = {0x01, 0x00};
  ASSERT_TRUE(pci.SetBitsB(0, mask, 2));
  ASSERT_TRUE(pci.ClearBitsB(0, mask, 2));
  EXPECT_TRUE(TraceOf("read").empty());
  auto writes = TraceOf("write");
  ASSERT_EQ(2u, writes.size());
  EXPECT_EQ(0x7E000500u, writes[0].pos);
  EXPECT_EQ((std::vector<uint8_t>{0x01, 0x00}), writes[0].data);
  EXPECT_EQ(0x7D000500u, writes[1].pos);
}

TEST(Windows, AliasesAreRefusedByBoardsWithoutThem) {
  ASSERT_TRUE(sim::NewWorld(Boards("PCI", 1, "feature=1\n")));
  CDriverPCI pci;
  ASSERT_TRUE(pci.Open(0));
  ASSERT_TRUE(pci.Init());
  EXPECT_FALSE(pci.HasSetClear());
  const uint8_t mask[1] = {0x01};
  EXPECT_FALSE(pci.WriteHard(0x7E000500, mask, 1));
  EXPECT_TRUE(pci.SetBitsB(0, mask, 1));  // falls back to read, modify, write
}

TEST(Windows, FailedReadMeansNoWrite) {
  ASSERT_TRUE(sim::NewWorld(Boards("PCI", 1) + "[sim]\nfault=read pos=0x7F000500 count=3 err=31\n"));
  CDriverPCI pci;
  ASSERT_TRUE(pci.Open(0));
  W().ClearTrace();
  const uint8_t mask[2] = {0x01, 0x00};
  EXPECT_FALSE(pci.SetBitsB(0, mask, 2));
  EXPECT_TRUE(TraceOf("write").empty());
}

TEST(Windows, QbxSetBitsUsesTheOlderRegionB) {
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1)));
  CDriverQBX qbx;
  ASSERT_TRUE(qbx.Open(0));
  W().ClearTrace();
  const uint8_t mask[2] = {0x01, 0x00};
  ASSERT_TRUE(qbx.SetBitsB(0, mask, 2));
  for (auto& e : W().Trace()) {
    if (e.op == "read" || e.op == "write") {
      EXPECT_EQ(0x7F000500u, e.pos) << e.op;
    }
  }
}

}  // namespace
