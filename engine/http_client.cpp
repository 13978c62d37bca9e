#include "engine/http_client.h"

#include <algorithm>
#include <cstring>
#include <memory>


#include "base/ascii_text.h"
#include "base/number_text.h"
#include "build_config.h"
#include "engine/chunked_decoder.h"
#include "platform/clock.h"

namespace engine {
namespace {

void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

// Adds `delta` to a shared 32-bit counter, wrapping like the 32-bit value it
// is rather than overflowing.
void AddTo(SharedWord& counter, std::int64_t delta) {
  counter.fetch_add(static_cast<std::int32_t>(static_cast<std::uint32_t>(delta)), std::memory_order_relaxed);
}

void AddTo(std::int32_t& counter, std::int64_t delta) {
  counter = static_cast<std::int32_t>(static_cast<std::uint32_t>(counter) + static_cast<std::uint32_t>(delta));
}

// How the response says its body ends, read from its header block: the
// field names without regard to letter case, values without blanks around.
struct Framing {
  bool valid = true;  // false: contradicting lengths, or a coding we cannot undo
  bool chunked = false;
  std::optional<std::int64_t> contentLength;
};

Framing ReadFraming(std::string_view head) {
  Framing framing;
  std::size_t lineStart = head.find("\r\n");  // the status line says nothing here
  while (lineStart != std::string_view::npos && lineStart < head.size()) {
    lineStart += 2;
    std::size_t lineEnd = head.find("\r\n", lineStart);
    std::string_view line = head.substr(lineStart, lineEnd == std::string_view::npos ? std::string_view::npos
                                                                                    : lineEnd - lineStart);
    lineStart = lineEnd;
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view name = base::TrimBlanks(line.substr(0, colon));
    std::string_view value = base::TrimBlanks(line.substr(colon + 1));
    if (base::EqualsIgnoringCase(name, "Content-Length")) {
      bool digits = !value.empty() && value.find_first_not_of("0123456789") == std::string_view::npos;
      std::int64_t length = base::ParseAtoi64(value);  // saturates: never a length we could receive
      if (!digits || (framing.contentLength && *framing.contentLength != length)) framing.valid = false;
      framing.contentLength = length;
    } else if (base::EqualsIgnoringCase(name, "Transfer-Encoding")) {
      // Only the chunked framing is understood; a body in any other coding
      // would be taken for what it is not.
      if (base::EqualsIgnoringCase(value, "chunked")) {
        framing.chunked = true;
      } else {
        framing.valid = false;
      }
    }
  }
  return framing;
}

bool WaitWhileHeld(const SharedWord& control) {
  while (control.load() == kHold) platform::SleepMs(10);
  return control.load() != kStop;
}

}  // namespace

bool StartSockets() {
  static const bool started = platform::StartSocketLibrary();
  return started;
}

std::string DefaultHost() {
  std::string_view server = HARBINOR_DEFAULT_SERVER;
  if (base::StartsWithIgnoringCase(server, "http://")) server.remove_prefix(7);
  return std::string(server.substr(0, server.find('/')));
}

std::string RewriteRequestPath(std::string_view path) {
  std::string out(path);
  ReplaceAll(out, " ", "%20");
  ReplaceAll(out, ".dll", ".dl_");
  ReplaceAll(out, ".exe", ".ex_");
  return out;
}

std::optional<std::size_t> LocateBody(const std::uint8_t* data, std::size_t size, bool listRequest) {
  if (!data) return std::nullopt;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string_view pattern = listRequest ? kListMarker : std::string_view("\r\n\r\n");
  std::size_t at = text.find(pattern);
  if (at == std::string_view::npos) return std::nullopt;
  // The search ends at the first zero byte: a match behind one does not
  // count. Only the part before the match needs looking at.
  if (std::memchr(data, 0, at + pattern.size()) != nullptr) return std::nullopt;
  return listRequest ? at : at + pattern.size();
}

HttpClient::HttpClient() : socketsReady(StartSockets()) {}

HttpClient::~HttpClient() { Close(); }

void HttpClient::Close() {
  connection.Close();
  path.clear();
  response.Clear();
}

bool HttpClient::Connect(std::string_view url, const SharedWord* control) {
  if (!socketsReady || url.empty()) return false;
  Close();
  if (base::StartsWithIgnoringCase(url, "http://")) url.remove_prefix(7);
  std::size_t slash = url.find('/');
  if (slash == std::string_view::npos) return false;  // no path to request
  std::string host(url.substr(0, slash));
  std::string_view requestPath = url.substr(slash);
  if (host.size() > kMaxHostLength || requestPath.size() > kMaxPathLength) return false;
  platform::CancelCheck cancelled;
  if (control) cancelled = [control] { return control->load() == kStop; };
  auto address = platform::ResolveIPv4(host, cancelled);
  if (!address) return false;
  connection = platform::TcpConnection::Connect(*address, 80, connectTimeoutMs, cancelled);
  if (!connection.IsOpen()) return false;
  path = std::string(requestPath);
  return true;
}

const std::uint8_t* HttpClient::Get(SharedWord& runningTotal, std::int32_t& bodyLength, const SharedWord& control) {
  bodyLength = 0;
  if (!socketsReady || !connection.IsOpen()) return nullptr;
  response.Clear();
  // Room for the headers and the two closing zero bytes besides the body. A
  // failed reservation is no failure: the buffer grows as it goes.
  if (expectedBodyBytes > 0) response.Reserve(std::min(expectedBodyBytes + 16384, maxResponseBytes + 2));

  std::string request = "GET " + RewriteRequestPath(path) + " HTTP/1.1\r\nHost: " + DefaultHost() +
                        "\r\nAccept: */*\r\nConnection: Close\r\n\r\n";
  if (!WaitWhileHeld(control)) return nullptr;
  const platform::CancelCheck stopRequested = [&control] { return control.load() == kStop; };
  if (!connection.SendAll(request.data(), request.size(), receiveTimeoutMs, stopRequested)) return nullptr;

  // Bytes come off the socket in large blocks (one system call per 1024
  // bytes would dominate a fast transfer) but are taken in 1024-byte chunks:
  // the counters, the cap and hold and stop are looked at chunk by chunk.
  std::unique_ptr<std::uint8_t[]> in(new std::uint8_t[kReceiveBlock]);
  std::size_t begin = 0, end = 0;
  bool closed = false;
  bool broken = false;  // a reset or socket error: the end of the data is no end of the body
  for (;;) {
    if (control.load() == kStop) break;
    while (end - begin < kChunkSize && !closed) {
      if (kReceiveBlock - end < kChunkSize) {
        std::memmove(in.get(), in.get() + begin, end - begin);
        end -= begin;
        begin = 0;
      }
      auto r = connection.Receive(in.get() + end, kReceiveBlock - end, receiveTimeoutMs, stopRequested);
      if (r.status == platform::NetStatus::kOk) {
        end += r.count;
        continue;
      }
      // Nothing for a whole time-out: the transfer has failed.
      if (r.status == platform::NetStatus::kTimedOut) return nullptr;
      broken = r.status == platform::NetStatus::kError;
      closed = true;  // closed, broken, or a stop while waiting
    }
    std::size_t have = std::min(kChunkSize, end - begin);
    if (have == 0) break;
    if (response.size() + have > maxResponseBytes) return nullptr;
    AddTo(bodyLength, static_cast<std::int64_t>(have));
    AddTo(runningTotal, static_cast<std::int64_t>(have));
    if (!response.Append(in.get() + begin, have)) return nullptr;
    begin += have;
    if (!WaitWhileHeld(control)) break;
  }

  std::size_t received = response.size();
  if (!ApplyFraming(broken)) return nullptr;
  // Framing and trailers, and bytes past the announced end, are no body.
  AddTo(bodyLength, -static_cast<std::int64_t>(received - response.size()));
  AddTo(runningTotal, -static_cast<std::int64_t>(received - response.size()));

  static const std::uint8_t kEnd[2] = {0, 0};
  if (!response.Append(kEnd, 2)) return nullptr;
  bool listRequest = path.find(kListDocumentName) != std::string::npos;
  auto start = LocateBody(response.data(), response.size(), listRequest);
  if (!start) return nullptr;
  AddTo(bodyLength, -static_cast<std::int64_t>(*start));
  AddTo(runningTotal, -static_cast<std::int64_t>(*start));
  return response.data() + *start;
}

bool HttpClient::ApplyFraming(bool broken) {
  std::string_view text(reinterpret_cast<const char*>(response.data()), response.size());
  std::size_t headEnd = text.find("\r\n\r\n");
  // Without a header block there is nothing that frames the body: the end
  // of the connection ends it, unless the connection broke.
  if (text.substr(0, 5) != "HTTP/" || headEnd == std::string_view::npos) return !broken;
  headEnd += 4;
  Framing framing = ReadFraming(text.substr(0, headEnd - 2));
  if (!framing.valid) return false;
  std::size_t bodySize = response.size() - headEnd;

  if (framing.chunked) {
    ByteBuffer decoded;
    if (!decoded.Reserve(response.size() + 2) || !decoded.Append(response.data(), headEnd)) return false;
    bool appended = true;
    ChunkedDecoder decoder;
    decoder.Feed(response.data() + headEnd, bodySize, [&](const std::uint8_t* data, std::size_t size) {
      appended = appended && decoded.Append(data, size);
    });
    // Anything after the last chunk is not part of this response.
    if (!appended || decoder.state() != ChunkedDecoder::State::kComplete) return false;
    response.Swap(decoded);
    return true;
  }
  if (framing.contentLength) {
    std::uint64_t announced = static_cast<std::uint64_t>(*framing.contentLength);
    if (bodySize < announced) return false;
    // The body ends where the server said it would; more bytes are not part
    // of this response.
    if (bodySize > announced) {
      ByteBuffer cut;
      std::size_t keep = headEnd + static_cast<std::size_t>(announced);
      if (!cut.Reserve(keep + 2) || !cut.Append(response.data(), keep)) return false;
      response.Swap(cut);
    }
    return true;
  }
  return !broken;
}

}  // namespace engine
