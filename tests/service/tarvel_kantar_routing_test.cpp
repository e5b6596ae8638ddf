// Callbacks reach the object that created the embedder, carry its audio back
// marked and in order, and stop before the object goes away.
#include "tarvel_kantar_fixture.h"

#include <new>

#include "support/fn_thread.h"

namespace {

// Upper 24 bits: frame counter; low nibble: channel; 0x10 marks plain input.
std::vector<int32_t> Period(uint32_t firstFrame, uint32_t frames, int tag) {
  std::vector<int32_t> p(frames * 2);
  for (uint32_t f = 0; f < frames; ++f)
    for (uint32_t ch = 0; ch < 2; ++ch)
      p[f * 2 + ch] = int32_t(((firstFrame + f) << 8) | 0x10 | (uint32_t(tag) << 1) | ch);
  return p;
}

std::vector<int32_t> Joined(RecordingKantar& k) {
  std::lock_guard<std::mutex> g(k.m);
  std::vector<int32_t> all;
  for (auto& a : k.audio) all.insert(all.end(), a.samples.begin(), a.samples.end());
  return all;
}

}  // namespace

TEST_F(KantarLoaded, HundredPeriodsComeBackMarkedAndInOrder) {
  // Re-chunked and delayed, as a real embedder may do.
  stub.Configure("chunk_frames=300\nlatency_frames=100");
  const uint32_t held = 100;
  RecordingKantar k;
  ASSERT_EQ(0, k.StartMarking());
  const uint32_t frames = 512, periods = 100;
  for (uint32_t i = 0; i < periods; ++i) {
    std::vector<int32_t> p = Period(i * frames, frames, 0);
    ASSERT_EQ(0, k.AddAudioBuffer(p.data(), uint32_t(p.size() * 4), &k));
    // Paced like the channel thread: one period in, one period out.
    ASSERT_TRUE(k.WaitForSamples((size_t(i + 1) * frames - held) * 2)) << "period " << i;
  }
  ASSERT_EQ(0, k.Finalize());  // flushes the held-back frames
  std::vector<int32_t> all = Joined(k);
  ASSERT_EQ(size_t(periods) * frames * 2, all.size());
  for (size_t i = 0; i < all.size(); ++i) {
    uint32_t v = uint32_t(all[i]);
    ASSERT_EQ(0xA0u, v & 0xF0u) << "unmarked sample " << i;
    ASSERT_EQ(uint32_t(i / 2), v >> 8) << "frame out of order at sample " << i;
    ASSERT_EQ(uint32_t(i % 2), v & 1u) << "channel swapped at sample " << i;
  }
  std::lock_guard<std::mutex> g(k.m);
  for (auto& a : k.audio) EXPECT_EQ(static_cast<void*>(&k), a.context);
  ASSERT_FALSE(k.logs.empty());
  EXPECT_EQ("Start watermarking using ID 4711", k.logs.front());
}

TEST_F(KantarLoaded, TwoObjectsReceiveOnlyTheirOwnCallbacks) {
  RecordingKantar a, b;
  ASSERT_EQ(0, a.StartMarking());
  ASSERT_EQ(0, b.StartMarking());
  int ctxA = 0, ctxB = 0;
  const uint32_t frames = 256;
  for (uint32_t i = 0; i < 20; ++i) {  // 20 stays within the stand-in's 64-buffer queue
    std::vector<int32_t> pa = Period(i * frames, frames, 1), pb = Period(i * frames, frames, 2);
    ASSERT_EQ(0, a.AddAudioBuffer(pa.data(), uint32_t(pa.size() * 4), &ctxA));
    ASSERT_EQ(0, b.AddAudioBuffer(pb.data(), uint32_t(pb.size() * 4), &ctxB));
  }
  ASSERT_TRUE(a.WaitForSamples(20 * frames * 2));
  ASSERT_TRUE(b.WaitForSamples(20 * frames * 2));
  EXPECT_EQ(0, a.Finalize());
  EXPECT_EQ(0, b.Finalize());
  for (auto* k : {&a, &b}) {
    const int tag = k == &a ? 1 : 2;
    void* ctx = k == &a ? static_cast<void*>(&ctxA) : static_cast<void*>(&ctxB);
    std::vector<int32_t> all = Joined(*k);
    ASSERT_EQ(size_t(20) * frames * 2, all.size());
    for (int32_t v : all) ASSERT_EQ(tag, (v >> 1) & 3);
    std::lock_guard<std::mutex> g(k->m);
    for (auto& r : k->audio) ASSERT_EQ(ctx, r.context);
  }
  EXPECT_EQ(0, a.Destroy());
  EXPECT_EQ(0, b.Destroy());
  EXPECT_EQ(0, stub.Stats().live);
}

