// The update window's logic, driven through a scripted window with virtual
// time: with a scripted worker for exact timing, and with the real download
// worker against a loopback server on 127.0.0.5 for the check end to end.
#include "ui/update_dialog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "engine/digest.h"
#include "engine/list_signature.h"
#include "settings/string_catalog.h"
#include "tests/support/fake_window.h"
#include "tests/support/loopback_server.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_data.h"

namespace {

using engine::UpdateList;
using testsupport::FakeWindow;
using testsupport::ScriptedWorker;
using testsupport::Show;
using ui::Key;

constexpr const char* kBase = "http://127.0.0.5/tlv5.update/";
constexpr const char* kMarker = "@TLV-DVD Update@\r\n";
constexpr const char* kRestart =
    "You have downloaded all the update files.\n\nPlease restart the editor to install the new update.\n";
constexpr const char* kPressDownload = "Press \"Download\" to download update files.";
constexpr const char* kPressRetry = "Press \"Retry\" to update again.";
constexpr const char* kDownloadAgain = "Press \"Download\" to download again.";
constexpr const char* kChecking = "Check for Updates...";
constexpr const char* kDownloading = "Downloading update...";
constexpr const char* kCompleted = "Download has been completed.";
constexpr const char* kAborted = "Update has been aborted.";
constexpr const char* kTitle = "Update Tolvaro DVD";
const char* const kResultHeadlines[] = {"Update has been successfully downloaded.",
                                        "Your software is up-to-date.",
                                        kAborted,
                                        "Cannot connect to the Quorva web server.",
                                        "Update failed.",
                                        "Update error: cannot save file to the local disk."};

using testsupport::Content;
using testsupport::Digest;

struct Listed {
  std::string file;
  std::int32_t size = 0;
  std::vector<std::string> comments;
  std::string md5 = std::string(32, '0');
};

std::string ListDocument(const std::string& intro, const std::vector<Listed>& files) {
  std::string doc = std::string(kMarker) + intro + "\r\n" + kMarker + "notes for other readers\r\n";
  for (const Listed& f : files) {
    doc += "[Item]\r\nFile=" + f.file + "\r\nMD5=" + f.md5 + "\r\nSize=" + std::to_string(f.size) +
           "\r\nVersion=2.0.0.0\r\n";
    for (const std::string& c : f.comments) doc += "Comment=" + c + "\r\n";
  }
  return doc;
}

}  // namespace

namespace ui {
std::ostream& operator<<(std::ostream& os, const Rect& r) {
  return os << "(" << r.left << ", " << r.top << ", " << r.width << " x " << r.height << ")";
}
}  // namespace ui

namespace {

// What the window shows, as the states of the window are described.
struct View {
  std::string mainLabel;
  bool mainEnabled = false;
  std::string headline;
  std::string status;
  std::string message;
  std::int32_t progress = 0;
  bool operator==(const View&) const = default;
};

std::ostream& operator<<(std::ostream& os, const View& v) {
  return os << "{main " << Show(v.mainLabel) << (v.mainEnabled ? " enabled" : " disabled") << ", headline "
            << Show(v.headline) << ", status " << Show(v.status) << ", message " << Show(v.message) << ", progress "
            << v.progress << "}";
}

class UpdateDialogTest : public ::testing::Test {
 protected:
  ui::DialogServices Services() { return ServicesFor(window_, worker_); }

  ui::DialogServices ServicesFor(FakeWindow& window, ScriptedWorker& worker) {
    ui::DialogServices s(window);
    s.text = [this](std::uint32_t id) {
      auto it = texts_.find(id);
      return it != texts_.end() ? it->second : std::string(catalog_.GetText(id));
    };
    s.newList = [this] {
      auto list = std::make_shared<UpdateList>(engine::ListContext{base_, app(), probe_});
      lists_.push_back(list);
      return list;
    };
    s.startWorker = worker.Starter();
    s.applicationFolder = app();
    s.writeSetting = [this](std::string_view key, std::string_view value) {
      if (refuseWrites_) return false;
      written_.emplace_back(std::string(key) + "=" + std::string(value));
      return true;
    };
    s.readSetting = [this](std::string_view key) {
      for (auto it = written_.rbegin(); it != written_.rend(); ++it)
        if (it->compare(0, key.size() + 1, std::string(key) + "=") == 0) return it->substr(key.size() + 1);
      return std::string();
    };
    s.listPublicKey = listKey_;
    s.utcNow = [this] { return today_; };
    s.monotonicMs = [&window] { return window.NowMs(); };
    s.logFailure = [this](std::string_view what) { logged_.emplace_back(what); };
    return s;
  }

  // Opens the window as interactive mode does: initialised, then shown.
  void Open() {
    dialog_ = std::make_unique<ui::UpdateDialog>(Services());
    ASSERT_TRUE(dialog_->InitWindow());
    window_.ShowWindow();
  }

  std::string app() const { return root_.path() + "/"; }
  std::string PageMessage() { return catalog_.GetText(120); }

  View Now() const {
    return {window_.Text(ui::kMainButton), window_.IsEnabled(ui::kMainButton), window_.Text(ui::kHeadline),
            window_.Text(ui::kStatusLine), window_.Text(ui::kMessageArea),     window_.Progress()};
  }

  // Lets the automatic check run with a worker that delivers `document`.
  void CheckWith(const std::string& document) {
    worker_.AddRun({ScriptedWorker::Document(40, document), ScriptedWorker::Finish(50, engine::kSucceeded)});
    window_.RunFor(kAutoCheck + 50);
  }

  void StageFile(const std::string& file, const std::string& content) {
    testsupport::WriteFile(app() + "dvd/" + file, content);
  }

  static constexpr std::int64_t kAutoCheck = 300;

