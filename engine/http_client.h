// One HTTP/1.1 GET over a plain TCP connection to port 80, read until the
// body is whole by its framing (its Content-Length, or the last chunk and
// the trailers), or, for a body that nothing frames, until the server closes
// the connection: a server that keeps the connection open after a framed
// body does not hold the transfer up. Interim "1xx" responses before the
// real one are skipped. The status does not matter (an error page is a body
// like any other): the body starts after the real response's blank line,
// or, for the update-list request (a path containing "tlv5.php"), at the
// list's marker "@TLV-DVD Update@". The header block is read for where the
// body ends and for the few fields kept in `lastHead`: a chunked body is
// decoded, and a body shorter than its Content-Length, a broken chunked body
// or a connection reset where nothing marks the end is a failed transfer,
// never a shorter body (http_response.h).
// Executable and library names are requested under their packed names
// (".exe" as ".ex_", ".dll" as ".dl_"), blanks as "%20", and the Host line
// always names the built-in update host. The list is read into memory; an
// update file's body is handed on as it arrives (GetStreamed).
//
// A transfer shares two words with the window: the run control (0 run,
// 1 hold, 2 stop), polled before sending and after every 1024-byte chunk and
// also while waiting for data, and the running byte counter. No wait is
// unbounded: connecting and receiving time out, a transfer that trickles
// fails as a stalled one does, and a response body may not grow past a cap
// (counted in decoded bytes; chunk framing has a bound of its own), so a
// server can neither hang the updater nor exhaust memory.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/byte_buffer.h"
#include "engine/http_response.h"
#include "platform/sockets.h"

namespace engine {

enum RunControl : std::int32_t { kRun = 0, kHold = 1, kStop = 2 };
using SharedWord = std::atomic<std::int32_t>;

inline constexpr std::string_view kListMarker = "@TLV-DVD Update@";
inline constexpr std::string_view kListDocumentName = "tlv5.php";
inline constexpr std::size_t kChunkSize = 1024;
inline constexpr std::size_t kReceiveBlock = 256 * 1024;
inline constexpr std::size_t kMaxPathLength = 255;
inline constexpr std::size_t kMaxHostLength = 127;
// A list response larger than this is no list.
inline constexpr std::size_t kMaxListResponseBytes = 4u << 20;
inline constexpr int kConnectTimeoutMs = 20000;
inline constexpr int kReceiveTimeoutMs = 60000;
inline constexpr int kStallWindowMs = 60000;

// Starts the socket library once per process; the result of that one start.
bool StartSockets();

// The host of the built-in update server, named in every request.
std::string DefaultHost();

// The request path as sent: blanks as "%20", ".dll" as ".dl_", ".exe" as
// ".ex_" (letter case significant).
std::string RewriteRequestPath(std::string_view path);

// Where the body starts in a response of `size` bytes: at the list marker
// for a list request, else after the first "\r\n\r\n". The search ends at
// the first zero byte. Empty when not found.
std::optional<std::size_t> LocateBody(const std::uint8_t* data, std::size_t size, bool listRequest);

// A connection an earlier transfer left open, to `host`.
struct SpareConnection {
  platform::TcpConnection connection;
  std::string host;
};

class HttpClient {
 public:
  HttpClient();
  virtual ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Connects to the host of an "http://host/path" URL on port 80 and keeps
  // the path for Get. `control`, when given, is polled while connecting so a
  // stop ends the wait. Closes any earlier connection first. A `spare`
  // connection to the same host, left open by an earlier transfer, is taken
  // instead of a new one.
  bool Connect(std::string_view url, const SharedWord* control = nullptr, SpareConnection* spare = nullptr);
  // Hands the connection on to `spare` when it may carry another request:
  // the request let the server keep it (keepAlive), the body was whole by
  // its framing, and the server said it keeps it. False otherwise.
  bool LeaveConnection(SpareConnection& spare);
  // The connection of the last Connect was a spare one.
  bool reused() const { return reused_; }
  // Bytes received by the last transfer.
  std::size_t receivedBytes() const { return received_; }
  // Sends the request and reads the response. Every received byte is added
  // to `runningTotal` and `bodyLength`; at the end whatever is not body
  // (header blocks, chunk framing, bytes past the end) is taken off both.
  // Returns the body's first byte inside `response`, or null on failure
  // (stop before sending, send failure, receive time-out, body over the cap,
  // or no body start).
  const std::uint8_t* Get(SharedWord& runningTotal, std::int32_t& bodyLength, const SharedWord& control);

  enum class StreamResult { kComplete, kCut, kFailed, kReceiverFailed };
  // Sends the request and hands the body to `receiver` as it arrives,
  // holding none of it; counts as Get does. kCut when the network ended
  // the transfer before the body was whole (the request not sent, no
  // answer in time, a stall, a reset, a body shorter than its framing
  // says); kFailed for every other failure, and for a stop; kReceiverFailed
  // when the receiver refused the body.
  StreamResult GetStreamed(SharedWord& runningTotal, std::int32_t& bodyLength, const SharedWord& control,
                           BodyReceiver& receiver);
  // Closes the connection, forgets the path and empties the response (its
  // storage stays for a later transfer). A transfer whose body ended by its
  // framing has closed the connection already.
  void Close();

  bool socketsReady = false;
  // Why the last Connect or transfer failed, in a few words for the failure
  // log ("no answer within 60 s"); empty after a success.
  std::string failure;
  // The status line of the last response when it says anything but success
  // ("HTTP/1.1 404 Not Found"), else empty (http_response.h).
  std::string unexpectedStatus;
  // The header block of the last transfer's final response (status code,
  // Content-Range, ETag, Last-Modified, Connection: close); all empty when
  // none was read.
  ResponseHead lastHead;
  std::string path;  // request path kept by the last successful Connect
  // The request does not ask the server to close the connection after the
  // response ("Connection: Close" is left out), so that LeaveConnection can
  // keep it for the next transfer.
  bool keepAlive = false;
  // When not 0, the request asks for the body from this byte on ("Range:
  // bytes=N-"); Close sets it back to 0.
  std::uint64_t rangeFrom = 0;
  platform::TcpConnection connection;
  // After a Get: the final response's header block and body, then two
  // zero bytes.
  ByteBuffer response;
  // The most body bytes a response may have, after chunks are decoded.
  std::size_t maxResponseBytes = kMaxListResponseBytes;
  int connectTimeoutMs = kConnectTimeoutMs;
  int receiveTimeoutMs = kReceiveTimeoutMs;
  // A transfer that receives less than 1024 bytes in this long has stalled
  // and fails as a time-out does, however often single bytes arrive.
  int stallWindowMs = kStallWindowMs;

 private:
  enum class Ending { kComplete, kClosed, kBroken, kStopped, kCut, kFailed };
  // Sends the request and receives until `reader` has the whole body or the
  // server closes, feeding every received byte to `reader` (its failure
  // fails the transfer) and, when given, to `raw` as well (then a reader
  // that found no header block it could read does not fail it: `raw` is
  // framed again afterwards).
  Ending Transfer(SharedWord& runningTotal, std::int32_t& bodyLength, const SharedWord& control,
                  ResponseReader& reader, ByteBuffer* raw);
  // Keeps why, and returns `result`.
  template <typename Result>
  Result Fail(Result result, std::string why) {
    failure = std::move(why);
    return result;
  }

  std::size_t received_ = 0;
  std::string host_;      // of the last Connect
  bool reused_ = false;   // the last Connect took a spare connection
  bool reusable_ = false; // the last transfer left the connection fit for another
};

}  // namespace engine
