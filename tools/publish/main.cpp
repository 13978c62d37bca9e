// publish: the vendor's tool that turns a release folder into what the
// update server serves. See --help.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "build_config.h"
#include "engine/version_number.h"
#include "platform/facts.h"
#include "platform/files.h"
#include "platform/process.h"
#include "base/ascii_text.h"
#include "base/number_text.h"
#include "tools/publish/publisher.h"
#include "tools/publish/vendor_key.h"

namespace {

const char kHelp[] =
    "Usage: publish [options] RELEASE-FOLDER OUTPUT-FOLDER\n"
    "       publish --new-key KEY-FILE\n"
    "\n"
    "Publishes a release of Tolvaro for the web updater. RELEASE-FOLDER is the\n"
    "new application folder, exactly as it is to be installed. publish writes\n"
    "\n"
    "  OUTPUT-FOLDER/tlv5.update/tlv5.php   the update list\n"
    "  OUTPUT-FOLDER/tlv5.update/dvd/...    the files\n"
    "\n"
    "Copy OUTPUT-FOLDER to any static web server so that the updater's server\n"
    "address (\"Server\" in Harbinor.cfg, or the built-in\n"
    "  " HARBINOR_DEFAULT_SERVER ")\n"
    "names the tlv5.update folder. Every file is listed with its MD5 digest,\n"
    "its size and its version; an installation updates the files whose\n"
    "installed version is older. Files named *.exe and *.dll are served packed\n"
    "(LZMA) as *.ex_ and *.dl_. The same input always gives the same output.\n"
    "The new tree is written beside the old one and renamed into place at the\n"
    "end: a refusal or a failure leaves the published release as it was.\n"
    "\n"
    "Options:\n"
    "  --intro FILE            text shown above the list of changes (any lines)\n"
    "  --notes FILE            release notes: lines \"PATH: text\", one comment\n"
    "                          per line, PATH relative to RELEASE-FOLDER with \"/\";\n"
    "                          a text may not hold what the updater reads as\n"
    "                          list syntax: [Item], @TLV-DVD Update@, File=, MD5=,\n"
    "                          Size=, Version=, Comment=, SHA256=, Patch=, Serial=,\n"
    "                          Place=, Signature= (letter case as written here)\n"
    "  --default-version A.B.C.D\n"
    "                          version for files that carry none (text files\n"
    "                          without \"version=\", data files); without it such\n"
    "                          files are offered only where they are missing;\n"
    "                          with it, wherever the installed file's content\n"
    "                          differs from the published one\n"
    "  --pack-all              pack other files too, when that makes them smaller\n"
    "  --delta-from FOLDER     an earlier release folder, as it was installed; give\n"
    "                          it once for each release users may still have. A\n"
    "                          file whose earlier version there differs gets a\n"
    "                          patch from it, served beside the file as\n"
    "                          PATH.<16 hex digits of the earlier MD5>.patch and\n"
    "                          listed in a Patch= line of its item, when the patch\n"
    "                          is smaller than the file as served; updaters with\n"
    "                          that version may fetch the patch instead (refused\n"
    "                          by a publish built without libdivsufsort)\n"
    "  --level N               compression level 0 (fast) to 9 (small), default 6\n"
    "  --base NAME             folder name of the server base (default tlv5.update)\n"
    "  --server-base URL       the server address the updaters use (default the\n"
    "                          built-in one above); every file's address must fit\n"
    "                          the updater's 255 characters. A signed list names\n"
    "                          it as its place: updaters fetching it from any\n"
    "                          other server base refuse it\n"
    "  --replace               replace an earlier OUTPUT-FOLDER/tlv5.update\n"
    "  --sign KEY-FILE         sign the list with the secret key in KEY-FILE and\n"
    "                          give every file its SHA-256 digest; KEY-FILE must\n"
    "                          be readable by its owner only, and its public key\n"
    "                          must match KEY-FILE.pub when that exists\n"
    "  --serial N              serial of the signed list (default: one more than\n"
    "                          the published list's, or 1); must grow\n"
    "  --new-key KEY-FILE      make a signing key: the secret key in KEY-FILE,\n"
    "                          the public key in KEY-FILE.pub; nothing else\n"
    "  --help                  this text\n"
    "\n"
    "Refused with an error, and nothing is published then: names the updater\n"
    "cannot request (with %, ?, #, =, \\ or :, absolute, with \"..\", holding\n"
    "\"tlv5.php\" or starting with the folder \"dvd\"), names Windows does not\n"
    "take (with <, >, \", |, *, ending in '.' or a blank, device names such as\n"
    "CON, CONIN$, COM0, LPT\xC2\xB9 or \"nul .txt\"), names that are not UTF-8, names\n"
    "that differ only in letter case as Windows compares them (\xC3\x84.txt and\n"
    "\xC3\xA4.txt), addresses longer than 255 characters and symbolic links.\n"
    "An empty file is listed with\n"
    "Size=0 and served plain.\n"
    "Exit status: 0 published, 1 refused, 2 usage.\n";

int Usage(const char* message) {
  std::fprintf(stderr, "publish: %s\nTry 'publish --help'.\n", message);
  return 2;
}

// A text file, without the byte-order mark an editor may put before UTF-8.
bool ReadText(const std::string& path, std::string& out) {
  if (platform::ReadWholeFile(path, 1 << 20, out) != platform::ReadResult::kOk) return false;
  if (out.compare(0, 3, "\xEF\xBB\xBF") == 0) out.erase(0, 3);
  return true;
}

bool ParseVersion(const std::string& text, engine::VersionNumber& out) {
  int parts[4] = {0, 0, 0, 0};
  std::size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    std::size_t end = text.find('.', pos);
    std::string part = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    if (part.empty() || part.size() > 5 || part.find_first_not_of("0123456789") != std::string::npos) return false;
    parts[i] = base::ParseAtoi(part);
    if (parts[i] > 65535) return false;
    if (i < 3 && end == std::string::npos) return false;
    if (i == 3 && end != std::string::npos) return false;
    pos = end + 1;
  }
  out = engine::PackVersion(parts[0], parts[1], parts[2], parts[3]);
  return true;
}

