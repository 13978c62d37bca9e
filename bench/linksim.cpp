#include "bench/linksim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>

namespace linksim {

const char kHelpText[] =
    "Usage: harbinor_linksim [options]\n"
    "\n"
    "A TCP proxy that plays a long-distance link for the benchmarks: it accepts\n"
    "connections on the listen address and forwards each to the upstream\n"
    "address, with a delay, a bandwidth shared by all connections, and cuts.\n"
    "Loopback addresses only.\n"
    "\n"
    "  --listen HOST:PORT      where to accept (default 127.0.0.9:80)\n"
    "  --upstream HOST:PORT    where to forward (default 127.0.0.7:80)\n"
    "  --delay-ms N            one-way delay in each direction: bytes are\n"
    "                          forwarded N ms after they were read, so a round\n"
    "                          trip takes 2N ms (default 0)\n"
    "  --no-handshake-delay    do not hold a connection's first client bytes for\n"
    "                          one more round trip (which stands for the TCP\n"
    "                          handshake the proxy answers at once)\n"
    "  --rate BYTES            bandwidth per second in each direction, shared in\n"
    "                          turns by all connections with bytes due; 0: no\n"
    "                          limit (default). Suffixes k, M (1000s) and\n"
    "                          kbit, Mbit (bits) are taken: 100Mbit\n"
    "  --cut-after N           reset a connection once N bytes from the server\n"
    "                          were written to its client (per connection;\n"
    "                          default 0: never)\n"
    "  --cut-connections K     cut only the first K connections accepted\n"
    "                          (default 0: every one that reaches N)\n"
    "  --cut-with close        end a cut connection with an orderly close\n"
    "                          instead of a reset\n"
    "  --queue-bytes N         bytes that may wait per direction of a connection\n"
    "                          before its source is no longer read (default:\n"
    "                          twice what the delay holds at the rate, at least\n"
    "                          1 MiB; 4 MiB without a rate)\n"
    "  --counts FILE           write the byte counts to FILE once listening, on\n"
    "                          SIGUSR1 and at exit (SIGTERM, SIGINT), as one line\n"
    "                          client_to_server=N server_to_client=N\n"
    "                          connections=N cuts=N\n"
    "                          (bytes written to the destination sockets)\n"
    "  --help                  this text\n";

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kReadPiece = 64 * 1024;
constexpr std::size_t kQuantum = 16 * 1024;
constexpr std::uint64_t kListenTag = ~std::uint64_t{0};
constexpr std::uint64_t kWakeTag = ~std::uint64_t{0} - 1;

bool ParseNumber(const std::string& text, std::uint64_t& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  value = std::strtoull(text.c_str(), nullptr, 10);
  return errno == 0;
}

bool ParseRate(std::string text, std::uint64_t& value) {
  struct Suffix {
    const char* name;
    std::uint64_t multiply, divide;
  };
  const Suffix suffixes[] = {{"Mbit", 1000000, 8}, {"kbit", 1000, 8}, {"M", 1000000, 1}, {"k", 1000, 1}};
  std::uint64_t multiply = 1, divide = 1;
  for (const Suffix& s : suffixes) {
    std::size_t n = std::strlen(s.name);
    if (text.size() > n && text.compare(text.size() - n, n, s.name) == 0) {
      text.resize(text.size() - n);
      multiply = s.multiply;
      divide = s.divide;
      break;
    }
  }
  if (!ParseNumber(text, value)) return false;
  value = value * multiply / divide;
  return true;
}

bool ParseAddress(const std::string& text, std::string& host, int& port) {
  std::size_t colon = text.rfind(':');
  std::uint64_t p = 0;
  if (colon == std::string::npos || !ParseNumber(text.substr(colon + 1), p) || p > 65535) return false;
  host = text.substr(0, colon);
  port = static_cast<int>(p);
  in_addr addr{};
  return inet_pton(AF_INET, host.c_str(), &addr) == 1;
}

sockaddr_in SocketAddress(const std::string& host, int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, host.c_str(), &addr.sin_addr);
  return addr;
}

void NoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

struct Chunk {
  Clock::time_point due;
  std::vector<std::uint8_t> data;
  std::size_t offset = 0;
};

// One direction of a connection: bytes read from `from`, waiting for their
// time and their turn, then written to `to`.
struct Flow {
  int from = -1;
  int to = -1;
  std::deque<Chunk> queue;
  std::size_t queued = 0;
  bool sourceEnded = false;  // `from` said end of file
  Clock::time_point endDue;  // when that end reaches `to`
  bool shutDown = false;     // `to` was told the end
  bool writeBlocked = false; // waiting for `to` to take more
  std::uint64_t written = 0;
};

struct Socket {
  int fd = -1;
  std::uint32_t mask = 0;
  bool registered = false;
};

struct Connection {
  std::uint64_t number = 0;
  Socket client, server;
  bool connected = false;  // to the upstream
  bool cuttable = false;
  bool dead = false;
  Clock::time_point opened;
  Flow up;    // client to server
  Flow down;  // server to client
};

struct Bucket {
  double tokens = 0;
  Clock::time_point refilled;
};

}  // namespace

std::string CountsLine(const Counts& c) {
  return "client_to_server=" + std::to_string(c.clientToServer) + " server_to_client=" +
         std::to_string(c.serverToClient) + " connections=" + std::to_string(c.connections) +
         " cuts=" + std::to_string(c.cuts) + "\n";
}

std::optional<Options> ParseArguments(const std::vector<std::string>& arguments, std::string& error, bool& help) {
  Options o;
  help = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& a = arguments[i];
    if (a == "--help") {
      help = true;
      return std::nullopt;
    }
    if (a == "--no-handshake-delay") {
      o.handshakeDelay = false;
      continue;
    }
    if (i + 1 >= arguments.size()) {
      error = "unknown option or missing value: " + a;
      return std::nullopt;
    }
    const std::string& v = arguments[++i];
    std::uint64_t n = 0;
    bool ok = true;
    if (a == "--listen") {
      ok = ParseAddress(v, o.listenHost, o.listenPort);
    } else if (a == "--upstream") {
      ok = ParseAddress(v, o.upstreamHost, o.upstreamPort) && o.upstreamPort != 0;
    } else if (a == "--delay-ms") {
      ok = ParseNumber(v, n) && n <= 60000;
      o.delayMs = static_cast<std::uint32_t>(n);
    } else if (a == "--rate") {
      ok = ParseRate(v, o.rateBytes);
    } else if (a == "--cut-after") {
      ok = ParseNumber(v, o.cutAfter);
    } else if (a == "--cut-connections") {
      ok = ParseNumber(v, o.cutConnections);
    } else if (a == "--cut-with") {
      ok = v == "close" || v == "reset";
      o.cutWithReset = v == "reset";
    } else if (a == "--queue-bytes") {
      ok = ParseNumber(v, n) && n >= kReadPiece;
      o.queueBytes = static_cast<std::size_t>(n);
    } else if (a == "--counts") {
      continue;  // the program's own (see linksim_main.cpp)
    } else {
      error = "unknown option: " + a;
      return std::nullopt;
    }
    if (!ok) {
      error = "bad value for " + a + ": " + v;
      return std::nullopt;
    }
  }
  return o;
}

struct Link::Impl {
  explicit Impl(const Options& o) : options(o) {
    delay = std::chrono::milliseconds(o.delayMs);
    if (o.queueBytes) {
      cap = o.queueBytes;
    } else if (o.rateBytes) {
      cap = std::max<std::size_t>(1 << 20, static_cast<std::size_t>(2 * o.rateBytes * o.delayMs / 1000));
    } else {
      cap = 4 << 20;
    }
    burst = std::max<double>(static_cast<double>(o.rateBytes) / 100, kQuantum);
    auto now = Clock::now();
    for (Bucket& b : buckets) b.refilled = now;
  }

