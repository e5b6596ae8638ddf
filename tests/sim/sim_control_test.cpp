// What a black-box run steers and reads on the simulated boards: the control
// file (plug, unplug, faults armed when the run chooses), stalled enumerations
// and opens, the paced device clock, the world's handle file, and a trace that
// stays the same size however long the run.
#include <malloc.h>

#include <string>
#include <vector>

#include "sim_test_util.h"
#include "support/paths.h"
#include "support/poll.h"
#include "support/temp_dir.h"

namespace {

const GUID kQbx = {0x9FB60060, 0xC831, 0x44F8, {0x89, 0x1E, 0x40, 0xFF, 0x75, 0xBD, 0x73, 0xF3}};
const DWORD kRw = GENERIC_READ | GENERIC_WRITE;

// Board names of one QBX enumeration (which also reads the control file).
std::vector<std::string> Enumerated() {
  std::vector<std::string> names;
  HDEVINFO set = W().GetClassDevs(&kQbx, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return names;
  SP_DEVICE_INTERFACE_DATA iface = {};
  iface.cbSize = sizeof(iface);
  for (DWORD i = 0; W().EnumDeviceInterfaces(set, &kQbx, i, &iface); ++i) {
    std::vector<char> buffer(1024);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = sizeof(*detail);
    if (!W().GetDeviceInterfaceDetail(set, &iface, detail, DWORD(buffer.size()), nullptr)) continue;
    for (const char* n : {"b0", "b1"})
      if (W().FindBoard(n)->path == detail->DevicePath) names.push_back(n);
  }
  W().DestroyDeviceInfoList(set);
  return names;
}

HANDLE OpenFile(const std::string& board, const std::string& file) {
  return W().CreateFile((W().FindBoard(board)->path + "\\" + file).c_str(), kRw, 0, OPEN_EXISTING, 0);
}

class ControlFile {
 public:
  explicit ControlFile(const TestTempDir& dir) : m_path(dir.File("control.txt")) {}
  const std::string& Path() const { return m_path; }
  void Append(const std::string& text) {
    m_text += text;
    testsupport::WriteBytes(m_path, m_text);
  }
  void Rewrite(const std::string& text) {
    m_text = text;
    testsupport::WriteBytes(m_path, m_text);
  }

 private:
  std::string m_path;
  std::string m_text;
};

std::string Description(const ControlFile& control, const std::string& b0Extra = std::string()) {
  return "[sim]\nclock=virtual\ncontrol_file=" + control.Path() + "\n[board b0]\nkind=QBX\nserial=0xC003\n" +
         b0Extra + "[board b1]\nkind=QBX\nserial=0xB002\n";
}

std::vector<std::pair<std::string, bool>> ControlTrace() {
  std::vector<std::pair<std::string, bool>> out;
  for (const sim::TraceEntry& e : TraceOf("control")) out.emplace_back(e.file, e.ok);
  return out;
}

TEST(SimControl, PlugAndUnplugActWhenTheLinesAppear) {
  TestTempDir dir;
  ControlFile control(dir);
  ASSERT_TRUE(sim::NewWorld(Description(control, "plugged=0\n")));
  EXPECT_EQ(std::vector<std::string>{"b1"}, Enumerated());
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenFile("b0", "Driver"));

  control.Append("# the run's own steps\nplug b0\n");
  EXPECT_EQ((std::vector<std::string>{"b0", "b1"}), Enumerated());
  HANDLE b1 = OpenFile("b1", "Driver");
  ASSERT_NE(INVALID_HANDLE_VALUE, b1);

  // A line runs once, and only when it is complete.
  control.Append("unplug b1");
  EXPECT_EQ((std::vector<std::string>{"b0", "b1"}), Enumerated());
  control.Append("\n");
  EXPECT_EQ(std::vector<std::string>{"b0"}, Enumerated());
  DWORD done = 0;
  uint8_t byte = 0;
  EXPECT_FALSE(W().ReadFile(b1, &byte, 1, &done));
  EXPECT_EQ(1167u, ::GetLastError());
  EXPECT_TRUE(W().CloseHandle(b1));

  control.Append("plug b1\n");
  EXPECT_EQ((std::vector<std::string>{"b0", "b1"}), Enumerated());
  EXPECT_EQ(0, W().PollControl());  // nothing new

  // Re-seated in another slot: found under the new path only, with new
  // audio devices; a handle from before is dead and keeps no claim on it.
  const std::string oldPath = W().FindBoard("b1")->path;
  const sim::AudioDevice* oldAudio = W().Audio("b1", 0);
  HANDLE before = OpenFile("b1", "Driver");
  ASSERT_NE(INVALID_HANDLE_VALUE, before);
  const std::string moved = "\\\\?\\pci#moved#{9fb60060-c831-44f8-891e-40ff75bd73f3}";
  control.Append("unplug b1\nplug b1 " + moved + "\n");
  EXPECT_EQ((std::vector<std::string>{"b0", "b1"}), Enumerated());
  EXPECT_EQ(moved, W().FindBoard("b1")->path);
  EXPECT_NE(oldAudio, W().Audio("b1", 0));
  EXPECT_FALSE(W().ReadFile(before, &byte, 1, &done));
  EXPECT_EQ(1167u, ::GetLastError());
  HANDLE after = OpenFile("b1", "Driver");
  EXPECT_NE(INVALID_HANDLE_VALUE, after);
  EXPECT_EQ(INVALID_HANDLE_VALUE, W().CreateFile((oldPath + "\\Driver").c_str(), kRw, 0, OPEN_EXISTING, 0));
  EXPECT_TRUE(W().CloseHandle(after));
  EXPECT_TRUE(W().CloseHandle(before));
  EXPECT_EQ((std::vector<std::pair<std::string, bool>>{{"plug b0", true},
                                                       {"unplug b1", true},
                                                       {"plug b1", true},
                                                       {"unplug b1", true},
                                                       {"plug b1 " + moved, true}}),
            ControlTrace());
}

TEST(SimControl, BadLinesAreRefusedAndTheRestStillRuns) {
  TestTempDir dir;
  ControlFile control(dir);
  ASSERT_TRUE(sim::NewWorld(Description(control)));
  control.Append("plug nosuch\nfault b0 open err=5\nwobble b0\nfault b0 open frob=1\nunplug\nunplug b0\n");
  EXPECT_EQ(2, W().PollControl());
  EXPECT_EQ((std::vector<std::pair<std::string, bool>>{{"plug nosuch", false},
                                                       {"fault b0 open err=5", true},
                                                       {"wobble b0", false},
                                                       {"fault b0 open frob=1", false},
                                                       {"unplug", false},
                                                       {"unplug b0", true}}),
            ControlTrace());
  // A file rewritten with other text runs all of its lines.
  control.Rewrite("plug b0\n");
  EXPECT_EQ(1, W().PollControl());
  EXPECT_EQ((std::vector<std::string>{"b0", "b1"}), Enumerated());
}

TEST(SimControl, AFaultCountsItsCallsFromWhenItIsArmed) {
  TestTempDir dir;
  ControlFile control(dir);
  ASSERT_TRUE(sim::NewWorld(Description(control)));
  for (int i = 0; i < 3; ++i) {
    HANDLE h = OpenFile("b0", "Driver");
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    W().CloseHandle(h);
  }
  control.Append("fault b0 open file=Driver at=2 err=5\nfault * open file=asio0 count=1 err=21\n");
  ASSERT_EQ(2, W().PollControl());
  DWORD errors[3];
  for (DWORD& e : errors) {
    HANDLE h = OpenFile("b0", "Driver");
    e = h == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
    if (h != INVALID_HANDLE_VALUE) W().CloseHandle(h);
  }
  EXPECT_EQ(0u, errors[0]);
  EXPECT_EQ(5u, errors[1]);
  EXPECT_EQ(0u, errors[2]);
  // "*" is any board: the first open of an asio0, whichever board, fails.
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenFile("b1", "asio0"));
  EXPECT_EQ(21u, ::GetLastError());
  HANDLE h = OpenFile("b0", "asio0");
  EXPECT_NE(INVALID_HANDLE_VALUE, h);
  W().CloseHandle(h);
}

