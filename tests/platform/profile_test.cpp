#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/os.h"

namespace telvane::platform {
namespace {

namespace fs = std::filesystem;

class ProfileTest : public testing::Test {
 protected:
  ProfileTest() {
    static int counter = 0;
    dir_ = fs::temp_directory_path() /
           ("telvane_profile_test_" + std::to_string(getpid()) + "_" + std::to_string(++counter));
    fs::create_directories(dir_);
  }
  ~ProfileTest() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // Writes the settings file byte for byte and returns its path.
  std::string Write(const std::string& content) {
    const fs::path file = dir_ / "telvane.ini";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
    return file.string();
  }

  std::string Read(const std::string& section, const std::string& key,
                   const std::string& default_value = "<default>") {
    return ReadProfileString((dir_ / "telvane.ini").string(), section, key, default_value);
  }

  fs::path dir_;
};

// Section and key names match whatever their case, in the file and in the request.
TEST_F(ProfileTest, NamesMatchIgnoringCase) {
  Write("[general]\nTAPIDEVICENAME=Modem A\npressanykeyfile=greet.wav\n");
  EXPECT_EQ(Read("General", "TAPIDeviceName"), "Modem A");
  EXPECT_EQ(Read("GENERAL", "PressAnyKeyFile"), "greet.wav");
  EXPECT_EQ(Read("gEnErAl", "tapidevicename"), "Modem A");
}

// Blanks and tabs around section names, key names and values are ignored; blanks inside a
// value are kept.
TEST_F(ProfileTest, BlanksAroundNamesAndValuesAreIgnored) {
  Write(
      "  [ General ]  \n"
      "\t TAPIDeviceName \t=\t  USB Voice  Modem \t \n"
      "  Key With Blanks = x\n");
  EXPECT_EQ(Read("General", "TAPIDeviceName"), "USB Voice  Modem");
  EXPECT_EQ(Read("General", "Key With Blanks"), "x");
}

// One pair of matching quotes around a value is removed, keeping what is inside, blanks
// included; unmatched or inner quotes stay.
TEST_F(ProfileTest, MatchingQuotesAreRemoved) {
  Write(
      "[General]\n"
      "Double=\"C:\\Sounds\\Press Any Key.wav\"\n"
      "Single='Modem A'\n"
      "Padded=\"  kept  \"\n"
      "EmptyQuotes=\"\"\n"
      "Mismatched=\"half'\n"
      "Lone=\"\n"
      "Inner=say \"hello\" now\n");
  EXPECT_EQ(Read("General", "Double"), "C:\\Sounds\\Press Any Key.wav");
  EXPECT_EQ(Read("General", "Single"), "Modem A");
  EXPECT_EQ(Read("General", "Padded"), "  kept  ");
  EXPECT_EQ(Read("General", "EmptyQuotes"), "");
  EXPECT_EQ(Read("General", "Mismatched"), "\"half'");
  EXPECT_EQ(Read("General", "Lone"), "\"");
  EXPECT_EQ(Read("General", "Inner"), "say \"hello\" now");
}

// Lines starting with ';' are comments, even a commented-out key or section header; a ';'
// inside a value is part of it. Lines without '=' are skipped, and a value may hold '='.
TEST_F(ProfileTest, CommentsAndOddLines) {
  Write(
      "; settings for the alert run\n"
      "[General]\n"
      ";TAPIDeviceName=Commented Modem\n"
      "  ; [Other]\n"
      "just some words\n"
      "ConnectTimeOut=20000 ; twenty seconds\n"
      "Equation=a=b\n");
  EXPECT_EQ(Read("General", "TAPIDeviceName"), "<default>");
  EXPECT_EQ(Read("General", "ConnectTimeOut"), "20000 ; twenty seconds");
  EXPECT_EQ(Read("General", "Equation"), "a=b");
  EXPECT_EQ(Read("General", "just some words"), "<default>");
}

// A key with nothing after '=' has the empty value, not the default.
TEST_F(ProfileTest, EmptyValueIsReturnedAsEmpty) {
  Write("[General]\nTAPIDeviceName=\nPressAnyKeyFile=   \t\n");
  EXPECT_EQ(Read("General", "TAPIDeviceName"), "");
  EXPECT_EQ(Read("General", "PressAnyKeyFile"), "");
}

// A missing file, section or key gives the default; so does a directory in place of the file,
// and a key that stands only in another section or above every section.
TEST_F(ProfileTest, MissingFileSectionOrKeyGivesDefault) {
  EXPECT_EQ(Read("General", "TAPIDeviceName", "fallback"), "fallback");
  EXPECT_EQ(ReadProfileString((dir_ / "none" / "x.ini").string(), "General", "A", "d"), "d");
  EXPECT_EQ(ReadProfileString(dir_.string(), "General", "A", "d"), "d");

  Write("Orphan=1\n[Other]\nTAPIDeviceName=Other Modem\n[General]\nConnectTimeOut=5\n");
  EXPECT_EQ(Read("General", "TAPIDeviceName", "fallback"), "fallback");
  EXPECT_EQ(Read("General", "Orphan", "fallback"), "fallback");
  EXPECT_EQ(Read("Missing", "ConnectTimeOut", "fallback"), "fallback");
  EXPECT_EQ(Read("Other", "TAPIDeviceName"), "Other Modem");
  EXPECT_EQ(Read("General", "ConnectTimeOut"), "5");
  EXPECT_EQ(Read("Gen", "ConnectTimeOut", "fallback"), "fallback");
  EXPECT_EQ(Read("General", "ConnectTime", "fallback"), "fallback");
}

// The first section of a name counts and within it the first key of a name; a repeated
// section later in the file is not looked at.
TEST_F(ProfileTest, FirstMatchingSectionAndKeyWin) {
  Write(
      "[General]\nTAPIDeviceName=First\nTAPIDeviceName=Second\n"
      "[Other]\nConnectTimeOut=1\n"
      "[GENERAL]\nTAPIDeviceName=Third\nMaxGreetingsCount=9\n");
  EXPECT_EQ(Read("General", "TAPIDeviceName"), "First");
  EXPECT_EQ(Read("General", "MaxGreetingsCount"), "<default>");
}

// Files written on Windows (CR LF line ends, a UTF-8 byte-order mark, no final line end)
// read the same.
TEST_F(ProfileTest, WindowsLineEndsAndByteOrderMark) {
  Write(
      "\xEF\xBB\xBF[General]\r\nTAPIDeviceName = Modem A \r\nPressAnyKeyFile=\r\n"
      "ConnectTimeOut=0x2710");
  EXPECT_EQ(Read("General", "TAPIDeviceName"), "Modem A");
  EXPECT_EQ(Read("General", "PressAnyKeyFile"), "");
  EXPECT_EQ(Read("General", "ConnectTimeOut"), "0x2710");
}

// At most 2047 characters come back, of a value and of a default alike.
TEST_F(ProfileTest, LongValuesAndDefaultsAreCutAt2047) {
  std::string long_value;
  for (int i = 0; i < 3000; ++i) long_value += static_cast<char>('a' + i % 26);
  const std::string exact(kMaxProfileString, 'e');
  Write("[General]\nLong=" + long_value + "\nExact=" + exact + "\nQuoted=\"" + long_value + "\"\n");
  EXPECT_EQ(kMaxProfileString, 2047u);
  EXPECT_EQ(Read("General", "Long"), long_value.substr(0, 2047));
  EXPECT_EQ(Read("General", "Exact"), exact);
  EXPECT_EQ(Read("General", "Quoted").size(), 2047u);
  EXPECT_EQ(Read("General", "Missing", long_value), long_value.substr(0, 2047));
  EXPECT_EQ(Read("General", "Missing", exact), exact);
}

}  // namespace
}  // namespace telvane::platform
