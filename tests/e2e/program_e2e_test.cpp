// The program's start-up, supervision and ways to stop, run as the real
// program on simulated boards: without boards or embedder, a server that
// stops turning, a stop that never ends and one that outlasts the liveness
// limit, a second instance and --kill.
#include <gtest/gtest.h>

#include <string>

#include "e2e/program_run.h"
#include "support/pid_record.h"
#include "tools/pelclient_run.h"

namespace {

using testsupport::ChildProcess;

class WholeProgram : public ProgramRunTest {};

const char kQbxBoard[] =
    "[board qbx]\r\nkind=QBX\r\nserial=0x0000ABCD\r\ntrvl=1\r\nserial_bank=0:current:QBX-ABCD\r\n"
    "driver_version=2.3.4\r\nfeature=2\r\ndsps=2\r\nmask=0x03\r\ninput=counter\r\n";

// A board configuration with elements ch1 to ch8, ch1 enabled.
std::string LoadFile() {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\r\n"
      "<config version=\"1.0.14\" latency=\"512\">\r\n";
  for (int ch = 1; ch <= 8; ++ch)
    xml += "    <ch" + std::to_string(ch) + " enable=\"" + (ch == 1 ? "true" : "false") +
           "\" watermarking_channel=\"0\" />\r\n";
  xml += "</config>\r\n";
  return xml;
}

TEST_F(WholeProgram, WithoutBoardsOrEmbedderItRunsAndStopsOnCtrlC) {
  // The board comes only when plugged; without the embedder its channel
  // cannot mark.
  Prepare(std::string(kQbxBoard) + "plugged=0\r\n", false);
  ChildProcess program;
  ASSERT_TRUE(StartStoppable(program, "", "run"));
  ASSERT_TRUE(WaitLog("Watermark Server: no board found !", kStartMs)) << Story("run");
  EXPECT_TRUE(Has(Log(), "KANTAR: dynamic library not found, so disabled")) << Story("run");
  ToolRun product = Pelclient("pipe 5A0C");
  EXPECT_EQ(0, product.code) << product.err;
  EXPECT_TRUE(
      Has(product.out,
          "77 61 74 65 72 6D 61 72 6B 3B 57 61 74 65 72 6D 61 72 6B 3B 30 31 2E 30 30 2E 30 30 31 34"))
      << product.out;  // "watermark;Watermark;01.00.0014"
  const DWORD pid = program.Pid();
  EXPECT_EQ("reply 6: 5A 0F " + HexBytes(std::string(reinterpret_cast<const char*>(&pid), 4)) + "\n",
            Pelclient("pipe 5A0F").out);
  EXPECT_EQ(0, Pelclient("exists PELORIN_server").code);
  EXPECT_EQ(4, Pelclient("exists PELORIN_0000ABCD").code);
  for (const char* d : {"", "\\cfg\\Watermark", "\\Products\\Watermark", "\\log"})
    EXPECT_TRUE(testsupport::PathExists(m_run + d)) << d;

  Control("plug qbx");
  ASSERT_TRUE(WaitLog("Watermark Server: starting board 0000ABCD")) << Story("run");
  {
    // Every scan before the plug logged the same line: one fold line stands for them.
    const std::string log = Log();
    const size_t none = log.find("Watermark Server: no board found !");
    const size_t fold = log.find("... (previous message repeated ", none);
    EXPECT_LT(fold, log.find("Watermark Server: starting board 0000ABCD")) << Story("run");
  }
  ASSERT_TRUE(WaitUntil([] { return Pelclient("board-status 0000ABCD").code == 0; }, kEventMs, 200))
      << Story("run");
  EXPECT_EQ(0, Pelclient("channel-set 0000ABCD 1 1 0").code);
  // Status 6, the library bit 0x02 clear and the alarm 0x04 set.
  std::string status;
  EXPECT_TRUE(WaitUntil(
      [&] {
        status = Pelclient("board-status 0000ABCD").out;
        return Has(status, "ch1 status=6 \"NOT SUPPORTED\"");
      },
      kEventMs, 200))
      << status << Story("run");
  const size_t bits = status.find("bits=0x", status.find("ch1 status="));
  ASSERT_NE(std::string::npos, bits) << status;
  const unsigned value = std::stoul(status.substr(bits + 7, 2), nullptr, 16);
  EXPECT_EQ(0u, value & 0x02) << status;
  EXPECT_EQ(0x04u, value & 0x04) << status;

  Stop();
  EXPECT_EQ(0, program.Wait(kEndMs)) << Story("run");
  EXPECT_TRUE(Has(Log(), "Watermark Server stopped...")) << Story("run");
  EXPECT_TRUE(Has(Out("run"), "Real end !\n")) << Story("run");
  // Its device never played a period.
  EXPECT_FALSE(Has(Trace(), "pos=84448417")) << Trace();
  EXPECT_FALSE(Has(Trace(), "pos=8444840f")) << Trace();
}

TEST_F(WholeProgram, AServerStalledInAnEnumerationEndsTheProcessWithItsReasonLogged) {
  // The third enumeration call is the second scan's first: the server has
  // turned, then stops turning for longer than its liveness limit.
  Prepare("fault=getclassdevs at=3 delay_ms=15000\r\n");
  ChildProcess program;
  ASSERT_TRUE(Start(program, "", "run"));
  EXPECT_EQ(1, program.Wait(kEndMs)) << Story("run");
  const std::string log = Log();
  EXPECT_TRUE(Has(log, "Server is not responding, killing...")) << Story("run");
  EXPECT_FALSE(Has(log, "Watermark Server stopped...")) << Story("run");
}

// One board whose channel 1 marks from the start; the device stop, which
// runs only when the channel closes its device in the stop sequence, then
// hangs for `hangMs`.
class HungDeviceStop : public WholeProgram {
 protected:
  void StartMarking(bool stoppable, int hangMs = 120000) {
    Prepare("fault=ioctl code=stop hang_ms=" + std::to_string(hangMs) + "\r\n" + kQbxBoard);
    const std::string load = m_dir.File("load.xml");
    testsupport::WriteBytes(load, LoadFile());
    const std::string options = "--load \"" + load + "\"";
    ASSERT_TRUE(stoppable ? StartStoppable(m_program, options, "run") : Start(m_program, options, "run"));
    ASSERT_TRUE(
        WaitUntil([] { return Has(Pelclient("board-status 0000ABCD").out, "ch1 status=1 \"RUNNING\""); },
                  kStartMs, 200))
        << Story("run");
  }
  void ExpectCutShort() {
    EXPECT_EQ(1, m_program.Wait(kEndMs)) << Story("run");
    const std::string log = Log();
    EXPECT_TRUE(Has(log, "Server is not responding, killing...")) << Story("run");
    EXPECT_FALSE(Has(log, "Watermark Server stopped...")) << Story("run");
    // Hung in the stop of the device that played: it was never closed.
    const std::string trace = Trace();
    EXPECT_TRUE(Has(trace, "asio0      ioctl        pos=8444840f ")) << trace;
    EXPECT_FALSE(Has(trace, "asio0      close ")) << trace;
  }
  ChildProcess m_program;
};

TEST_F(HungDeviceStop, AStopAskedOfTheProgramIsCutShortWithCodeOne) {
  StartMarking(true);
  Stop();
  ExpectCutShort();
  // The main thread's stop, bounded while it waits for the server.
  const std::string log = Log();
  const size_t stopping = log.find("Stopping Watermark Server ...");
  ASSERT_NE(std::string::npos, stopping) << Story("run");
  EXPECT_LT(stopping, log.find("Server is not responding, killing...")) << Story("run");
}

TEST_F(HungDeviceStop, RequestTwentyWithASlowStopEndsInOrderWithCodeZero) {
  // The server stops itself and no longer turns while the device stop takes
  // longer than the server's liveness limit: the main thread, still
  // supervising, gives it the stop's bound and lets it finish.
  StartMarking(false, 15000);
  EXPECT_FALSE(Has(Pelclient("--until-close pipe 5A14").out, "5A 14"));
  EXPECT_EQ(0, m_program.Wait(kEndMs)) << Story("run");
  const std::string log = Log();
  EXPECT_FALSE(Has(log, "Server is not responding, killing...")) << Story("run");
  EXPECT_TRUE(Has(log, "Watermark Server stopped...")) << Story("run");
  const size_t stopping = log.find("+++++++ CWatermark_Server::ThreadEntry REQUESTSTOP BOARD +++++");
  ASSERT_NE(std::string::npos, stopping) << Story("run");
  EXPECT_NE(std::string::npos, log.find("0000ABCD: Saved xml config file", stopping)) << Story("run");
  EXPECT_TRUE(Has(Trace(), "asio0      close ")) << Trace();
}

TEST_F(WholeProgram, OneInstancePerMachineAndKillEndsTheRunningOne) {
  Prepare(kQbxBoard);
  const std::string load = m_dir.File("load.xml");
  const std::string xml = LoadFile();
  testsupport::WriteBytes(load, xml);

  ChildProcess first;
  // 3,000,000 s is beyond the milliseconds a 32-bit count holds.
  ASSERT_TRUE(Start(first, "-k 3000000 --load \"" + load + "\"", "first"));
  ASSERT_TRUE(WaitLog("Running Watermark Server ...", kStartMs)) << Story("first");
  EXPECT_EQ(first.Pid(), testsupport::RecordedPid(kInstanceName));

  std::string out;
  EXPECT_EQ(0, RunOnce("-v", "second", &out));
  EXPECT_TRUE(Has(out, "*** An Other Pelorin instance is running ***")) << out;
  EXPECT_EQ(first.Pid(), testsupport::RecordedPid(kInstanceName));
  const DWORD pid = first.Pid();
  EXPECT_TRUE(Has(Pelclient("pipe 5A0F").out,
                  "reply 6: 5A 0F " + HexBytes(std::string(reinterpret_cast<const char*>(&pid), 4))));
  EXPECT_TRUE(first.IsRunning());
  EXPECT_FALSE(Has(Log(), "*** AutoKill expired !")) << Story("first");

  EXPECT_EQ(0, RunOnce("--kill", "kill", &out));
  EXPECT_EQ("*** Kill running Pelorin instance ***\n", out);
  // The stop request on its pipe: the first ends through its stop sequence.
  EXPECT_EQ(0, first.Wait(kEndMs)) << Story("first");
  EXPECT_TRUE(Has(Log(), "Watermark Server stopped...")) << Story("first");
  EXPECT_TRUE(Has(Out("first"), "Real end !\n")) << Story("first");
  EXPECT_EQ(0u, testsupport::RecordedPid(kInstanceName));
  EXPECT_EQ(0, RunOnce("--kill", "kill2", &out));
  EXPECT_EQ("*** Failed to kill running Pelorin instance ***\n", out);
  EXPECT_EQ(xml, testsupport::ReadBytes(load));
}

}  // namespace
