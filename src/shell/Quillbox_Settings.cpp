#include "shell/Quillbox_Settings.h"

#include "base/SysUtils.h"

namespace quillbox {

bool ReadParametersFromIniFile(TParameters& parameters, const std::string& fileName,
                               IniStorage& storage) {
  try {
    const TIniFile ini(fileName, storage);
    parameters.ListeningPort =
        ini.ReadInteger(kGeneralSection, "ListeningPort", parameters.ListeningPort);
    parameters.MaxConnections =
        ini.ReadInteger(kGeneralSection, "MaxConnections", parameters.MaxConnections);
    parameters.AllowConnectionFromOutside = ini.ReadBool(
        kGeneralSection, "AllowConnectionFromOutside", parameters.AllowConnectionFromOutside);
    parameters.LogDirectory =
        ini.ReadString(kGeneralSection, "LogDirectory", parameters.LogDirectory);
    parameters.TLSListeningPort =
        ini.ReadInteger(kGeneralSection, "TLSListeningPort", parameters.TLSListeningPort);
    parameters.RequireTLSFromOutside =
        ini.ReadBool(kGeneralSection, "RequireTLSFromOutside", parameters.RequireTLSFromOutside);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool WriteParametersToIniFile(const TParameters& parameters, const std::string& fileName,
                              IniStorage& storage) {
  try {
    TIniFile ini(fileName, storage);
    ini.WriteInteger(kGeneralSection, "ListeningPort", parameters.ListeningPort);
    ini.WriteInteger(kGeneralSection, "MaxConnections", parameters.MaxConnections);
    ini.WriteBool(kGeneralSection, "AllowConnectionFromOutside",
                  parameters.AllowConnectionFromOutside);
    ini.WriteString(kGeneralSection, "LogDirectory", parameters.LogDirectory);
    ini.WriteInteger(kGeneralSection, "TLSListeningPort", parameters.TLSListeningPort);
    ini.WriteBool(kGeneralSection, "RequireTLSFromOutside", parameters.RequireTLSFromOutside);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::string CorrectListeningPortText(std::string_view text) {
  return std::to_string(StrToIntDef(text, 123));
}

std::string CorrectTLSListeningPortText(std::string_view text) {
  return std::to_string(StrToIntDef(text, 0));
}

std::string CorrectMaxConnectionsText(std::string_view text) {
  const int value = StrToIntDef(text, 1);
  return std::to_string(value < 1 ? 1 : value);
}

}  // namespace quillbox
