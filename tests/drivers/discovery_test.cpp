// Board discovery, the path tables and opening a board's files.
#include <memory>

#include "drivers/DriverPCI.h"
#include "drivers/DriverQBX.h"
#include "sim_test_util.h"
#include "support/fn_thread.h"

namespace {

const char kNoBoard[] = "No board found, or driver not installed. Can not continue.";

TEST(Discovery, NoBoardsMeansNothingOpenedAndOpenRefused) {
  LogCapture log;
  ASSERT_TRUE(sim::NewWorld("[sim]\nclock=virtual\n"));
  CDriverQBX qbx;
  CDriverPCI pci;
  EXPECT_EQ(0, qbx.GetBoardCount());
  EXPECT_EQ(0, pci.GetBoardCount());
  EXPECT_TRUE(TraceOf("open").empty());  // no version file without a board
  EXPECT_FALSE(qbx.Open(0));
  EXPECT_TRUE(log.Has(kNoBoard));
}

TEST(Discovery, BoardsAreFoundWithTheProcessRecordSizes) {
  // The simulated SetupDi rejects the 32-bit record sizes as x64 Windows does,
  // so finding the boards at all proves the sizes.
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 2)));
  CDriverQBX qbx;
  ASSERT_EQ(2, qbx.GetBoardCount());
  int found = 0;
  for (auto& e : TraceOf("enum")) found += e.ok ? 1 : 0;
  EXPECT_EQ(2, found);
  EXPECT_EQ(W().FindBoard("b0")->path, CDriverOS::GetPath(kDriverKindQBX, 0));
  EXPECT_EQ(W().FindBoard("b1")->path, CDriverOS::GetPath(kDriverKindQBX, 1));
}

TEST(Discovery, RescanAppendsLateBoardsAndKeepsGoneOnes) {
  LogCapture log;
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 2) + "[board late]\nkind=QBX\npresent_after_ms=1000\n"));
  CDriverQBX qbx;
  EXPECT_EQ(2, qbx.GetBoardCount());
  CDriverOS::InitDriver(1);
  EXPECT_EQ(2, qbx.GetBoardCount());  // the same boards are not appended twice
  W().AdvanceMs(1000);
  EXPECT_TRUE(CDriverOS::InitDriver(1));
  ASSERT_EQ(3, qbx.GetBoardCount());
  EXPECT_EQ(W().FindBoard("late")->path, CDriverOS::GetPath(kDriverKindQBX, 2));

  W().Unplug("late");
  CDriverOS::InitDriver(1);
  EXPECT_EQ(3, qbx.GetBoardCount());
  std::unique_ptr<CBaseDriver> board(qbx.Clone(2));
  EXPECT_FALSE(board->Open(-1));
  EXPECT_FALSE(log.Contains(kNoBoard));  // a gone board fails silently
}

TEST(Discovery, FailedClassQueryLogsAndLeavesTheOtherKind) {
  LogCapture log;
  ASSERT_TRUE(
      sim::NewWorld("[sim]\nclock=virtual\nfault=getclassdevs kind=PCI err=13\n"
                    "[board p]\nkind=PCI\n[board q]\nkind=QBX\n"));
  CDriverPCI pci;
  EXPECT_EQ(0, pci.GetBoardCount());
  EXPECT_EQ(1, CDriverOS::GetPathCount(kDriverKindQBX));
  EXPECT_TRUE(
      log.Has(" CDriverOS::InitDriver : SetupDiGetClassDevs for PCI FAILED\n"
              " CDriverWinInit::OnInit EnumExisting Devices failed\n"));
}

TEST(Discovery, FailedDetailDropsTheWholeTurn) {
  LogCapture log;
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 2, "") +
                            "[sim]\nfault=ifdetail kind=QBX index=1 phase=fetch count=1 err=31\n"));
  CDriverQBX qbx;
  EXPECT_EQ(0, qbx.GetBoardCount());  // board 0 was found before the failure, and dropped
  EXPECT_TRUE(
      log.Has(" CDriverWinInit::OnInit : SetupDiGetDeviceInterfaceDetail for QBX FAILED\n"
              " CDriverWinInit::OnInit EnumExisting Devices failed\n"));
  EXPECT_TRUE(CDriverOS::InitDriver(1));
  EXPECT_EQ(2, qbx.GetBoardCount());
}

