// The body of an update file on its way to the staging folder, taken as it
// arrives. Whether the body is the file itself or a container holding it is
// decided by the plain-or-packed rule (container.h): a body as long as the
// listed size is plain. When the response states its length, that
// is known before the first byte; otherwise the raw body goes to the store
// as it comes, and at its end, if it turns out to be a container, is read
// back from the store and decoded into a new output. The digest is that of
// the bytes that end up in the store. Writing and digesting happen on
// threads of their own (BlockPipe), beside the receiving and decoding.
#pragma once

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/block_pipe.h"
#include "engine/container_stream.h"
#include "engine/digest.h"
#include "engine/http_response.h"

namespace engine {

// Where the bytes of a staged body go: a file, or memory in tests.
class BodyStore {
 public:
  using Reader = std::function<bool(const std::uint8_t* data, std::size_t size)>;
  virtual ~BodyStore() = default;
  // Appends to the output; false when it cannot be written.
  virtual bool Write(const std::uint8_t* data, std::size_t size) = 0;
  // The body is packed: the output is the unpacked file from here on, and
  // the raw body goes to Keep.
  virtual void StartUnpacking() {}
  // Appends raw bytes of a packed body to where they are kept.
  virtual bool Keep(const std::uint8_t*, std::size_t) { return true; }
  // The raw body written so far turned out to be packed: starts a new,
  // empty output (as StartUnpacking) and hands the raw bytes to `reader`
  // piece by piece (which writes to the new output meanwhile). False when
  // they cannot be read back, or the reader said no.
  virtual bool Rewrite(const Reader& reader) = 0;
};

class StagedBody : public BodyReceiver {
 public:
  // For a file listed with `size` bytes (0 for an empty file, whose plain
  // body stores nothing); `withSha256` also takes the SHA-256 digest of the
  // stored bytes.
  StagedBody(std::int32_t size, BodyStore& store, bool withSha256 = false);
  ~StagedBody() override;

  bool Begin(const ResponseHead& head, std::optional<std::uint64_t> length) override;
  // Instead of Begin: the body of `total` bytes continues bytes of it kept
  // from an earlier transfer, which `replay` hands over in order (to the
  // reader it is given). A plain body's kept bytes are in the store already
  // and only go to the digests; a packed body's are unpacked into the store.
  using Replay = std::function<bool(const BodyStore::Reader& reader)>;
  bool Resume(std::uint64_t total, const Replay& replay);
  bool Take(const std::uint8_t* data, std::size_t size) override;
  // The response has ended with a whole body of `bodyLength` bytes (as the
  // transfer counted it). True when the store now holds the file: the body
  // itself, or what its container unpacked to.
  bool Finish(std::int32_t bodyLength);

  // Waits until every byte taken so far is in the store; false when it
  // failed.
  bool Settle();
  bool packed() const { return mode_ == Mode::kPacked; }
  // The store, not the body, failed.
  bool storeFailed() const { return storeFailed_; }
  // The digest texts of the stored bytes (after Finish).
  std::string Digest() const { return md5_.Text(); }
  std::string Sha256() const { return sha256_.Text(); }

 private:
  enum class Mode { kUnknown, kPlain, kPacked };
  bool Store(const std::uint8_t* data, std::size_t size);
  bool StartPacked();

  const std::int32_t size_;
  const bool withSha256_;
  BodyStore& store_;
  Mode mode_ = Mode::kUnknown;
  StreamDigest md5_;  // of what the store took, on a pipe's thread
  StreamDigest sha256_{DigestKind::kSha256};
  std::atomic<bool> storeFailed_{false};
  std::unique_ptr<ContainerDecoder> decoder_;
  ContainerDecoder::Output decoded_;
  BlockPipe pipe_;  // last: its thread ends before the rest goes
};

}  // namespace engine
