#include "shell/FontInfo.h"

namespace quillbox {

void ReadFontFromIniFile(TFontInfo& font, const std::string& fileName, IniStorage& storage) {
  const TIniFile ini(fileName, storage);
  font.FontName = ini.ReadString(kFontSection, "FontName", font.FontName);
  const int style = ini.ReadInteger(kFontSection, "FontStyle", font.FontStyle);
  if (style >= 0 && style <= 255)
    font.FontStyle = style;
  font.FontSize = ini.ReadInteger(kFontSection, "FontSize", font.FontSize);
  font.CharacterSet = ini.ReadInteger(kFontSection, "CharacterSet", font.CharacterSet) & 0xFF;
}

void WriteFontToIniFile(const TFontInfo& font, const std::string& fileName, IniStorage& storage) {
  TMemIniFile ini(fileName, storage);
  ini.WriteString(kFontSection, "FontName", font.FontName);
  ini.WriteInteger(kFontSection, "FontStyle", font.FontStyle);
  ini.WriteInteger(kFontSection, "FontSize", font.FontSize & 0xFF);
  ini.WriteInteger(kFontSection, "CharacterSet", font.CharacterSet);
  ini.UpdateFile();
}

}  // namespace quillbox
