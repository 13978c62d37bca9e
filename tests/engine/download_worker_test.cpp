// The download worker against a scripted server on 127.0.0.3:80.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <functional>
#include <random>
#include <set>
#include <thread>

#include "engine/digest.h"
#include "engine/download_worker.h"
#include "engine/list_signature.h"
#include "engine/worker_threads.h"
#include "platform/facts.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback_server.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_data.h"
#include "tools/publish/packer.h"
#include "tools/publish/patch_maker.h"

namespace {

using engine::UpdateList;
using testsupport::HttpResponse;
using testsupport::PathExists;
using testsupport::ReadFile;
using testsupport::WriteFile;

constexpr const char* kBase = "http://127.0.0.3/tlv5.update/";
constexpr int kRetryPauseMs = 10;

using testsupport::Content;
using testsupport::Digest;

class DownloadWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.listening()) << "cannot listen on 127.0.0.3:80"; }

  std::string app() const { return root_.path() + platform::kPathSeparator; }

  std::shared_ptr<UpdateList> NewList() {
    return std::make_shared<UpdateList>(engine::ListContext{
        kBase, app(), [](const std::string&) { return engine::VersionNumber{0}; }, "", 1, kRetryPauseMs});
  }

  // Adds a listed file with the digest and size of `content`.
  void List(UpdateList& list, const std::string& file, const std::string& content) {
    list.AddItemIfNewer("File=" + file + "\r\nMD5=" + Digest(content) + "\r\nSize=" + std::to_string(content.size()) +
                        "\r\nVersion=1.0.0.0\r\n");
  }

  void Run(UpdateList& list) { engine::DownloadWorker(list); }

  std::string RequestPath(std::size_t i) {
    auto requests = server_.Requests();
    if (i >= requests.size()) return "(none)";
    std::string r = requests[i];
    return r.substr(4, r.find(" HTTP/1.1") - 4);
  }

  testsupport::TempFolder root_;
  testsupport::LoopbackServer server_{3};
};

TEST_F(DownloadWorkerTest, ListRequestStaysInMemory) {
  auto list = NewList();
  list->AddUrlItem(list->ListAddress());
  server_.Enqueue(testsupport::RespondOk("@TLV-DVD Update@\r\nx\r\n@TLV-DVD Update@\r\n"));
  Run(*list);
  EXPECT_EQ(list->resultCode.load(), engine::kSucceeded);
  const auto& item = *list->items[0];
  ASSERT_NE(item.body, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(item.body), item.bodyLength),
            "@TLV-DVD Update@\r\nx\r\n@TLV-DVD Update@\r\n");
  EXPECT_EQ(testsupport::ListTree(root_.path()), "") << "nothing may be written";
  EXPECT_EQ(RequestPath(0), "/tlv5.update/tlv5.php");
}

TEST_F(DownloadWorkerTest, DownloadStagesPlainPackedAndNestedFiles) {
  std::string editor = Content("editor", 70000), notes = Content("notes", 300), lang = Content("lang", 5000);
  auto list = NewList();
  List(*list, "Tolvaro Editor.exe", editor);
  List(*list, "notes.txt", notes);
  List(*list, "Language/extra/Deutsch.ini", lang);
  ASSERT_EQ(list->items.size(), 3u);
  server_.Enqueue(testsupport::RespondOk(*publish::PackContainer(editor)));
  server_.Enqueue(testsupport::RespondOk(notes));
  server_.Enqueue(testsupport::RespondOk(lang));
  Run(*list);
  EXPECT_EQ(list->resultCode.load(), engine::kSucceeded);
  for (const auto& item : list->items) EXPECT_EQ(item->response.capacity(), 0u) << "memory kept after staging";
  EXPECT_EQ(ReadFile(app() + "dvd/Tolvaro Editor.exe"), editor) << "staged unpacked, under its own name";
  EXPECT_EQ(ReadFile(app() + "dvd/notes.txt"), notes);
  EXPECT_EQ(ReadFile(app() + "dvd/Language/extra/Deutsch.ini"), lang);
  EXPECT_TRUE(PathExists(app() + "dvd/@update@.log"));
  EXPECT_EQ(ReadFile(app() + "dvd/@update@.log"), "");
  EXPECT_EQ(list->bytesDone.load(), list->bytesTotal);
  EXPECT_EQ(list->bytesPresent.load(), 0);
  EXPECT_EQ(RequestPath(0), "/tlv5.update/dvd/Tolvaro%20Editor.ex_");
  EXPECT_EQ(RequestPath(2), "/tlv5.update/dvd/Language/extra/Deutsch.ini");
}

