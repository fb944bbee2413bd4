#include "host/settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>

#include "host/paths.h"
#include "host/program.h"

namespace orv {
namespace {

namespace fs = std::filesystem;

// An executable's folder with a sibling "stagewright" folder, removed afterwards.
class SettingsFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "orv_settings_XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root = pattern;
    fs::create_directories(root / "bin");
    fs::create_directories(root / "stagewright");
  }
  void TearDown() override { fs::remove_all(root); }
  void write(const fs::path& file, const std::string& text) { std::ofstream(file, std::ios::binary) << text; }

  fs::path root;
};

TEST_F(SettingsFiles, LinesSplitAtTheSeparatorWithNothingTrimmed) {
  write(root / "bin" / "ticker.ini",
        "[Version]\n; a comment\nProductVersion=4.2.1\nSpaced = value \nDoubled==after\nCut=a=b\n=Leading=x\n"
        "Empty=\n=\nProductVersion=9.9.9\nWindows=line\r\n");
  const auto values = read_settings("ticker.ini", "=", root / "bin");
  EXPECT_EQ(values, (settings{{"ProductVersion", "4.2.1"},
                              {"Spaced ", " value "},
                              {"Doubled", "after"},
                              {"Cut", "a"},
                              {"Leading", "x"},
                              {"Empty", ""},
                              {"Windows", "line"}}));
  EXPECT_EQ(setting_value(values, "Spaced "), " value ");
  EXPECT_EQ(setting_value(values, "Missing"), "");
}

TEST_F(SettingsFiles, VersionFromBesideTheExecutableThenTheCompanionFolderElseAFallback) {
  EXPECT_EQ(product_version(root / "bin"), "0.0.0");
  try {
    read_settings("ticker.ini", "=", root / "bin");
    ADD_FAILURE() << "no error for a missing file";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Unable to open ini file 'ticker.ini'");
  }
  write(root / "stagewright" / "ticker.ini", "ProductVersion=2.0\n");
  EXPECT_EQ(product_version(root / "bin"), "2.0");
  write(root / "bin" / "ticker.ini", "ProductVersion = 1.0\n");
  EXPECT_EQ(product_version(root / "bin"), "");
}

TEST(RegistrationWords, MatchWholeWordsInAnyCase) {
  for (const char* word : {"--RegServer", "/Service", "-UNREGSERVER", "/regserver", "/UnRegServer", "-regserver",
                           "--unregserver", "-service", "--SERVICE"})
    EXPECT_TRUE(is_registration_word(word)) << word;
  for (const char* word : {"--elevated", "RegServer", "--regserver=1", "/Services", "---service", "", "--help"})
    EXPECT_FALSE(is_registration_word(word)) << word;
}

}  // namespace
}  // namespace orv
