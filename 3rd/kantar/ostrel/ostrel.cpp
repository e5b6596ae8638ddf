// The wrapper: one handle record per embedder, holding the SDK's object and
// the listener that turns the SDK's events into the program's callbacks.
//
// Nothing here throws, locks, logs or starts a thread: the library must be
// safe to load and unload from any thread of the program. Records and
// listeners come from the process heap, so the library needs nothing of the
// C++ runtime (no exceptions, no thread library).
//
// Layout rule: the real SDK is built by Microsoft's compiler and calls the
// listener through its vtable by slot (0 destructor, 1 OnLog, 2 OnAudio), and
// ostrel calls the SDK's interfaces the same way. The SDK header is therefore
// written so that g++ lays every interface out as Microsoft's compiler does:
// no virtual destructor anywhere (g++ would give it two slots and move OnLog
// to slot 2), the listener's slot 0 an ordinary virtual operation shaped like
// a scalar deleting destructor, and the listener's fields right after its
// vtable pointer.
#define OSTREL_BUILD
#include "3rd/kantar/ostrel/ostrel.h"

#include "SnapLiveAudioEmbedderSDK.h"
#include "tvlib/win.h"

#include <cstddef>
#include <new>
#include <utility>

static_assert(sizeof(OstrelLogEvent) == sizeof(KantarMedia::LogEvent), "log event layout");
static_assert(offsetof(OstrelLogEvent, level) == offsetof(KantarMedia::LogEvent, level), "log event layout");
static_assert(offsetof(OstrelLogEvent, code) == offsetof(KantarMedia::LogEvent, code), "log event layout");
static_assert(offsetof(OstrelLogEvent, text) == offsetof(KantarMedia::LogEvent, text), "log event layout");

namespace {

template <class T, class... Args>
T* HeapNew(Args&&... args) {
  void* memory = ::HeapAlloc(::GetProcessHeap(), 0, sizeof(T));
  return memory ? new (memory) T(std::forward<Args>(args)...) : nullptr;
}

template <class T>
void HeapDelete(T* object) {
  if (!object) return;
  object->~T();
  ::HeapFree(::GetProcessHeap(), 0, object);
}

// Lives exactly as long as its handle record: the SDK may call it until
// KantarMedia_DestroySnapLiveAudioEmbedder returns. The SDK calls it by slot
// (see SnapLiveAudioEmbedderSDK.h); ostrel deletes it as an EmbedderListener,
// never through the interface, whose destructor is not virtual.
class EmbedderListener final : public KantarMedia::IEmbedderListener {
 public:
  EmbedderListener(void* user, OstrelLogCallback onLog, OstrelAudioCallback onAudio)
      : m_pUser(user), m_pfnLog(onLog), m_pfnAudio(onAudio) {}

  // Slot 0, a scalar deleting destructor: ostrel never calls it, but an SDK
  // that did would find what its compiler expects there.
  void* DeletingDestructor(unsigned flags) override {
    this->~EmbedderListener();
    if (flags & 1u) ::HeapFree(::GetProcessHeap(), 0, this);
    return this;
  }
  int OnLog(const KantarMedia::LogEvent* event) override {
    return m_pfnLog ? m_pfnLog(m_pUser, reinterpret_cast<const OstrelLogEvent*>(event)) : 0;
  }
  int OnAudio(const void* buffer, uint32_t byteCount, void* context) override {
    return m_pfnAudio ? m_pfnAudio(m_pUser, buffer, byteCount, context) : 0;
  }

 private:
  void* m_pUser;
  OstrelLogCallback m_pfnLog;
  OstrelAudioCallback m_pfnAudio;
};
// The fields follow the vtable pointer, as in an object built by Microsoft's
// compiler.
static_assert(sizeof(EmbedderListener) == 4 * sizeof(void*), "vtable pointer, then three fields");

}  // namespace

// The embedder must stay the first field: the SDK's destroy takes the address
// of the record as the address of its embedder pointer.
struct OstrelEmbedder {
  KantarMedia::ISnapLiveAudioEmbedder* embedder;
  EmbedderListener* listener;
  KantarMedia::IEmbedderSettings* settings;  // fetched on first use, not owned
};
static_assert(offsetof(OstrelEmbedder, embedder) == 0, "embedder first");

static KantarMedia::IEmbedder* Main(OstrelHandle h) {
  return static_cast<KantarMedia::IEmbedder*>(h->embedder);
}
static KantarMedia::IChannelName* Names(OstrelHandle h) {
  return static_cast<KantarMedia::IChannelName*>(h->embedder);
}
static KantarMedia::ITimecode* Timecode(OstrelHandle h) {
  return static_cast<KantarMedia::ITimecode*>(h->embedder);
}
static KantarMedia::IThread* Threads(OstrelHandle h) {
  return static_cast<KantarMedia::IThread*>(h->embedder);
}

