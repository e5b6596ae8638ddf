// A server thread on the real control pipe, over a simulated world of the
// test's own, and the test access to its pipe road.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tools/pelclient/PipeClient.h"
#include "service/StopRequest.h"
#include "sim/boards/World.h"
#include "service/WatermarkServer.h"
#include "support/poll.h"
#include "support/temp_dir.h"
#include "tvlib/buffers/buffer_queue.h"
#include "tvlib/ipc/server_pipe.h"
#include "tests/tvlib/threads/sync_test_access.h"

struct CWatermarkServerTestAccess {
  static CServerPipe* Pipe(CWatermark_Server& s) { return s.m_pPipe; }
  // Held by a test, it stalls the loop in its board check.
  static CMutex& UpgradeMutex(CWatermark_Server& s) { return *s.m_upgradeCondition.GetMutex(); }
  static BrokenCondition BreakLoopWait(CWatermark_Server& s) { return BrokenCondition(s.m_wakeCondition); }
  static void QueueMessage(CWatermark_Server& s, CServerPipeConnection* c,
                           const CBufferBase<unsigned char>& m) {
    s.OnClientMessage(c, m);
  }
};

namespace servertest {

const DWORD kGuardMs = 30000;

// "5A 0C" or "5A0C" -> bytes.
inline std::string Bytes(const std::string& hex) {
  std::string out, digits;
  for (char c : hex)
    if (c != ' ') digits += c;
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    out += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
  return out;
}

inline std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// The first of `lines` that `text` does not hold after the ones before it;
// empty when all come in that order.
inline std::string FirstOutOfOrder(const std::string& text, const std::vector<std::string>& lines) {
  size_t at = 0;
  for (const std::string& line : lines) {
    at = text.find(line, at);
    if (at == std::string::npos) return line;
    ++at;
  }
  return std::string();
}

// The server thread, started in the constructor on `world` (none by default)
// once the pipe is free, stopped in the destructor.
class RunningServer {
 public:
  explicit RunningServer(const std::string& world = "[sim]\n", bool withProducts = true)
      : m_server(new CWatermark_Server(nullptr)) {
    EXPECT_TRUE(sim::NewWorld(world));
    if (withProducts) m_server->GetSettings()["PRODUCTS"] = "C:\\run\\Products\\Watermark";
    m_server->GetSettings()["CFG"] = m_cfg.Path();
    EXPECT_EQ(0, m_server->Create(2));
    EXPECT_TRUE(testsupport::WaitUntil(
        [] { return ::WaitNamedPipeA(kControlPipeName, 1) || ::GetLastError() != ERROR_FILE_NOT_FOUND; },
        kGuardMs));
  }
  ~RunningServer() { Stop(); }
  RunningServer(const RunningServer&) = delete;
  RunningServer& operator=(const RunningServer&) = delete;

  CWatermark_Server& Server() { return *m_server; }
  CServerPipe& Pipe() { return *CWatermarkServerTestAccess::Pipe(*m_server); }

  // The thread's exit code (read before Stop releases the thread).
  int Stop() {
    if (!m_stopped) {
      m_server->RequestStop();
      ::WaitForSingleObject(m_server->GetThreadHandle(), kGuardMs);
      DWORD code = 0;
      if (::GetExitCodeThread(m_server->GetThreadHandle(), &code)) m_exitCode = static_cast<int>(code);
      m_server->Stop();
      m_stopped = true;
    }
    return m_exitCode;
  }

 private:
  TestTempDir m_cfg;  // the boards' XML copies
  std::unique_ptr<CWatermark_Server> m_server;
  bool m_stopped = false;
  int m_exitCode = -2;
};

// One client of the control pipe.
class Client {
 public:
  Client() { m_open = m_pipe.Open(kControlPipeName, kGuardMs); }
  DWORD OpenResult() const { return m_open; }
  CPipeClient& Pipe() { return m_pipe; }
  DWORD Send(const std::string& hex) { return m_pipe.SendFramed(Bytes(hex)); }
  // The hex of the next framed reply, or "error N".
  std::string Reply(DWORD timeoutMs = kGuardMs) {
    std::string body;
    DWORD rc = m_pipe.ReadReply(body, timeoutMs);
    return rc == ERROR_SUCCESS ? Hex(body) : "error " + std::to_string(rc);
  }
  std::string Ask(const std::string& hex) {
    DWORD rc = Send(hex);
    return rc == ERROR_SUCCESS ? Reply() : "send error " + std::to_string(rc);
  }

 private:
  CPipeClient m_pipe;
  DWORD m_open;
};

}  // namespace servertest
