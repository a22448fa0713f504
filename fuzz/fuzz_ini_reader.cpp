// Arbitrary files through the INI readers, as a user's rule file could be: the single-key reader
// and the whole-file reader must read every key alike, values stay within their bound, a file
// written back by the whole-file reader reads the same, and a single-key write reads back as
// written while every other key keeps its value.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/FakeIniStorage.h"
#include "base/IniFiles.h"
#include "base/SysUtils.h"

namespace {

using namespace quillbox;

void Check(bool condition) {
  if (!condition)
    __builtin_trap();
}

// Section and key names to ask for: those the file seems to hold, and one it does not.
void Names(const std::string& text, std::vector<std::string>& sections,
           std::vector<std::string>& keys) {
  sections = {"S25R"};
  keys = {"MatchString"};
  for (size_t at = 0; at < text.size() && sections.size() + keys.size() < 16;) {
    const size_t end = std::min(text.find('\n', at), text.size());
    const std::string line = Trim(std::string_view(text).substr(at, end - at));
    if (line.starts_with('[') && line.find(']') != std::string::npos)
      sections.push_back(Trim(std::string_view(line).substr(1, line.find(']') - 1)));
    else if (line.find('=') != std::string::npos)
      keys.push_back(Trim(std::string_view(line).substr(0, line.find('='))));
    at = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  FakeIniStorage storage;
  storage.files["a.ini"] = text;
  const TIniFile single("a.ini", storage);
  const TMemIniFile whole("a.ini", storage);
  storage.files["b.ini"] = whole.Text();
  const TMemIniFile rewritten("b.ini", storage);
  std::vector<std::string> sections, keys;
  Names(text, sections, keys);
  for (const std::string& section : sections) {
    for (const std::string& key : keys) {
      const std::string value = single.ReadString(section, key, "-");
      Check(value.size() <= kMaxIniValueLength);
      Check(value == whole.ReadString(section, key, "-"));
      Check(value == rewritten.ReadString(section, key, "-"));
    }
  }
  TIniFile written("a.ini", storage);
  const std::string& section = sections.back();
  const std::string& key = keys.back();
  const std::string value = Trim(text.substr(0, 40));
  try {
    written.WriteString(section, key, value);
  } catch (const EIniFileError&) {
    Check(storage.files["a.ini"] == text);
    return 0;
  }
  Check(written.ReadString(section, key, "-") == value);
  for (const std::string& s : sections) {
    for (const std::string& k : keys) {
      if (!(SameText(s, section) && SameText(k, key)))
        Check(written.ReadString(s, k, "-") == whole.ReadString(s, k, "-"));
    }
  }
  return 0;
}
