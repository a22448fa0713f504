#include "shell/VerInfo.h"

#include <gtest/gtest.h>

namespace quillbox {
namespace {

TEST(ReadVersionInfoTest, CompiledDataFillsEveryFieldWhateverTheSpellingOfTheKey) {
  TVersionInfo info;
  ReadVersionInfo(info);
  EXPECT_EQ(info.FileVersion, "3.0.0.11");
  EXPECT_EQ(info.ProductVersion, "3.0.0.0");
  EXPECT_EQ(info.FileDescription, "The Quillbox, a POP3 proxy");
  EXPECT_EQ(info.Comments, "The Quillbox, a POP3 proxy");
  EXPECT_EQ(info.InternalName, "Quillbox");
  EXPECT_EQ(info.ProductName, "Quillbox.exe");
  // The data spells these "LegalTrademarks" and "OriginalFilename".
  EXPECT_EQ(info.OriginalFileName, "Quillbox.exe");
  EXPECT_EQ(info.LegalTradeMarks, "Quillbox developers");
  EXPECT_FALSE(info.CompanyName.empty());
  EXPECT_FALSE(info.LegalCopyright.empty());
}

TEST(ReadVersionInfoTest, OnlyTheJapaneseStringTableIsConsulted) {
  const VersionResourceEntry entries[] = {
      {"\\StringFileInfo\\040904E4\\FileVersion", "9.9"},
      {"\\stringfileinfo\\041103a4\\productname", "lower.exe"},
  };
  const TableVersionResource resource(entries, std::size(entries));
  TVersionInfo info;
  info.FileVersion = "stale";
  ReadVersionInfo(info, resource);
  EXPECT_EQ(info.FileVersion, "") << "a missing key gives an empty field";
  EXPECT_EQ(info.ProductName, "lower.exe");
}

TEST(ReadVersionInfoTest, NoVersionDataKeepsWhatTheRecordHolds) {
  const TableVersionResource empty(nullptr, 0);
  TVersionInfo info;
  info.FileVersion = "kept";
  ReadVersionInfo(info, empty);
  EXPECT_EQ(info.FileVersion, "kept");
}

TEST(AboutTextTest, SixVersionLinesHomePageEmptyLineThenCredits) {
  TVersionInfo info;
  ReadVersionInfo(info);
  const std::string text = AboutText(info, "one\r\ntwo\r\nthree\r\nfour");
  EXPECT_EQ(text.rfind("Product name: Quillbox.exe\r\n"
                       "Original file name: Quillbox.exe\r\n"
                       "File description: The Quillbox, a POP3 proxy\r\n"
                       "File version: 3.0.0.11\r\n",
                       0),
            0u);
  const std::string tail = "\r\n\r\none\r\ntwo\r\nthree\r\nfour";
  ASSERT_GT(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  EXPECT_EQ(text.substr(0, text.size() - tail.size()).find("\r\n\r\n"), std::string::npos);
}

}  // namespace
}  // namespace quillbox
