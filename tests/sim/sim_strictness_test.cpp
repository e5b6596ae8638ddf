// The simulated driver rejects what Windows and the real driver reject, so
// that a wrong call in the driver code fails its test instead of reading zeros.
#include <cstddef>

#include "drivers/DriverQBX.h"
#include "sim_test_util.h"

namespace {

const GUID kQbx = {0x9FB60060, 0xC831, 0x44F8, {0x89, 0x1E, 0x40, 0xFF, 0x75, 0xBD, 0x73, 0xF3}};

TEST(SimSetupDi, RecordSizesOfA32BitProcessAreRefused) {
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1)));
  HDEVINFO set = W().GetClassDevs(&kQbx, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(INVALID_HANDLE_VALUE, set);
  SP_DEVICE_INTERFACE_DATA iface = {};
  iface.cbSize = 28;
  EXPECT_FALSE(W().EnumDeviceInterfaces(set, &kQbx, 0, &iface));
  EXPECT_EQ(87u, ::GetLastError());
  iface.cbSize = sizeof(iface);
  ASSERT_TRUE(W().EnumDeviceInterfaces(set, &kQbx, 0, &iface));
  EXPECT_EQ(DWORD(SPINT_ACTIVE), iface.Flags);

  DWORD required = 0;
  EXPECT_FALSE(W().GetDeviceInterfaceDetail(set, &iface, nullptr, 0, &required));
  EXPECT_EQ(122u, ::GetLastError());
  const std::string& path = W().FindBoard("b0")->path;
  EXPECT_EQ(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1, required);
  std::vector<char> buffer(required);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
  detail->cbSize = 5;
  EXPECT_FALSE(W().GetDeviceInterfaceDetail(set, &iface, detail, required, nullptr));
  EXPECT_EQ(1784u, ::GetLastError());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  EXPECT_FALSE(W().GetDeviceInterfaceDetail(set, &iface, detail, required - 1, nullptr));
  EXPECT_EQ(122u, ::GetLastError());
  ASSERT_TRUE(W().GetDeviceInterfaceDetail(set, &iface, detail, required, nullptr));
  EXPECT_EQ(path, detail->DevicePath);

  EXPECT_FALSE(W().EnumDeviceInterfaces(set, &kQbx, 1, &iface));
  EXPECT_EQ(259u, ::GetLastError());
  EXPECT_TRUE(W().DestroyDeviceInfoList(set));
  EXPECT_FALSE(W().DestroyDeviceInfoList(set));
}

TEST(SimFiles, NamesAndFlagsAreChecked) {
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1, "dsps=2\nmask=3\n")));
  const std::string path = W().FindBoard("b0")->path;
  const DWORD rw = GENERIC_READ | GENERIC_WRITE;
  struct Case {
    std::string name;
    DWORD access, share, disposition, flags, error;
  } cases[] = {
      {path + "\\driver", rw, 0, OPEN_EXISTING, 0, 2},  // names are case-exact
      {path + "\\Driver", GENERIC_READ, 0, OPEN_EXISTING, 0, 5},
      {path + "\\Driver", rw, FILE_SHARE_READ, OPEN_EXISTING, 0, 87},
      {path + "\\Driver", rw, 0, OPEN_ALWAYS, 0, 87},
      {path + "\\Driver", rw, 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, 87},
      {path + "\\asio2", rw, 0, OPEN_EXISTING, 0, 2},     // two devices only
      {path + "\\\\Driver", rw, 0, OPEN_EXISTING, 0, 3},  // a doubled backslash
      {"\\\\?\\pci#nothing\\Driver", rw, 0, OPEN_EXISTING, 0, 3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(INVALID_HANDLE_VALUE, W().CreateFile(c.name.c_str(), c.access, c.share, c.disposition, c.flags))
        << c.name;
    EXPECT_EQ(c.error, ::GetLastError()) << c.name;
  }
  HANDLE h = W().CreateFile((path + "\\asio1").c_str(), rw, 0, OPEN_EXISTING, 0);
  EXPECT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(INVALID_HANDLE_VALUE, W().CreateFile((path + "\\asio1").c_str(), rw, 0, OPEN_EXISTING, 0));
  EXPECT_EQ(32u, ::GetLastError());
  EXPECT_TRUE(W().CloseHandle(h));
  EXPECT_FALSE(W().CloseHandle(h));
  EXPECT_EQ(6u, ::GetLastError());
}

TEST(SimFiles, UnpluggedBoardAnswersDeviceNotConnected) {
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1)));
  CDriverQBX qbx;
  ASSERT_TRUE(qbx.Open(0));
  uint32_t v = 0;
  ASSERT_TRUE(qbx.ReadRegB(0x80, &v, 4));
  W().Unplug("b0");
  EXPECT_FALSE(qbx.ReadRegB(0x80, &v, 4));
  EXPECT_EQ(1167u, TraceOf("read").back().error);
  qbx.Close();
  EXPECT_FALSE(qbx.Open(0));
  EXPECT_EQ(1167u, TraceOf("open").back().error);
  W().Replug("b0");
  ASSERT_TRUE(qbx.Open(0));
  EXPECT_TRUE(qbx.ReadRegB(0x80, &v, 4));
}

TEST(SimFiles, FullResetKillsTheBoardUntilReboot) {
  ASSERT_TRUE(sim::NewWorld(Boards("QBX", 1, "logic_version=0x10000\n")));
  CDriverQBX qbx;
  ASSERT_TRUE(qbx.Open(0));
  ASSERT_TRUE(qbx.ResetDSP(false));
  uint32_t v = 0;
  EXPECT_FALSE(qbx.ReadRegB(0x80, &v, 4));
  EXPECT_EQ(31u, TraceOf("read").back().error);
  W().Reboot("b0");
  EXPECT_TRUE(qbx.ReadRegB(0x80, &v, 4));
}

TEST(SimDescription, BadLinesAreRefused) {
  std::string error;
  EXPECT_FALSE(W().LoadText("[board a]\nkind=QBX\nno_such_key=1\n", &error));
  EXPECT_NE(std::string::npos, error.find("no_such_key"));
  EXPECT_FALSE(W().LoadText("[sim]\nfault=read frobnicate=1 err=5\n", &error));
  EXPECT_FALSE(W().LoadText("[sim]\nfault=read pos=0x10\n", &error));  // no effect
  EXPECT_TRUE(
      W().LoadText("[sim]\nclock=virtual ; comment\n[board a]\nkind=QBX\n"
                   "fault=ioctl switch at=500 err=299\n",
                   &error))
      << error;
}

}  // namespace
