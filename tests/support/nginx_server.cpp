#include "tests/support/nginx_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iterator>
#include <set>
#include <sstream>

#include <chrono>
#include <thread>

namespace testsupport {
namespace {

bool Accepts(const std::string& host) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(80);
  inet_pton(AF_INET, host.c_str(), &addr.sin_addr);
  bool ok = connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

}  // namespace

NginxServer::NginxServer(const std::string& root, int lastOctet, const std::string& extraDirectives)
    : host_("127.0.0." + std::to_string(lastOctet)) {
  const std::string w = work_.path();
  std::string conf =
      "daemon off;\nmaster_process off;\nworker_processes 1;\nuser root root;\n"
      "pid " + w + "/nginx.pid;\nerror_log " + w + "/error.log warn;\n"
      "events { worker_connections 64; }\n"
      "http {\n  log_format requestline '$request';\n  access_log " + w + "/access.log requestline;\n"
      "  log_format connection '$connection';\n  access_log " + w + "/connections.log connection;\n"
      "  sendfile on;\n  default_type application/octet-stream;\n"
      "  client_body_temp_path " + w + "/body;\n  proxy_temp_path " + w + "/proxy;\n"
      "  fastcgi_temp_path " + w + "/fastcgi;\n  uwsgi_temp_path " + w + "/uwsgi;\n  scgi_temp_path " + w + "/scgi;\n"
      "  server {\n    listen " + host_ + ":80;\n    root " + root + ";\n" + extraDirectives + "\n  }\n}\n";
  WriteFile(w + "/nginx.conf", conf);
  pid_t pid = fork();
  if (pid == 0) {
    execlp("nginx", "nginx", "-c", (w + "/nginx.conf").c_str(), "-p", w.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  pid_ = pid;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!Accepts(host_)) {
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_ || std::chrono::steady_clock::now() > deadline) {
      error_ = "nginx did not start: " + ReadFile(w + "/error.log");
      if (waitpid(pid_, &status, WNOHANG) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
      }
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::size_t NginxServer::Connections() const {
  std::istringstream log(ReadFile(work_.path() + "/connections.log"));
  return std::set<std::string>(std::istream_iterator<std::string>(log), std::istream_iterator<std::string>()).size();
}

std::vector<std::string> NginxServer::Requests() const {
  std::vector<std::string> lines;
  std::string log = ReadFile(work_.path() + "/access.log");
  std::size_t start = 0;
  while (start < log.size()) {
    std::size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    lines.push_back(log.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

NginxServer::~NginxServer() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status;
    waitpid(pid_, &status, 0);
  }
}

}  // namespace testsupport
