// The parts of this service that are the same on every system: the
// owners of a system handle move and close alike everywhere.
#include "platform/sockets.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace platform {

// The system's resolver cannot be interrupted, so it runs on a thread of its
// own while the caller waits and polls `cancelled`. A cancelled wait leaves
// the lookup to end by itself (within the resolver's own time-out); it
// touches nothing but the result it shares with the waiter.
std::optional<std::uint32_t> ResolveIPv4(const std::string& host, const CancelCheck& cancelled) {
  if (!cancelled) return ResolveIPv4(host);
  struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::optional<std::uint32_t> address;
  };
  auto lookup = std::make_shared<Lookup>();
  try {
    std::thread([lookup, host] {
      std::optional<std::uint32_t> address = ResolveIPv4(host);
      std::lock_guard<std::mutex> lock(lookup->mutex);
      lookup->address = address;
      lookup->finished = true;
      lookup->done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return ResolveIPv4(host);
  }
  std::unique_lock<std::mutex> lock(lookup->mutex);
  while (!lookup->finished) {
    if (cancelled()) return std::nullopt;
    lookup->done.wait_for(lock, std::chrono::milliseconds(10));
  }
  return lookup->address;
}

TcpConnection::~TcpConnection() { Close(); }

TcpConnection::TcpConnection(TcpConnection&& other) noexcept : handle_(std::exchange(other.handle_, kNone)) {}

TcpConnection& TcpConnection::operator=(TcpConnection&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, kNone);
  }
  return *this;
}

TcpListener::~TcpListener() { Close(); }

TcpListener::TcpListener(TcpListener&& other) noexcept : handle_(std::exchange(other.handle_, kNone)) {}

TcpListener& TcpListener::operator=(TcpListener&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, kNone);
  }
  return *this;
}

}  // namespace platform