  testsupport::TempFolder root_;
  FakeWindow window_;
  ScriptedWorker worker_{window_};
  settings::StringCatalog catalog_{"", ""};
  std::map<std::uint32_t, std::string> texts_;
  std::function<engine::VersionNumber(const std::string&)> probe_ = [](const std::string&) {
    return engine::VersionNumber{0};
  };
  std::vector<std::weak_ptr<UpdateList>> lists_;
  std::string base_ = kBase;
  std::vector<std::string> written_;
  bool refuseWrites_ = false;
  std::vector<std::string> logged_;  // the failure log's lines
  std::string listKey_;
  platform::UtcTime today_{2000, 3, 15, 10, 0, 0};
  std::unique_ptr<ui::UpdateDialog> dialog_;
};

const std::vector<Listed> kTwoFiles = {{"Tolvaro.exe", 3 * 1048576, {"New codec", "Faster export"}},
                                       {"Language/Deutsch.ini", 1048576, {"Fixed crash"}}};
const std::string kTwoFilesMessage = "Intro line\r\n1. New codec\r\n2. Faster export\r\n3. Fixed crash\r\n";

TEST_F(UpdateDialogTest, WalksFromOpeningThroughCheckAndDownloadToDownloaded) {
  Open();
  EXPECT_EQ(window_.Title(), kTitle);
  EXPECT_EQ(Now(), (View{"Download", false, "", "", "", 0})) << "opening";
  EXPECT_EQ(window_.Text(ui::kHelpButton), "Help");
  EXPECT_EQ(window_.Text(ui::kCloseButton), "Close");
  EXPECT_FALSE(window_.IsShown(ui::kSizeDisplay));
  ASSERT_TRUE(window_.Timer(ui::kAutoCheckTimer));
  EXPECT_EQ(window_.Timer(ui::kAutoCheckTimer)->periodMs, 300);

  // Checking: 300 ms after opening, with the animation over 0..200.
  worker_.AddRun({ScriptedWorker::Document(1400, ListDocument("Intro line", kTwoFiles)),
                  ScriptedWorker::Finish(1500, engine::kSucceeded)});
  window_.At(299, [&] { EXPECT_TRUE(worker_.runs().empty()) << "no check before 300 ms"; });
  window_.At(kAutoCheck + 1050, [&] {
    EXPECT_EQ(Now(), (View{"Download", false, kChecking, "", "", 10})) << "checking, after 10 ticks";
    EXPECT_EQ(window_.ProgressRange(), 200);
    EXPECT_FALSE(window_.Timer(ui::kAutoCheckTimer)) << "the automatic check fires once";
    ASSERT_TRUE(window_.Timer(ui::kProgressTimer));
    EXPECT_EQ(window_.Timer(ui::kProgressTimer)->periodMs, 100);
  });
  window_.RunFor(2000);
  ASSERT_EQ(worker_.runs().size(), 1u);
  EXPECT_EQ(worker_.runs()[0]->startedAtMs, kAutoCheck);
  EXPECT_EQ(window_.posted(), std::vector<int>{ui::kMainButton});

  // Updates available.
  EXPECT_EQ(Now(), (View{"Download", true, "A newer version is available. (total size:  4.00 Mb)", kPressDownload,
                         kTwoFilesMessage, 0}));
  EXPECT_EQ(window_.FocusedControl(), ui::kMainButton);
  EXPECT_FALSE(window_.Timer(ui::kProgressTimer));
  EXPECT_EQ(written_, std::vector<std::string>{"UpdateTime=105"});
  ASSERT_TRUE(dialog_->currentList());
  EXPECT_EQ(dialog_->currentList()->bytesTotal, 4 * 1048576);
  ASSERT_EQ(lists_.size(), 2u) << "the request list and the target list";
  EXPECT_EQ(dialog_->currentList(), lists_[1].lock()) << "the request list is released once parsed";

  // Downloading.
  const std::int64_t start = 3000;
  const int width = window_.ClientSize().width;
  worker_.AddRun({ScriptedWorker::Bytes(1000, 1048576), ScriptedWorker::Bytes(2000, 4 * 1048576),
                  ScriptedWorker::Finish(2050, engine::kSucceeded)});
  window_.ClickAt(start, ui::kMainButton);
  window_.At(start + 1050, [&] {
    EXPECT_EQ(Now(), (View{"Abort", true, kDownloading, "", kTwoFilesMessage, 1048576})) << "downloading";
    EXPECT_EQ(window_.Title(), "25% - Update Tolvaro DVD");
    EXPECT_TRUE(window_.IsShown(ui::kSizeDisplay));
    EXPECT_EQ(window_.Text(ui::kSizeDisplay), "1.00 Mb / 4.00 Mb");
    EXPECT_EQ(window_.Placement(ui::kStatusLine), (ui::Rect{30, 185, width - 210, 18}));
    EXPECT_EQ(window_.ProgressRange(), 4 * 1048576);
  });
  window_.RunFor(start + 3000 - window_.NowMs());
  ASSERT_EQ(worker_.runs().size(), 2u);
  EXPECT_EQ(worker_.runs()[1]->list, dialog_->currentList()) << "the download runs on the checked list";

  // Downloaded.
  EXPECT_EQ(Now(), (View{"Download", false, kCompleted, "", kRestart, 4 * 1048576}));
  EXPECT_EQ(window_.Title(), kTitle);
  EXPECT_FALSE(window_.IsShown(ui::kSizeDisplay));
  EXPECT_EQ(window_.Placement(ui::kStatusLine), (ui::Rect{30, 185, width - 60, 18}));
  EXPECT_TRUE(dialog_->downloadCompleted());
  EXPECT_FALSE(dialog_->lastRunFailed());

  // A disabled main button cannot be pressed; Close ends the window.
  window_.Click(ui::kMainButton);
  window_.RunFor(100);
  EXPECT_FALSE(window_.IsDestroyed());
  EXPECT_EQ(worker_.runs().size(), 2u);
  window_.Click(ui::kCloseButton);
  window_.RunFor(10);
  EXPECT_TRUE(window_.IsDestroyed());
  EXPECT_TRUE(window_.boxes().empty()) << "no question without a run";
  dialog_.reset();
  EXPECT_EQ(written_, std::vector<std::string>{"UpdateTime=105"}) << "a good run leaves UpdateTime alone";
}

class FailedCheckTest : public UpdateDialogTest, public ::testing::WithParamInterface<std::int32_t> {};

TEST_P(FailedCheckTest, OffersRetryAndEmptiesUpdateTimeAtExit) {
  const std::int32_t code = GetParam();
  Open();
  worker_.AddRun({ScriptedWorker::Finish(700, code)});
  window_.RunFor(kAutoCheck + 1000);
  EXPECT_EQ(Now(), (View{"Retry", true, kResultHeadlines[code], kPressRetry, "", 0}));
  EXPECT_FALSE(dialog_->currentList());
  EXPECT_TRUE(dialog_->lastRunFailed());
  EXPECT_TRUE(window_.IsVisible());
  EXPECT_EQ(written_, std::vector<std::string>{"UpdateTime=105"});

  // Retry checks again; now up to date, yet the earlier failure still empties
  // UpdateTime at exit.
  worker_.AddRun({ScriptedWorker::Document(10, std::string(kMarker) + "all good\r\n" + kMarker),
                  ScriptedWorker::Finish(20, engine::kSucceeded)});
  window_.Click(ui::kMainButton);
  window_.At(window_.NowMs() + 5, [&] { EXPECT_EQ(Now().headline, kChecking); });
  window_.RunFor(500);
  EXPECT_EQ(worker_.runs().size(), 2u);
  EXPECT_EQ(Now(), (View{"Check", false, kResultHeadlines[engine::kUpToDate], kPressRetry, "", 200}));
  EXPECT_EQ(written_, (std::vector<std::string>{"UpdateTime=105", "UpdateTime=105"}));
  dialog_.reset();
  EXPECT_EQ(written_.back(), "UpdateTime=");
}

INSTANTIATE_TEST_SUITE_P(Codes, FailedCheckTest,
                         ::testing::Values(engine::kCannotConnect, engine::kFailed, engine::kCannotSave));

// Built with a public key, the updater takes a list only when it is signed
// with that key for the server base it comes from and not older than one
// taken before from there; anything else fails the check with its own text,
// and nothing is offered.
TEST_F(UpdateDialogTest, OnlyListsSignedWithTheBuiltInKeyAreTaken) {
  auto key = engine::NewSigningKey(), otherKey = engine::NewSigningKey();
  ASSERT_TRUE(key && otherKey);
  listKey_ = key->publicKey;
  std::string unsigned_ = ListDocument("Intro line", kTwoFiles);
  const std::string shaLine = "SHA256=" + std::string(64, 'a') + "\r\n";
  for (std::size_t at = unsigned_.find("Size="); at != std::string::npos;
       at = unsigned_.find("Size=", at + shaLine.size() + 1))
    unsigned_.insert(at, shaLine);
  auto sign = [&](std::uint64_t serial, const engine::SigningKey& with, const std::string& doc,
                  std::string_view place = kBase) {
    return engine::SignListDocument(doc, serial, place, with.secretKey).value_or("(cannot sign)");
  };
  auto changed = [](std::string doc, const std::string& from, const std::string& to) {
    return doc.replace(doc.find(from), from.size(), to);
  };
  const std::string signed5 = sign(5, *key, unsigned_);
  std::string noSha = sign(6, *key, ListDocument("Intro line", kTwoFiles));
  const std::string refused = catalog_.GetText(136);
  struct Case {
    const char* name;
    std::string document;
    bool taken;
  } cases[] = {
      {"signed, serial 5", signed5, true},
      {"the same again", signed5, true},
      {"a Version changed", changed(signed5, "2.0.0.0", "2.0.0.1"), false},
      {"an MD5 changed", changed(signed5, "MD5=0", "MD5=1"), false},
      {"a File changed", changed(signed5, "Tolvaro.exe", "Tolvarx.exe"), false},
      {"a Comment changed", changed(signed5, "New codec", "New codex"), false},
      {"the intro changed", changed(signed5, "Intro line", "Intro Line"), false},
      {"another key", sign(7, *otherKey, unsigned_), false},
      {"an older list replayed", sign(4, *key, unsigned_), false},
      {"no signature", unsigned_, false},
      {"no SHA-256 for a file", noSha, false},
      {"another tree's list, higher serial", sign(50, *key, unsigned_, "http://127.0.0.5/beta/"), false},
      {"the place changed", changed(signed5, "tlv5.update/\r\n", "beta/\r\n"), false},
      {"a newer list, host in capitals", sign(8, *key, unsigned_, "HTTP://127.0.0.5/tlv5.update/"), true},
  };
  Open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    worker_.AddRun({ScriptedWorker::Document(10, c.document), ScriptedWorker::Finish(20, engine::kSucceeded)});
    EXPECT_EQ(dialog_->CheckForUpdates(), c.taken ? ui::kUpdatesFound : engine::kFailed);
    EXPECT_EQ(dialog_->currentList() != nullptr, c.taken);
    EXPECT_EQ(window_.Text(ui::kMessageArea), c.taken ? kTwoFilesMessage : refused);
  }
  const std::string serialKey = "ListSerial-" + engine::PlaceTag(kBase);
  EXPECT_EQ(std::count(written_.begin(), written_.end(), serialKey + "=5"), 1);
  EXPECT_EQ(written_.back(), serialKey + "=8");

