#include "tests/settings/config_store_test.h"

#include "platform/profile.h"

namespace {

using settings::ConfigEnvironment;
using settings::ConfigStore;
using testsupport::PathExists;
using testsupport::ReadFile;
using testsupport::WriteFile;

TEST_F(ConfigStoreTest, WritableApplicationFolderHoldsTheConfigs) {
  ConfigStore store(Env());
  EXPECT_EQ(store.ConfigFolder(), root_ / "app/Configs/");
  EXPECT_TRUE(PathExists(root_ / "app/Configs"));
  EXPECT_EQ(store.ConfigFilePath("Harbinor.cfg"), root_ / "app/Configs/Harbinor.cfg");
  EXPECT_EQ(LeftTestFiles(), "");
  EXPECT_FALSE(PathExists(userFolder()));
}

TEST_F(ConfigStoreTest, ReadOnlyApplicationFolderFallsBackToThePerUserFolder) {
  int rc = WithConfigsUnwritable(appFolder(), [&] {
    ConfigStore store(Env());
    std::string expected = root_ / "user/.config/Quorva/TolvaroDVD/Configs/";
    if (store.ConfigFolder() != expected) return 2;
    if (!PathExists(expected)) return 3;
    if (!store.WriteSetting("UpdateTime", "105")) return 4;
    if (!PathExists(expected + "Harbinor.cfg")) return 5;
    return 0;
  });
  if (rc == kSkip) GTEST_SKIP() << "no read-only folder here";
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(LeftTestFiles(), "");
  EXPECT_FALSE(PathExists(root_ / "app/Configs"));
}

TEST_F(ConfigStoreTest, OldSystemUsesTheApplicationFolderWithoutAWriteTest) {
  platform::MakeFolder(root_ / "app/Configs");
  int rc = WithConfigsUnwritable(appFolder(), [&] {
    ConfigStore store(Env(4));
    return store.ConfigFolder() == root_ / "app/Configs/" ? 0 : 2;
  });
  if (rc == kSkip) GTEST_SKIP() << "no read-only folder here";
  EXPECT_EQ(rc, 0);
  EXPECT_FALSE(PathExists(userFolder()));
}

TEST_F(ConfigStoreTest, DeletedFolderIsCreatedAgain) {
  ConfigStore store(Env());
  std::string folder = store.ConfigFolder();
  ASSERT_TRUE(platform::RemoveFolder(folder));
  EXPECT_EQ(store.ConfigFilePath("Harbinor.cfg"), folder + "Harbinor.cfg");
  EXPECT_TRUE(PathExists(folder));
  ASSERT_TRUE(platform::RemoveFolder(folder));
  EXPECT_TRUE(store.WriteSetting("UpdateTime", "7"));
  EXPECT_NE(ReadFile(folder + "Harbinor.cfg").find("UpdateTime=7"), std::string::npos);
}

TEST_F(ConfigStoreTest, ServerBase) {
  struct Case {
    const char* file;  // contents of Harbinor.cfg, or null for no file
    std::string base;
  } cases[] = {
      {nullptr, kDefaultServer},
      {"[Harbinor]\nServer=http://127.0.0.5/tlv5.update/\n", "http://127.0.0.5/tlv5.update/"},
      {"[Harbinor]\nServer=http://127.0.0.5/tlv5.update\n", "http://127.0.0.5/tlv5.update/"},
      {"[harbinor]\r\nserver = http://mirror.example/x/ \r\n", "http://mirror.example/x/"},
      {"[Harbinor]\nServer=\n", kDefaultServer},
      {"[Other]\nServer=http://wrong.example/\n", kDefaultServer},
      {"[Harbinor]\nUpdateTime=12\n", kDefaultServer},
      {"utf16:[Harbinor]\r\nServer=http://w.example/tlv5.update\r\n", "http://w.example/tlv5.update/"},
  };
  for (const Case& c : cases) {
    testsupport::TempFolder scratch;
    ConfigEnvironment env = Env();
    env.applicationFolder = scratch / "";
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
    env.applicationFolder = scratch / "";
    std::string value = "http://h.example/" + std::string(extra, 'a');
    WriteFile(scratch / "Configs/Harbinor.cfg", "[Harbinor]\nServer=" + value + "\n");
    ConfigStore store(env);
    EXPECT_EQ(store.ServerBase(), value.size() <= 254 ? value + "/" : std::string(kDefaultServer)) << value.size();
  }
}

TEST_F(ConfigStoreTest, PerUserFileReadsThroughToTheApplicationFolder) {
  const char* vendor = "[Harbinor]\nServer=http://vendor.example/v\nListSerial=7\n";
  struct { const char *vendorFile, *userFile, *base, *serial; } cases[] = {
      {vendor, "", "http://vendor.example/v/", "7"},
      {vendor, "[Harbinor]\nServer=http://user.example/u/\nListSerial=9\n", "http://user.example/u/", "9"},
      {vendor, "[Harbinor]\nServer=\nListSerial=\n", "http://vendor.example/v/", "7"},
      {"[Harbinor]\nUpdateTime=3\n", "[Harbinor]\nUpdateTime=4\n", kDefaultServer, ""}};
  std::string vendorCfg = root_ / "app/Configs/Harbinor.cfg";
  std::string userCfg = root_ / "user/.config/Quorva/TolvaroDVD/Configs/Harbinor.cfg";
  for (const auto& c : cases) {
    WriteFile(vendorCfg, c.vendorFile), WriteFile(userCfg, c.userFile);
    int rc = WithConfigsUnwritable(appFolder(), [&] {
      ConfigStore store(Env());
      bool read = store.ServerBase() == c.base && store.ReadSetting("ListSerial") == c.serial;
      return read && store.WriteSetting("UpdateTime", "105") ? 0 : 2;
    });
    if (rc == kSkip) GTEST_SKIP() << "no read-only folder here";
    EXPECT_EQ(rc, 0) << "per-user file: " << testsupport::Show(c.userFile);
    EXPECT_EQ(ReadFile(vendorCfg), c.vendorFile) << "the vendor's file was written";
    EXPECT_EQ(platform::FindProfileValue(ReadFile(userCfg), "Harbinor", "UpdateTime"), "105");
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
