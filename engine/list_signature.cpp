#include "engine/list_signature.h"

#include <gcrypt.h>

#include <algorithm>
#include <vector>

#include "engine/digest.h"
#include "engine/update_list.h"

namespace engine {
namespace {

constexpr std::size_t kKeyBytes = 32;
constexpr std::size_t kSignatureBytes = 64;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Exactly `bytes` bytes written as hexadecimal digits.
std::optional<std::vector<unsigned char>> FromHex(std::string_view text, std::size_t bytes) {
  if (text.size() != 2 * bytes) return std::nullopt;
  std::vector<unsigned char> out(bytes);
  for (std::size_t i = 0; i < bytes; ++i) {
    int high = HexValue(text[2 * i]), low = HexValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    out[i] = static_cast<unsigned char>(high << 4 | low);
  }
  return out;
}

// An s-expression, released on every path.
struct Sexp {
  gcry_sexp_t value = nullptr;
  ~Sexp() { gcry_sexp_release(value); }
};

// The bytes of the token `name` in `sexp`, when it holds exactly `size`.
std::optional<std::vector<unsigned char>> Token(gcry_sexp_t sexp, const char* name, std::size_t size) {
  Sexp token{gcry_sexp_find_token(sexp, name, 0)};
  if (!token.value) return std::nullopt;
  std::size_t length = 0;
  const char* data = gcry_sexp_nth_data(token.value, 1, &length);
  if (!data || length != size) return std::nullopt;
  return std::vector<unsigned char>(data, data + length);
}

// Where the text between the closing marker line and the first item header
// lies; empty when the document has no closing marker line.
struct Region {
  std::size_t begin = 0, end = 0;
};

std::optional<Region> SignedRegion(std::string_view document) {
  if (document.substr(0, kMarkerLine.size()) != kMarkerLine) return std::nullopt;
  std::size_t close = document.find(kMarkerLine, kMarkerLine.size());
  if (close == std::string_view::npos) return std::nullopt;
  Region region;
  region.begin = close + kMarkerLine.size();
  std::size_t item = document.find(kItemHeader, region.begin);
  region.end = item == std::string_view::npos ? document.size() : item;
  return region;
}

// The one line of the region that starts with `key` (from its first byte
// to after its CR LF); empty when there is none, or more than one.
struct Line {
  std::size_t begin = 0, end = 0;
  std::string_view value;
};

std::optional<Line> OnlyLine(std::string_view document, Region region, std::string_view key) {
  std::optional<Line> found;
  std::size_t at = region.begin;
  while (at < region.end) {
    std::size_t stop = document.find("\r\n", at);
    if (stop == std::string_view::npos || stop + 2 > region.end) break;
    if (document.substr(at, key.size()) == key) {
      if (found) return std::nullopt;
      found = Line{at, stop + 2, document.substr(at + key.size(), stop - at - key.size())};
    }
    at = stop + 2;
  }
  return found;
}

std::optional<std::uint64_t> SerialValue(std::string_view text) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string_view::npos)
    return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) value = value * 10 + static_cast<std::uint64_t>(c - '0');
  return value;
}

bool BuildData(Sexp& data, std::string_view message) {
  return gcry_sexp_build(&data.value, nullptr, "(data (flags eddsa)(hash-algo sha512)(value %b))",
                         static_cast<int>(message.size()), message.data()) == 0;
}

}  // namespace

std::optional<SigningKey> NewSigningKey() {
  InitCryptoLibrary();
  Sexp parameters, key;
  if (gcry_sexp_build(&parameters.value, nullptr, "(genkey (ecc (curve Ed25519)(flags eddsa)))") != 0 ||
      gcry_pk_genkey(&key.value, parameters.value) != 0)
    return std::nullopt;
  auto q = Token(key.value, "q", kKeyBytes);
  auto d = Token(key.value, "d", kKeyBytes);
  if (!q || !d) return std::nullopt;
  return SigningKey{LowerHexText(q->data(), q->size()), LowerHexText(d->data(), d->size())};
}

std::optional<std::string> PublicKeyOf(std::string_view secretKey) {
  InitCryptoLibrary();
  auto d = FromHex(secretKey, kKeyBytes);
  if (!d) return std::nullopt;
  Sexp key;
  if (gcry_sexp_build(&key.value, nullptr, "(private-key (ecc (curve Ed25519)(flags eddsa)(d %b)))",
                      static_cast<int>(d->size()), d->data()) != 0)
    return std::nullopt;
  // The curve context computes the public point from the secret (EdDSA
  // hashes the secret first) and gives it in its encoded form.
  gcry_ctx_t context = nullptr;
  if (gcry_mpi_ec_new(&context, key.value, nullptr) != 0) return std::nullopt;
  gcry_mpi_t q = gcry_mpi_ec_get_mpi("q@eddsa", context, 1);
  std::optional<std::string> result;
  if (q && gcry_mpi_get_flag(q, GCRYMPI_FLAG_OPAQUE)) {
    unsigned int bits = 0;
    const auto* bytes = static_cast<const std::uint8_t*>(gcry_mpi_get_opaque(q, &bits));
    if (bytes && bits == 8 * kKeyBytes) result = LowerHexText(bytes, kKeyBytes);
  }
  gcry_mpi_release(q);
  gcry_ctx_release(context);
  return result;
}

