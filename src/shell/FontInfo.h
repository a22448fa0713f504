#pragma once

#include <string>

#include "base/IniFiles.h"

namespace quillbox {

// Font style bits as the INI file stores them.
enum TFontStyleBits { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };

// The main window's font, toolkit-neutral (the colour is not stored). Defaults are the designed
// font. A plain value.
struct TFontInfo {
  std::string FontName = "Courier New";
  int FontStyle = 0;
  int FontSize = 9;
  int CharacterSet = 0;
};

inline constexpr const char* kFontSection = "Font";

// Reads FontName, FontStyle, FontSize and CharacterSet (low eight bits), each with the value in
// `font` as its default. A FontStyle outside 0 to 255 keeps the default, so start-up always
// completes. Never throws.
void ReadFontFromIniFile(TFontInfo& font, const std::string& fileName,
                         IniStorage& storage = DiskIniStorage());

// Writes FontName, FontStyle, FontSize (its low eight bits) and CharacterSet, then rewrites the
// whole file. Throws EIniFileError.
void WriteFontToIniFile(const TFontInfo& font, const std::string& fileName,
                        IniStorage& storage = DiskIniStorage());

}  // namespace quillbox
