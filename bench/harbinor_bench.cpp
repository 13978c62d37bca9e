// The benchmark driver: one engine operation per process, so that bench/run.sh
// can time it as a whole command beside the reference tool doing the same
// work. Each operation also reports its own time (the operation alone,
// without process start and file loading) and the process's peak resident
// memory, as "key=value" words on one line of standard output.
//
//   harbinor_bench text OUT BYTES SEED           text-like pseudo-random words
//   harbinor_bench random OUT BYTES SEED         pseudo-random bytes (incompressible)
//   harbinor_bench pack IN CONTAINER LZMA PRESET  container, and the same
//                                                 stream as a .lzma file
//   harbinor_bench get URL SIZE                   Connect + GetStreamed, body dropped
//   harbinor_bench unpack CONTAINER SIZE          the container decoder, from the
//                                                 file in pieces, output dropped
//   harbinor_bench md5 FILE                       FileDigestText
//   harbinor_bench diff OLD NEW PATCH              MakePatch
//   harbinor_bench worker BASE APPDIR MD5 SIZE FILE...
//                                                 DownloadWorker on a list of those files
//                                                 (BENCH_PARALLEL as for release)
//   harbinor_bench release SERVERBASE APPDIR      the list fetched and judged as the
//                                                 update window does, then DownloadWorker
//                                                 on every listed file (BENCH_PARALLEL:
//                                                 files at once, else the updater's default)
//   harbinor_bench idle                           the memory of the program doing nothing
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/container.h"
#include "engine/container_stream.h"
#include "engine/digest.h"
#include "engine/download_worker.h"
#include "engine/http_client.h"
#include "engine/list_check.h"
#include "engine/update_list.h"
#include "platform/files.h"
#include "settings/config_store.h"
#include "tools/publish/packer.h"
#include "tools/publish/patch_maker.h"

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t NanosSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

long PeakRssKiB() {
  struct rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;  // KiB on Linux
}

void Report(std::int64_t nanos, std::uint64_t bytes, std::string_view extra = {}) {
  std::printf("op_ns=%lld bytes=%llu maxrss_kib=%ld%s%.*s\n", static_cast<long long>(nanos),
              static_cast<unsigned long long>(bytes), PeakRssKiB(), extra.empty() ? "" : " ",
              static_cast<int>(extra.size()), extra.data());
}

int Fail(const char* what) {
  std::fprintf(stderr, "harbinor_bench: %s\n", what);
  return 1;
}

// The whole file in one allocation, read in large pieces.
std::optional<std::string> ReadFile(const std::string& path) {
  platform::File file = platform::File::Open(path, platform::OpenMode::kRead);
  if (!file.IsOpen()) return std::nullopt;
  auto size = file.Size();
  if (!size) return std::nullopt;
  std::string data(static_cast<std::size_t>(*size), '\0');
  std::size_t have = 0;
  while (have < data.size()) {
    std::int64_t n = file.Read(data.data() + have, data.size() - have);
    if (n <= 0) return std::nullopt;
    have += static_cast<std::size_t>(n);
  }
  return data;
}

bool WriteFile(const std::string& path, std::string_view data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}

std::int32_t ParseSize(const char* text) {
  long long v = std::strtoll(text, nullptr, 10);
  return v > 0 && v <= INT32_MAX ? static_cast<std::int32_t>(v) : -1;
}

// splitmix64: small, fast and the same on every machine.
struct Random {
  std::uint64_t state;
  std::uint64_t Next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(Next() % n); }
};

// Words from a made-up vocabulary, drawn with a skewed frequency (a few
// words are common, most are rare), with numbers, punctuation and line
// breaks: it compresses like prose, neither like noise nor like a repeat.
int Text(const std::string& out, long long bytes, std::uint64_t seed) {
  if (bytes <= 0) return Fail("text: size must be positive");
  Random random{seed};
  std::vector<std::string> words(8192);
  for (auto& w : words) {
    std::size_t length = 2 + random.Below(5) + random.Below(6);
    for (std::size_t i = 0; i < length; ++i) w.push_back(static_cast<char>('a' + random.Below(26)));
  }
  std::string text;
  text.reserve(static_cast<std::size_t>(bytes) + 64);
  std::size_t lineStart = 0;
  while (text.size() < static_cast<std::size_t>(bytes)) {
    // Skewed pick: the smallest of three uniform draws.
    std::uint32_t a = random.Below(8192), b = random.Below(8192), c = random.Below(8192);
    std::uint32_t pick = std::min(a, std::min(b, c));
    std::uint32_t roll = random.Below(100);
    if (roll < 3)
      text += std::to_string(random.Below(100000));
    else
      text += words[pick];
    if (roll >= 97)
      text += ", ";
    else if (roll == 96)
      text += ". ";
    else
      text += ' ';
    if (text.size() - lineStart > 60 + random.Below(20)) {
      text.back() = '\n';
      lineStart = text.size();
    }
  }
  text.resize(static_cast<std::size_t>(bytes));
  if (!WriteFile(out, text)) return Fail("text: cannot write the output");
  return 0;
}