std::optional<std::string> SignListDocument(std::string_view document, std::uint64_t serial, std::string_view place,
                                            std::string_view secretKey) {
  InitCryptoLibrary();
  auto region = SignedRegion(document);
  auto d = FromHex(secretKey, kKeyBytes);
  if (!region || !d || place.empty()) return std::nullopt;
  for (char c : place)
    if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
  std::string_view between = document.substr(region->begin, region->end - region->begin);
  for (std::string_view key : {kSerialKey, kPlaceKey, kSignatureKey})
    if (between.find(key) != std::string_view::npos) return std::nullopt;
  std::string signedText(document);
  const std::string lines = std::string(kSerialKey) + std::to_string(serial) + "\r\n" + std::string(kPlaceKey) +
                            std::string(place) + "\r\n";
  signedText.insert(region->begin, lines);

  Sexp key, data, signature;
  if (gcry_sexp_build(&key.value, nullptr, "(private-key (ecc (curve Ed25519)(flags eddsa)(d %b)))",
                      static_cast<int>(d->size()), d->data()) != 0 ||
      !BuildData(data, signedText) || gcry_pk_sign(&signature.value, data.value, key.value) != 0)
    return std::nullopt;
  auto r = Token(signature.value, "r", kSignatureBytes / 2);
  auto s = Token(signature.value, "s", kSignatureBytes / 2);
  if (!r || !s) return std::nullopt;
  r->insert(r->end(), s->begin(), s->end());
  signedText.insert(region->begin + lines.size(),
                    std::string(kSignatureKey) + LowerHexText(r->data(), r->size()) + "\r\n");
  return signedText;
}

std::optional<std::uint64_t> ListSerial(std::string_view document) {
  auto region = SignedRegion(document);
  if (!region) return std::nullopt;
  auto line = OnlyLine(document, *region, kSerialKey);
  return line ? SerialValue(line->value) : std::nullopt;
}

ListVerdict CheckListSignature(std::string_view document, std::string_view publicKey, std::string_view place,
                               std::uint64_t highestSerial) {
  InitCryptoLibrary();
  ListVerdict verdict;
  auto region = SignedRegion(document);
  if (!region || document.substr(region->begin, region->end - region->begin).find(kSignatureKey) ==
                     std::string_view::npos)
    return verdict;  // unsigned
  verdict.trust = ListTrust::kBadSignature;
  auto line = OnlyLine(document, *region, kSignatureKey);
  auto q = FromHex(publicKey, kKeyBytes);
  if (!line || !q) return verdict;
  auto rs = FromHex(line->value, kSignatureBytes);
  if (!rs) return verdict;
  std::string message(document.substr(0, line->begin));
  message.append(document.substr(line->end));

  Sexp key, data, signature;
  if (gcry_sexp_build(&key.value, nullptr, "(public-key (ecc (curve Ed25519)(flags eddsa)(q %b)))",
                      static_cast<int>(q->size()), q->data()) != 0 ||
      gcry_sexp_build(&signature.value, nullptr, "(sig-val (eddsa (r %b)(s %b)))", 32, rs->data(), 32,
                      rs->data() + 32) != 0 ||
      !BuildData(data, message) || gcry_pk_verify(signature.value, data.value, key.value) != 0)
    return verdict;
  // The serial and place lines are part of what was signed.
  auto serial = ListSerial(message);
  if (!serial) return verdict;
  auto signedRegion = SignedRegion(message);
  auto placeLine = OnlyLine(message, *signedRegion, kPlaceKey);
  if (!placeLine || !SamePlace(placeLine->value, place)) {
    verdict.trust = ListTrust::kOtherPlace;
    return verdict;
  }
  verdict.serial = *serial;
  verdict.trust = *serial < highestSerial ? ListTrust::kOlder : ListTrust::kTrusted;
  return verdict;
}

namespace {

// Where the scheme and host of a server base end: at the first "/" after
// "://", or at its end.
std::size_t HostEnd(std::string_view place) {
  std::size_t scheme = place.find("://");
  std::size_t from = scheme == std::string_view::npos ? 0 : scheme + 3;
  return std::min(place.find('/', from), place.size());
}

std::string CanonicalPlace(std::string_view place) {
  std::string out(place);
  std::size_t end = HostEnd(place);
  for (std::size_t i = 0; i < end; ++i)
    if (out[i] >= 'A' && out[i] <= 'Z') out[i] = static_cast<char>(out[i] - 'A' + 'a');
  return out;
}

}  // namespace

bool SamePlace(std::string_view a, std::string_view b) { return CanonicalPlace(a) == CanonicalPlace(b); }

std::string PlaceTag(std::string_view place) {
  std::string canonical = CanonicalPlace(place);
  return Sha256Text(reinterpret_cast<const std::uint8_t*>(canonical.data()), canonical.size()).substr(0, 16);
}

std::optional<std::string_view> ListSyntaxIn(std::string_view text) {
  static constexpr std::string_view kSyntax[] = {
      kListMarker, kItemHeader.substr(0, kItemHeader.size() - 2), kFileKey, kMd5Key, kSizeKey, kVersionKey,
      kCommentKey, kSha256Key, kPatchKey, kSerialKey, kPlaceKey, kSignatureKey};
  for (std::string_view piece : kSyntax)
    if (text.find(piece) != std::string_view::npos) return piece;
  return std::nullopt;
}

std::string Sha256Text(const std::uint8_t* data, std::size_t length) {
  StreamDigest digest(DigestKind::kSha256);
  digest.Update(data, length);
  return digest.Text();
}

bool IsSha256Text(std::string_view text) {
  if (text.size() != kSha256TextLength) return false;
  for (char c : text)
    if (HexValue(c) < 0) return false;
  return true;
}

}  // namespace engine