// Counts the callbacks that reach it once its destructor has begun Destroy():
// the stand-in's held event, which by construction comes only after that, and
// anything after Destroy returned. It lives in storage that is never freed, so
// the mark survives.
class GuardedKantar : public CTarvelKantar {
 public:
  explicit GuardedKantar(volatile LONG* late) : m_late(late) {}
  ~GuardedKantar() override {
    Destroy();
    ::InterlockedExchange(&m_state, kTornDown);
  }
  int OnLog(const OstrelLogEvent* event) override {
    Note();
    if (std::string(event->text) == "Held event") ::InterlockedIncrement(m_late);
    ::InterlockedIncrement(&logs);
    return 0;
  }
  int OnAudio(const void*, uint32_t, void*) override {
    Note();
    return 0;
  }
  volatile LONG logs = 0;

 private:
  static const LONG kLive = 0x11, kTornDown = 0xDD;
  void Note() {
    if (m_state != kLive) ::InterlockedIncrement(m_late);
  }
  volatile LONG m_state = kLive;
  volatile LONG* m_late;
};

TEST_F(KantarLoaded, NoCallbackReachesASubclassOnceItsDestructorDestroyedTheEmbedder) {
  // Callbacks come from the log thread every 10 ms, from a thread that was
  // already calling back when Destroy began and from inside the SDK's
  // destroy; the cycles end at varied moments between them.
  stub.Configure("held_callback=1\ncallback_in_destroy=1\nlog_thread=1\nlog_every_ms=10");
  const int kCycles = 200;
  alignas(GuardedKantar) static unsigned char slot[sizeof(GuardedKantar)];
  volatile LONG late = 0, failed = 0;
  FnThread cycles([&](FnThread&) {
    for (int i = 0; i < kCycles; ++i) {
      GuardedKantar* k = new (slot) GuardedKantar(&late);
      std::vector<int32_t> p = Period(0, 256, 0);
      if (StartMarking(*k) != 0 || k->AddAudioBuffer(p.data(), uint32_t(p.size() * 4), nullptr) != 0)
        ::InterlockedIncrement(&failed);
      ::Sleep(DWORD(i % 13));
      k->~GuardedKantar();
    }
    return 0;
  });
  ASSERT_EQ(0, cycles.Create(2));
  EXPECT_EQ(0, cycles.Join());
  EXPECT_EQ(0, failed);
  EXPECT_EQ(0, late);
  SnapStubStats s = stub.Stats();
  EXPECT_EQ(0, s.live);
  EXPECT_EQ(kCycles, s.destroys);
  EXPECT_GE(s.log_callbacks, kCycles);  // one from every destroy at least
}

// What a subclass throws on the SDK's thread never unwinds into the SDK.
TEST(KantarThunks, AnExceptionFromTheSubclassGivesZero) {
  struct Throwing : CTarvelKantar {
    int OnLog(const OstrelLogEvent*) override { throw std::bad_alloc(); }
    int OnAudio(const void*, uint32_t, void*) override { throw std::bad_alloc(); }
  } k;
  const OstrelLogEvent event = {0, 0, "line"};
  int32_t frame[2] = {1, 2};
  EXPECT_EQ(0, CTarvelKantar::LogThunk(&k, &event));
  EXPECT_EQ(0, CTarvelKantar::AudioThunk(&k, frame, sizeof frame, nullptr));
}