int RandomBytes(const std::string& out, long long bytes, std::uint64_t seed) {
  if (bytes <= 0) return Fail("random: size must be positive");
  Random random{seed};
  std::string data(static_cast<std::size_t>(bytes), '\0');
  for (std::size_t i = 0; i < data.size(); i += 8) {
    std::uint64_t word = random.Next();
    std::memcpy(data.data() + i, &word, std::min<std::size_t>(8, data.size() - i));
  }
  if (!WriteFile(out, data)) return Fail("random: cannot write the output");
  return 0;
}

int Pack(const std::string& in, const std::string& containerPath, const std::string& lzmaPath, unsigned preset) {
  auto data = ReadFile(in);
  if (!data) return Fail("pack: cannot read the input");
  auto start = Clock::now();
  auto container = publish::PackContainer(*data, publish::PackOptions{preset, false});
  std::int64_t nanos = NanosSince(start);
  if (!container || container->size() < 5) return Fail("pack: the packer failed");
  // Without "LZMA" and its zero byte, a container is a .lzma file with a
  // known size.
  if (!WriteFile(containerPath, *container) || !WriteFile(lzmaPath, std::string_view(*container).substr(5)))
    return Fail("pack: cannot write the outputs");
  Report(nanos, container->size());
  return 0;
}

// Takes a body and keeps none of it.
struct Discard : engine::BodyReceiver {
  bool Begin(const engine::ResponseHead&, std::optional<std::uint64_t>) override { return true; }
  bool Take(const std::uint8_t*, std::size_t) override { return true; }
};

int Get(const std::string& url, std::int32_t size) {
  if (size <= 0) return Fail("get: size must be positive");
  auto start = Clock::now();
  engine::HttpClient client;
  // As the download worker sets it for a file of this listed size.
  client.maxResponseBytes = engine::ResponseCapFor(size);
  if (!client.Connect(url)) return Fail("get: cannot connect");
  engine::SharedWord runningTotal{0};
  engine::SharedWord control{engine::kRun};
  std::int32_t bodyLength = 0;
  Discard body;
  auto result = client.GetStreamed(runningTotal, bodyLength, control, body);
  std::int64_t nanos = NanosSince(start);
  if (result != engine::HttpClient::StreamResult::kComplete) return Fail("get: the transfer failed");
  if (bodyLength != size) return Fail("get: the body has another length");
  Report(nanos, static_cast<std::uint64_t>(bodyLength));
  return 0;
}

int UnpackFile(const std::string& path, std::int32_t size) {
  if (size <= 0) return Fail("unpack: size must be positive");
  auto start = Clock::now();
  platform::File file = platform::File::Open(path, platform::OpenMode::kRead);
  if (!file.IsOpen()) return Fail("unpack: cannot read the container");
  engine::ContainerDecoder decoder(size);
  std::uint64_t out = 0;
  auto count = [&out](const std::uint8_t*, std::size_t n) {
    out += n;
    return true;
  };
  std::vector<std::uint8_t> piece(256 * 1024);
  for (;;) {
    std::int64_t n = file.Read(piece.data(), piece.size());
    if (n < 0) return Fail("unpack: cannot read the container");
    if (n == 0) break;
    if (!decoder.Feed(piece.data(), static_cast<std::size_t>(n), count)) return Fail("unpack: damaged container");
  }
  bool done = decoder.Finish(count);
  std::int64_t nanos = NanosSince(start);
  if (!done) return Fail("unpack: the container did not unpack");
  Report(nanos, out);
  return 0;
}

