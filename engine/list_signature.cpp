#include "engine/list_signature.h"

#include <gcrypt.h>

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

std::optional<std::string> SignListDocument(std::string_view document, std::uint64_t serial,
                                            std::string_view secretKey) {
  InitCryptoLibrary();
  auto region = SignedRegion(document);
  auto d = FromHex(secretKey, kKeyBytes);
  if (!region || !d) return std::nullopt;
  std::string_view between = document.substr(region->begin, region->end - region->begin);
  if (between.find(kSerialKey) != std::string_view::npos || between.find(kSignatureKey) != std::string_view::npos)
    return std::nullopt;
  std::string signedText(document);
  const std::string serialLine = std::string(kSerialKey) + std::to_string(serial) + "\r\n";
  signedText.insert(region->begin, serialLine);

  Sexp key, data, signature;
  if (gcry_sexp_build(&key.value, nullptr, "(private-key (ecc (curve Ed25519)(flags eddsa)(d %b)))",
                      static_cast<int>(d->size()), d->data()) != 0 ||
      !BuildData(data, signedText) || gcry_pk_sign(&signature.value, data.value, key.value) != 0)
    return std::nullopt;
  auto r = Token(signature.value, "r", kSignatureBytes / 2);
  auto s = Token(signature.value, "s", kSignatureBytes / 2);
  if (!r || !s) return std::nullopt;
  r->insert(r->end(), s->begin(), s->end());
  signedText.insert(region->begin + serialLine.size(),
                    std::string(kSignatureKey) + LowerHexText(r->data(), r->size()) + "\r\n");
  return signedText;
}

std::optional<std::uint64_t> ListSerial(std::string_view document) {
  auto region = SignedRegion(document);
  if (!region) return std::nullopt;
  auto line = OnlyLine(document, *region, kSerialKey);
  return line ? SerialValue(line->value) : std::nullopt;
}

ListVerdict CheckListSignature(std::string_view document, std::string_view publicKey, std::uint64_t highestSerial) {
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
  // The serial line is part of what was signed.
  auto serial = ListSerial(message);
  if (!serial) return verdict;
  verdict.serial = *serial;
  verdict.trust = *serial < highestSerial ? ListTrust::kOlder : ListTrust::kTrusted;
  return verdict;
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
