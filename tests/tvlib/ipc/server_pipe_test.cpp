#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tools/pelclient/PipeClient.h"
#include "support/acl.h"
#include "support/fn_thread.h"
#include "support/handles.h"
#include "support/log_capture.h"
#include "support/pipe_server.h"
#include "support/poll.h"
#include "tvlib/ipc/server_pipe.h"

// Runs the two halves of one accept turn separately.
struct CServerPipeTestAccess {
  static bool CreatePipe(CServerPipe& pipe, PipeInstance* instance) {
    return pipe.CreatePipe(instance, true);
  }
  static bool ConnectNow(CServerPipe& pipe, PipeInstance* instance) {
    return pipe.ConnectToNewClient(instance) == CServerPipe::kConnectDone;
  }
  static bool Accept(CServerPipe& pipe, PipeInstance* instance) { return pipe.AcceptConnected(instance); }
  // Moves the open window of client errors a minute back.
  static void AgeClientErrors(CServerPipe& pipe) {
    CCriticalSectionLocker guard(pipe.m_clientErrorsLock);
    pipe.m_clientErrors.m_start -= CClientErrorLimit::kWindowMs;
  }
};

namespace {

const DWORD kGuardMs = 30000;

std::string Frame(const std::string& body) {
  unsigned char n[4];
  EncodeFrameLength(static_cast<uint32_t>(body.size()), n);
  return std::string(reinterpret_cast<char*>(n), 4);
}

// Opens a client and checks that an echo of `body` comes back whole.
void ExpectEcho(CPipeClient& client, const std::string& body) {
  ASSERT_EQ(ERROR_SUCCESS, client.SendFramed(body));
  std::string reply;
  ASSERT_EQ(ERROR_SUCCESS, client.ReadReply(reply, kGuardMs));
  EXPECT_EQ(body, reply);
}

void ExpectEcho(const std::string& name, const std::string& body) {
  CPipeClient client;
  ASSERT_EQ(ERROR_SUCCESS, client.Open(name, kGuardMs));
  ExpectEcho(client, body);
}

long CommittedPrivateBytes() {
  long total = 0;
  MEMORY_BASIC_INFORMATION info;
  for (char* p = nullptr; ::VirtualQuery(p, &info, sizeof(info)) == sizeof(info);
       p = static_cast<char*>(info.BaseAddress) + info.RegionSize) {
    if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE)
      total += static_cast<long>(info.RegionSize >> 10);
  }
  return total;  // KiB
}

TEST(PipeFraming, EmptyBodyIsTheLengthAlone) {
  TestPipeServer server;
  std::atomic<int> lengths{-1};
  server.onMessage = [&](CServerPipeConnection* c, const CBufferBase<unsigned char>& m) {
    lengths = static_cast<int>(m.GetLength());
    c->SetMessage(m);
  };
  CPipeClient client;
  ASSERT_EQ(ERROR_SUCCESS, client.Open(server.Name(), kGuardMs));
  ASSERT_EQ(ERROR_SUCCESS, client.SendFramed(""));
  std::string m;
  ASSERT_EQ(ERROR_SUCCESS, client.ReadMessage(m, kGuardMs));
  EXPECT_EQ(Frame(""), m);
  EXPECT_EQ(0, lengths.load());
  // Nothing else came between: the next message is the next echo's length.
  ASSERT_EQ(ERROR_SUCCESS, client.SendFramed("AB"));
  ASSERT_EQ(ERROR_SUCCESS, client.ReadMessage(m, kGuardMs));
  EXPECT_EQ(Frame("AB"), m);
}

TEST(PipeFraming, LongBodyTravelsInPieces) {
  TestPipeServer server;
  std::string body = testsupport::PatternBytes(3000);
  CPipeClient client;
  ASSERT_EQ(ERROR_SUCCESS, client.Open(server.Name(), kGuardMs));
  ASSERT_EQ(ERROR_SUCCESS, client.SendFramed(body));
  std::vector<size_t> sizes;
  std::string reply;
  ASSERT_EQ(ERROR_SUCCESS,
            client.ReadReply(reply, kGuardMs, [&](const std::string& m) { sizes.push_back(m.size()); }));
  EXPECT_EQ(body, reply);
  EXPECT_EQ((std::vector<size_t>{4, 1024, 1024, 952}), sizes);
}

