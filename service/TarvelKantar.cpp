#include "service/TarvelKantar.h"

#include "tvlib/files/files.h"
#include "tvlib/ipc/security_trust.h"
#include "tvlib/log/log.h"

#include <objbase.h>

#include <cstdlib>
#include <new>

namespace {

struct OstrelTable {
  HMODULE hModule;
  int nVersion;
  PFN_Ostrel_GetVersion GetVersion;
  PFN_Ostrel_CreateSnapLiveAudioEmbedder Create;
  PFN_Ostrel_DestroySnapLiveAudioEmbedder Destroy;
  PFN_Ostrel_SetBitsPerSample SetBitsPerSample;
  PFN_Ostrel_SetChannels SetChannels;
  PFN_Ostrel_GetChannelNameList GetChannelNameList;
  PFN_Ostrel_GetChannelNameIDList GetChannelNameIDList;
  PFN_Ostrel_SetChannelName SetChannelName;
  PFN_Ostrel_Initialize Initialize;
  PFN_Ostrel_Finalize Finalize;
  PFN_Ostrel_AddAudioBuffer AddAudioBuffer;
  PFN_Ostrel_EnableRecord EnableRecord;
  PFN_Ostrel_ResynchronizeTimecode ResynchronizeTimecode;
  PFN_Ostrel_SetThreadCPUAffinity SetThreadCPUAffinity;
  PFN_Ostrel_SetThreadPriority SetThreadPriority;
};

OstrelTable* g_pOstrel = nullptr;
// The load's CoInitialize succeeded and no CoUninitialize answered it yet.
bool g_comInitialized = false;

// Leaves COM initialised only for a load that succeeds: every other way out
// of LoadLibrary answers its CoInitialize at once.
class ComForLoad {
 public:
  ComForLoad() : m_initialized(SUCCEEDED(CoInitialize(nullptr))) {}
  ~ComForLoad() {
    if (m_initialized) CoUninitialize();
  }
  // The loaded library keeps it until UnloadLibrary.
  void Keep() {
    g_comInitialized = m_initialized;
    m_initialized = false;
  }
  ComForLoad(const ComForLoad&) = delete;
  ComForLoad& operator=(const ComForLoad&) = delete;

 private:
  bool m_initialized;
};

template <class T>
bool Resolve(HMODULE module, const char* name, T* out) {
  *out = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  if (*out) return true;
  LogLevel5("CTarvelKantar::LoadLibrary ostrel.dll lacks %s", name);
  return false;
}

// Counts one thunk in for its life. The count goes up before the flag is
// read, the destructor sets the flag before it reads the count (both
// sequentially consistent): either the thunk sees the flag, or the
// destructor sees the thunk and waits for it.
class CallbackInFlight {
 public:
  explicit CallbackInFlight(std::atomic<long>& count) : m_count(count) { m_count.fetch_add(1); }
  ~CallbackInFlight() { m_count.fetch_sub(1); }

 private:
  std::atomic<long>& m_count;
};

// A service runs as LocalSystem and takes RUN from its configuration file:
// ostrel.dll is loaded from there only when no ordinary account can have put
// it there or changed it; otherwise the program's own folder is searched.
bool MayLoadFrom(const std::string& path) {
  if (!IsTrustRequired() || !FileExists(path)) return true;
  CTrustDecision trust = DecideTrustOfFile(path);
  if (trust.IsTrusted()) return true;
  LogError("KANTAR: %s not loaded, %s: ostrel.dll is looked for in the program's folder", path.c_str(),
           trust.reason.c_str());
  return false;
}

}  // namespace

CTarvelKantar::CTarvelKantar()
    : m_hEmbedder(nullptr), m_bInitialized(false), m_bDying(false), m_lCallbacksInFlight(0) {}

CTarvelKantar::~CTarvelKantar() {
  m_bDying.store(true);
  if (m_hEmbedder && g_pOstrel) Destroy();
  while (m_lCallbacksInFlight.load() != 0) ::Sleep(1);
}

