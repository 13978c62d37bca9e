// A published release served by a real nginx on 127.0.0.4:80: the check and
// the download through the worker, staged tree compared with the release.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

#include "bench/linksim.h"
#include "engine/download_worker.h"
#include "platform/clock.h"
#include "settings/config_store.h"
#include "engine/version_probe.h"
#include "tests/support/child_process.h"
#include "tests/support/forked_child.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_folder.h"
#include "tools/publish/publisher.h"

namespace {

using engine::UpdateList;
using testsupport::PathExists;
using testsupport::ReadFile;
using testsupport::WriteFile;

std::string Words(std::size_t size, std::uint32_t seed) {
  static const char* kWords[] = {"frame ", "clip ", "render ", "title ", "fade ", "audio ", "track ", "export\n"};
  std::string s;
  while (s.size() < size) {
    seed = seed * 1664525 + 1013904223;
    s += kWords[seed >> 29];
  }
  s.resize(size);
  return s;
}

// The files of the release below, as published and staged.
constexpr const char* kReleaseFiles[] = {"readme.txt", "Language/Deutsch.ini", "Editor.exe", "effects/blur plugin.dll"};

class ReleaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Release 1.1.
    WriteFile(release() + "readme.txt", "version=1.1.0.0\r\nTolvaro\r\n");
    WriteFile(release() + "Language/Deutsch.ini", "version=1.1\r\n[harbinor.exe]\r\n105=Aktuell.\r\n");
    WriteFile(release() + "Editor.exe", Words(900000, 7));  // packed as Editor.ex_
    // Incompressible: served plain under its packed name, and slow enough
    // on a rate-limited server to be stopped in the middle.
    std::string noise(2500000, '\0');
    std::uint32_t x = 9;
    for (char& c : noise) c = static_cast<char>((x = x * 1103515245 + 12345) >> 23);
    WriteFile(release() + "effects/blur plugin.dll", noise);
    // Installed 1.0.
    WriteFile(app() + "readme.txt", "version=1.0.0.0\r\nTolvaro\r\n");
    WriteFile(app() + "Language/Deutsch.ini", "version=1.0\r\n");

    publish::PublishOptions options;
    options.releaseFolder = root_ / "release";
    options.outputFolder = root_ / "www";
    options.introText = "Tolvaro 1.1\nFaster export";
    options.defaultVersion = engine::PackVersion(1, 1, 0, 0);
    options.level = 1;
    auto published = publish::Publish(options);
    ASSERT_TRUE(published.ok) << (published.errors.empty() ? "" : published.errors[0]);
  }

  std::string release() const { return root_.path() + "/release/"; }
  std::string app() const { return root_.path() + "/app/"; }

  std::shared_ptr<UpdateList> NewList(const std::string& host) {
    return std::make_shared<UpdateList>(engine::ListContext{"http://" + host + "/tlv5.update/", app(),
                                                            &engine::ProbeFileVersion, "", 1, 10});
  }

  // The check: fetch the list, keep what is newer than the installation.
  std::shared_ptr<UpdateList> Check(const testsupport::NginxServer& server) { return Check(server.host()); }
  std::shared_ptr<UpdateList> Check(const std::string& host) {
    auto request = NewList(host);
    request->AddUrlItem(request->ListAddress());
    engine::DownloadWorker(*request);
    EXPECT_EQ(request->resultCode.load(), engine::kSucceeded);
    auto target = NewList(host);
    const auto& item = *request->items[0];
    if (!item.body) return target;
    auto parsed = engine::ParseListDocument(
        std::string_view(reinterpret_cast<const char*>(item.body), static_cast<std::size_t>(item.bodyLength)), *target);
    EXPECT_EQ(parsed.outcome, engine::ListOutcome::kItemsSelected);
    EXPECT_EQ(parsed.introText, "Tolvaro 1.1\r\nFaster export");
    return target;
  }

  void ExpectStagedEqualsRelease() {
    for (const char* f : kReleaseFiles)
      EXPECT_EQ(ReadFile(app() + "dvd/" + f), ReadFile(release() + f)) << f;
    EXPECT_TRUE(PathExists(app() + "dvd/@update@.log"));
    EXPECT_EQ(testsupport::ListTree(app() + "dvd"), "@update@.log\n" + testsupport::ListTree(release()));
  }

  testsupport::TempFolder root_;
};