TEST(PipeFraming, BadFramingEndsOnlyThatConnection) {
  struct Case {
    const char* what;
    std::vector<std::string> messages;
    bool closeAfter;
    std::vector<std::string> lines;  // any one of them
  } cases[] = {
      {"length and body in one message",
       {Frame("AB") + "AB"},
       false,
       {"CServerPipeConnection::WaitForRead failed read data size"}},
      {"oversized first message",
       {std::string(4096, 'x')},
       false,
       {"\tCServerPipeConnection::WaitForRead ReadFile error",
        "CServerPipeConnection::WaitForRead GetOverlappedResult failed"}},
      {"empty first message",
       {std::string()},
       false,
       {"CServerPipeConnection::WaitForRead failed read data size"}},
      {"oversized body piece",
       {Frame(std::string(2000, 'y')), std::string(2000, 'y')},
       false,
       {"CServerPipeConnection::ReadFile failed"}},
      {"half a body, then gone",
       {Frame(std::string(100, 'z')), std::string(50, 'z')},
       true,
       {"CServerPipeConnection::ReadFile failed: "}},
  };
  TestPipeServer server;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LogCapture log;
    // The previous case's echo connection is reaped on the pipe's own
    // thread: counted only once it has gone, it cannot pass for this case's.
    ASSERT_TRUE(WaitUntil([&] { return server.connects == server.disconnects; }, kGuardMs));
    LONG before = server.disconnects;
    {
      CPipeClient client;
      ASSERT_EQ(ERROR_SUCCESS, client.Open(server.Name(), kGuardMs));
      // The server may end the connection before a write completes.
      for (const std::string& m : c.messages) client.WriteMessage(m);
      if (!c.closeAfter) {
        std::string m;
        EXPECT_EQ(static_cast<DWORD>(ERROR_BROKEN_PIPE), client.ReadMessage(m, kGuardMs));
      }
    }
    ASSERT_TRUE(WaitUntil([&] { return server.disconnects == before + 1; }, kGuardMs)) << log.Text();
    std::string text = log.Text();
    bool found = false;
    for (const std::string& line : c.lines) found = found || text.find(line) != std::string::npos;
    EXPECT_TRUE(found) << text;
    if (c.closeAfter) {
      EXPECT_NE(std::string::npos, text.find("(Err 0000006D)")) << text;
    }
    ExpectEcho(server.Name(), "still served");
  }
  ASSERT_TRUE(WaitUntil([&] { return server.Pipe().GetConnectionCount() == 0; }, kGuardMs));
  EXPECT_EQ(server.connects, server.disconnects);
}

TEST(PipeFraming, AFloodOfBadFramingIsLoggedInPartAndCounted) {
  TestPipeServer server;
  LogCapture log;
  for (int i = 0; i < 30; ++i) {
    CPipeClient client;
    ASSERT_EQ(ERROR_SUCCESS, client.Open(server.Name(), kGuardMs));
    // Two kinds in turn, so that no line folds into the one before; the
    // server may end the connection before the write completes.
    client.WriteMessage(i % 2 == 0 ? Frame("AB") + "AB" : std::string(4096, 'x'));
    std::string m;
    EXPECT_EQ(static_cast<DWORD>(ERROR_BROKEN_PIPE), client.ReadMessage(m, kGuardMs));
  }
  ASSERT_TRUE(WaitUntil([&] { return server.disconnects == 30; }, kGuardMs));
  EXPECT_EQ(20, log.Count("CServerPipeConnection::WaitForRead failed read data size") +
                    log.Count("CServerPipeConnection::WaitForRead GetOverlappedResult failed") +
                    log.Count("CServerPipeConnection::WaitForRead ReadFile error"))
      << log.Text();
  // A minute later the reaper reports the rest.
  CServerPipeTestAccess::AgeClientErrors(server.Pipe());
  EXPECT_TRUE(log.Has("CServerPipe: 10 more client errors not logged", kGuardMs)) << log.Text();
  ExpectEcho(server.Name(), "still served");
}

