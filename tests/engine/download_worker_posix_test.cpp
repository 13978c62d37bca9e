// The download worker where only Linux can set up the condition: a staging
// folder that even root cannot write (a read-only mount in a forked child),
// and the memory of a run measured in a child of its own.
#include <gtest/gtest.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "engine/download_worker.h"
#include "tests/support/forked_child.h"
#include "tests/support/loopback_server.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_data.h"
#include "tools/publish/packer.h"

namespace {

using testsupport::Content;

// A staging folder that cannot take the file ends the run with "cannot
// save", and says why and where: a read-only file system, a full disk, a
// folder the user may not change.
TEST(DownloadWorkerPosixTest, StagingThatCannotBeWrittenSaysWhy) {
  using Cause = platform::FailureCause;
  testsupport::TempFolder root;
  chmod(root.path().c_str(), 0755);
  testsupport::LoopbackServer server(3);
  ASSERT_TRUE(server.listening()) << "cannot listen on 127.0.0.3:80";
  const std::string app = root.path() + "/", a = Content("a", 200000);
  server.SetDefault(testsupport::RespondOk(a));
  testsupport::WriteFile(app + "dvd/stale.txt", "stale");
  struct Case {
    const char* name;
    std::function<bool()> setUp;  // in the forked child; false: cannot here
    Cause cause;
    const char* words;  // the system's, in the failure log's line
  };
  const Case kCases[] = {
      {"read-only file system", [&] { return testsupport::MakeFolderReadOnlyHere(app + "dvd"); }, Cause::kOther,
       ": cannot be written: Read-only file system (errno 30)"},
      {"full disk",
       [&] {
         return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                mount("tmpfs", (app + "dvd").c_str(), "tmpfs", 0, "size=64k") == 0;
       },
       Cause::kDiskFull, ": the disk is full: No space left on device (errno 28)"},
      {"no rights", [] { return setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0; },
       Cause::kNoRights, ": no permission: Permission denied (errno 13)"}
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    int rc = testsupport::RunInChild([&] {
      if (!c.setUp()) return 77;
      for (const char* file : {"new.txt", "stale.txt"}) {
        // A stale staged file that cannot be deleted blocks the run as well.
        if (c.cause == Cause::kDiskFull && std::string(file) == "stale.txt") continue;  // not on the new disk
        engine::UpdateList list(engine::ListContext{"http://127.0.0.3/tlv5.update/", app, nullptr});
        list.AddItemIfNewer(std::string("File=") + file + "\r\nMD5=" + testsupport::Digest(a) +
                            "\r\nSize=200000\r\nVersion=1\r\n");
        engine::DownloadWorker(list);
        if (list.resultCode.load() != engine::kCannotSave) return 10 + list.resultCode.load();
        if (list.saveCause != c.cause) return 20 + static_cast<int>(list.saveCause);
        if (list.saveFolder != app + "dvd") return 30;
        if (list.failureReason.find(c.words) == std::string::npos) return 40;
      }
      return 0;
    });
    if (rc == 77) GTEST_SKIP() << "no mount namespace or other user here";
    EXPECT_EQ(rc, 0) << "10 + code: wrong result; 20 + cause: wrong cause; 30: wrong folder; 40: wrong words";
    EXPECT_FALSE(testsupport::PathExists(app + "dvd/@update@.log"));
    EXPECT_EQ(testsupport::ReadFile(app + "dvd/stale.txt"), "stale");
  }
}

// Nothing staged is written through a symbolic link, whether the link is
// the staging folder, a folder in it, or sits at the file's own name: the
// item fails and nothing outside the application folder changes.
TEST(DownloadWorkerPosixTest, StagingNeverWritesThroughALink) {
  testsupport::TempFolder root, outside;
  testsupport::LoopbackServer server(3);
  ASSERT_TRUE(server.listening()) << "cannot listen on 127.0.0.3:80";
  const std::string app = root.path() + "/", a = Content("a", 1000);
  server.SetDefault(testsupport::RespondOk(a));
  namespace fs = std::filesystem;
  struct Case {
    const char* name;
    std::function<void()> plant;
    int result;
  } cases[] = {
      {"staging folder", [&] { fs::create_directory_symlink(outside.path(), app + "dvd"); }, engine::kCannotSave},
      {"folder in it", [&] { fs::create_directory_symlink(outside.path(), app + "dvd/sub"); }, engine::kCannotSave},
      {"at the file's name", [&] { fs::create_symlink(outside.path() + "/f.bin", app + "dvd/sub/f.bin"); },
       engine::kSucceeded},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(app + "dvd");
    fs::create_directories(app + "dvd");
    if (std::string(c.name) == "staging folder") fs::remove(app + "dvd");
    if (std::string(c.name) == "at the file's name") fs::create_directories(app + "dvd/sub");
    c.plant();
    engine::UpdateList list(engine::ListContext{"http://127.0.0.3/u/", app, nullptr});
    list.AddItemIfNewer("File=sub/f.bin\r\nMD5=" + testsupport::Digest(a) + "\r\nSize=1000\r\nVersion=1\r\n");
    engine::DownloadWorker(list);
    EXPECT_EQ(list.resultCode.load(), c.result);
    EXPECT_EQ(testsupport::ListTree(outside.path()), "") << "written through the link";
  }
  EXPECT_FALSE(fs::is_symlink(app + "dvd/sub/f.bin")) << "the link at the name is replaced by the file";
  EXPECT_EQ(testsupport::ReadFile(app + "dvd/sub/f.bin"), a);
}

// Staging a file four times as large takes no more memory: the body goes to
// the disk as it arrives, plain or packed.
TEST(DownloadWorkerPosixTest, MemoryDoesNotGrowWithTheFileSize) {
  testsupport::TempFolder root;
  testsupport::LoopbackServer server(3);
  ASSERT_TRUE(server.listening()) << "cannot listen on 127.0.0.3:80";
  const std::string app = root.path() + "/";
  for (bool packed : {false, true}) {
    int growth[2] = {};
    for (int i = 0; i < 2; ++i) {
      const std::string file = Content("big", (8u << 20) << (2 * i));
      server.Enqueue(testsupport::RespondOk(packed ? *publish::PackContainer(file, {0, false}) : file));
      // The child's resident memory at its start is the test's; what it
      // adds in the run is the run's.
      growth[i] = testsupport::RunInChild([&] {
        struct rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        engine::UpdateList list(engine::ListContext{"http://127.0.0.3/u/", app, nullptr});
        list.AddItemIfNewer("File=big.bin\r\nMD5=" + testsupport::Digest(file) +
                            "\r\nSize=" + std::to_string(file.size()) + "\r\nVersion=1\r\n");
        engine::DownloadWorker(list);
        if (list.resultCode.load() != engine::kSucceeded) return 255;
        getrusage(RUSAGE_SELF, &after);
        return static_cast<int>(std::min<long>(254, (after.ru_maxrss - before.ru_maxrss) / 1024));
      });
      EXPECT_EQ(testsupport::ReadFile(app + "dvd/big.bin").size(), file.size());
      std::filesystem::remove_all(app + "dvd");
    }
    SCOPED_TRACE(packed ? "packed" : "plain");
    EXPECT_NE(growth[1], 255) << "the run failed";
    EXPECT_LE(growth[1], growth[0] + 8) << "MiB for 32 MiB against 8 MiB";
    EXPECT_LT(growth[1], 32) << "MiB for a 32 MiB file";
  }
}

}  // namespace
