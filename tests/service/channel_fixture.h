// Channel tests: the embedder library loaded from bin/, the stand-in reset,
// and a test owner with a simulated QBX board (channel_owner.h).
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "channel_owner.h"
#include "support/log_capture.h"
#include "support/poll.h"
#include "tarvel_kantar_fixture.h"

// Generous: real-time tests run beside every other test under Wine.
const DWORD kChannelWaitMs = 120000;

class ChannelTest : public KantarLoaded {
 protected:
  sim::AudioStats Stats(int index = 0) { return owner->Device(index)->Stats(); }
  // One owner per test, built after the stand-in has its configuration.
  channeltest::ChannelOwner& Owner(const channeltest::OwnerOptions& options = channeltest::OwnerOptions()) {
    owner.reset(new channeltest::ChannelOwner(options));
    EXPECT_TRUE(owner->WorldOk());
    return *owner;
  }
  // Enables channel `index` on SDK name `name` and turns until it is RUNNING.
  bool StartMarking(int index = 0, int name = 0) {
    owner->SetSettings(index, 1, name);
    owner->StartTurns();
    return WaitUntil([&] { return owner->EverRunning(index); }, kChannelWaitMs);
  }
  bool WaitForMarked(uint64_t periods, int index = 0) {
    return WaitUntil([&] { return Stats(index).marked >= periods; }, kChannelWaitMs, 20);
  }
  void TearDown() override {
    owner.reset();
    KantarLoaded::TearDown();
  }

  std::unique_ptr<channeltest::ChannelOwner> owner;
};

// After the first MARKED period the device played only MARKED and SILENCE.
inline bool OnlyMarkedOrSilenceAfterFirstMarked(const sim::AudioStats& s) {
  bool marked = false;
  for (const sim::AudioTransition& t : s.transitions) {
    if (marked && t.to != sim::AudioClass::Marked && t.to != sim::AudioClass::Silence) return false;
    if (t.to == sim::AudioClass::Marked) marked = true;
  }
  return marked;
}
