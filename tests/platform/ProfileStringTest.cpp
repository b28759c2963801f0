#include "platform/ProfileString.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/TempDir.h"

namespace {

class ProfileStringTest : public ::testing::Test {
 protected:
  std::string Read(std::string_view section, std::string_view key) {
    return platform::ReadProfileString(dir_.path() + "RAVO.ini", section, key);
  }
  TempDir dir_;
};

TEST_F(ProfileStringTest, FindsKeysWithoutRegardToCaseAndIgnoresComments) {
  dir_.Write("RAVO.ini",
             "; a comment line\r\n"
             "[WebSettings]\r\n"
             "  defaultlanguage =  en  \r\n"
             "#Port=1\r\n"
             "[VEKASETTINGS]\n"
             "Port=4000\n"
             "Address=\"back end\"\n"
             "Empty=\n");
  EXPECT_EQ(Read("WEBSETTINGS", "DefaultLanguage"), "en");
  EXPECT_EQ(Read("vekasettings", "PORT"), "4000");
  EXPECT_EQ(Read("VEKASETTINGS", "Address"), "back end");
  EXPECT_EQ(Read("VEKASETTINGS", "Empty"), "");
  EXPECT_EQ(Read("WEBSETTINGS", "Port"), "") << "keys belong to their own section only";
  EXPECT_EQ(Read("DIAGSETTINGS", "Port"), "");
}

TEST_F(ProfileStringTest, MissingFileOrOneThatIsNoPlainFileReadsAsEmpty) {
  EXPECT_EQ(Read("WEBSETTINGS", "DefaultPath"), "");
  // A FIFO in its place must not hang the request thread that reads it.
  ASSERT_EQ(mkfifo((dir_.path() + "RAVO.ini").c_str(), 0600), 0);
  EXPECT_EQ(Read("WEBSETTINGS", "DefaultPath"), "");
}

TEST_F(ProfileStringTest, LastLineNeedsNoLineEnd) {
  dir_.Write("RAVO.ini", "[s]\r\nk= last ");
  EXPECT_EQ(Read("s", "k"), "last");
}

TEST_F(ProfileStringTest, CutsLongValuesAndRereadsTheFileEveryTime) {
  dir_.Write("RAVO.ini", "[s]\nk=" + std::string(1500, 'x') + "\n");
  EXPECT_EQ(Read("s", "k"), std::string(platform::kMaxProfileValue, 'x'));
  dir_.Write("RAVO.ini", "[s]\nk=changed\n");
  EXPECT_EQ(Read("s", "k"), "changed");
}

TEST_F(ProfileStringTest, FirstOccurrenceWinsAndValuesMayHoldEqualsSigns) {
  dir_.Write("RAVO.ini", "[s]\nk=a=b\nk=second\n");
  EXPECT_EQ(Read("s", "k"), "a=b");
}

}  // namespace
