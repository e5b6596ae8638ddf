// Round trips on the control pipe: a bare overlapped Win32 pipe server as the
// baseline, the library's pipe server echoing a 32-byte reply, and the server
// thread on an empty simulated world answering request 12 (32 bytes, one
// request per loop turn). Every client is the same pelclient library client
// sending a framed 2-byte request and reading the framed reply, with 1 and
// with 16 clients at once.
//
// Usage: bench_pipe [round trips per client, default 2000]. The server thread
// uses the real pipe name: run it while no pelorin instance runs. Prints
// figures only; nothing is asserted.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_clock.h"
#include "tools/pelclient/PipeClient.h"
#include "service/StopRequest.h"
#include "sim/boards/World.h"
#include "service/WatermarkServer.h"
#include "tvlib/ipc/pipe_io.h"
#include "tvlib/ipc/server_pipe.h"
#include "tvlib/log/log.h"
#include "tvlib/win.h"

namespace {

using bench::Now;
const auto ToMicroseconds = bench::Microseconds;

const std::string kRequest("\x5A\x0C", 2);
const std::string kReply = kRequest + "watermark;Watermark;01.00.0014";

// Runs `clients` clients of `name` at once, `trips` round trips each, and
// prints the round trip's median and p99 and the requests per second.
void Measure(const char* what, const std::string& name, int clients, int trips) {
  std::vector<std::vector<double>> samples(static_cast<size_t>(clients));
  std::atomic<int> failures{0};
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      CPipeClient client;
      if (client.Open(name, 30000) != ERROR_SUCCESS) {
        ++failures;
        ++ready;
        return;
      }
      ++ready;
      while (!go) ::Sleep(1);
      std::vector<double>& mine = samples[static_cast<size_t>(c)];
      mine.reserve(static_cast<size_t>(trips));
      std::string reply;
      for (int i = 0; i < trips; ++i) {
        int64_t t0 = Now();
        if (client.SendFramed(kRequest) != ERROR_SUCCESS || client.ReadReply(reply, 30000) != ERROR_SUCCESS ||
            reply.size() != kReply.size()) {
          ++failures;
          return;
        }
        mine.push_back(ToMicroseconds(Now() - t0));
      }
    });
  }
  while (ready < clients) ::Sleep(1);
  int64_t start = Now();
  go = true;
  for (std::thread& t : threads) t.join();
  double seconds = ToMicroseconds(Now() - start) / 1e6;
  std::vector<double> all;
  for (std::vector<double>& s : samples) all.insert(all.end(), s.begin(), s.end());
  if (all.empty()) {
    printf("%-34s %2d client(s): no round trip completed\n", what, clients);
    return;
  }
  const bench::Summary s = bench::Summarise(all);
  printf("%-34s %2d client(s): median %8.1f us  p99 %8.1f us  %8.0f req/s  (n=%zu, failures %d)\n", what,
         clients, s.median, s.p99, all.size() / seconds, all.size(), failures.load());
}

