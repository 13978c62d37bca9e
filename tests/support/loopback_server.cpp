#include "tests/support/loopback_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace testsupport {
namespace {

bool WaitReadable(int fd, int ms) {
  struct pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms) > 0;
}

}  // namespace

bool ServerSession::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    if (fd_ < 0 || stopping_) return false;
    ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
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
  while (fd_ >= 0 && !stopping_ && std::chrono::steady_clock::now() < end) {
    if (WaitReadable(fd_, 10)) {
      char c;
      if (recv(fd_, &c, 1, MSG_PEEK) <= 0) return;  // the client has gone
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

void ServerSession::Close() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
}

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
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(80);
  inet_pton(AF_INET, host_.c_str(), &addr.sin_addr);
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0) {
    close(fd);
    return;
  }
  listenFd_ = fd;
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

LoopbackServer::~LoopbackServer() {
  stopping_ = true;
  if (acceptThread_.joinable()) acceptThread_.join();
  for (auto& t : sessions_) t.join();
  if (listenFd_ >= 0) close(listenFd_);
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
    if (!WaitReadable(listenFd_, 20)) continue;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    sessions_.emplace_back([this, fd] { Serve(fd); });
  }
}

void LoopbackServer::Serve(int fd) {
  ServerSession session(fd, stopping_);
  // The request ends with its blank line; give up after two quiet seconds.
  char buf[1024];
  while (session.request_.find("\r\n\r\n") == std::string::npos && !stopping_) {
    if (!WaitReadable(fd, 2000)) break;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    session.request_.append(buf, static_cast<std::size_t>(n));
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
