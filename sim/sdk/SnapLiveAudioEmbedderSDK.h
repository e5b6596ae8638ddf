// Stand-in for the outside live audio embedder SDK, as ostrel.dll sees it.
//
// Test infrastructure only: it is never shipped in place of the real SDK. It
// gives the calls, arguments, results and callbacks that ostrel uses, and marks
// the audio in a way a test can tell apart from its input and from silence.
//
// Binary layout: the real SDK is built by Microsoft's compiler and meets
// ostrel's objects only through their vtables, by slot. Every interface here is
// laid out as that compiler lays it out, whoever compiles this header: no
// interface declares a virtual destructor, since g++ would give it two slots
// (complete and deleting) where Microsoft's compiler gives it one. Where the
// SDK's interface starts with its destructor, slot 0 is one ordinary virtual
// operation of the same shape. Each interface is one vtable pointer in size.
#pragma once

#include <stdint.h>

#ifdef SNAPSDK_BUILD
#define SNAPSDK_API extern "C" __declspec(dllexport)
#else
#define SNAPSDK_API extern "C" __declspec(dllimport)
#endif

namespace KantarMedia {

// level: 0 info, 1 warning, 2 error.
struct LogEvent {
  int32_t level;
  int32_t code;
  const char* text;
};

// Implemented by the SDK's user, called by the SDK on its own threads:
// slot 0 the destructor, slot 1 OnLog (this, event), slot 2 OnAudio (this,
// buffer, byte count, context). Slot 0 takes the flags word of a scalar
// deleting destructor: it runs the destructor, and frees the object when
// bit 0 is set. The destructor itself is not virtual, so nobody may delete a
// listener through this interface; its owner deletes it as what it is.
class IEmbedderListener {
 public:
  virtual void* DeletingDestructor(unsigned flags) = 0;
  virtual int OnLog(const LogEvent* event) = 0;
  virtual int OnAudio(const void* buffer, uint32_t byteCount, void* context) = 0;

 protected:
  ~IEmbedderListener() = default;
};
static_assert(sizeof(IEmbedderListener) == sizeof(void*), "an interface is its vtable pointer");

class IEmbedderSettings {
 public:
  virtual int GetInterfaceVersion() = 0;
  virtual int SetBitsPerSample(int bits) = 0;
  virtual int SetChannels(int count) = 0;
};

class IEmbedder {
 public:
  virtual int GetInterfaceVersion() = 0;
  virtual int Initialize() = 0;
  virtual int Finalize() = 0;
  virtual int AddAudioBuffer(const void* buffer, uint32_t byteCount, void* context) = 0;
  virtual int EnableRecord(const char* directory) = 0;
  virtual int GetSettings(IEmbedderSettings** settings) = 0;
};

class IChannelName {
 public:
  virtual int GetInterfaceVersion() = 0;
  virtual int GetChannelNameList(const char* const** names, int* count) = 0;
  virtual int GetChannelNameIDList(const char* const** names, const uint32_t** ids, int* count) = 0;
  virtual int SetChannelName(const char* name) = 0;
};

class ITimecode {
 public:
  virtual int GetInterfaceVersion() = 0;
  virtual int ResynchronizeTimecode() = 0;
};

class IThread {
 public:
  virtual int GetInterfaceVersion() = 0;
  virtual int SetThreadCPUAffinity(uint64_t mask) = 0;
  virtual int SetThreadPriority(int priority) = 0;
};

class ISnapLiveAudioEmbedder : public IEmbedder, public IChannelName, public ITimecode, public IThread {};

static_assert(sizeof(IEmbedderSettings) == sizeof(void*) && sizeof(IEmbedder) == sizeof(void*) &&
                  sizeof(IChannelName) == sizeof(void*) && sizeof(ITimecode) == sizeof(void*) &&
                  sizeof(IThread) == sizeof(void*),
              "an interface is its vtable pointer");
static_assert(sizeof(ISnapLiveAudioEmbedder) == 4 * sizeof(void*), "four interfaces, four vtable pointers");

}  // namespace KantarMedia

SNAPSDK_API const char* KantarMedia_GetVersion(void);
SNAPSDK_API int KantarMedia_CreateSnapLiveAudioEmbedder(const char* config1, const char* config2,
                                                        KantarMedia::IEmbedderListener* listener,
                                                        KantarMedia::ISnapLiveAudioEmbedder** embedder,
                                                        int reserved);
SNAPSDK_API int KantarMedia_DestroySnapLiveAudioEmbedder(KantarMedia::ISnapLiveAudioEmbedder** embedder);

// ---- Stand-in only: control and observation for tests ---------------------

// Counters. Index 0 of SnapStub_GetStats gives the totals since the last reset,
// index n > 0 those of the embedder with serial n (kept after its destroy
// while it is among the 256 latest destroyed).
struct SnapStubStats {
  int64_t calls;    // every SDK call except GetVersion, on any embedder
  int64_t creates;  // successful creates
  int64_t create_refusals;
  int64_t destroys;
  int64_t live;  // embedders created and not yet destroyed (totals only)
  int64_t settings_fetches;
  int64_t initializes;  // successful
  int64_t finalizes;    // Finalize calls that reached an initialised embedder
  int64_t adds;         // AddAudioBuffer calls accepted
  int64_t add_refusals;
  int64_t bytes_in;
  int64_t bytes_out;  // marked bytes handed to OnAudio
  int64_t audio_callbacks;
  int64_t log_callbacks;
  int64_t callback_nonzero;  // callbacks whose result was not 0
  int64_t last_callback_result;
  int64_t callback_threads;     // distinct threads that made callbacks
  int64_t callbacks_on_caller;  // callbacks made on a thread that called into the SDK (must stay 0)
  int64_t resyncs;
  int64_t priority;  // last SetThreadPriority value accepted, -1 none
  int64_t affinity;  // last affinity mask accepted
  int64_t bits;
  int64_t channels;
  int64_t violations;    // contract breaches seen (see trace lines "VIOLATION")
  int64_t size_changes;  // AddAudioBuffer byte counts that differ from the previous call
  int64_t overflow_drops;
  int64_t watermark_id;
  int64_t record_bytes;
  int64_t last_listener;  // listener pointer seen by the last create (also a refused one)
  int64_t serial;         // last serial handed out (totals) / own serial
};

// key=value lines, "#" comments, sections "[create:N]" and "[name:TEXT]".
// Replaces the in-process configuration; SNAPSTUB_CONFIG (a file) is merged
// under it at every create. Result keys take "<code>", "<code>@n" (the n-th
// call only) or "<code>@every=k": create_result, init_result, add_result,
// resync_result, getsettings_result, bits_result, channels_result,
// name_list_result, channel_name_result, record_result, priority_result.
SNAPSDK_API int SnapStub_Configure(const char* text);
// Clears counters, trace, in-process configuration and the serial numbers.
SNAPSDK_API int SnapStub_Reset(void);
SNAPSDK_API int SnapStub_GetStats(int index, SnapStubStats* stats, int size);
// Copies the in-process trace (the same lines as SNAPSTUB_TRACE) into buffer,
// zero-terminated and cut to size; returns the full length.
SNAPSDK_API int SnapStub_GetTrace(char* buffer, int size);
// For the benchmark: the latest (entry, exit) performance-counter pairs of
// the AddAudioBuffer calls (accepted or refused) of the live embedder last fed with
// `context`, oldest first, at most maxPairs; returns how many.
SNAPSDK_API int SnapStub_GetAddTimes(void* context, int64_t* pairs, int maxPairs);
