// Shared pieces of the embedder binding tests: the stand-in SDK's test entry
// points (reached at run time, as the program reaches ostrel) and a binding
// subclass that records its callbacks.
#pragma once

#include "service/TarvelKantar.h"
#include "sim/sdk/SnapLiveAudioEmbedderSDK.h"
#include "support/paths.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// The test's folder without its trailing backslash.
inline std::string BinDir() {
  std::string dir = testsupport::ExeDir();
  dir.pop_back();
  return dir;
}

// The stand-in's own functions, from the copy that ostrel pulled in.
struct Stub {
  int (*Configure)(const char*) = nullptr;
  int (*Reset)() = nullptr;
  int (*GetStats)(int, SnapStubStats*, int) = nullptr;
  int (*GetTrace)(char*, int) = nullptr;

  bool Bind() {
    HMODULE m = GetModuleHandleA("SnapLiveAudioEmbedderSDK.dll");
    if (!m) return false;
    Configure = reinterpret_cast<int (*)(const char*)>(
        reinterpret_cast<void*>(GetProcAddress(m, "SnapStub_Configure")));
    Reset = reinterpret_cast<int (*)()>(reinterpret_cast<void*>(GetProcAddress(m, "SnapStub_Reset")));
    GetStats = reinterpret_cast<int (*)(int, SnapStubStats*, int)>(
        reinterpret_cast<void*>(GetProcAddress(m, "SnapStub_GetStats")));
    GetTrace = reinterpret_cast<int (*)(char*, int)>(
        reinterpret_cast<void*>(GetProcAddress(m, "SnapStub_GetTrace")));
    return Configure && Reset && GetStats && GetTrace;
  }
  SnapStubStats Stats(int index = 0) {
    SnapStubStats s{};
    EXPECT_EQ(0, GetStats(index, &s, int(sizeof s)));
    return s;
  }
  std::string Trace() {
    int n = GetTrace(nullptr, 0);
    std::string t(size_t(n) + 1, '\0');
    GetTrace(&t[0], n + 1);
    t.resize(size_t(n));
    return t;
  }
};

struct ReceivedAudio {
  std::vector<int32_t> samples;
  void* context;
};

// Created, configured for 32-bit stereo on the first SDK name, initialised.
inline int StartMarking(CTarvelKantar& k) {
  int r = k.Create("first", "second");
  if (r == 0) r = k.SetThreadPriority(2);
  if (r == 0) r = k.SetBitsPerSample(32);
  if (r == 0) r = k.SetChannels(2);
  const char* const* names = nullptr;
  int count = 0;
  if (r == 0) r = k.GetChannelNameList(&names, &count);
  if (r == 0) r = count > 0 ? k.SetChannelName(names[0]) : 3;
  if (r == 0) r = k.Initialize();
  return r;
}

// Follows the binding's rule: the embedder goes first in the destructor, while
// the members that the callbacks use still exist.
class RecordingKantar : public CTarvelKantar {
 public:
  ~RecordingKantar() override { Destroy(); }
  int OnLog(const OstrelLogEvent* event) override {
    std::lock_guard<std::mutex> g(m);
    logs.push_back(event->text ? event->text : "");
    cv.notify_all();
    return 0;
  }
  int OnAudio(const void* buffer, uint32_t byteCount, void* context) override {
    std::lock_guard<std::mutex> g(m);
    const int32_t* p = static_cast<const int32_t*>(buffer);
    audio.push_back(
        ReceivedAudio{p ? std::vector<int32_t>(p, p + byteCount / 4) : std::vector<int32_t>(), context});
    samples += byteCount / 4;
    cv.notify_all();
    return 0;
  }
  bool WaitForSamples(size_t n) {
    std::unique_lock<std::mutex> g(m);
    return cv.wait_for(g, std::chrono::seconds(30), [&] { return samples >= n; });
  }
  int StartMarking() { return ::StartMarking(*this); }

  std::mutex m;
  std::condition_variable cv;
  std::vector<std::string> logs;
  std::vector<ReceivedAudio> audio;
  size_t samples = 0;
};

// Loads ostrel from the test's own directory and resets the stand-in.
class KantarLoaded : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CTarvelKantar::LoadLibrary(BinDir().c_str()));
    ASSERT_TRUE(stub.Bind());
    stub.Reset();
  }
  void TearDown() override { CTarvelKantar::UnloadLibrary(); }
  Stub stub;
};
