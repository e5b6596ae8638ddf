// Serial numbers, serial texts, flash banks and the DSP information block.
#include "drivers/DriverPCI.h"
#include "drivers/DriverQBX.h"
#include "sim_test_util.h"

namespace {

TEST(SerialPci, FallsBackToTheSecondRegister) {
  ASSERT_TRUE(sim::NewWorld(Boards("PCI", 1, "serial=0xFFFFFFFF\nserial188=0x00ABCDEF\n")));
  CDriverPCI pci;
  ASSERT_TRUE(pci.Open(0));
  EXPECT_EQ(0x00ABCDEFu, pci.GetSerialNumber());
  EXPECT_EQ("S/N 00.171.52719", pci.GetSerialNumberString());  // decimal fields, no text

  ASSERT_TRUE(sim::NewWorld(Boards("PCI", 1, "serial=0\nserial188=0xFFFFFFFF\n")));
  CDriverPCI unset;
  ASSERT_TRUE(unset.Open(0));
  EXPECT_EQ(0u, unset.GetSerialNumber());

  ASSERT_TRUE(sim::NewWorld(Boards("PCI", 1, "serial=0\nserial188=0x1234\n") +
                            "[sim]\nfault=read pos=0x7F000188 count=3 err=31\n"));
  CDriverPCI failing;
  ASSERT_TRUE(failing.Open(0));
  EXPECT_EQ(0u, failing.GetSerialNumber());
}

TEST(SerialPci, TextRules) {
  ASSERT_TRUE(sim::NewWorld(Boards("PCI", 1, "serial=0x01020304\nserial_text_hex=7F41424300\n")));
  CDriverPCI marked;
  ASSERT_TRUE(marked.Open(0));
  EXPECT_EQ("S/N 01.02.0772", marked.GetSerialNumberString());

  const std::string full = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
  ASSERT_TRUE(sim::NewWorld(Boards("PCI", 1, "serial=1\nserial_text=" + full + "\n")));
  CDriverPCI text;
  ASSERT_TRUE(text.Open(0));
  EXPECT_EQ(full, text.GetSerialNumberString());

  ASSERT_TRUE(sim::NewWorld(Boards("PCI", 1, "serial=1\nserial_text=abc\n") +
                            "[sim]\nfault=read pos=0x7F0001C0 count=3 err=31\n"));
  CDriverPCI unreadable;
  ASSERT_TRUE(unreadable.Open(0));
  EXPECT_EQ("", unreadable.GetSerialNumberString());
}

TEST(SerialQbx, MarkerDecidesTheNumber) {
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1, "serial=0xFFFFFFFF\ntrvl=1\n")));
  CDriverQBX set;
  ASSERT_TRUE(set.Open(0));
  EXPECT_EQ(0x01010001u, set.GetSerialNumber());
  EXPECT_EQ("S/N 01.01.0001", set.GetSerialNumberString());

  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1, "serial=0x12345678\ntrvl=0\n")));
  CDriverQBX none;
  ASSERT_TRUE(none.Open(0));
  EXPECT_EQ(0u, none.GetSerialNumber());
  EXPECT_EQ("S/N 00.00.0000", none.GetSerialNumberString());

  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1, "serial=0x00012345\n")));
  CDriverQBX real;
  ASSERT_TRUE(real.Open(0));
  EXPECT_EQ(0x00012345u, real.GetSerialNumber());
}

TEST(SerialQbx, TextComesFromTheCurrentBank) {
  ASSERT_TRUE(sim::NewWorld(
      Boards("QBX", 1, "serial=5\nserial_bank=0:previous:OLD\nserial_bank=1:current:QBX-12345\n")));
  CDriverQBX qbx;
  ASSERT_TRUE(qbx.Open(0));
  W().ClearTrace();
  EXPECT_EQ("QBX-12345", qbx.GetSerialNumberString());
  bool readAtBank1 = false;
  for (auto& e : TraceOf("read")) readAtBank1 |= e.pos == 0x384000 && e.len == 32;
  EXPECT_TRUE(readAtBank1);
  EXPECT_EQ(0x380000, qbx.FindFlashBank(false));
}

TEST(SerialQbx, NoValidBank) {
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1, "serial=7\nserial_bank=0:current:invalid:X\n")));
  CDriverQBX qbx;
  ASSERT_TRUE(qbx.Open(0));
  EXPECT_EQ(0x360000, qbx.FindFlashBank(true));
  EXPECT_EQ(-1, qbx.FindFlashBank(false));
  EXPECT_EQ("S/N 00.00.0007", qbx.GetSerialNumberString());
}

