// TraceSocket: socketpair(AF_UNIX) on POSIX systems, a loopback pair after WSAStartup on Windows.
#include "tests/base/TraceSocket.h"

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <errno.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace zbtest {

namespace {

constexpr int kReceiveBytes = 1024;
constexpr int kMsPerSecond = 1000;
constexpr int kUsPerMs = 1000;

#if defined(_WIN32)
// Winsock must be started once before any socket call; it stays up for the process.
void StartSockets() {
  static const bool started = [] {
    WSADATA data;
    constexpr WORD kWinsockVersion = MAKEWORD(2, 2);
    return WSAStartup(kWinsockVersion, &data) == 0;
  }();
  (void)started;
}

SOCKET BoundLoopback(int type) {
  SOCKET s = socket(AF_INET, type, 0);
  if (s == INVALID_SOCKET) return s;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

sockaddr_in LocalAddress(SOCKET s) {
  sockaddr_in addr{};
  int len = sizeof addr;
  getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  return addr;
}

bool Connect(SOCKET s, const sockaddr_in& to) {
  return connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
}

// TCP: a listener on an ephemeral loopback port, a client connected to it, the accepted end.
void MakeStreamPair(SOCKET& sender, SOCKET& receiver) {
  SOCKET listener = BoundLoopback(SOCK_STREAM);
  if (listener == INVALID_SOCKET) return;
  if (listen(listener, 1) == 0) {
    sender = socket(AF_INET, SOCK_STREAM, 0);
    if (sender != INVALID_SOCKET && Connect(sender, LocalAddress(listener))) {
      receiver = accept(listener, nullptr, nullptr);
    }
  }
  closesocket(listener);
}

// UDP: two bound sockets, each connected to the other.
void MakeDatagramPair(SOCKET& sender, SOCKET& receiver) {
  sender = BoundLoopback(SOCK_DGRAM);
  receiver = BoundLoopback(SOCK_DGRAM);
  if (sender == INVALID_SOCKET || receiver == INVALID_SOCKET) return;
  Connect(sender, LocalAddress(receiver));
  Connect(receiver, LocalAddress(sender));
}

void CloseEnd(SOCKET s) {
  if (s != INVALID_SOCKET) closesocket(s);
}
#else
void StartSockets() {}

void MakePair(int type, int& sender, int& receiver) {
  int ends[2];
  if (socketpair(AF_UNIX, type, 0, ends) != 0) return;
  sender = ends[0];
  receiver = ends[1];
}

void CloseEnd(int s) {
  if (s != -1) close(s);
}
#endif

}  // namespace

TraceSocket::TraceSocket(Kind kind) {
  StartSockets();
#if defined(_WIN32)
  if (kind == Kind::kStream) {
    MakeStreamPair(m_sender, m_receiver);
  } else {
    MakeDatagramPair(m_sender, m_receiver);
  }
#else
  MakePair(kind == Kind::kStream ? SOCK_STREAM : SOCK_DGRAM, m_sender, m_receiver);
#endif
}

TraceSocket::~TraceSocket() {
  CloseEnd(m_sender);
  CloseEnd(m_receiver);
}

zbplat::SocketHandle TraceSocket::ReleaseSender() {
  const zbplat::SocketHandle s = m_sender;
  m_sender = zbplat::kNoSocket;
  return s;
}

bool TraceSocket::WaitReadable(int timeoutMs) const {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(m_receiver, &readable);
  timeval timeout{};
  timeout.tv_sec = timeoutMs / kMsPerSecond;
  timeout.tv_usec = (timeoutMs % kMsPerSecond) * kUsPerMs;
  return select(static_cast<int>(m_receiver) + 1, &readable, nullptr, nullptr, &timeout) > 0;
}

std::string TraceSocket::ReceiveOnce(int timeoutMs) {
  if (!WaitReadable(timeoutMs)) return {};
  char buffer[kReceiveBytes];
  const int n = static_cast<int>(recv(m_receiver, buffer, kReceiveBytes, 0));
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::string TraceSocket::ReceiveLine(int timeoutMs) {
  std::string line;
  while (line.empty() || line.back() != '\n') {
    if (!WaitReadable(timeoutMs)) break;
    char c = 0;
    if (recv(m_receiver, &c, 1, 0) != 1) break;
    line.push_back(c);
  }
  return line;
}

bool TraceSocket::PeerClosed(int timeoutMs) {
  if (!WaitReadable(timeoutMs)) return false;
  char c = 0;
  return recv(m_receiver, &c, 1, 0) == 0;
}

#if defined(_WIN32)
int LastSocketError() { return WSAGetLastError(); }
void ClearSocketError() { WSASetLastError(0); }
zbplat::SocketHandle UnopenedSocketHandle() {
  StartSockets();
  constexpr SOCKET kNeverOpened = 0x3FFFFFF0;
  return kNeverOpened;
}
#else
int LastSocketError() { return errno; }
void ClearSocketError() { errno = 0; }
zbplat::SocketHandle UnopenedSocketHandle() {
  constexpr int kNeverOpened = 0x3FFFFFF0;  // far above any descriptor limit
  return kNeverOpened;
}
#endif

}  // namespace zbtest
