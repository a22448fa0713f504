#include "shell/Quillbox_Settings.h"

#include <gtest/gtest.h>

#include "base/FakeIniStorage.h"

namespace quillbox {
namespace {

TEST(ReadParametersFromIniFileTest, TakesValuesAsTheyStandAndDefaultsForTheRest) {
  struct Case {
    const char* file;
    int port;
    int maxConnections;
    bool outside;
    const char* logDirectory;
  } cases[] = {
      {nullptr, 123, 1, false, "C:\\"},
      {"[General]\nListeningPort=0\nMaxConnections=-3\n", 0, -3, false, "C:\\"},
      {"[general]\nlisteningport=70000\nALLOWCONNECTIONFROMOUTSIDE=2\nLogDirectory= /tmp/x \n",
       70000, 1, true, "/tmp/x"},
      {"[General]\nListeningPort=0x6E\nMaxConnections=many\nAllowConnectionFromOutside=no\n", 110,
       1, false, "C:\\"},
  };
  for (const auto& c : cases) {
    FakeIniStorage storage("q.ini", c.file);
    TParameters parameters;
    EXPECT_TRUE(ReadParametersFromIniFile(parameters, "q.ini", storage));
    EXPECT_EQ(parameters.ListeningPort, c.port) << c.file;
    EXPECT_EQ(parameters.MaxConnections, c.maxConnections) << c.file;
    EXPECT_EQ(parameters.AllowConnectionFromOutside, c.outside) << c.file;
    EXPECT_EQ(parameters.LogDirectory, c.logDirectory) << c.file;
  }
}

TEST(WriteParametersToIniFileTest, WritesEachKeyByItselfAndKeepsTheRestOfTheFile) {
  FakeIniStorage storage;
  storage.files["q.ini"] = "; mine\n[FormMain]\nTop = 1\n\n[General]\nMaxConnections=5\n";
  TParameters parameters;
  parameters.AllowConnectionFromOutside = true;
  EXPECT_TRUE(WriteParametersToIniFile(parameters, "q.ini", storage));
  EXPECT_EQ(storage.files["q.ini"],
            "; mine\n[FormMain]\nTop = 1\n\n[General]\nMaxConnections=1\nListeningPort=123\n"
            "AllowConnectionFromOutside=1\nLogDirectory=C:\\\n");
  EXPECT_EQ(storage.saves, 4);
}

TEST(WriteParametersToIniFileTest, StopsAtTheFailingKeyAndReportsFalse) {
  FakeIniStorage storage;
  storage.failSaveAfter = 1;
  EXPECT_FALSE(WriteParametersToIniFile(TParameters(), "q.ini", storage));
  EXPECT_EQ(storage.files["q.ini"], "[General]\nListeningPort=123\n");
  TParameters parameters;
  parameters.LogDirectory = "two\nlines";
  EXPECT_FALSE(WriteParametersToIniFile(parameters, "other.ini", storage));
}

TEST(SettingsDialogFieldTest, NumberFieldsAlwaysHoldAnInteger) {
  struct Case {
    const char* text;
    const char* port;
    const char* limit;
  } cases[] = {
      {"110", "110", "110"}, {"", "123", "1"},     {"-", "123", "1"}, {"abc", "123", "1"},
      {"0", "0", "1"},       {"-5", "-5", "1"},    {"007", "7", "7"}, {"70000", "70000", "70000"},
      {"1e3", "123", "1"},   {"0x10", "123", "1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CorrectListeningPortText(c.text), c.port) << c.text;
    EXPECT_EQ(CorrectMaxConnectionsText(c.text), c.limit) << c.text;
  }
}

}  // namespace
}  // namespace quillbox
