// TCP connections over IPv4, blocking from the caller's view but never
// without bound: every wait has a time-out and a cancel check that is polled
// while waiting, so another thread can end a transfer by asking for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace platform {

// Starts the system's socket library; true when sockets can be used. Safe to
// call more than once.
bool StartSocketLibrary();

// Polled while waiting; returning true ends the wait as cancelled.
using CancelCheck = std::function<bool()>;

// The first IPv4 address of `host` (a name or a dotted address), in host
// byte order. With `cancelled`, the wait for the system's resolver ends
// when it returns true.
std::optional<std::uint32_t> ResolveIPv4(const std::string& host);
std::optional<std::uint32_t> ResolveIPv4(const std::string& host, const CancelCheck& cancelled);

enum class NetStatus { kOk, kClosed, kTimedOut, kCancelled, kError };

// One TCP connection. Owns its socket; moves, never copies.
class TcpConnection {
 public:
  TcpConnection() = default;
  ~TcpConnection();
  TcpConnection(TcpConnection&& other) noexcept;
  TcpConnection& operator=(TcpConnection&& other) noexcept;
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  // Connects to `ipv4`:`port`, waiting at most `timeoutMs`.
  static TcpConnection Connect(std::uint32_t ipv4, std::uint16_t port, int timeoutMs, const CancelCheck& cancelled,
                               NetStatus* status = nullptr);

  bool IsOpen() const { return handle_ != kNone; }
  // Sends every byte (retrying partial sends); false on any failure, and
  // when `cancelled` ends a wait for room to send.
  bool SendAll(const void* data, std::size_t size, int timeoutMs, const CancelCheck& cancelled = {});

  struct Received {
    std::size_t count = 0;  // > 0 exactly when status is kOk
    NetStatus status = NetStatus::kError;
  };
  // Receives up to `size` bytes, waiting at most `idleTimeoutMs` for the
  // first of them.
  Received Receive(void* buffer, std::size_t size, int idleTimeoutMs, const CancelCheck& cancelled);
  void Close();

 private:
  friend class TcpListener;
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t handle_ = kNone;
};

// A listening TCP socket (the test servers use it). Owns its socket; moves,
// never copies.
class TcpListener {
 public:
  TcpListener() = default;
  ~TcpListener();
  TcpListener(TcpListener&& other) noexcept;
  TcpListener& operator=(TcpListener&& other) noexcept;
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  // Listens on `ipv4`:`port`; the address may be taken again at once after
  // an earlier listener closed.
  static TcpListener Listen(std::uint32_t ipv4, std::uint16_t port);
  bool IsOpen() const { return handle_ != kNone; }
  // The next connection, waiting at most `timeoutMs`; a closed connection
  // when none came.
  TcpConnection Accept(int timeoutMs);
  void Close();

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t handle_ = kNone;
};

}  // namespace platform