TEST(SerialQbx, StaticReadFailsWhileTheBoardIsHeld) {
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1, "serial=0x00012345\n")));
  CDriverQBX holder;
  ASSERT_TRUE(holder.Open(0));
  EXPECT_EQ(0u, CDriverQBX::ReadSerialNumber(0));
  EXPECT_EQ("", CDriverQBX::ReadSerialNumberString(0));
  holder.Close();
  EXPECT_EQ(0x00012345u, CDriverQBX::ReadSerialNumber(0));
  EXPECT_EQ("S/N 00.01.9029", CDriverQBX::ReadSerialNumberString(0));
  EXPECT_EQ(0, W().OpenHandles());
}

TEST(Banks, ChoiceOverEveryStateAndValidity) {
  const FlashBlockLayout& l = SerialBankLayout(kDriverKindQBX);
  const uint8_t states[3] = {l.current, l.previous, 0x42};
  for (uint8_t s0 : states)
    for (uint8_t s1 : states)
      for (int v = 0; v < 4; ++v) {
        const bool v0 = v & 1, v1 = v & 2;
        const int got = ChooseBank(s0, v0 ? l.endMarker : 0xFF, s1, v1 ? l.endMarker : 0x00, l);
        int want = -1;
        if (v0 && s0 == l.current)
          want = 0;
        else if (v0 && s0 == l.previous)
          want = (v1 && s1 == l.current) ? 1 : 0;
        else if (v1 && (s1 == l.current || s1 == l.previous))
          want = 1;
        EXPECT_EQ(want, got) << int(s0) << " " << int(s1) << " " << v;
      }
  // The three cases named for the serial banks.
  EXPECT_EQ(1, ChooseBank(0x05, 0x5E, 0xE5, 0x5E, l));
  EXPECT_EQ(1, ChooseBank(0xE5, 0x00, 0x05, 0x5E, l));
  EXPECT_EQ(-1, ChooseBank(0xE5, 0x00, 0xE5, 0x00, l));
  // DSP information uses its own markers.
  const FlashBlockLayout& d = DspInfoLayout(kDriverKindQBX);
  EXPECT_EQ(-1, ChooseBank(0xE5, 0x5E, 0xE5, 0x5E, d));
  EXPECT_EQ(0, ChooseBank(0xEB, 0xBE, 0xEB, 0xBE, d));
}

TEST(DspInfo, ReadsTheBlockAtTheSwappedPosition) {
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1, "dsp_info=0:current:00112233445566778899AABBCCDDEEFF\n")));
  CDriverQBX qbx;
  ASSERT_TRUE(qbx.Open(0));
  W().ClearTrace();
  CBufferBase<uint8_t> info = qbx.GetDSPXtraInfo();
  ASSERT_EQ(16u, info.GetLength());
  for (uint32_t i = 0; i < 16; ++i) EXPECT_EQ(uint8_t(i * 0x11), info[i]);
  EXPECT_EQ(0x321010u, TraceOf("read").back().pos);
}

TEST(DspInfo, ShortHeaderOrFailedReadGiveAnEmptyBuffer) {
  LogCapture log;
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1, "dsp_info=1:current:\n")));  // h3 = 16
  CDriverQBX empty;
  ASSERT_TRUE(empty.Open(0));
  EXPECT_EQ(0u, empty.GetDSPXtraInfo().GetLength());
  EXPECT_TRUE(log.Has("CDriverQBX::GetDSPXtraInfo failed\n"));

  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1, "dsp_info=0:current:0102030405060708\n") +
                            "[sim]\nfault=read pos=0x321010 count=3 err=31\n"));
  CDriverQBX failing;
  ASSERT_TRUE(failing.Open(0));
  EXPECT_EQ(0u, failing.GetDSPXtraInfo().GetLength());

  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1)));  // erased flash: no bank
  CDriverQBX blank;
  ASSERT_TRUE(blank.Open(0));
  EXPECT_EQ(0u, blank.GetDSPXtraInfo().GetLength());
}

TEST(DspInfo, LayoutHelperFeedsTheChannelLayoutInputs) {
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1, "dsps=4\nmask=0x06\nmask_source=flash\n")));
  CDriverQBX qbx;
  ASSERT_TRUE(qbx.Open(0));
  uint32_t r80 = 0, r76 = 0;
  ASSERT_TRUE(qbx.ReadRegB(80, &r80, 4));
  ASSERT_TRUE(qbx.ReadRegB(76, &r76, 4));
  EXPECT_EQ(0x44u, r80);
  EXPECT_EQ(0x06000606u, r76);
  CBufferBase<uint8_t> info = qbx.GetDSPXtraInfo();
  ASSERT_EQ(16u, info.GetLength());
  EXPECT_EQ(0xFF, info[0]);
  EXPECT_EQ(0x06, info[15]);
  EXPECT_NE(nullptr, W().Audio("b0", 3));
  EXPECT_EQ(nullptr, W().Audio("b0", 4));
}

}  // namespace
