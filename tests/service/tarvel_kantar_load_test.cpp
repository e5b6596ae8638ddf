// Loading the wrapper: from the RUN directory, once, all fifteen functions or
// nothing at all.
#include "tarvel_kantar_fixture.h"

#include <cstdio>

namespace {

std::string MakeTempDir(const char* tag) {
  char base[MAX_PATH];
  GetTempPathA(MAX_PATH, base);
  char dir[MAX_PATH];
  snprintf(dir, sizeof dir, "%spelorin_tk_%s_%lu", base, tag, GetCurrentProcessId());
  CreateDirectoryA(dir, nullptr);
  return dir;
}

void RemoveTree(const std::string& dir, const std::vector<const char*>& files) {
  for (const char* f : files) DeleteFileA((dir + "\\" + f).c_str());
  RemoveDirectoryA(dir.c_str());
}

// Runs the load helper from exeDir with cwd as its current directory.
DWORD RunHelper(const std::string& exeDir, const std::string& run, const std::string& cwd) {
  std::string exe = exeDir + "\\helper_tarvel_kantar_load.exe";
  std::string cmd = "\"" + exe + "\" \"" + run + "\"";
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, cwd.c_str(), &si, &pi))
    return 0xFFFFFFFF;
  DWORD code = 0xFFFFFFFE;
  if (WaitForSingleObject(pi.hProcess, 120000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return code;
}

}  // namespace

TEST(TarvelKantarLoad, LoadsFromTheDirectoryAndReadsTheVersionNumber) {
  ASSERT_TRUE(CTarvelKantar::LoadLibrary(BinDir().c_str()));
  EXPECT_TRUE(CTarvelKantar::IsLibraryLoaded());
  EXPECT_EQ(5, CTarvelKantar::GetLibraryVersionNumber());
  EXPECT_EQ("5.2.1 stand-in", CTarvelKantar::GetLibraryVersion());
  HMODULE module = GetModuleHandleA("ostrel.dll");
  EXPECT_NE(nullptr, module);

  // A second load is a no-op: one FreeLibrary must then release the module.
  EXPECT_TRUE(CTarvelKantar::LoadLibrary("C:\\nowhere"));
  EXPECT_EQ(module, GetModuleHandleA("ostrel.dll"));
  CTarvelKantar::UnloadLibrary();
  EXPECT_FALSE(CTarvelKantar::IsLibraryLoaded());
  EXPECT_EQ(nullptr, GetModuleHandleA("ostrel.dll"));
  EXPECT_EQ("", CTarvelKantar::GetLibraryVersion());
  EXPECT_EQ(0, CTarvelKantar::GetLibraryVersionNumber());
}

TEST(TarvelKantarLoad, WrapperLackingOneFunctionIsNotLoadedAndReleased) {
  ASSERT_EQ(nullptr, GetModuleHandleA("ostrel.dll"));
  EXPECT_FALSE(CTarvelKantar::LoadLibrary((BinDir() + "\\ostrel_no_priority").c_str()));
  EXPECT_FALSE(CTarvelKantar::IsLibraryLoaded());
  EXPECT_EQ(nullptr, GetModuleHandleA("ostrel.dll"));
  EXPECT_EQ(nullptr, GetModuleHandleA("SnapLiveAudioEmbedderSDK.dll"));
  RecordingKantar k;
  EXPECT_EQ(1, k.Create("a", "b"));
  CTarvelKantar::UnloadLibrary();  // balances the CoInitialize
}

TEST(TarvelKantarLoad, NullVersionTextCountsAsEmpty) {
  // Configure the stand-in before ostrel pulls in the same module.
  HMODULE sdk = LoadLibraryA((BinDir() + "\\SnapLiveAudioEmbedderSDK.dll").c_str());
  ASSERT_NE(nullptr, sdk);
  Stub stub;
  ASSERT_TRUE(stub.Bind());
  stub.Configure("version_null=1");
  ASSERT_TRUE(CTarvelKantar::LoadLibrary(BinDir().c_str()));
  EXPECT_EQ(0, CTarvelKantar::GetLibraryVersionNumber());
  EXPECT_EQ("", CTarvelKantar::GetLibraryVersion());
  stub.Configure("version=12.4b");
  EXPECT_EQ("12.4b", CTarvelKantar::GetLibraryVersion());
  CTarvelKantar::UnloadLibrary();
  stub.Reset();
  FreeLibrary(sdk);
}

// RUN is neither the program's directory nor the current one: the SDK beside
// ostrel.dll must still be found.
TEST(TarvelKantarLoad, LoadsFromARunDirectoryElsewhere) {
  std::string exeDir = MakeTempDir("exe"), runDir = MakeTempDir("run"), cwd = MakeTempDir("cwd");
  ASSERT_TRUE(CopyFileA((BinDir() + "\\helper_tarvel_kantar_load.exe").c_str(),
                        (exeDir + "\\helper_tarvel_kantar_load.exe").c_str(), FALSE));
  ASSERT_TRUE(CopyFileA((BinDir() + "\\ostrel.dll").c_str(), (runDir + "\\ostrel.dll").c_str(), FALSE));
  ASSERT_TRUE(CopyFileA((BinDir() + "\\SnapLiveAudioEmbedderSDK.dll").c_str(),
                        (runDir + "\\SnapLiveAudioEmbedderSDK.dll").c_str(), FALSE));
  EXPECT_EQ(0u, RunHelper(exeDir, runDir, cwd));
  // RUN may be written relative to the current directory.
  EXPECT_EQ(0u, RunHelper(exeDir, "..\\" + runDir.substr(runDir.find_last_of('\\') + 1), cwd));
  // Nothing anywhere on the search path: not loaded.
  EXPECT_EQ(1u, RunHelper(exeDir, cwd, cwd));
  RemoveTree(exeDir, {"helper_tarvel_kantar_load.exe"});
  RemoveTree(runDir, {"ostrel.dll", "SnapLiveAudioEmbedderSDK.dll"});
  RemoveTree(cwd, {});
}