TEST(PipeFraming, MessageOverTheMaximumIsDroppedAndTheClientServedFurther) {
  TestPipeServer server(true, 65527);
  LogCapture log;
  CPipeClient client;
  ASSERT_EQ(ERROR_SUCCESS, client.Open(server.Name(), kGuardMs));
  ASSERT_EQ(ERROR_SUCCESS, client.SendFramed(std::string(70000, 'q')));
  ExpectEcho(client, "next");
  EXPECT_EQ(1, server.messages);
  EXPECT_TRUE(log.Has("CServerPipeConnection::WaitForRead message too long (70000 bytes), dropped"));
}

TEST(PipeFraming, DeclaredLengthCommitsNoMemoryAhead) {
  TestPipeServer server;
  CPipeClient client;
  ASSERT_EQ(ERROR_SUCCESS, client.Open(server.Name(), kGuardMs));
  ASSERT_EQ(ERROR_SUCCESS, client.SendFramed("warm-up"));
  std::string echo;
  ASSERT_EQ(ERROR_SUCCESS, client.ReadReply(echo, kGuardMs));
  long before = CommittedPrivateBytes();
  ASSERT_EQ(ERROR_SUCCESS, client.WriteMessage(Frame("").replace(0, 4, "\xFF\xFF\xFF\x7F", 4)));
  ASSERT_EQ(ERROR_SUCCESS, client.WriteMessage("0123456789"));
  // The fault committed the whole declared length at once; give it the time
  // it would need, then look.
  EXPECT_FALSE(WaitUntil([&] { return CommittedPrivateBytes() - before > 1024; }, 1500, 50))
      << CommittedPrivateBytes() - before << " KiB";
}

TEST(PipeFraming, ConcurrentWritersNeverInterleaveFrames) {
  TestPipeServer server;
  std::atomic<CServerPipeConnection*> connection{nullptr};
  server.onMessage = [&](CServerPipeConnection* c, const CBufferBase<unsigned char>&) {
    c->AddRef();
    connection = c;
  };
  CPipeClient client;
  ASSERT_EQ(ERROR_SUCCESS, client.Open(server.Name(), kGuardMs));
  ASSERT_EQ(ERROR_SUCCESS, client.SendFramed("go"));
  ASSERT_TRUE(WaitUntil([&] { return connection.load() != nullptr; }, kGuardMs));
  const int kPerWriter = 1000;
  auto body = [](int writer, int i) {
    std::string b = std::string(1, static_cast<char>(writer)) + std::to_string(i) + ":";
    size_t n = 1 + (static_cast<size_t>(i) * 37 + writer * 11) % 3000;
    while (b.size() < n) b += static_cast<char>('a' + (b.size() + i) % 26);
    return b.substr(0, n < b.size() ? b.size() : n);
  };
  std::set<std::string> expected;
  for (int w = 0; w < 2; ++w)
    for (int i = 0; i < kPerWriter; ++i) expected.insert(body(w, i));
  auto writer = [&](int w) {
    return [&, w](FnThread&) {
      for (int i = 0; i < kPerWriter; ++i) {
        std::string b = body(w, i);
        connection.load()->SetMessage(reinterpret_cast<const unsigned char*>(b.data()),
                                      static_cast<uint32_t>(b.size()));
      }
      return 0;
    };
  };
  FnThread a(writer(0)), b(writer(1));
  (void)a.Create(2);
  (void)b.Create(2);
  for (int i = 0; i < 2 * kPerWriter; ++i) {
    std::string reply;
    ASSERT_EQ(ERROR_SUCCESS, client.ReadReply(reply, kGuardMs)) << i;
    ASSERT_EQ(1u, expected.erase(reply)) << "frame " << i << " is no whole body";
  }
  a.Stop();
  b.Stop();
  connection.load()->Release();
}

