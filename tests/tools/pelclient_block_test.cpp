// pelclient's block and process commands against blocks the test creates, and
// its board commands against a helper server that answers request 13.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "service/BoardBlock.h"
#include "tools/pelclient/ProcStats.h"
#include "pelclient_run.h"
#include "support/temp_dir.h"
#include "tvlib/ipc/shared_memory.h"

namespace {

// A board block of the test's own, filled as a running board would show it.
class TestBlock {
 public:
  TestBlock() : m_name(NewName()), m_block(m_name.c_str(), 7, kBoardBlockSize) {
    uint8_t* b = Data();
    if (b == nullptr) return;
    StoreU32(b + kBlockChannelCountOffset, 2);
    std::memcpy(b + kBlockVersionOffset, "1.0.14", 6);
    StoreU16(b + kBlockLatencyWordOffset, 3584);
    StoreU16(b + kBlockHeartbeatWordOffset, 0x5501);
    uint8_t* ch1 = b + StatusRecordOffset(0);
    ch1[kStatusByteOffset] = 1;
    ch1[kStatusBitsOffset] = 0x03;
    StoreU32(ch1 + kStatusNameCountOffset, 3);
    StoreU32(ch1 + kStatusWatermarkIdOffset, 4711);
    std::memcpy(ch1 + kStatusSelectedNameOffset, "STANDIN_B", 9);
    WriteSettingsRecord(b, 0, SettingsRecord{1, 1});
    // A name of the full 24 bytes has no terminating zero.
    uint8_t* ch2 = b + StatusRecordOffset(1);
    ch2[kStatusByteOffset] = 6;
    ch2[kStatusBitsOffset] = 0x04;
    StoreU32(ch2 + kStatusNameCountOffset, uint32_t(-1));
    std::memcpy(ch2 + kStatusSelectedNameOffset, "ABCDEFGHIJKLMNOPQRSTUVWXtail", 28);
  }
  const std::string& Name() const { return m_name; }
  uint8_t* Data() const { return m_block.GetData(); }