  // Another place keeps a serial of its own (in a window opened again, before
  // its automatic check would start a run of its own).
  base_ = "http://127.0.0.5/beta/";
  dialog_.reset();
  Open();
  worker_.AddRun({ScriptedWorker::Document(10, sign(3, *key, unsigned_, base_)),
                  ScriptedWorker::Finish(20, engine::kSucceeded)});
  EXPECT_EQ(dialog_->CheckForUpdates(), ui::kUpdatesFound);
  EXPECT_EQ(written_.back(), "ListSerial-" + engine::PlaceTag(base_) + "=3");

  // A serial that cannot be remembered fails the check.
  refuseWrites_ = true;
  worker_.AddRun({ScriptedWorker::Document(10, sign(4, *key, unsigned_, base_)),
                  ScriptedWorker::Finish(20, engine::kSucceeded)});
  EXPECT_EQ(dialog_->CheckForUpdates(), engine::kFailed);
  EXPECT_EQ(dialog_->currentList(), nullptr);
}

TEST_F(UpdateDialogTest, WorkerThatCannotStartFailsTheRunWithCode4) {
  worker_.refuseStart = true;
  Open();
  window_.RunFor(kAutoCheck + 100);
  EXPECT_EQ(Now(), (View{"Retry", true, "Update failed.", kPressRetry, "", 0}));
  EXPECT_FALSE(window_.Timer(ui::kProgressTimer));
  EXPECT_TRUE(dialog_->lastRunFailed());
}

// An address that does not fit its field fails the check: neither "up to
// date" nor an offer of the files that fit.
TEST_F(UpdateDialogTest, AddressTooLongFailsTheCheck) {
  const std::string longName(230, 'n');
  for (bool longBase : {true, false}) {
    SCOPED_TRACE(longBase ? "list address" : "file address");
    base_ = longBase ? kBase + std::string(230, 'b') + "/" : kBase;
    dialog_.reset();
    Open();
    CheckWith(ListDocument("", {{"a.bin", 10, {"fits"}}, {longName, 20, {"too long"}}}));
    EXPECT_EQ(Now(), (View{"Retry", true, "Update failed.", kPressRetry, "", 0}));
    EXPECT_FALSE(dialog_->currentList());
    EXPECT_TRUE(dialog_->lastRunFailed());
  }
}

struct SizeCase {
  std::vector<std::int32_t> sizes;
  std::vector<bool> staged;
  const char* headline;
  std::int32_t progress;
};

void PrintTo(const SizeCase& c, std::ostream* os) { *os << Show(c.headline); }

class CheckSummaryTest : public UpdateDialogTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(CheckSummaryTest, HeadlineShowsTotalAndWhatIsLeft) {
  const SizeCase& c = GetParam();
  std::vector<Listed> files;
  for (std::size_t i = 0; i < c.sizes.size(); ++i) {
    std::string name = "file" + std::to_string(i) + ".bin";
    Listed f{name, c.sizes[i], {}};
    if (c.staged[i]) {
      std::string content = Content(name, static_cast<std::size_t>(c.sizes[i]));
      StageFile(name, content);
      f.md5 = Digest(content);
    }
    files.push_back(f);
  }
  Open();
  CheckWith(ListDocument("", files));
  EXPECT_EQ(Now().headline, c.headline);
  EXPECT_EQ(Now().progress, c.progress);
  EXPECT_TRUE(Now().mainEnabled);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, CheckSummaryTest,
    ::testing::Values(SizeCase{{13107200}, {false}, "A newer version is available. (total size:  12.50 Mb)", 0},
                      SizeCase{{1024, 1024},
                               {true, false},
                               "A newer version is available. (total size:  2.00 Kb, Remaining:  1024 bytes)",
                               100},
                      SizeCase{{1023}, {false}, "A newer version is available. (total size:  1023 bytes)", 0},
                      SizeCase{{1024}, {false}, "A newer version is available. (total size:  1.00 Kb)", 0},
                      SizeCase{{1048575}, {false}, "A newer version is available. (total size:  1024.00 Kb)", 0},
                      SizeCase{{1048576}, {false}, "A newer version is available. (total size:  1.00 Mb)", 0},
                      SizeCase{{1023, 1025},
                               {true, false},
                               "A newer version is available. (total size:  2.00 Kb, Remaining:  1.00 Kb)",
                               99},
                      SizeCase{{1048576, 1048576},
                               {false, true},
                               "A newer version is available. (total size:  2.00 Mb, Remaining:  1.00 Mb)",
                               100},
                      SizeCase{{500, 300},
                               {true, true},
                               "A newer version is available. (total size:  800 bytes, Remaining:  0 bytes)",
                               200}));

TEST_F(UpdateDialogTest, MessageAreaNumbersCommentsAcrossItems) {
  struct Case {
    const char* name;
    std::string document;
    std::string message;
    std::int32_t total;
  };
  const std::string item =
      "[Item]\r\nFile=a.txt\r\nMD5=0123456789abcdef0123456789abcdef\r\nSize=10\r\nVersion=1.0.0.0\r\n"
      "Comment=Only one\r\n";
  const std::vector<Case> cases = {
      {"two items", ListDocument("Intro line", kTwoFiles), kTwoFilesMessage, 4 * 1048576},
      {"empty intro", std::string(kMarker) + kMarker + item, "\r\n1. Only one\r\n", 10},
      {"item without comments", ListDocument("Hi", {{"a", 5, {"first"}}, {"b", 7, {}}, {"c", 9, {"second", "third"}}}),
       "Hi\r\n1. first\r\n2. second\r\n3. third\r\n", 21},
  };
  Open();
  window_.StopTimer(ui::kAutoCheckTimer);  // the checks below are started by hand
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    worker_.AddRun({ScriptedWorker::Document(10, c.document), ScriptedWorker::Finish(20, engine::kSucceeded)});
    EXPECT_EQ(dialog_->CheckForUpdates(), ui::kUpdatesFound);
    EXPECT_EQ(window_.Text(ui::kMessageArea), c.message);
    ASSERT_TRUE(dialog_->currentList());
    EXPECT_EQ(dialog_->currentList()->bytesTotal, c.total);
  }
}

