// The binding's own results (no library, no handle, finalise without
// initialise) and the texts of the SDK's result codes.
#include "tarvel_kantar_fixture.h"

TEST(TarvelKantarCodes, WithoutTheLibraryCreateAndDestroyGiveOneTheOthersTwo) {
  ASSERT_FALSE(CTarvelKantar::IsLibraryLoaded());
  RecordingKantar k;
  const char* const* names = nullptr;
  const uint32_t* ids = nullptr;
  int count = 0;
  int32_t frame[2] = {0, 0};
  EXPECT_EQ(1, k.Create("a", "b"));
  EXPECT_EQ(1, k.Destroy());
  EXPECT_EQ(2, k.SetBitsPerSample(32));
  EXPECT_EQ(2, k.SetChannels(2));
  EXPECT_EQ(2, k.GetChannelNameList(&names, &count));
  EXPECT_EQ(2, k.GetChannelNameIDList(&names, &ids, &count));
  EXPECT_EQ(2, k.SetChannelName("STANDIN_A"));
  EXPECT_EQ(2, k.Initialize());
  EXPECT_EQ(2, k.Finalize());
  EXPECT_EQ(2, k.AddAudioBuffer(frame, sizeof frame, nullptr));
  EXPECT_EQ(2, k.EnableRecord("C:\\"));
  EXPECT_EQ(2, k.ResynchronizeTimecode());
  EXPECT_EQ(2, k.SetThreadCPUAffinity(1));
  EXPECT_EQ(2, k.SetThreadPriority(2));
  EXPECT_FALSE(k.IsCreated());
  EXPECT_FALSE(k.IsInitialized());
  EXPECT_EQ("", CTarvelKantar::GetLibraryVersion());
}

TEST_F(KantarLoaded, WithoutAHandleEverythingGivesTwoAndCallsNothing) {
  RecordingKantar k;
  int32_t frame[2] = {0, 0};
  EXPECT_EQ(2, k.Destroy());
  EXPECT_EQ(2, k.SetBitsPerSample(32));
  EXPECT_EQ(2, k.Initialize());
  EXPECT_EQ(2, k.Finalize());
  EXPECT_EQ(2, k.AddAudioBuffer(frame, sizeof frame, nullptr));
  EXPECT_EQ(2, k.ResynchronizeTimecode());
  EXPECT_EQ(2, k.SetThreadPriority(2));
  EXPECT_EQ(0, stub.Stats().calls);
}

TEST_F(KantarLoaded, FinalizeBeforeInitializeGivesTwentyOneWithoutACall) {
  RecordingKantar k;
  ASSERT_EQ(0, k.Create("a", "b"));
  EXPECT_TRUE(k.IsCreated());
  EXPECT_EQ(21, k.Finalize());
  EXPECT_EQ(std::string::npos, stub.Trace().find("Finalize("));
  EXPECT_EQ(0, k.Destroy());
  EXPECT_FALSE(k.IsCreated());
  EXPECT_EQ(2, k.Destroy());
}

TEST_F(KantarLoaded, FailedInitializeLeavesItNotInitialised) {
  stub.Configure("init_result=23");
  RecordingKantar k;
  EXPECT_EQ(23, k.StartMarking());
  EXPECT_TRUE(k.IsCreated());
  EXPECT_FALSE(k.IsInitialized());
  EXPECT_EQ(21, k.Finalize());
  EXPECT_EQ(0, stub.Stats().finalizes);
}

TEST_F(KantarLoaded, FinalizeClearsInitialisedEvenWhenItFails) {
  RecordingKantar k;
  ASSERT_EQ(0, k.StartMarking());
  EXPECT_TRUE(k.IsInitialized());
  EXPECT_EQ(0, k.Finalize());
  EXPECT_FALSE(k.IsInitialized());
  EXPECT_EQ(21, k.Finalize());
  EXPECT_EQ(1, stub.Stats().finalizes);
}

TEST(TarvelKantarCodes, EverySdkCodeHasItsText) {
  const struct {
    int code;
    const char* text;
  } table[] = {
      {0, "Success code. No error returned"},
      {1, "An undefined error occurred"},
      {2, "A NULL pointer has been provided"},
      {3, "An empty parameter has been provided"},
      {4, "The object pointer provided is not of the correct type"},
      {5, "Memory Allocation error - System cannot allocate memory"},
      {6, "An internal error occurred"},
      {7, "Thread policy set is invalid"},
      {8, "Thread priority set is invalid"},
      {9, "Insufficient rights to perform operation"},
      {20, "Listener provided is a NULL pointer"},
      {21, "Embedder has not already been initialized"},
      {22, "Embedder has already been initialized"},
      {23, "Embedder parameters have not been initialized"},
      {24, "Bits per sample value provided is invalid - bits per sample value shall be either 16, 24 or 32"},
      {25, "Number of audio channels provided is invalid - This shall be greater than 0"},
      {26, "A buffer whose size is not a factor of sample size has been provided"},
      {27, "Some settings are not provided for embedder initialization"},
      {28, "Watermarking technology is invalid"},
      {29, "File duration is invalid"},
      {60, "SyncNow payload configuration is invalid"},
      {61, "The payload ID value provided is invalid"},
      {62, "The payload Timecode value provided is invalid"},
      {63,
       "The watermark delta strength value provided is invalid. 0 (very low), 1 (low), 2 (medium), 3 (high), "
       "4 "
       "(very high)"},
      {64, "Watermark duration is lower than payload duration"},
      {65, "Timecode looped while embedding"},
      {81, "The time resynchronization feature is not allowed"},
      {82, "All Ids for this channel name are already locked"},
      {100, "Input/Output error for recording option. Check if directory exists, or if rights are granted"},
      {110,
       "Do not use SetMetadataFilePath along with SetUniqueContentId, SetChannelName or SetMetadataList"},
      {111, "Error on metadata file"},
      {112, "Maximum 7 metadata can be added"},
      {120, "Log manager error"},
  };
  ASSERT_EQ(33u, sizeof table / sizeof table[0]);
  for (const auto& e : table) EXPECT_EQ(e.text, CTarvelKantar::GetErrorString(e.code)) << e.code;
}

TEST(TarvelKantarCodes, OtherCodesAreUnknown) {
  for (int code : {10, 11, 19, 30, 59, 66, 80, 83, 99, 101, 109, 113, 121, -1, -2147483647 - 1})
    EXPECT_EQ("Unknown", CTarvelKantar::GetErrorString(code)) << code;
}
