#include "engine/staged_body.h"

#include "engine/container.h"

namespace engine {

namespace {

std::vector<BlockPipe::Consumer> Consumers(BodyStore& store, std::atomic<bool>& storeFailed, StreamDigest& md5,
                                           StreamDigest* sha256) {
  std::vector<BlockPipe::Consumer> consumers = {
      [&store, &storeFailed](const std::uint8_t* data, std::size_t n) {
        if (store.Write(data, n)) return true;
        storeFailed = true;
        return false;
      },
      [&md5](const std::uint8_t* data, std::size_t n) {
        md5.Update(data, n);
        return true;
      }};
  if (sha256) {
    consumers.push_back([sha256](const std::uint8_t* data, std::size_t n) {
      sha256->Update(data, n);
      return true;
    });
  }
  return consumers;
}

}  // namespace

StagedBody::StagedBody(std::int32_t size, BodyStore& store, bool withSha256)
    : size_(size),
      withSha256_(withSha256),
      store_(store),
      decoded_([this](const std::uint8_t* data, std::size_t n) { return Store(data, n); }),
      pipe_(Consumers(store_, storeFailed_, md5_, withSha256 ? &sha256_ : nullptr)) {}

StagedBody::~StagedBody() = default;

bool StagedBody::Store(const std::uint8_t* data, std::size_t size) { return pipe_.Put(data, size); }

// Every byte so far in the store.
bool StagedBody::Settle() { return pipe_.Drain(); }

bool StagedBody::StartPacked() {
  mode_ = Mode::kPacked;
  store_.StartUnpacking();
  decoder_ = std::make_unique<ContainerDecoder>(size_);
  return true;
}

bool StagedBody::Resume(std::uint64_t total, const Replay& replay) {
  if (!md5_.ok()) return false;
  if (IsPlainBody(static_cast<std::int32_t>(static_cast<std::uint32_t>(total)), size_)) {
    mode_ = Mode::kPlain;
    // Before the first new byte is put, so before the pipe's threads touch
    // the digests.
    return replay([this](const std::uint8_t* data, std::size_t n) {
      md5_.Update(data, n);
      if (withSha256_) sha256_.Update(data, n);
      return true;
    });
  }
  StartPacked();
  return replay([this](const std::uint8_t* data, std::size_t n) { return decoder_->Feed(data, n, decoded_); });
}

bool StagedBody::Begin(const ResponseHead&, std::optional<std::uint64_t> length) {
  if (!md5_.ok()) return false;
  if (!length) return true;  // decided at the end
  // The counted length is a 32-bit word; a body that long never gets
  // through the transfer's cap anyway.
  auto counted = static_cast<std::int32_t>(static_cast<std::uint32_t>(*length));
  if (IsPlainBody(counted, size_)) {
    mode_ = Mode::kPlain;
    return true;
  }
  return StartPacked();
}

bool StagedBody::Take(const std::uint8_t* data, std::size_t size) {
  if (mode_ == Mode::kPacked) {
    if (!store_.Keep(data, size)) {
      storeFailed_ = true;
      return false;
    }
    return decoder_->Feed(data, size, decoded_);
  }
  return Store(data, size);
}

bool StagedBody::Finish(std::int32_t bodyLength) {
  if (!Settle()) return false;
  if (mode_ == Mode::kUnknown) {
    if (IsPlainBody(bodyLength, size_)) {
      mode_ = Mode::kPlain;
    } else {
      // The raw body is in the store: read it back through the decoder.
      StartPacked();
      md5_.Reset();
      sha256_.Reset();
      bool fed = true;
      bool reread = store_.Rewrite([&](const std::uint8_t* data, std::size_t n) {
        fed = fed && decoder_->Feed(data, n, decoded_);
        return fed;
      });
      if (!reread) {
        if (fed) storeFailed_ = true;
        return false;
      }
    }
  }
  if (mode_ == Mode::kPlain) return true;
  return decoder_->Finish(decoded_) && Settle();
}

}  // namespace engine
