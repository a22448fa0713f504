#include "base/IniFiles.h"

#include "base/SysUtils.h"

namespace quillbox {

namespace {

// One line of an INI file as both readers see it.
struct IniLine {
  enum Kind { kBlank, kComment, kSection, kKey, kOther };
  Kind kind = kBlank;
  std::string name;   // section name or key
  std::string value;  // key lines only
};

// A section header is a line whose first non-blank character is '[' and that holds a ']'; the
// name is what lies between them. Text after the ']' is ignored, as the system's reader does.
IniLine ClassifyLine(std::string_view raw) {
  IniLine line;
  const std::string text = Trim(raw);
  if (text.empty())
    return line;
  if (text.front() == ';') {
    line.kind = IniLine::kComment;
    return line;
  }
  if (text.front() == '[') {
    const size_t close = text.find(']');
    if (close != std::string::npos) {
      line.kind = IniLine::kSection;
      line.name = Trim(std::string_view(text).substr(1, close - 1));
      return line;
    }
  }
  const size_t equals = text.find('=');
  if (equals == std::string::npos) {
    line.kind = IniLine::kOther;
    line.name = text;
    return line;
  }
  line.kind = IniLine::kKey;
  line.name = Trim(std::string_view(text).substr(0, equals));
  line.value = Trim(std::string_view(text).substr(equals + 1));
  return line;
}

std::string CutValue(std::string value) {
  if (value.size() > kMaxIniValueLength)
    value.resize(kMaxIniValueLength);
  return value;
}

std::optional<int> HexToInt(std::string_view digits) {
  while (digits.size() > 1 && digits.front() == '0')
    digits.remove_prefix(1);
  if (digits.empty() || digits.size() > 8)
    return std::nullopt;
  uint32_t value = 0;
  for (char c : digits) {
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return std::nullopt;
    value = value * 16 + static_cast<uint32_t>(digit);
  }
  return static_cast<int>(value);
}

// A line break or a NUL inside a name or value would split it into lines the next reader sees
// differently, and a ']' or '=' in a name, or a key that begins like a comment or a section,
// would change what the line means: refuse them rather than write a file that reads back as
// something else.
void CheckWritable(const std::string& fileName, std::string_view section, std::string_view key,
                   std::string_view value) {
  auto has = [](std::string_view text, std::string_view bad) {
    return text.find_first_of(bad) != std::string_view::npos;
  };
  const std::string_view breaks("\r\n\0", 3);
  const std::string trimmedKey = Trim(key);
  if (has(section, breaks) || has(section, "]") || has(key, breaks) || has(key, "=") ||
      trimmedKey.empty() || trimmedKey.front() == ';' || trimmedKey.front() == '[' ||
      has(value, breaks))
    throw EIniFileError("Unable to write to " + fileName + ": invalid section, key or value");
}

std::string LoadOrEmpty(IniStorage& storage, const std::string& fileName) {
  return storage.Load(fileName, kMaxIniFileSize).value_or(std::string());
}

// Splits into lines that keep their terminators, so that joining them gives the text back.
std::vector<std::string> SplitKeepingEnds(const std::string& text) {
  std::vector<std::string> lines;
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    end = (end == std::string::npos) ? text.size() : end + 1;
    lines.push_back(text.substr(begin, end - begin));
    begin = end;
  }
  return lines;
}

std::string Join(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines)
    text += line;
  return text;
}

std::string_view WithoutEnd(std::string_view line) {
  if (!line.empty() && line.back() == '\n')
    line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r')
    line.remove_suffix(1);
  return line;
}

std::string_view LineEnd(std::string_view line) {
  return line.substr(WithoutEnd(line).size());
}

bool IsSection(std::string_view raw, std::string_view section) {
  const IniLine line = ClassifyLine(raw);
  return line.kind == IniLine::kSection && SameText(line.name, section);
}

}  // namespace

