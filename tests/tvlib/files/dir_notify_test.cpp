#include "tvlib/files/dir_notify.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/fn_thread.h"
#include "support/paths.h"
#include "support/poll.h"
#include "support/temp_dir.h"
#include "tvlib/threads/sync.h"

namespace {

// Records "+name", "-name" and "~name" in arrival order.
class Recorder : public CDirNotify {
 public:
  explicit Recorder(const std::string& path, int retryDelayMs = 100)
      : CDirNotify(path.c_str(), retryDelayMs, false) {
    ::InitializeCriticalSection(&m_lock);
  }
  ~Recorder() override {
    Stop();
    ::DeleteCriticalSection(&m_lock);
  }

  using CDirNotify::DispatchChanges;

  std::vector<std::string> Events() {
    CCriticalSectionLocker guard(m_lock);
    return m_events;
  }
  bool Saw(const std::string& event) {
    for (const std::string& e : Events())
      if (e == event) return true;
    return false;
  }
  // Added, removed and rename events only: the number of modified events
  // differs between systems.
  std::vector<std::string> NameEvents(const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& e : Events())
      if (e[0] != '~' && e.compare(1, prefix.size(), prefix) == 0) out.push_back(e);
    return out;
  }
  volatile LONG firstOpens = 0;  // OpenDirectory calls (one per thread start)

  DWORD ExitCode() {
    DWORD code = 12345;
    ::GetExitCodeThread(GetThreadHandle(), &code);
    return code;
  }

 protected:
  void OnAdded(const std::string& name) override { Record("+" + name); }
  void OnRemoved(const std::string& name) override { Record("-" + name); }
  void OnModified(const std::string& name) override { Record("~" + name); }
  bool OpenDirectory() override {
    bool open = CDirNotify::OpenDirectory();
    ::InterlockedIncrement(&firstOpens);
    return open;
  }

 private:
  void Record(const std::string& event) {
    CCriticalSectionLocker guard(m_lock);
    m_events.push_back(event);
  }
  CRITICAL_SECTION m_lock;
  std::vector<std::string> m_events;
};

void Touch(const std::string& path, const char* text = "x") {
  FILE* f = fopen(path.c_str(), "w");
  ASSERT_NE(nullptr, f) << path;
  fputs(text, f);
  fclose(f);
}

// Changes made before the first read has started are not reported: touch
// probe files until one is seen.
bool WatchIsLive(Recorder& r, const std::string& dir) {
  for (int i = 0; i < 100; ++i) {
    std::string name = "probe" + std::to_string(i) + ".tmp";
    FILE* f = fopen((dir + "\\" + name).c_str(), "w");
    if (f != nullptr) fclose(f);
    if (WaitUntil([&] { return r.Saw("+" + name); }, 200)) return true;
  }
  return false;
}