  Options options;
  Clock::duration delay;
  std::size_t cap;
  double burst;
  int epoll = -1;
  int listenFd = -1;
  std::map<std::uint64_t, std::unique_ptr<Connection>> connections;
  std::uint64_t accepted = 0;
  Bucket buckets[2];  // up, down
  std::size_t turn = 0;
  std::atomic<std::uint64_t> upBytes{0}, downBytes{0}, cuts{0};
  std::vector<std::uint8_t> piece = std::vector<std::uint8_t>(kReadPiece);

  void Watch(Socket& s, std::uint64_t tag, std::uint32_t mask) {
    if (mask == s.mask && (mask != 0) == s.registered) return;
    epoll_event ev{};
    ev.events = mask;
    ev.data.u64 = tag;
    if (mask == 0) {
      if (s.registered) epoll_ctl(epoll, EPOLL_CTL_DEL, s.fd, nullptr);
      s.registered = false;
    } else if (!s.registered) {
      epoll_ctl(epoll, EPOLL_CTL_ADD, s.fd, &ev);
      s.registered = true;
    } else {
      epoll_ctl(epoll, EPOLL_CTL_MOD, s.fd, &ev);
    }
    s.mask = mask;
  }

  bool WantsRead(const Flow& f) const { return !f.sourceEnded && f.queued < cap; }

  // What each socket of a connection waits for now.
  void UpdateInterest(Connection& c) {
    const std::uint32_t in = EPOLLIN, out = EPOLLOUT;
    std::uint32_t client = (WantsRead(c.up) ? in : 0) | (c.down.writeBlocked ? out : 0);
    std::uint32_t server = !c.connected ? out : (WantsRead(c.down) ? in : 0) | (c.up.writeBlocked ? out : 0);
    Watch(c.client, c.number << 1, client);
    Watch(c.server, c.number << 1 | 1, server);
  }

  void Close(Connection& c, bool resetClient) {
    if (c.dead) return;
    if (resetClient) {
      linger hard{1, 0};
      setsockopt(c.client.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    for (Socket* s : {&c.client, &c.server}) {
      Watch(*s, 0, 0);
      close(s->fd);
    }
    c.dead = true;
  }

  void Accept() {
    for (;;) {
      int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      int server = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      sockaddr_in up = SocketAddress(options.upstreamHost, options.upstreamPort);
      if (server < 0 ||
          (connect(server, reinterpret_cast<sockaddr*>(&up), sizeof up) != 0 && errno != EINPROGRESS)) {
        if (server >= 0) close(server);
        close(fd);
        continue;
      }
      NoDelay(fd);
      NoDelay(server);
      auto c = std::make_unique<Connection>();
      c->number = ++accepted;
      c->client.fd = fd;
      c->server.fd = server;
      c->cuttable = options.cutAfter != 0 && (options.cutConnections == 0 || c->number <= options.cutConnections);
      c->opened = Clock::now();
      c->up.from = c->down.to = fd;
      c->up.to = c->down.from = server;
      UpdateInterest(*c);
      connections[c->number] = std::move(c);
    }
  }

  // When bytes read now reach the other side.
  Clock::time_point DueFor(const Connection& c, const Flow& f, Clock::time_point now) const {
    Clock::time_point start = now;
    if (&f == &c.up && options.handshakeDelay) start = std::max(now, c.opened + 2 * delay);
    Clock::time_point due = start + delay;
    if (!f.queue.empty()) due = std::max(due, f.queue.back().due);
    return due;
  }

  // Read into one piece and kept at the size read, so that small reads
  // hold no more memory than they count against the queue.
  void Read(Connection& c, Flow& f, Clock::time_point now) {
    while (WantsRead(f)) {
      ssize_t n = read(f.from, piece.data(), std::min(kReadPiece, cap - f.queued));
      if (n > 0) {
        Chunk chunk;
        chunk.data.assign(piece.data(), piece.data() + n);
        chunk.due = DueFor(c, f, now);
        f.queued += chunk.data.size();
        f.queue.push_back(std::move(chunk));
        if (static_cast<std::size_t>(n) < kReadPiece) return;
      } else if (n == 0) {
        f.sourceEnded = true;
        f.endDue = DueFor(c, f, now);
        return;
      } else {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) Close(c, false);
        return;
      }
    }
  }

  bool Due(const Connection& c, const Flow& f, Clock::time_point now) const {
    if (c.dead || f.writeBlocked || f.queue.empty() || f.queue.front().due > now) return false;
    return &f == &c.down || c.connected;
  }

  // Writes at most `limit` bytes of the flow's first chunk; the bytes written.
  std::size_t Send(Connection& c, Flow& f, std::size_t limit) {
    Chunk& chunk = f.queue.front();
    std::size_t n = std::min(limit, chunk.data.size() - chunk.offset);
    if (&f == &c.down && c.cuttable) n = std::min<std::uint64_t>(n, options.cutAfter - f.written);
    ssize_t sent = send(f.to, chunk.data.data() + chunk.offset, n, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) f.writeBlocked = true;
      else if (errno != EINTR) Close(c, false);
      return 0;
    }
    std::size_t s = static_cast<std::size_t>(sent);
    if (s < n) f.writeBlocked = true;
    chunk.offset += s;
    f.written += s;
    (&f == &c.up ? upBytes : downBytes) += s;
    if (chunk.offset == chunk.data.size()) {
      f.queued -= chunk.data.size();
      f.queue.pop_front();
    }
    if (&f == &c.down && c.cuttable && f.written >= options.cutAfter) {
      ++cuts;
      Close(c, options.cutWithReset);
    }
    return s;
  }

