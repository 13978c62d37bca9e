// The fixture of the install window's tests on every system: an application
// folder of its own with the staging folder "dvd" in it, the scripted
// window, and the pauses between retries counted instead of slept.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "ui/install_dialog.h"
#include "platform/facts.h"
#include "platform/files.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_window.h"
#include "tests/support/temp_folder.h"

namespace installtest {

using ui::DialogResult;
using ui::InstallDialog;
using platform::kMainAppFileName;
using platform::kUpdaterFileName;
using testsupport::PathExists;
using testsupport::ReadFile;
using testsupport::WriteFile;

class InstallDialogTest : public ::testing::Test {
 protected:
  void SetUp() override { window_.realSleepUsPerWait = 200; }

  // The application folder, ending with the separator; `relative` ("a/b")
  // in it, with the system's separators.
  std::string app() const { return root_.path() + platform::kPathSeparator; }
  std::string At(std::string_view relative) const { return root_ / relative; }

  ui::InstallServices Services() {
    ui::InstallServices s;
    s.applicationFolder = app();
    s.programPath = At(kUpdaterFileName);
    s.text = [](std::uint32_t id) { return "text " + std::to_string(id); };
    s.logFailure = [this](std::string_view what) { logged_.emplace_back(what); };
    s.sleep = [this](std::uint32_t ms) {
      sleeps_ += 1;
      if (onSleep_) onSleep_(ms);
    };
    return s;
  }

  void Stage(const std::string& relative, const std::string& content) { WriteFile(At("dvd/" + relative), content); }
  void Pending() { Stage("@update@.log", ""); }

  // A copy of the main-application stand-in installed at `relative` and
  // running, so that its file cannot be opened for writing; it ends with
  // the returned object.
  std::unique_ptr<testsupport::ChildProcess> StartRunningCopy(const std::string& relative) {
    testsupport::CopyFile(TOLVARO_BIN, At(relative));
    testsupport::ProcessOptions options;
    options.environment["TOLVARO_STAY_MS"] = "30000";
    auto running = std::make_unique<testsupport::ChildProcess>(At(relative), options);
    EXPECT_TRUE(testsupport::WaitFor([&] {
      return !platform::File::Open(At(relative), platform::OpenMode::kWriteExisting).IsOpen();
    }, 10000));
    return running;
  }

  // The install alone, without a window.
  installer::Installer Install() {
    return installer::Installer(app(), At(kUpdaterFileName), [this](std::uint32_t) { sleeps_ += 1; });
  }

  DialogResult Run() {
    InstallDialog dialog(window_, Services());
    DialogResult r = dialog.RunModal();
    total_ = dialog.installer().totalBytes();
    copied_ = dialog.installer().installedBytes();
    return r;
  }

  testsupport::TempFolder root_;
  testsupport::FakeWindow window_;
  int sleeps_ = 0;
  std::vector<std::string> logged_;  // the failure log's lines
  std::function<void(std::uint32_t)> onSleep_;
  std::uint32_t total_ = 0, copied_ = 0;
};

}  // namespace installtest
