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

// How the response says its body ends, and what else its header block
// says (ResponseHead), read from the header block: the field names without
// regard to letter case, values without blanks around.
struct Framing {
  bool valid = true;  // false: contradicting lengths, or a coding we cannot undo
  bool chunked = false;
  std::optional<std::int64_t> contentLength;
  ResponseHead head;
};

// The three-digit code of a status line "HTTP/x.y NNN reason"; 0 when the
// line is not of that form.
int StatusCode(std::string_view head) {
  std::string_view line = head.substr(0, std::min(head.find("\r\n"), kMaxStatusLine));
  std::size_t blank = line.find(' ');
  if (line.substr(0, 5) != "HTTP/" || blank == std::string_view::npos) return 0;
  std::string_view code = line.substr(blank + 1, 3);
  if (code.size() != 3 || code.find_first_not_of("0123456789") != std::string_view::npos) return 0;
  if (line.size() > blank + 4 && line[blank + 4] != ' ') return 0;
  return (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
}

// An interim response: another header block follows it, not a body. 101
// (a switch of protocols) is final: nothing this program asks for switches.
bool IsInterim(int status) { return status >= 100 && status < 200 && status != 101; }

// Keeps a field's value; a second, different value makes it unknown.
void KeepField(std::optional<std::string>& field, bool& conflicting, std::string_view value) {
  if (conflicting) return;
  if (field && *field != value) {
    conflicting = true;
    field.reset();
    return;
  }
  field = std::string(value);
}

// Whether "close" is one of the comma-separated options of a Connection
// field.
bool SaysClose(std::string_view value) {
  while (!value.empty()) {
    std::size_t comma = value.find(',');
    if (base::EqualsIgnoringCase(base::TrimBlanks(value.substr(0, comma)), "close")) return true;
    value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
  }
  return false;
}

// `head` is the header block up to and with the CR LF of its last line.
Framing ReadFraming(std::string_view head) {
  Framing framing;
  framing.head.status = StatusCode(head);
  bool conflicting[3] = {false, false, false};
  std::size_t lineStart = head.find("\r\n");  // the status line is read above
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
    } else if (base::EqualsIgnoringCase(name, "Content-Range")) {
      KeepField(framing.head.contentRange, conflicting[0], value);
    } else if (base::EqualsIgnoringCase(name, "ETag")) {
      KeepField(framing.head.etag, conflicting[1], value);
    } else if (base::EqualsIgnoringCase(name, "Last-Modified")) {
      KeepField(framing.head.lastModified, conflicting[2], value);
    } else if (base::EqualsIgnoringCase(name, "Connection")) {
      framing.head.connectionClose = framing.head.connectionClose || SaysClose(value);
    }
  }
  framing.head.persistent = head.substr(0, 9) == "HTTP/1.1 " && !framing.head.connectionClose;
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

std::uint64_t ChunkFramingLimit(std::uint64_t maxBodyBytes) {
  constexpr std::uint64_t kTrailerAllowance = 64 * 1024;
  if (maxBodyBytes > (UINT64_MAX - kTrailerAllowance) / 2) return UINT64_MAX;
  return 2 * maxBodyBytes + kTrailerAllowance;
}

std::size_t SkipInterimResponses(std::string_view response) {
  std::size_t start = 0;
  for (;;) {
    std::string_view rest = response.substr(start);
    std::size_t end = rest.find(kHeadEnd);
    if (end == std::string_view::npos || !IsInterim(StatusCode(rest))) return start;
    end += kHeadEnd.size();
    if (std::memchr(rest.data(), 0, end) != nullptr) return start;
    start += end;
  }
}

namespace {

// Leaves only the `size` bytes at `from` in `response`.
bool KeepOnly(ByteBuffer& response, std::size_t from, std::size_t size) {
  if (from == 0 && size == response.size()) return true;
  ByteBuffer cut;
  if (!cut.Reserve(size + 2) || !cut.Append(response.data() + from, size)) return false;
  response.Swap(cut);
  return true;
}

}  // namespace

