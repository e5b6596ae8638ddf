// The production seam under Wine: a fake board interface registered in this
// prefix's registry is found through the real SetupDi calls (which fail on x64
// with the 32-bit record sizes), and opening it fails quietly because no
// kernel driver stands behind the path.
#include <gtest/gtest.h>

#include <string>

#include "support/log_capture.h"
#include "drivers/DriverPCI.h"
#include "drivers/DriverQBX.h"

namespace {

const char kGuid[] = "{9FB60060-C831-44F8-891E-40FF75BD73F3}";
const char kInstance[] = "ROOT\\PELORINTEST\\0000";
const char kLink[] = "\\\\?\\ROOT#PELORINTEST#0000#{9FB60060-C831-44F8-891E-40FF75BD73F3}";

bool SetString(const std::string& key, const char* name, const std::string& value) {
  HKEY k;
  if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                        nullptr) != 0)
    return false;
  LONG r = ::RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            DWORD(value.size() + 1));
  ::RegCloseKey(k);
  return r == 0;
}

bool SetDword(const std::string& key, const char* name, DWORD value) {
  HKEY k;
  if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                        nullptr) != 0)
    return false;
  LONG r = ::RegSetValueExA(k, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
  ::RegCloseKey(k);
  return r == 0;
}

class FakeInterface : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string classes = std::string("SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\") + kGuid;
    iface_ = classes + "\\##?#ROOT#PELORINTEST#0000#" + kGuid;
    enum_ = std::string("SYSTEM\\CurrentControlSet\\Enum\\") + kInstance;
    ASSERT_TRUE(SetString(enum_, "ClassGUID", "{4d36e96c-e325-11ce-bfc1-08002be10318}"));
    ASSERT_TRUE(SetString(iface_, "DeviceInstance", kInstance));
    ASSERT_TRUE(SetString(iface_ + "\\#", "SymbolicLink", kLink));
    ASSERT_TRUE(SetDword(iface_ + "\\#\\Control", "Linked", 1));
  }
  void TearDown() override {
    ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, iface_.c_str());
    ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, enum_.c_str());
    ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\ROOT\\PELORINTEST");
  }
  std::string iface_, enum_;
};

TEST_F(FakeInterface, RealSetupDiFindsTheBoardAndOpenFailsQuietly) {
  LogCapture log;
  CDriverQBX qbx;  // the first driver object enumerates both kinds
  ASSERT_EQ(1, qbx.GetBoardCount());
  EXPECT_EQ(0, CDriverOS::GetPathCount(kDriverKindPCI));
  EXPECT_EQ(0, _stricmp(kLink, CDriverOS::GetPath(kDriverKindQBX, 0).c_str()))
      << CDriverOS::GetPath(kDriverKindQBX, 0);
  EXPECT_FALSE(qbx.Open(0));
  const DWORD error = ::GetLastError();  // no kernel driver behind the path
  EXPECT_TRUE(error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND) << error;
  EXPECT_FALSE(log.Contains("No board found"));
  EXPECT_FALSE(log.Contains("FAILED"));
  // A second turn finds the same path again and appends nothing.
  EXPECT_TRUE(CDriverOS::InitDriver(kDriverKindQBX));
  EXPECT_EQ(1, qbx.GetBoardCount());
}

}  // namespace