TEST_F(UpdateDialogTest, NothingToFetchIsUpToDateAndLeavesTheMessageArea) {
  Open();
  CheckWith(ListDocument("Intro line", kTwoFiles));
  std::weak_ptr<UpdateList> earlier = dialog_->currentList();
  ASSERT_FALSE(earlier.expired());

  struct Case {
    const char* name;
    std::string document;
  };
  probe_ = [](const std::string&) { return engine::VersionNumber{3} << 48; };  // installed 3.0.0.0
  const std::vector<Case> cases = {
      {"no item blocks", std::string(kMarker) + "one line of intro\r\n" + kMarker},
      {"every file up to date", ListDocument("x", kTwoFiles)},
      {"not a list", "<html>Service unavailable</html>"},
      {"no body", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<ScriptedWorker::Step> steps;
    if (!c.document.empty()) steps.push_back(ScriptedWorker::Document(10, c.document));
    steps.push_back(ScriptedWorker::Finish(20, engine::kSucceeded));
    worker_.AddRun(std::move(steps));
    EXPECT_EQ(dialog_->CheckForUpdates(), ui::kUpToDate);
    EXPECT_TRUE(earlier.expired()) << "a new check releases the earlier list first";
    EXPECT_FALSE(dialog_->currentList());
    EXPECT_EQ(window_.Text(ui::kHeadline), kResultHeadlines[engine::kUpToDate]);
    EXPECT_EQ(window_.Text(ui::kMessageArea), kTwoFilesMessage);
    EXPECT_FALSE(dialog_->lastRunFailed());
  }
}

TEST_F(UpdateDialogTest, DownloadShowsSizesAndPercentageOnlyWhenTheyChange) {
  Open();
  CheckWith(ListDocument("", {{"big.bin", 20971520, {}}}));
  const std::int64_t start = window_.NowMs() + 100;
  worker_.AddRun({ScriptedWorker::Bytes(250, 5242880), ScriptedWorker::Finish(10000, engine::kFailed)});
  window_.ClickAt(start, ui::kMainButton);
  window_.At(start + 350, [&] {
    EXPECT_EQ(window_.Text(ui::kSizeDisplay), "5.00 Mb / 20.00 Mb");
    EXPECT_EQ(window_.Title(), "25% - Update Tolvaro DVD");
    EXPECT_EQ(window_.Progress(), 5242880);
    EXPECT_EQ(window_.Control(ui::kSizeDisplay).history,
              (std::vector<std::string>{"", "0.00 Mb / 20.00 Mb", "5.00 Mb / 20.00 Mb"}));
  });
  window_.RunFor(11000);
  std::vector<std::string> percentTitles;
  for (const std::string& t : window_.titles())
    if (t != kTitle) percentTitles.push_back(t);
  EXPECT_EQ(percentTitles, (std::vector<std::string>{"0% - Update Tolvaro DVD", "25% - Update Tolvaro DVD"}));

  // Download failed: its own texts; the title loses the percentage.
  EXPECT_EQ(Now(), (View{"Download", true, "Update failed.", kDownloadAgain, PageMessage(), 5242880}));
  EXPECT_EQ(window_.Title(), kTitle);
  EXPECT_TRUE(dialog_->lastRunFailed());
  EXPECT_TRUE(dialog_->currentList()) << "the list stays for another try";
}

TEST_F(UpdateDialogTest, PercentageOfLargeDownloadsIsTruncatedWithoutOverflow) {
  Open();
  CheckWith(ListDocument("", {{"huge.bin", 2000000000, {}}}));
  worker_.AddRun({ScriptedWorker::Bytes(50, 1999999999), ScriptedWorker::Finish(150, engine::kFailed)});
  window_.Click(ui::kMainButton);
  window_.At(window_.NowMs() + 120, [&] {
    EXPECT_EQ(window_.Title(), "99% - Update Tolvaro DVD");
    EXPECT_EQ(window_.Text(ui::kSizeDisplay), "1907.35 Mb / 1907.35 Mb");
  });
  window_.RunFor(300);
}

// The longest texts of a download (German, a speed below 10 Kb/s with
// nearly 100 hours left, sizes near 2 GB) are shown whole: the status line
// and the sizes each at least as wide as their text, side by side or one
// above the other, never over each other or the message area; afterwards
// the row is as before.
TEST_F(UpdateDialogTest, TheStatusRowShowsTheLongestTextsWhole) {
  texts_[121] = "Geschwindigkeit: %5.1f Kb/s    Verbleibende Zeit:";
  Open();
  const std::int32_t total = 2100000000;
  CheckWith(ListDocument("", {{"huge.bin", total, {}}}));
  const ui::Rect message = window_.Placement(ui::kMessageArea), status = window_.Placement(ui::kStatusLine);
  worker_.AddRun({ScriptedWorker::Bytes(10, 0), ScriptedWorker::Bytes(5100, 29600),
                  ScriptedWorker::Bytes(5200, total - 1), ScriptedWorker::Finish(5400, engine::kFailed)});
  window_.Click(ui::kMainButton);
  auto shownWhole = [&] {
    SCOPED_TRACE(window_.Text(ui::kStatusLine) + " | " + window_.Text(ui::kSizeDisplay));
    const ui::Rect line = window_.Placement(ui::kStatusLine), sizes = window_.Placement(ui::kSizeDisplay),
                   area = window_.Placement(ui::kMessageArea);
    EXPECT_LE(window_.MeasureText(ui::kStatusLine).width, line.width);
    EXPECT_LE(window_.MeasureText(ui::kSizeDisplay).width, sizes.width);
    EXPECT_LE(sizes.left + sizes.width, window_.ClientSize().width - 30);
    EXPECT_TRUE(sizes.top + sizes.height <= line.top || line.left + line.width <= sizes.left) << "apart";
    EXPECT_LE(area.top + area.height, std::min(line.top, sizes.top));
  };
  const std::int64_t start = window_.NowMs();
  window_.At(start + 5150, [&] {
    EXPECT_TRUE(window_.Text(ui::kStatusLine).ends_with(" Kb/s    Verbleibende Zeit: 98:32:04"));
    shownWhole();
  });
  window_.At(start + 5300, shownWhole);
  window_.RunFor(6000);
  EXPECT_EQ(window_.Placement(ui::kMessageArea), message);
  EXPECT_EQ(window_.Placement(ui::kStatusLine), status);
}

struct SpeedCase {
  const char* name;
  std::int32_t present;  // found staged at the start
  std::int32_t sample;   // bytes transferred before the 51st tick
  std::int32_t stillToFetch;
  const char* status;
};

void PrintTo(const SpeedCase& c, std::ostream* os) { *os << c.name; }

class SpeedTest : public UpdateDialogTest, public ::testing::WithParamInterface<SpeedCase> {};

TEST_P(SpeedTest, FirstSampleOnThe51stTick) {
  const SpeedCase& c = GetParam();
  const std::int32_t total = c.present + c.sample + c.stillToFetch;
  Open();
  CheckWith(ListDocument("", {{"a.bin", total, {}}}));
  const std::int64_t start = 1000;
  worker_.AddRun({ScriptedWorker::Bytes(10, c.present, c.present),
                  ScriptedWorker::Bytes(5100, c.present + c.sample, c.present),
                  ScriptedWorker::Finish(12000, engine::kFailed)});
  window_.ClickAt(start, ui::kMainButton);
  window_.At(start + 5099, [&] { EXPECT_EQ(window_.Text(ui::kStatusLine), "") << "nothing before the sample"; });
  window_.At(start + 5101, [&] { EXPECT_EQ(window_.Text(ui::kStatusLine), c.status); });
  // No bytes in the next sample: stalled.
  window_.At(start + 10199, [&] { EXPECT_EQ(window_.Text(ui::kStatusLine), c.status); });
  window_.At(start + 10201, [&] {
    EXPECT_EQ(window_.Text(ui::kStatusLine), "Speed:   0.0 Kb/s    Remaining: ??");
    const auto& history = window_.Control(ui::kStatusLine).history;
    EXPECT_EQ(
        std::count_if(history.begin(), history.end(), [](const std::string& t) { return t.starts_with("Speed:"); }), 2)
        << "the status line changes once per sample";
  });
  window_.RunFor(start + 12100 - window_.NowMs());
  EXPECT_EQ(Now().headline, "Update failed.");
}

INSTANTIATE_TEST_SUITE_P(
    Samples, SpeedTest,
    ::testing::Values(
        SpeedCase{"example", 0, 1024000, 15728640, "Speed: 200.0 Kb/s    Remaining: 00:01:16"},
        SpeedCase{"staged bytes are no speed", 3000000, 1024000, 15728640, "Speed: 200.0 Kb/s    Remaining: 00:01:16"},
        SpeedCase{"stalled", 0, 0, 5000, "Speed:   0.0 Kb/s    Remaining: ??"},
        SpeedCase{"below one byte per second", 0, 4, 5000, "Speed:   0.0 Kb/s    Remaining: ??"},
        SpeedCase{"just under 100 hours", 0, 5120, 359999 * 1024, "Speed:   1.0 Kb/s    Remaining: 99:59:59"},
        SpeedCase{"100 hours", 0, 5120, 360000 * 1024, "Speed:   1.0 Kb/s    Remaining: ??"}),
    [](const ::testing::TestParamInfo<SpeedCase>& sample) {
      std::string n = sample.param.name;
      for (char& ch : n)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return n;
    });

// While a transfer waits to try again, the status line says so in place of
// the speed.
TEST_F(UpdateDialogTest, RetryingShowsInTheStatusLine) {
  Open();
  CheckWith(ListDocument("", {{"a.bin", 5000000, {}}}));
  worker_.AddRun({ScriptedWorker::Bytes(10, 1000), {5050, [](engine::UpdateList& list) { list.retrying = 1; }},
                  ScriptedWorker::Finish(6000, engine::kFailed)});
  window_.ClickAt(1000, ui::kMainButton);
  window_.At(1000 + 5101, [&] { EXPECT_EQ(window_.Text(ui::kStatusLine), "The connection was lost. Trying again..."); });
  window_.RunFor(7100 - window_.NowMs());
}

TEST_F(UpdateDialogTest, CheckGivesUpOnThe201stTick) {
  Open();
  // A worker stuck for a minute, deaf to stop requests, that then writes to
  // its list.
  worker_.AddRun({ScriptedWorker::Bytes(60000, 777), ScriptedWorker::Finish(60001, engine::kSucceeded)}, -1);
  window_.At(kAutoCheck + 20050, [&] {
    EXPECT_EQ(Now().headline, kChecking);
    EXPECT_EQ(window_.Progress(), 200) << "the bar stops at 200";
  });
  window_.RunFor(kAutoCheck);
  EXPECT_EQ(window_.NowMs(), kAutoCheck + 20100) << "200 ticks animate, the 201st gives up";
  EXPECT_EQ(Now(), (View{"Retry", true, "Cannot connect to the Quorva web server.", kPressRetry, "", 0}));
  EXPECT_FALSE(dialog_->currentList());
  EXPECT_TRUE(dialog_->lastRunFailed());

  // The worker goes on with its own list and cannot touch the window.
  auto running = worker_.runs()[0];
  EXPECT_FALSE(running->ended);
  EXPECT_EQ(running->list->runControl.load(), engine::kStop) << "the abandoned worker is asked to stop";
  window_.RunFor(60000);
  EXPECT_TRUE(running->ended);
  EXPECT_EQ(running->list->bytesDone.load(), 777);
  EXPECT_EQ(Now().headline, "Cannot connect to the Quorva web server.");
}

TEST_F(UpdateDialogTest, ConfirmationHoldsTheCheckAnimationAndCancelGoesOn) {
  texts_[134] = "Abbrechen";  // a language file's label; OK stays built in
  Open();
  worker_.AddRun({ScriptedWorker::Finish(600000, engine::kSucceeded)});
  window_.ClickAt(kAutoCheck + 1050, ui::kCloseButton);
  int asked = 0;
  window_.onAsk = [&](const testsupport::AskedBox& box) {
    ++asked;
    EXPECT_EQ(box.text, "Press OK to cancel the update.\n");
    EXPECT_EQ(box.caption, "Message");
    EXPECT_EQ(box.icon, ui::MessageIcon::kQuestion);
    EXPECT_EQ(box.okLabel + "|" + box.cancelLabel, "OK|Abbrechen");
    EXPECT_EQ(dialog_->currentList()->runControl.load(), engine::kHold);
    EXPECT_EQ(window_.Progress(), 10);
    window_.RunFor(3000);  // timers keep running while the box is open
    EXPECT_EQ(window_.Progress(), 10) << "the animation stands still";
    return ui::Answer::kCancel;
  };
  window_.RunFor(kAutoCheck);
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(window_.NowMs(), kAutoCheck + 23100) << "the time-out moves on by the time the box was open";
  EXPECT_EQ(Now().headline, "Cannot connect to the Quorva web server.");
  EXPECT_FALSE(window_.IsDestroyed());
}

TEST_F(UpdateDialogTest, CloseWithOkDuringACheckStopsAndCloses) {
  Open();
  worker_.AddRun({ScriptedWorker::Finish(600000, engine::kSucceeded)}, 30);
  window_.answers.push_back(ui::Answer::kOk);
  window_.ClickAt(kAutoCheck + 500, ui::kCloseButton);
  window_.RunMessageLoop();
  EXPECT_TRUE(window_.IsDestroyed());
  EXPECT_EQ(window_.destroyedAtMs(), kAutoCheck + 530) << "once the worker has stopped";
  EXPECT_EQ(worker_.runs()[0]->list->resultCode.load(), engine::kAborted);
  EXPECT_EQ(Now().headline, kAborted);
  EXPECT_TRUE(dialog_->closeWhenIdle());
  dialog_.reset();
  EXPECT_EQ(written_, (std::vector<std::string>{"UpdateTime=105", "UpdateTime="}));
}

class DownloadRunTest : public UpdateDialogTest {
 protected:
  // Checks and starts a download whose worker runs until `end` unless stopped.
  void StartDownload(std::int64_t stopDelayMs, std::int64_t endMs = 600000) {
    Open();
    CheckWith(ListDocument("Intro line", kTwoFiles));
    worker_.AddRun({ScriptedWorker::Bytes(1000, 1048576), ScriptedWorker::Bytes(endMs - 1, 4 * 1048576),
                    ScriptedWorker::Finish(endMs, engine::kSucceeded)},
                   stopDelayMs);
    downloadStart_ = window_.NowMs() + 50;
    window_.ClickAt(downloadStart_, ui::kMainButton);
  }
  const ScriptedWorker::Run& DownloadRun() const { return *worker_.runs().at(1); }
  std::int64_t downloadStart_ = 0;
};

TEST_F(DownloadRunTest, AbortStopsWithoutAQuestionAndDownloadResumes) {
  StartDownload(40);
  window_.ClickAt(downloadStart_ + 2000, ui::kMainButton);
  window_.RunUntil([&] { return window_.Text(ui::kHeadline) == kAborted; }, 10000);
  EXPECT_EQ(window_.NowMs(), downloadStart_ + 2040);
  EXPECT_TRUE(window_.boxes().empty());
  EXPECT_EQ(Now(), (View{"Download", true, kAborted, kDownloadAgain, PageMessage(), 1048576}));
  EXPECT_EQ(window_.Title(), kTitle);
  EXPECT_FALSE(window_.IsShown(ui::kSizeDisplay));
  EXPECT_FALSE(window_.IsDestroyed());

  // Download again: the same list, counters reset.
  auto list = dialog_->currentList();
  EXPECT_EQ(DownloadRun().list, list);
  worker_.AddRun({ScriptedWorker::Bytes(100, 4 * 1048576, 1048576), ScriptedWorker::Finish(200, engine::kSucceeded)});
  window_.At(window_.NowMs() + 50, [&] {
    EXPECT_EQ(list->bytesDone.load(), 0);
    EXPECT_EQ(list->runControl.load(), engine::kRun);
  });
  window_.Click(ui::kMainButton);
  window_.RunFor(500);
  ASSERT_EQ(worker_.runs().size(), 3u);
  EXPECT_EQ(worker_.runs()[2]->list, list);
  EXPECT_EQ(Now().headline, kCompleted);
}

TEST_F(DownloadRunTest, CloseDuringADownloadAsksAndCancelLetsItGoOn) {
  StartDownload(0, 3000);
  window_.ClickAt(downloadStart_ + 1500, ui::kCloseButton);
  window_.onAsk = [&](const testsupport::AskedBox&) {
    EXPECT_EQ(DownloadRun().list->runControl.load(), engine::kHold);
    window_.RunFor(200);
    return ui::Answer::kCancel;
  };
  window_.RunFor(5000);
  EXPECT_EQ(window_.boxes().size(), 1u);
  EXPECT_EQ(DownloadRun().list->runControl.load(), engine::kRun) << "the remembered value comes back";
  EXPECT_EQ(Now().headline, kCompleted);
  EXPECT_FALSE(window_.IsDestroyed());
}

TEST_F(DownloadRunTest, CloseDuringADownloadWithOkStopsAndClosesWhenTheRunEnds) {
  StartDownload(250);
  window_.answers.push_back(ui::Answer::kOk);
  window_.ClickAt(downloadStart_ + 1500, ui::kCloseButton);
  window_.RunMessageLoop();
  EXPECT_TRUE(window_.IsDestroyed());
  EXPECT_EQ(window_.destroyedAtMs(), downloadStart_ + 1750);
  const auto& headlines = window_.Control(ui::kHeadline).history;
  EXPECT_EQ(headlines.back(), kAborted) << "the aborted state is entered briefly";
  EXPECT_EQ(Now().status, kDownloadAgain);
  EXPECT_TRUE(dialog_->lastRunFailed());
  dialog_.reset();
  EXPECT_EQ(written_.back(), "UpdateTime=");
}

struct StopWaitCase {
  std::int64_t stopDelay;  // -1: the worker never reacts
  std::int64_t endsAfter;
  bool givenUp;
};

class StopWaitTest : public DownloadRunTest, public ::testing::WithParamInterface<StopWaitCase> {};

TEST_P(StopWaitTest, EndsWithinFiveSecondsAndLeavesTheWorkerItsList) {
  const StopWaitCase& c = GetParam();
  StartDownload(c.stopDelay);
  const std::int64_t abortAt = downloadStart_ + 1500;
  window_.ClickAt(abortAt, ui::kMainButton);
  window_.RunUntil([&] { return window_.Text(ui::kHeadline) == kAborted; }, 20000);
  EXPECT_EQ(window_.NowMs(), abortAt + c.endsAfter);
  const auto running = DownloadRun().list;
  EXPECT_EQ(dialog_->currentList() != running, c.givenUp);
  EXPECT_FALSE(running->workerActive.load());
  ASSERT_TRUE(dialog_->currentList());
  const UpdateList& kept = *dialog_->currentList();
  EXPECT_EQ(kept.resultCode.load(), engine::kAborted);
  ASSERT_EQ(kept.items.size(), 2u);
  EXPECT_EQ(kept.items[1]->url, std::string(kBase) + "dvd/Language/Deutsch.ini");
  EXPECT_EQ(kept.items[1]->size, 1048576);
  EXPECT_EQ(kept.bytesTotal, 4 * 1048576);

  // A worker left running writes only to its own list; a new download gets
  // a list that no other worker knows.
  window_.RunFor(600000);
  EXPECT_EQ(running->bytesDone.load(), c.givenUp ? 4 * 1048576 : 1048576);
  EXPECT_EQ(dialog_->currentList()->bytesDone.load(), 1048576);
  worker_.AddRun({ScriptedWorker::Finish(100, engine::kSucceeded)});
  window_.Click(ui::kMainButton);
  window_.RunFor(300);
  EXPECT_EQ(worker_.runs().back()->list, dialog_->currentList());
  EXPECT_EQ(worker_.runs().back()->list != running, c.givenUp);
  EXPECT_EQ(Now().headline, kCompleted);
}

INSTANTIATE_TEST_SUITE_P(Workers, StopWaitTest,
                         ::testing::Values(StopWaitCase{4990, 4990, false}, StopWaitCase{-1, 5000, true}));

TEST_F(DownloadRunTest, KeysDuringARun) {
  testsupport::WriteFile(app() + "help.chm", "");
  StartDownload(0);
  const std::int64_t t = downloadStart_ + 500;
  int step = 0;
  auto press = [&](Key key, int focusAfter) {
    window_.PressKeyAt(t + 10 * step, key);
    window_.At(t + 10 * step + 5,
               [this, focusAfter, step] { EXPECT_EQ(window_.FocusedControl(), focusAfter) << "after key " << step; });
    ++step;
  };
  // The main button has the focus after the check.
  press(Key::kTab, ui::kCloseButton);
  press(Key::kRight, ui::kHelpButton);
  press(Key::kTab, ui::kMessageArea);
  press(Key::kRight, ui::kMainButton);
  press(Key::kLeft, ui::kMessageArea);
  press(Key::kLeft, ui::kHelpButton);
  press(Key::kEnter, ui::kHelpButton);   // help
  press(Key::kEscape, ui::kHelpButton);  // nothing
  press(Key::kF1, ui::kHelpButton);      // nothing
  press(Key::kOther, ui::kHelpButton);   // nothing
  press(Key::kLeft, ui::kCloseButton);
  press(Key::kEnter, ui::kCloseButton);  // the question; Cancel
  press(Key::kLeft, ui::kMainButton);
  window_.At(t + 10 * step, [&] {
    EXPECT_EQ(window_.helpTopics().size(), 1u);
    EXPECT_EQ(window_.boxes().size(), 1u);
    EXPECT_FALSE(window_.IsDestroyed()) << "Esc does nothing during a run";
    EXPECT_EQ(Now().headline, kDownloading);
  });
  press(Key::kEnter, ui::kMainButton);  // abort
  window_.RunUntil([&] { return window_.Text(ui::kHeadline) == kAborted; }, 10000);
  EXPECT_EQ(window_.NowMs(), t + 10 * (step - 1));
  EXPECT_EQ(window_.boxes().size(), 1u) << "Abort asks nothing";

  // Outside a run the front end's own keys apply: F1 is help, Esc closes.
  window_.PressKey(Key::kF1);
  window_.RunFor(10);
  EXPECT_EQ(window_.helpTopics().size(), 2u);
  window_.PressKey(Key::kEscape);
  window_.RunFor(10);
  EXPECT_TRUE(window_.IsDestroyed());
}

TEST_F(UpdateDialogTest, SilentCheckShowsTheWindowOnlyWhenUpdatesAreFound) {
  struct Case {
    const char* name;
    std::vector<ScriptedWorker::Step> steps;
    bool shown;
    std::vector<std::string> written;
  };
  std::vector<Case> cases;
  cases.push_back({"up to date",
                   {ScriptedWorker::Document(10, std::string(kMarker) + "x\r\n" + kMarker),
                    ScriptedWorker::Finish(20, engine::kSucceeded)},
                   false,
                   {"UpdateTime=61"}});
  cases.push_back(
      {"failed", {ScriptedWorker::Finish(20, engine::kCannotConnect)}, false, {"UpdateTime=61", "UpdateTime="}});
  cases.push_back({"updates",
                   {ScriptedWorker::Document(10, ListDocument("Intro line", kTwoFiles)),
                    ScriptedWorker::Finish(20, engine::kSucceeded)},
                   true,
                   {"UpdateTime=61"}});
  today_ = {2000, 1, 31};
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    written_.clear();
    FakeWindow window;
    ScriptedWorker worker(window);
    worker.AddRun(std::move(c.steps));
    auto dialog = std::make_unique<ui::UpdateDialog>(ServicesFor(window, worker));
    dialog->InitWindow();
    dialog->SetSilentMode(true);
    EXPECT_FALSE(window.IsVisible());
    window.RunUntil([&] { return window.IsDestroyed() || window.IsVisible(); }, 5000);
    EXPECT_EQ(window.everShown(), c.shown);
    EXPECT_EQ(window.IsDestroyed(), !c.shown);
    EXPECT_EQ(dialog->WindowDestroyed(), !c.shown);
    if (c.shown) {
      EXPECT_EQ(window.FocusedControl(), ui::kMainButton);
      EXPECT_TRUE(window.IsEnabled(ui::kMainButton));
    }
    dialog.reset();
    EXPECT_EQ(written_, c.written);
  }
}