bool FrameWholeResponse(ByteBuffer& response, bool broken) {
  std::string_view whole(reinterpret_cast<const char*>(response.data()), response.size());
  const std::size_t start = SkipInterimResponses(whole);
  std::string_view text = whole.substr(start);
  std::size_t headEnd = text.find(kHeadEnd);
  // Without a header block there is nothing that frames the body: the end
  // of the connection ends it, unless the connection broke.
  if (!IsHttpResponse(text) || headEnd == std::string_view::npos)
    return !broken && KeepOnly(response, start, text.size());
  headEnd += kHeadEnd.size();
  Framing framing = ReadFraming(text.substr(0, headEnd - 2));
  if (!framing.valid) return false;
  std::size_t bodySize = text.size() - headEnd;

  if (framing.chunked) {
    ByteBuffer decoded;
    if (!decoded.Reserve(text.size() + 2) || !decoded.Append(text.data(), headEnd)) return false;
    bool appended = true;
    ChunkedDecoder decoder;
    decoder.Feed(reinterpret_cast<const std::uint8_t*>(text.data()) + headEnd, bodySize,
                 [&](const std::uint8_t* data, std::size_t size) {
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
    return KeepOnly(response, start, headEnd + static_cast<std::size_t>(announced));
  }
  return !broken && KeepOnly(response, start, text.size());
}

bool ResponseReader::Fail(bool overLimit) {
  mode_ = Mode::kFailed;
  overLimit_ = overLimit;
  return false;
}

bool ResponseReader::complete() const {
  return (mode_ == Mode::kLength && remaining_ == 0) ||
         (mode_ == Mode::kChunked && chunks_.state() == ChunkedDecoder::State::kComplete);
}

bool ResponseReader::Feed(const std::uint8_t* data, std::size_t size) {
  if (mode_ == Mode::kFailed) return false;
  if (mode_ != Mode::kHead) return Body(data, size);
  std::size_t searchFrom = headText_.size() < 3 ? 0 : headText_.size() - 3;
  headText_.append(reinterpret_cast<const char*>(data), size);
  for (;;) {
    std::size_t at = headText_.find(kHeadEnd, searchFrom);
    if (at == std::string::npos) return headBytes_ + headText_.size() <= kMaxHeadBytes || Fail(true);
    std::size_t headEnd = at + kHeadEnd.size();
    // The header block ends at the first zero byte: a blank line behind one
    // does not count.
    if (std::memchr(headText_.data(), 0, headEnd) != nullptr) return Fail(false);
    if (!IsInterim(StatusCode(headText_))) break;
    // An interim response: the real one follows.
    headBytes_ += headEnd;
    if (headBytes_ > kMaxHeadBytes) return Fail(true);
    headText_.erase(0, headEnd);
    searchFrom = 0;
  }
  std::size_t headEnd = headText_.find(kHeadEnd) + kHeadEnd.size();
  if (!StartBody()) return Fail(false);
  std::size_t rest = headText_.size() - headEnd;
  const std::uint8_t* body = data + (size - rest);
  headText_.clear();
  headText_.shrink_to_fit();
  return rest == 0 || Body(body, rest);
}

bool ResponseReader::StartBody() {
  std::string_view head(headText_);
  head = head.substr(0, head.find(kHeadEnd) + 2);
  std::optional<std::uint64_t> length;
  unexpectedStatus_ = UnexpectedStatus(head);
  headRead_ = true;
  mode_ = Mode::kUntilClose;
  if (IsHttpResponse(head)) {
    Framing framing = ReadFraming(head);
    head_ = framing.head;
    if (!framing.valid) return false;
    if (framing.chunked) {
      mode_ = Mode::kChunked;
    } else if (framing.contentLength) {
      mode_ = Mode::kLength;
      remaining_ = static_cast<std::uint64_t>(*framing.contentLength);
      length = remaining_;
    }
  }
  if (receiver_.Begin(head_, length)) return true;
  receiverFailed_ = true;
  return false;
}

bool ResponseReader::Deliver(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return true;
  if (size > maxBodyBytes_ - bodyBytes_) return Fail(true);
  bodyBytes_ += size;
  if (receiver_.Take(data, size)) return true;
  receiverFailed_ = true;
  return Fail(false);
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
      if (mode_ != Mode::kChunked) return false;
      if (chunks_.state() == ChunkedDecoder::State::kBroken) return Fail(false);
      return chunks_.framingBytes() <= ChunkFramingLimit(maxBodyBytes_) || Fail(true);
    default:
      return false;
  }
}

bool ResponseReader::Finish(bool broken) {
  switch (mode_) {
    case Mode::kUntilClose:
      return !broken;
    case Mode::kLength:
    case Mode::kChunked:
      return complete();
    default:
      return false;
  }
}

}  // namespace engine
