// Shared pieces of the wrapper tests: a callback sink and a fixture that
// resets the stand-in SDK before every test.
#pragma once

#include "3rd/kantar/ostrel/ostrel.h"
#include "SnapLiveAudioEmbedderSDK.h"
#include "tvlib/win.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct AudioChunk {
  std::vector<uint8_t> bytes;
  bool null;
  void* context;
  DWORD thread;
};

struct LogLine {
  int level, code;
  std::string text;
  DWORD thread;
};

// Collects what the wrapper delivers on the SDK's threads.
struct Sink {
  std::mutex m;
  std::condition_variable cv;
  std::vector<AudioChunk> audio;
  std::vector<LogLine> logs;
  int audioResult = 0;
  int logResult = 0;

  static int OnLog(void* user, const OstrelLogEvent* e) {
    Sink* s = static_cast<Sink*>(user);
    std::lock_guard<std::mutex> g(s->m);
    s->logs.push_back(LogLine{e->level, e->code, e->text ? e->text : "", GetCurrentThreadId()});
    s->cv.notify_all();
    return s->logResult;
  }
  static int OnAudio(void* user, const void* p, uint32_t n, void* ctx) {
    Sink* s = static_cast<Sink*>(user);
    std::lock_guard<std::mutex> g(s->m);
    const uint8_t* b = static_cast<const uint8_t*>(p);
    s->audio.push_back(AudioChunk{p ? std::vector<uint8_t>(b, b + n) : std::vector<uint8_t>(), p == nullptr,
                                  ctx, GetCurrentThreadId()});
    s->cv.notify_all();
    return s->audioResult;
  }
  // Generous: only guards against a hang, never measures time.
  bool WaitFor(const std::function<bool()>& pred) {
    std::unique_lock<std::mutex> g(m);
    return cv.wait_for(g, std::chrono::seconds(20), pred);
  }
  size_t AudioBytes() {
    size_t n = 0;
    for (auto& c : audio) n += c.bytes.size();
    return n;
  }
};

inline SnapStubStats Stats(int index = 0) {
  SnapStubStats s{};
  EXPECT_EQ(0, SnapStub_GetStats(index, &s, int(sizeof s)));
  return s;
}

inline std::string Trace() {
  int n = SnapStub_GetTrace(nullptr, 0);
  std::string t(size_t(n) + 1, '\0');
  SnapStub_GetTrace(&t[0], n + 1);
  t.resize(size_t(n));
  return t;
}

class OstrelTest : public ::testing::Test {
 protected:
  void SetUp() override { SnapStub_Reset(); }
  void TearDown() override {
    if (handle) Ostrel_DestroySnapLiveAudioEmbedder(&handle);
    EXPECT_EQ(0, Stats().live);
  }
  // Created and configured for 32-bit stereo, marking "STANDIN_A".
  void CreateReady() {
    ASSERT_EQ(0, Ostrel_CreateSnapLiveAudioEmbedder("cfg-one", "cfg-two", &Sink::OnLog, &Sink::OnAudio, &sink,
                                                    &handle));
    ASSERT_EQ(0, Ostrel_SetBitsPerSample(handle, 32));
    ASSERT_EQ(0, Ostrel_SetChannels(handle, 2));
    ASSERT_EQ(0, Ostrel_SetChannelName(handle, "STANDIN_A"));
  }
  Sink sink;
  OstrelHandle handle = nullptr;
};
