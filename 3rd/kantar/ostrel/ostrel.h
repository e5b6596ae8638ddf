// ostrel.dll: fifteen plain C functions over the embedder SDK's objects, so a
// program built apart from the SDK never touches an SDK object or its memory.
//
// Every function returns the SDK's result code (0 success), or 2 when the
// handle (or, for destroy, the address of the handle) is null. The two
// callbacks run on the SDK's own threads, never on the caller's; the user
// pointer given at create comes back with each of them and is not used after
// Ostrel_DestroySnapLiveAudioEmbedder returns.
//
// The program loads the library at run time and reaches the functions through
// the pointer types below; tests may also link the import library.
#pragma once

#include <stdint.h>

#ifdef OSTREL_BUILD
#define OSTREL_API extern "C"
#else
#define OSTREL_API extern "C" __declspec(dllimport)
#endif

// The SDK's log record, passed through untouched: int32 at 0, int32 at 4,
// text pointer at 8. level: 0 info, 1 warning, 2 error.
struct OstrelLogEvent {
  int32_t level;
  int32_t code;
  const char* text;
};

typedef struct OstrelEmbedder* OstrelHandle;  // opaque

typedef int (*OstrelLogCallback)(void* user, const OstrelLogEvent* event);
// context: the value handed to Ostrel_AddAudioBuffer with the input that
// produced this audio; pointer-sized on purpose.
typedef int (*OstrelAudioCallback)(void* user, const void* buffer, uint32_t byteCount, void* context);

OSTREL_API int __cdecl Ostrel_AddAudioBuffer(OstrelHandle handle, const void* buffer, uint32_t byteCount,
                                             void* context);
OSTREL_API int __cdecl Ostrel_CreateSnapLiveAudioEmbedder(const char* config1, const char* config2,
                                                          OstrelLogCallback onLog,
                                                          OstrelAudioCallback onAudio, void* user,
                                                          OstrelHandle* handle);
OSTREL_API int __cdecl Ostrel_DestroySnapLiveAudioEmbedder(OstrelHandle* handle);
OSTREL_API int __cdecl Ostrel_EnableRecord(OstrelHandle handle, const char* directory);
OSTREL_API int __cdecl Ostrel_Finalize(OstrelHandle handle);
OSTREL_API int __cdecl Ostrel_GetChannelNameIDList(OstrelHandle handle, const char* const** names,
                                                   const uint32_t** ids, int* count);
OSTREL_API int __cdecl Ostrel_GetChannelNameList(OstrelHandle handle, const char* const** names, int* count);
OSTREL_API const char* __cdecl Ostrel_GetVersion(void);
OSTREL_API int __cdecl Ostrel_Initialize(OstrelHandle handle);
OSTREL_API int __cdecl Ostrel_ResynchronizeTimecode(OstrelHandle handle);
OSTREL_API int __cdecl Ostrel_SetBitsPerSample(OstrelHandle handle, int bits);
OSTREL_API int __cdecl Ostrel_SetChannelName(OstrelHandle handle, const char* name);
OSTREL_API int __cdecl Ostrel_SetChannels(OstrelHandle handle, int count);
OSTREL_API int __cdecl Ostrel_SetThreadCPUAffinity(OstrelHandle handle, uint64_t mask);
OSTREL_API int __cdecl Ostrel_SetThreadPriority(OstrelHandle handle, int priority);

// Pointer types for run-time loading (GetProcAddress).
typedef int(__cdecl* PFN_Ostrel_AddAudioBuffer)(OstrelHandle, const void*, uint32_t, void*);
typedef int(__cdecl* PFN_Ostrel_CreateSnapLiveAudioEmbedder)(const char*, const char*, OstrelLogCallback,
                                                             OstrelAudioCallback, void*, OstrelHandle*);
typedef int(__cdecl* PFN_Ostrel_DestroySnapLiveAudioEmbedder)(OstrelHandle*);
typedef int(__cdecl* PFN_Ostrel_EnableRecord)(OstrelHandle, const char*);
typedef int(__cdecl* PFN_Ostrel_Finalize)(OstrelHandle);
typedef int(__cdecl* PFN_Ostrel_GetChannelNameIDList)(OstrelHandle, const char* const**, const uint32_t**,
                                                      int*);
typedef int(__cdecl* PFN_Ostrel_GetChannelNameList)(OstrelHandle, const char* const**, int*);
typedef const char*(__cdecl* PFN_Ostrel_GetVersion)(void);
typedef int(__cdecl* PFN_Ostrel_Initialize)(OstrelHandle);
typedef int(__cdecl* PFN_Ostrel_ResynchronizeTimecode)(OstrelHandle);
typedef int(__cdecl* PFN_Ostrel_SetBitsPerSample)(OstrelHandle, int);
typedef int(__cdecl* PFN_Ostrel_SetChannelName)(OstrelHandle, const char*);
typedef int(__cdecl* PFN_Ostrel_SetChannels)(OstrelHandle, int);
typedef int(__cdecl* PFN_Ostrel_SetThreadCPUAffinity)(OstrelHandle, uint64_t);
typedef int(__cdecl* PFN_Ostrel_SetThreadPriority)(OstrelHandle, int);
