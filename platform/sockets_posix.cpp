#include "platform/sockets.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <utility>

namespace platform {
namespace {

// How often a wait looks at its cancel check.
constexpr int kPollSliceMs = 20;

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Waits for `events` on `fd` until the deadline; polls the cancel check.
NetStatus WaitFor(int fd, short events, int timeoutMs, const CancelCheck& cancelled) {
  std::int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    if (cancelled && cancelled()) return NetStatus::kCancelled;
    std::int64_t left = deadline - NowMs();
    if (left <= 0) return NetStatus::kTimedOut;
    struct pollfd p{fd, events, 0};
    int rc = poll(&p, 1, static_cast<int>(left < kPollSliceMs ? left : kPollSliceMs));
    if (rc > 0) return NetStatus::kOk;
    if (rc < 0 && errno != EINTR) return NetStatus::kError;
  }
}

}  // namespace

bool StartSocketLibrary() { return true; }

std::optional<std::uint32_t> ResolveIPv4(const std::string& host) {
  if (host.empty()) return std::nullopt;
  struct addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* result = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result) return std::nullopt;
  std::uint32_t address = ntohl(reinterpret_cast<struct sockaddr_in*>(result->ai_addr)->sin_addr.s_addr);
  freeaddrinfo(result);
  return address;
}

TcpConnection TcpConnection::Connect(std::uint32_t ipv4, std::uint16_t port, int timeoutMs,
                                     const CancelCheck& cancelled, NetStatus* status) {
  NetStatus ignored;
  NetStatus& st = status ? *status : ignored;
  TcpConnection c;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
  if (fd < 0) {
    st = NetStatus::kError;
    return c;
  }
  c.handle_ = fd;
  struct sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(ipv4);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS) {
      st = NetStatus::kError;
      c.Close();
      return c;
    }
    st = WaitFor(fd, POLLOUT, timeoutMs, cancelled);
    int error = 0;
    socklen_t len = sizeof error;
    if (st == NetStatus::kOk && (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0))
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
  int fd = static_cast<int>(handle_);
  while (size > 0) {
    ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
    if (n > 0) {
      p += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
        WaitFor(fd, POLLOUT, timeoutMs, cancelled) == NetStatus::kOk)
      continue;
    return false;
  }
  return true;
}

TcpConnection::Received TcpConnection::Receive(void* buffer, std::size_t size, int idleTimeoutMs,
                                               const CancelCheck& cancelled) {
  Received r;
  if (!IsOpen()) return r;
  int fd = static_cast<int>(handle_);
  for (;;) {
    ssize_t n = recv(fd, buffer, size, 0);
    if (n > 0) {
      r.count = static_cast<std::size_t>(n);
      r.status = NetStatus::kOk;
      return r;
    }
    if (n == 0) {
      r.status = NetStatus::kClosed;
      return r;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      r.status = NetStatus::kError;
      return r;
    }
    r.status = WaitFor(fd, POLLIN, idleTimeoutMs, cancelled);
    if (r.status != NetStatus::kOk) return r;
  }
}

void TcpConnection::Close() {
  if (IsOpen()) {
    close(static_cast<int>(handle_));
    handle_ = kNone;
  }
}

TcpListener TcpListener::Listen(std::uint32_t ipv4, std::uint16_t port) {
  TcpListener l;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return l;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(ipv4);
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0) {
    close(fd);
    return l;
  }
  l.handle_ = fd;
  return l;
}

TcpConnection TcpListener::Accept(int timeoutMs) {
  TcpConnection c;
  if (!IsOpen() || WaitFor(static_cast<int>(handle_), POLLIN, timeoutMs, nullptr) != NetStatus::kOk) return c;
  int fd = accept4(static_cast<int>(handle_), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd >= 0) c.handle_ = fd;
  return c;
}

void TcpListener::Close() {
  if (IsOpen()) {
    close(static_cast<int>(handle_));
    handle_ = kNone;
  }
}

}  // namespace platform