TEST_F(ReleaseTest, CheckAndDownloadStageTheReleaseByteForByte) {
  testsupport::NginxServer nginx(root_ / "www", 4);
  ASSERT_TRUE(nginx.running()) << nginx.error();
  auto list = Check(nginx);
  ASSERT_EQ(list->items.size(), 4u);
  std::size_t releaseBytes = 0;
  for (const char* f : kReleaseFiles)
    releaseBytes += ReadFile(release() + f).size();
  EXPECT_EQ(list->bytesTotal, static_cast<std::int32_t>(releaseBytes));
  engine::DownloadWorker(*list);
  EXPECT_EQ(list->resultCode.load(), engine::kSucceeded);
  EXPECT_EQ(list->bytesDone.load(), list->bytesTotal);
  ExpectStagedEqualsRelease();
  EXPECT_EQ(nginx.Connections(), 2u) << "the list's, and one that the four files shared";
  auto requests = nginx.Requests();
  EXPECT_NE(std::find(requests.begin(), requests.end(), "GET /tlv5.update/dvd/Editor.ex_ HTTP/1.1"), requests.end());
  EXPECT_NE(std::find(requests.begin(), requests.end(), "GET /tlv5.update/dvd/effects/blur%20plugin.dl_ HTTP/1.1"),
            requests.end());

  // Staged already: the same check and download fetch nothing but the list.
  std::remove((app() + "dvd/@update@.log").c_str());
  auto again = Check(nginx);
  // nginx logs the list request a moment after the client has it whole.
  const std::size_t before = 1 + 4 + 1;
  ASSERT_TRUE(testsupport::WaitFor([&] { return nginx.Requests().size() >= before; }, 5000));
  engine::DownloadWorker(*again);
  EXPECT_EQ(again->resultCode.load(), engine::kSucceeded);
  EXPECT_EQ(again->bytesPresent.load(), again->bytesTotal);
  EXPECT_EQ(nginx.Requests().size(), before);
  ExpectStagedEqualsRelease();
}

// Every connection through the link simulator is reset after 1 MiB: the
// worker's retries ask nginx for the rest of the 2.5 MB file, and the bytes
// over the link are those of the files once, not again from their start.
TEST_F(ReleaseTest, TransfersCutByTheLinkAreFinishedByRangeRequests) {
  testsupport::NginxServer nginx(root_ / "www", 4);
  ASSERT_TRUE(nginx.running()) << nginx.error();
  linksim::Options options;
  options.listenHost = "127.0.0.23";
  options.upstreamHost = nginx.host();
  options.cutAfter = 1u << 20;
  // At a rate the worker keeps up with: a reset drops what the receiving
  // system holds unread, which no client can keep.
  options.rateBytes = 8u << 20;
  linksim::Link link(options);
  std::string error;
  ASSERT_TRUE(link.Listen(error)) << error;
  std::thread forwarding([&] { link.Run(); });
  auto list = Check(options.listenHost);
  engine::DownloadWorker(*list);
  link.Stop();
  forwarding.join();
  EXPECT_EQ(list->resultCode.load(), engine::kSucceeded) << list->failureReason;
  ExpectStagedEqualsRelease();
  std::uint64_t served = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root_ / "www"))
    if (entry.is_regular_file()) served += entry.file_size();
  EXPECT_GE(link.counts().cuts, 2u);
  EXPECT_LT(link.counts().serverToClient, served + served / 10) << "bytes fetched twice";
}

TEST_F(ReleaseTest, StoppedDownloadResumesWhereItStopped) {
  {
    // A slow server, so that the stop lands in the middle.
    testsupport::NginxServer slow(root_ / "www", 4, "    limit_rate 400k;");
    ASSERT_TRUE(slow.running()) << slow.error();
    auto list = Check(slow);
    ASSERT_TRUE(engine::StartDownloadWorker(list));
    ASSERT_TRUE(testsupport::WaitFor([&] { return list->bytesDone.load() > 1000000; }, 20000));
    list->runControl = engine::kStop;
    ASSERT_TRUE(testsupport::WaitFor([&] { return !list->workerActive.load(); }, 3000));
    EXPECT_EQ(list->resultCode.load(), engine::kAborted);
    EXPECT_FALSE(PathExists(app() + "dvd/@update@.log"));
    EXPECT_FALSE(PathExists(app() + "dvd/effects/blur plugin.dll")) << "the file in transfer is not staged";
    EXPECT_EQ(ReadFile(app() + "dvd/Editor.exe"), ReadFile(release() + "Editor.exe"));
  }
  testsupport::NginxServer nginx(root_ / "www", 4);
  ASSERT_TRUE(nginx.running()) << nginx.error();
  auto list = Check(nginx);
  engine::DownloadWorker(*list);
  EXPECT_EQ(list->resultCode.load(), engine::kSucceeded);
  ExpectStagedEqualsRelease();
  auto requests = nginx.Requests();
  ASSERT_EQ(requests.size(), 3u) << "only the list, the unfinished file and the one after it";
  EXPECT_EQ(requests[1], "GET /tlv5.update/dvd/effects/blur%20plugin.dl_ HTTP/1.1");
  EXPECT_EQ(requests[2], "GET /tlv5.update/dvd/readme.txt HTTP/1.1");
}

