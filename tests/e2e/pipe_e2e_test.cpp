// The control pipe of the running program, as a client sees it through
// pelclient: each request's reply bytes, the tool's exit codes, a board
// switched into the upgrade state and back, and the two ways a client stops
// the program.
#include <gtest/gtest.h>

#include <string>

#include "e2e/program_run.h"
#include "tools/pelclient_run.h"

namespace {

using testsupport::ChildProcess;

const char kBoard[] =
    "[board qbx]\r\nkind=QBX\r\nserial=0x00C0DE01\r\ntrvl=1\r\nserial_bank=0:current:QBX-C0DE01\r\n"
    "driver_version=2.3.4\r\nfeature=2\r\ndsps=2\r\nmask=0x03\r\ninput=counter\r\n";

// "SN00C0DE01", the board's name in requests 13, 16 and 17.
const char kBoardNameHex[] = "534E3030433044453031";
const char kBoardNameBytes[] = "53 4E 30 30 43 30 44 45 30 31";

class ControlPipe : public ProgramRunTest {
 protected:
  // Running, answering on its pipe, and with the board's thread started
  // (its block exists), so that requests naming the board find it.
  void StartProgram() {
    Prepare(kBoard);
    ASSERT_TRUE(Start(m_program, "", "run"));
    ASSERT_TRUE(WaitLog("Running Watermark Server ...", kStartMs)) << Story("run");
    ASSERT_TRUE(WaitUntil([] { return Pelclient("pipe 5A15").code == 0; }, kStartMs)) << Story("run");
    ASSERT_TRUE(WaitUntil([] { return Pelclient("exists PELORIN_00C0DE01").code == 0; }, kStartMs))
        << Story("run");
  }

  std::string FirstCopy() { return ConfigDir("00C0DE01") + "\\watermark_config.xml.1"; }

  // After a client's stop: an orderly end, the board saved by its stop (on a
  // first start with nothing changed, no copy exists before), and no pipe
  // left behind it.
  void ExpectOrderlyEnd() {
    EXPECT_EQ(0, m_program.Wait(kEndMs)) << Story("run");
    const std::string log = Log();
    EXPECT_TRUE(Has(log, "Watermark Server stopped...")) << Story("run");
    EXPECT_FALSE(Has(log, "Server is not responding")) << Story("run");
    EXPECT_EQ(2, Pelclient("--timeout 500 pipe 5A0C").code);
    const std::string xml = testsupport::ReadBytes(FirstCopy());
    EXPECT_TRUE(Has(xml, "<ch1 enable=\"false\" watermarking_channel=\"0\" />")) << xml << Story("run");
    EXPECT_TRUE(Has(xml, "<ch2 enable=\"false\" watermarking_channel=\"0\" />")) << xml << Story("run");
  }

  ChildProcess m_program;
};

TEST_F(ControlPipe, EachRequestIsAnsweredWithItsBytes) {
  StartProgram();
  struct Case {
    const char* request;
    const char* reply;
  } cases[] = {
      {"5A0C",
       "reply 32: 5A 0C 77 61 74 65 72 6D 61 72 6B 3B 57 61 74 65 72 6D 61 72 6B 3B 30 31 2E 30 30 2E 30 "
       "30 31 34\n"},
      // The board's block: its size (0x4400, low byte first) and its name.
      {"5A0D534E3030433044453031",
       "reply 22: 5A 0D 00 44 00 00 50 45 4C 4F 52 49 4E 5F 30 30 43 30 44 45 30 31\n"},
      // A board name in lower case, or one byte short or long, names no board.
      {"5A0D736E3030433044453031", "reply 2: 5A 0D\n"},
      {"5A0D534E30304330444530", "reply 2: 5A 0D\n"},
      {"5A0D534E303043304445303131", "reply 2: 5A 0D\n"},
      {"5A30", "reply 5: 0E 01 00 5A 30\n"},
      {"5A", "reply 5: 0E 01 00 5A 00\n"},
      {"5A1234", "reply 6: 0E 01 00 5A 12 34\n"},
      {"5A1201000000", "reply 2: 5A 12\n"},
      {"5A15", "reply 2: 5A 15\n"},
  };
  for (const Case& c : cases) {
    ToolRun r = Pelclient(std::string("pipe ") + c.request);
    EXPECT_EQ(0, r.code) << c.request << " " << r.err;
    EXPECT_EQ(c.reply, r.out) << c.request;
  }
  const std::string products = m_run + "\\Products\\Watermark";
  EXPECT_EQ("reply " + std::to_string(2 + products.size()) + ": 5A 0E " + HexBytes(products) + "\n",
            Pelclient("pipe 5A0E").out);
  const DWORD pid = m_program.Pid();
  const std::string pidBytes(reinterpret_cast<const char*>(&pid), 4);
  EXPECT_EQ("reply 6: 5A 0F " + HexBytes(pidBytes) + "\n", Pelclient("pipe 5A0F").out);
  // Request 11 has no reply: a client that waits for one gets none.
  EXPECT_EQ(3, Pelclient("--replies 1 --timeout 2000 pipe 5A0B").code);
  EXPECT_EQ(0, Pelclient("pipe 5A0C").code);
  EXPECT_TRUE(m_program.IsRunning());
}

// The board's channel count as its block shows it.
bool WaitForChannels(const std::string& count) {
  return WaitUntil(
      [&] { return Has(Pelclient("shm-dump PELORIN_00C0DE01").out, "channels " + count + "\n"); }, kEventMs);
}

TEST_F(ControlPipe, TheBoardEntersAndLeavesTheUpgradeState) {
  StartProgram();
  ASSERT_TRUE(WaitForChannels("2")) << Story("run");

  ToolRun r = Pelclient(std::string("pipe 5A1000") + kBoardNameHex);
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_EQ(std::string("reply 12: 5A 10 ") + kBoardNameBytes + "\n", r.out);
  for (const char* line : {"00C0DE01: Upgrade started", "SN00C0DE01: Entering upgrade state !",
                           "Watermark: Entering upgrade state !"})
    EXPECT_TRUE(WaitLog(line)) << line << Story("run");
  // In the upgrade state the board runs no channel.
  EXPECT_TRUE(WaitForChannels("0")) << Story("run");
  EXPECT_FALSE(Has(Log(), "Upgrade ended")) << Story("run");

  r = Pelclient(std::string("pipe 5A1101") + kBoardNameHex);
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_EQ(std::string("reply 12: 5A 11 ") + kBoardNameBytes + "\n", r.out);
  for (const char* line : {"00C0DE01: Upgrade ended", "Watermark: Leaving upgrade state !"})
    EXPECT_TRUE(WaitLog(line)) << line << Story("run");
  EXPECT_TRUE(WaitForChannels("2")) << Story("run");
  EXPECT_TRUE(m_program.IsRunning());
}

TEST_F(ControlPipe, RequestTwentyStopsTheProgramInOrder) {
  StartProgram();
  ASSERT_FALSE(testsupport::PathExists(FirstCopy()));
  ToolRun r = Pelclient("--until-close pipe 5A14");
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_EQ(0u, r.out.find("reply 2: 5A 13\n")) << r.out;
  EXPECT_TRUE(r.out.size() >= 7 && r.out.compare(r.out.size() - 7, 7, "closed\n") == 0) << r.out;
  ExpectOrderlyEnd();
}

TEST_F(ControlPipe, TheStopCommandStopsTheProgramInOrder) {
  StartProgram();
  ASSERT_FALSE(testsupport::PathExists(FirstCopy()));
  EXPECT_EQ(0, Pelclient("stop").code);
  ExpectOrderlyEnd();
}

}  // namespace
