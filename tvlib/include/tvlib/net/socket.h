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
//   system has meanwhile given to another socket.
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
// Stopping: closing the handle wakes a receiver blocked in recvfrom; it then
// sees its stop flag or the closed handle and ends without logging.
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
  // closing the socket's handle (RequestStop, Close, the socket's end).
  class CSocketReceiver : public CThread {
   public:
    explicit CSocketReceiver(CSocket* socket) : CThread(3), m_pSocket(socket) {}
    // The body uses the socket: stop it while the object is whole.
    ~CSocketReceiver() override { Stop(); }
    // Sets the stop flag, then closes the socket's handle to wake recvfrom.
    void RequestStop() override;
    int ThreadEntry() override;

   private:
    CSocket* m_pSocket;  // not owned
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
  // line is given, of that line); the last one stops the receiver, which
  // closes the handle.
  bool RemoveLine(CIPbase* remote, CSocketLine* line = nullptr);
  bool IsReceiving();
  // Closes the handle, then stops and deletes the receiver. Always true.
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
  void CloseHandleOnce();
  // Takes out a receiver that has ended or lost its handle and deletes it.
  void DropEndedReceiver();
  // Logs a failed receive unless it is what closing the handle causes.
  void LogReceiveFailure(const char* text);
  // recvfrom into at least 1500 bytes of buffer, its length then the
  // datagram's; false for a failure or an empty datagram.
  bool ReceiveDatagram(CBufferBase<unsigned char>& buffer, CIPbase* from);
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
