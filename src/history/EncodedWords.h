#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quillbox {

// Header text as a person reads it: the RFC 2047 encoded words in it ("=?charset?B?...?=",
// B or Q, in any charset iconv knows: ISO-2022-JP, Shift_JIS, EUC-JP, ISO-8859-x, UTF-8 ...)
// decoded to UTF-8. Blanks between two encoded words go, and adjacent words of one charset are
// joined before they are converted, so a character split between them comes out whole. A word
// that cannot be decoded (a charset iconv does not know, bad Base64, bytes its charset does not
// have) is kept as it came. Text outside encoded words is taken as UTF-8, except that
// unencoded ISO-2022-JP (its escape sequences, as old Japanese mailers wrote them) is converted;
// a byte that is no UTF-8 becomes U+FFFD, so the result is always valid UTF-8. At most
// kMaxEncodedInput bytes of text are looked at; the rest is cut. Thread-safe.
inline constexpr size_t kMaxEncodedInput = 16 * 1024;
std::string DecodeEncodedWords(std::string_view text);

// text converted from charset to UTF-8 by iconv; none when iconv does not know the charset or
// the bytes are not text in it. Thread-safe.
std::optional<std::string> ConvertToUtf8(std::string_view charset, std::string_view text);

// text with every byte sequence that is not UTF-8 replaced by U+FFFD.
std::string ValidUtf8(std::string_view text);

}  // namespace quillbox