TEST_F(ReleaseTest, StaleStagedFileIsReplaced) {
  WriteFile(app() + "dvd/readme.txt", "version=0.9\r\nold staged copy\r\n");
  WriteFile(app() + "dvd/Editor.exe", Words(900000, 8));  // right size, wrong bytes
  testsupport::NginxServer nginx(root_ / "www", 4);
  ASSERT_TRUE(nginx.running()) << nginx.error();
  auto list = Check(nginx);
  engine::DownloadWorker(*list);
  EXPECT_EQ(list->resultCode.load(), engine::kSucceeded);
  ExpectStagedEqualsRelease();
}

TEST_F(ReleaseTest, MissingFileOnTheServerFailsTheRun) {
  ASSERT_EQ(std::remove((root_ / "www/tlv5.update/dvd/Editor.ex_").c_str()), 0);
  testsupport::NginxServer nginx(root_ / "www", 4);
  ASSERT_TRUE(nginx.running()) << nginx.error();
  auto list = Check(nginx);
  engine::DownloadWorker(*list);
  EXPECT_EQ(list->resultCode.load(), engine::kFailed);
  EXPECT_FALSE(PathExists(app() + "dvd/@update@.log"));
  EXPECT_FALSE(PathExists(app() + "dvd/Editor.exe"));
}

TEST_F(ReleaseTest, ReadOnlyStagingFolderCannotSave) {
  testsupport::NginxServer nginx(root_ / "www", 4);
  ASSERT_TRUE(nginx.running()) << nginx.error();
  WriteFile(app() + "dvd/.keep", "");
  int rc = testsupport::RunInChild([&] {
    if (!testsupport::MakeFolderReadOnlyHere(app() + "dvd")) return 77;
    auto list = Check(nginx);
    engine::DownloadWorker(*list);
    return list->resultCode.load() == engine::kCannotSave ? 0 : 10 + list->resultCode.load();
  });
  if (rc == 77) GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(testsupport::ListTree(app() + "dvd"), ".keep\n");
}

TEST_F(ReleaseTest, UpdaterChecksAndDownloadsThroughTheTerminalFrontEnd) {
  testsupport::NginxServer nginx(root_ / "www", 4);
  ASSERT_TRUE(nginx.running()) << nginx.error();
  testsupport::CopyFile(HARBINOR_BIN, app() + "Harbinor");
  WriteFile(app() + "Configs/Harbinor.cfg", "[Harbinor]\nServer=http://" + nginx.host() + "/tlv5.update/\n");
  WriteFile(root_ / "run/.keep", "");
  ::chmod((root_ / "run").c_str(), 0700);

  testsupport::ProcessOptions options;
  options.arguments = {"--console"};
  options.environment["DISPLAY"] = std::nullopt;
  options.environment["WAYLAND_DISPLAY"] = std::nullopt;
  options.environment["HARBINOR_TEST_GUARD_FOLDER"] = root_ / "run";
  options.keepInputOpen = true;
  testsupport::ChildProcess updater(app() + "Harbinor", options);
  std::string transcript;
  ASSERT_TRUE(updater.WaitForLine("button main: Download (enabled)", 20000, &transcript)) << transcript;
  std::size_t releaseBytes = 0;
  for (const char* f : kReleaseFiles)
    releaseBytes += ReadFile(release() + f).size();
  char size[64];
  std::snprintf(size, sizeof size, " %.2f Mb", static_cast<double>(releaseBytes) / 1048576.0);
  EXPECT_NE(transcript.find("headline: A newer version is available. (total size: " + std::string(size) + ")"),
            std::string::npos)
      << transcript;
  EXPECT_NE(transcript.find("message: Tolvaro 1.1\\r\\nFaster export\\r\\n"), std::string::npos) << transcript;
  EXPECT_NE(transcript.find("status: Press \"Download\" to download update files."), std::string::npos) << transcript;

  updater.WriteInput("main\n");
  ASSERT_TRUE(updater.WaitForLine("headline: Download has been completed.", 30000, &transcript)) << transcript;
  EXPECT_NE(transcript.find("headline: Downloading update..."), std::string::npos) << transcript;
  updater.WriteInput("close\n");
  auto result = updater.Wait(10000);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_NE(result.output.find("window: closed"), std::string::npos) << result.output;
  ExpectStagedEqualsRelease();

  std::string cfg = ReadFile(app() + "Configs/Harbinor.cfg");
  EXPECT_NE(cfg.find("UpdateTime=" + settings::DayNumberText(platform::CurrentUtcTime())), std::string::npos) << cfg;
}

}  // namespace
