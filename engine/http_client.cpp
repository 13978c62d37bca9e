#include "engine/http_client.h"

#include <algorithm>
#include <cstring>
#include <memory>


#include "base/ascii_text.h"
#include "build_config.h"
#include "engine/http_response.h"
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

// Waits while the run is held; false when it is stopped. `waited` tells
// whether there was a hold at all.
bool WaitWhileHeld(const SharedWord& control, bool* waited = nullptr) {
  while (control.load() == kHold) {
    if (waited) *waited = true;
    platform::SleepMs(10);
  }
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

bool HttpClient::LeaveConnection(SpareConnection& spare) {
  if (!reusable_ || !connection.IsOpen()) return false;
  spare.connection = std::move(connection);
  spare.host = host_;
  reusable_ = false;
  return true;
}

void HttpClient::Close() {
  connection.Close();
  path.clear();
  rangeFrom = 0;
  reusable_ = false;
  response.Clear();
}

bool HttpClient::Connect(std::string_view url, const SharedWord* control, SpareConnection* spare) {
  failure.clear();
  if (!socketsReady) return Fail(false, "the network cannot be used");
  if (url.empty()) return Fail(false, "no address");
  Close();
  if (base::StartsWithIgnoringCase(url, "http://")) url.remove_prefix(7);
  std::size_t slash = url.find('/');
  if (slash == std::string_view::npos) return Fail(false, "no path to request");
  std::string host(url.substr(0, slash));
  std::string_view requestPath = url.substr(slash);
  if (host.size() > kMaxHostLength || requestPath.size() > kMaxPathLength)
    return Fail(false, "the host or the path is too long");
  host_ = host;
  reused_ = spare && spare->connection.IsOpen() && spare->host == host;
  if (reused_) {
    connection = std::move(spare->connection);
    path = std::string(requestPath);
    return true;
  }
  platform::CancelCheck cancelled;
  if (control) cancelled = [control] { return control->load() == kStop; };
  auto address = platform::ResolveIPv4(host, cancelled);
  if (!address) return Fail(false, "the host " + host + " is not found");
  connection = platform::TcpConnection::Connect(*address, 80, connectTimeoutMs, cancelled);
  if (!connection.IsOpen()) return Fail(false, "no connection to " + host + " on port 80");
  path = std::string(requestPath);
  return true;
}

HttpClient::Ending HttpClient::Transfer(SharedWord& runningTotal, std::int32_t& bodyLength, const SharedWord& control,
                                       ResponseReader& reader, ByteBuffer* raw) {
  received_ = 0;
  reusable_ = false;
  failure.clear();
  unexpectedStatus.clear();
  lastHead = ResponseHead{};
  if (!socketsReady || !connection.IsOpen()) return Fail(Ending::kFailed, "not connected");
  // A transfer that resumes asks for the rest of the body only.
  std::string range = rangeFrom > 0 ? "Range: bytes=" + std::to_string(rangeFrom) + "-\r\n" : std::string();
  std::string request = "GET " + RewriteRequestPath(path) + " HTTP/1.1\r\nHost: " + DefaultHost() +
                        "\r\nAccept: */*\r\n" + range + (keepAlive ? "" : "Connection: Close\r\n") + "\r\n";
  if (!WaitWhileHeld(control)) return Ending::kFailed;
  const platform::CancelCheck stopRequested = [&control] { return control.load() == kStop; };
  if (!connection.SendAll(request.data(), request.size(), receiveTimeoutMs, stopRequested))
    return Fail(Ending::kCut, "the request could not be sent");

  // Bytes come off the socket in large blocks (a system call per 1024
  // bytes would dominate a fast transfer) but are counted in chunks of at
  // most 1024 bytes: the counters, the cap and hold and stop are looked at
  // chunk by chunk; the bytes are handed on a block at a time, as soon as
  // they are in, since the block that completes the body must end the
  // transfer even if the server then says nothing more.
  std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[kReceiveBlock]);
  std::uint8_t* in = block.get();
  // Whatever the response holds, the bytes on the wire stay within its
  // bounds: the header blocks, the body and the chunk framing.
  const std::uint64_t rawLimit = kMaxHeadBytes + static_cast<std::uint64_t>(maxResponseBytes) +
                                 std::min<std::uint64_t>(ChunkFramingLimit(maxResponseBytes), SIZE_MAX / 2);
  const std::string tooLarge = "the response is larger than " + std::to_string(maxResponseBytes) + " bytes";
  // A server may trickle: at least 1024 bytes must come in every window.
  std::int64_t windowStart = platform::MonotonicMs();
  std::size_t windowBytes = 0;
  for (;;) {
    if (control.load() == kStop) return Ending::kStopped;
    std::int64_t left = windowStart + stallWindowMs - platform::MonotonicMs();
    if (left <= 0)
      return Fail(Ending::kCut, "stalled: less than 1024 bytes in " + std::to_string(stallWindowMs / 1000) + " s");
    int wait = static_cast<int>(std::min<std::int64_t>(receiveTimeoutMs, left));
    auto r = connection.Receive(in, kReceiveBlock, wait, stopRequested);
    // Nothing for a whole time-out: the transfer has failed.
    if (r.status == platform::NetStatus::kTimedOut)
      return Fail(Ending::kCut, "no answer within " + std::to_string(wait / 1000) + " s");
    const bool closed = r.status != platform::NetStatus::kOk;  // closed, broken, or a stop while waiting
    const std::size_t size = closed ? 0 : r.count;
    windowBytes += size;
    if (windowBytes >= kChunkSize) {
      windowStart = platform::MonotonicMs();
      windowBytes = 0;
    }
    std::size_t done = 0;
    bool stopped = false, held = false;
    while (!stopped && done < size) {
      std::size_t have = std::min(kChunkSize, size - done);
      if (received_ + have > rawLimit) return Fail(Ending::kFailed, tooLarge);
      received_ += have;
      AddTo(bodyLength, static_cast<std::int64_t>(have));
      AddTo(runningTotal, static_cast<std::int64_t>(have));
      done += have;
      stopped = !WaitWhileHeld(control, &held);
    }
    if (done > 0) {
      bool fed = reader.Feed(in, done);
      if (reader.overLimit()) return Fail(Ending::kFailed, tooLarge);
      // A response held whole is framed again at its end, so it goes on
      // where the reader found no header block it could read (a list may
      // still hold its marker); one whose framing failed is done.
      if (!fed && (!raw || reader.headRead())) return Fail(Ending::kFailed, "the response has no body to take");
      if (raw && !raw->Append(in, done)) return Fail(Ending::kFailed, "the response does not fit in memory");
    }
    if (stopped || r.status == platform::NetStatus::kCancelled) return Ending::kStopped;
    if (reader.complete()) {
      // A connection that may carry another request is kept for it; any
      // other one the server holding it open gets back now, not when the
      // item goes.
      reusable_ = keepAlive && reader.head().persistent && !closed;
      if (!reusable_) connection.Close();
      return Ending::kComplete;
    }
    // A hold is no stall.
    if (held) windowStart = platform::MonotonicMs(), windowBytes = 0;
    if (closed) return r.status == platform::NetStatus::kError ? Ending::kBroken : Ending::kClosed;
  }
}