TEST(SimControl, TheWorldReadsTheFileByItselfWithoutEnumerations) {
  TestTempDir dir;
  ControlFile control(dir);
  ASSERT_TRUE(sim::NewWorld(Description(control)));
  control.Append("unplug b0\n");
  EXPECT_TRUE(WaitUntil([] { return !TraceOf("control").empty(); }, 30000));
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenFile("b0", "Driver"));
}

TEST(SimStall, DelayedEnumerationsAndHungOpensStallTheirCaller) {
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1) + "[sim]\nfault=getclassdevs at=2 delay_ms=15000\n"
                                               "fault=open file=Driver hang_ms=13000 err=31 count=1\n"));
  auto sleeps = [] {
    std::vector<uint64_t> ms;
    for (const sim::TraceEntry& e : W().Trace())
      if (e.op == "sleep" || e.op == "getclassdevs" || e.op == "open")
        ms.push_back(e.op == "sleep" ? e.pos : 0);
    return ms;
  };
  HDEVINFO set = W().GetClassDevs(&kQbx, DIGCF_DEVICEINTERFACE);
  W().DestroyDeviceInfoList(set);
  const double before = W().NowMs();
  set = W().GetClassDevs(&kQbx, DIGCF_DEVICEINTERFACE);
  EXPECT_NE(INVALID_HANDLE_VALUE, set);  // late, not failed
  W().DestroyDeviceInfoList(set);
  EXPECT_GE(W().NowMs() - before, 15000.0);
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenFile("b0", "Driver"));
  EXPECT_EQ(31u, ::GetLastError());
  HANDLE h = OpenFile("b0", "Driver");
  EXPECT_NE(INVALID_HANDLE_VALUE, h);
  W().CloseHandle(h);
  // Each stall comes before the answer it delays.
  EXPECT_EQ((std::vector<uint64_t>{0, 15000, 0, 13000, 0, 0}), sleeps());
}

