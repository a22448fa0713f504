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
    int tlsPort;
    bool requireTLS;
  } cases[] = {
      {nullptr, 123, 1, false, "C:\\", 0, true},
      {"[General]\nListeningPort=0\nMaxConnections=-3\nTLSListeningPort=995\n", 0, -3, false,
       "C:\\", 995, true},
      {"[general]\nlisteningport=70000\nALLOWCONNECTIONFROMOUTSIDE=2\nLogDirectory= /tmp/x \n"
       "requiretlsfromoutside=0\n",
       70000, 1, true, "/tmp/x", 0, false},
      {"[General]\nListeningPort=0x6E\nMaxConnections=many\nAllowConnectionFromOutside=no\n"
       "TLSListeningPort=x\nRequireTLSFromOutside=no\n",
       110, 1, false, "C:\\", 0, true},
  };
  for (const auto& c : cases) {
    FakeIniStorage storage("q.ini", c.file);
    TParameters parameters;
    EXPECT_TRUE(ReadParametersFromIniFile(parameters, "q.ini", storage));
    EXPECT_EQ(parameters.ListeningPort, c.port) << c.file;
    EXPECT_EQ(parameters.MaxConnections, c.maxConnections) << c.file;
    EXPECT_EQ(parameters.AllowConnectionFromOutside, c.outside) << c.file;
    EXPECT_EQ(parameters.LogDirectory, c.logDirectory) << c.file;
    EXPECT_EQ(parameters.TLSListeningPort, c.tlsPort) << c.file;
    EXPECT_EQ(parameters.RequireTLSFromOutside, c.requireTLS) << c.file;
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
            "AllowConnectionFromOutside=1\nLogDirectory=C:\\\nTLSListeningPort=0\n"
            "RequireTLSFromOutside=1\n");
  EXPECT_EQ(storage.saves, 6);
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
    const char* tlsPort;
  } cases[] = {
      {"110", "110", "110", "110"}, {"", "123", "1", "0"},
      {"-", "123", "1", "0"},       {"abc", "123", "1", "0"},
      {"0", "0", "1", "0"},         {"-5", "-5", "1", "-5"},
      {"007", "7", "7", "7"},       {"70000", "70000", "70000", "70000"},
      {"1e3", "123", "1", "0"},     {"0x10", "123", "1", "0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CorrectListeningPortText(c.text), c.port) << c.text;
    EXPECT_EQ(CorrectMaxConnectionsText(c.text), c.limit) << c.text;
    EXPECT_EQ(CorrectTLSListeningPortText(c.text), c.tlsPort) << c.text;
  }
}

}  // namespace
}  // namespace quillbox
