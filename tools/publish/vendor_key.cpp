#include "tools/publish/vendor_key.h"

#include "engine/list_signature.h"
#include "platform/files.h"

namespace publish {

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
  if (!platform::WriteNewFile(path, key->secretKey + "\n", true)) {
    result.error = "cannot write '" + path + "'";
    return result;
  }
  if (!platform::WriteNewFile(publicPath, key->publicKey + "\n", false)) {
    // A secret key without its public half would only confuse.
    platform::RemoveFile(path);
    result.error = "cannot write '" + publicPath + "'";
    return result;
  }
  result.publicKey = key->publicKey;
  return result;
}

std::optional<std::string> ReadSecretKey(const std::string& path, std::string& error) {
  std::string text;
  if (platform::ReadWholeFile(path, 4096, text) != platform::ReadResult::kOk) {
    error = "cannot read the key '" + path + "'";
    return std::nullopt;
  }
  // The line end may have become CR LF on the way.
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  if (!IsKeyText(text)) {
    error = "'" + path + "' holds no secret key (64 hexadecimal digits)";
    return std::nullopt;
  }
  return text;
}

}  // namespace publish
