// Board and DSP resets, the wait for their end and the readiness test, on the
// virtual clock (no test waits for real).
#include <memory>
#include <ostream>

#include "drivers/DriverPCI.h"
#include "drivers/DriverQBX.h"
#include "sim_test_util.h"

namespace {

std::vector<sim::TraceEntry> Writes() { return TraceOf("write"); }

TEST(ResetPci, DspResetClearsWaitsAndSetsBit2) {
  ASSERT_TRUE(sim::NewWorld(Boards("PCI", 1)));
  CDriverPCI pci;
  ASSERT_TRUE(pci.Open(0));
  W().ClearTrace();
  ASSERT_TRUE(pci.ResetDSP(false));
  std::vector<std::string> ops;
  for (auto& e : W().Trace())
    if (e.op != "seek") ops.push_back(e.op + (e.op == "sleep" ? std::to_string(e.pos) : ""));
  EXPECT_EQ((std::vector<std::string>{"read", "write", "sleep100", "read", "write", "sleep100"}), ops);
  auto w = Writes();
  ASSERT_EQ(2u, w.size());
  EXPECT_EQ(0x7F000354u, w[0].pos);
  EXPECT_EQ(0u, U32(w[0].data) & 4);
  EXPECT_EQ(4u, U32(w[1].data) & 4);
  EXPECT_TRUE(pci.IsBoardReady());  // the signature is back after the boot time
}

TEST(ResetPci, HeldDspResetMakesTheBoardNotReady) {
  LogCapture log;
  ASSERT_TRUE(sim::NewWorld(Boards("PCI", 1)));
  CDriverPCI pci;
  ASSERT_TRUE(pci.Open(0));
  ASSERT_TRUE(pci.ResetDSP(true));
  uint8_t sig[11];
  ASSERT_TRUE(pci.ReadDSP(0, 0x33, 11, sig));
  EXPECT_EQ(0, sig[0]);  // DSPs held in reset
  EXPECT_FALSE(pci.IsBoardReady());
  EXPECT_TRUE(log.Has("WaitEndReset: Error board is in reset\n"));
}

TEST(ResetPci, BoardResetSetsThenClearsBit8WithoutPause) {
  ASSERT_TRUE(sim::NewWorld(Boards("PCI", 1)));
  CDriverPCI pci;
  ASSERT_TRUE(pci.Open(0));
  W().ClearTrace();
  ASSERT_TRUE(pci.ResetBoard(true));
  auto w = Writes();
  ASSERT_EQ(1u, w.size());
  EXPECT_EQ(0x7F000500u, w[0].pos);
  EXPECT_EQ((std::vector<uint8_t>{0x00, 0x01}), w[0].data);
  W().ClearTrace();
  ASSERT_TRUE(pci.ResetBoard(false));
  w = Writes();
  ASSERT_EQ(2u, w.size());
  EXPECT_EQ((std::vector<uint8_t>{0x00, 0x01}), w[0].data);
  EXPECT_EQ((std::vector<uint8_t>{0x00, 0x00}), w[1].data);
  EXPECT_TRUE(TraceOf("sleep").empty());
}

TEST(ResetQbx, BoardResetWritesTheWordTwice) {
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1)));
  CDriverQBX qbx;
  ASSERT_TRUE(qbx.Open(0));
  const uint32_t control = 0x00000005;
  ASSERT_TRUE(qbx.WriteRegB(0, &control, 4));
  W().ClearTrace();
  ASSERT_TRUE(qbx.ResetBoard(false));
  EXPECT_EQ(1u, TraceOf("read").size());  // no re-read between the writes
  auto w = Writes();
  ASSERT_EQ(2u, w.size());
  EXPECT_EQ(0x7F010000u, w[0].pos);
  EXPECT_EQ(0x105u, U32(w[0].data));
  EXPECT_EQ(0x005u, U32(w[1].data));
  EXPECT_TRUE(TraceOf("sleep").empty());
  W().ClearTrace();
  ASSERT_TRUE(qbx.ResetBoard(true));
  ASSERT_EQ(1u, Writes().size());
}

struct VersionCase {
  uint32_t version;
  bool full;
};

void PrintTo(const VersionCase& c, std::ostream* os) { *os << std::hex << "0x" << c.version; }

class ResetQbxVersion : public ::testing::TestWithParam<VersionCase> {};

TEST_P(ResetQbxVersion, ChoosesDspPulseOrFullReset) {
  LogCapture log;
  char extra[64];
  std::snprintf(extra, sizeof(extra), "logic_version=0x%X\n", GetParam().version);
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1, extra)));
  CDriverQBX qbx;
  ASSERT_TRUE(qbx.Open(0));
  W().ClearTrace();
  ASSERT_TRUE(qbx.ResetDSP(false));
  auto w = Writes();
  ASSERT_EQ(1u, w.size());
  EXPECT_EQ(0x7F010000u, w[0].pos);
  uint32_t v = 0;
  if (GetParam().full) {
    EXPECT_EQ(0x10000u, U32(w[0].data));
    EXPECT_TRUE(log.Has("QBX1: Real ResetBoard, no more access until PC reboot !\n"));
    EXPECT_FALSE(qbx.ReadRegB(0x80, &v, 4));  // the board is gone until a reboot
  } else {
    EXPECT_EQ(0x20000u, U32(w[0].data));
    EXPECT_FALSE(log.Contains("Real ResetBoard"));
    EXPECT_TRUE(qbx.ReadRegB(0, &v, 4));
    EXPECT_EQ(0u, v);  // the pulse does not stay set
  }
}

