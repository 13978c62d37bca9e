// A real nginx serving a folder on 127.0.0.N:80, started with a
// configuration file of its own (daemon off, its own pid, log and temp
// paths) and stopped when the fixture ends.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/temp_folder.h"

namespace testsupport {

class NginxServer {
 public:
  // Serves `root` on 127.0.0.`lastOctet`:80; `extraDirectives` go into the
  // server block (for example a slow location with limit_rate).
  NginxServer(const std::string& root, int lastOctet, const std::string& extraDirectives = "");
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  bool running() const { return pid_ > 0; }
  // The request lines served so far ("GET /path HTTP/1.1"), in order.
  std::vector<std::string> Requests() const;
  // How many connections those requests came over.
  std::size_t Connections() const;
  const std::string& host() const { return host_; }
  const std::string& error() const { return error_; }

 private:
  TempFolder work_;
  std::string host_;
  std::string error_;
  pid_t pid_ = -1;
};

}  // namespace testsupport
