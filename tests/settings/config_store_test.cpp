#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/profile.h"
#include "settings/config_store.h"
#include "tests/support/child_process.h"
#include "tests/support/forked_child.h"
#include "tests/support/temp_folder.h"

namespace {

using settings::ConfigEnvironment;
using settings::ConfigStore;
using testsupport::PathExists;
using testsupport::ReadFile;
using testsupport::WriteFile;

constexpr const char* kDefault = "http://update.tolvaro.example/tlv5.update/";
constexpr int kSkip = 77;

class ConfigStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir(appFolder().c_str(), 0755);
  }

  std::string appFolder() const { return root_ / "app"; }
  std::string userFolder() const { return root_ / "user/.config"; }

  ConfigEnvironment Env(int osMajor = 6) {
    std::string user = userFolder();
    return ConfigEnvironment{appFolder() + "/", osMajor, [user] { return std::optional<std::string>(user); },
                             kDefault};
  }

  // Every "~@test@~.dat" left anywhere below the test's root.
  std::string LeftTestFiles() {
    std::string tree = testsupport::ListTree(root_.path()), found;
    std::size_t at = 0;
    while ((at = tree.find("~@test@~.dat", at)) != std::string::npos) found += tree.substr(at++, 12) + " ";
    return found;
  }

  testsupport::TempFolder root_;
};

TEST_F(ConfigStoreTest, WritableApplicationFolderHoldsTheConfigs) {
  ConfigStore store(Env());
  EXPECT_EQ(store.ConfigFolder(), appFolder() + "/Configs/");
  EXPECT_TRUE(PathExists(appFolder() + "/Configs"));
  EXPECT_EQ(store.ConfigFilePath("Harbinor.cfg"), appFolder() + "/Configs/Harbinor.cfg");
  EXPECT_EQ(LeftTestFiles(), "");
  EXPECT_FALSE(PathExists(userFolder()));
}

TEST_F(ConfigStoreTest, ReadOnlyApplicationFolderFallsBackToThePerUserFolder) {
  int rc = testsupport::RunInChild([&] {
    if (!testsupport::MakeFolderReadOnlyHere(appFolder())) return kSkip;
    ConfigStore store(Env());
    std::string expected = userFolder() + "/Quorva/TolvaroDVD/Configs/";
    if (store.ConfigFolder() != expected) return 2;
    if (!PathExists(expected)) return 3;
    if (!store.WriteSetting("UpdateTime", "105")) return 4;
    if (!PathExists(expected + "Harbinor.cfg")) return 5;
    return 0;
  });
  if (rc == kSkip) GTEST_SKIP() << "no mount namespace for a read-only folder here";
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(LeftTestFiles(), "");
  EXPECT_FALSE(PathExists(appFolder() + "/Configs"));
}

TEST_F(ConfigStoreTest, OldSystemUsesTheApplicationFolderWithoutAWriteTest) {
  mkdir((appFolder() + "/Configs").c_str(), 0755);
  int rc = testsupport::RunInChild([&] {
    if (!testsupport::MakeFolderReadOnlyHere(appFolder())) return kSkip;
    ConfigStore store(Env(4));
    return store.ConfigFolder() == appFolder() + "/Configs/" ? 0 : 2;
  });
  if (rc == kSkip) GTEST_SKIP() << "no mount namespace for a read-only folder here";
  EXPECT_EQ(rc, 0);
  EXPECT_FALSE(PathExists(userFolder()));
}

TEST_F(ConfigStoreTest, DeletedFolderIsCreatedAgain) {
  ConfigStore store(Env());
  std::string folder = store.ConfigFolder();
  ASSERT_EQ(rmdir(folder.c_str()), 0);
  EXPECT_EQ(store.ConfigFilePath("Harbinor.cfg"), folder + "Harbinor.cfg");
  EXPECT_TRUE(PathExists(folder));
  ASSERT_EQ(rmdir(folder.c_str()), 0);
  EXPECT_TRUE(store.WriteSetting("UpdateTime", "7"));
  EXPECT_NE(ReadFile(folder + "Harbinor.cfg").find("UpdateTime=7"), std::string::npos);
}