// However the server frames the body (its length stated, chunked, or up to
// the close), a plain or packed file goes whole to its staged name and is
// counted at its size, with no temporary file left; an empty file too.
TEST_F(DownloadWorkerTest, EveryFramingOfPlainAndPackedBodiesIsStaged) {
  for (const std::string& file : {Content("framed", 300000), std::string()}) {
    const std::string packed = *publish::PackContainer(file, {1, true});
    auto chunked = [](const std::string& body) {
      std::string out;
      for (std::size_t at = 0; at < body.size(); at += 70000) {
        std::string piece = body.substr(at, 70000);
        char size[16];
        std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
        out += size + piece + "\r\n";
      }
      return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + out + "0\r\n\r\n";
    };
    const std::string responses[] = {HttpResponse("200 OK", file), chunked(file), "HTTP/1.0 200 OK\r\n\r\n" + file,
                                     HttpResponse("200 OK", packed), chunked(packed), "HTTP/1.0 200 OK\r\n\r\n" + packed};
    for (const std::string& response : responses) {
      SCOPED_TRACE(response.substr(0, response.find("\r\n\r\n")) + (&response >= &responses[3] ? " packed" : "") +
                   (file.empty() ? ", empty file" : ""));
      std::filesystem::remove_all(app() + "dvd");
      auto list = NewList();
      List(*list, "f.bin", file);
      server_.Enqueue(testsupport::Respond(response));
      Run(*list);
      EXPECT_EQ(list->resultCode.load(), engine::kSucceeded);
      EXPECT_TRUE(ReadFile(app() + "dvd/f.bin") == file);
      EXPECT_EQ(list->bytesDone.load(), static_cast<std::int32_t>(file.size()));
      EXPECT_EQ(testsupport::ListTree(app() + "dvd"), "@update@.log\nf.bin\n");
    }
  }
}

// Four transfers at once over eight files, the server answering by path.
// A run in which a later file fails first in time still reports the first
// failed file in list order; a stop ends every transfer at once.
TEST_F(DownloadWorkerTest, ParallelTransfersEndLikeAWalkInListOrder) {
  std::vector<std::string> files;
  for (int i = 0; i < 8; ++i) files.push_back(Content("p" + std::to_string(i), 20000 + i));
  struct Case {
    std::set<int> failing;  // answered with 404, the lowest after a pause
    bool stop;
  };
  for (const Case& c : {Case{{}, false}, Case{{2, 5}, false}, Case{{}, true}}) {
    SCOPED_TRACE(c.stop ? "stopped" : std::to_string(c.failing.size()) + " failing");
    std::filesystem::remove_all(app() + "dvd");
    auto list = std::make_shared<UpdateList>(engine::ListContext{kBase, app(), nullptr, "", 4, kRetryPauseMs});
    // All in one new folder, which the first transfers make at once.
    for (int i = 0; i < 8; ++i) List(*list, "new/f" + std::to_string(i) + ".bin", files[i]);
    server_.SetDefault([&](testsupport::ServerSession& session) {
      const std::string& request = session.request();
      int i = request[request.find(".bin") - 1] - '0';
      if (c.stop) return session.Stall(20000);
      if (c.failing.count(i)) {
        if (i == *c.failing.begin()) std::this_thread::sleep_for(std::chrono::milliseconds(300));
        session.Send(HttpResponse("404 Not Found", "gone"));
        return;
      }
      session.Send(HttpResponse("200 OK", files[i]));
    });
    ASSERT_TRUE(engine::StartDownloadWorker(list));
    if (c.stop) {
      ASSERT_TRUE(server_.WaitForRequests(4, 5000));
      list->runControl = engine::kStop;
    }
    ASSERT_TRUE(engine::DownloadThreads().JoinAll(c.stop ? 2000 : 10000)) << "the transfers did not end";
    auto staged = [&](int i) { return ReadFile(app() + "dvd/new/f" + std::to_string(i) + ".bin") == files[i]; };
    if (c.stop) {
      EXPECT_EQ(list->resultCode.load(), engine::kAborted);
      EXPECT_EQ(server_.Requests().size(), 4u) << "no transfer starts after a stop";
    } else if (c.failing.empty()) {
      EXPECT_EQ(list->resultCode.load(), engine::kSucceeded);
      for (int i = 0; i < 8; ++i) EXPECT_TRUE(staged(i)) << i;
      EXPECT_EQ(list->bytesDone.load(), list->bytesTotal);
    } else {
      EXPECT_EQ(list->resultCode.load(), engine::kFailed);
      EXPECT_NE(list->failureReason.find("new/f2.bin"), std::string::npos) << list->failureReason;
      EXPECT_TRUE(staged(0) && staged(1)) << "the files before the failed one are staged";
    }
    EXPECT_EQ(PathExists(app() + "dvd/@update@.log"), c.failing.empty() && !c.stop);
    server_.ClearRequests();
  }
  // A stop before any transfer has started (the window sets its own result
  // code only after the stop): nothing is staged, so no update log.
  std::filesystem::remove_all(app() + "dvd");
  std::filesystem::create_directories(app() + "dvd");
  auto stopped = std::make_shared<UpdateList>(engine::ListContext{kBase, app(), nullptr, "", 4, kRetryPauseMs});
  List(*stopped, "new/f0.bin", files[0]);
  stopped->runControl = engine::kStop;
  Run(*stopped);
  EXPECT_EQ(stopped->resultCode.load(), engine::kAborted);
  EXPECT_FALSE(PathExists(app() + "dvd/@update@.log"));
}

