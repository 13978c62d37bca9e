#include "tests/support/loopback_server.h"

#include <chrono>

namespace testsupport {
namespace {

constexpr int kSendTimeoutMs = 10000;

}  // namespace

bool ServerSession::Send(std::string_view bytes) {
  if (!connection_.IsOpen() || stopping_) return false;
  return connection_.SendAll(bytes.data(), bytes.size(), kSendTimeoutMs);
}

bool ServerSession::SendSlowly(std::string_view bytes, int delayMs) {
  for (char c : bytes) {
    if (!Send(std::string_view(&c, 1))) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  }
  return true;
}

void ServerSession::Stall(int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  // Whatever the client still sends is read and dropped; its end ends the
  // stall.
  char buffer[1024];
  while (connection_.IsOpen() && !stopping_ && std::chrono::steady_clock::now() < end) {
    auto r = connection_.Receive(buffer, sizeof buffer, 10, nullptr);
    if (r.status == platform::NetStatus::kClosed || r.status == platform::NetStatus::kError) return;
  }
}

void ServerSession::Close() { connection_.Close(); }

std::string HttpResponse(std::string_view status, std::string_view body) {
  return "HTTP/1.1 " + std::string(status) + "\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + std::string(body);
}

ServerScript Respond(std::string wholeResponse) {
  return [r = std::move(wholeResponse)](ServerSession& s) { s.Send(r); };
}

ServerScript RespondOk(std::string body) { return Respond(HttpResponse("200 OK", body)); }

ServerScript RespondSlowly(std::string wholeResponse, int delayMs) {
  return [r = std::move(wholeResponse), delayMs](ServerSession& s) { s.SendSlowly(r, delayMs); };
}

ServerScript RespondThenStall(std::string partial, int stallMs) {
  return [r = std::move(partial), stallMs](ServerSession& s) {
    s.Send(r);
    s.Stall(stallMs);
  };
}

ServerScript RespondCutShort(std::string wholeResponse, std::size_t keep) {
  return [r = std::move(wholeResponse), keep](ServerSession& s) { s.Send(std::string_view(r).substr(0, keep)); };
}

LoopbackServer::LoopbackServer(int lastOctet) : host_("127.0.0." + std::to_string(lastOctet)) {
  default_ = Respond(HttpResponse("404 Not Found", "<html>no script</html>"));
  listener_ = platform::TcpListener::Listen(0x7F000000u | static_cast<std::uint32_t>(lastOctet), 80);
  if (listener_.IsOpen()) acceptThread_ = std::thread([this] { AcceptLoop(); });
}

LoopbackServer::~LoopbackServer() {
  stopping_ = true;
  if (acceptThread_.joinable()) acceptThread_.join();
  for (auto& t : sessions_) t.join();
}

void LoopbackServer::Enqueue(ServerScript script) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back(std::move(script));
}

void LoopbackServer::SetDefault(ServerScript script) {
  std::lock_guard<std::mutex> lock(mutex_);
  default_ = std::move(script);
}

std::vector<std::string> LoopbackServer::Requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void LoopbackServer::ClearRequests() {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.clear();
}

bool LoopbackServer::WaitForRequests(std::size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return requests_.size() >= count; });
}

void LoopbackServer::AcceptLoop() {
  while (!stopping_) {
    platform::TcpConnection connection = listener_.Accept(20);
    if (!connection.IsOpen()) continue;
    sessions_.emplace_back([this, c = std::move(connection)]() mutable { Serve(std::move(c)); });
  }
}

void LoopbackServer::Serve(platform::TcpConnection connection) {
  ServerSession session(std::move(connection), stopping_);
  // The request ends with its blank line; give up after two quiet seconds.
  char buf[1024];
  while (session.request_.find("\r\n\r\n") == std::string::npos && !stopping_) {
    auto r = session.connection_.Receive(buf, sizeof buf, 2000, nullptr);
    if (r.status != platform::NetStatus::kOk) break;
    session.request_.append(buf, r.count);
  }
  ServerScript script;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(session.request_);
    if (!queue_.empty()) {
      script = std::move(queue_.front());
      queue_.erase(queue_.begin());
    } else {
      script = default_;
    }
  }
  changed_.notify_all();
  if (script) script(session);
  session.Close();
}

}  // namespace testsupport