int Md5(const std::string& path) {
  auto start = Clock::now();
  auto digest = engine::FileDigestText(path);
  std::int64_t nanos = NanosSince(start);
  if (!digest) return Fail("md5: cannot read the file");
  auto size = platform::AttributesOf(path);
  Report(nanos, size ? size->size : 0, "md5=" + *digest);
  return 0;
}

// A patch as `publish --delta-from` makes it.
int MakePatchFile(const std::string& oldPath, const std::string& newPath, const std::string& patchPath) {
  std::string old, updated;
  if (platform::ReadWholeFile(oldPath, 1u << 31, old) != platform::ReadResult::kOk ||
      platform::ReadWholeFile(newPath, 1u << 31, updated) != platform::ReadResult::kOk)
    return Fail("diff: cannot read the files");
  auto start = Clock::now();
  auto patch = publish::MakePatch({reinterpret_cast<const std::uint8_t*>(old.data()), old.size()},
                                  {reinterpret_cast<const std::uint8_t*>(updated.data()), updated.size()});
  std::int64_t nanos = NanosSince(start);
  if (!patch) return Fail("diff: no patch made");
  std::ofstream(patchPath, std::ios::binary) << *patch;
  Report(nanos, updated.size(), "patch=" + std::to_string(patch->size()));
  return 0;
}

// Files fetched at once: BENCH_PARALLEL, as "Transfers" in Harbinor.cfg
// would set it, else the updater's default; 0 for a value out of range.
std::size_t Parallel() {
  const char* text = std::getenv("BENCH_PARALLEL");
  if (!text || !*text) return settings::kDefaultParallelTransfers;
  long long n = std::atoll(text);
  return n >= 1 && n <= static_cast<long long>(engine::kMaxParallelTransfers) ? static_cast<std::size_t>(n) : 0;
}

int Worker(const std::string& base, const std::string& appFolder, const std::string& md5, std::int32_t size,
           const std::vector<std::string>& files) {
  if (size <= 0) return Fail("worker: size must be positive");
  const std::size_t parallel = Parallel();
  if (parallel == 0) return Fail("worker: BENCH_PARALLEL must be 1 to 16");
  auto start = Clock::now();
  engine::ListContext context{base, appFolder, [](const std::string&) { return engine::VersionNumber{0}; }, "",
                              parallel};
  engine::UpdateList list(std::move(context));
  for (const std::string& file : files)
    list.AddItemIfNewer("File=" + file + "\r\nMD5=" + md5 + "\r\nSize=" + std::to_string(size) +
                        "\r\nVersion=1.0.0.0\r\n");
  if (list.items.size() != files.size()) return Fail("worker: the items were not listed");
  list.bytesTotal = static_cast<std::int32_t>(std::min<std::int64_t>(INT32_MAX, std::int64_t{size} * files.size()));
  engine::DownloadWorker(list);
  std::int64_t nanos = NanosSince(start);
  if (list.resultCode.load() != engine::kSucceeded)
    return Fail(("worker: result code " + std::to_string(list.resultCode.load())).c_str());
  std::uint64_t bytes = 0;
  for (const auto& item : list.items) {
    auto staged = engine::StagedPath(list, *item);
    auto attributes = staged ? platform::AttributesOf(*staged) : std::nullopt;
    if (!attributes || attributes->size != static_cast<std::uint64_t>(size)) return Fail("worker: nothing staged");
    bytes += attributes->size;
  }
  Report(nanos, bytes);
  return 0;
}