INSTANTIATE_TEST_SUITE_P(Matrix, ResetQbxVersion,
                         ::testing::Values(VersionCase{0x10065, true}, VersionCase{0x10066, true},
                                           VersionCase{0x101001E, true}, VersionCase{0x101001F, true},
                                           VersionCase{0x10067, false}, VersionCase{0x01020030, false}));

TEST(ResetQbx, UnreadableVersionDoesNotReset) {
  LogCapture log;
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1) + "[sim]\nfault=read pos=0x7F010080 count=3 err=31\n"));
  CDriverQBX qbx;
  ASSERT_TRUE(qbx.Open(0));
  W().ClearTrace();
  EXPECT_FALSE(qbx.ResetDSP(false));
  EXPECT_TRUE(Writes().empty());
  EXPECT_FALSE(log.Contains("Real ResetBoard"));
}

struct WaitCase {
  const char* kind;
  const char* timing;
  bool ok;
  const char* message;
};

void PrintTo(const WaitCase& c, std::ostream* os) {
  std::string t = c.timing;
  t.erase(t.find_last_not_of('\n') + 1);
  *os << c.kind << "_" << t;
}

class WaitEnd : public ::testing::TestWithParam<WaitCase> {};

TEST_P(WaitEnd, FollowsTheStatusTimeline) {
  LogCapture log;
  ASSERT_TRUE(sim::NewWorld(Boards(GetParam().kind, 1, GetParam().timing)));
  std::unique_ptr<CBaseDriver> board(
      std::string(GetParam().kind) == "PCI" ? static_cast<CBaseDriver*>(new CDriverPCI) : new CDriverQBX);
  ASSERT_TRUE(board->Open(0));
  ASSERT_TRUE(board->ResetBoard(false));
  const double start = W().NowMs();
  EXPECT_EQ(GetParam().ok, board->WaitEndReset());
  if (GetParam().message[0] != 0) {
    EXPECT_TRUE(log.Has(GetParam().message)) << log.Text();
  }
  if (std::string(GetParam().kind) == "QBX" && GetParam().ok) {
    // about one status read per 100 ms
    size_t reads = TraceOf("read").size();
    EXPECT_GT(reads, 90u);
    EXPECT_LT(reads, 110u);
    EXPECT_NEAR(10000.0, W().NowMs() - start, 150.0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Timelines, WaitEnd,
    ::testing::Values(
        WaitCase{"PCI", "pico_ready_ms=3900\n", true, ""},
        WaitCase{"PCI", "pico_ready_ms=4100\n", false, "WaitEndReset: Timeout waiting pico ready\n"},
        WaitCase{"PCI", "board_reset_ms=1200\n", false, "WaitEndReset: Timeout waiting board reset\n"},
        WaitCase{"PCI", "pico_reset_ms=2100\n", false, "WaitEndReset: Timeout waiting pico reset\n"},
        WaitCase{"QBX", "pico_ready_ms=10000\n", true, ""},
        WaitCase{"QBX", "pico_ready_ms=16000\n", false, "WaitEndReset: Timeout waiting pico ready\n"}));

TEST(WaitEndStatus, FailedStatusReadStopsTheWait) {
  LogCapture log;
  ASSERT_TRUE(sim::NewWorld(Boards("PCI", 1) + "[sim]\nfault=read pos=0x7F000502 err=31\n"));
  CDriverPCI pci;
  ASSERT_TRUE(pci.Open(0));
  EXPECT_FALSE(pci.WaitEndReset());
  EXPECT_TRUE(log.Has("WaitEndReset: Error reading status\n"));
}

TEST(WaitEndStatus, AStepAlreadyOverNeverTimesOut) {
  // Late look at a board long out of reset: every bit is right at once.
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1)));
  CDriverQBX qbx;
  ASSERT_TRUE(qbx.Open(0));
  W().AdvanceMs(60000);
  W().ClearTrace();
  EXPECT_TRUE(qbx.WaitEndReset());
  EXPECT_EQ(3u, TraceOf("read").size());
  EXPECT_TRUE(TraceOf("sleep").empty());
}

TEST(Ready, SignatureDecides) {
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1)));
  CDriverQBX good;
  ASSERT_TRUE(good.Open(0));
  EXPECT_TRUE(good.IsBoardReady());

  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1, "dsp_signature=333435363738393A3B3C00\n")));
  CDriverQBX bad;
  ASSERT_TRUE(bad.Open(0));
  EXPECT_FALSE(bad.IsBoardReady());
}

TEST(Ready, FailedDspReadWaitsHalfASecond) {
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1) + "[sim]\nfault=read pos=0x80000033 err=31\n"));
  CDriverQBX qbx;
  ASSERT_TRUE(qbx.Open(0));
  W().ClearTrace();
  EXPECT_FALSE(qbx.IsBoardReady());
  auto sleeps = TraceOf("sleep");
  ASSERT_FALSE(sleeps.empty());
  EXPECT_EQ(500u, sleeps.back().pos);
}

}  // namespace
