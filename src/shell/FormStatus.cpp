#include "shell/FormStatus.h"

namespace quillbox {

void ReadFormStatusFromIniFile(TFormStatus& status, const std::string& section,
                               const std::string& fileName, IniStorage& storage) {
  const TIniFile ini(fileName, storage);
  status.Top = ini.ReadInteger(section, "Top", status.Top);
  status.Left = ini.ReadInteger(section, "Left", status.Left);
  status.Width = ini.ReadInteger(section, "Width", status.Width);
  status.Height = ini.ReadInteger(section, "Height", status.Height);
  const int state = ini.ReadInteger(section, "WindowState", status.WindowState);
  if (state == wsNormal || state == wsMinimized || state == wsMaximized)
    status.WindowState = state;
}

void WriteFormStatusToIniFile(const TFormStatus& status, const std::string& section,
                              const std::string& fileName, IniStorage& storage) {
  TMemIniFile ini(fileName, storage);
  ini.WriteInteger(section, "WindowState", status.WindowState);
  ini.WriteInteger(section, "Top", status.Top);
  ini.WriteInteger(section, "Left", status.Left);
  ini.WriteInteger(section, "Width", status.Width);
  ini.WriteInteger(section, "Height", status.Height);
  ini.UpdateFile();
}

}  // namespace quillbox