// A transfer the network cuts is tried again for the rest of its body; the
// rest is taken only from a 206 that continues the same version. Each row
// scripts the connections after the first, which sends the head and the
// first `kCut` bytes of the body, then closes.
TEST_F(DownloadWorkerTest, CutTransfersResumeByRangeOrStartAgain) {
  // Bytes that do not pack, so that a packed body is cut in the middle too.
  auto noise = [](unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(300000, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
  };
  const std::string file = noise(1), other = noise(2);
  constexpr std::size_t kCut = 120000;
  auto head = [](const std::string& status, std::size_t length, const std::string& etag, const std::string& extra) {
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(length) + "\r\nETag: " + etag + "\r\n" +
           extra + "\r\n";
  };
  auto whole = [&](const std::string& body, const std::string& etag) { return head("200 OK", body.size(), etag, "") + body; };
  auto rest = [&](const std::string& body, const std::string& etag) {
    return head("206 Partial Content", body.size() - kCut, etag,
                "Content-Range: bytes " + std::to_string(kCut) + "-" + std::to_string(body.size() - 1) + "/" +
                    std::to_string(body.size()) + "\r\n") +
           body.substr(kCut);
  };
  struct Row {
    const char* name;
    bool packed;
    std::vector<std::function<std::string(const std::string& body)>> later;  // responses after the cut
    std::vector<bool> ranged;  // whether each later request asks for the rest
    engine::ResultCode result;
  };
  const std::string cutAgain = "cut";
  const Row rows[] = {
      {"206 continues", false, {[&](auto& b) { return rest(b, "\"v1\""); }}, {true}, engine::kSucceeded},
      {"packed, 206 continues", true, {[&](auto& b) { return rest(b, "\"v1\""); }}, {true}, engine::kSucceeded},
      {"200 instead", false, {[&](auto& b) { return whole(b, "\"v1\""); }}, {true}, engine::kSucceeded},
      {"another validator", false,
       {[&](auto& b) { return rest(b, "\"v2\""); }, [&](auto& b) { return whole(b, "\"v2\""); }},
       {true, false}, engine::kSucceeded},
      {"same validator, other bytes", false,
       {[&](auto&) { return rest(other, "\"v1\""); }, [&](auto& b) { return whole(b, "\"v1\""); }},
       {true, false}, engine::kSucceeded},
      // The server packed the file again under the same validator: the rest
      // does not unpack after the kept bytes, and the file is fetched whole.
      {"another packing, same validator", true,
       {[&](auto&) { return rest(*publish::PackContainer(file, {0, false}), "\"v1\""); },
        [&](auto& b) { return whole(b, "\"v1\""); }},
       {true, false}, engine::kSucceeded},
      {"cut every time", false, {nullptr, nullptr, nullptr}, {true, true, true}, engine::kFailed},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::filesystem::remove_all(app() + "dvd");
    const std::string body = row.packed ? *publish::PackContainer(file, {1, true}) : file;
    auto list = std::make_shared<UpdateList>(engine::ListContext{kBase, app(), nullptr, "", 1, kRetryPauseMs});
    List(*list, "f.bin", file);
    server_.ClearRequests();
    auto cut = testsupport::RespondCutShort(whole(body, "\"v1\""), whole(body, "\"v1\"").size() - body.size() + kCut);
    server_.Enqueue(cut);
    for (const auto& respond : row.later)
      server_.Enqueue(respond ? testsupport::Respond(respond(body)) : cut);
    Run(*list);
    EXPECT_EQ(list->resultCode.load(), row.result) << list->failureReason;
    auto requests = server_.Requests();
    ASSERT_EQ(requests.size(), 1 + row.later.size());
    for (std::size_t i = 0; i < row.ranged.size(); ++i)
      EXPECT_EQ(requests[i + 1].find("\r\nRange: bytes=" + std::to_string(kCut) + "-\r\n") != std::string::npos,
                row.ranged[i])
          << "request " << i + 1;
    if (row.result == engine::kSucceeded) {
      EXPECT_TRUE(ReadFile(app() + "dvd/f.bin") == file);
      EXPECT_EQ(list->bytesDone.load(), list->bytesTotal);
      EXPECT_EQ(testsupport::ListTree(app() + "dvd"), "@update@.log\nf.bin\n") << "kept bytes go once staged";
    } else {
      // The bytes that came stay for the next run, which asks for the rest.
      auto next = std::make_shared<UpdateList>(engine::ListContext{kBase, app(), nullptr, "", 1, kRetryPauseMs});
      List(*next, "f.bin", file);
      server_.ClearRequests();
      server_.Enqueue(testsupport::Respond(rest(body, "\"v1\"")));
      Run(*next);
      EXPECT_EQ(next->resultCode.load(), engine::kSucceeded);
      EXPECT_TRUE(ReadFile(app() + "dvd/f.bin") == file);
      EXPECT_EQ(next->bytesPresent.load(), static_cast<std::int32_t>(kCut)) << "kept bytes were not fetched again";
    }
  }
}

TEST_F(DownloadWorkerTest, ResumeSkipsValidStagedFilesAndReplacesStaleOnes) {
  std::string a = Content("a", 1000), b = Content("b", 2000), c = Content("c", 3000);
  WriteFile(app() + "dvd/a.txt", a);                  // valid: skipped
  WriteFile(app() + "dvd/b.txt", Content("B", 2000));  // right size, wrong digest
  WriteFile(app() + "dvd/c.txt", "short");              // wrong size
  auto list = NewList();
  List(*list, "a.txt", a);
  List(*list, "b.txt", b);
  List(*list, "c.txt", c);
  server_.Enqueue(testsupport::RespondOk(b));
  server_.Enqueue(testsupport::RespondOk(c));
  Run(*list);
  EXPECT_EQ(list->resultCode.load(), engine::kSucceeded);
  EXPECT_EQ(ReadFile(app() + "dvd/b.txt"), b);
  EXPECT_EQ(ReadFile(app() + "dvd/c.txt"), c);
  EXPECT_EQ(list->bytesPresent.load(), 1000);
  EXPECT_EQ(list->bytesDone.load(), 6000);
  ASSERT_EQ(server_.Requests().size(), 2u);
  EXPECT_EQ(RequestPath(0), "/tlv5.update/dvd/b.txt");

  // Everything staged now: a new run connects to nobody and completes.
  std::remove((app() + "dvd/@update@.log").c_str());
  server_.ClearRequests();
  auto again = NewList();
  List(*again, "a.txt", a);
  List(*again, "b.txt", b);
  List(*again, "c.txt", c);
  Run(*again);
  EXPECT_EQ(again->resultCode.load(), engine::kSucceeded);
  EXPECT_EQ(again->bytesDone.load(), 6000);
  EXPECT_EQ(again->bytesPresent.load(), 6000);
  EXPECT_TRUE(server_.Requests().empty());
  EXPECT_TRUE(PathExists(app() + "dvd/@update@.log"));
}

TEST_F(DownloadWorkerTest, DigestMismatchIsRetriedOnce) {
  std::string good = Content("good", 4000), bad = Content("bad!", 4000);
  {
    auto list = NewList();
    List(*list, "f.bin", good);
    server_.Enqueue(testsupport::RespondOk(bad));
    server_.Enqueue(testsupport::RespondOk(good));
    Run(*list);
    EXPECT_EQ(list->resultCode.load(), engine::kSucceeded);
    EXPECT_EQ(ReadFile(app() + "dvd/f.bin"), good);
    EXPECT_EQ(list->bytesDone.load(), 4000) << "the first body's bytes are taken back";
  }
  std::remove((app() + "dvd/f.bin").c_str());
  std::remove((app() + "dvd/@update@.log").c_str());
  {
    auto list = NewList();
    List(*list, "f.bin", good);
    server_.Enqueue(testsupport::RespondOk(bad));
    server_.Enqueue(testsupport::RespondOk(bad));
    server_.Enqueue(testsupport::RespondOk(good));
    Run(*list);
    EXPECT_EQ(list->resultCode.load(), engine::kFailed);
    EXPECT_FALSE(PathExists(app() + "dvd/f.bin"));
    EXPECT_FALSE(PathExists(app() + "dvd/@update@.log"));
  }
}

// The SHA-256 a signed list gives is checked beside the MD5: a file swapped
// on the server fails as a digest mismatch does, after one more transfer.
TEST_F(DownloadWorkerTest, TheSha256OfASignedListIsChecked) {
  const std::string file = Content("signed", 4000);
  for (bool matching : {true, false}) {
    SCOPED_TRACE(matching ? "matching" : "swapped");
    std::filesystem::remove_all(app() + "dvd");
    std::string sha256 = engine::Sha256Text(reinterpret_cast<const std::uint8_t*>(file.data()), matching ? 4000 : 3999);
    auto list = NewList();
    list->AddItemIfNewer("File=f.bin\r\nMD5=" + Digest(file) + "\r\nSHA256=" + sha256 + "\r\nSize=4000\r\nVersion=1\r\n");
    server_.Enqueue(testsupport::RespondOk(file));
    server_.Enqueue(testsupport::RespondOk(file));
    Run(*list);
    EXPECT_EQ(list->resultCode.load(), matching ? engine::kSucceeded : engine::kFailed);
    EXPECT_EQ(PathExists(app() + "dvd/f.bin"), matching);
    EXPECT_EQ(server_.Requests().size(), matching ? 1u : 2u);
    server_.ClearRequests();
  }
}

TEST_F(DownloadWorkerTest, FailuresEndTheRunWithTheirCodes) {
  std::string a = Content("a", 1000), b = Content("b", 1500);
  {
    SCOPED_TRACE("missing file: an error page is no container");
    auto list = NewList();
    List(*list, "a.txt", a);
    List(*list, "b.txt", b);
    server_.Enqueue(testsupport::RespondOk(a));
    server_.Enqueue(testsupport::Respond(HttpResponse("404 Not Found", "<html>gone</html>")));
    Run(*list);
    EXPECT_EQ(list->resultCode.load(), engine::kFailed);
    EXPECT_EQ(ReadFile(app() + "dvd/a.txt"), a) << "what was staged stays";
    EXPECT_FALSE(PathExists(app() + "dvd/@update@.log"));
    EXPECT_NE(list->failureReason.find("dvd/b.txt: the file is not what the list says (HTTP/1.1 404 Not Found)"),
              std::string::npos)
        << list->failureReason;
  }
  {
    SCOPED_TRACE("nobody listens");
    auto list = std::make_shared<UpdateList>(engine::ListContext{"http://127.0.0.9/u/", app(), nullptr, "", 1, kRetryPauseMs});
    List(*list, "x.txt", a);
    Run(*list);
    EXPECT_EQ(list->resultCode.load(), engine::kCannotConnect);
    EXPECT_EQ(list->failureReason, "http://127.0.0.9/u/dvd/x.txt: no connection to 127.0.0.9 on port 80");
  }
  {
    SCOPED_TRACE("the update log cannot be made: a folder holds its name");
    WriteFile(app() + "dvd/@update@.log/in the way", "");
    auto list = NewList();
    List(*list, "d.txt", a);
    server_.Enqueue(testsupport::RespondOk(a));
    Run(*list);
    EXPECT_EQ(list->resultCode.load(), engine::kCannotSave);
    EXPECT_EQ(ReadFile(app() + "dvd/d.txt"), a) << "what was staged stays";
    std::filesystem::remove_all(app() + "dvd/@update@.log");
  }
  {
    SCOPED_TRACE("body cut short");
    auto list = NewList();
    List(*list, "c.txt", Content("c", 5000));
    // Cut again at every retry.
    for (int i = 0; i <= engine::kMaxRetries; ++i)
      server_.Enqueue(testsupport::RespondCutShort(HttpResponse("200 OK", Content("c", 5000)), 3000));
    Run(*list);
    EXPECT_EQ(list->resultCode.load(), engine::kFailed);
    EXPECT_FALSE(PathExists(app() + "dvd/c.txt"));
    EXPECT_NE(list->failureReason.find("dvd/c.txt: the response ends before the end its header announces, after "),
              std::string::npos)
        << list->failureReason;
  }
}

TEST_F(DownloadWorkerTest, StopKeepsWhatIsStagedAndTheNextRunResumes) {
  std::string a = Content("a", 1000), b = Content("b", 200000);
  auto list = NewList();
  List(*list, "a.txt", a);
  List(*list, "b.txt", b);
  server_.Enqueue(testsupport::RespondOk(a));
  server_.Enqueue(testsupport::RespondThenStall(HttpResponse("200 OK", b).substr(0, 5000), 10000));
  ASSERT_TRUE(engine::StartDownloadWorker(list));
  // b.txt is asked for once a.txt is staged (its header bytes count for a
  // moment too, so the count alone does not say so).
  ASSERT_TRUE(server_.WaitForRequests(2, 5000));
  ASSERT_TRUE(testsupport::WaitFor([&] { return list->bytesDone.load() > 1000; }, 5000));
  list->runControl = engine::kStop;
  ASSERT_TRUE(testsupport::WaitFor([&] { return !list->workerActive.load(); }, 2000)) << "the stop did not end the run";
  EXPECT_EQ(list->resultCode.load(), engine::kAborted);
  EXPECT_EQ(ReadFile(app() + "dvd/a.txt"), a);
  EXPECT_FALSE(PathExists(app() + "dvd/b.txt"));
  EXPECT_FALSE(PathExists(app() + "dvd/@update@.log"));

  server_.ClearRequests();
  auto resumed = NewList();
  List(*resumed, "a.txt", a);
  List(*resumed, "b.txt", b);
  server_.Enqueue(testsupport::RespondOk(b));
  Run(*resumed);
  EXPECT_EQ(resumed->resultCode.load(), engine::kSucceeded);
  ASSERT_EQ(server_.Requests().size(), 1u);
  EXPECT_EQ(RequestPath(0), "/tlv5.update/dvd/b.txt");
  EXPECT_TRUE(PathExists(app() + "dvd/@update@.log"));
}

TEST_F(DownloadWorkerTest, ListMayBeReleasedWhileTheWorkerIsBlocked) {
  auto list = NewList();
  list->AddUrlItem(list->ListAddress());
  server_.Enqueue(testsupport::RespondThenStall("HTTP/1.1 200 OK\r\n\r\n", 800));
  std::weak_ptr<UpdateList> watch = list;
  ASSERT_TRUE(engine::StartDownloadWorker(list));
  ASSERT_TRUE(server_.WaitForRequests(1, 2000));
  list.reset();  // the window gives up on the check
  EXPECT_FALSE(watch.expired()) << "the worker keeps its own reference";
  EXPECT_TRUE(testsupport::WaitFor([&] { return watch.expired(); }, 5000)) << "the worker never let go";
}

TEST(StagingPathsTest, StagedPathAndParentFolders) {
  testsupport::TempFolder tmp;
  std::string app = tmp.path() + platform::kPathSeparator;
  UpdateList list(engine::ListContext{kBase, app, nullptr});
  list.AddItemIfNewer("File=Language\\Deutsch.ini\r\nMD5=" + Digest("") + "\r\nVersion=1\r\n");
  list.AddUrlItem("http://127.0.0.3/x");
  ASSERT_EQ(list.items.size(), 2u);
  EXPECT_EQ(engine::StagedPath(list, *list.items[0]), tmp / "dvd/Language/Deutsch.ini");
  EXPECT_EQ(engine::UpdateLogPath(app), tmp / "dvd/@update@.log");
  EXPECT_FALSE(engine::StagedPath(list, *list.items[1])) << "an address shorter than the server base";

  EXPECT_TRUE(engine::EnsureParentFolders(tmp / "a/b/c/file"));
  EXPECT_TRUE(testsupport::PathExists(tmp / "a/b/c"));
  WriteFile(app + "plain", "x");
  EXPECT_FALSE(engine::EnsureParentFolders(tmp / "plain/file")) << "a file in the way";
  EXPECT_FALSE(engine::EnsureParentFolders(tmp / "plain/deeper/file"));
  EXPECT_FALSE(engine::EnsureParentFolders("file-without-folder"));
}

}  // namespace

