#include "history/EncodedWords.h"

#include <gtest/gtest.h>

namespace quillbox {
namespace {

// Each row: header text as it came, and what a person must read.
TEST(EncodedWordsTest, DecodesEveryCharsetAndFormAndKeepsWhatDoesNotDecode) {
  const struct {
    const char* in;
    const char* out;
  } rows[] = {
      // Japanese subjects in the three charsets Japanese mailers use.
      {"=?ISO-2022-JP?B?GyRCRnxLXDhsJE43b0w+GyhC?=", "日本語の件名"},
      {"=?Shift_JIS?B?lsCYZoOBgVuDiw==?=", "迷惑メール"},
      {"=?euc-jp?q?=B8=A1=BA=BA?=", "検査"},
      // A mailer's own Shift_JIS (CP932) character, beyond the standard table: ①.
      {"=?SHIFT_JIS?B?h0A=?=", "①"},
      {"=?ISO-8859-1?Q?caf=E9_au_lait?=", "café au lait"},
      {"=?ISO-8859-15?Q?=A4?=", "€"},
      {"=?iso-8859-2?Q?=B1?=", "ą"},
      {"=?UTF-8?b?w6k=?=", "é"},
      // Padding left off, as some mailers do.
      {"=?UTF-8?B?w6k?=", "é"},
      // An RFC 2231 language after the charset.
      {"=?UTF-8*en?Q?hi?=", "hi"},
      // Adjacent words: the blanks between them go; a character split between two words of one
      // charset comes out whole.
      {"=?UTF-8?B?5pel5g==?= =?UTF-8?B?nKw=?=", "日本"},
      {"=?UTF-8?Q?a?=\t =?ISO-8859-1?Q?=E9?=", "aé"},
      // Blanks next to plain text stay; a word glued to text is still decoded.
      {"Re: =?UTF-8?Q?a_b?= tail", "Re: a b tail"},
      {"Re:=?UTF-8?Q?x?=", "Re:x"},
      // Unencoded ISO-2022-JP, as old Japanese mailers wrote it.
      {"Subject \x1b$BF|K\\8l\x1b(B", "Subject 日本語"},
      // Malformed words are kept as they came.
      {"=?X-NO-SUCH-CHARSET?Q?abc?=", "=?X-NO-SUCH-CHARSET?Q?abc?="},
      {"=?UTF-8?B?#not64#?=", "=?UTF-8?B?#not64#?="},
      {"=?UTF-8?Q?bad=ZZhex?=", "=?UTF-8?Q?bad=ZZhex?="},
      {"=?UTF-8?Q?cut=E", "=?UTF-8?Q?cut=E"},
      {"=?UTF-8?X?abc?=", "=?UTF-8?X?abc?="},
      {"=?UTF-8?Q?has space?=", "=?UTF-8?Q?has space?="},
      {"=??Q?abc?=", "=??Q?abc?="},
      {"=?UTF-8?Q?unended", "=?UTF-8?Q?unended"},
      // Bytes that are no text in the charset named: the word stays.
      {"=?UTF-8?Q?=FF?=", "=?UTF-8?Q?=FF?="},
      // A good word beside a bad one: each on its own.
      {"=?UTF-8?Q?ok?= =?X-NOPE?Q?no?=", "ok=?X-NOPE?Q?no?="},
      // Plain bytes that are no UTF-8 become U+FFFD, so the result is always UTF-8.
      {"caf\xe9", "caf\xEF\xBF\xBD"},
      {"\xed\xa0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"", ""},
  };
  for (const auto& row : rows)
    EXPECT_EQ(DecodeEncodedWords(row.in), row.out) << row.in;
}

TEST(EncodedWordsTest, HugeTextIsCutAtTheBound) {
  EXPECT_EQ(DecodeEncodedWords(std::string(kMaxEncodedInput * 3, 'a')).size(), kMaxEncodedInput);
}

}  // namespace
}  // namespace quillbox