TEST(PipeConnections, ClientConnectedBeforeTheAcceptIsServed) {
  TestPipeServer server(false);
  PipeInstance* instance = NewPipeInstance();
  ASSERT_TRUE(CServerPipeTestAccess::CreatePipe(server.Pipe(), instance));
  CPipeClient client;
  ASSERT_EQ(ERROR_SUCCESS, client.Open(server.Name(), kGuardMs));
  ASSERT_TRUE(CServerPipeTestAccess::ConnectNow(server.Pipe(), instance));
  ASSERT_TRUE(CServerPipeTestAccess::Accept(server.Pipe(), instance));
  ExpectEcho(client, "early");
}

TEST(PipeConnections, ManyShortClientsAreAllAnsweredAndFreed) {
  TestPipeServer server;
  ExpectEcho(server.Name(), "warm-up");  // the first connection's one-time allocations
  ASSERT_TRUE(WaitUntil([&] { return server.Live() == 0; }, kGuardMs));
  long handlesBefore = testsupport::CountProcessHandles();
  std::atomic<int> answered{0}, failed{0};
  auto cycles = [&](bool closeEarly) {
    return [&, closeEarly](FnThread&) {
      for (int i = 0; i < 100; ++i) {
        CPipeClient client;
        if (client.Open(server.Name(), kGuardMs) != ERROR_SUCCESS ||
            client.SendFramed("ping") != ERROR_SUCCESS) {
          ++failed;
          continue;
        }
        if (closeEarly && i % 2 == 0) continue;  // gone before the echo
        std::string reply;
        if (client.ReadReply(reply, kGuardMs) == ERROR_SUCCESS && reply == "ping")
          ++answered;
        else
          ++failed;
      }
      return 0;
    };
  };
  std::vector<std::unique_ptr<FnThread>> threads;
  for (int t = 0; t < 8; ++t) threads.emplace_back(new FnThread(cycles(t % 2 == 1)));
  for (auto& t : threads) (void)t->Create(2);
  for (auto& t : threads) t->Stop();
  threads.clear();  // their thread handles
  EXPECT_EQ(0, failed.load());
  EXPECT_EQ(4 * 100 + 4 * 50, answered.load());
  ASSERT_TRUE(
      WaitUntil([&] { return server.Pipe().GetConnectionCount() == 0 && server.Live() == 0; }, kGuardMs));
  EXPECT_EQ(server.connects, server.disconnects);
  EXPECT_EQ(server.connects, server.constructed);
  // 800 cycles: a leak per connection (four handles or more each) would show in
  // hundreds; Wine keeps a few handles of its own after the first pipe waits.
  EXPECT_LE(testsupport::CountProcessHandles(), handlesBefore + 8);
}

// Opens as a client of another program would: a busy pipe is waited for, a
// missing one is an error (2) at once.
DWORD OpenUnlessMissing(CPipeClient& client, const std::string& name) {
  ULONGLONG end = ::GetTickCount64() + kGuardMs;
  DWORD rc;
  while ((rc = client.Open(name, 0)) == ERROR_PIPE_BUSY && ::GetTickCount64() < end)
    ::WaitNamedPipeA(name.c_str(), 1000);
  return rc;
}