namespace {

// A run leaves no temporary file behind and clears those of a killed run;
// a run stopped once its file is written renames nothing; every run has
// temporary names of its own; the worker's thread is joined when it ends.
TEST_F(DownloadWorkerTest, TemporaryFilesAndTheWorkersThread) {
  std::string a = Content("a", 4000);
  const std::string sub = app() + "dvd" + platform::kPathSeparator + "sub" + platform::kPathSeparator;
  std::string leftover = engine::WorkerTemporaryPath(sub + "old.bin", "0123456789abcdef");
  WriteFile(leftover, "half of a file");
  WriteFile(app() + "dvd/sub/.keep.part", "not the worker's");
  auto list = NewList();
  List(*list, "a.txt", a);
  server_.Enqueue(testsupport::RespondOk(a));
  ASSERT_TRUE(engine::StartDownloadWorker(list));
  ASSERT_TRUE(engine::DownloadThreads().JoinAll(10000)) << "the worker's thread did not end";
  EXPECT_EQ(engine::DownloadThreads().Count(), 0u);
  EXPECT_EQ(list->resultCode.load(), engine::kSucceeded);
  EXPECT_FALSE(PathExists(leftover));
  EXPECT_TRUE(PathExists(app() + "dvd/sub/.keep.part"));
  EXPECT_EQ(testsupport::ListTree(app() + "dvd"), "@update@.log\na.txt\nsub/\nsub/.keep.part\n");

  EXPECT_NE(engine::NewRunTag(), engine::NewRunTag());
  EXPECT_TRUE(engine::IsWorkerTemporaryName(".a.txt.0123456789abcdef.part"));
  for (const char* name : {"a.txt", ".a.txt.part", ".a.txt.0123456789ABCDEF.part", "a.txt.0123456789abcdef.part"})
    EXPECT_FALSE(engine::IsWorkerTemporaryName(name)) << name;

  auto stopped = NewList();
  List(*stopped, "b.txt", a);
  server_.Enqueue(testsupport::RespondOk(a));
  stopped->runControl = engine::kStop;
  EXPECT_FALSE(engine::StageItem(*stopped, *stopped->items[0], engine::NewRunTag()));
  EXPECT_EQ(stopped->resultCode.load(), engine::kAborted);
  EXPECT_FALSE(PathExists(app() + "dvd/b.txt"));
  EXPECT_EQ(testsupport::ListTree(app() + "dvd"), "@update@.log\na.txt\nsub/\nsub/.keep.part\n");
}

}  // namespace

