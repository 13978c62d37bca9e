// A real HTTP server on 127.0.0.N:80 for tests. It records the exact bytes of
// every request it receives and answers each connection with a script:
// queued scripts first, in order, then the default one. Scripts can inject
// faults: close in the middle of a body, stall, send one byte at a time.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/sockets.h"

namespace testsupport {

class LoopbackServer;

// One accepted connection, as a script sees it.
class ServerSession {
 public:
  const std::string& request() const { return request_; }
  // Sends bytes; false once the client has gone or the server stops.
  bool Send(std::string_view bytes);
  bool SendSlowly(std::string_view bytes, int delayMs);
  // Keeps the connection open without sending, for `ms` or until the client
  // closes it or the server stops.
  void Stall(int ms);
  // Closes at once (the script may end here or later).
  void Close();

 private:
  friend class LoopbackServer;
  ServerSession(platform::TcpConnection connection, const std::atomic<bool>& stopping)
      : connection_(std::move(connection)), stopping_(stopping) {}
  platform::TcpConnection connection_;
  const std::atomic<bool>& stopping_;
  std::string request_;
};

using ServerScript = std::function<void(ServerSession&)>;

// Ready-made scripts.
ServerScript Respond(std::string wholeResponse);                       // sends it, closes
ServerScript RespondOk(std::string body);                              // 200 with headers
ServerScript RespondSlowly(std::string wholeResponse, int delayMs);    // byte by byte
ServerScript RespondThenStall(std::string partial, int stallMs);       // part, then silence
ServerScript RespondCutShort(std::string wholeResponse, std::size_t keep);  // first bytes, then close
std::string HttpResponse(std::string_view status, std::string_view body);

class LoopbackServer {
 public:
  // Listens on 127.0.0.`lastOctet`:80.
  explicit LoopbackServer(int lastOctet);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  const std::string& host() const { return host_; }
  bool listening() const { return listener_.IsOpen(); }

  void Enqueue(ServerScript script);
  void SetDefault(ServerScript script);
  // The request bytes received so far, one entry per connection.
  std::vector<std::string> Requests();
  bool WaitForRequests(std::size_t count, int timeoutMs);
  void ClearRequests();

 private:
  void AcceptLoop();
  void Serve(platform::TcpConnection connection);

  std::string host_;
  platform::TcpListener listener_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<ServerScript> queue_;
  ServerScript default_;
  std::vector<std::string> requests_;
  std::vector<std::thread> sessions_;
  std::thread acceptThread_;
};

}  // namespace testsupport
