// A link simulator for the benchmarks: a TCP proxy that accepts connections
// on one address and forwards each to an upstream address, with the delay,
// the bandwidth and the failures of a long-distance link.
//
// - Delay: every byte is forwarded `delayMs` after it was read, in each
//   direction, and a connection's first client bytes wait out one round trip
//   more, which stands for the TCP handshake the proxy itself answers at
//   once.
// - Bandwidth: `rateBytes` per second in each direction, shared by all
//   connections in turns (each connection with bytes due gets a quantum in
//   rotation), as a router's queue shares a line.
// - Cut: after `cutAfter` bytes from the server were written to a client on
//   one connection, that connection is reset (or closed), both sides; only
//   the first `cutConnections` connections are cut when that is not 0, so
//   that a later attempt gets through.
//
// Memory is bounded: a direction stops reading from its source while
// `queueBytes` of it wait to be forwarded. One thread, epoll.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace linksim {

struct Options {
  std::string listenHost = "127.0.0.9";
  int listenPort = 80;  // 0: any free port (see Link::port())
  std::string upstreamHost = "127.0.0.7";
  int upstreamPort = 80;
  std::uint32_t delayMs = 0;      // one way, in each direction
  std::uint64_t rateBytes = 0;    // per second and direction; 0: no limit
  std::uint64_t cutAfter = 0;     // server-to-client bytes per connection; 0: no cut
  std::uint64_t cutConnections = 0;  // cut only the first N connections; 0: all
  bool cutWithReset = true;       // false: an orderly close instead
  bool handshakeDelay = true;     // charge one round trip for the handshake
  std::size_t queueBytes = 0;     // per direction and connection; 0: from delay and rate
};

// Bytes written to the destination sockets, so far.
struct Counts {
  std::uint64_t clientToServer = 0;
  std::uint64_t serverToClient = 0;
  std::uint64_t connections = 0;
  std::uint64_t cuts = 0;
};

// "client_to_server=N server_to_client=N connections=N cuts=N\n"
std::string CountsLine(const Counts& counts);

// The command line (without the program name); nullopt with `error` set
// when it is not understood, with `help` set for --help.
std::optional<Options> ParseArguments(const std::vector<std::string>& arguments, std::string& error, bool& help);
extern const char kHelpText[];

class Link {
 public:
  explicit Link(Options options);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Binds and listens; false with `error` set when it cannot.
  bool Listen(std::string& error);
  int port() const { return port_; }

  // Forwards until Stop(). `onReport` is called for each RequestReport()
  // and once at the end.
  void Run(const std::function<void(const Counts&)>& onReport = {});

  // Both may be called from a signal handler or another thread.
  void Stop();
  void RequestReport();

  Counts counts() const;

 private:
  struct Impl;
  Impl* impl_;
  Options options_;
  int port_ = 0;
  int wakeFd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<bool> report_{false};
};

}  // namespace linksim
