// Where the body of an HTTP response starts and ends, for a response held
// whole in memory and for one taken as it arrives; both decide alike for
// every response. Interim responses (status 1xx other than 101, such as
// "100 Continue") before the real one are skipped: the body, the status and
// the head are the real response's. Its header block (up to the first blank
// line) is read for the body's framing and for the few fields a later
// request may need (ResponseHead): a "Transfer-Encoding: chunked" body is
// decoded, a body ends at its Content-Length (bytes after it are not part
// of it), and without either the end of the connection ends it. A body
// shorter than its Content-Length, a broken or unfinished chunked body, an
// unknown transfer coding, contradicting lengths, and a connection that
// broke where nothing else marks the end are failed transfers. A response
// that does not start with "HTTP/" has no framing: its body is what follows
// the first blank line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/byte_buffer.h"
#include "engine/chunked_decoder.h"

namespace engine {

// A header block larger than this is no response this program asked for;
// the interim responses before the real one count towards it too.
inline constexpr std::size_t kMaxHeadBytes = 1u << 20;
// Chunk framing (size lines, line ends, trailers) may take at most this
// many bytes for a body of at most `maxBodyBytes`: twice the body (a body
// sent in chunks of a few bytes each) and a little more for the trailers.
// Beyond it a server is only making us read.
std::uint64_t ChunkFramingLimit(std::uint64_t maxBodyBytes);

// What the header block of the (final) response says beyond the framing:
// what a request that resumes a transfer needs to know. Field names are
// matched without regard to letter case; values lose the blanks around
// them. A field given twice with different values counts as not given.
struct ResponseHead {
  int status = 0;  // the three-digit code of "HTTP/x.y NNN ..."; 0 for none
  std::optional<std::string> contentRange;
  std::optional<std::string> etag;
  std::optional<std::string> lastModified;
  bool connectionClose = false;  // "close" among the Connection options
  // An HTTP/1.1 response without "close": the server keeps the connection
  // for another request.
  bool persistent = false;
  bool operator==(const ResponseHead&) const = default;
};

// Where the final response starts in `response`: after every whole interim
// header block (HTTP/ status 1xx other than 101, no zero byte in it) at its
// start; 0 when there is none.
std::size_t SkipInterimResponses(std::string_view response);

// The status line at the start of `response` ("HTTP/1.1 404 Not Found") when
// it says anything but success (2xx); empty for a success or for no HTTP
// response. The status never decides what the body is, but a transfer or a
// body that fails is told with it.
std::string UnexpectedStatus(std::string_view response);

// For a whole response in `response`: checks it against its framing and
// leaves the final header block and the body alone in `response` (interim
// responses dropped, chunks decoded, bytes past the end dropped). False when
// the body is not whole.
bool FrameWholeResponse(ByteBuffer& response, bool broken);

// Takes the body of a response as it arrives.
class BodyReceiver {
 public:
  virtual ~BodyReceiver() = default;
  // The header block `head` has been read; `length` is the body's length
  // when the response states it. False refuses the body.
  virtual bool Begin(const ResponseHead& head, std::optional<std::uint64_t> length) = 0;
  // The next bytes of the body; false ends the transfer as failed.
  virtual bool Take(const std::uint8_t* data, std::size_t size) = 0;
};

// Reads a response fed in pieces of any size and hands its body on to a
// receiver, holding only the header block. It tells when the body is whole
// by its framing, so that nobody need wait for the server to close.
class ResponseReader {
 public:
  // `maxBodyBytes` bounds the decoded body, and through ChunkFramingLimit
  // the chunk framing around it; past either the response fails, and the
  // receiver is not handed the bytes that went past the body's bound.
  explicit ResponseReader(BodyReceiver& receiver, std::uint64_t maxBodyBytes = UINT64_MAX)
      : receiver_(receiver), maxBodyBytes_(maxBodyBytes) {}

  // False once the response cannot give a whole body, or the receiver
  // refused; later bytes are then ignored.
  bool Feed(const std::uint8_t* data, std::size_t size);
  // The connection has ended (`broken`: by a reset or a socket error).
  // True when the body is whole.
  bool Finish(bool broken);
  // The body is whole by its framing (its Content-Length reached, or the
  // last chunk and the trailers read): whatever comes after is no part of
  // it. Never true for a body that only the end of the connection ends.
  bool complete() const;
  // The response failed because it went past a bound, not for its form.
  bool overLimit() const { return overLimit_; }
  // The final response's header block has been read (its body may since
  // have failed).
  bool headRead() const { return headRead_; }
  // What the final response's header block says, once it is read.
  const ResponseHead& head() const { return head_; }

  std::uint64_t bodyBytes() const { return bodyBytes_; }
  // Whether the receiver, not the response, ended the transfer.
  bool receiverFailed() const { return receiverFailed_; }
  // UnexpectedStatus() of the response, once its header block is read.
  const std::string& unexpectedStatus() const { return unexpectedStatus_; }

 private:
  enum class Mode { kHead, kUntilClose, kLength, kChunked, kFailed };
  bool StartBody();
  bool Deliver(const std::uint8_t* data, std::size_t size);
  bool Body(const std::uint8_t* data, std::size_t size);

  bool Fail(bool overLimit);

  BodyReceiver& receiver_;
  const std::uint64_t maxBodyBytes_;
  Mode mode_ = Mode::kHead;
  std::string headText_;
  std::size_t headBytes_ = 0;  // of the interim responses skipped so far
  ResponseHead head_;
  bool headRead_ = false;
  bool overLimit_ = false;
  std::uint64_t remaining_ = 0;
  ChunkedDecoder chunks_;
  std::uint64_t bodyBytes_ = 0;
  bool receiverFailed_ = false;
  std::string unexpectedStatus_;
};

}  // namespace engine