TEST_F(UpdateDialogTest, DownloadWithoutTheRightsGoesToACopyWithThemOrSaysWhy) {
  using platform::ElevationResult;
  using platform::FailureCause;
  const std::string noRights = "Only an administrator may change the folder /opt/Tolvaro, where the update is saved.";
  const std::string noRightsHeadline = "Update error: administrator rights are needed.";
  struct Case {
    FailureCause cause;
    std::optional<ElevationResult> elevation;  // none: this copy may not ask
    std::string headline;                       // empty: handed over, the window ends
    std::string message;
  };
  const Case kCases[] = {
      {FailureCause::kNoRights, ElevationResult::kEnded, "", ""},
      {FailureCause::kNoRights, ElevationResult::kRefused, noRightsHeadline, noRights},
      {FailureCause::kNoRights, ElevationResult::kUnavailable, noRightsHeadline,
       noRights + "\n\nAn administrator can run this command to update:\nsudo '/opt/Tolvaro/Harbinor'"},
      {FailureCause::kNoRights, std::nullopt, noRightsHeadline, noRights},
      {FailureCause::kDiskFull, ElevationResult::kEnded, "Update error: the disk is full.",
       "There is not enough free space on the disk for the folder /opt/Tolvaro."},
  };
  for (const Case& c : kCases) {
    FakeWindow window;
    ScriptedWorker worker(window);
    worker.AddRun({ScriptedWorker::Document(10, ListDocument("Intro line", kTwoFiles)),
                   ScriptedWorker::Finish(20, engine::kSucceeded)});
    ui::DialogServices services = ServicesFor(window, worker);
    services.checkAccess = [&](const std::string&) { return engine::FolderAccess{false, c.cause, "/opt/Tolvaro"}; };
    std::vector<std::string> asked;
    bool shownWhileAsked = false;
    if (c.elevation)
      services.runElevated = [&](const std::vector<std::string>& step) {
        asked = step;
        shownWhileAsked = window.IsVisible();
        return platform::ElevatedRun{*c.elevation, 0};
      };
    services.administratorCommand = [](const std::vector<std::string>& step) {
      return step.empty() ? "sudo '/opt/Tolvaro/Harbinor'" : "wrong step";
    };
    ui::UpdateDialog dialog(std::move(services));
    dialog.InitWindow();
    window.ShowWindow();
    window.RunFor(kAutoCheck + 50);
    window.Click(ui::kMainButton);
    window.RunFor(100);
    SCOPED_TRACE(c.message);
    EXPECT_EQ(worker.runs().size(), 1u) << "nothing is downloaded by this copy";
    bool mayAsk = c.cause == FailureCause::kNoRights && c.elevation;
    EXPECT_EQ(asked, mayAsk ? std::vector<std::string>{"--download"} : std::vector<std::string>{});
    EXPECT_FALSE(shownWhileAsked) << "the window is out of the way while the other copy runs";
    EXPECT_EQ(window.IsDestroyed(), c.headline.empty());
    EXPECT_EQ(window.IsVisible(), !c.headline.empty());
    if (c.headline.empty()) continue;
    EXPECT_EQ(std::vector<std::string>({window.Text(ui::kHeadline), window.Text(ui::kMessageArea),
                                        window.Text(ui::kStatusLine), window.Text(ui::kMainButton)}),
              std::vector<std::string>({c.headline, c.message, kDownloadAgain, "Download"}));
  }

  // Each refusal leaves its line in the failure log.
  const std::string denied = "download: /opt/Tolvaro: no permission";
  EXPECT_EQ(logged_, std::vector<std::string>({denied + "; administrator rights refused",
                                               denied + "; no way to ask for administrator rights", denied,
                                               "download: /opt/Tolvaro: the disk is full"}));
  logged_.clear();

  // The copy that took the download over starts it by itself, and a save
  // that fails on the way says why.
  dialog_ = std::make_unique<ui::UpdateDialog>(Services());
  dialog_->SetDownloadAtOnce(true);
  ASSERT_TRUE(dialog_->InitWindow());
  worker_.AddRun({ScriptedWorker::Document(10, ListDocument("Intro line", kTwoFiles)),
                  ScriptedWorker::Finish(20, engine::kSucceeded)});
  worker_.AddRun({ScriptedWorker::Bytes(100, 1048576), ScriptedWorker::Finish(200, engine::kCannotSave)});
  window_.At(kAutoCheck + 150, [&] {
    ASSERT_EQ(worker_.runs().size(), 2u) << "the download started without a click";
    worker_.runs()[1]->list->saveCause = FailureCause::kNoRights;
    worker_.runs()[1]->list->saveFolder = "/opt/Tolvaro";
    worker_.runs()[1]->list->failureReason = "/opt/Tolvaro/a.dll: no permission";
  });
  window_.RunFor(kAutoCheck + 1000);
  EXPECT_EQ(Now().headline, noRightsHeadline);
  EXPECT_EQ(Now().message, noRights);
  EXPECT_EQ(logged_, std::vector<std::string>{"download: /opt/Tolvaro/a.dll: no permission"});
}

