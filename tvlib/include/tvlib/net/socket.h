// The socket layer: start-up of Windows Sockets, the socket object, the
// receiver thread that serves a socket's lines, and the line (one
// conversation between a local and a remote address over a protocol).
//
// Ownership: a CSocket never owns the protocol object, nor the address it is
// given, except the clone that a protocol's cache hands it (AdoptAddress).
// Sockets are made and cached by CIPProto::GetSocketFor, or by Accept (the
// caller owns the new socket). A line's addresses and protocol belong to its
// owner and must outlive the line.
//
// Threads and locks of a CSocket:
// - m_hSocket is atomic: the receiver reads it without a lock, and every
//   closer takes it with an exchange to INVALID_SOCKET, so exactly one of them
//   shuts down and closes a handle, never INVALID_SOCKET or a value that the
//   system has meanwhile given to another socket. While a receiver runs, the
//   handle is its own: only the receiver closes it, as the last thing it does
//   after a stop, once no read of it is in flight. Other threads close it only
//   when no receiver runs (after joining it).
// - m_csLines guards the registrations and the receiver pointer; the receiver
//   holds it while it hands a datagram to the lines.
// - m_csSend makes SendTo (the send work buffer and the sendto) one step, so
//   any number of lines may send on a shared socket at once.
// - m_csSetup serialises AddLine, RemoveLine, Reopen and Close. They join an
//   old receiver only while holding m_csSetup alone (never m_csLines, which the
//   receiver takes to push) and before a new handle is opened on the socket.
//   A line's Push runs on the receiver thread and must not register or
//   unregister lines.
// - Only the receiver thread calls RecvFrom on a socket that has lines; the
//   receive work buffer is its own.
// Stopping: the stop request comes first, then the receiver's stop event;
// the receiver waits for {stop event, read completion}, so a stop cancels its
// read in flight (CancelIoEx), takes the read's completion and closes the
// handle, without logging. RemoveLine of the last line and Close wait for
// that end (unbounded: the receiver's only other wait is a line's Push).
#pragma once

#include <atomic>
#include <cstdint>

#include "tvlib/win.h"
#include <winsock2.h>

#include "tvlib/buffers/buffer.h"
#include "tvlib/buffers/buffer_queue.h"
#include "tvlib/threads/thread.h"
#include "tvlib/time/clock.h"

class CIPbase;
class CIPProto;
class CSocketLine;

// One line registered on a socket: datagrams from `pRemote` go to `pLine`.
struct SocketRegistration {
  CIPbase* pRemote;    // not owned
  CSocketLine* pLine;  // not owned
};

class CSocket {
 public:
  // Results of Reopen.
  enum {
    eREOPEN_OK = 0,
    eREOPEN_CREATE_FAILED = 1,
    eREOPEN_BIND_FAILED = 2,
    eREOPEN_INVALID = 3,
  };

  // Reads datagrams off the socket and hands each to the lines whose remote
  // address matches the sender. Started by the first AddLine; stopped by
  // RemoveLine of the last line, Close and the socket's end, and then closes
  // the socket's handle itself. Ends by itself (exit code -1, the handle left
  // to the socket) when the socket breaks: a receive error other than a
  // datagram too big or an ICMP report on a datagram socket (logged once),
  // or a stream's end.
  class CSocketReceiver : public CThread {
   public:
    explicit CSocketReceiver(CSocket* socket);
    // The body uses the socket: stop it while the object is whole.
    ~CSocketReceiver() override;
    // Sets the stop flag, then the stop event that ends a read in flight.
    void RequestStop() override;
    int ThreadEntry() override;

   private:
    CSocket* m_pSocket;   // not owned
    HANDLE m_hStopEvent;  // manual reset; set once, by RequestStop
    HANDLE m_hReadEvent;  // manual reset; the overlapped read's, this thread's only
  };

  // WSAStartup for version 2.0; true when Winsock is ready. The program's main
  // body calls it once, before anything else of the network. Winsock stays up
  // until the process ends: nothing calls WSACleanup.
  static bool Startup();

  CSocket();
  CSocket(SOCKET handle, CIPbase* address, CIPProto* protocol);
  virtual ~CSocket();
  CSocket(const CSocket&) = delete;
  CSocket& operator=(const CSocket&) = delete;

  // Address and protocol set and a handle open.
  bool IsValid() const;
  // A handle of the address's family and the protocol's type and number, with
  // the protocol's options.
  bool Create();
  bool Bind();
  bool Listen();
  // To the socket's own address, which for a client is the peer.
  bool Connect();
  // The new socket (owned by the caller) shares this one's address and protocol.
  bool Accept(CSocket** accepted);

  // Stream receive of up to size bytes: the count, or -1 (also when the peer
  // has closed).
  int Recv(CBufferBase<unsigned char>& buffer, uint32_t size);
  bool Send(const CBufferBase<unsigned char>& buffer);
  // One datagram, unframed, into buffer (its length is the payload's); from
  // (if given) takes the sender. 1, or -1 for a datagram refused or a failure.
  int RecvFrom(CBufferBase<unsigned char>& buffer, CIPbase* from);
  // One datagram through the protocol's framing; the frame's source port is
  // source's (the sending line's address), or the socket's when null.
  bool SendTo(const CBufferBase<unsigned char>& buffer, const CIPbase* to, const CIPbase* source = nullptr);

