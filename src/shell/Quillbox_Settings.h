#pragma once

#include <string>
#include <string_view>

#include "base/IniFiles.h"

namespace quillbox {

// The program settings of the INI section "General", with their defaults. A plain value.
struct TParameters {
  int ListeningPort = 123;
  int MaxConnections = 1;
  bool AllowConnectionFromOutside = false;
  std::string LogDirectory = "C:\\";
  int TLSListeningPort = 0;  // 0: no port that speaks TLS from the first byte
  bool RequireTLSFromOutside = true;
};

inline constexpr const char* kGeneralSection = "General";

// Reads ListeningPort, MaxConnections, AllowConnectionFromOutside, LogDirectory,
// TLSListeningPort and RequireTLSFromOutside, in this order, each with the value in `parameters`
// as its default; values are taken as they stand (no range check). Absorbs every error: false
// when one occurred, with the values read so far.
bool ReadParametersFromIniFile(TParameters& parameters, const std::string& fileName,
                               IniStorage& storage = DiskIniStorage());

// Writes the six keys, in the order above, each by itself so that the rest of the file stays as
// it is. Absorbs every error: stops at the failing key and returns false.
bool WriteParametersToIniFile(const TParameters& parameters, const std::string& fileName,
                              IniStorage& storage = DiskIniStorage());

// The settings dialog keeps its number fields integers at every change. These give the text a
// field must hold after a change to `text`: its decimal integer, or "123" for the port, "1" for
// the limit (also for a limit below 1) and "0" for the TLS port.
std::string CorrectListeningPortText(std::string_view text);
std::string CorrectMaxConnectionsText(std::string_view text);
std::string CorrectTLSListeningPortText(std::string_view text);

}  // namespace quillbox
