#include "proxy/CutToken.h"

#include "base/SysUtils.h"

namespace quillbox {

std::string CutToken(std::string& text, char delimiter) {
  const size_t at = text.find(delimiter);
  if (at == std::string::npos) {
    std::string token = Trim(text);
    text.clear();
    return token;
  }
  std::string token = Trim(std::string_view(text).substr(0, at));
  text.erase(0, at + 1);
  return token;
}

}  // namespace quillbox
