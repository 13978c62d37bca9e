// The download worker where only Linux can set up the condition: a staging
// folder that even root cannot write (a read-only mount in a forked child).
#include <gtest/gtest.h>

#include "engine/download_worker.h"
#include "tests/support/forked_child.h"
#include "tests/support/loopback_server.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_data.h"

namespace {

using testsupport::Content;

TEST(DownloadWorkerPosixTest, ReadOnlyStagingFolderCannotSave) {
  testsupport::TempFolder root;
  testsupport::LoopbackServer server(3);
  ASSERT_TRUE(server.listening()) << "cannot listen on 127.0.0.3:80";
  const std::string app = root.path() + "/", a = Content("a", 1000);
  auto runOn = [&](const char* file) {
    engine::UpdateList list(engine::ListContext{"http://127.0.0.3/tlv5.update/", app, nullptr});
    list.AddItemIfNewer(std::string("File=") + file + "\r\nMD5=" + testsupport::Digest(a) + "\r\nSize=1000\r\nVersion=1\r\n");
    engine::DownloadWorker(list);
    return list.resultCode.load();
  };
  testsupport::WriteFile(app + "dvd/stale.txt", "stale");
  server.SetDefault(testsupport::RespondOk(a));
  int rc = testsupport::RunInChild([&] {
    if (!testsupport::MakeFolderReadOnlyHere(app + "dvd")) return 77;
    if (int code = runOn("new.txt"); code != engine::kCannotSave) return 10 + code;
    // A stale staged file that cannot be deleted blocks the run as well.
    if (int code = runOn("stale.txt"); code != engine::kCannotSave) return 20 + code;
    return 0;
  });
  if (rc == 77) GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(rc, 0);
  EXPECT_FALSE(testsupport::PathExists(app + "dvd/@update@.log"));
  EXPECT_EQ(testsupport::ReadFile(app + "dvd/stale.txt"), "stale");
}

}  // namespace
