#pragma once

#include <string>
#include <vector>

namespace quillbox {

// Joins each continuation line (one that begins with a blank or a tab) to the line before it,
// trimmed and after one blank, so that every header field is one line. A first line that
// begins with a blank has nothing to join and stays as it is.
void UnfoldHeader(std::vector<std::string>& lines);

// The text of the X-Quillbox-Status line for a judgment status.
std::string StatusText(int status);

}  // namespace quillbox