TEST(PipeConnections, AnInstanceListensAtEveryMoment) {
  TestPipeServer server;
  std::atomic<bool> cycling{true};
  std::atomic<int> missing{0}, failed{0}, answered{0};
  // Opens and closes at once: some leave before their instance is connected,
  // the others end their connection at once.
  FnThread quick([&](FnThread&) {
    const std::string name = server.Name();
    ULONGLONG end = ::GetTickCount64() + kGuardMs;
    for (int i = 0; i < 2000 && ::GetTickCount64() < end;) {
      HANDLE pipe =
          ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      if (pipe != INVALID_HANDLE_VALUE) {
        ::CloseHandle(pipe);
        ++i;
      } else if (::GetLastError() == ERROR_FILE_NOT_FOUND) {
        ++missing;
        ++i;
      } else if (::GetLastError() == ERROR_PIPE_BUSY) {
        ::WaitNamedPipeA(name.c_str(), 1000);
      } else {
        ++failed;
        ++i;
      }
    }
    cycling = false;
    return 0;
  });
  FnThread asking([&](FnThread&) {
    while (cycling) {
      CPipeClient client;
      DWORD rc = OpenUnlessMissing(client, server.Name());
      std::string reply;
      if (rc == ERROR_FILE_NOT_FOUND)
        ++missing;
      else if (rc != ERROR_SUCCESS || client.SendFramed("\x5A\x0C") != ERROR_SUCCESS ||
               client.ReadReply(reply, kGuardMs) != ERROR_SUCCESS || reply != "\x5A\x0C")
        ++failed;
      else
        ++answered;
    }
    return 0;
  });
  (void)quick.Create(2);
  (void)asking.Create(2);
  quick.Stop();
  asking.Stop();
  EXPECT_EQ(0, missing.load());
  EXPECT_EQ(0, failed.load());
  EXPECT_GE(answered.load(), 1);
}

TEST(PipeConnections, ClientsBeyondTheMostConnectionsWaitForOneToEnd) {
  TestPipeServer server;
  const LONG kMost = CServerPipe::kMaxConnections;
  std::vector<std::unique_ptr<CPipeClient>> idle;
  for (int i = 0; i < kMost; ++i) {
    idle.emplace_back(new CPipeClient);
    ASSERT_EQ(ERROR_SUCCESS, idle.back()->Open(server.Name(), kGuardMs)) << i;
  }
  ASSERT_TRUE(WaitUntil([&] { return server.connects == kMost; }, kGuardMs));
  for (int i = 0; i < 6; ++i) {
    CPipeClient late;
    EXPECT_EQ(static_cast<DWORD>(ERROR_PIPE_BUSY), late.Open(server.Name(), 0)) << i;
  }
  std::atomic<DWORD> opened{ERROR_INVALID_FUNCTION};
  std::string reply;
  FnThread waiting([&](FnThread&) {
    CPipeClient late;
    opened = late.Open(server.Name(), kGuardMs);
    if (opened == ERROR_SUCCESS && late.SendFramed("\x5A\x0C") == ERROR_SUCCESS)
      late.ReadReply(reply, kGuardMs);
    return 0;
  });
  (void)waiting.Create(2);
  idle[0].reset();
  waiting.Stop();
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), opened.load());
  EXPECT_EQ("\x5A\x0C", reply);
  EXPECT_EQ(kMost + 1, server.connects);
  EXPECT_LE(server.Pipe().GetConnectionCount(), kMost);
}

TEST(PipeConnections, QueuedReferencesKeepConnectionsAlive) {
  TestPipeServer server;
  CRITICAL_SECTION lock;
  ::InitializeCriticalSection(&lock);
  std::vector<CServerPipeConnection*> handed;
  server.onMessage = [&](CServerPipeConnection* c, const CBufferBase<unsigned char>&) {
    c->AddRef();
    CCriticalSectionLocker guard(lock);
    handed.push_back(c);
  };
  for (int i = 0; i < 5; ++i) {
    CPipeClient client;
    ASSERT_EQ(ERROR_SUCCESS, client.Open(server.Name(), kGuardMs));
    ASSERT_EQ(ERROR_SUCCESS, client.SendFramed("x"));
    // A client gone before its instance was connected is never served.
    ASSERT_TRUE(WaitUntil([&] { return server.messages == i + 1; }, kGuardMs));
  }  // every client closes right after its message is taken
  ASSERT_TRUE(WaitUntil([&] { return server.disconnects == 5; }, kGuardMs));
  EXPECT_EQ(5, server.Live());  // reaped, but still referenced
  for (CServerPipeConnection* c : handed) {
    EXPECT_EQ(TestConnection::kLive, static_cast<TestConnection*>(c)->marker);
    EXPECT_FALSE(c->SetMessage(reinterpret_cast<const unsigned char*>("r"), 1));  // its client is gone
    EXPECT_EQ(0, c->Release());
  }
  EXPECT_EQ(0, server.Live());
  ::DeleteCriticalSection(&lock);
}

