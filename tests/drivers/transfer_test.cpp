// Positioned transfers: retries, messages, positions above 2 GiB, locking.
#include <memory>
#include <thread>

#include "drivers/DriverPCI.h"
#include "drivers/DriverQBX.h"
#include "sim_test_util.h"

namespace {

class Transfer : public ::testing::Test {
 protected:
  void Load(const std::string& extra = std::string()) {
    ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1, "reg80=0x00000044\n") + extra));
    board.reset(new CDriverQBX);
    ASSERT_TRUE(qbx().Open(0));
    W().ClearTrace();
  }
  int Transfers() { return int(TraceOf("read").size() + TraceOf("write").size()); }
  CDriverQBX& qbx() { return *board; }
  std::unique_ptr<CDriverQBX> board;
};

TEST(TransferClosed, LengthZeroSucceedsAndLengthOneFailsQuietly) {
  LogCapture log;
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1)));
  CDriverQBX qbx;
  W().ClearTrace();
  uint8_t b = 0;
  EXPECT_TRUE(qbx.ReadHard(0x7F010050, &b, 0));
  EXPECT_TRUE(qbx.WriteHard(0x7F010050, &b, -3));
  EXPECT_FALSE(qbx.ReadHard(0x7F010050, &b, 1));
  EXPECT_TRUE(W().Trace().empty());
  EXPECT_TRUE(log.Lines().empty());
}

TEST_F(Transfer, ShortReadsAreRetriedWithOneSleepBeforeTheThird) {
  LogCapture log;
  Load("[sim]\nfault=read pos=0x7F010050 count=2 short=2\n");
  uint32_t v = 0;
  EXPECT_TRUE(qbx().ReadRegB(0x50, &v, 4));
  EXPECT_EQ(0x44u, v);
  LogError("end of test");  // releases the folded repeat
  EXPECT_TRUE(
      log.Has("### Read 2 bytes instead of 4 (ptr is 7f010052 for adr 7f010050) (0)\n"
              "... (previous message repeated 1 times)\n"));
  // seek, read, seek, read, sleep 10, seek, read
  std::vector<std::string> ops;
  for (auto& e : W().Trace())
    if (e.op != "seek" || e.pos != 0x7F010052) ops.push_back(e.op);  // skip the "ptr" queries
  EXPECT_EQ((std::vector<std::string>{"seek", "read", "seek", "read", "sleep", "seek", "read"}), ops);
  auto sleeps = TraceOf("sleep");
  ASSERT_EQ(1u, sleeps.size());
  EXPECT_EQ(10u, sleeps[0].pos);
}

TEST_F(Transfer, ThreeFailedReadsFail) {
  LogCapture log;
  Load("[sim]\nfault=read pos=0x7F010050 count=3 err=31\n");
  uint32_t v = 0;
  EXPECT_FALSE(qbx().ReadRegB(0x50, &v, 4));
  EXPECT_EQ(3u, TraceOf("read").size());
  LogError("end of test");
  EXPECT_TRUE(log.Has("### ReadHard failed (31)\n... (previous message repeated 2 times)\n"));
}

TEST_F(Transfer, WriteFailuresUseTheWriteTexts) {
  LogCapture log;
  Load("[sim]\nfault=write pos=0x7F000800 at=1 short=1\nfault=write pos=0x7F000804 count=3 err=31\n");
  const uint32_t v = 0x11223344;
  EXPECT_TRUE(qbx().WriteRegC(0, &v, 4));
  EXPECT_TRUE(log.Has("### Wrote 1 bytes instead of 4 (ptr is 7f000801 for adr 7f000800) (0)\n"));
  EXPECT_FALSE(qbx().WriteRegC(4, &v, 4));
  EXPECT_TRUE(log.Has("### WriteFile failed (31)\n"));
  uint32_t back = 0;
  EXPECT_TRUE(qbx().ReadRegC(0, &back, 4));
  EXPECT_EQ(v, back);
}

TEST_F(Transfer, SeekFailureIsLoggedAndRetried) {
  LogCapture log;
  Load("[sim]\nfault=seek at=1 err=6\n");
  uint32_t v = 0;
  EXPECT_TRUE(qbx().ReadRegB(0x50, &v, 4));
  EXPECT_TRUE(log.Has("### SetFilePointer failed (6)\n"));
  EXPECT_EQ(1u, TraceOf("read").size());
}

TEST_F(Transfer, PositionsAbove2GiBAreSeekedWithTheHighPart) {
  Load();
  uint8_t sig[11] = {};
  ASSERT_TRUE(qbx().ReadDSP(0, 0x33, 11, sig));
  auto reads = TraceOf("read");
  ASSERT_EQ(1u, reads.size());
  EXPECT_EQ(0x80000033u, reads[0].pos);
  for (int i = 0; i < 11; ++i) EXPECT_EQ(0x33 + i, sig[i]);
}

TEST_F(Transfer, ConcurrentCallersNeverInterleaveSeekAndData) {
  Load();
  auto hammer = [this](uint32_t offset) {
    for (int i = 0; i < 1500; ++i) {
      uint32_t v = uint32_t(i);
      qbx().WriteRegB(offset, &v, 4);
      qbx().ReadRegB(offset, &v, 4);
    }
  };
  std::thread a(hammer, 0x10), b(hammer, 0x20);
  a.join();
  b.join();
  EXPECT_EQ(0u, W().InterleaveViolations());
  EXPECT_GT(Transfers(), 5000);
}

TEST(TransferSim, TheDetectorSeesUnlockedInterleaving) {
  // Without the object's lock the detector must notice: proves the check above.
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1)));
  HANDLE h = W().CreateFile((W().FindBoard("b0")->path + "\\Driver").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                            OPEN_EXISTING, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  LONG high = 0;
  W().SetFilePointer(h, 0x7F000800, &high, FILE_BEGIN);
  std::thread([&] {
    LONG hi = 0;
    W().SetFilePointer(h, 0x7F000804, &hi, FILE_BEGIN);
  }).join();
  uint8_t buf[4];
  DWORD done = 0;
  EXPECT_TRUE(W().ReadFile(h, buf, 4, &done));
  EXPECT_EQ(1u, W().InterleaveViolations());
  W().CloseHandle(h);
}

TEST(TransferSim, SeekWithoutHighPartTurnsNegative) {
  // What a driver would meet if it passed no high part for a DSP position.
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1)));
  HANDLE h = W().CreateFile((W().FindBoard("b0")->path + "\\Driver").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                            OPEN_EXISTING, 0);
  ::SetLastError(0);
  EXPECT_EQ(INVALID_SET_FILE_POINTER, W().SetFilePointer(h, LONG(0x80000033u), nullptr, FILE_BEGIN));
  EXPECT_EQ(131u, ::GetLastError());
  LONG high = 0;
  EXPECT_EQ(0x80000033u, W().SetFilePointer(h, LONG(0x80000033u), &high, FILE_BEGIN));
  W().CloseHandle(h);
}

}  // namespace
