// Where the body of an HTTP response starts and ends, for a response held
// whole in memory and for one taken as it arrives; both decide alike for
// every response. The header block (up to the first blank line) is read
// only for the body's framing: a "Transfer-Encoding: chunked" body is
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

// A header block larger than this is no response this program asked for.
inline constexpr std::size_t kMaxHeadBytes = 1u << 20;

// The status line at the start of `response` ("HTTP/1.1 404 Not Found") when
// it says anything but success (2xx); empty for a success or for no HTTP
// response. The status never decides what the body is, but a transfer or a
// body that fails is told with it.
std::string UnexpectedStatus(std::string_view response);

// For a whole response in `response`: checks it against its framing and
// leaves the header block and the body alone in `response` (chunks decoded,
// bytes past the end dropped). False when the body is not whole.
bool FrameWholeResponse(ByteBuffer& response, bool broken);

// Takes the body of a response as it arrives.
class BodyReceiver {
 public:
  virtual ~BodyReceiver() = default;
  // The header block has been read; `length` is the body's length when the
  // response states it. False refuses the body.
  virtual bool Begin(std::optional<std::uint64_t> length) = 0;
  // The next bytes of the body; false ends the transfer as failed.
  virtual bool Take(const std::uint8_t* data, std::size_t size) = 0;
};

// Reads a response fed in pieces of any size and hands its body on to a
// receiver, holding only the header block.
class ResponseReader {
 public:
  explicit ResponseReader(BodyReceiver& receiver) : receiver_(receiver) {}

  // False once the response cannot give a whole body, or the receiver
  // refused; later bytes are then ignored.
  bool Feed(const std::uint8_t* data, std::size_t size);
  // The connection has ended (`broken`: by a reset or a socket error).
  // True when the body is whole.
  bool Finish(bool broken);

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

  BodyReceiver& receiver_;
  Mode mode_ = Mode::kHead;
  std::string head_;
  std::uint64_t remaining_ = 0;
  ChunkedDecoder chunks_;
  std::uint64_t bodyBytes_ = 0;
  bool receiverFailed_ = false;
  std::string unexpectedStatus_;
};

}  // namespace engine
