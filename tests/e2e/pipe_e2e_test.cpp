// The control pipe of the running program, as a client sees it through
// pelclient: each request's reply bytes, the tool's exit codes, and the two
// ways a client stops the program.
#include <gtest/gtest.h>

#include <string>

#include "e2e/program_run.h"
#include "tools/pelclient_run.h"

namespace {

using testsupport::ChildProcess;

const char kBoard[] =
    "[board qbx]\r\nkind=QBX\r\nserial=0x00C0DE01\r\ntrvl=1\r\nserial_bank=0:current:QBX-C0DE01\r\n"
    "driver_version=2.3.4\r\nfeature=2\r\ndsps=2\r\nmask=0x03\r\ninput=counter\r\n";

class ControlPipe : public ProgramRunTest {
 protected:
  void StartProgram() {
    Prepare(kBoard);
    ASSERT_TRUE(Start(m_program, "", "run"));
    ASSERT_TRUE(WaitLog("Running Watermark Server ...", kStartMs)) << Story("run");
    ASSERT_TRUE(WaitUntil([] { return Pelclient("pipe 5A15").code == 0; }, kStartMs)) << Story("run");
  }

  // After a client's stop: an orderly end, and no pipe left behind it.
  void ExpectOrderlyEnd() {
    EXPECT_EQ(0, m_program.Wait(kEndMs)) << Story("run");
    const std::string log = Log();
    EXPECT_TRUE(Has(log, "Watermark Server stopped...")) << Story("run");
    EXPECT_FALSE(Has(log, "Server is not responding")) << Story("run");
    EXPECT_EQ(2, Pelclient("--timeout 500 pipe 5A0C").code);
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

TEST_F(ControlPipe, RequestTwentyStopsTheProgramInOrder) {
  StartProgram();
  ToolRun r = Pelclient("--until-close pipe 5A14");
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_EQ(0u, r.out.find("reply 2: 5A 13\n")) << r.out;
  EXPECT_TRUE(r.out.size() >= 7 && r.out.compare(r.out.size() - 7, 7, "closed\n") == 0) << r.out;
  ExpectOrderlyEnd();
}

TEST_F(ControlPipe, TheStopCommandStopsTheProgramInOrder) {
  StartProgram();
  EXPECT_EQ(0, Pelclient("stop").code);
  ExpectOrderlyEnd();
}

}  // namespace
