#pragma once

#include <string>

#include "shell/VersionResource.h"

namespace quillbox {

// The program's version strings, each named after the key it is read from. A plain value.
struct TVersionInfo {
  std::string CompanyName;
  std::string FileDescription;
  std::string FileVersion;
  std::string InternalName;
  std::string LegalCopyright;
  std::string LegalTradeMarks;
  std::string OriginalFileName;
  std::string ProductName;
  std::string ProductVersion;
  std::string Comments;
};

// The string table every query goes to: Japanese, code page 932, as the program always had.
inline constexpr const char* kVersionStringTable = "\\StringFileInfo\\041103A4\\";

// Fills info from the version data. With no version data at all, info keeps what it holds; a
// key that is missing gives an empty field.
void ReadVersionInfo(TVersionInfo& info,
                     const VersionResource& resource = CompiledVersionResource());

// The About box text: six version lines, the home page line, an empty line and the credits.
// Lines end in CR LF, the last one excepted.
std::string AboutText(const TVersionInfo& info, const std::string& credits);

}  // namespace quillbox
