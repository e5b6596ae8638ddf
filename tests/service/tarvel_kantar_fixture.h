// Shared pieces of the embedder binding tests: the stand-in SDK's test entry
// points (reached at run time, as the program reaches ostrel) and a binding
// subclass that records its callbacks.
#pragma once

#include "TarvelKantar.h"
#include "sim/sdk/SnapLiveAudioEmbedderSDK.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

inline std::string BinDir() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string s(path, n);
  return s.substr(0, s.find_last_of("\\/"));
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

class RecordingKantar : public CTarvelKantar {
 public:
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
  // Created, configured for 32-bit stereo on the first SDK name, initialised.
  int StartMarking() {
    int r = Create("first", "second");
    if (r == 0) r = SetThreadPriority(2);
    if (r == 0) r = SetBitsPerSample(32);
    if (r == 0) r = SetChannels(2);
    const char* const* names = nullptr;
    int count = 0;
    if (r == 0) r = GetChannelNameList(&names, &count);
    if (r == 0) r = count > 0 ? SetChannelName(names[0]) : 3;
    if (r == 0) r = Initialize();
    return r;
  }

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
