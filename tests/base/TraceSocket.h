// A connected socket pair for observing the lock trace: one end goes to the trace sender,
// the test reads the other. Hides the platform difference (POSIX socketpair versus a
// Winsock loopback pair) and the socket-layer start-up that Windows needs.
#pragma once

#include <string>

#include "QV_Base/Src/Platform.h"

namespace zbtest {

class TraceSocket {
 public:
  // A stream pair keeps byte order only; a datagram pair keeps each send as one message.
  enum class Kind { kStream, kDatagram };

  explicit TraceSocket(Kind kind = Kind::kStream);
  ~TraceSocket();
  TraceSocket(const TraceSocket&) = delete;
  TraceSocket& operator=(const TraceSocket&) = delete;

  bool ok() const { return m_sender != zbplat::kNoSocket && m_receiver != zbplat::kNoSocket; }
  // The end that a TraceSender writes to; still owned by this pair.
  zbplat::SocketHandle sender() const { return m_sender; }
  // Hands the sending end to a caller that will close it.
  zbplat::SocketHandle ReleaseSender();

  // The bytes of one receive call (for a datagram pair: one message); empty when nothing
  // arrives within timeoutMs.
  std::string ReceiveOnce(int timeoutMs);
  // Bytes up to and including the next line feed; what arrived so far on timeout.
  std::string ReceiveLine(int timeoutMs);
  // True when the sending end has been closed (the receiver sees end of stream).
  bool PeerClosed(int timeoutMs);

 private:
  bool WaitReadable(int timeoutMs) const;

  zbplat::SocketHandle m_sender = zbplat::kNoSocket;
  zbplat::SocketHandle m_receiver = zbplat::kNoSocket;
};

// The socket layer's last error for this thread, and a way to clear it.
int LastSocketError();
void ClearSocketError();

// A handle value that names no open socket, so closing it fails.
zbplat::SocketHandle UnopenedSocketHandle();

}  // namespace zbtest