// A list serial: 1 to 19 decimal digits, not 0.
bool ParseSerial(const std::string& text, std::uint64_t& out) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  out = 0;
  for (char c : text) out = out * 10 + static_cast<std::uint64_t>(c - '0');
  return out != 0;
}

int NewKey(const std::string& path) {
  publish::NewKeyResult key = publish::WriteNewKey(path);
  if (key.publicKey.empty()) {
    std::fprintf(stderr, "publish: %s\n", key.error.c_str());
    return 1;
  }
  std::printf("Public key %s (also in %s.pub)\n"
              "Build the updater with it:\n"
              "  cmake -DHARBINOR_LIST_PUBLIC_KEY=%s ...\n"
              "and publish with --sign %s. Keep %s secret.\n",
              key.publicKey.c_str(), path.c_str(), key.publicKey.c_str(), path.c_str(), path.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  publish::PublishOptions options;
  std::string notesFile, introFile, keyFile, newKeyFile, signingKey;
  std::vector<std::string> positional;
  // UTF-8 on Windows, like every path there.
  const std::vector<std::string> args = platform::ProgramArguments(argc, argv);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= args.size()) return nullptr;
      (void)name;
      return args[++i].c_str();
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (a == "--intro") {
      const char* v = value("--intro");
      if (!v) return Usage("--intro needs a file");
      introFile = v;
    } else if (a == "--notes") {
      const char* v = value("--notes");
      if (!v) return Usage("--notes needs a file");
      notesFile = v;
    } else if (a == "--default-version") {
      const char* v = value("--default-version");
      if (!v || !ParseVersion(v, options.defaultVersion)) return Usage("--default-version needs A.B.C.D (0 to 65535 each)");
    } else if (a == "--delta-from") {
      const char* v = value("--delta-from");
      if (!v || !*v) return Usage("--delta-from needs a folder");
      options.deltaFrom.push_back(v);
    } else if (a == "--pack-all") {
      options.packOthers = true;
    } else if (a == "--level") {
      const char* v = value("--level");
      if (!v || std::strlen(v) != 1 || v[0] < '0' || v[0] > '9') return Usage("--level needs a number from 0 to 9");
      options.level = static_cast<std::uint32_t>(v[0] - '0');
    } else if (a == "--base") {
      const char* v = value("--base");
      // One folder name on every system: "a\..\x" or "C:x" would leave
      // the output folder on Windows, and --replace would remove it there.
      if (!v || !*v || std::strpbrk(v, "/\\:") || std::strcmp(v, "..") == 0 || std::strcmp(v, ".") == 0)
        return Usage("--base needs a folder name");
      options.base = v;
    } else if (a == "--replace") {
      options.replace = true;
    } else if (a == "--server-base") {
      const char* v = value("--server-base");
      // The list request is recognised by its name anywhere in the path: a
      // base holding it would turn every file request into one.
      if (!v || !base::StartsWithIgnoringCase(v, "http://") || std::strlen(v) < 9 || v[std::strlen(v) - 1] != '/' ||
          std::strstr(v, "tlv5.php"))
        return Usage("--server-base needs an address http://HOST/.../ ending in '/'");
      options.serverBase = v;
    } else if (a == "--sign") {
      const char* v = value("--sign");
      if (!v || !*v) return Usage("--sign needs a key file");
      keyFile = v;
    } else if (a == "--serial") {
      const char* v = value("--serial");
      std::uint64_t serial = 0;
      if (!v || !ParseSerial(v, serial)) return Usage("--serial needs a number from 1 to 9999999999999999999");
      options.serial = serial;
    } else if (a == "--new-key") {
      const char* v = value("--new-key");
      if (!v || !*v) return Usage("--new-key needs a file name");
      newKeyFile = v;
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage(("unknown option " + a).c_str());
    } else {
      positional.push_back(a);
    }
  }
  if (!newKeyFile.empty()) {
    if (args.size() != 2) return Usage("--new-key takes no other options or folders");
    return NewKey(newKeyFile);
  }
  if (positional.size() != 2) return Usage("give a release folder and an output folder");
  if (options.serial && keyFile.empty()) return Usage("--serial is for signed lists (--sign)");
  options.releaseFolder = positional[0];
  options.outputFolder = positional[1];

  if (!introFile.empty() && !ReadText(introFile, options.introText)) {
    std::fprintf(stderr, "publish: cannot read the intro text '%s'\n", introFile.c_str());
    return 1;
  }
  if (!notesFile.empty()) {
    std::string text;
    if (!ReadText(notesFile, text)) {
      std::fprintf(stderr, "publish: cannot read the release notes '%s'\n", notesFile.c_str());
      return 1;
    }
    std::size_t start = 0, lineNo = 0;
    while (start < text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      start = end + 1;
      ++lineNo;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty() || line[0] == '#') continue;
      std::size_t colon = line.find(": ");
      if (colon == std::string::npos) {
        std::fprintf(stderr, "publish: %s:%zu: expected \"PATH: text\"\n", notesFile.c_str(), lineNo);
        return 1;
      }
      options.notes[line.substr(0, colon)].push_back(line.substr(colon + 2));
    }
  }

  if (!keyFile.empty()) {
    std::string error;
    auto key = publish::ReadSecretKey(keyFile, error);
    if (!key) {
      std::fprintf(stderr, "publish: %s\n", error.c_str());
      return 1;
    }
    options.secretKey = key->secretKey;
    signingKey = key->publicKey;
  }

  publish::PublishResult result = publish::Publish(options);
  for (const std::string& w : result.warnings) std::fprintf(stderr, "publish: warning: %s\n", w.c_str());
  for (const std::string& e : result.errors) std::fprintf(stderr, "publish: %s\n", e.c_str());
  if (!result.ok) return 1;
  for (const publish::PublishedFile& f : result.files)
    std::printf("%-40s %12llu bytes  %s  %s%s\n", f.path.c_str(), static_cast<unsigned long long>(f.size),
                publish::VersionText(f.version).c_str(), f.md5.c_str(),
                f.packed ? ("  packed as " + f.servedAs + " (" + std::to_string(f.servedSize) + " bytes)").c_str() : "");
  if (!options.deltaFrom.empty()) {
    std::size_t patches = 0;
    unsigned long long patchBytes = 0, fullBytes = 0;
    for (const publish::PublishedFile& f : result.files)
      for (const engine::PatchOffer& p : f.patches) {
        ++patches;
        patchBytes += static_cast<unsigned long long>(p.size);
        fullBytes += f.servedSize;
      }
    std::printf("%zu patch%s written: %llu bytes, for %llu bytes of the served files they stand in for\n", patches,
                patches == 1 ? "" : "es", patchBytes, fullBytes);
  }
  std::printf("%zu files published to %s%c%s\n", result.files.size(), options.outputFolder.c_str(),
              platform::kPathSeparator, options.base.c_str());
  if (!options.secretKey.empty())
    std::printf("The list is signed for %s, serial %llu, with the key whose public key is\n  %s\n",
                options.serverBase.c_str(), static_cast<unsigned long long>(result.serial), signingKey.c_str());
  return 0;
}