  // Forwards what is due in one direction, in turns, as far as the bucket
  // allows.
  void Pump(int direction, Clock::time_point now) {
    Bucket& bucket = buckets[direction];
    const bool limited = options.rateBytes != 0;
    if (limited) {
      double seconds = std::chrono::duration<double>(now - bucket.refilled).count();
      bucket.tokens = std::min(burst, bucket.tokens + seconds * static_cast<double>(options.rateBytes));
    }
    bucket.refilled = now;
    std::vector<std::pair<Connection*, Flow*>> due;
    for (auto& [number, c] : connections) {
      Flow& f = direction == 0 ? c->up : c->down;
      if (Due(*c, f, now)) due.emplace_back(c.get(), &f);
    }
    if (due.empty()) return;
    std::rotate(due.begin(), due.begin() + static_cast<std::ptrdiff_t>(turn++ % due.size()), due.end());
    while (!due.empty() && (!limited || bucket.tokens >= 1)) {
      std::vector<std::pair<Connection*, Flow*>> next;
      for (auto& [c, f] : due) {
        std::size_t limit = kQuantum;
        if (limited) limit = std::min<std::size_t>(limit, static_cast<std::size_t>(bucket.tokens));
        if (limit == 0) break;
        std::size_t sent = Send(*c, *f, limit);
        if (limited) bucket.tokens -= static_cast<double>(sent);
        if (Due(*c, *f, now)) next.emplace_back(c, f);
      }
      due.swap(next);
    }
  }

  // Passes on ends of file that are due, and drops finished connections.
  void Finish(Clock::time_point now) {
    for (auto it = connections.begin(); it != connections.end();) {
      Connection& c = *it->second;
      for (Flow* f : {&c.up, &c.down}) {
        if (c.dead || !f->sourceEnded || f->shutDown || !f->queue.empty() || f->endDue > now) continue;
        if (f == &c.up && !c.connected) continue;
        shutdown(f->to, SHUT_WR);
        f->shutDown = true;
      }
      if (!c.dead && c.up.shutDown && c.down.shutDown) Close(c, false);
      if (c.dead) {
        it = connections.erase(it);
      } else {
        UpdateInterest(c);
        ++it;
      }
    }
  }