TEST(PipeConnections, RemoveWaitsForTheConnectionThread) {
  TestPipeServer server;
  std::atomic<CServerPipeConnection*> connection{nullptr};
  std::atomic<bool> removed{false};
  std::atomic<int> lateMessages{0};
  server.onMessage = [&](CServerPipeConnection* c, const CBufferBase<unsigned char>&) {
    if (removed) ++lateMessages;
    if (connection.load() == nullptr) {
      c->AddRef();
      connection = c;
    }
  };
  CPipeClient client;
  ASSERT_EQ(ERROR_SUCCESS, client.Open(server.Name(), kGuardMs));
  std::atomic<bool> sending{true};
  FnThread sender([&](FnThread&) {
    while (sending && client.SendFramed("more", 1024, kGuardMs) == ERROR_SUCCESS) {
    }
    return 0;
  });
  (void)sender.Create(2);
  ASSERT_TRUE(WaitUntil([&] { return connection.load() != nullptr; }, kGuardMs));
  server.Pipe().RemoveConnection(connection);
  removed = true;
  EXPECT_FALSE(connection.load()->IsRunning());
  EXPECT_EQ(1, server.disconnects);
  EXPECT_EQ(0, server.Pipe().GetConnectionCount());
  sending = false;
  sender.Stop();
  EXPECT_EQ(0, lateMessages.load());
  EXPECT_EQ(1, server.Live());
  EXPECT_EQ(0, connection.load()->Release());
  EXPECT_EQ(0, server.Live());
  server.Pipe().CloseConnection(nullptr);  // unlisted: nothing
}

TEST(PipeStop, RequestStopWhileWaitingEndsQuietly) {
  LogCapture log;
  TestPipeServer server;
  ExpectEcho(server.Name(), "up");
  std::string name = server.Name();
  server.Pipe().RequestStop();
  EXPECT_EQ(0, server.Pipe().Wait());
  server.Delete();
  EXPECT_EQ(std::string::npos, log.Text().find("CServerPipe")) << log.Text();
  // No instance is left behind: the name is gone.
  EXPECT_FALSE(::WaitNamedPipeA(name.c_str(), 1));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), ::GetLastError());
}

TEST(PipeStop, IdleClientsGetTheClosingMessageThenTheBreak) {
  TestPipeServer server;
  server.EnableClosing();
  server.onClosing = [](CServerPipeConnection* c) {
    c->SetMessage(reinterpret_cast<const unsigned char*>("\x5A\x13"), 2, 250);
  };
  CPipeClient a, b;
  ASSERT_EQ(ERROR_SUCCESS, a.Open(server.Name(), kGuardMs));
  ASSERT_EQ(ERROR_SUCCESS, b.Open(server.Name(), kGuardMs));
  ASSERT_TRUE(WaitUntil([&] { return server.connects == 2; }, kGuardMs));
  server.Pipe().Stop();
  server.Delete();
  for (CPipeClient* c : {&a, &b}) {
    std::string reply;
    DWORD error;
    int closings = 0;
    while ((error = c->ReadReply(reply, kGuardMs)) == ERROR_SUCCESS) {
      EXPECT_EQ("\x5A\x13", reply);
      ++closings;
    }
    EXPECT_GE(closings, 1);
    EXPECT_LE(closings, 2);
    EXPECT_EQ(static_cast<DWORD>(ERROR_BROKEN_PIPE), error);
  }
}

