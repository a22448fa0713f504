#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillbox {

// Removes leading and trailing blanks and control characters (every byte up to and including
// the space), as the run-time library's Trim does. Bytes above 0x7f are text and stay.
std::string Trim(std::string_view text);

// Reads an optionally signed run of decimal digits, after trimming, as a 32-bit integer.
// Anything else (empty text, inner blanks, hex, overflow) gives nullopt.
std::optional<int> TryStrToInt(std::string_view text);

// TryStrToInt with a fallback.
int StrToIntDef(std::string_view text, int fallback);

// The text between double quotation marks, as messages name a file or a command.
std::string Quoted(std::string_view text);

// "1 second", "n seconds": a duration for a message.
std::string Seconds(int n);

// ASCII case-insensitive comparisons; bytes above 0x7f compare as they are.
bool SameText(std::string_view a, std::string_view b);
bool StartsText(std::string_view prefix, std::string_view text);

}  // namespace quillbox