// A failed fetch leaves the field null so that the next setting tries again;
// whatever the SDK wrote there before failing is not to be trusted.
static int FetchSettings(OstrelHandle h) {
  if (h->settings) return 0;
  int r = Main(h)->GetSettings(&h->settings);
  if (r != 0) h->settings = nullptr;
  return r;
}

OSTREL_API int __cdecl Ostrel_AddAudioBuffer(OstrelHandle handle, const void* buffer, uint32_t byteCount,
                                             void* context) {
  if (!handle) return 2;
  return Main(handle)->AddAudioBuffer(buffer, byteCount, context);
}

OSTREL_API int __cdecl Ostrel_CreateSnapLiveAudioEmbedder(const char* config1, const char* config2,
                                                          OstrelLogCallback onLog,
                                                          OstrelAudioCallback onAudio, void* user,
                                                          OstrelHandle* handle) {
  if (!handle) return 2;  // nothing is created that could not be handed back
  EmbedderListener* listener = HeapNew<EmbedderListener>(user, onLog, onAudio);
  if (!listener) return 5;
  KantarMedia::ISnapLiveAudioEmbedder* embedder = nullptr;
  int r = KantarMedia_CreateSnapLiveAudioEmbedder(config1, config2, listener, &embedder, 0);
  if (r != 0) {
    HeapDelete(listener);
    return r;
  }
  OstrelEmbedder* record = HeapNew<OstrelEmbedder>(OstrelEmbedder{embedder, listener, nullptr});
  if (!record) {
    KantarMedia_DestroySnapLiveAudioEmbedder(&embedder);
    HeapDelete(listener);
    return 5;
  }
  *handle = record;
  return 0;
}

OSTREL_API int __cdecl Ostrel_DestroySnapLiveAudioEmbedder(OstrelHandle* handle) {
  if (!handle || !*handle) return 2;
  OstrelEmbedder* record = *handle;
  // The SDK may call the listener until its destroy returns, so the listener
  // goes only afterwards.
  int r = KantarMedia_DestroySnapLiveAudioEmbedder(&record->embedder);
  HeapDelete(record->listener);
  HeapDelete(record);
  *handle = nullptr;
  return r;
}

OSTREL_API int __cdecl Ostrel_EnableRecord(OstrelHandle handle, const char* directory) {
  if (!handle) return 2;
  return Main(handle)->EnableRecord(directory);
}

OSTREL_API int __cdecl Ostrel_Finalize(OstrelHandle handle) {
  if (!handle) return 2;
  return Main(handle)->Finalize();
}

OSTREL_API int __cdecl Ostrel_GetChannelNameIDList(OstrelHandle handle, const char* const** names,
                                                   const uint32_t** ids, int* count) {
  if (!handle) return 2;
  return Names(handle)->GetChannelNameIDList(names, ids, count);
}

OSTREL_API int __cdecl Ostrel_GetChannelNameList(OstrelHandle handle, const char* const** names, int* count) {
  if (!handle) return 2;
  return Names(handle)->GetChannelNameList(names, count);
}

OSTREL_API const char* __cdecl Ostrel_GetVersion(void) { return KantarMedia_GetVersion(); }

OSTREL_API int __cdecl Ostrel_Initialize(OstrelHandle handle) {
  if (!handle) return 2;
  return Main(handle)->Initialize();
}

OSTREL_API int __cdecl Ostrel_ResynchronizeTimecode(OstrelHandle handle) {
  if (!handle) return 2;
  return Timecode(handle)->ResynchronizeTimecode();
}

OSTREL_API int __cdecl Ostrel_SetBitsPerSample(OstrelHandle handle, int bits) {
  if (!handle) return 2;
  int r = FetchSettings(handle);
  if (r != 0) return r;
  return handle->settings->SetBitsPerSample(bits);
}

OSTREL_API int __cdecl Ostrel_SetChannelName(OstrelHandle handle, const char* name) {
  if (!handle) return 2;
  return Names(handle)->SetChannelName(name);
}

OSTREL_API int __cdecl Ostrel_SetChannels(OstrelHandle handle, int count) {
  if (!handle) return 2;
  int r = FetchSettings(handle);
  if (r != 0) return r;
  return handle->settings->SetChannels(count);
}

OSTREL_API int __cdecl Ostrel_SetThreadCPUAffinity(OstrelHandle handle, uint64_t mask) {
  if (!handle) return 2;
  return Threads(handle)->SetThreadCPUAffinity(mask);
}

#ifndef OSTREL_WITHOUT_SET_THREAD_PRIORITY
OSTREL_API int __cdecl Ostrel_SetThreadPriority(OstrelHandle handle, int priority) {
  if (!handle) return 2;
  return Threads(handle)->SetThreadPriority(priority);
}
#endif

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
