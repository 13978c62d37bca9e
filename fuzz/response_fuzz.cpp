// A file response from the network, taken two ways that must agree: whole in
// memory (framing, body start, plain-or-packed rule, Unpack, digest) and as
// it arrives (ResponseReader into StagedBody, in pieces). The first four
// input bytes give the listed size (below 1 MiB, so memory stays bounded)
// and the sizes of the pieces, the fifth whether the connection broke; the
// rest is the response.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/container.h"
#include "engine/digest.h"
#include "engine/http_client.h"
#include "engine/staged_body.h"

namespace {

struct Outcome {
  bool ok = false;
  std::string body;  // the response's body
  bool stagedOk = false;
  std::string staged;  // what is staged of it
  std::string digest;
};

Outcome Whole(const std::uint8_t* data, std::size_t size, bool broken, std::int32_t listed) {
  Outcome o;
  engine::ByteBuffer response;
  static const std::uint8_t kEnd[2] = {0, 0};
  if (!response.Append(data, size) || !engine::FrameWholeResponse(response, broken) || !response.Append(kEnd, 2))
    return o;
  auto start = engine::LocateBody(response.data(), response.size(), false);
  if (!start) return o;
  o.ok = true;
  const std::uint8_t* body = response.data() + *start;
  auto length = static_cast<std::int32_t>(response.size() - 2 - *start);
  o.body.assign(reinterpret_cast<const char*>(body), static_cast<std::size_t>(length));
  if (engine::IsPlainBody(length, listed)) {
    o.staged = o.body;
  } else {
    auto out = engine::Unpack(body, length, listed);
    if (!out) return o;
    o.staged.assign(reinterpret_cast<const char*>(out->data()), out->size());
  }
  o.stagedOk = true;
  o.digest = engine::DigestText(reinterpret_cast<const std::uint8_t*>(o.staged.data()), o.staged.size());
  return o;
}

struct Collect : engine::BodyReceiver {
  std::string bytes;
  bool Begin(const engine::ResponseHead&, std::optional<std::uint64_t>) override { return true; }
  bool Take(const std::uint8_t* data, std::size_t size) override {
    bytes.append(reinterpret_cast<const char*>(data), size);
    return true;
  }
};

struct MemoryStore : engine::BodyStore {
  std::string bytes;
  bool Write(const std::uint8_t* data, std::size_t size) override {
    bytes.append(reinterpret_cast<const char*>(data), size);
    return true;
  }
  bool Rewrite(const Reader& reader) override {
    std::string old;
    old.swap(bytes);
    for (std::size_t at = 0; at < old.size(); at += 4096)
      if (!reader(reinterpret_cast<const std::uint8_t*>(old.data()) + at, std::min<std::size_t>(4096, old.size() - at)))
        return false;
    return true;
  }
};

// Feeds `data` in pieces of `piece` bytes; true when the reader took all.
bool FeedAll(engine::ResponseReader& reader, const std::uint8_t* data, std::size_t size, std::size_t piece,
             bool broken) {
  bool fed = true;
  for (std::size_t at = 0; fed && at < size; at += piece) fed = reader.Feed(data + at, std::min(piece, size - at));
  return fed && reader.Finish(broken);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  std::uint32_t word;
  std::memcpy(&word, data, 4);
  auto listed = static_cast<std::int32_t>(word % (1u << 20));
  std::size_t piece = 1 + (word >> 24);
  bool broken = data[4] & 1;
  data += 5;
  size -= 5;
  Outcome whole = Whole(data, size, broken, listed);

  Collect collect;
  engine::ResponseReader plain(collect);
  bool ok = FeedAll(plain, data, size, piece, broken);
  if (ok != whole.ok || (ok && collect.bytes != whole.body) || (ok && plain.bodyBytes() != whole.body.size()))
    std::abort();

  MemoryStore store;
  engine::StagedBody staged(listed, store);
  engine::ResponseReader reader(staged);
  bool stagedOk = FeedAll(reader, data, size, piece, broken) &&
                  staged.Finish(static_cast<std::int32_t>(reader.bodyBytes()));
  if (stagedOk != whole.stagedOk) std::abort();
  if (stagedOk && (store.bytes != whole.staged || staged.Digest() != whole.digest)) std::abort();
  return 0;
}
