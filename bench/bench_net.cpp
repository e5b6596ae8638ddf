// Baselines of the socket layer on loopback: datagrams per second and MB/s of
// 1000-byte datagrams from one line to another for 3 s (UDP on 127.0.0.1, and
// RAW with protocol 2 when raw sockets can be created), and the time from the
// last line's Unregister to the end of its receiver (median of 20).
//
// Usage: bench_net. Prints figures only; nothing is asserted.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_clock.h"
#include "tvlib/log/log.h"
#include "tvlib/net/ip_address.h"
#include "tvlib/net/ip_proto.h"
#include "tvlib/net/socket.h"
#include "tvlib/win.h"

// The line's socket, as the tests reach it.
struct SocketLineTestAccess {
  static CSocket* Socket(CSocketLine& line) { return line.m_pSocket; }
};

namespace {

using bench::Now;
using bench::Seconds;

// Counts what arrives instead of queueing it.
class CountingLine : public CSocketLine {
 public:
  using CSocketLine::CSocketLine;
  ~CountingLine() override { Unregister(); }
  bool Push(const CBufferBase<unsigned char>& buffer) override {
    ::InterlockedIncrement(&m_count);
    ::InterlockedExchangeAdd(&m_bytes, static_cast<LONG>(buffer.GetLength()));
    return true;
  }
  LONG Count() { return ::InterlockedCompareExchange(&m_count, 0, 0); }
  LONG Bytes() { return ::InterlockedCompareExchange(&m_bytes, 0, 0); }

 private:
  volatile LONG m_count = 0;
  volatile LONG m_bytes = 0;
};

std::unique_ptr<CIPbase> V4(const char* text, unsigned short port) {
  std::unique_ptr<CIPbase> a(new CIPv4());
  a->Parse(text);
  a->SetPort(port);
  return a;
}

// Sends for 3 s with at most `window` datagrams in flight, so that the figure
// is what arrives rather than what the stack drops.
void Throughput(const char* what, CIPProto& senderProto, CIPProto& receiverProto, const char* senderIp,
                const char* receiverIp, unsigned short senderPort, unsigned short receiverPort) {
  auto senderLocal = V4(senderIp, senderPort), toReceiver = V4(receiverIp, receiverPort);
  auto receiverLocal = V4(receiverIp, receiverPort), fromSender = V4(senderIp, senderPort);
  CSocketLine sender(senderLocal.get(), toReceiver.get(), &senderProto);
  CountingLine receiver(receiverLocal.get(), fromSender.get(), &receiverProto);
  if (!sender.IsReady() || !receiver.IsReady() || !receiver.Register()) {
    printf("%-40s not measured: the lines could not be set up\n", what);
    return;
  }
  const LONG window = 256;
  CBufferBase<unsigned char> payload(1000);
  for (uint32_t i = 0; i < payload.GetLength(); ++i) payload[i] = static_cast<unsigned char>(i);
  LONG sent = 0, failed = 0;
  int64_t start = Now(), end = start + 3 * static_cast<int64_t>(bench::TicksPerSecond());
  while (Now() < end) {
    if (sent - receiver.Count() >= window) {
      // A datagram lost on the way must not stall the window for good.
      int64_t waitEnd = Now() + static_cast<int64_t>(bench::TicksPerSecond()) / 100;
      while (sent - receiver.Count() >= window && Now() < waitEnd) ::Sleep(0);
      if (sent - receiver.Count() >= window) sent = receiver.Count();
      continue;
    }
    CBufferBase<unsigned char> copy;
    copy.CopyFrom(payload, 0, 0, 0);
    if (sender.Send(copy))
      ++sent;
    else
      ++failed;
  }
  double elapsed = Seconds(Now() - start);
  ::Sleep(200);
  LONG got = receiver.Count();
  printf("%-40s %9.0f datagrams/s   %7.2f MB/s   (%ld received in %.2f s, %ld send failures)\n", what,
         got / elapsed, receiver.Bytes() / elapsed / 1e6, got, elapsed, failed);
}

void StopLatency(unsigned short port) {
  CIPProto_UDP udp;
  auto local = V4("127.0.0.1", port), remote = V4("127.0.0.1", static_cast<unsigned short>(port + 1));
  std::vector<double> samples;
  for (int i = 0; i < 20; ++i) {
    CSocketLine line(local.get(), remote.get(), &udp);
    if (!line.Register()) break;
    CSocket* socket = SocketLineTestAccess::Socket(line);
    ::Sleep(20);  // the receiver is blocked in recvfrom by then
    int64_t t0 = Now();
    line.Unregister();
    while (socket->IsReceiving()) ::Sleep(0);
    samples.push_back(Seconds(Now() - t0) * 1e6);
  }
  if (samples.empty()) {
    printf("%-40s not measured\n", "Unregister to receiver end");
    return;
  }
  const bench::Summary s = bench::Summarise(samples);
  printf("%-40s median %9.1f us   max %9.1f us   (n=%zu)\n", "Unregister to receiver end (UDP)", s.median,
         s.max, samples.size());
}

}  // namespace

int main() {
  LogVerbosity = 0;
  if (!CSocket::Startup()) {
    printf("Winsock start-up failed\n");
    return 1;
  }
  unsigned short base = static_cast<unsigned short>(33000 + (::GetCurrentProcessId() / 4) % 1000 * 8);
  CIPProto_UDP udp;
  Throughput("UDP 127.0.0.1, 1000-byte datagrams", udp, udp, "127.0.0.1", "127.0.0.1", base, base + 1);
  SOCKET probe = ::socket(AF_INET, SOCK_RAW, 2);
  if (probe == INVALID_SOCKET) {
    printf("%-40s not measured: raw sockets refused (%d)\n", "RAW protocol 2", ::WSAGetLastError());
  } else {
    ::closesocket(probe);
    DWORD pid = ::GetCurrentProcessId();
    std::string one = "127." + std::to_string((pid >> 8) & 0xFF) + "." + std::to_string(pid & 0xFF) + ".";
    std::string two = one + "2";
    one += "1";
    CIPProto_Raw raw(2);
    Throughput("RAW protocol 2, 1000-byte datagrams", raw, raw, one.c_str(), two.c_str(), 1, 2);
  }
  StopLatency(static_cast<unsigned short>(base + 2));
  return 0;
}