namespace {

// The body of a response held whole: the reader beside it only tells where
// the response ends and what its head says.
struct DiscardBody : BodyReceiver {
  bool Begin(const ResponseHead&, std::optional<std::uint64_t>) override { return true; }
  bool Take(const std::uint8_t*, std::size_t) override { return true; }
};

}  // namespace

const std::uint8_t* HttpClient::Get(SharedWord& runningTotal, std::int32_t& bodyLength, const SharedWord& control) {
  bodyLength = 0;
  response.Clear();
  DiscardBody discard;
  ResponseReader reader(discard, maxResponseBytes);
  Ending ending = Transfer(runningTotal, bodyLength, control, reader, &response);
  std::string_view text(reinterpret_cast<const char*>(response.data()), response.size());
  unexpectedStatus =
      reader.headRead() ? reader.unexpectedStatus() : UnexpectedStatus(text.substr(SkipInterimResponses(text)));
  lastHead = reader.head();
  // A stop ends the response where it is, as a closed connection would.
  if (ending == Ending::kFailed || ending == Ending::kCut) return nullptr;

  std::size_t received = response.size();
  if (!FrameWholeResponse(response, ending == Ending::kBroken))
    return Fail(nullptr, "the response ends before the end its header announces");
  // Interim responses, framing and trailers, and bytes past the announced
  // end, are no body.
  AddTo(bodyLength, -static_cast<std::int64_t>(received - response.size()));
  AddTo(runningTotal, -static_cast<std::int64_t>(received - response.size()));

  static const std::uint8_t kEnd[2] = {0, 0};
  if (!response.Append(kEnd, 2)) return nullptr;
  bool listRequest = path.find(kListDocumentName) != std::string::npos;
  auto start = LocateBody(response.data(), response.size(), listRequest);
  if (!start) return Fail(nullptr, listRequest ? "the response holds no update list" : "the response has no body");
  AddTo(bodyLength, -static_cast<std::int64_t>(*start));
  AddTo(runningTotal, -static_cast<std::int64_t>(*start));
  return response.data() + *start;
}

HttpClient::StreamResult HttpClient::GetStreamed(SharedWord& runningTotal, std::int32_t& bodyLength,
                                                 const SharedWord& control, BodyReceiver& receiver) {
  bodyLength = 0;
  // A response that can give no body is read no further.
  ResponseReader reader(receiver, maxResponseBytes);
  Ending ending = Transfer(runningTotal, bodyLength, control, reader, nullptr);
  unexpectedStatus = reader.unexpectedStatus();
  lastHead = reader.head();
  if (reader.receiverFailed()) return StreamResult::kReceiverFailed;
  if (ending == Ending::kFailed || ending == Ending::kStopped) return StreamResult::kFailed;
  if (ending == Ending::kCut) return StreamResult::kCut;
  // A well-formed body that ends too soon: the connection was cut.
  if (!reader.Finish(ending == Ending::kBroken))
    return Fail(StreamResult::kCut, "the response ends before the end its header announces");
  // The counters held every byte received; from here on only the body's.
  std::int64_t overhead = static_cast<std::int64_t>(received_ - reader.bodyBytes());
  AddTo(bodyLength, -overhead);
  AddTo(runningTotal, -overhead);
  return StreamResult::kComplete;
}

}  // namespace engine