// Board threads build driver objects: the first ones may be built on several
// threads at once. One of them enumerates, the others wait for its turn.
TEST(Discovery, FirstDriverObjectsOnSeveralThreadsEnumerateOnce) {
  const int kThreads = 6;
  // The slow version read holds the first turn open while the others start.
  std::string world = "[sim]\nclock=realtime\nfault=read file=tvVersion delay_ms=20\n";
  for (int i = 0; i < 3; ++i) world += "[board b" + std::to_string(i) + "]\nkind=QBX\n";
  for (int round = 0; round < 10; ++round) {
    ASSERT_TRUE(sim::NewWorld(world));
    HANDLE gate = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    volatile LONG seen[kThreads] = {};
    std::vector<std::unique_ptr<FnThread>> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back(new FnThread([&, i](FnThread&) {
        ::WaitForSingleObject(gate, INFINITE);
        CDriverQBX qbx;
        ::InterlockedExchange(&seen[i], qbx.GetBoardCount());
        return 0;
      }));
      ASSERT_EQ(0, threads.back()->Create(2));
    }
    ::SetEvent(gate);
    for (auto& t : threads) EXPECT_EQ(0, t->Join());
    ::CloseHandle(gate);
    for (int i = 0; i < kThreads; ++i) ASSERT_EQ(3, seen[i]) << "round " << round << " thread " << i;
    ASSERT_EQ(3, CDriverOS::GetPathCount(kDriverKindQBX));
    int found = 0;
    for (auto& e : TraceOf("enum")) found += e.ok ? 1 : 0;
    ASSERT_EQ(3, found) << "round " << round;  // one turn
  }
}

// Every way out of an enumeration turn gives back the device information
// list and the version file.
TEST(Discovery, EnumerationTurnsLeaveNothingOpen) {
  LogCapture log;
  const std::string faults[] = {"", "[sim]\nfault=ifdetail kind=QBX index=1 phase=fetch err=31\n",
                                "[sim]\nfault=ifdetail kind=QBX index=0 phase=size err=5\n"};
  for (const std::string& fault : faults) {
    SCOPED_TRACE(fault);
    ASSERT_TRUE(sim::NewWorld(Boards("QBX", 2) + fault));
    CDriverQBX qbx;
    CDriverOS::InitDriver(1);
    EXPECT_EQ(0, W().OpenDeviceInfoLists());
    EXPECT_EQ(0, W().OpenHandles());
  }
}

TEST(Discovery, NormalizePathUpperCasesOldSystemsUpToTheSecondHash) {
  const std::string path = "\\\\?\\pci#ven_1172&dev_e001#4&2c0e0e1a&0&00e0#{9fb60060-c831}";
  EXPECT_EQ("\\\\?\\PCI#VEN_1172&DEV_E001#4&2c0e0e1a&0&00e0#{9fb60060-c831}", NormalizePath(path, 5));
  EXPECT_EQ(path, NormalizePath(path, 6));
  EXPECT_EQ("ABC", NormalizePath("abc", 5));
}

TEST(Discovery, PathsDifferingInCaseAfterTheSecondHashAreTwoBoards) {
  ASSERT_TRUE(
      sim::NewWorld("[sim]\nclock=virtual\nos_major=5\n"
                    "[board a]\nkind=QBX\npath=\\\\?\\pci#ven_1#4&ab#{x}\n"
                    "[board b]\nkind=QBX\npath=\\\\?\\PCI#VEN_1#4&AB#{x}\n"));
  CDriverQBX qbx;
  ASSERT_EQ(2, qbx.GetBoardCount());
  EXPECT_EQ("\\\\?\\PCI#VEN_1#4&ab#{x}", CDriverOS::GetPath(kDriverKindQBX, 0));
  // The upper-cased path still opens: the object manager ignores case.
  EXPECT_TRUE(qbx.Open(0));
}

TEST(Discovery, DriverVersionFromTheFirstPathOfTheTurn) {
  ASSERT_TRUE(
      sim::NewWorld("[sim]\nclock=virtual\n"
                    "[board a]\nkind=QBX\ndriver_version=2.3.4\nunplug_at_ms=500\n"
                    "[board b]\nkind=QBX\ndriver_version=ABCDEFGHIJKLMNOPQRSTUV\n"));
  CDriverQBX qbx;
  EXPECT_EQ("2.3.4", qbx.GetDriverVersion());
  W().AdvanceMs(500);
  CDriverOS::InitDriver(1);                                   // this turn starts with board b
  EXPECT_EQ("ABCDEFGHIJKLMNOPQRST", qbx.GetDriverVersion());  // 20 of the 22 bytes
  EXPECT_EQ(2, qbx.GetBoardCount());
}