bool OpensExclusively(const std::string& dir) {
  HANDLE h = ::CreateFileA(dir.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                           nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(h);
  return true;
}

TEST(DirNotify, ReportsAddRenameAndRemoveInOrder) {
  TestTempDir tmp;
  Recorder r(tmp.Path());
  ASSERT_TRUE(r.Restart());
  ASSERT_TRUE(WatchIsLive(r, tmp.Path()));
  Touch(tmp.File("a.txt"));
  ASSERT_TRUE(::MoveFileA(tmp.File("a.txt").c_str(), tmp.File("b.txt").c_str()));
  ASSERT_TRUE(::DeleteFileA(tmp.File("b.txt").c_str()));
  ASSERT_TRUE(WaitUntil([&] { return r.Saw("-b.txt"); }));
  std::vector<std::string> a = r.NameEvents("a.txt"), b = r.NameEvents("b.txt");
  EXPECT_EQ((std::vector<std::string>{"+a.txt", "-a.txt"}), a);
  EXPECT_EQ((std::vector<std::string>{"+b.txt", "-b.txt"}), b);
  // The rename pair comes old name first.
  std::vector<std::string> all = r.Events();
  auto at = [&](const std::string& e) { return std::find(all.begin(), all.end(), e) - all.begin(); };
  EXPECT_LT(at("+a.txt"), at("-a.txt"));
  EXPECT_LT(at("-a.txt"), at("+b.txt"));
  EXPECT_LT(at("+b.txt"), at("-b.txt"));
}

TEST(DirNotify, NamesInSubdirectoriesAreRelative) {
  TestTempDir tmp;
  Recorder r(tmp.Path());
  ASSERT_TRUE(r.Restart());
  ASSERT_TRUE(WatchIsLive(r, tmp.Path()));
  ASSERT_TRUE(::CreateDirectoryA(tmp.File("sub").c_str(), nullptr));
  Touch(tmp.File("sub\\file.txt"));
  EXPECT_TRUE(WaitUntil([&] { return r.Saw("+sub\\file.txt"); }));
  EXPECT_TRUE(r.Saw("+sub"));
}

TEST(DirNotify, AMissingDirectoryIsWatchedOnceItAppears) {
  TestTempDir tmp;
  std::string dir = tmp.File("later");
  Recorder r(dir, 50);
  ASSERT_TRUE(r.Restart());
  ASSERT_TRUE(WaitUntil([&] { return ::InterlockedCompareExchange(&r.firstOpens, 0, 0) == 1; }));
  ASSERT_TRUE(::CreateDirectoryA(dir.c_str(), nullptr));
  ASSERT_TRUE(WaitUntil([&] { return r.Saw("+"); }));
  EXPECT_TRUE(WatchIsLive(r, dir));
  r.Stop();
  EXPECT_TRUE(OpensExclusively(dir));
}

TEST(DirNotify, StopCutsALongRetryDelayShort) {
  TestTempDir tmp;
  Recorder r(tmp.File("missing"), 60000);
  ASSERT_TRUE(r.Restart());
  ::Sleep(50);  // let it reach the retry wait (not required for the outcome)
  volatile LONG stopped = 0;
  FnThread stopper([&](FnThread&) {
    r.Stop();
    ::InterlockedExchange(&stopped, 1);
    return 0;
  });
  ASSERT_EQ(0, stopper.Create(2));
  // Far below the 60 s delay: Stop does not sit out the retry wait.
  ASSERT_TRUE(WaitUntil([&] { return ::InterlockedCompareExchange(&stopped, 0, 0) == 1; }, 20000));
  stopper.Stop();
  EXPECT_EQ(0u, r.ExitCode());
  EXPECT_TRUE(r.Events().empty());
}

// Stop while reads are being started and completed: the thread must end with
// the directory closed, never reopen it, never report it back.
TEST(DirNotify, StopRacingTheWatchEndsCleanly) {
  TestTempDir tmp;
  for (int round = 0; round < 200; ++round) {
    Recorder r(tmp.Path(), 0);
    ASSERT_TRUE(r.Restart());
    Touch(tmp.File("f" + std::to_string(round % 7)));
    r.Stop();
    ASSERT_EQ(0u, r.ExitCode()) << "round " << round;
    ASSERT_FALSE(r.Saw("+")) << "round " << round;
    ASSERT_TRUE(OpensExclusively(tmp.Path())) << "round " << round;
  }
}

TEST(DirNotify, RestartAfterStopAndWhileRunning) {
  TestTempDir tmp;
  Recorder r(tmp.Path());
  ASSERT_TRUE(r.Restart());
  ASSERT_TRUE(WatchIsLive(r, tmp.Path()));
  r.Stop();
  EXPECT_EQ(0u, r.ExitCode());
  EXPECT_TRUE(OpensExclusively(tmp.Path()));

  ASSERT_TRUE(r.Restart());
  Touch(tmp.File("second.txt"));
  EXPECT_TRUE(WatchIsLive(r, tmp.Path()));
  ASSERT_TRUE(r.Restart());
  EXPECT_TRUE(WatchIsLive(r, tmp.Path()));
  r.Stop();
  EXPECT_EQ(0u, r.ExitCode());
  EXPECT_TRUE(OpensExclusively(tmp.Path()));
}

// Holds the watch thread in its handler for "hold.txt" until a stop is
// requested, and records whether the directory was closed under it then.
class HoldingRecorder : public Recorder {
 public:
  explicit HoldingRecorder(const std::string& path) : Recorder(path), m_path(path) {}
  ~HoldingRecorder() override { Stop(); }
  volatile LONG holding = 0;
  volatile LONG sawStopRequest = 0;
  volatile LONG closedUnderIt = 0;

 protected:
  void OnAdded(const std::string& name) override {
    Recorder::OnAdded(name);
    if (name != "hold.txt" || ::InterlockedExchange(&holding, 1) != 0) return;
    if (!WaitUntil([&] { return IsStopRequested(); }, 20000)) return;
    ::InterlockedExchange(&sawStopRequest, 1);
    // The stopper has asked; it must leave the handle to this thread. The
    // limit only bounds how long a close by the stopper is looked for.
    if (WaitUntil([&] { return OpensExclusively(m_path); }, 1000)) ::InterlockedExchange(&closedUnderIt, 1);
  }

 private:
  std::string m_path;
};

// A stop, through Stop or through Restart, while the watch thread is between
// two reads: the stopper never closes the directory under the thread, which
// closes it itself as it ends. Each runs on a thread of its own so that a
// hang fails here instead of stalling the test.
TEST(DirNotify, AStopLeavesTheDirectoryToTheWatchThread) {
  for (bool restart : {false, true}) {
    SCOPED_TRACE(restart ? "Restart" : "Stop");
    TestTempDir tmp;
    HoldingRecorder r(tmp.Path());
    ASSERT_TRUE(r.Restart());
    ASSERT_TRUE(WatchIsLive(r, tmp.Path()));
    Touch(tmp.File("hold.txt"));
    ASSERT_TRUE(WaitUntil([&] { return ::InterlockedCompareExchange(&r.holding, 0, 0) == 1; }));
    volatile LONG done = 0, restarted = 0;
    FnThread stopper([&](FnThread&) {
      if (restart) {
        if (r.Restart()) ::InterlockedExchange(&restarted, 1);
      } else {
        r.Stop();
      }
      ::InterlockedExchange(&done, 1);
      return 0;
    });
    ASSERT_EQ(0, stopper.Create(2));
    ASSERT_TRUE(WaitUntil([&] { return ::InterlockedCompareExchange(&done, 0, 0) == 1; }, 30000));
    stopper.Stop();
    EXPECT_EQ(1, r.sawStopRequest);
    EXPECT_EQ(0, r.closedUnderIt);
    if (restart) {
      EXPECT_EQ(1, restarted);
      EXPECT_TRUE(WatchIsLive(r, tmp.Path()));
      r.Stop();
    }
    EXPECT_EQ(0u, r.ExitCode());
    EXPECT_TRUE(OpensExclusively(tmp.Path()));
  }
}

TEST(DirNotify, TheTwoBackslashPathIsWatched) {
  TestTempDir tmp;
  std::string dir = "\\\\?\\" + tmp.Path();
  Recorder r(dir);
  ASSERT_TRUE(r.Restart());
  ASSERT_TRUE(WatchIsLive(r, tmp.Path()));
  Touch(tmp.File("unc.txt"));
  EXPECT_TRUE(WaitUntil([&] { return r.Saw("+unc.txt"); }));
}

TEST(DirNotify, WatchingGoesOnAfterABurst) {
  TestTempDir tmp;
  Recorder r(tmp.Path());
  ASSERT_TRUE(r.Restart());
  ASSERT_TRUE(WatchIsLive(r, tmp.Path()));
  for (int i = 0; i < 50; ++i) Touch(tmp.File("burst" + std::to_string(i) + ".txt"));
  ::Sleep(200);
  Touch(tmp.File("marker.txt"));
  EXPECT_TRUE(WaitUntil([&] { return r.Saw("+marker.txt"); }));
}

TEST(DirNotify, DeletedWhileChangesArrive) {
  TestTempDir tmp;
  volatile LONG written = 0;
  FnThread writer([&](FnThread& self) {
    for (int i = 0; !self.IsStopRequested(); ++i) {
      Touch(tmp.File("w" + std::to_string(i % 40)));
      ::InterlockedIncrement(&written);
    }
    return 0;
  });
  ASSERT_EQ(0, writer.Create(2));
  for (int round = 0; round < 20; ++round) {
    auto r = std::make_unique<Recorder>(tmp.Path(), 0);
    ASSERT_TRUE(r->Restart());
    LONG mark = ::InterlockedCompareExchange(&written, 0, 0);
    WaitUntil([&] { return ::InterlockedCompareExchange(&written, 0, 0) > mark + 5; });
    r.reset();
  }
  writer.Stop();
  EXPECT_TRUE(OpensExclusively(tmp.Path()));
}

// ---------------------------------------------------------------- the record walk

// FILE_NOTIFY_INFORMATION records, DWORD-aligned like the system's.
class Records {
 public:
  // Appends a record; `claimedBytes` overrides the name length it states.
  void Add(DWORD action, const std::wstring& name, long claimedBytes = -1) {
    size_t start = m_bytes.size();
    if (m_last != static_cast<size_t>(-1)) {
      DWORD next = static_cast<DWORD>(start - m_last);
      std::memcpy(&m_bytes[m_last], &next, 4);
    }
    m_last = start;
    DWORD nameBytes =
        claimedBytes >= 0 ? static_cast<DWORD>(claimedBytes) : static_cast<DWORD>(name.size() * 2);
    DWORD head[3] = {0, action, nameBytes};
    m_bytes.resize(start + 12 + name.size() * 2);
    std::memcpy(&m_bytes[start], head, 12);
    std::memcpy(&m_bytes[start + 12], name.data(), name.size() * 2);
    while (m_bytes.size() % 4) m_bytes.push_back(0);
  }
  const void* Data() {
    m_aligned.assign((m_bytes.size() + 3) / 4 + 1, 0);
    std::memcpy(m_aligned.data(), m_bytes.data(), m_bytes.size());
    return m_aligned.data();
  }
  DWORD Size() const { return static_cast<DWORD>(m_bytes.size()); }

 private:
  std::vector<unsigned char> m_bytes;
  std::vector<DWORD> m_aligned;
  size_t m_last = static_cast<size_t>(-1);
};

TEST(DirNotifyRecords, EveryRecordInsideTheBytesIsDispatched) {
  TestTempDir tmp;
  Recorder r(tmp.Path());
  Records recs;
  recs.Add(FILE_ACTION_ADDED, L"new.txt");
  recs.Add(FILE_ACTION_REMOVED, L"gone.txt");
  recs.Add(FILE_ACTION_MODIFIED, L"sub\\changed");
  recs.Add(FILE_ACTION_RENAMED_OLD_NAME, L"old");
  recs.Add(FILE_ACTION_RENAMED_NEW_NAME, L"new");
  recs.Add(99, L"unknown");
  recs.Add(FILE_ACTION_ADDED, L"");
  r.DispatchChanges(recs.Data(), recs.Size());
  EXPECT_EQ((std::vector<std::string>{"+new.txt", "-gone.txt", "~sub\\changed", "-old", "+new", "+"}),
            r.Events());
}

TEST(DirNotifyRecords, TheWalkStaysInsideTheBytesReturned) {
  TestTempDir tmp;
  Recorder r(tmp.Path());
  Records recs;
  recs.Add(FILE_ACTION_ADDED, L"one");
  recs.Add(FILE_ACTION_ADDED, L"two", 4000);  // claims more than was returned
  recs.Add(FILE_ACTION_ADDED, L"three");
  r.DispatchChanges(recs.Data(), recs.Size());
  EXPECT_EQ((std::vector<std::string>{"+one"}), r.Events());

  Records cut;
  cut.Add(FILE_ACTION_ADDED, L"whole");
  cut.Add(FILE_ACTION_ADDED, L"truncated");
  r.DispatchChanges(cut.Data(), cut.Size() - 4);  // the second name ends outside
  r.DispatchChanges(cut.Data(), 0);               // the system's buffer overflowed
  r.DispatchChanges(cut.Data(), 11);              // not even one head
  EXPECT_EQ((std::vector<std::string>{"+one", "+whole"}), r.Events());

  Records odd;
  odd.Add(FILE_ACTION_REMOVED, L"x", 1);  // half a character: no name
  r.DispatchChanges(odd.Data(), odd.Size());
  EXPECT_EQ("-", r.Events().back());
}

TEST(DirNotifyRecords, TheChangeBufferGrowsTo64KiBAndNoFurther) {
  DWORD size = 272;
  size = CDirNotify::NextChangeBufferSize(size);
  EXPECT_EQ(784u, size);
  for (int i = 0; i < 1000; ++i) {
    DWORD next = CDirNotify::NextChangeBufferSize(size);
    EXPECT_LE(next, 65536u);
    EXPECT_GE(next, size);
    size = next;
  }
  EXPECT_EQ(65536u, size);
}

}  // namespace
