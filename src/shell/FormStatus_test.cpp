#include "shell/FormStatus.h"

#include <gtest/gtest.h>

#include "base/FakeIniStorage.h"
#include "shell/FontInfo.h"

namespace quillbox {
namespace {

TEST(ReadFormStatusFromIniFileTest, InvalidWindowStateKeepsTheDefault) {
  struct Case {
    const char* state;
    int expected;
  } cases[] = {{"0", 0}, {"1", 1}, {"2", 2}, {"3", 0}, {"-1", 0}, {"max", 0}};
  for (const auto& c : cases) {
    FakeIniStorage storage;
    storage.files["q.ini"] = std::string("[FormMain]\nTop=5\nWindowState=") + c.state + "\n";
    TFormStatus status;
    ReadFormStatusFromIniFile(status, "FormMain", "q.ini", storage);
    EXPECT_EQ(status.WindowState, c.expected) << c.state;
    EXPECT_EQ(status.Top, 5);
    EXPECT_EQ(status.Left, 413) << "missing keys keep the designed bounds";
  }
}

TEST(ReadFontFromIniFileTest, OutOfRangeStyleKeepsTheDefaultAndCharacterSetIsCut) {
  struct Case {
    const char* file;
    int style;
    int size;
    int charset;
    const char* name;
  } cases[] = {
      {"", 0, 9, 0, "Courier New"},
      {"[Font]\nFontName= IPAGothic \nFontStyle=3\nFontSize=12\nCharacterSet=128\n", 3, 12, 128,
       "IPAGothic"},
      {"[Font]\nFontStyle=256\nCharacterSet=0x1FF\n", 0, 9, 255, "Courier New"},
      {"[Font]\nFontStyle=-1\n", 0, 9, 0, "Courier New"},
  };
  for (const auto& c : cases) {
    FakeIniStorage storage("q.ini", c.file);
    TFontInfo font;
    ReadFontFromIniFile(font, "q.ini", storage);
    EXPECT_EQ(font.FontStyle, c.style) << c.file;
    EXPECT_EQ(font.FontSize, c.size) << c.file;
    EXPECT_EQ(font.CharacterSet, c.charset) << c.file;
    EXPECT_EQ(font.FontName, c.name) << c.file;
  }
}

TEST(ExitWritesTest, PlacementFontThenGeneralGiveTheThreeSectionsInOrder) {
  FakeIniStorage storage;
  storage.files["q.ini"] = "; comment\n[General]\nListeningPort = 110\n\n\n";
  TFormStatus status;
  status.WindowState = wsMaximized;
  TFontInfo font;
  font.FontSize = 300;
  WriteFormStatusToIniFile(status, "FormMain", "q.ini", storage);
  WriteFontToIniFile(font, "q.ini", storage);
  EXPECT_EQ(storage.files["q.ini"],
            "[General]\nListeningPort=110\n\n"
            "[FormMain]\nWindowState=2\nTop=122\nLeft=413\nWidth=519\nHeight=284\n\n"
            "[Font]\nFontName=Courier New\nFontStyle=0\nFontSize=44\nCharacterSet=0\n\n");
}

TEST(ExitWritesTest, FailedWriteIsReportedWithTheFileName) {
  FakeIniStorage storage;
  storage.failSaveAfter = 0;
  try {
    WriteFontToIniFile(TFontInfo(), "/ro/q.ini", storage);
    FAIL() << "no error";
  } catch (const EIniFileError& e) {
    EXPECT_EQ(e.Message(), "Unable to write to /ro/q.ini");
  }
}

}  // namespace
}  // namespace quillbox
