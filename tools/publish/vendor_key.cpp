#include "tools/publish/vendor_key.h"

#include "base/ascii_text.h"
#include "engine/list_signature.h"
#include "platform/files.h"

namespace publish {
namespace {

enum class KeyKind { kSecret, kPublic, kBare };

struct KeyFile {
  KeyKind kind = KeyKind::kBare;
  std::string digits;
};

// The key in a key file; empty when it holds none.
std::optional<KeyFile> ReadKeyFile(const std::string& path) {
  std::string text;
  if (platform::ReadWholeFile(path, 4096, text) != platform::ReadResult::kOk) return std::nullopt;
  // The line end may have become CR LF on the way.
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  KeyFile file;
  for (auto [prefix, kind] : {std::pair{kSecretKeyPrefix, KeyKind::kSecret}, {kPublicKeyPrefix, KeyKind::kPublic}}) {
    if (text.compare(0, prefix.size(), prefix) == 0) {
      text.erase(0, prefix.size());
      file.kind = kind;
    }
  }
  if (!IsKeyText(text)) return std::nullopt;
  file.digits = text;
  return file;
}

}  // namespace

bool IsKeyText(std::string_view text) {
  return text.size() == engine::kPublicKeyTextLength &&
         text.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
}

NewKeyResult WriteNewKey(const std::string& path) {
  NewKeyResult result;
  const std::string publicPath = path + ".pub";
  for (const std::string& p : {path, publicPath}) {
    if (platform::AttributesOf(p)) {
      result.error = "'" + p + "' exists already; a key is never overwritten";
      return result;
    }
  }
  auto key = engine::NewSigningKey();
  if (!key) {
    result.error = "the cryptographic library could not make a key";
    return result;
  }
  if (!platform::WriteNewFile(path, std::string(kSecretKeyPrefix) + key->secretKey + "\n", true)) {
    result.error = "cannot write '" + path + "'";
    return result;
  }
  if (!platform::WriteNewFile(publicPath, std::string(kPublicKeyPrefix) + key->publicKey + "\n", false)) {
    // A secret key without its public half would only confuse.
    platform::RemoveFile(path);
    result.error = "cannot write '" + publicPath + "'";
    return result;
  }
  result.publicKey = key->publicKey;
  return result;
}

std::optional<SecretKey> ReadSecretKey(const std::string& path, std::string& error) {
  // Checked before the key is read: a key others could read may be theirs.
  auto permissions = platform::PermissionsOf(path);
  if (!permissions) {
    error = "cannot read the key '" + path + "' (no such file, or not a regular file)";
    return std::nullopt;
  }
  if (permissions->mode & 077) {
    error = "'" + path + "' may be read by others than its owner; a secret key must not (chmod 600 '" + path + "')";
    return std::nullopt;
  }
  auto file = ReadKeyFile(path);
  if (!file) {
    error = "'" + path + "' holds no secret key";
    return std::nullopt;
  }
  if (file->kind == KeyKind::kPublic) {
    error = "'" + path + "' holds the public key; sign with the secret key file (the one without \".pub\")";
    return std::nullopt;
  }
  SecretKey key;
  key.secretKey = file->digits;
  auto derived = engine::PublicKeyOf(key.secretKey);
  if (!derived) {
    error = "'" + path + "' holds no usable secret key";
    return std::nullopt;
  }
  key.publicKey = *derived;
  const std::string publicPath = path + ".pub";
  const bool publicFileExists = platform::AttributesOf(publicPath).has_value();
  auto publicFile = publicFileExists ? ReadKeyFile(publicPath) : std::nullopt;
  if (publicFileExists && (!publicFile || publicFile->kind == KeyKind::kSecret)) {
    error = "'" + publicPath + "' holds no public key";
    return std::nullopt;
  }
  if (publicFile && !base::EqualsIgnoringCase(*derived, publicFile->digits)) {
    error = "the secret key in '" + path + "' does not belong to the public key in '" + publicPath + "'";
    return std::nullopt;
  }
  // Bare digits could be either key: the public key beside them decides.
  if (file->kind == KeyKind::kBare && !publicFile) {
    error = "'" + path + "' holds 64 digits without saying which key they are; such a file of an earlier publish "
            "is taken only beside its '" + publicPath + "'";
    return std::nullopt;
  }
  return key;
}

}  // namespace publish