  // Registers a line for datagrams from remote. Opens the handle again when
  // it was closed, and replaces a receiver that has ended.
  bool AddLine(CIPbase* remote, CSocketLine* line);
  // Removes the first registration of that remote address object (and, when
  // line is given, of that line); the last one stops the receiver and waits
  // for its end, so the handle is closed when this returns.
  bool RemoveLine(CIPbase* remote, CSocketLine* line = nullptr);
  bool IsReceiving();
  // Stops and deletes the receiver, then closes the handle. Always true.
  bool Close();

  // For a protocol's cache: the socket refers to the clone and owns it.
  void AdoptAddress(CIPbase* clone);
  // Opens a closed handle again on this object (Create and Bind), after the
  // old receiver is gone, so that the pointers lines hold stay good.
  int Reopen();

  SOCKET GetHandle() const { return m_hSocket.load(); }
  CIPbase* GetAddress() const { return m_pAddress; }
  CIPProto* GetProtocol() const { return m_pProtocol; }

 private:
  // What one receive came to: a datagram; none, the socket going on (a
  // datagram refused, empty or cut, an ICMP report); a stop; a broken socket.
  enum class Receipt { kDatagram, kRefused, kStopped, kBroken };

  void CloseHandleOnce();
  // Takes out a receiver that has ended or lost its handle and deletes it.
  void DropEndedReceiver();
  // Takes out the receiver, stops and joins it, then closes the handle that
  // it left (under m_csSetup, never m_csLines).
  void StopReceiver();
  // Logs a failed receive unless it is what closing the handle causes.
  void LogReceiveFailure(int error, const char* text);
  bool IsTransientReceiveError(int error) const;
  // RecvFrom's steps. Without events a blocking recvfrom; with the
  // receiver's, an overlapped read that its stop event ends.
  [[nodiscard]] Receipt Receive(CBufferBase<unsigned char>& buffer, CIPbase* from, HANDLE stopEvent,
                                HANDLE readEvent);
  // A datagram into at least 1500 bytes of buffer, its length then the
  // datagram's.
  [[nodiscard]] Receipt ReceiveDatagram(CBufferBase<unsigned char>& buffer, CIPbase* from, HANDLE stopEvent,
                                        HANDLE readEvent);
  // WSARecvFrom on the receiver thread: the count, or SOCKET_ERROR with the
  // error as the thread's last; *stopped when the stop event ended the wait,
  // the read then cancelled and its completion taken.
  [[nodiscard]] static int ReceiveOverlapped(SOCKET handle, WSABUF* chunk, CIPbase* from, int* fromSize,
                                             HANDLE stopEvent, HANDLE readEvent, bool* stopped);
  void Dispatch(const CBufferBase<unsigned char>& datagram, const CIPbase* sender);

  std::atomic<SOCKET> m_hSocket;
  CIPbase* m_pAddress;                               // not owned, unless it is m_pOwnedAddress
  CIPbase* m_pOwnedAddress;                          // the cache's clone, or null
  CIPProto* m_pProtocol;                             // not owned
  CBufferBase<unsigned char> m_RecvBuffer;           // receiver thread only
  CBufferBase<unsigned char> m_SendBuffer;           // under m_csSend
  CSocketReceiver* m_pReceiver;                      // owned; under m_csLines
  CBufferBase<SocketRegistration*> m_Registrations;  // records owned; under m_csLines
  CRITICAL_SECTION m_csLines;
  CRITICAL_SECTION m_csSend;
  CRITICAL_SECTION m_csSetup;
};

// Impairment of a line's outgoing datagrams, for tests of lossy links. Both
// percentages 0 switch it off. RandomNumber(100) yields 0..100, so a drop
// percentage of 100 still sends about one datagram in 101; 101 drops all.
class CPacketImpairment {
 public:
  bool ShouldDrop();
  // XORs each byte picked (corruption percentage) with 0..255, in place.
  void Corrupt(CBufferBase<unsigned char>& buffer);

  int m_iDropPercentage = 0;
  int m_iCorruptionPercentage = 0;
  CRandom m_Random;
};

// One conversation over a protocol: the socket comes from the protocol
// (shared by the lines of one local IP when the protocol frames its ports).
// Send may be called from any thread, one at a time per line (the impairment
// is the line's own); lines that share a socket may send at once. Push runs
// on the socket's receiver thread. A subclass that overrides Push must Unregister in its own
// destructor, before its part of the object goes.
class CSocketLine {
 public:
  CSocketLine(CIPbase* local, CIPbase* remote, CIPProto* protocol);
  virtual ~CSocketLine();
  CSocketLine(const CSocketLine&) = delete;
  CSocketLine& operator=(const CSocketLine&) = delete;

  // Queues the datagram (one record, the queue grows without a maximum).
  virtual bool Push(const CBufferBase<unsigned char>& buffer);

  bool Register();
  bool Unregister();
  bool ShutdownSend();
  // The datagram may be dropped or corrupted in place by the impairment.
  bool Send(CBufferBase<unsigned char>& buffer);

  bool IsReady() const { return m_bReady; }
  CPacketImpairment& GetImpairment() { return m_Impairment; }
  // What the base Push queued.
  CBuffer_Queue& GetQueue() { return m_Queue; }

 private:
  friend struct SocketLineTestAccess;

  bool m_bReady;
  CIPbase* m_pLocal;   // not owned
  CIPbase* m_pRemote;  // not owned
  CIPProto* m_pProtocol;
  CSocket* m_pSocket;  // from the protocol, released in the destructor
  CBuffer_Queue m_Queue;
  CBufferBase<unsigned char> m_Buffer;  // 1024 bytes, no user
  CPacketImpairment m_Impairment;
};