TEST(PipeStop, StalledClientsCannotHoldTheStop) {
  for (bool stopFirst : {true, false}) {
    SCOPED_TRACE(stopFirst ? "Stop, then delete" : "delete alone");
    TestPipeServer server;
    std::atomic<CServerPipeConnection*> filler{nullptr};
    server.onMessage = [&](CServerPipeConnection* c, const CBufferBase<unsigned char>&) {
      c->AddRef();
      filler = c;
    };
    server.EnableClosing();
    server.onClosing = [](CServerPipeConnection* c) {
      c->SetMessage(reinterpret_cast<const unsigned char*>("\x5A\x13"), 2, 250);
    };
    CPipeClient halfBody, hugeLength, neverReads;
    ASSERT_EQ(ERROR_SUCCESS, neverReads.Open(server.Name(), kGuardMs));
    ASSERT_EQ(ERROR_SUCCESS, neverReads.SendFramed("fill me"));
    ASSERT_TRUE(WaitUntil([&] { return filler.load() != nullptr; }, kGuardMs));
    ASSERT_EQ(ERROR_SUCCESS, halfBody.Open(server.Name(), kGuardMs));
    ASSERT_EQ(ERROR_SUCCESS, halfBody.WriteMessage(Frame(std::string(100, 'h'))));
    ASSERT_EQ(ERROR_SUCCESS, halfBody.WriteMessage(std::string(50, 'h')));
    ASSERT_EQ(ERROR_SUCCESS, hugeLength.Open(server.Name(), kGuardMs));
    ASSERT_EQ(ERROR_SUCCESS, hugeLength.WriteMessage("\xFF\xFF\xFF\xFF"));
    ASSERT_TRUE(WaitUntil([&] { return server.connects == 3; }, kGuardMs));
    // Keeps writing to the client that never reads: its writes block in the
    // pipe, and so would the closing notice behind them.
    FnThread writer([&](FnThread&) {
      std::string block(1000, 'b');
      while (filler.load()->SetMessage(reinterpret_cast<const unsigned char*>(block.data()), 1000)) {
      }
      return 0;
    });
    (void)writer.Create(2);
    // The hang guard is the test's own time-out; no duration is asserted.
    if (stopFirst) server.Pipe().Stop();
    server.Delete();  // alone: the destructor stops the accept thread itself
    writer.Stop();
    EXPECT_EQ(1, server.Live());
    filler.load()->Release();
    EXPECT_EQ(0, server.Live());
  }
}

// Read back through a client's handle as the system keeps it (Wine keeps it
// as given): every ACE's SID and mask exactly.
TEST(PipeSecurity, ClientsMayReadAndWriteAndOnlySystemAndAdministratorsMore) {
  TestPipeServer server;
  CPipeClient client;  // opens for GENERIC_READ | GENERIC_WRITE, as client programs do
  ASSERT_EQ(ERROR_SUCCESS, client.Open(server.Name(), kGuardMs));
  // A null DACL (no ACE read back) would grant everyone everything.
  const BYTE allow = ACCESS_ALLOWED_ACE_TYPE;
  testsupport::ExpectAces(client.Handle(), SE_KERNEL_OBJECT,
                          {{allow, 0, FILE_ALL_ACCESS, WinLocalSystemSid},
                           {allow, 0, FILE_ALL_ACCESS, WinBuiltinAdministratorsSid},
                           {allow, 0, FILE_GENERIC_READ | FILE_GENERIC_WRITE, WinAuthenticatedUserSid}});
  ExpectEcho(client, "\x5A\x0C");
}