TEST_F(UpdateDialogTest, FinishedDownloadWaitingAtStart) {
  testsupport::WriteFile(app() + "dvd/@update@.log", "");
  for (int order = 0; order < 3; ++order) {  // interactive; silent set after, or before, the initialisation
    SCOPED_TRACE(order);
    FakeWindow window;
    ScriptedWorker worker(window);
    auto dialog = std::make_unique<ui::UpdateDialog>(ServicesFor(window, worker));
    if (order == 2) dialog->SetSilentMode(true);
    dialog->InitWindow();
    if (order == 1) dialog->SetSilentMode(true);
    if (order == 0) window.ShowWindow();
    EXPECT_TRUE(window.IsVisible()) << "there must be a way to end the program";
    EXPECT_FALSE(window.Timer(ui::kAutoCheckTimer));
    window.RunFor(2000);
    EXPECT_TRUE(worker.runs().empty()) << "no check";
    EXPECT_EQ(window.Text(ui::kMainButton), "Download");
    EXPECT_FALSE(window.IsEnabled(ui::kMainButton));
    EXPECT_EQ(window.Text(ui::kHeadline), kCompleted);
    EXPECT_EQ(window.Text(ui::kMessageArea), kRestart);
    EXPECT_EQ(window.Text(ui::kStatusLine), "");
    EXPECT_EQ(window.Progress(), 0);
    window.Click(ui::kCloseButton);
    window.RunFor(10);
    EXPECT_TRUE(window.IsDestroyed());
  }
}