// The whole release as the updater downloads it: the list request through
// the worker, the check's verdict on the document (every listed file is
// newer: nothing reports a version), then the worker over the offered files.
int Release(const std::string& serverBase, const std::string& appFolder) {
  const std::size_t parallel = Parallel();
  if (parallel == 0) return Fail("release: BENCH_PARALLEL must be 1 to 16");
  auto probe = [](const std::string&) { return engine::VersionNumber{0}; };
  auto start = Clock::now();
  const engine::ListContext context{serverBase, appFolder, probe, "", parallel};
  engine::UpdateList request{engine::ListContext(context)};
  request.AddUrlItem(request.ListAddress());
  engine::DownloadWorker(request);
  if (request.resultCode.load() != engine::kSucceeded || request.items.empty() || !request.items[0]->body)
    return Fail(("release: the list request failed: " + request.failureReason).c_str());
  const engine::UpdateItem& listed = *request.items[0];
  std::string_view document(reinterpret_cast<const char*>(listed.body), static_cast<std::size_t>(listed.bodyLength));
  engine::UpdateList list{engine::ListContext(context)};
  if (engine::JudgeListDocument(document, "", 0, list).outcome != engine::CheckOutcome::kUpdates)
    return Fail("release: the list offers nothing");
  engine::DownloadWorker(list);
  std::int64_t nanos = NanosSince(start);
  if (list.resultCode.load() != engine::kSucceeded)
    return Fail(("release: result code " + std::to_string(list.resultCode.load()) + ": " + list.failureReason).c_str());
  std::uint64_t bytes = 0;
  for (const auto& item : list.items) {
    auto staged = engine::StagedPath(list, *item);
    auto attributes = staged ? platform::AttributesOf(*staged) : std::nullopt;
    if (!attributes || attributes->size != static_cast<std::uint64_t>(item->size)) return Fail("release: not staged");
    bytes += attributes->size;
  }
  Report(nanos, bytes,
         "files=" + std::to_string(list.items.size()) + " parallel=" + std::to_string(parallel));
  return 0;
}

// An update check's verdict on a list document (a file) against the files
// installed in `appFolder`, every one reporting no version, with the digest
// cache at `cache` ("-": none).
int Check(const std::string& appFolder, const std::string& documentPath, const std::string& cache) {
  std::string document;
  if (platform::ReadWholeFile(documentPath, engine::kMaxListResponseBytes, document) != platform::ReadResult::kOk)
    return Fail("check: cannot read the list document");
  auto start = Clock::now();
  engine::UpdateList list(engine::ListContext{"http://127.0.0.7/u/", appFolder,
                                              [](const std::string&) { return engine::VersionNumber{0}; },
                                              cache == "-" ? std::string() : cache});
  engine::CheckVerdict verdict = engine::JudgeListDocument(document, "", 0, list);
  std::int64_t nanos = NanosSince(start);
  Report(nanos, 0, "offered=" + std::to_string(list.items.size()) +
                       (verdict.outcome == engine::CheckOutcome::kNothingNew ? " nothing-new" : ""));
  return 0;
}

// The program with the engine's libraries started and nothing done.
int Idle() {
  engine::HttpClient client;
  engine::StreamDigest md5;
  Report(0, 0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> a(argv + 1, argv + argc);
  if (a.size() == 4 && a[0] == "text") return Text(a[1], std::atoll(a[2].c_str()), std::strtoull(a[3].c_str(), nullptr, 10));
  if (a.size() == 4 && a[0] == "random")
    return RandomBytes(a[1], std::atoll(a[2].c_str()), std::strtoull(a[3].c_str(), nullptr, 10));
  if (a.size() == 3 && a[0] == "release") return Release(a[1], a[2]);
  if (a.size() == 5 && a[0] == "pack") return Pack(a[1], a[2], a[3], static_cast<unsigned>(std::atoi(a[4].c_str())));
  if (a.size() == 3 && a[0] == "get") return Get(a[1], ParseSize(a[2].c_str()));
  if (a.size() == 3 && a[0] == "unpack") return UnpackFile(a[1], ParseSize(a[2].c_str()));
  if (a.size() == 2 && a[0] == "md5") return Md5(a[1]);
  if (a.size() == 4 && a[0] == "diff") return MakePatchFile(a[1], a[2], a[3]);
  if (a.size() >= 6 && a[0] == "worker")
    return Worker(a[1], a[2], a[3], ParseSize(a[4].c_str()), std::vector<std::string>(a.begin() + 5, a.end()));
  if (a.size() == 1 && a[0] == "idle") return Idle();
  if (a.size() == 4 && a[0] == "check") return Check(a[1], a[2], a[3]);
  std::fprintf(stderr,
               "usage: harbinor_bench text OUT BYTES SEED | random OUT BYTES SEED | pack IN CONTAINER LZMA PRESET |\n"
               "       get URL SIZE | unpack CONTAINER SIZE | md5 FILE | worker BASE APPDIR MD5 SIZE FILE... |\n"
               "       release SERVERBASE APPDIR | idle | check APPDIR LIST CACHE|-\n");
  return 2;
}