int IniStrToIntDef(std::string_view value, int fallback) {
  if (value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X'))
    return HexToInt(value.substr(2)).value_or(fallback);
  return StrToIntDef(value, fallback);
}

TIniFile::TIniFile(std::string fileName, IniStorage& storage)
    : fileName_(std::move(fileName)), storage_(storage) {}

std::optional<std::string> TIniFile::ReadRaw(std::string_view section, std::string_view key) const {
  std::string content;
  try {
    content = LoadOrEmpty(storage_, fileName_);
  } catch (const EIniFileError&) {
    return std::nullopt;
  }
  bool inSection = false;
  for (const std::string& raw : SplitKeepingEnds(content)) {
    const IniLine line = ClassifyLine(WithoutEnd(raw));
    if (line.kind == IniLine::kSection) {
      // Only the first section of that name counts.
      if (inSection)
        return std::nullopt;
      inSection = SameText(line.name, section);
    } else if (inSection && line.kind == IniLine::kKey && SameText(line.name, key)) {
      return CutValue(line.value);
    }
  }
  return std::nullopt;
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view fallback) const {
  return ReadRaw(section, key).value_or(CutValue(std::string(fallback)));
}

int TIniFile::ReadInteger(std::string_view section, std::string_view key, int fallback) const {
  const auto value = ReadRaw(section, key);
  return value ? IniStrToIntDef(*value, fallback) : fallback;
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool fallback) const {
  return ReadInteger(section, key, fallback ? 1 : 0) != 0;
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  CheckWritable(fileName_, section, key, value);
  const std::string content = LoadOrEmpty(storage_, fileName_);
  std::vector<std::string> lines = SplitKeepingEnds(content);
  const std::string newline = (!lines.empty() && LineEnd(lines.front()) == "\r\n") ? "\r\n" : "\n";
  const std::string keyLine = std::string(key) + "=" + std::string(value);

  size_t header = 0;
  while (header < lines.size() && !IsSection(WithoutEnd(lines[header]), section))
    ++header;
  if (header == lines.size()) {
    std::string text = content;
    if (!text.empty() && text.back() != '\n')
      text += newline;
    // One blank line between sections, not two after a rewrite that already ends with one.
    const bool endsBlank =
        !lines.empty() && WithoutEnd(lines.back()).empty() && !LineEnd(lines.back()).empty();
    if (!text.empty() && !endsBlank)
      text += newline;
    text += "[" + std::string(section) + "]" + newline + keyLine + newline;
    storage_.Save(fileName_, text, std::nullopt);
    return;
  }
  // A new key goes after the section's last key, so comments and blank lines that introduce
  // the next section stay with it.
  size_t last = header;
  for (size_t i = header + 1; i < lines.size(); ++i) {
    const IniLine line = ClassifyLine(WithoutEnd(lines[i]));
    if (line.kind == IniLine::kSection)
      break;
    if (line.kind != IniLine::kKey)
      continue;
    if (SameText(line.name, key)) {
      lines[i] = keyLine + std::string(LineEnd(lines[i]));
      storage_.Save(fileName_, Join(lines), std::nullopt);
      return;
    }
    last = i;
  }
  // A bare CR ends no line: without a line feed the next reader would join the two lines.
  if (!lines[last].ends_with('\n'))
    lines[last] += newline;
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(last) + 1, keyLine + newline);
  storage_.Save(fileName_, Join(lines), std::nullopt);
}

void TIniFile::WriteInteger(std::string_view section, std::string_view key, int value) {
  WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

TMemIniFile::TMemIniFile(std::string fileName, IniStorage& storage)
    : fileName_(std::move(fileName)), storage_(storage) {
  Section* current = nullptr;
  for (const std::string& raw : SplitKeepingEnds(LoadOrEmpty(storage_, fileName_))) {
    IniLine line = ClassifyLine(WithoutEnd(raw));
    switch (line.kind) {
      case IniLine::kSection:
        sections_.push_back(Section{std::move(line.name), {}});
        current = &sections_.back();
        break;
      case IniLine::kKey:
      case IniLine::kOther:
        if (current != nullptr)
          current->entries.push_back(
              Entry{std::move(line.name), std::move(line.value), line.kind == IniLine::kKey});
        break;
      case IniLine::kBlank:
      case IniLine::kComment:
        break;
    }
  }
}

template <class Sections>
auto TMemIniFile::FindSection(Sections& sections, std::string_view name) -> decltype(&sections[0]) {
  for (auto& section : sections) {
    if (SameText(section.name, name))
      return &section;
  }
  return nullptr;
}

template <class Sections>
auto TMemIniFile::FindEntry(Sections& sections, std::string_view section, std::string_view key)
    -> decltype(&sections[0].entries[0]) {
  auto* found = FindSection(sections, section);
  if (found == nullptr)
    return nullptr;
  for (auto& entry : found->entries) {
    if (entry.hasValue && SameText(entry.key, key))
      return &entry;
  }
  return nullptr;
}

std::string TMemIniFile::ReadString(std::string_view section, std::string_view key,
                                    std::string_view fallback) const {
  const Entry* entry = FindEntry(sections_, section, key);
  return CutValue(entry != nullptr ? entry->value : std::string(fallback));
}

int TMemIniFile::ReadInteger(std::string_view section, std::string_view key, int fallback) const {
  const Entry* entry = FindEntry(sections_, section, key);
  return entry != nullptr ? IniStrToIntDef(CutValue(entry->value), fallback) : fallback;
}

void TMemIniFile::WriteString(std::string_view section, std::string_view key,
                              std::string_view value) {
  CheckWritable(fileName_, section, key, value);
  Entry* entry = FindEntry(sections_, section, key);
  if (entry != nullptr) {
    entry->value = std::string(value);
    return;
  }
  Section* found = FindSection(sections_, section);
  if (found == nullptr) {
    sections_.push_back(Section{std::string(section), {}});
    found = &sections_.back();
  }
  found->entries.push_back(Entry{std::string(key), std::string(value), true});
}

void TMemIniFile::WriteInteger(std::string_view section, std::string_view key, int value) {
  WriteString(section, key, std::to_string(value));
}

std::string TMemIniFile::Text() const {
  std::string text;
  for (const Section& section : sections_) {
    text += "[" + section.name + "]\n";
    for (const Entry& entry : section.entries) {
      text += entry.key;
      if (entry.hasValue)
        text += "=" + entry.value;
      text += "\n";
    }
    text += "\n";
  }
  return text;
}

void TMemIniFile::UpdateFile() {
  storage_.Save(fileName_, Text(), std::nullopt);
}

}  // namespace quillbox
