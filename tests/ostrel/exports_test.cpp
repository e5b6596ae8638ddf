// The export table is the contract with a program built apart from ostrel:
// exactly fifteen plain names, fixed ordinals, and the SDK as an import.
#include "ostrel_fixture.h"

#include <cstdio>
#include <cstring>

namespace {

const char* const kExports[] = {
    "Ostrel_AddAudioBuffer",
    "Ostrel_CreateSnapLiveAudioEmbedder",
    "Ostrel_DestroySnapLiveAudioEmbedder",
    "Ostrel_EnableRecord",
    "Ostrel_Finalize",
    "Ostrel_GetChannelNameIDList",
    "Ostrel_GetChannelNameList",
    "Ostrel_GetVersion",
    "Ostrel_Initialize",
    "Ostrel_ResynchronizeTimecode",
    "Ostrel_SetBitsPerSample",
    "Ostrel_SetChannelName",
    "Ostrel_SetChannels",
    "Ostrel_SetThreadCPUAffinity",
    "Ostrel_SetThreadPriority",
};

std::string BinDir() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string s(path, n);
  return s.substr(0, s.find_last_of("\\/"));
}

// Reads a DLL from disk and walks its export and import directories.
struct PeFile {
  std::vector<uint8_t> data;
  const IMAGE_NT_HEADERS64* nt = nullptr;

  bool Load(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    uint8_t buf[65536];
    size_t r;
    while ((r = fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + r);
    fclose(f);
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(data.data());
    if (data.size() < sizeof *dos || dos->e_magic != IMAGE_DOS_SIGNATURE) return false;
    nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(data.data() + dos->e_lfanew);
    return nt->Signature == IMAGE_NT_SIGNATURE && nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC;
  }
  const uint8_t* At(DWORD rva) const {
    auto sec = IMAGE_FIRST_SECTION(nt);
    for (int i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++sec) {
      if (rva >= sec->VirtualAddress && rva < sec->VirtualAddress + sec->Misc.VirtualSize)
        return data.data() + sec->PointerToRawData + (rva - sec->VirtualAddress);
    }
    return nullptr;
  }
  // name -> ordinal, in the order of the name table
  std::vector<std::pair<std::string, int>> Exports() const {
    std::vector<std::pair<std::string, int>> out;
    DWORD rva = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress;
    if (!rva) return out;
    auto dir = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(At(rva));
    auto names = reinterpret_cast<const DWORD*>(At(dir->AddressOfNames));
    auto ords = reinterpret_cast<const WORD*>(At(dir->AddressOfNameOrdinals));
    for (DWORD i = 0; i < dir->NumberOfNames; ++i)
      out.emplace_back(reinterpret_cast<const char*>(At(names[i])), int(ords[i] + dir->Base));
    return out;
  }
  DWORD FunctionCount() const {
    DWORD rva = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress;
    return rva ? reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(At(rva))->NumberOfFunctions : 0;
  }
  std::vector<std::string> Imports() const {
    std::vector<std::string> out;
    DWORD rva = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    if (!rva) return out;
    for (auto d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(At(rva)); d->Name; ++d)
      out.push_back(reinterpret_cast<const char*>(At(d->Name)));
    return out;
  }
};

}  // namespace

TEST(OstrelExports, ExactlyFifteenPlainNamesWithOrdinalsOneToFifteen) {
  PeFile pe;
  ASSERT_TRUE(pe.Load(BinDir() + "\\ostrel.dll"));
  auto exports = pe.Exports();
  ASSERT_EQ(15u, exports.size());
  EXPECT_EQ(15u, pe.FunctionCount());
  for (size_t i = 0; i < 15; ++i) {
    EXPECT_EQ(kExports[i], exports[i].first);
    EXPECT_EQ(int(i + 1), exports[i].second) << kExports[i];
  }
}

TEST(OstrelExports, ImportsTheSdkByItsFileName) {
  PeFile pe;
  ASSERT_TRUE(pe.Load(BinDir() + "\\ostrel.dll"));
  bool found = false;
  for (auto& n : pe.Imports()) found |= _stricmp(n.c_str(), "SnapLiveAudioEmbedderSDK.dll") == 0;
  EXPECT_TRUE(found);
}

TEST(OstrelExports, OrdinalEightIsGetVersion) {
  HMODULE m = GetModuleHandleA("ostrel.dll");
  ASSERT_NE(nullptr, m);
  FARPROC byOrdinal = GetProcAddress(m, MAKEINTRESOURCEA(8));
  ASSERT_NE(nullptr, byOrdinal);
  EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(m, "Ostrel_GetVersion")),
            reinterpret_cast<void*>(byOrdinal));
  typedef const char* (*Fn)();
  EXPECT_STREQ("5.2.1 stand-in", reinterpret_cast<Fn>(reinterpret_cast<void*>(byOrdinal))());
}

// The test variant stands for a wrapper from a mismatched build.
TEST(OstrelExports, TestVariantLacksOnlySetThreadPriority) {
  PeFile pe;
  ASSERT_TRUE(pe.Load(BinDir() + "\\ostrel_no_priority\\ostrel.dll"));
  auto exports = pe.Exports();
  ASSERT_EQ(14u, exports.size());
  for (size_t i = 0; i < 14; ++i) EXPECT_EQ(kExports[i], exports[i].first);
}
