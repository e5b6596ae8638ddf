// CTarvelKantar: the program's only door to ostrel.dll, and so to the outside
// embedder SDK.
//
// Library (static part): one process-wide table of ostrel's functions. It is
// written only by the main thread, by LoadLibrary at start and UnloadLibrary at
// stop, while no other thread uses it; board, channel and SDK threads read it
// without a lock in between. Loading and unloading sit between CoInitialize
// and CoUninitialize on the main thread: a load that fails answers its own
// CoInitialize before it returns, a successful one leaves it to
// UnloadLibrary.
//
// Object: wraps one embedder handle. The board thread creates, configures,
// initialises, finalises and destroys; the channel thread adds audio and
// resynchronises; the caller orders them, nothing here locks. OnLog/OnAudio
// run on the SDK's threads, through LogThunk/AudioThunk, until Destroy returns.
//
// Destruction rule: every derived class calls Destroy() first in its own
// destructor. Callbacks reach the object from Create until Destroy begins:
// what the SDK still sends while it tears the embedder down is dropped, and
// Destroy returns only once the SDK has stopped calling back, so no callback
// reaches a derived object whose members are being torn down. The base
// destructor cannot give that guarantee for a derived class that broke the
// rule (the derived part is gone by the time it runs); it closes the gate,
// destroys a live embedder, and waits until no thunk is inside the object.
#pragma once

#include "3rd/kantar/ostrel/ostrel.h"
#include "tvlib/win.h"

#include <atomic>
#include <cstdint>
#include <string>

// The class's LoadLibrary would otherwise be renamed LoadLibraryA by
// <windows.h> in some files and not in others. Use LoadLibraryA/W explicitly.
#undef LoadLibrary

class CTarvelKantar {
 public:
  CTarvelKantar();
  // Destroys a live embedder left by a derived class that broke the rule
  // above; callbacks arriving meanwhile are dropped.
  virtual ~CTarvelKantar();

  virtual int OnLog(const OstrelLogEvent* event) = 0;
  virtual int OnAudio(const void* buffer, uint32_t byteCount, void* context) = 0;

  // Main thread only. Tries directory + "\ostrel.dll" (where the trust rule
  // of tvlib/ipc/security_trust.h applies, only when that file and its
  // folder pass it; a refusal is logged), then "ostrel.dll" from the
  // program's own folder or System32 (never the current directory or PATH).
  // A library lacking any function counts as not loaded and is released
  // again.
  static bool LoadLibrary(const char* directory);
  static bool IsLibraryLoaded();
  static void UnloadLibrary();
  static std::string GetLibraryVersion();  // "" when not loaded
  static int GetLibraryVersionNumber();    // atoi of the version text, 0 when not loaded
  static std::string GetErrorString(int code);
  // The same text, in static storage: for the real-time pass, which must not
  // allocate to log a failing period.
  static const char* ErrorText(int code);

  // The callbacks handed to the SDK. Nothing thrown below them leaves them:
  // an exception gives 0, as a dropped callback does.
  static int LogThunk(void* user, const OstrelLogEvent* event);
  static int AudioThunk(void* user, const void* buffer, uint32_t byteCount, void* context);

  // Results: the SDK's code, or 1 (no library: Create, Destroy), 2 (no
  // library or no handle: the others), 21 (Finalize when not initialised).
  // Create does not destroy an existing embedder; destroy it first.
  int Create(const char* config1, const char* config2);
  int Destroy();
  int SetBitsPerSample(int bits);
  int SetChannels(int count);
  int GetChannelNameList(const char* const** names, int* count);
  int GetChannelNameIDList(const char* const** names, const uint32_t** ids, int* count);
  int SetChannelName(const char* name);
  int Initialize();
  int Finalize();
  int AddAudioBuffer(const void* buffer, uint32_t byteCount, void* context);
  int EnableRecord(const char* directory);
  int ResynchronizeTimecode();
  int SetThreadCPUAffinity(uint64_t mask);
  int SetThreadPriority(int priority);

  bool IsCreated() const { return m_hEmbedder != nullptr; }
  bool IsInitialized() const { return m_hEmbedder != nullptr && m_bInitialized; }

 private:
  CTarvelKantar(const CTarvelKantar&) = delete;
  CTarvelKantar& operator=(const CTarvelKantar&) = delete;

  OstrelHandle m_hEmbedder;
  bool m_bInitialized;
  // The callback gate: cleared by Create, set by Destroy and the destructor.
  // A thunk counts itself in before it tests m_bDying and out when it leaves;
  // the base destructor sets m_bDying and then waits for the count to reach
  // 0, so no thunk is left touching the object once it is freed.
  std::atomic<bool> m_bDying;
  std::atomic<long> m_lCallbacksInFlight;
};