TEST_F(UpdateDialogTest, LayoutFollowsTheTextsAndTheFont) {
  struct Case {
    const char* name;
    std::map<std::uint32_t, std::string> texts;
    ui::Size outer;
    std::string face;
    int height;
    int closeWidth, mainWidth, helpWidth;
  };
  const std::vector<Case> cases = {
      {"defaults", {}, {500, 310}, "Arial", 12, 95, 95, 95},
      {"longer close label", {{129, "Close this window now"}}, {500, 310}, "Arial", 12, 157, 95, 95},
      {"longer main label", {{103, "Herunterladen jetzt"}}, {500, 310}, "Arial", 12, 95, 143, 95},
      {"size without a comma", {{114, "640"}, {115, "Tahoma"}, {116, " 16px"}}, {640, 310}, "Tahoma", 16, 95, 95, 95},
      {"other size", {{114, "600,400"}}, {600, 400}, "Arial", 12, 95, 95, 95},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeWindow window;
    ScriptedWorker worker(window);
    texts_ = c.texts;
    ui::UpdateDialog dialog(ServicesFor(window, worker));
    dialog.InitWindow();
    EXPECT_EQ(window.OuterSize().width, c.outer.width);
    EXPECT_EQ(window.OuterSize().height, c.outer.height);
    EXPECT_EQ(window.fontFace(), c.face);
    EXPECT_EQ(window.fontHeight(), c.height);
    const int w = window.ClientSize().width, h = window.ClientSize().height;
    EXPECT_EQ(window.Placement(ui::kHeadline), (ui::Rect{30, 25, 459, 18}));
    EXPECT_EQ(window.Placement(ui::kMessageArea), (ui::Rect{30, 50, w - 60, 120}));
    EXPECT_EQ(window.Placement(ui::kStatusLine), (ui::Rect{30, 185, w - 60, 18}));
    EXPECT_EQ(window.Placement(ui::kSizeDisplay), (ui::Rect{w - 180, 185, 150, 18}));
    EXPECT_EQ(window.Placement(ui::kProgressBar), (ui::Rect{30, 205, w - 60, 18}));
    const int closeLeft = w - 30 - c.closeWidth;
    const int mainLeft = closeLeft - 30 - c.mainWidth;
    EXPECT_EQ(window.Placement(ui::kCloseButton), (ui::Rect{closeLeft, h - 42, c.closeWidth, 26}));
    EXPECT_EQ(window.Placement(ui::kMainButton), (ui::Rect{mainLeft, h - 42, c.mainWidth, 26}));
    EXPECT_EQ(window.Placement(ui::kHelpButton), (ui::Rect{mainLeft - 30 - c.helpWidth, h - 42, c.helpWidth, 26}));
  }
}

