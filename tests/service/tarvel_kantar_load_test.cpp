// Loading the wrapper: from the RUN directory, once, all fifteen functions or
// nothing at all.
#include "tarvel_kantar_fixture.h"

#include <objbase.h>

#include "support/child_process.h"
#include "support/fn_thread.h"
#include "support/temp_dir.h"

namespace {

// Folders of one test: the program's, RUN and the current directory.
struct LoadDirs {
  TestTempDir root;
  std::string exe = Make("exe"), run = Make("run"), cwd = Make("cwd");
  std::string Make(const char* name) {
    std::string dir = root.File(name);
    ::CreateDirectoryA(dir.c_str(), nullptr);
    return dir;
  }
};

bool CopyWrapper(const std::string& dir) {
  return CopyFileA((BinDir() + "\\ostrel.dll").c_str(), (dir + "\\ostrel.dll").c_str(), FALSE) &&
         CopyFileA((BinDir() + "\\SnapLiveAudioEmbedderSDK.dll").c_str(),
                   (dir + "\\SnapLiveAudioEmbedderSDK.dll").c_str(), FALSE);
}

// Runs the load helper copied into dirs.exe, with `run` as RUN and dirs.cwd as
// its current directory: 0 loaded, 1 not.
int RunHelper(const LoadDirs& dirs, const std::string& run) {
  testsupport::ChildProcess child;
  if (!child.Start(dirs.exe + "\\helper_tarvel_kantar_load.exe", "\"" + run + "\"", "", "", dirs.cwd))
    return testsupport::kChildFailed;
  return child.Wait(120000);
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
  // On a thread of its own, where nothing else initialises COM: once the
  // failed load has answered its CoInitialize, the thread's next one is the
  // first again (S_OK, not S_FALSE).
  bool loaded = true;
  HRESULT next = E_FAIL;
  FnThread loader([&](FnThread&) {
    loaded = CTarvelKantar::LoadLibrary((BinDir() + "\\ostrel_no_priority").c_str());
    next = CoInitialize(nullptr);
    if (SUCCEEDED(next)) CoUninitialize();
    return 0;
  });
  ASSERT_EQ(0, loader.Create(2));
  loader.Stop();
  EXPECT_FALSE(loaded);
  EXPECT_EQ(S_OK, next);
  EXPECT_FALSE(CTarvelKantar::IsLibraryLoaded());
  EXPECT_EQ(nullptr, GetModuleHandleA("ostrel.dll"));
  EXPECT_EQ(nullptr, GetModuleHandleA("SnapLiveAudioEmbedderSDK.dll"));
  RecordingKantar k;
  EXPECT_EQ(1, k.Create("a", "b"));
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
  LoadDirs dirs;
  ASSERT_TRUE(CopyFileA((BinDir() + "\\helper_tarvel_kantar_load.exe").c_str(),
                        (dirs.exe + "\\helper_tarvel_kantar_load.exe").c_str(), FALSE));
  ASSERT_TRUE(CopyWrapper(dirs.run));
  EXPECT_EQ(0, RunHelper(dirs, dirs.run));
  // RUN may be written relative to the current directory.
  EXPECT_EQ(0, RunHelper(dirs, "..\\run"));
  // Nothing in RUN nor beside the program: not loaded.
  EXPECT_EQ(1, RunHelper(dirs, dirs.cwd));
}

// When RUN holds no wrapper, only the program's own folder (and System32) is
// searched: a copy planted in the current directory is never loaded.
TEST(TarvelKantarLoad, FallbackSearchesTheProgramFolderButNotTheCurrentDirectory) {
  LoadDirs dirs;
  ASSERT_TRUE(CopyFileA((BinDir() + "\\helper_tarvel_kantar_load.exe").c_str(),
                        (dirs.exe + "\\helper_tarvel_kantar_load.exe").c_str(), FALSE));
  ASSERT_TRUE(CopyWrapper(dirs.cwd));
  EXPECT_EQ(1, RunHelper(dirs, dirs.run));
  ASSERT_TRUE(CopyWrapper(dirs.exe));
  EXPECT_EQ(0, RunHelper(dirs, dirs.run));
}
