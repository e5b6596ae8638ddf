// The listener that ostrel hands the SDK, called the way an SDK built by
// Microsoft's compiler calls it: through its vtable by slot, `this` first.
#include "ostrel_fixture.h"

namespace {

using LogSlot = int (*)(void* self, const KantarMedia::LogEvent* event);
using AudioSlot = int (*)(void* self, const void* buffer, uint32_t byteCount, void* context);
using DestructorSlot = void* (*)(void* self, unsigned flags);

template <class Slot>
Slot SlotOf(void* object, int index) {
  void* const* vtable = *static_cast<void* const* const*>(object);
  return reinterpret_cast<Slot>(vtable[index]);
}

}  // namespace

TEST_F(OstrelTest, ListenerSlotsAreDestructorLogAudioInThatOrder) {
  ASSERT_EQ(0, Ostrel_CreateSnapLiveAudioEmbedder("a", "b", &Sink::OnLog, &Sink::OnAudio, &sink, &handle));
  void* listener = reinterpret_cast<void*>(static_cast<intptr_t>(Stats().last_listener));
  ASSERT_NE(nullptr, listener);
  const int64_t sdkCalls = Stats().calls;

  sink.logResult = 17;
  KantarMedia::LogEvent event{1, 42, "raw slot one"};
  EXPECT_EQ(17, SlotOf<LogSlot>(listener, 1)(listener, &event));
  {
    std::lock_guard<std::mutex> g(sink.m);
    ASSERT_EQ(1u, sink.logs.size());
    EXPECT_EQ(1, sink.logs[0].level);
    EXPECT_EQ(42, sink.logs[0].code);
    EXPECT_EQ("raw slot one", sink.logs[0].text);
    EXPECT_TRUE(sink.audio.empty());
  }

  sink.audioResult = 23;
  const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  int context = 0;
  EXPECT_EQ(23, SlotOf<AudioSlot>(listener, 2)(listener, bytes, sizeof bytes, &context));
  {
    std::lock_guard<std::mutex> g(sink.m);
    ASSERT_EQ(1u, sink.audio.size());
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 8), sink.audio[0].bytes);
    EXPECT_EQ(static_cast<void*>(&context), sink.audio[0].context);
    EXPECT_EQ(1u, sink.logs.size());
  }

  // Without bit 0 the destructor slot frees nothing: ostrel still owns the
  // listener and deletes it with the handle.
  EXPECT_EQ(listener, SlotOf<DestructorSlot>(listener, 0)(listener, 0));
  {
    std::lock_guard<std::mutex> g(sink.m);
    EXPECT_EQ(1u, sink.logs.size());
    EXPECT_EQ(1u, sink.audio.size());
  }
  EXPECT_EQ(sdkCalls, Stats().calls);
}