TEST_F(UpdateDialogTest, OnlyWebAndMailLinksAreOpened) {
  Open();
  const std::string longLink = "http://www.tolvaro.example/" + std::string(300, 'a');
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"http://www.tolvaro.example/download/", "http://www.tolvaro.example/download/"},
      {"www.tolvaro.example/news", "http://www.tolvaro.example/news"},
      {"HTTPS://secure.tolvaro.example/", "HTTPS://secure.tolvaro.example/"},
      {"mailto:support@tolvaro.example", "mailto:support@tolvaro.example"},
      {"file:///etc/passwd", ""},
      {"/usr/bin/xterm", ""},
      {"C:\\Windows\\system32\\calc.exe", ""},
      {"javascript:alert(1)", ""},
      {"ftp://files.tolvaro.example/", ""},
      {" http://leading.blank/", ""},
      {"http", ""},
  };
  std::vector<std::string> expected;
  for (const auto& [link, opened] : cases) {
    window_.ClickLink(link);
    if (!opened.empty()) expected.push_back(opened);
  }
  window_.ClickLink(longLink);
  expected.push_back(longLink.substr(0, 259));
  window_.RunFor(10);
  EXPECT_EQ(window_.links(), expected);
}

TEST_F(UpdateDialogTest, HelpOpensTheTopicOfTheHelpFileOrSaysItIsMissing) {
  Open();
  window_.Click(ui::kHelpButton);
  window_.RunFor(10);
  EXPECT_TRUE(window_.helpTopics().empty());
  EXPECT_EQ(window_.Text(ui::kStatusLine), "The help file help.chm is missing.");
  testsupport::WriteFile(app() + "help.chm", "");
  window_.Click(ui::kHelpButton);
  window_.PressKey(Key::kF1);
  window_.RunFor(10);
  using Topic = std::pair<std::string, std::string>;
  EXPECT_EQ(window_.helpTopics(),
            (std::vector<Topic>{{app() + "help.chm", "/htm/chap00-2.htm"}, {app() + "help.chm", "/htm/chap00-2.htm"}}));
}

TEST_F(UpdateDialogTest, LanguageTextsAreNeverUsedAsPrintfFormats) {
  texts_[106] = "%d%n%s %s %% %x";
  texts_[121] = "%s%n %08.3f%f|";
  Open();
  CheckWith(ListDocument("", {{"a.bin", 2048, {}}}));
  EXPECT_EQ(Now().headline, "%d%n 2.00 Kb %s % %x");
  worker_.AddRun({ScriptedWorker::Bytes(5100, 1024), ScriptedWorker::Finish(5200, engine::kFailed)});
  window_.ClickAt(1000, ui::kMainButton);
  window_.At(1000 + 5101, [&] { EXPECT_EQ(window_.Text(ui::kStatusLine), "%s%n 0000.200%f| 00:00:05"); });
  window_.RunFor(7000);
  EXPECT_EQ(Now().headline, "Update failed.");
}

// --- The real worker against a loopback server ---

class RealWorkerTest : public UpdateDialogTest {
 protected:
  void SetUp() override {
    window_.realSleepUsPerWait = 1000;
    if (withServer_) {
      server_.emplace(5);
      ASSERT_TRUE(server_->listening()) << "cannot listen on 127.0.0.5:80";
    }
  }

  void TearDown() override {
    dialog_.reset();
    server_.reset();
    // A worker the window gave up on ends on its own; wait for it so that
    // nothing outlives the test.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (auto& started : started_) {
      while (!started.expired() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      EXPECT_TRUE(started.expired()) << "a worker still holds its list";
    }
  }

  void OpenWithRealWorker() {
    dialog_ = std::make_unique<ui::UpdateDialog>([this] {
      ui::DialogServices s = Services();
      s.startWorker = [this](std::shared_ptr<UpdateList> list) {
        started_.push_back(list);
        return engine::StartDownloadWorker(std::move(list));
      };
      return s;
    }());
    ASSERT_TRUE(dialog_->InitWindow());
    window_.ShowWindow();
  }

  bool RunUntilHeadline(const std::string& headline) {
    return window_.RunUntil([&] { return window_.Text(ui::kHeadline) == headline; }, 60000);
  }

  std::string RequestPath(std::size_t i) {
    auto requests = server_->Requests();
    if (i >= requests.size()) return "(none)";
    const std::string& r = requests[i];
    return r.substr(4, r.find(" HTTP/1.1") - 4);
  }

  bool withServer_ = true;
  std::optional<testsupport::LoopbackServer> server_;
  std::vector<std::weak_ptr<UpdateList>> started_;
};

TEST_F(RealWorkerTest, ChecksAndDownloadsEndToEnd) {
  const std::string notes = Content("notes", 3000), lang = Content("lang", 1500);
  server_->Enqueue(testsupport::RespondOk(ListDocument("Tolvaro 5.1\r\nSee http://www.tolvaro.example/news",
                                                       {{"notes.txt", 3000, {"Release notes"}, Digest(notes)},
                                                        {"Language/Deutsch.ini", 1500, {"German"}, Digest(lang)}})));
  StageFile("Language/Deutsch.ini", lang);  // staged by an earlier run
  server_->Enqueue(testsupport::RespondOk(notes));
  OpenWithRealWorker();
  ASSERT_TRUE(RunUntilHeadline("A newer version is available. (total size:  4.39 Kb, Remaining:  2.93 Kb)"))
      << Show(window_.Text(ui::kHeadline));
  EXPECT_EQ(Now(),
            (View{"Download", true, "A newer version is available. (total size:  4.39 Kb, Remaining:  2.93 Kb)",
                  kPressDownload,
                  "Tolvaro 5.1\r\nSee http://www.tolvaro.example/news\r\n1. Release notes\r\n2. German\r\n", 66}));
  EXPECT_EQ(RequestPath(0), "/tlv5.update/tlv5.php");

  window_.Click(ui::kMainButton);
  ASSERT_TRUE(RunUntilHeadline(kCompleted)) << Show(window_.Text(ui::kHeadline));
  EXPECT_EQ(Now(), (View{"Download", false, kCompleted, "", kRestart, 4500}));
  EXPECT_EQ(testsupport::ReadFile(app() + "dvd/notes.txt"), notes);
  EXPECT_TRUE(testsupport::PathExists(app() + "dvd/@update@.log"));
  EXPECT_EQ(RequestPath(1), "/tlv5.update/dvd/notes.txt");
  EXPECT_EQ(server_->Requests().size(), 2u) << "the staged file is not fetched again";
}

TEST_F(RealWorkerTest, UpToDateWhenNothingIsNewer) {
  server_->Enqueue(testsupport::RespondOk(ListDocument("x", {{"notes.txt", 10, {"c"}}})));
  probe_ = [](const std::string&) { return engine::VersionNumber{2} << 48; };  // installed 2.0.0.0
  OpenWithRealWorker();
  ASSERT_TRUE(RunUntilHeadline(kResultHeadlines[engine::kUpToDate]));
  EXPECT_EQ(Now(), (View{"Check", false, kResultHeadlines[engine::kUpToDate], "", "", 200}));
  EXPECT_FALSE(dialog_->lastRunFailed());
}

TEST_F(RealWorkerTest, StalledServerEndsTheCheckAfterTwentySeconds) {
  server_->Enqueue(testsupport::RespondThenStall("HTTP/1.1 200 OK\r\n\r\n@TLV-DVD", 120000));
  OpenWithRealWorker();
  ASSERT_TRUE(RunUntilHeadline("Cannot connect to the Quorva web server."));
  EXPECT_EQ(window_.NowMs(), kAutoCheck + 20100);
  EXPECT_EQ(Now(), (View{"Retry", true, "Cannot connect to the Quorva web server.", kPressRetry, "", 0}));
  ASSERT_EQ(started_.size(), 1u);
  // The server still stalls; the abandoned worker ends on the stop request.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!started_[0].expired() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(started_[0].expired());
}

class NoServerTest : public RealWorkerTest {
 protected:
  NoServerTest() { withServer_ = false; }
};

TEST_F(NoServerTest, NoConnectionOffersRetry) {
  OpenWithRealWorker();
  ASSERT_TRUE(RunUntilHeadline("Cannot connect to the Quorva web server."));
  EXPECT_EQ(Now(), (View{"Retry", true, "Cannot connect to the Quorva web server.", kPressRetry, "", 0}));
  EXPECT_LT(window_.NowMs(), kAutoCheck + 20000);
  dialog_.reset();
  EXPECT_EQ(written_, (std::vector<std::string>{"UpdateTime=105", "UpdateTime="}));
}

}  // namespace
