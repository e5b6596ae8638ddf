// Control requests through a running server thread, and the references its
// queue records hold.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "server_fixture.h"
#include "support/fn_thread.h"
#include "support/log_capture.h"

namespace {

using servertest::Client;
using servertest::Hex;
using servertest::kGuardMs;
using servertest::RunningServer;

std::string PidHex() {
  DWORD pid = ::GetCurrentProcessId();
  return Hex(std::string(reinterpret_cast<const char*>(&pid), 4));
}

std::string TextHex(const std::string& text) { return Hex(text); }

TEST(ServerRequests, EveryReplyIsByteExact) {
  LogCapture log;
  RunningServer server;
  Client client;
  ASSERT_EQ(ERROR_SUCCESS, client.OpenResult());
  struct Case {
    std::string request, reply;
  };
  const std::vector<Case> cases = {
      {"5A 0C", "5A 0C " + TextHex("watermark;Watermark;01.00.0014")},
      {"5A 0E", "5A 0E " + TextHex("C:\\run\\Products\\Watermark")},
      {"5A 0F", "5A 0F " + PidHex()},
      {"5A 12 01 00 00 00", "5A 12"},
      {"5A 12 01 00 00 00 07 08", "5A 12"},
      // Payloads too short to read give the error answer.
      {"5A 12 01 00", "0E 01 00 5A 12 01 00"},
      {"5A 10", "0E 01 00 5A 10"},
      {"5A 11", "0E 01 00 5A 11"},
      {"5A 15", "5A 15"},
      {"5A 0D " + TextHex("SN00C0DE01"), "5A 0D"},
      {"5A 0D", "5A 0D"},
      {"5A 00", "0E 01 00 5A 00"},
      {"5A 0A", "0E 01 00 5A 0A"},
      {"5A 16", "0E 01 00 5A 16"},
      {"5A 30", "0E 01 00 5A 30"},
      {"5A FF", "0E 01 00 5A FF"},
      {"5A 12 34", "0E 01 00 5A 12 34"},
      {"5A", "0E 01 00 5A 00"},
      // Any header of command 11 reads as 0x5A.
      {"58 0C", "5A 0C " + TextHex("watermark;Watermark;01.00.0014")},
      {"5F 0C", "5A 0C " + TextHex("watermark;Watermark;01.00.0014")},
      {"5F 30", "0E 01 00 5A 30"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.reply, client.Ask(c.request)) << c.request;
  EXPECT_TRUE(log.Has("Creating communication pipe"));
}

TEST(ServerRequests, MissingProductsDirectoryAnswersEmpty) {
  LogCapture log;
  RunningServer server("[sim]\n", false);
  Client client;
  EXPECT_EQ("5A 0E", client.Ask("5A 0E"));
  EXPECT_TRUE(log.Has("CWatermark_Server No Products directory"));
}

TEST(ServerRequests, SilentRequestsAndOrderOnOneConnection) {
  RunningServer server;
  Client client;
  ASSERT_EQ(ERROR_SUCCESS, client.Send("5A 0B"));
  EXPECT_EQ("5A 15", client.Ask("5A 15"));
  // An empty body and a command-10 body are dropped; the connection stays.
  ASSERT_EQ(ERROR_SUCCESS, client.Send(""));
  ASSERT_EQ(ERROR_SUCCESS, client.Send("52 0C"));
  EXPECT_EQ("5A 15", client.Ask("5A 15"));
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(ERROR_SUCCESS, client.Send("5A 0B"));
    ASSERT_EQ(ERROR_SUCCESS, client.Send(i % 2 ? "5A 15" : "5A 12 00 00 00 00"));
  }
  for (int i = 0; i < 100; ++i) EXPECT_EQ(i % 2 ? "5A 15" : "5A 12", client.Reply()) << i;
}

TEST(ServerRequests, UserWordsOfTheConnection) {
  RunningServer server;
  Client client;
  ASSERT_EQ("5A 15", client.Ask("5A 15"));
  ASSERT_EQ(1, server.Pipe().GetConnectionCount());
  CServerPipeConnection* connection = server.Pipe().GetConnectionAt(0);
  connection->SetUserWord(0, 7);
  connection->SetUserWord(1, 8);
  EXPECT_EQ("5A 12", client.Ask("5A 12 78 56 34 12"));
  EXPECT_EQ(0x12345678u, connection->GetUserWord(2));
  ASSERT_EQ(ERROR_SUCCESS, client.Send("5A 0B"));
  EXPECT_EQ("5A 15", client.Ask("5A 15"));
  EXPECT_EQ(0u, connection->GetUserWord(0));
  EXPECT_EQ(0u, connection->GetUserWord(1));
  EXPECT_EQ(0x12345678u, connection->GetUserWord(2));
}

TEST(ServerRequests, CloseRequestAndClientSentCloseEndOnlyThatConnection) {
  RunningServer server;
  Client other;
  ASSERT_EQ("5A 15", other.Ask("5A 15"));
  for (const char* close : {"5A 13", "62"}) {
    Client closing;
    ASSERT_EQ("5A 15", closing.Ask("5A 15"));
    ASSERT_EQ(ERROR_SUCCESS, closing.Send(close));
    EXPECT_EQ("error " + std::to_string(ERROR_BROKEN_PIPE), closing.Reply()) << close;
    EXPECT_EQ("5A 0F " + PidHex(), other.Ask("5A 0F")) << close;
  }
  EXPECT_TRUE(testsupport::WaitUntil([&] { return server.Pipe().GetConnectionCount() == 1; }, kGuardMs));
}

TEST(ServerRequests, StopRequestClosesEveryClientInOrder) {
  LogCapture log;
  RunningServer server;
  Client a, b;
  ASSERT_EQ("5A 15", a.Ask("5A 15"));
  ASSERT_EQ("5A 15", b.Ask("5A 15"));
  // Requests queued behind the stop are not answered (the later ones may
  // find the connection already closed).
  ASSERT_EQ(ERROR_SUCCESS, b.Send("5A 14"));
  for (int i = 0; i < 20 && b.Send("5A 0C") == ERROR_SUCCESS; ++i) {
  }
  for (Client* c : {&a, &b}) {
    std::string reply = c->Reply();
    EXPECT_EQ("5A 13", reply);
    while (reply == "5A 13") reply = c->Reply();
    EXPECT_EQ("error " + std::to_string(ERROR_BROKEN_PIPE), reply);
  }
  EXPECT_EQ(0, server.Stop());
  const std::vector<std::string> order = {
      "REQUESTSTOP BOARD",
      "STOP PIPE",
      "RESIZE ARRAY",
      "STOP PIPE",
      "DELETE PIPE",
      "DELETE m_pSharedMemBuf",
      "Watermark Server exiting...",
  };
  EXPECT_EQ("", servertest::FirstOutOfOrder(log.Text(), order));
}

TEST(ServerRequests, EachRecordReleasesItsReferenceOnce) {
  RunningServer server;
  Client client;
  ASSERT_EQ("5A 15", client.Ask("5A 15"));
  CServerPipeConnection* connection = server.Pipe().GetConnectionAt(0);
  connection->AddRef();
  connection->AddRef();
  {
    // The loop stalls in its board check while the client's requests queue up.
    CMutexLocker stall(CWatermarkServerTestAccess::UpgradeMutex(server.Server()));
    ASSERT_TRUE(stall.Locked());
    for (int i = 0; i < 50; ++i) ASSERT_EQ(ERROR_SUCCESS, client.Send(i % 2 ? "5A 15" : "5A 0B"));
    client.Pipe().Close();
    ASSERT_TRUE(
        testsupport::WaitUntil([&] { return server.Server().GetMessageQueue().GetCount() >= 51; }, kGuardMs));
  }
  ASSERT_TRUE(
      testsupport::WaitUntil([&] { return server.Server().GetMessageQueue().GetCount() == 0; }, kGuardMs));
  ASSERT_TRUE(testsupport::WaitUntil([&] { return server.Pipe().GetConnectionCount() == 0; }, kGuardMs));
  // Only the test's two references are left.
  EXPECT_EQ(3, connection->AddRef());
  EXPECT_EQ(2, connection->Release());
  EXPECT_EQ(1, connection->Release());
  EXPECT_EQ(0, connection->Release());
}

TEST(ServerRequests, RefusedRecordGivesItsReferenceBack) {
  LogCapture log;
  RunningServer server;
  Client client;
  ASSERT_EQ("5A 15", client.Ask("5A 15"));
  CServerPipeConnection* connection = server.Pipe().GetConnectionAt(0);
  const auto references = [&] {
    const LONG n = connection->AddRef();
    connection->Release();
    return n - 1;
  };
  // The server drops the answered record's reference just after the client
  // has the reply: wait until only the list's is left.
  ASSERT_TRUE(testsupport::WaitUntil([&] { return references() == 1; }, kGuardMs));
  CBufferBase<unsigned char> huge(CBuffer_Queue::kMaxRecord - sizeof(void*) + 1);
  std::memset(huge.GetData(), 0x5A, huge.GetLength());
  CWatermarkServerTestAccess::QueueMessage(server.Server(), connection, huge);
  EXPECT_TRUE(log.Has("CBuffer_Queue::PushBuffer record too long"));
  EXPECT_EQ(1, references());
  EXPECT_EQ("5A 15", client.Ask("5A 15"));
}

TEST(ServerRequests, OversizedMessageIsDroppedAndTheConnectionServedOn) {
  LogCapture log;
  RunningServer server;
  Client client;
  std::string body = servertest::Bytes("5A 0C") + std::string(70000 - 2, '\0');
  ASSERT_EQ(ERROR_SUCCESS, client.Pipe().SendFramed(body));
  EXPECT_EQ("5A 0F " + PidHex(), client.Ask("5A 0F"));
  EXPECT_TRUE(log.Has("CServerPipeConnection::WaitForRead message too long (70000 bytes), dropped"));
}

// A client that never reads its replies is closed once a write times out;
// the others are answered meanwhile, and a stop is not held up by it.
TEST(ServerRequests, ClientThatNeverReadsDoesNotStallTheServer) {
  LogCapture log;
  RunningServer server;
  Client silent, other;
  ASSERT_EQ("5A 15", silent.Ask("5A 15"));
  // Once a reply times out the server closes the connection: later sends may fail.
  for (int i = 0; i < 500 && silent.Send("5A 0C") == ERROR_SUCCESS; ++i) {
  }
  EXPECT_TRUE(log.Has("CServerPipeConnection::SetMessage failed write data", kGuardMs)) << log.Text();
  EXPECT_EQ("5A 15", other.Ask("5A 15")) << server.Pipe().GetConnectionCount() << "\n" << log.Text();
  EXPECT_TRUE(testsupport::WaitUntil([&] { return server.Pipe().GetConnectionCount() == 1; }, kGuardMs));
  EXPECT_TRUE(server.Server().IsAlive());
  // Its late reads give whole replies, then the break.
  std::string reply = silent.Reply();
  int replies = 0;
  while (reply.compare(0, 5, "5A 0C") == 0) {
    ++replies;
    reply = silent.Reply();
  }
  EXPECT_GT(replies, 0);
  EXPECT_EQ(0, reply.compare(0, 6, "error "));

  Client stopper;
  ASSERT_EQ(ERROR_SUCCESS, stopper.Send("5A 14"));
  EXPECT_TRUE(testsupport::WaitUntil([&] { return !server.Server().IsRunning(); }, kGuardMs));
  EXPECT_EQ(0, server.Stop());
}

// A client that takes a long reply piece by piece, each just in time, is
// closed once the reply as a whole has taken too long: the loop keeps
// turning and another client is answered meanwhile.
TEST(ServerRequests, SlowReaderOfALongReplyIsClosedAndOthersAreAnswered) {
  LogCapture log;
  RunningServer server;
  Client slow, other;
  ASSERT_EQ(ERROR_SUCCESS, slow.OpenResult());
  ASSERT_EQ(ERROR_SUCCESS, other.OpenResult());
  // An unknown code: the error answer echoes the request, 65005 bytes in 64 pieces.
  ASSERT_EQ(ERROR_SUCCESS, slow.Pipe().SendFramed(servertest::Bytes("5A 30") + std::string(65000, 'x')));
  const int kWholeReply = 65;  // the length and 64 pieces
  std::atomic<int> messages{0};
  std::atomic<DWORD> end{ERROR_SUCCESS};
  std::atomic<bool> reading{true};
  FnThread reader([&](FnThread&) {
    std::string m;
    DWORD rc;
    while ((rc = slow.Pipe().ReadMessage(m, kGuardMs)) == ERROR_SUCCESS && ++messages < kWholeReply)
      ::Sleep(300);
    end = rc;
    reading = false;
    return 0;
  });
  std::atomic<int> answered{0}, wrong{0};
  FnThread asker([&](FnThread&) {
    while (reading) {
      if (other.Ask("5A 0C") == "5A 0C " + TextHex("watermark;Watermark;01.00.0014"))
        ++answered;
      else
        ++wrong;
      ::Sleep(1000);
    }
    return 0;
  });
  (void)reader.Create(2);
  (void)asker.Create(2);
  // What the program's supervision reads: a loop stuck in one reply ends the process.
  bool alive = true;
  while (reading && alive) {
    alive = server.Server().IsAlive();
    ::Sleep(100);
  }
  reader.Stop();
  asker.Stop();
  EXPECT_TRUE(alive);
  EXPECT_LT(messages.load(), kWholeReply);
  EXPECT_EQ(static_cast<DWORD>(ERROR_BROKEN_PIPE), end.load());
  EXPECT_GE(answered.load(), 1);
  EXPECT_EQ(0, wrong.load());
  EXPECT_TRUE(log.Has("CServerPipeConnection::SetMessage failed write data"));
  EXPECT_EQ("5A 0C " + TextHex("watermark;Watermark;01.00.0014"), other.Ask("5A 0C"));
}

}  // namespace