TEST(Discovery, MissingOrUnreadableVersionFile) {
  LogCapture log;
  ASSERT_TRUE(sim::NewWorld("[sim]\nclock=virtual\n[board a]\nkind=QBX\ntvversion=none\n"));
  CDriverQBX qbx;
  EXPECT_EQ("", qbx.GetDriverVersion());
  EXPECT_TRUE(log.Has("No version info in driver!"));

  ASSERT_TRUE(sim::NewWorld("[sim]\nclock=virtual\n[board a]\nkind=QBX\ndriver_version=1.2\n"));
  CDriverOS::InitDriver(1);
  EXPECT_EQ("1.2", qbx.GetDriverVersion());
  W().FindBoard("a")->versionBytes = {'9', '9'};
  ASSERT_TRUE(W().AddFault("read file=tvVersion err=31"));
  CDriverOS::InitDriver(1);
  EXPECT_EQ("1.2", qbx.GetDriverVersion());  // a failed read keeps the old text
}

TEST(Discovery, TablesHoldAtMost128Boards) {
  ASSERT_TRUE(sim::NewWorld(Boards("PCI", 130)));
  CDriverPCI pci;
  EXPECT_EQ(128, pci.GetBoardCount());
  EXPECT_EQ(W().FindBoard("b127")->path, CDriverOS::GetPath(kDriverKindPCI, 127));
}

TEST(Discovery, CloneOpensTheIndexedBoardExclusively) {
  LogCapture log;
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 5)));
  CDriverQBX qbx;
  std::unique_ptr<CBaseDriver> raw(qbx.Clone(3));
  CDriverOS* board = static_cast<CDriverOS*>(raw.get());
  EXPECT_FALSE(board->IsOpen());
  EXPECT_EQ("", board->GetDevicePath());
  W().ClearTrace();
  ASSERT_TRUE(board->Open(-1));
  auto opens = TraceOf("open");
  ASSERT_EQ(1u, opens.size());
  EXPECT_EQ("b3", opens[0].board);
  EXPECT_EQ("Driver", opens[0].file);
  EXPECT_EQ(DWORD(GENERIC_READ | GENERIC_WRITE), opens[0].access);
  EXPECT_EQ(0u, opens[0].share);
  EXPECT_EQ(DWORD(OPEN_EXISTING), opens[0].disposition);
  EXPECT_EQ(0u, opens[0].flags);
  EXPECT_EQ(W().FindBoard("b3")->path, board->GetDevicePath());

  std::unique_ptr<CBaseDriver> other(qbx.Clone(3));
  EXPECT_FALSE(other->Open(-1));  // sharing violation, silently
  EXPECT_FALSE(log.Contains(kNoBoard));

  // Opening again closes the old handle first instead of leaking it.
  EXPECT_TRUE(board->Open(-1));
  EXPECT_EQ(1, W().OpenHandles("b3", "Driver"));
  board->Close();
  EXPECT_EQ(0, W().OpenHandles());
}

TEST(Discovery, NegativeIndexIsRefusedLikeOneTooLarge) {
  LogCapture log;
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1)));
  CDriverQBX qbx;
  std::unique_ptr<CBaseDriver> raw(qbx.Clone(-1));
  CDriverOS* board = static_cast<CDriverOS*>(raw.get());
  EXPECT_FALSE(board->Open(-1));
  EXPECT_TRUE(log.Has(kNoBoard));
  EXPECT_EQ(nullptr, board->OpenRDS(-1));
  EXPECT_EQ("", board->GetDevicePath());
}

TEST(Discovery, SideFilesUseTheirOwnFlags) {
  ASSERT_TRUE(sim::NewWorld("[sim]\nclock=virtual\n[board b0]\nkind=QBX\n[board p]\nkind=PCI\n"));
  CDriverQBX qbx;
  ASSERT_TRUE(qbx.Open(0));
  HANDLE rds = qbx.OpenRDS(0);
  ASSERT_NE(INVALID_HANDLE_VALUE, rds);
  ASSERT_NE(nullptr, rds);
  HANDLE log = qbx.OpenLog();
  ASSERT_NE(INVALID_HANDLE_VALUE, log);
  HANDLE log2 = qbx.OpenLog();  // shared for reading and writing
  EXPECT_NE(INVALID_HANDLE_VALUE, log2);
  EXPECT_EQ(4, W().OpenHandles("b0"));  // with the Driver handle
  for (HANDLE h : {rds, log, log2}) W().CloseHandle(h);

  CDriverPCI pci;
  ASSERT_TRUE(pci.Open(0));
  EXPECT_EQ(INVALID_HANDLE_VALUE, pci.OpenLog());  // QBX only
}

}  // namespace
