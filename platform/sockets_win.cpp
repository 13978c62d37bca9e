#include "platform/sockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <utility>

#include "platform/clock.h"

namespace platform {
namespace {

// How often a wait looks at its cancel check.
constexpr int kPollSliceMs = 20;

SOCKET Socket(std::intptr_t handle) { return static_cast<SOCKET>(handle); }

enum class Readiness { kRead, kWrite };

// Waits until `s` is ready or the deadline passes; polls the cancel check.
// A failed connect shows up as an exception on the socket.
NetStatus WaitFor(SOCKET s, Readiness what, int timeoutMs, const CancelCheck& cancelled) {
  std::int64_t deadline = MonotonicMs() + timeoutMs;
  for (;;) {
    if (cancelled && cancelled()) return NetStatus::kCancelled;
    std::int64_t left = deadline - MonotonicMs();
    if (left <= 0) return NetStatus::kTimedOut;
    std::int64_t slice = left < kPollSliceMs ? left : kPollSliceMs;
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    timeval tv{0, static_cast<long>(slice * 1000)};
    bool writing = what == Readiness::kWrite;
    int rc = select(0, writing ? nullptr : &ready, writing ? &ready : nullptr, writing ? &failed : nullptr, &tv);
    if (rc == SOCKET_ERROR) return NetStatus::kError;
    if (rc > 0) return writing && FD_ISSET(s, &failed) ? NetStatus::kError : NetStatus::kOk;
  }
}

// A TCP socket that programs we start do not inherit. Windows 7 before its
// first service pack does not know the flag for that; there the handle is
// marked afterwards.
SOCKET NewSocket() {
  SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s != INVALID_SOCKET || WSAGetLastError() != WSAEINVAL) return s;
  s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
  if (s != INVALID_SOCKET) SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return s;
}

bool g_started = false;

void StopSocketLibrary() { WSACleanup(); }

}  // namespace

bool StartSocketLibrary() {
  // Once per process; the library is given back at exit only when it was
  // taken.
  static const bool started = [] {
    WSADATA data;
    g_started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    if (g_started) std::atexit(StopSocketLibrary);
    return g_started;
  }();
  return started;
}

std::optional<std::uint32_t> ResolveIPv4(const std::string& host) {
  if (host.empty() || !StartSocketLibrary()) return std::nullopt;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result) return std::nullopt;
  std::uint32_t address = ntohl(reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr);
  freeaddrinfo(result);
  return address;
}

TcpConnection TcpConnection::Connect(std::uint32_t ipv4, std::uint16_t port, int timeoutMs,
                                     const CancelCheck& cancelled, NetStatus* status) {
  NetStatus ignored;
  NetStatus& st = status ? *status : ignored;
  TcpConnection c;
  // Not inherited: a program we start must not keep our connections open.
  SOCKET s = NewSocket();
  if (s == INVALID_SOCKET) {
    st = NetStatus::kError;
    return c;
  }
  c.handle_ = static_cast<std::intptr_t>(s);
  u_long nonBlocking = 1;
  if (ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
    st = NetStatus::kError;
    c.Close();
    return c;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(ipv4);
  if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) {
      st = NetStatus::kError;
      c.Close();
      return c;
    }
    st = WaitFor(s, Readiness::kWrite, timeoutMs, cancelled);
    int error = 0;
    int len = sizeof error;
    if (st == NetStatus::kOk &&
        (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) != 0 || error != 0))
      st = NetStatus::kError;
    if (st != NetStatus::kOk) {
      c.Close();
      return c;
    }
  }
  st = NetStatus::kOk;
  return c;
}

bool TcpConnection::SendAll(const void* data, std::size_t size, int timeoutMs, const CancelCheck& cancelled) {
  if (!IsOpen()) return false;
  const char* p = static_cast<const char*>(data);
  SOCKET s = Socket(handle_);
  while (size > 0) {
    int want = size > (1u << 30) ? (1 << 30) : static_cast<int>(size);
    int n = send(s, p, want, 0);
    if (n > 0) {
      p += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK &&
        WaitFor(s, Readiness::kWrite, timeoutMs, cancelled) == NetStatus::kOk)
      continue;
    return false;
  }
  return true;
}

TcpConnection::Received TcpConnection::Receive(void* buffer, std::size_t size, int idleTimeoutMs,
                                               const CancelCheck& cancelled) {
  Received r;
  if (!IsOpen()) return r;
  SOCKET s = Socket(handle_);
  int want = size > (1u << 30) ? (1 << 30) : static_cast<int>(size);
  for (;;) {
    int n = recv(s, static_cast<char*>(buffer), want, 0);
    if (n > 0) {
      r.count = static_cast<std::size_t>(n);
      r.status = NetStatus::kOk;
      return r;
    }
    if (n == 0) {
      r.status = NetStatus::kClosed;
      return r;
    }
    if (WSAGetLastError() != WSAEWOULDBLOCK) {
      r.status = NetStatus::kError;
      return r;
    }
    r.status = WaitFor(s, Readiness::kRead, idleTimeoutMs, cancelled);
    if (r.status != NetStatus::kOk) return r;
  }
}

void TcpConnection::Close() {
  if (IsOpen()) {
    closesocket(Socket(handle_));
    handle_ = kNone;
  }
}

TcpListener TcpListener::Listen(std::uint32_t ipv4, std::uint16_t port) {
  TcpListener l;
  if (!StartSocketLibrary()) return l;
  SOCKET s = NewSocket();
  if (s == INVALID_SOCKET) return l;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(ipv4);
  // Windows lets a new socket take an address in TIME_WAIT without asking;
  // SO_REUSEADDR there would let two listeners share a port.
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, 64) != 0) {
    closesocket(s);
    return l;
  }
  l.handle_ = static_cast<std::intptr_t>(s);
  return l;
}

TcpConnection TcpListener::Accept(int timeoutMs) {
  TcpConnection c;
  if (!IsOpen() || WaitFor(Socket(handle_), Readiness::kRead, timeoutMs, nullptr) != NetStatus::kOk) return c;
  SOCKET s = accept(Socket(handle_), nullptr, nullptr);
  if (s == INVALID_SOCKET) return c;
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  c.handle_ = static_cast<std::intptr_t>(s);
  return c;
}

void TcpListener::Close() {
  if (IsOpen()) {
    closesocket(Socket(handle_));
    handle_ = kNone;
  }
}

}  // namespace platform
