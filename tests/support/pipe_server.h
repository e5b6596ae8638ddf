// A library pipe server on a name of the test's own ("pelorintest", the
// process id, a counter: every process of one wineserver shares the pipe
// namespace), for tests of the pipe and of its clients. Its connections are
// made through OnCreateConnection as TestConnection, which counts
// constructions and destructions and poisons a live marker when destroyed.
// By default every message is echoed back on its connection.
#pragma once

#include <functional>
#include <string>

#include "support/paths.h"
#include "support/poll.h"
#include "tvlib/ipc/server_pipe.h"
#include "tvlib/win.h"

class TestPipeServer;

class TestConnection : public CServerPipeConnection {
 public:
  static constexpr LONG kLive = 0x1157;
  static constexpr LONG kDead = 0xDEAD;
  TestConnection(PipeInstance* instance, TestPipeServer* server);
  ~TestConnection() override;
  volatile LONG marker = kLive;

 private:
  TestPipeServer* m_server;
};

class TestPipeServer {
 public:
  typedef std::function<void(CServerPipeConnection*, const CBufferBase<unsigned char>&)> MessageFn;

  // start false: the accept thread is left to the test (test access).
  explicit TestPipeServer(bool start = true, uint32_t maxMessageLength = 0)
      : m_part2(std::to_string(::GetCurrentProcessId())),
        m_part3(testsupport::UniqueName("s")),
        m_pipe(new CServerPipe("pelorintest", m_part2.c_str(), m_part3.c_str())) {
    m_pipe->SetConnectTarget(this);
    m_pipe->SetOnCreateConnection(&TestPipeServer::CreateConnection);
    m_pipe->SetOnConnect(&PipeMember<TestPipeServer, &TestPipeServer::OnConnect>);
    m_pipe->SetOnDisconnect(this, &PipeMember<TestPipeServer, &TestPipeServer::OnDisconnect>);
    m_pipe->SetMaxMessageLength(maxMessageLength);
    onMessage = [](CServerPipeConnection* c, const CBufferBase<unsigned char>& m) { c->SetMessage(m); };
    if (start) {
      (void)m_pipe->Create(2);
      WaitListening();
    }
  }
  ~TestPipeServer() { Delete(); }
  TestPipeServer(const TestPipeServer&) = delete;
  TestPipeServer& operator=(const TestPipeServer&) = delete;

  std::string Name() const { return m_pipe ? m_pipe->GetPipeName() : std::string(); }
  CServerPipe& Pipe() { return *m_pipe; }
  // Until the first instance exists (clients opening earlier would find no pipe).
  bool WaitListening() {
    std::string name = Name();
    return testsupport::WaitUntil(
        [&] { return ::WaitNamedPipeA(name.c_str(), 1) || ::GetLastError() != ERROR_FILE_NOT_FOUND; }, 30000);
  }
  // Stop, then delete, as the owner of a pipe does.
  void Delete() {
    if (m_pipe == nullptr) return;
    m_pipe->Stop();
    delete m_pipe;
    m_pipe = nullptr;
  }

  // Set before clients connect; runs on the connection's thread.
  MessageFn onMessage;
  // Optional: the connection's closing notice (under the list lock).
  std::function<void(CServerPipeConnection*)> onClosing;
  void EnableClosing() {
    m_pipe->SetOnClosing(this, &PipeMember<TestPipeServer, &TestPipeServer::OnClosing>);
  }

  volatile LONG constructed = 0, destroyed = 0, connects = 0, disconnects = 0, messages = 0;
  LONG Live() const { return constructed - destroyed; }

 private:
  static CServerPipeConnection* CreateConnection(void* target, PipeInstance* instance) {
    return new TestConnection(instance, static_cast<TestPipeServer*>(target));
  }
  void OnConnect(CServerPipeConnection* c) {
    ::InterlockedIncrement(&connects);
    c->SetOnMessage(this, &PipeMessageMember<TestPipeServer, &TestPipeServer::OnMessage>);
  }
  void OnDisconnect(CServerPipeConnection*) { ::InterlockedIncrement(&disconnects); }
  void OnClosing(CServerPipeConnection* c) {
    if (onClosing) onClosing(c);
  }
  void OnMessage(CServerPipeConnection* c, const CBufferBase<unsigned char>& m) {
    ::InterlockedIncrement(&messages);
    if (onMessage) onMessage(c, m);
  }

  std::string m_part2, m_part3;
  CServerPipe* m_pipe;
};

inline TestConnection::TestConnection(PipeInstance* instance, TestPipeServer* server)
    : CServerPipeConnection(instance), m_server(server) {
  ::InterlockedIncrement(&m_server->constructed);
}

inline TestConnection::~TestConnection() {
  marker = kDead;
  ::InterlockedIncrement(&m_server->destroyed);
}