// The baseline: one thread per instance, overlapped calls, no library.
class BarePipeServer {
 public:
  BarePipeServer(const std::string& name, int instances) : m_name(name) {
    m_stop = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (int i = 0; i < instances; ++i) {
      HANDLE pipe = ::CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                       PIPE_UNLIMITED_INSTANCES, 1024, 1024, 0, nullptr);
      m_threads.emplace_back([this, pipe] { Serve(pipe); });
    }
  }
  ~BarePipeServer() {
    ::SetEvent(m_stop);
    for (std::thread& t : m_threads) t.join();
    ::CloseHandle(m_stop);
  }

 private:
  // Starts one operation and waits for it (or for the stop); false on failure.
  bool Complete(HANDLE pipe, OVERLAPPED& ov, BOOL started, DWORD* n) {
    if (!started && ::GetLastError() != ERROR_IO_PENDING && ::GetLastError() != ERROR_PIPE_CONNECTED)
      return false;
    if (!started && ::GetLastError() == ERROR_PIPE_CONNECTED) return true;
    HANDLE events[2] = {ov.hEvent, m_stop};
    if (::WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
      ::CancelIoEx(pipe, &ov);
      ::GetOverlappedResult(pipe, &ov, n, TRUE);
      return false;
    }
    return ::GetOverlappedResult(pipe, &ov, n, FALSE) != 0;
  }

  void Serve(HANDLE pipe) {
    OVERLAPPED ov = {};
    ov.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    unsigned char length[4], body[1024], replyLength[4];
    EncodeFrameLength(static_cast<uint32_t>(kReply.size()), replyLength);
    if (Complete(pipe, ov, ::ConnectNamedPipe(pipe, &ov), &n)) {
      for (;;) {
        if (!Complete(pipe, ov, ::ReadFile(pipe, length, 4, &n, &ov), &n) || n != 4) break;
        if (!Complete(pipe, ov, ::ReadFile(pipe, body, DecodeFrameLength(length), &n, &ov), &n)) break;
        if (!Complete(pipe, ov, ::WriteFile(pipe, replyLength, 4, &n, &ov), &n)) break;
        if (!Complete(pipe, ov, ::WriteFile(pipe, kReply.data(), static_cast<DWORD>(kReply.size()), &n, &ov),
                      &n))
          break;
      }
    }
    ::CloseHandle(ov.hEvent);
    ::CloseHandle(pipe);
  }

  std::string m_name;
  HANDLE m_stop;
  std::vector<std::thread> m_threads;
};

// The library's server, answering every message with the 32-byte reply on
// the connection's thread.
struct LibraryEcho {
  static void* OnConnect(void* target, CServerPipeConnection* connection) {
    connection->SetOnMessage(target, &LibraryEcho::OnMessage);
    return target;
  }
  static void* OnMessage(void* target, CServerPipeConnection* connection, const CBufferBase<unsigned char>&) {
    connection->SetMessage(reinterpret_cast<const unsigned char*>(kReply.data()),
                           static_cast<uint32_t>(kReply.size()));
    return target;
  }
};

std::string UniquePart(const char* what) { return what + std::to_string(::GetCurrentProcessId()); }

}  // namespace

int main(int argc, char** argv) {
  int trips = argc > 1 ? std::max(10, atoi(argv[1])) : 2000;
  LogVerbosity = 0;
  SetLogConsoleEcho(false);
  printf("Round trips of a 2-byte request and a 32-byte reply, %d per client\n", trips);

  for (int clients : {1, 16}) {
    const std::string name = "\\\\.\\pipe\\pelorinbench\\bare\\" + UniquePart("c") + std::to_string(clients);
    BarePipeServer bare(name, clients);
    Measure("bare overlapped Win32 server", name, clients, trips);
  }

  {
    const std::string part2 = UniquePart("lib");
    CServerPipe pipe("pelorinbench", part2.c_str(), "echo");
    pipe.SetConnectTarget(&pipe);
    pipe.SetOnConnect(&LibraryEcho::OnConnect);
    (void)pipe.Create(2);
    DWORD error = 0;
    HANDLE probe = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 3000 && probe == INVALID_HANDLE_VALUE; ++i) {
      probe = OpenPipeClient(pipe.GetPipeName().c_str(), 10, &error);
      if (probe == INVALID_HANDLE_VALUE) ::Sleep(10);
    }
    if (probe != INVALID_HANDLE_VALUE) ::CloseHandle(probe);
    for (int clients : {1, 16}) Measure("library pipe server (echo)", pipe.GetPipeName(), clients, trips);
    pipe.Stop();
  }

  {
    sim::NewWorld("[sim]\n");
    CWatermark_Server server(nullptr);
    (void)server.Create(2);
    for (int i = 0; i < 3000; ++i) {
      if (::WaitNamedPipeA(kControlPipeName, 1) || ::GetLastError() != ERROR_FILE_NOT_FOUND) break;
      ::Sleep(10);
    }
    // One request per loop turn: fewer trips keep the 16-client run short.
    for (int clients : {1, 16}) Measure("server thread (request 12)", kControlPipeName, clients, trips / 4);
    server.RequestStop();
    server.Stop();
  }
  return 0;
}
