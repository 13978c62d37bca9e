#include "engine/http_response.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "base/ascii_text.h"
#include "base/number_text.h"

namespace engine {
namespace {

constexpr std::string_view kHeadEnd = "\r\n\r\n";
// More of a status line is no status any server sends.
constexpr std::size_t kMaxStatusLine = 200;

// How the response says its body ends, read from its header block: the
// field names without regard to letter case, values without blanks around.
struct Framing {
  bool valid = true;  // false: contradicting lengths, or a coding we cannot undo
  bool chunked = false;
  std::optional<std::int64_t> contentLength;
};

// `head` is the header block up to and with the CR LF of its last line.
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

bool IsHttpResponse(std::string_view text) { return text.substr(0, 5) == "HTTP/"; }

}  // namespace

std::string UnexpectedStatus(std::string_view response) {
  if (!IsHttpResponse(response)) return {};
  std::string_view line = response.substr(0, std::min({response.find("\r\n"), response.find('\0'), kMaxStatusLine}));
  // "HTTP/1.1 200 OK": the code follows the first blank.
  std::size_t blank = line.find(' ');
  if (blank != std::string_view::npos && blank + 1 < line.size() && line[blank + 1] == '2') return {};
  return std::string(line);
}

bool FrameWholeResponse(ByteBuffer& response, bool broken) {
  std::string_view text(reinterpret_cast<const char*>(response.data()), response.size());
  std::size_t headEnd = text.find(kHeadEnd);
  // Without a header block there is nothing that frames the body: the end
  // of the connection ends it, unless the connection broke.
  if (!IsHttpResponse(text) || headEnd == std::string_view::npos) return !broken;
  headEnd += kHeadEnd.size();
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

bool ResponseReader::Feed(const std::uint8_t* data, std::size_t size) {
  if (mode_ == Mode::kFailed) return false;
  if (mode_ != Mode::kHead) return Body(data, size);
  std::size_t searchFrom = head_.size() < 3 ? 0 : head_.size() - 3;
  head_.append(reinterpret_cast<const char*>(data), size);
  std::size_t at = head_.find(kHeadEnd, searchFrom);
  if (at == std::string::npos) {
    if (head_.size() <= kMaxHeadBytes) return true;
    mode_ = Mode::kFailed;
    return false;
  }
  std::size_t headEnd = at + kHeadEnd.size();
  // The header block ends at the first zero byte: a blank line behind one
  // does not count.
  if (std::memchr(head_.data(), 0, headEnd) != nullptr || !StartBody()) {
    mode_ = Mode::kFailed;
    return false;
  }
  std::size_t rest = head_.size() - headEnd;
  const std::uint8_t* body = data + (size - rest);
  head_.clear();
  head_.shrink_to_fit();
  return rest == 0 || Body(body, rest);
}

bool ResponseReader::StartBody() {
  std::string_view head(head_);
  head = head.substr(0, head.find(kHeadEnd) + 2);
  std::optional<std::uint64_t> length;
  unexpectedStatus_ = UnexpectedStatus(head);
  mode_ = Mode::kUntilClose;
  if (IsHttpResponse(head)) {
    Framing framing = ReadFraming(head);
    if (!framing.valid) return false;
    if (framing.chunked) {
      mode_ = Mode::kChunked;
    } else if (framing.contentLength) {
      mode_ = Mode::kLength;
      remaining_ = static_cast<std::uint64_t>(*framing.contentLength);
      length = remaining_;
    }
  }
  if (receiver_.Begin(length)) return true;
  receiverFailed_ = true;
  return false;
}

bool ResponseReader::Deliver(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return true;
  bodyBytes_ += size;
  if (receiver_.Take(data, size)) return true;
  receiverFailed_ = true;
  mode_ = Mode::kFailed;
  return false;
}

bool ResponseReader::Body(const std::uint8_t* data, std::size_t size) {
  switch (mode_) {
    case Mode::kUntilClose:
      return Deliver(data, size);
    case Mode::kLength: {
      std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, size));
      remaining_ -= take;
      return Deliver(data, take);
    }
    case Mode::kChunked:
      if (chunks_.state() == ChunkedDecoder::State::kComplete) return true;  // after the last chunk
      chunks_.Feed(data, size, [this](const std::uint8_t* bytes, std::size_t length) {
        if (mode_ == Mode::kChunked) Deliver(bytes, length);
      });
      if (mode_ == Mode::kChunked && chunks_.state() == ChunkedDecoder::State::kBroken) mode_ = Mode::kFailed;
      return mode_ != Mode::kFailed;
    default:
      return false;
  }
}

bool ResponseReader::Finish(bool broken) {
  switch (mode_) {
    case Mode::kUntilClose:
      return !broken;
    case Mode::kLength:
      return remaining_ == 0;
    case Mode::kChunked:
      return chunks_.state() == ChunkedDecoder::State::kComplete;
    default:
      return false;
  }
}

}  // namespace engine