TEST_F(ConfigStoreTest, ServerBase) {
  struct Case {
    const char* file;  // contents of Harbinor.cfg, or null for no file
    std::string base;
  } cases[] = {
      {nullptr, kDefault},
      {"[Harbinor]\nServer=http://127.0.0.5/tlv5.update/\n", "http://127.0.0.5/tlv5.update/"},
      {"[Harbinor]\nServer=http://127.0.0.5/tlv5.update\n", "http://127.0.0.5/tlv5.update/"},
      {"[harbinor]\r\nserver = http://mirror.example/x/ \r\n", "http://mirror.example/x/"},
      {"[Harbinor]\nServer=\n", kDefault},
      {"[Other]\nServer=http://wrong.example/\n", kDefault},
      {"[Harbinor]\nUpdateTime=12\n", kDefault},
      {"utf16:[Harbinor]\r\nServer=http://w.example/tlv5.update\r\n", "http://w.example/tlv5.update/"},
  };
  std::string longValue = "[Harbinor]\nServer=http://h.example/" + std::string(230, 'a') + "\n";
  for (const Case& c : cases) {
    testsupport::TempFolder scratch;
    ConfigEnvironment env = Env();
    env.applicationFolder = scratch.path() + "/";
    if (c.file) {
      std::string bytes = c.file;
      if (bytes.rfind("utf16:", 0) == 0) {
        std::string units = "\xFF\xFE";
        for (char ch : bytes.substr(6)) units += std::string(1, ch) + '\0';
        bytes = units;
      }
      WriteFile(scratch / "Configs/Harbinor.cfg", bytes);
    }
    ConfigStore store(env);
    EXPECT_EQ(store.ServerBase(), c.base) << (c.file ? c.file : "(no file)");
  }
  // 254 characters and the "/" fit the 256-character field; more do not.
  for (std::size_t extra : {219u, 220u}) {
    testsupport::TempFolder scratch;
    ConfigEnvironment env = Env();
    env.applicationFolder = scratch.path() + "/";
    std::string value = "http://h.example/" + std::string(extra, 'a');
    WriteFile(scratch / "Configs/Harbinor.cfg", "[Harbinor]\nServer=" + value + "\n");
    ConfigStore store(env);
    EXPECT_EQ(store.ServerBase(), value.size() <= 254 ? value + "/" : std::string(kDefault)) << value.size();
  }
}

TEST_F(ConfigStoreTest, ServerBaseIsReadOncePerRun) {
  ConfigStore store(Env());
  WriteFile(store.ConfigFilePath("Harbinor.cfg"), "[Harbinor]\nServer=http://first.example/a/\n");
  EXPECT_EQ(store.ServerBase(), "http://first.example/a/");
  WriteFile(store.ConfigFilePath("Harbinor.cfg"), "[Harbinor]\nServer=http://second.example/b/\n");
  EXPECT_EQ(store.ServerBase(), "http://first.example/a/");
}

TEST_F(ConfigStoreTest, WriteSettingKeepsOtherLinesAndAnEmptyValue) {
  ConfigStore store(Env());
  std::string cfg = store.ConfigFilePath("Harbinor.cfg");
  WriteFile(cfg, "; vendor settings\n[Harbinor]\nServer=http://s.example/u/\nUpdateTime=90\n[Other]\nUpdateTime=1\n");
  ASSERT_TRUE(store.WriteSetting("UpdateTime", "105"));
  EXPECT_EQ(ReadFile(cfg),
            "; vendor settings\n[Harbinor]\nServer=http://s.example/u/\nUpdateTime=105\n[Other]\nUpdateTime=1\n");
  ASSERT_TRUE(store.WriteSetting("UpdateTime", ""));
  EXPECT_EQ(ReadFile(cfg),
            "; vendor settings\n[Harbinor]\nServer=http://s.example/u/\nUpdateTime=\n[Other]\nUpdateTime=1\n");
  EXPECT_EQ(testsupport::ListTree(store.ConfigFolder()), "Harbinor.cfg\n") << "temporary files left behind";
}

TEST_F(ConfigStoreTest, WriteSettingCreatesFileAndSection) {
  ConfigStore store(Env());
  ASSERT_TRUE(store.WriteSetting("UpdateTime", "105"));
  std::string text = ReadFile(store.ConfigFilePath("Harbinor.cfg"));
  EXPECT_EQ(platform::FindProfileValue(text, "Harbinor", "UpdateTime"), "105") << text;
}

TEST_F(ConfigStoreTest, KilledWriterNeverLeavesAHalfWrittenFile) {
  ConfigStore store(Env());
  std::string cfg = store.ConfigFilePath("Harbinor.cfg");
  // A large file, so that a write takes long enough to be interrupted.
  std::string padding;
  for (int i = 0; i < 20000; ++i) padding += "; comment line " + std::to_string(i) + "\n";
  WriteFile(cfg, padding + "[Harbinor]\nUpdateTime=1\n");
  for (int round = 0; round < 25; ++round) {
    pid_t pid = fork();
    if (pid == 0) {
      ConfigStore writer(Env());
      for (int i = 2;; ++i) writer.WriteSetting("UpdateTime", std::to_string(i));
    }
    usleep(2000 + 1500 * round);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    std::string text = ReadFile(cfg);
    ASSERT_EQ(text.rfind(padding, 0), 0u) << "round " << round << ": file damaged";
    auto value = platform::FindProfileValue(text, "Harbinor", "UpdateTime");
    ASSERT_TRUE(value && !value->empty()) << "round " << round;
  }
}

TEST(DayNumberTest, Examples) {
  struct Case {
    int y, m, d, number;
  } cases[] = {{2000, 3, 15, 105}, {2000, 1, 31, 61}, {2000, 2, 1, 61}, {2000, 2, 28, 88},
               {2000, 3, 1, 91},   {2026, 12, 8, 9858}, {2001, 1, 1, 396}};
  for (const Case& c : cases) {
    platform::UtcTime t;
    t.year = c.y;
    t.month = c.m;
    t.day = c.d;
    EXPECT_EQ(settings::DayNumber(t), c.number) << c.y << "-" << c.m << "-" << c.d;
    EXPECT_EQ(settings::DayNumberText(t), std::to_string(c.number));
  }
}

}  // namespace
