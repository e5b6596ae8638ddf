#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "service/StopRequest.h"
#include "pelclient_run.h"
#include "support/fn_thread.h"
#include "support/pipe_server.h"
#include "support/poll.h"

namespace {

TEST(Pelclient, PipePrintsFramedReplies) {
  EchoProcess server;
  ToolRun r = Pelclient("--pipe " + server.Name() + " --messages pipe \"5A 0c\"");
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_EQ("msg 4: 02 00 00 00\nmsg 2: 5A 0C\nreply 2: 5A 0C\n", r.out);

  r = Pelclient("--pipe " + server.Name() + " --repeat 3 --pieces 1 pipe 010203");
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_EQ("reply 3: 01 02 03\nreply 3: 01 02 03\nreply 3: 01 02 03\n", r.out);

  r = Pelclient("--pipe " + server.Name() + " pipe \"\"");
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_EQ("reply 0:\n", r.out);
}

// The echo server answers each body with itself, so a body is the reply it stands for.
TEST(Pelclient, DecodePrintsProductAndProcessIdAsText) {
  EchoProcess server;
  const std::string pipe = "--pipe " + server.Name() + " --decode pipe ";
  // Request 12's reply: "watermark;Watermark;01.00.0014".
  ToolRun r =
      Pelclient(pipe + "\"5A0C 7761 7465 726D 6172 6B3B 5761 7465 726D 6172 6B3B 3031 2E30 302E 3030 3134\"");
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_EQ(
      "reply 32: 5A 0C 77 61 74 65 72 6D 61 72 6B 3B 57 61 74 65 72 6D 61 72 6B 3B 30 31 2E 30 30 2E 30 30 "
      "31 34\n"
      "product watermark;Watermark;01.00.0014\n",
      r.out);
  r = Pelclient(pipe + "5A0FD2040000");
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_EQ("reply 6: 5A 0F D2 04 00 00\npid 1234\n", r.out);
  // Replies it does not know, or a process id of the wrong length, stay bytes.
  r = Pelclient(pipe + "5A0D");
  EXPECT_EQ("reply 2: 5A 0D\n", r.out);
  r = Pelclient(pipe + "5A0FD204");
  EXPECT_EQ("reply 4: 5A 0F D2 04\n", r.out);
}

TEST(Pelclient, RawMessagesAndTheServersClose) {
  EchoProcess server;
  // A hand-made frame is answered like a framed one.
  ToolRun r = Pelclient("--pipe " + server.Name() + " raw 02000000 5A15");
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_EQ("reply 2: 5A 15\n", r.out);
  // Length and body in one message: the server ends the connection.
  r = Pelclient("--pipe " + server.Name() + " raw 020000005A15");
  EXPECT_EQ(3, r.code);
  EXPECT_EQ("closed\n", r.out);
  r = Pelclient("--pipe " + server.Name() + " --until-close raw 020000005A15");
  EXPECT_EQ(0, r.code);
  EXPECT_EQ("closed\n", r.out);
}

TEST(Pelclient, MissingRepliesTimeOut) {
  EchoProcess server("silent");
  ToolRun r = Pelclient("--pipe " + server.Name() + " --timeout 300 pipe 5A0B");
  EXPECT_EQ(3, r.code);
  EXPECT_EQ("timeout\n", r.out);
  r = Pelclient("--pipe " + server.Name() + " --replies 0 pipe 5A0B");
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_EQ("", r.out);
}

TEST(Pelclient, UsageAndOpenErrors) {
  const char* usage[] = {
      "",           "pipe",    "pipe 5A0", "pipe 5G", "raw", "--replies x pipe 5A", "--pieces 0 pipe 5A",
      "frobnicate", "stop now"};
  for (const char* args : usage) EXPECT_EQ(1, Pelclient(args).code) << args;
  ToolRun r = Pelclient("--pipe \\\\.\\pipe\\pelorintest\\none" + std::to_string(::GetCurrentProcessId()) +
                        " --timeout 200 pipe 5A0C");
  EXPECT_EQ(2, r.code);
  EXPECT_NE(std::string::npos, r.err.find(": error 2")) << r.err;
}

// A recording server of the test's own: every pipe message as it came.
struct Recorder {
  TestPipeServer server{false};
  HANDLE pipe = INVALID_HANDLE_VALUE;
  // create false: the pipe is created later (Create).
  explicit Recorder(DWORD instances = 1, bool create = true) : m_instances(instances) {
    if (create) Create();
  }
  ~Recorder() {
    if (pipe != INVALID_HANDLE_VALUE) ::CloseHandle(pipe);
  }
  void Create() {
    pipe = ::CreateNamedPipeA(server.Name().c_str(), PIPE_ACCESS_DUPLEX,
                              PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, m_instances, 1024, 1024, 0, nullptr);
  }
  // A client that has come and gone already left its messages behind (232).
  std::vector<std::string> ReadAll() {
    std::vector<std::string> messages;
    if (!::ConnectNamedPipe(pipe, nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED &&
        ::GetLastError() != ERROR_NO_DATA)
      return messages;
    char buf[2048];
    DWORD got = 0;
    while (::ReadFile(pipe, buf, sizeof buf, &got, nullptr)) messages.emplace_back(buf, got);
    return messages;
  }

 private:
  DWORD m_instances;
};

// A server that answers outside the framing, as a process holding the
// pipe's name in the service's place could: the tool takes in no more than
// one piece at a time and does not read for ever.
TEST(Pelclient, RepliesOutsideTheFramingEndTheRun) {
  for (bool emptyMessages : {false, true}) {
    SCOPED_TRACE(emptyMessages ? "a flood of empty messages" : "one huge message");
    Recorder hostile;
    ASSERT_NE(INVALID_HANDLE_VALUE, hostile.pipe);
    FnThread answering([&](FnThread&) {
      if (!::ConnectNamedPipe(hostile.pipe, nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED) return 1;
      char request[64];
      DWORD n = 0;
      for (int i = 0; i < 2; ++i) ::ReadFile(hostile.pipe, request, sizeof request, &n, nullptr);
      ::WriteFile(hostile.pipe, "\xF0\xFF\xFF\xFF", 4, &n, nullptr);  // almost 4 GiB to come
      if (emptyMessages) {
        // Until the tool has gone, or long after it should have.
        for (int i = 0; i < 100000 && ::WriteFile(hostile.pipe, "", 0, &n, nullptr); ++i) {
        }
      } else {
        std::string huge(16 << 20, 'h');
        ::WriteFile(hostile.pipe, huge.data(), static_cast<DWORD>(huge.size()), &n, nullptr);
      }
      return 0;
    });
    (void)answering.Create(2);
    ToolRun r = Pelclient("--pipe " + hostile.server.Name() + " pipe 5A0C");
    EXPECT_EQ(3, r.code);
    EXPECT_NE(std::string::npos, r.err.find("reply not framed")) << r.out << r.err;
    answering.Stop();
  }
}

TEST(StopRequest, TwoMessagesThenTheClose) {
  Recorder recorder;
  ASSERT_NE(INVALID_HANDLE_VALUE, recorder.pipe);
  FnThread sender([&](FnThread&) {
    SendStopRequestTo(recorder.server.Name().c_str());
    return 0;
  });
  (void)sender.Create(2);
  EXPECT_EQ((std::vector<std::string>{std::string("\x02\x00\x00\x00", 4), "\x5A\x14"}), recorder.ReadAll());
  sender.Stop();
}

TEST(StopRequest, WaitsForAPipeThatIsNotThereYet) {
  Recorder recorder(1, false);
  const std::string name = recorder.server.Name();
  FnThread sender([&](FnThread&) {
    SendStopRequestTo(name.c_str());
    return 0;
  });
  (void)sender.Create(2);
  ::Sleep(300);  // a server still starting
  recorder.Create();
  ASSERT_NE(INVALID_HANDLE_VALUE, recorder.pipe);
  sender.Stop();
  // A sender that gave up never connected: a client of the test's own lets
  // the read end.
  HANDLE poke =
      ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (poke != INVALID_HANDLE_VALUE) ::CloseHandle(poke);
  EXPECT_EQ((std::vector<std::string>{std::string("\x02\x00\x00\x00", 4), "\x5A\x14"}), recorder.ReadAll());
  // No server at all: the tool gives up at the end of its bound, quietly.
  ToolRun r =
      Pelclient("--pipe \\\\.\\pipe\\pelorintest\\none" + std::to_string(::GetCurrentProcessId()) + " stop");
  EXPECT_EQ(0, r.code);
}

TEST(StopRequest, WaitsForABusyInstance) {
  Recorder recorder;
  ASSERT_NE(INVALID_HANDLE_VALUE, recorder.pipe);
  // Another client holds the only instance for a while.
  HANDLE other = ::CreateFileA(recorder.server.Name().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, other);
  ASSERT_TRUE(::ConnectNamedPipe(recorder.pipe, nullptr) || ::GetLastError() == ERROR_PIPE_CONNECTED);
  std::atomic<bool> sent{false};
  FnThread sender([&](FnThread&) {
    SendStopRequestTo(recorder.server.Name().c_str());
    sent = true;
    return 0;
  });
  (void)sender.Create(2);
  ::Sleep(300);
  ::CloseHandle(other);
  ::DisconnectNamedPipe(recorder.pipe);
  EXPECT_EQ((std::vector<std::string>{std::string("\x02\x00\x00\x00", 4), "\x5A\x14"}), recorder.ReadAll());
  sender.Stop();
  EXPECT_TRUE(sent);
}

TEST(StopRequest, GivesUpOnAnInstanceThatNeverFrees) {
  Recorder recorder;
  ASSERT_NE(INVALID_HANDLE_VALUE, recorder.pipe);
  HANDLE other = ::CreateFileA(recorder.server.Name().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, other);
  SendStopRequestTo(recorder.server.Name().c_str());  // returns: the hang guard is the test's time-out
  DWORD available = 0;
  ASSERT_TRUE(::PeekNamedPipe(recorder.pipe, nullptr, 0, nullptr, &available, nullptr));
  EXPECT_EQ(0u, available);
  ::CloseHandle(other);
}

}  // namespace