 private:
  static std::string NewName() {
    static int counter = 0;
    char name[32];
    std::snprintf(name, sizeof name, "%s%04lX%04X", kBoardBlockPrefix, ::GetCurrentProcessId() & 0xFFFF,
                  ++counter);
    return name;
  }
  std::string m_name;
  CSharedMemoryBuffer m_block;
};

std::vector<std::string> Lines(const std::string& text) { return testsupport::SplitLines(text); }

TEST(PelclientBlocks, DumpDecodesHeaderStatusAndSettings) {
  TestBlock block;
  ASSERT_NE(nullptr, block.Data());
  ToolRun r = Pelclient("shm-dump " + block.Name());
  ASSERT_EQ(0, r.code) << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(5u + 8u * 6u, lines.size()) << r.out;
  EXPECT_EQ(
      (std::vector<std::string>{"channels 2", "version 1.0.14", "latency_word 3584", "heartbeat_word 0x5501",
                                "latency_mode 0", "ch1 status 1 RUNNING", "ch1 bits 0x03", "ch1 names 3",
                                "ch1 id 4711", "ch1 selected STANDIN_B", "ch1 settings flags=1 channel=1",
                                "ch2 status 6 NOT SUPPORTED", "ch2 bits 0x04", "ch2 names -1", "ch2 id 0",
                                "ch2 selected ABCDEFGHIJKLMNOPQRSTUVWX", "ch2 settings flags=0 channel=0"}),
      std::vector<std::string>(lines.begin(), lines.begin() + 17));
  EXPECT_EQ("ch8 settings flags=0 channel=0", lines.back());
}

TEST(PelclientBlocks, WritesStayWithinTheBlockOrDoNothing) {
  TestBlock block;
  ASSERT_NE(nullptr, block.Data());
  const std::string n = block.Name();
  ToolRun r = Pelclient("shm-set " + n + " 0x4000 2");
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_EQ(2, ReadLatencyMode(block.Data()));
  EXPECT_EQ(0, Pelclient("shm-set " + n + " 17404 -1").code);  // the last word
  EXPECT_EQ(0xFFFFFFFFu, LoadU32(block.Data() + kBoardBlockSize - 4));
  EXPECT_EQ(0, Pelclient("shm-write " + n + " 0x100 DEADBEEF").code);
  r = Pelclient("shm-read " + n + " 0x100 5");
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_EQ("DE AD BE EF 00\n", r.out);

  std::memset(block.Data() + 0x4300, 0x11, 0x100);
  struct Case {
    const char* args;
    int code;
  } cases[] = {
      {"shm-set %s 0x4002 1", 5},  // not aligned
      {"shm-set %s 0x4400 1", 5},  // just beyond
      {"shm-set %s 0x43FC 0x100000000", 1},
      {"shm-set %s 4x 1", 1},
      {"shm-write %s 0x43FE 01020304", 5},  // crosses the end
      {"shm-write %s 0x4300 0102030", 1},
      {"shm-read %s 0x43FF 2", 5},
      {"shm-sample %s 0x4301 1 0", 5},
      {"shm-dump Global\\TARVEL_%s", 1},
      {"shm-set a\\%s 0 1", 1},
      {"shm-read \"\" 0 1", 1},
      {"shm-set %sX 0 1", 4},  // no such block
  };
  for (const Case& c : cases) {
    char args[200];
    std::snprintf(args, sizeof args, c.args, n.c_str());
    r = Pelclient(args);
    EXPECT_EQ(c.code, r.code) << args << "\n" << r.out;
    EXPECT_FALSE(r.err.empty()) << args;
  }
  for (int i = 0; i < 0x100; ++i) ASSERT_EQ(0x11, block.Data()[0x4300 + i]) << i;
}

TEST(PelclientBlocks, OtherBlocksHaveTheirMappingsSize) {
  const std::string name = testsupport::UniqueName("pelclient_block");
  CSharedMemoryBuffer block(name.c_str(), 7, 1000);
  ASSERT_TRUE(block.IsOk());
  block.GetData()[999] = 0x5A;
  ToolRun r = Pelclient("shm-read " + name + " 999 1");
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_EQ("5A\n", r.out);
  EXPECT_EQ(5, Pelclient("shm-read " + name + " 0x1000 1").code);
  EXPECT_EQ(5, Pelclient("shm-dump " + name).code);  // too small for a board block
}

TEST(PelclientBlocks, SampleReadsTheWordCountTimes) {
  TestBlock block;
  ASSERT_NE(nullptr, block.Data());
  ToolRun r = Pelclient("shm-sample " + block.Name() + " 18 3 1");
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_EQ("21761\n21761\n21761\n", r.out);
}

TEST(PelclientBlocks, HoldKeepsABlockThatItsCreatorClosed) {
  std::string name;
  TestTempDir dir;
  testsupport::ChildProcess holder;
  {
    TestBlock block;
    ASSERT_NE(nullptr, block.Data());
    name = block.Name();
    EXPECT_EQ("exists\n", Pelclient("exists " + name).out);
    ASSERT_TRUE(holder.Start("pelclient.exe", "hold " + name + " 120", dir.File("out"), dir.File("err")));
    ASSERT_TRUE(testsupport::WaitForLineContaining(dir.File("out"), "holding " + name, 30000))
        << testsupport::ReadBytes(dir.File("err"));
  }
  ToolRun r = Pelclient("exists " + name);
  EXPECT_EQ(0, r.code);
  EXPECT_EQ("exists\n", r.out);
  ::TerminateProcess(holder.Handle(), 0);
  EXPECT_TRUE(WaitUntil([&] { return Pelclient("exists " + name).code == 4; }, 30000));
  EXPECT_EQ("absent\n", Pelclient("exists " + name).out);
}

TEST(PelclientBoards, StatusAndChannelSetFindTheBlockByRequest13) {
  TestBlock block;
  ASSERT_NE(nullptr, block.Data());
  EchoProcess server("board SN0000ABCD " + block.Name());
  const std::string pipe = "--pipe " + server.Name() + " ";
  ToolRun r = Pelclient(pipe + "board-status abcd");
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_EQ(
      "block " + block.Name() +
          " 17408\nchannels 2\nversion 1.0.14\nlatency_word 3584\n"
          "heartbeat_word 0x5501\nlatency_mode 0\n"
          "ch1 status=1 \"RUNNING\" bits=0x03 names=3 id=4711 flags=1 channel=1 selected=\"STANDIN_B\"\n"
          "ch2 status=6 \"NOT SUPPORTED\" bits=0x04 names=-1 id=0 flags=0 channel=0 "
          "selected=\"ABCDEFGHIJKLMNOPQRSTUVWX\"\n",
      r.out);

  r = Pelclient(pipe + "channel-set SN0000ABCD 2 1 5");
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_EQ(1, ReadSettingsRecord(block.Data(), 1).flags);
  EXPECT_EQ(5, ReadSettingsRecord(block.Data(), 1).watermarkingChannel);

  // No such board, or no channel of that number: nothing is written.
  EXPECT_EQ(4, Pelclient(pipe + "channel-set SN0000ABCE 1 0 7").code);
  EXPECT_EQ(1, Pelclient(pipe + "channel-set SN0000ABCD 9 0 7").code);
  EXPECT_EQ(1, Pelclient(pipe + "channel-set SN0000ABCDE 1 0 7").code);
  EXPECT_EQ(1, ReadSettingsRecord(block.Data(), 0).flags);
  EXPECT_EQ(1, ReadSettingsRecord(block.Data(), 0).watermarkingChannel);
  EXPECT_EQ(2, Pelclient("--pipe " + server.Name() + "x --timeout 200 board-status SN0000ABCD").code);
}

TEST(PelclientBoards, ABlockNamedByTheServerMustBeThere) {
  TestBlock block;
  ASSERT_NE(nullptr, block.Data());
  EchoProcess server("board SN00001234 " + block.Name() + "X");
  EXPECT_EQ(4, Pelclient("--pipe " + server.Name() + " board-status 1234").code);
}

DWORD WINAPI WaitForEvent(void* event) { return ::WaitForSingleObject(static_cast<HANDLE>(event), INFINITE); }

TEST(PelclientProcess, HandlesPrivateBytesAndThreadsFollowTheProcess) {
  ProcStats before = {}, after = {};
  ASSERT_EQ(DWORD(ERROR_SUCCESS), QueryProcStats(::GetCurrentProcessId(), &before));
  std::vector<HANDLE> events;
  for (int i = 0; i < 40; ++i) events.push_back(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  const size_t size = 16u << 20;
  void* memory = ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  ASSERT_NE(nullptr, memory);
  HANDLE thread = ::CreateThread(nullptr, 0, WaitForEvent, events[0], 0, nullptr);
  ASSERT_NE(nullptr, thread);
  // No ASSERT while the thread waits: it must be let go.
  EXPECT_EQ(DWORD(ERROR_SUCCESS), QueryProcStats(::GetCurrentProcessId(), &after));
  ::SetEvent(events[0]);
  EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(thread, 60000));
  ::CloseHandle(thread);
  EXPECT_GE(after.handles, before.handles + 40);
  EXPECT_GE(after.privateBytes, before.privateBytes + size);
  EXPECT_GE(after.threads, before.threads + 1);
  ::VirtualFree(memory, 0, MEM_RELEASE);
  for (HANDLE h : events) ::CloseHandle(h);

  ToolRun r = Pelclient("proc-stats " + std::to_string(::GetCurrentProcessId()));
  ASSERT_EQ(0, r.code) << r.err;
  unsigned long long handles = 0, bytes = 0, threads = 0;
  EXPECT_EQ(3, std::sscanf(r.out.c_str(), "handles %llu\nprivate_bytes %llu\nthreads %llu\n", &handles,
                           &bytes, &threads))
      << r.out;
  EXPECT_GT(handles, 0u);
  EXPECT_GT(bytes, 0u);
  EXPECT_GT(threads, 0u);
  EXPECT_EQ(1, Pelclient("proc-stats x1").code);
  EXPECT_EQ(4, Pelclient("proc-stats 0x7FFFFFF0").code);
}

}  // namespace