TEST(PipeWrites, ClientThatNeverReadsIsCutOffAlone) {
  TestPipeServer server;
  std::vector<CServerPipeConnection*> seen;
  CRITICAL_SECTION lock;
  ::InitializeCriticalSection(&lock);
  server.onMessage = [&](CServerPipeConnection* c, const CBufferBase<unsigned char>&) {
    c->AddRef();
    CCriticalSectionLocker guard(lock);
    seen.push_back(c);
  };
  CPipeClient stuck, reader;
  ASSERT_EQ(ERROR_SUCCESS, stuck.Open(server.Name(), kGuardMs));
  ASSERT_EQ(ERROR_SUCCESS, stuck.SendFramed("1"));
  ASSERT_TRUE(WaitUntil([&] { return server.messages == 1; }, kGuardMs));
  ASSERT_EQ(ERROR_SUCCESS, reader.Open(server.Name(), kGuardMs));
  ASSERT_EQ(ERROR_SUCCESS, reader.SendFramed("2"));
  ASSERT_TRUE(WaitUntil([&] { return server.messages == 2; }, kGuardMs));
  CServerPipeConnection* toStuck = seen[0];
  CServerPipeConnection* toReader = seen[1];

  LogCapture log;
  std::string block(1000, 'w');
  const unsigned char* data = reinterpret_cast<const unsigned char*>(block.data());
  int written = 0;
  while (written < 100 && toStuck->SetMessage(data, 1000, 300)) ++written;
  EXPECT_LT(written, 100);
  EXPECT_TRUE(toStuck->IsBroken());
  EXPECT_TRUE(log.Has("(Err 000005B4)"));
  std::string text = log.Text();
  EXPECT_TRUE(text.find("CServerPipeConnection::SetMessage failed write data") != std::string::npos) << text;
  int failures = log.Count("CServerPipeConnection::SetMessage failed write data");
  EXPECT_FALSE(toStuck->SetMessage(data, 1000));
  EXPECT_EQ(failures, log.Count("CServerPipeConnection::SetMessage failed write data"));  // no second line
  ASSERT_TRUE(WaitUntil([&] { return server.disconnects == 1; }, kGuardMs));              // reaped

  EXPECT_TRUE(toReader->SetMessage(data, 1000));
  std::string reply;
  ASSERT_EQ(ERROR_SUCCESS, reader.ReadReply(reply, kGuardMs));
  EXPECT_EQ(block, reply);
  toStuck->Release();
  toReader->Release();
  ::DeleteCriticalSection(&lock);
}

TEST(PipeAccept, LastingCreateFailureDoesNotSpin) {
  std::string part2 = std::to_string(::GetCurrentProcessId());
  std::string part3 = testsupport::UniqueName("held");
  std::string name = "\\\\.\\pipe\\pelorintest\\" + part2 + "\\" + part3;
  // One instance allowed, already taken: every further instance is refused.
  HANDLE holder =
      ::CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 512, 512, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, holder);
  LogCapture log;
  {
    CServerPipe pipe("pelorintest", part2.c_str(), part3.c_str());
    (void)pipe.Create(2);
    ASSERT_TRUE(log.Has("CServerPipe::WaitForClient CreatePipe failed", kGuardMs));
    ::Sleep(2000);
    pipe.RequestStop();
    EXPECT_EQ(0, pipe.Wait());
    pipe.Stop();
  }
  // About four turns in two seconds; the fault made thousands.
  int failures = log.Count("CServerPipe::WaitForClient CreateNamedPipe failed");
  EXPECT_GE(failures, 1);
  EXPECT_LE(failures, 40);
  ::CloseHandle(holder);
}

TEST(PipeWrites, ClosedInstanceIsNotWrittenTo) {
  LogCapture log;
  PipeInstance* instance = NewPipeInstance();
  ASSERT_NE(nullptr, instance);
  CServerPipeConnection* connection = new CServerPipeConnection(instance);
  EXPECT_FALSE(connection->SetMessage(reinterpret_cast<const unsigned char*>("x"), 1));
  EXPECT_FALSE(connection->HasPipe());
  EXPECT_EQ(0, connection->Release());
  EXPECT_TRUE(log.Has("CServerPipeConnection::SetMessage pipe not initialized"));
  EXPECT_TRUE(log.Has("CServerPipeConnection No pipe"));
}

}  // namespace