// An installed file that is the base of a listed patch is built from it;
// whatever is wrong with the patch, the file is fetched whole in the same
// run and staged as listed, with the total grown to what was fetched.
TEST_F(DownloadWorkerTest, PatchIsUsedOrGivesWayToTheWholeFile) {
  const std::string old = Content("old library", 200000);
  std::string updated = old.substr(0, 90000) + Content("new code", 3000) + old.substr(100000);
  const std::string patch = *publish::MakePatch({reinterpret_cast<const std::uint8_t*>(old.data()), old.size()},
                                                {reinterpret_cast<const std::uint8_t*>(updated.data()), updated.size()});
  std::string damaged = patch;
  damaged[patch.size() / 2] ^= 1;
  struct Case {
    const char* what;
    std::string installed;   // when the list is read
    std::string listedPatch; // whose digests the list gives
    testsupport::ServerScript served;
    std::string installedLater;  // replaces the installed file before the run
    bool patched;
  };
  const Case cases[] = {
      {"applied", old, patch, testsupport::RespondOk(patch), "", true},
      {"another base", Content("other", 5000), patch, nullptr, "", false},
      {"not the listed patch", old, patch, testsupport::RespondOk(damaged), "", false},
      {"no patch on the server", old, patch, testsupport::Respond(HttpResponse("404 Not Found", "")), "", false},
      {"a damaged patch listed as it is", old, damaged, testsupport::RespondOk(damaged), "", false},
      {"installed file changed since", old, patch, testsupport::RespondOk(patch), Content("x", 200000), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(root_.path() + "/dvd");
    WriteFile(app() + "lib.dll", c.installed);
    server_.ClearRequests();
    auto list = NewList();
    engine::PatchOffer offer{Digest(old), "", static_cast<std::int32_t>(c.listedPatch.size()), Digest(c.listedPatch),
                             "", "lib.dll.0123456789abcdef.patch"};
    list->AddItemIfNewer("File=lib.dll\r\nMD5=" + Digest(updated) + "\r\nSize=" + std::to_string(updated.size()) +
                         "\r\nVersion=1.0.0.0\r\nPatch=" + engine::PatchLineValue(offer) + "\r\n");
    ASSERT_EQ(list->items.size(), 1u);
    const bool offered = c.served != nullptr;
    EXPECT_EQ(list->bytesTotal.load(), offered ? static_cast<std::int32_t>(patch.size()) : updated.size());
    if (offered) server_.Enqueue(c.served);
    if (!c.patched) server_.Enqueue(testsupport::RespondOk(updated));
    if (!c.installedLater.empty()) WriteFile(app() + "lib.dll", c.installedLater);
    Run(*list);
    EXPECT_EQ(list->resultCode.load(), engine::kSucceeded);
    EXPECT_TRUE(ReadFile(app() + "dvd/lib.dll") == updated);
    EXPECT_EQ(list->bytesDone.load(), list->bytesTotal.load());
    EXPECT_EQ(list->bytesTotal.load(), c.patched ? static_cast<std::int32_t>(patch.size()) : updated.size());
    EXPECT_EQ(list->TakePatchFallbacks().size(), offered && !c.patched ? 1u : 0u);
    EXPECT_EQ(server_.Requests().size(), (offered ? 1u : 0u) + (c.patched ? 0u : 1u));
    EXPECT_EQ(testsupport::ListTree(root_.path() + "/dvd"), "@update@.log\nlib.dll\n") << "no patch left behind";
    // The window may run the same list again: a patch that gave way is not
    // tried again, and the total stays what is fetched.
    if (c.patched || !offered) continue;
    std::filesystem::remove_all(root_.path() + "/dvd");
    server_.ClearRequests();
    server_.Enqueue(testsupport::RespondOk(updated));
    list->bytesDone = 0;
    Run(*list);
    EXPECT_TRUE(ReadFile(app() + "dvd/lib.dll") == updated);
    EXPECT_EQ(list->bytesDone.load(), list->bytesTotal.load());
    EXPECT_EQ(list->bytesTotal.load(), static_cast<std::int32_t>(updated.size()));
    EXPECT_EQ(server_.Requests().size(), 1u);
    EXPECT_TRUE(list->TakePatchFallbacks().empty());
  }
}