TEST(SimPace, ThePacedDeviceClockRunsKTimesRealTime) {
  // 512 frames at 48000 Hz on a 10 MHz counter, from t0 every time.
  EXPECT_EQ(100 + 32000000, sim::PeriodBoundary(100, 3000, 512, 10000000, 48000, 0, 10.0));
  EXPECT_EQ(100 + 128000000, sim::PeriodBoundary(100, 3000, 512, 10000000, 48000, 0, 2.5));
  EXPECT_EQ(100 + 10666, sim::PeriodBoundary(100, 1, 512, 10000000, 48000, 0, 10.0));
  EXPECT_EQ(sim::PeriodBoundary(0, 3000, 512, 10000000, 48000, 1000.0),
            sim::PeriodBoundary(0, 3000, 512, 10000000, 48000, 1000.0, 1.0));

  ASSERT_TRUE(sim::NewWorld("[board b0]\nkind=QBX\ndsps=1\nmask=1\n[sim]\npace=4\n"));
  EXPECT_EQ(4.0, W().Audio("b0", 0)->Config().pace);
  std::string error;
  EXPECT_FALSE(W().LoadText("[sim]\npace=0\n", &error));
  EXPECT_FALSE(W().LoadText("[sim]\npace=fast\n", &error));
}

TEST(SimWorldStats, BlackBoxRunsSeeTheOpenHandles) {
  TestTempDir dir;
  ASSERT_TRUE(
      sim::NewWorld(Boards("QBX", 1, "dsps=2\nmask=3\n") + "[sim]\ncapture_dir=" + dir.Path() + "\n"));
  const std::string stats = dir.File("world.stats");
  EXPECT_EQ("driver_handles=0\nasio_handles=0\nother_handles=0\n",
            testsupport::StripCR(testsupport::ReadBytes(stats)));
  HANDLE driver = OpenFile("b0", "Driver");
  HANDLE asio = OpenFile("b0", "asio1");
  ASSERT_NE(INVALID_HANDLE_VALUE, driver);
  ASSERT_NE(INVALID_HANDLE_VALUE, asio);
  const std::string text = testsupport::StripCR(testsupport::ReadBytes(stats));
  EXPECT_EQ(0u, text.find("driver_handles=1\nasio_handles=1\nother_handles=0\n")) << text;
  EXPECT_NE(std::string::npos, text.find("open=b0 Driver\n")) << text;
  EXPECT_NE(std::string::npos, text.find("open=b0 asio1\n")) << text;
  W().CloseHandle(asio);
  W().CloseHandle(driver);
  EXPECT_EQ("driver_handles=0\nasio_handles=0\nother_handles=0\n",
            testsupport::StripCR(testsupport::ReadBytes(stats)));
}

// Bytes in the live blocks of the C runtime's heap, where the trace's texts live.
size_t RuntimeHeapBytesInUse() {
  HANDLE heap = reinterpret_cast<HANDLE>(_get_heap_handle());
  size_t used = 0;
  if (!::HeapLock(heap)) return 0;
  PROCESS_HEAP_ENTRY entry = {};
  while (::HeapWalk(heap, &entry))
    if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) used += entry.cbData;
  ::HeapUnlock(heap);
  return used;
}

TEST(SimTrace, AFullTraceHoldsOnlyWhatItsEntriesNeed) {
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1)));
  // An open of an unknown name is traced with the whole name: a long one
  // takes a heap buffer, a short one fits inside the entry.
  const std::string longName(120, 'x');
  for (size_t i = 0; i < sim::World::kTraceCapacity; ++i)
    W().CreateFile(longName.c_str(), GENERIC_READ, 0, OPEN_EXISTING, 0);
  const size_t full = RuntimeHeapBytesInUse();
  for (size_t i = 0; i < sim::World::kTraceCapacity; ++i)
    W().CreateFile("x", GENERIC_READ, 0, OPEN_EXISTING, 0);
  // Every long name has been replaced: its 121 bytes are freed.
  EXPECT_LT(RuntimeHeapBytesInUse() + sim::World::kTraceCapacity * 100, full);
  W().ClearTrace();
}

}  // namespace