  // Milliseconds until something is due; -1: nothing is.
  int Timeout(Clock::time_point now) const {
    Clock::time_point next = Clock::time_point::max();
    for (const auto& [number, c] : connections) {
      for (int direction = 0; direction < 2; ++direction) {
        const Flow& f = direction == 0 ? c->up : c->down;
        if (f.writeBlocked || (direction == 0 && !c->connected)) continue;
        if (!f.queue.empty()) {
          Clock::time_point at = f.queue.front().due;
          if (at <= now && options.rateBytes) {
            double need = std::min<double>(kQuantum, burst) - buckets[direction].tokens;
            at = now + std::chrono::microseconds(
                           static_cast<std::int64_t>(std::max(0.0, need) * 1e6 / static_cast<double>(options.rateBytes)));
          }
          next = std::min(next, at);
        } else if (f.sourceEnded && !f.shutDown) {
          next = std::min(next, f.endDue);
        }
      }
    }
    if (next == Clock::time_point::max()) return -1;
    if (next <= now) return 0;
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(next - now).count();
    return static_cast<int>((us + 999) / 1000);
  }
};

Link::Link(Options options) : impl_(new Impl(options)), options_(std::move(options)) {
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

Link::~Link() {
  for (auto& [number, c] : impl_->connections) impl_->Close(*c, false);
  if (impl_->listenFd >= 0) close(impl_->listenFd);
  if (impl_->epoll >= 0) close(impl_->epoll);
  if (wakeFd_ >= 0) close(wakeFd_);
  delete impl_;
}

bool Link::Listen(std::string& error) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr = SocketAddress(options_.listenHost, options_.listenPort);
  socklen_t length = sizeof addr;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 128) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    error = "cannot listen on " + options_.listenHost + ":" + std::to_string(options_.listenPort) + ": " +
            std::strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  port_ = ntohs(addr.sin_port);
  impl_->listenFd = fd;
  impl_->epoll = epoll_create1(EPOLL_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kListenTag;
  epoll_ctl(impl_->epoll, EPOLL_CTL_ADD, fd, &ev);
  ev.data.u64 = kWakeTag;
  epoll_ctl(impl_->epoll, EPOLL_CTL_ADD, wakeFd_, &ev);
  return true;
}

void Link::Stop() {
  stop_ = true;
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

void Link::RequestReport() {
  report_ = true;
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

Counts Link::counts() const {
  Counts c;
  c.clientToServer = impl_->upBytes;
  c.serverToClient = impl_->downBytes;
  c.connections = impl_->accepted;
  c.cuts = impl_->cuts;
  return c;
}

void Link::Run(const std::function<void(const Counts&)>& onReport) {
  Impl& m = *impl_;
  epoll_event events[64];
  while (!stop_) {
    int n = epoll_wait(m.epoll, events, 64, m.Timeout(Clock::now()));
    Clock::time_point now = Clock::now();
    for (int i = 0; i < n; ++i) {
      std::uint64_t tag = events[i].data.u64;
      std::uint32_t what = events[i].events;
      if (tag == kListenTag) {
        m.Accept();
        continue;
      }
      if (tag == kWakeTag) {
        std::uint64_t value;
        [[maybe_unused]] ssize_t r = read(wakeFd_, &value, sizeof value);
        continue;
      }
      auto it = m.connections.find(tag >> 1);
      if (it == m.connections.end() || it->second->dead) continue;
      Connection& c = *it->second;
      const bool server = tag & 1;
      if (server && !c.connected) {
        int problem = 0;
        socklen_t size = sizeof problem;
        getsockopt(c.server.fd, SOL_SOCKET, SO_ERROR, &problem, &size);
        if (problem != 0 || (what & EPOLLERR)) {
          m.Close(c, false);
          continue;
        }
        c.connected = true;
        continue;
      }
      Flow& in = server ? c.down : c.up;
      Flow& out = server ? c.up : c.down;
      if (what & (EPOLLIN | EPOLLHUP | EPOLLERR)) m.Read(c, in, now);
      if (!c.dead && (what & (EPOLLOUT | EPOLLERR))) out.writeBlocked = false;
    }
    if (report_.exchange(false) && onReport) onReport(counts());
    m.Pump(1, now);
    m.Pump(0, now);
    m.Finish(now);
  }
  if (onReport) onReport(counts());
}

}  // namespace linksim
