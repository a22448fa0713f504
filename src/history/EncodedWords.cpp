// Header decoding, lenient the way mail readers are: encoded words are found wherever they stand
// (also glued to a "Re:"), because real mailers write them so, but a word that does not decode is
// left alone instead of guessed at.
#include "history/EncodedWords.h"

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <map>
#include <vector>

namespace quillbox {
namespace {

// One piece of header text: plain text, or an encoded word's bytes in its charset.
struct TPiece {
  bool Encoded = false;
  std::string Charset;  // upper case, without an RFC 2231 language
  std::string Bytes;    // the decoded bytes (encoded), or the plain text
  std::string Original;
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

std::optional<std::string> DecodeQ(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '_') {
      out += ' ';
    } else if (text[i] == '=') {
      if (i + 2 >= text.size())
        return std::nullopt;
      const int high = HexDigit(text[i + 1]), low = HexDigit(text[i + 2]);
      if (high < 0 || low < 0)
        return std::nullopt;
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z')
    return c - 'A';
  if (c >= 'a' && c <= 'z')
    return c - 'a' + 26;
  if (c >= '0' && c <= '9')
    return c - '0' + 52;
  if (c == '+')
    return 62;
  return c == '/' ? 63 : -1;
}

// Padding may be missing, as some mailers leave it off; anything else wrong refuses the word.
std::optional<std::string> DecodeB(std::string_view text) {
  while (!text.empty() && text.back() == '=')
    text.remove_suffix(1);
  if (text.size() % 4 == 1)
    return std::nullopt;
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (const char c : text) {
    const int value = Base64Value(c);
    if (value < 0)
      return std::nullopt;
    bits = (bits << 6) | static_cast<unsigned>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

// The encoded word that starts at text[at] ("=?"), and its length; none when there is none.
std::optional<TPiece> EncodedWordAt(std::string_view text, size_t at, size_t& length) {
  const size_t charsetEnd = text.find('?', at + 2);
  if (charsetEnd == std::string_view::npos || charsetEnd + 2 >= text.size() ||
      text[charsetEnd + 2] != '?')
    return std::nullopt;
  const size_t end = text.find("?=", charsetEnd + 3);
  if (end == std::string_view::npos)
    return std::nullopt;
  std::string_view charset = text.substr(at + 2, charsetEnd - at - 2);
  const std::string_view encoded = text.substr(charsetEnd + 3, end - charsetEnd - 3);
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  if (charset.empty() || std::any_of(charset.begin(), charset.end(), blank) ||
      std::any_of(encoded.begin(), encoded.end(), blank))
    return std::nullopt;
  charset = charset.substr(0, charset.find('*'));
  const char kind =
      static_cast<char>(std::toupper(static_cast<unsigned char>(text[charsetEnd + 1])));
  std::optional<std::string> bytes;
  if (kind == 'B')
    bytes = DecodeB(encoded);
  else if (kind == 'Q')
    bytes = DecodeQ(encoded);
  if (!bytes)
    return std::nullopt;
  length = end + 2 - at;
  TPiece piece{true, std::string(charset), std::move(*bytes), std::string(text.substr(at, length))};
  std::transform(piece.Charset.begin(), piece.Charset.end(), piece.Charset.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return piece;
}

void AddPlain(std::vector<TPiece>& pieces, std::string_view text) {
  if (text.empty())
    return;
  if (!pieces.empty() && !pieces.back().Encoded) {
    pieces.back().Bytes += text;
    pieces.back().Original += text;
  } else {
    pieces.push_back({false, "", std::string(text), std::string(text)});
  }
}

std::vector<TPiece> Split(std::string_view text) {
  std::vector<TPiece> pieces;
  size_t plainFrom = 0, at = 0;
  while ((at = text.find("=?", at)) != std::string_view::npos) {
    size_t length = 0;
    std::optional<TPiece> word = EncodedWordAt(text, at, length);
    if (!word) {
      at += 2;
      continue;
    }
    std::string_view between = text.substr(plainFrom, at - plainFrom);
    // Blanks between two encoded words are no part of the text.
    const bool blanks = between.find_first_not_of(" \t\r\n") == std::string_view::npos;
    if (!(blanks && !pieces.empty() && pieces.back().Encoded))
      AddPlain(pieces, between);
    pieces.push_back(std::move(*word));
    at += length;
    plainFrom = at;
  }
  AddPlain(pieces, text.substr(plainFrom));
  return pieces;
}

// Charsets that mailers name for a larger one of their own: the larger one is tried after.
std::string WiderCharset(const std::string& charset) {
  if (charset == "SHIFT_JIS" || charset == "SJIS" || charset == "X-SJIS")
    return "CP932";
  if (charset == "ISO-2022-JP")
    return "ISO-2022-JP-3";
  if (charset == "EUC-JP")
    return "EUC-JP-MS";
  if (charset == "GB2312")
    return "GB18030";
  return "";
}

std::optional<std::string> Convert(const std::string& charset, std::string_view bytes) {
  if (auto text = ConvertToUtf8(charset, bytes))
    return text;
  if (const std::string wider = WiderCharset(charset); !wider.empty())
    return ConvertToUtf8(wider, bytes);
  return std::nullopt;
}

std::string Plain(std::string_view text) {
  if (text.find("\x1b$") != std::string_view::npos) {
    if (auto converted = Convert("ISO-2022-JP", text))
      return *converted;
  }
  return ValidUtf8(text);
}

// The converters a thread has opened, by charset: opening one looks the charset up in iconv's
// tables each time, which costs more than converting a subject.
class TConverters {
 public:
  ~TConverters() {
    for (const auto& [charset, cd] : open_) {
      if (cd != kNone)
        iconv_close(cd);
    }
  }
  // The converter from charset, reset to its initial state; kNone when iconv has none.
  iconv_t Get(const std::string& charset) {
    auto found = open_.find(charset);
    if (found == open_.end()) {
      if (open_.size() >= kMaxOpen) {
        for (const auto& [name, cd] : open_) {
          if (cd != kNone)
            iconv_close(cd);
        }
        open_.clear();
      }
      found = open_.emplace(charset, iconv_open("UTF-8", charset.c_str())).first;
    }
    if (found->second != kNone)
      iconv(found->second, nullptr, nullptr, nullptr, nullptr);
    return found->second;
  }
  static inline const iconv_t kNone = reinterpret_cast<iconv_t>(-1);

 private:
  static constexpr size_t kMaxOpen = 32;
  std::map<std::string, iconv_t> open_;
};

}  // namespace

std::optional<std::string> ConvertToUtf8(std::string_view charset, std::string_view text) {
  thread_local TConverters converters;
  const iconv_t cd = converters.Get(std::string(charset));
  if (cd == TConverters::kNone)
    return std::nullopt;
  std::string in(text), out(text.size() * 4 + 16, '\0');
  char* inPtr = in.data();
  size_t inLeft = in.size();
  char* outPtr = out.data();
  size_t outLeft = out.size();
  while (inLeft > 0) {
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1))
      continue;
    if (errno != E2BIG)
      return std::nullopt;
    const size_t used = out.size() - outLeft;
    out.resize(out.size() * 2);
    outPtr = out.data() + used;
    outLeft = out.size() - used;
  }
  // A stateful charset (ISO-2022-JP) may end in another state: shifting back can write more.
  if (iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<size_t>(-1))
    return std::nullopt;
  out.resize(out.size() - outLeft);
  return ValidUtf8(out);
}

std::string ValidUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = byte(i);
    size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    bool valid = length > 0 && i + length <= text.size() && (c != 0xC0 && c != 0xC1) && c <= 0xF4;
    for (size_t k = 1; valid && k < length; ++k)
      valid = (byte(i + k) & 0xC0) == 0x80;
    if (valid && length >= 3) {
      const unsigned second = byte(i + 1);
      valid = !(c == 0xE0 && second < 0xA0) && !(c == 0xED && second >= 0xA0) &&
              !(c == 0xF0 && second < 0x90) && !(c == 0xF4 && second >= 0x90);
    }
    if (valid) {
      out.append(text.substr(i, length));
      i += length;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

std::string DecodeEncodedWords(std::string_view text) {
  text = text.substr(0, kMaxEncodedInput);
  const std::vector<TPiece> pieces = Split(text);
  std::string out;
  for (size_t i = 0; i < pieces.size();) {
    if (!pieces[i].Encoded) {
      out += Plain(pieces[i++].Bytes);
      continue;
    }
    // A run of adjacent words in one charset converts as one text.
    size_t end = i;
    std::string bytes;
    while (end < pieces.size() && pieces[end].Encoded && pieces[end].Charset == pieces[i].Charset)
      bytes += pieces[end++].Bytes;
    if (auto converted = Convert(pieces[i].Charset, bytes)) {
      out += *converted;
      i = end;
      continue;
    }
    for (; i < end; ++i) {
      const auto one = Convert(pieces[i].Charset, pieces[i].Bytes);
      out += one ? *one : ValidUtf8(pieces[i].Original);
    }
  }
  return out;
}

}  // namespace quillbox
