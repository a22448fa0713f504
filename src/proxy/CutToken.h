#pragma once

#include <string>

namespace quillbox {

// Cuts the text before the first delimiter off text and returns it trimmed of blanks and
// control characters; the delimiter goes too, the rest of text stays untrimmed. Without a
// delimiter the whole text, trimmed, is the token and text becomes empty.
std::string CutToken(std::string& text, char delimiter);

}  // namespace quillbox
