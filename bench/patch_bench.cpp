// A patch applied as the download worker applies it, timed: the old file
// and the patch read from the disk (engine::ApplyPatchFiles), the new file
// written out and its MD5 taken on the pipe's threads (engine::BlockPipe).
// Built for Linux and for Windows, so that the Windows program's figure can
// be measured under Wine.
//
//   harbinor_patch_bench OLD PATCH SIZE OUT
//
// prints "op_ns=... bytes=... idle_kib=... peak_kib=... view_kib=... md5=...":
// the process's resident set (Windows: working set) when it started and at
// its peak, and how much of that can be the view of the old file that the
// apply maps on Windows (its size; 0 on Linux, where it is read instead).
#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include <sys/resource.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/binary_patch.h"
#include "engine/block_pipe.h"
#include "engine/digest.h"
#include "platform/files.h"

namespace {

long long PeakKiB() {
#ifdef _WIN32
  PROCESS_MEMORY_COUNTERS counters{};
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return -1;
  return static_cast<long long>(counters.PeakWorkingSetSize / 1024);
#else
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: harbinor_patch_bench OLD PATCH SIZE OUT\n");
    return 2;
  }
  const long long idle = PeakKiB();
  const auto start = std::chrono::steady_clock::now();
  platform::File out = platform::File::Open(argv[4], platform::OpenMode::kCreateAlways);
  if (!out.IsOpen()) {
    std::fprintf(stderr, "harbinor_patch_bench: cannot write %s\n", argv[4]);
    return 1;
  }
  engine::StreamDigest md5;
  unsigned long long bytes = 0;
  bool written = true;
  engine::PatchOutcome outcome;
  {
    engine::BlockPipe pipe({[&](const std::uint8_t* data, std::size_t n) {
                              written = written && out.Write(data, n) == static_cast<std::int64_t>(n);
                              return written;
                            },
                            [&](const std::uint8_t* data, std::size_t n) {
                              md5.Update(data, n);
                              return true;
                            }});
    outcome = engine::ApplyPatchFiles(argv[2], argv[1], std::strtoull(argv[3], nullptr, 10),
                                      [&](const std::uint8_t* data, std::size_t n) {
                                        bytes += n;
                                        return pipe.Put(data, n);
                                      });
    written = pipe.Drain() && written;
  }
  const long long nanos =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
  if (outcome != engine::PatchOutcome::kApplied || !written) {
    std::fprintf(stderr, "harbinor_patch_bench: not applied (%d)\n", static_cast<int>(outcome));
    return 1;
  }
  long long view = 0;
#ifdef _WIN32
  platform::File old = platform::File::Open(argv[1], platform::OpenMode::kRead);
  view = static_cast<long long>(old.Size().value_or(0) / 1024);
#endif
  std::printf("op_ns=%lld bytes=%llu idle_kib=%lld peak_kib=%lld view_kib=%lld md5=%s\n", nanos, bytes, idle, PeakKiB(),
              view, md5.Text().c_str());
  return 0;
}