bool CTarvelKantar::LoadLibrary(const char* directory) {
  if (g_pOstrel) return true;
  ComForLoad com;

  std::string path = directory ? directory : "";
  path += "\\ostrel.dll";
  // Searching the DLL's own folder lets ostrel.dll find the SDK beside it when
  // the directory is neither the program's nor the current one. Windows
  // defines that only for a full path, and RUN may be given relative.
  char full[MAX_PATH];
  DWORD n = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
  if (n > 0 && n < MAX_PATH) path = full;
  HMODULE module = nullptr;
  if (MayLoadFrom(path)) {
    module = LoadLibraryExA(path.c_str(), nullptr,
                            LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    // The altered search path of older systems also tries the current
    // directory and PATH for the SDK: the best they have.
    if (!module && GetLastError() == ERROR_INVALID_PARAMETER)
      module = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }
  if (!module) {
    // By name, but only from the program's folder and System32: the plain
    // search also tries the current directory and PATH, where a DLL planted in
    // any writable folder would run inside a service as LocalSystem.
    module = LoadLibraryExA("ostrel.dll", nullptr,
                            LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Systems without these flags refuse them as an invalid parameter.
    if (!module && GetLastError() == ERROR_INVALID_PARAMETER) module = LoadLibraryA("ostrel.dll");
  }
  if (!module) return false;

  OstrelTable* table = new (std::nothrow) OstrelTable();
  if (!table) {
    FreeLibrary(module);
    return false;
  }
  table->hModule = module;
  // Every entry is resolved, so the log names all that are missing.
  bool ok = true;
  ok &= Resolve(module, "Ostrel_GetVersion", &table->GetVersion);
  ok &= Resolve(module, "Ostrel_CreateSnapLiveAudioEmbedder", &table->Create);
  ok &= Resolve(module, "Ostrel_DestroySnapLiveAudioEmbedder", &table->Destroy);
  ok &= Resolve(module, "Ostrel_SetBitsPerSample", &table->SetBitsPerSample);
  ok &= Resolve(module, "Ostrel_SetChannels", &table->SetChannels);
  ok &= Resolve(module, "Ostrel_GetChannelNameList", &table->GetChannelNameList);
  ok &= Resolve(module, "Ostrel_GetChannelNameIDList", &table->GetChannelNameIDList);
  ok &= Resolve(module, "Ostrel_SetChannelName", &table->SetChannelName);
  ok &= Resolve(module, "Ostrel_Initialize", &table->Initialize);
  ok &= Resolve(module, "Ostrel_Finalize", &table->Finalize);
  ok &= Resolve(module, "Ostrel_AddAudioBuffer", &table->AddAudioBuffer);
  ok &= Resolve(module, "Ostrel_EnableRecord", &table->EnableRecord);
  ok &= Resolve(module, "Ostrel_ResynchronizeTimecode", &table->ResynchronizeTimecode);
  ok &= Resolve(module, "Ostrel_SetThreadCPUAffinity", &table->SetThreadCPUAffinity);
  ok &= Resolve(module, "Ostrel_SetThreadPriority", &table->SetThreadPriority);
  if (!ok) {
    // Nothing holds a pointer into the module: the table was never published.
    delete table;
    FreeLibrary(module);
    return false;
  }

  g_pOstrel = table;
  com.Keep();
  const char* version = table->GetVersion();
  table->nVersion = atoi(version ? version : "");
  return true;
}

bool CTarvelKantar::IsLibraryLoaded() { return g_pOstrel != nullptr; }

void CTarvelKantar::UnloadLibrary() {
  if (OstrelTable* table = g_pOstrel) {
    g_pOstrel = nullptr;
    if (table->hModule) FreeLibrary(table->hModule);
    delete table;
  }
  if (g_comInitialized) {
    g_comInitialized = false;
    CoUninitialize();
  }
}

std::string CTarvelKantar::GetLibraryVersion() {
  if (!g_pOstrel) return std::string();
  const char* version = g_pOstrel->GetVersion();
  return version ? version : "";
}

int CTarvelKantar::GetLibraryVersionNumber() { return g_pOstrel ? g_pOstrel->nVersion : 0; }

std::string CTarvelKantar::GetErrorString(int code) { return ErrorText(code); }

const char* CTarvelKantar::ErrorText(int code) {
  switch (code) {
    case 0: return "Success code. No error returned";
    case 1: return "An undefined error occurred";
    case 2: return "A NULL pointer has been provided";
    case 3: return "An empty parameter has been provided";
    case 4: return "The object pointer provided is not of the correct type";
    case 5: return "Memory Allocation error - System cannot allocate memory";
    case 6: return "An internal error occurred";
    case 7: return "Thread policy set is invalid";
    case 8: return "Thread priority set is invalid";
    case 9: return "Insufficient rights to perform operation";
    case 20: return "Listener provided is a NULL pointer";
    case 21: return "Embedder has not already been initialized";
    case 22: return "Embedder has already been initialized";
    case 23: return "Embedder parameters have not been initialized";
    case 24:
      return "Bits per sample value provided is invalid - bits per sample value shall be either 16, 24 or 32";
    case 25: return "Number of audio channels provided is invalid - This shall be greater than 0";
    case 26: return "A buffer whose size is not a factor of sample size has been provided";
    case 27: return "Some settings are not provided for embedder initialization";
    case 28: return "Watermarking technology is invalid";
    case 29: return "File duration is invalid";
    case 60: return "SyncNow payload configuration is invalid";
    case 61: return "The payload ID value provided is invalid";
    case 62: return "The payload Timecode value provided is invalid";
    case 63:
      return "The watermark delta strength value provided is invalid. 0 (very low), 1 (low), 2 (medium), 3 "
             "(high), "
             "4 (very high)";
    case 64: return "Watermark duration is lower than payload duration";
    case 65: return "Timecode looped while embedding";
    case 81: return "The time resynchronization feature is not allowed";
    case 82: return "All Ids for this channel name are already locked";
    case 100:
      return "Input/Output error for recording option. Check if directory exists, or if rights are granted";
    case 110:
      return "Do not use SetMetadataFilePath along with SetUniqueContentId, SetChannelName or "
             "SetMetadataList";
    case 111: return "Error on metadata file";
    case 112: return "Maximum 7 metadata can be added";
    case 120: return "Log manager error";
    default: return "Unknown";
  }
}

// The thunks run on the SDK's threads, inside frames of another compiler: no
// exception (an allocation that fails while formatting a line) may unwind
// into them.
int CTarvelKantar::LogThunk(void* user, const OstrelLogEvent* event) {
  try {
    CTarvelKantar* self = static_cast<CTarvelKantar*>(user);
    CallbackInFlight inFlight(self->m_lCallbacksInFlight);
    if (self->m_bDying.load()) return 0;
    return self->OnLog(event);
  } catch (...) {
    return 0;
  }
}

int CTarvelKantar::AudioThunk(void* user, const void* buffer, uint32_t byteCount, void* context) {
  try {
    CTarvelKantar* self = static_cast<CTarvelKantar*>(user);
    CallbackInFlight inFlight(self->m_lCallbacksInFlight);
    if (self->m_bDying.load()) return 0;
    return self->OnAudio(buffer, byteCount, context);
  } catch (...) {
    return 0;
  }
}

int CTarvelKantar::Create(const char* config1, const char* config2) {
  if (!g_pOstrel) return 1;
  OstrelHandle handle = nullptr;
  m_bDying.store(false);
  int r = g_pOstrel->Create(config1, config2, &CTarvelKantar::LogThunk, &CTarvelKantar::AudioThunk, this,
                            &handle);
  if (r == 0) m_hEmbedder = handle;
  return r;
}

int CTarvelKantar::Destroy() {
  if (!g_pOstrel) return 1;
  if (!m_hEmbedder) return 2;
  m_bDying.store(true);
  int r = g_pOstrel->Destroy(&m_hEmbedder);
  m_hEmbedder = nullptr;
  m_bInitialized = false;
  return r;
}

int CTarvelKantar::SetBitsPerSample(int bits) {
  if (!g_pOstrel || !m_hEmbedder) return 2;
  return g_pOstrel->SetBitsPerSample(m_hEmbedder, bits);
}

int CTarvelKantar::SetChannels(int count) {
  if (!g_pOstrel || !m_hEmbedder) return 2;
  return g_pOstrel->SetChannels(m_hEmbedder, count);
}

int CTarvelKantar::GetChannelNameList(const char* const** names, int* count) {
  if (!g_pOstrel || !m_hEmbedder) return 2;
  return g_pOstrel->GetChannelNameList(m_hEmbedder, names, count);
}

int CTarvelKantar::GetChannelNameIDList(const char* const** names, const uint32_t** ids, int* count) {
  if (!g_pOstrel || !m_hEmbedder) return 2;
  return g_pOstrel->GetChannelNameIDList(m_hEmbedder, names, ids, count);
}

int CTarvelKantar::SetChannelName(const char* name) {
  if (!g_pOstrel || !m_hEmbedder) return 2;
  return g_pOstrel->SetChannelName(m_hEmbedder, name);
}

int CTarvelKantar::Initialize() {
  if (!g_pOstrel || !m_hEmbedder) return 2;
  int r = g_pOstrel->Initialize(m_hEmbedder);
  m_bInitialized = (r == 0);
  return r;
}

int CTarvelKantar::Finalize() {
  if (!g_pOstrel || !m_hEmbedder) return 2;
  if (!m_bInitialized) return 21;
  int r = g_pOstrel->Finalize(m_hEmbedder);
  m_bInitialized = false;
  return r;
}

int CTarvelKantar::AddAudioBuffer(const void* buffer, uint32_t byteCount, void* context) {
  if (!g_pOstrel || !m_hEmbedder) return 2;
  return g_pOstrel->AddAudioBuffer(m_hEmbedder, buffer, byteCount, context);
}

int CTarvelKantar::EnableRecord(const char* directory) {
  if (!g_pOstrel || !m_hEmbedder) return 2;
  return g_pOstrel->EnableRecord(m_hEmbedder, directory);
}

int CTarvelKantar::ResynchronizeTimecode() {
  if (!g_pOstrel || !m_hEmbedder) return 2;
  return g_pOstrel->ResynchronizeTimecode(m_hEmbedder);
}

int CTarvelKantar::SetThreadCPUAffinity(uint64_t mask) {
  if (!g_pOstrel || !m_hEmbedder) return 2;
  return g_pOstrel->SetThreadCPUAffinity(m_hEmbedder, mask);
}

int CTarvelKantar::SetThreadPriority(int priority) {
  if (!g_pOstrel || !m_hEmbedder) return 2;
  return g_pOstrel->SetThreadPriority(m_hEmbedder, priority);
}
